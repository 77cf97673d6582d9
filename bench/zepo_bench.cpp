// Runs one of our operations on files, for bench/run to time against a reference tool.
//   zepo-bench md5 FILE            print Md5OfFile
//   zepo-bench unpack SRC DST      UnpackFile
//   zepo-bench pack SRC DST        PackFile at level 9
//   zepo-bench pack2 SRC DST       the second packed form (one zstd frame), as trees publish it
//   zepo-bench unpack2 SRC DST     Unpack2FileWithDigest
//   zepo-bench ini FILE            parse a file list, read Method, DateTime, CheckSum of every section
//   zepo-bench mixed MIB FILE      write MIB MiB of mixed data: text-like runs and random runs
//   zepo-bench download URL FILE [HOST]   DownloadFile
//   zepo-bench install DIR COUNT MIN MAX   an installation of COUNT files of MIN to MAX bytes and
//                                  its file list (update\filelist.ini) with their times and digests
//   zepo-bench check DIR MODE      CheckFiles over that installation (MODE 1: the time shortcut)
//   zepo-bench patch-pair DIR MIB  a MIB MiB old file and a patch that copies most of it and
//                                  inserts and modifies the rest
//   zepo-bench rebuild OLD PATCH OUT   ApplyPatchFile
//   zepo-bench game DIR VERSION MIB    release VERSION (1-16) of a generated game of about MIB MiB
//   zepo-bench pack-pair OLD NEW MIB   two releases of a large pack file (edits, inserts, moves)
//   zepo-bench lacking-chunks PRODUCT LIST DIR   packed bytes and count of the chunks of the
//                                  (unpacked) LIST's files that no file under DIR holds
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "game_release.h"
#include "lacking_chunks.h"
#include "engine/patch.h"
#include "engine/checker.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/platform.h"
#include "services/http.h"
#include "services/ini_file.h"
#include "services/packed.h"
#include "services/packed2.h"
#include "services/text.h"

