// Runs one of our operations on files, for bench/run to time against a reference tool.
//   zepo-bench md5 FILE            print Md5OfFile
//   zepo-bench unpack SRC DST      UnpackFile
//   zepo-bench pack SRC DST        PackFile at level 9
//   zepo-bench ini FILE            parse a file list, read Method, DateTime, CheckSum of every section
//   zepo-bench mixed MIB FILE      write MIB MiB of mixed data: text-like runs and random runs
//   zepo-bench download URL FILE [HOST]   DownloadFile
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "services/files.h"
#include "services/http.h"
#include "services/ini_file.h"
#include "services/packed.h"
#include "services/text.h"

namespace {

std::wstring Wide(const char* text) { return AnsiToWide(text); }

const char USAGE[] = "usage: zepo-bench md5 FILE | unpack SRC DST | pack SRC DST | ini FILE | mixed MIB FILE |\n"
    "                  download URL FILE [HOST]\n";

int Usage() {
  std::fputs(USAGE, stderr);
  return 2;
}

int IniReads(const std::wstring& file) {
  auto start = std::chrono::steady_clock::now();
  IniDocument ini = LoadIniFile(file);
  std::size_t found = 0;
  std::wstring value;
  // The first section is the list's header; every other one is a file.
  const auto names = ini.SectionNames();
  for (std::size_t i = 1; i < names.size(); ++i) {
    for (const wchar_t* key : {L"Method", L"DateTime", L"CheckSum"}) found += ini.ReadString(names[i], key, value);
  }
  const std::size_t files = names.empty() ? 0 : names.size() - 1;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("sections %zu reads %zu found %zu seconds %.6f\n", files, 3 * files, found, seconds);
  return found == 3 * files ? 0 : 1;
}

// Game data is neither text nor noise: alternate compressible records and random blocks.
int WriteMixed(long mebibytes, const std::wstring& path) {
  FileHandle out = FileHandle::CreateForWrite(path);
  if (!out.IsOpen()) return 1;
  std::string block(1 << 20, '\0');
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (long m = 0; m < mebibytes; ++m) {
    for (std::size_t i = 0; i < block.size(); ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      bool noise = ((i >> 12) % 3) == 0;
      block[i] = noise ? static_cast<char>(state >> 56) : "record=item;level=12;name=sword\n"[i % 32];
    }
    if (!out.Write(block.data(), block.size())) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  if (command == "md5") {
    std::wstring digest;
    Md5OfFile(digest, Wide(argv[2]));
    std::printf("%s\n", WideToUtf8(digest).c_str());
    return digest.empty() ? 1 : 0;
  }
  if (command == "unpack" && argc == 4) return UnpackFile(Wide(argv[2]), Wide(argv[3])) ? 0 : 1;
  if (command == "pack" && argc == 4) return PackFile(Wide(argv[2]), Wide(argv[3]), 9) ? 0 : 1;
  if (command == "ini") return IniReads(Wide(argv[2]));
  if (command == "mixed" && argc == 4) return WriteMixed(std::atol(argv[2]), Wide(argv[3]));
  if (command == "download" && (argc == 4 || argc == 5)) {
    int code = 0;
    bool ok = DownloadFile(Wide(argv[3]), nullptr, code, Wide(argv[2]), argc == 5 ? Wide(argv[4]) : L"");
    if (!ok) std::fprintf(stderr, "download failed, code %d\n", code);
    return ok ? 0 : 1;
  }
  return Usage();
}
