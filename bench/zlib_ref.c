/* The reference for the packing benchmarks: zlib's own loop, file to file, 64 KiB buffers.
   zlib-ref inflate|deflate SRC DST */
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#define CHUNK 65536

static unsigned char in[CHUNK], out[CHUNK];

static int Inflate(FILE* src, FILE* dst) {
  z_stream s;
  memset(&s, 0, sizeof s);
  int ret = inflateInit(&s);
  if (ret != Z_OK) return ret;
  do {
    s.avail_in = (uInt)fread(in, 1, CHUNK, src);
    if (s.avail_in == 0) break;
    s.next_in = in;
    do {
      s.avail_out = CHUNK;
      s.next_out = out;
      ret = inflate(&s, Z_NO_FLUSH);
      if (ret == Z_NEED_DICT || ret == Z_DATA_ERROR || ret == Z_MEM_ERROR) {
        inflateEnd(&s);
        return Z_DATA_ERROR;
      }
      fwrite(out, 1, CHUNK - s.avail_out, dst);
    } while (s.avail_out == 0);
  } while (ret != Z_STREAM_END);
  inflateEnd(&s);
  return ret == Z_STREAM_END ? Z_OK : Z_DATA_ERROR;
}

static int Deflate(FILE* src, FILE* dst) {
  z_stream s;
  memset(&s, 0, sizeof s);
  int ret = deflateInit(&s, 9);
  if (ret != Z_OK) return ret;
  int flush;
  do {
    s.avail_in = (uInt)fread(in, 1, CHUNK, src);
    flush = feof(src) ? Z_FINISH : Z_NO_FLUSH;
    s.next_in = in;
    do {
      s.avail_out = CHUNK;
      s.next_out = out;
      deflate(&s, flush);
      fwrite(out, 1, CHUNK - s.avail_out, dst);
    } while (s.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEnd(&s);
  return Z_OK;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fputs("usage: zlib-ref inflate|deflate SRC DST\n", stderr);
    return 2;
  }
  FILE* src = fopen(argv[2], "rb");
  FILE* dst = fopen(argv[3], "wb");
  if (!src || !dst) return 1;
  int ret = strcmp(argv[1], "inflate") == 0 ? Inflate(src, dst) : Deflate(src, dst);
  fclose(src);
  fclose(dst);
  return ret == Z_OK ? 0 : 1;
}