namespace {

std::wstring Wide(const char* text) { return AnsiToWide(text); }

const char USAGE[] = "usage: zepo-bench md5 FILE | unpack SRC DST | pack SRC DST | pack2 SRC DST | unpack2 SRC DST |\n"
    "                  ini FILE | mixed MIB FILE |\n"
    "                  download URL FILE [HOST] | install DIR COUNT MIN MAX | check DIR MODE |\n"
    "                  patch-pair DIR MIB | rebuild OLD PATCH OUT | unpack-list LIST |\n"
    "                  game DIR VERSION MIB | pack-pair OLD NEW MIB | lacking-chunks PRODUCT LIST DIR\n"
    "unpack-list unpacks, in one process, every \"PACKED<TAB>PLAIN\" line of LIST, making folders.\n";

int Usage() {
  std::fputs(USAGE, stderr);
  return 2;
}

int Pack2(const std::wstring& source, const std::wstring& destination) {
  std::string plain;
  if (!ReadWholeFile(source, plain)) return 1;
  const std::string packed = Pack2Bytes(plain);
  FileHandle out = FileHandle::CreateForWrite(destination);
  return !packed.empty() && out.Write(packed.data(), packed.size()) ? 0 : 1;
}

int Unpack2(const std::wstring& source, const std::wstring& destination) {
  std::wstring digest, cause, writeFailure;
  return Unpack2FileWithDigest(source, destination, digest, cause, writeFailure) ? 0 : 1;
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

// Files of sizes spread between min and max bytes, and the list that describes them exactly.
int MakeInstall(const std::string& dir, long count, long long min, long long max) {
  const std::wstring root = Wide(dir.c_str());
  CreateDirectoryPath(root + L"\\update");
  CreateDirectoryPath(root + L"\\logs");
  std::string list = "[ServerConfig]\r\nVersionName=bench\r\nUpdateFolder=v/\r\n";
  std::uint64_t state = 12345;
  std::string content;
  for (long i = 0; i < count; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    long long size = count == 1 ? min : min + static_cast<long long>((max - min) * (static_cast<double>(i) / (count - 1)));
    // Content that does not compress, as packed game data does not.
    content.resize(static_cast<std::size_t>(size));
    for (std::size_t k = 0; k + 8 <= content.size(); k += 8) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      std::memcpy(&content[k], &state, 8);
    }
    const std::string name = "data\\d" + std::to_string(i % 100) + "\\f" + std::to_string(i) + ".pak";
    const std::wstring path = root + L"\\" + Wide(name.c_str());
    CreateDirectoryPath(path.substr(0, path.find_last_of(L'\\')));
    FileHandle out = FileHandle::CreateForWrite(path);
    if (!out.IsOpen() || !out.Write(content.data(), content.size())) return 1;
    out.Close();
    std::wstring time;
    GetFileTimeText(path, time);
    list += "[" + name + "]\r\nMethod=Update\r\nDateTime=" + WideToUtf8(time) +
            "\r\nCheckSum=" + WideToUtf8(Md5OfBytes(content.data(), content.size())) + "\r\n";
  }
  FileHandle out = FileHandle::CreateForWrite(root + L"\\update\\filelist.ini");
  return out.Write(list.data(), list.size()) ? 0 : 1;
}

int Check(const std::string& dir, int mode) {
  if (!SetCurrentFolder(Wide(dir.c_str()))) return 1;
  WorkPlan plan;
  Checker checker(nullptr, L"update\\", plan);
  const std::wstring listPath = L"update\\filelist.ini";
  StepCode code;
  std::wstring failed;
  if (!checker.CheckFiles(LoadIniFile(listPath), listPath, mode == 0 ? CheckMode::DigestAlways : CheckMode::TrustSameTime,
                          code, failed)) {
    std::fprintf(stderr, "check failed: code %d at %s\n", code.Number(), WideToUtf8(failed).c_str());
    return 1;
  }
  return plan.updates.empty() ? 0 : 1;
}

// The old file is random; the patch copies it in large runs, with an insert and a modified
// stretch every 8 MiB.
int MakePatchPair(const std::string& dir, long mebibytes) {
  const std::wstring root = Wide(dir.c_str());
  FileHandle old = FileHandle::CreateForWrite(root + L"\\old");
  std::string block(1 << 20, '\0');
  std::uint64_t state = 99;
  for (long m = 0; m < mebibytes; ++m) {
    for (auto& b : block) state = state * 6364136223846793005ULL + 1442695040888963407ULL, b = static_cast<char>(state >> 56);
    if (!old.Write(block.data(), block.size())) return 1;
  }
  std::string patch;
  auto length = [&patch](std::uint32_t n) {
    patch += '\xFE';
    for (int shift = 24; shift >= 0; shift -= 8) patch += static_cast<char>((n >> shift) & 0xFF);
  };
  const std::uint32_t run = 8u << 20;
  for (long at = 0; at + 8 <= mebibytes; at += 8) {
    patch += "\xA7\xA3";
    length(run - 4096);
    patch += "\xA7\xA5";
    patch += std::string(1000, 'i');
    patch += "\xA7\xA6";
    patch += std::string(4096, 'm');
  }
  FileHandle out = FileHandle::CreateForWrite(root + L"\\patch");
  return out.Write(patch.data(), patch.size()) ? 0 : 1;
}

// The reference's second half for many files: inflating each downloaded file in one process.
int UnpackList(const char* listPath) {
  std::FILE* list = std::fopen(listPath, "r");
  if (list == nullptr) return 1;
  char line[8192];
  int failures = 0;
  while (std::fgets(line, sizeof line, list) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t tab = text.find('\t');
    if (tab == std::string::npos) continue;
    const std::wstring plain = Wide(text.substr(tab + 1).c_str());
    CreateDirectoryPath(FolderOfPath(plain));
    if (!UnpackFile(Wide(text.substr(0, tab).c_str()), plain)) ++failures;
  }
  std::fclose(list);
  return failures == 0 ? 0 : 1;
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
  if (command == "pack2" && argc == 4) return Pack2(Wide(argv[2]), Wide(argv[3]));
  if (command == "unpack2" && argc == 4) return Unpack2(Wide(argv[2]), Wide(argv[3]));
  if (command == "ini") return IniReads(Wide(argv[2]));
  if (command == "unpack-list") return UnpackList(argv[2]);
  if (command == "mixed" && argc == 4) return WriteMixed(std::atol(argv[2]), Wide(argv[3]));
  if (command == "install" && argc == 6) return MakeInstall(argv[2], std::atol(argv[3]), std::atoll(argv[4]), std::atoll(argv[5]));
  if (command == "check" && argc == 4) return Check(argv[2], std::atoi(argv[3]));
  if (command == "patch-pair" && argc == 4) return MakePatchPair(argv[2], std::atol(argv[3]));
  if (command == "game" && argc == 5) return WriteGameRelease(argv[2], std::atoi(argv[3]), std::atol(argv[4]));
  if (command == "pack-pair" && argc == 5) return WritePackPair(argv[2], argv[3], std::atol(argv[4]));
  if (command == "lacking-chunks" && argc == 5) return LackingChunks(argv[2], argv[3], argv[4]);
  if (command == "rebuild" && argc == 5) return ApplyPatchFile(Wide(argv[2]), Wide(argv[3]), Wide(argv[4])) ? 0 : 1;
  if (command == "download" && (argc == 4 || argc == 5)) {
    StepCode code;
    bool ok = DownloadFile(Wide(argv[3]), nullptr, code, Wide(argv[2]), argc == 5 ? Wide(argv[4]) : L"");
    if (!ok) std::fprintf(stderr, "download failed, code %d\n", code.Number());
    return ok ? 0 : 1;
  }
  return Usage();
}
