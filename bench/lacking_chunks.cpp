#include "lacking_chunks.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "protocol/chunks.h"
#include "protocol/file_list.h"
#include "services/files.h"
#include "services/ini.h"
#include "services/ini_file.h"
#include "services/signing.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// Every chunk the list's files are made of, by SHA-256, with its packed size; false when an index
// the list names cannot be read.
bool ListedChunks(const fs::path& productDir, const std::wstring& listPath, std::map<std::string, std::uint32_t>& chunks) {
  const IniDocument list = LoadIniFile(listPath);
  for (std::size_t i = 0; i < list.SectionCount(); ++i) {
    ListEntry entry;
    const std::string sha256 = ParseListEntry(list, list.SectionReadFor(i), entry) ? ListedChunkIndex(entry.chunks) : "";
    if (sha256.empty()) continue;
    std::string bytes;
    ChunkIndex index;
    const fs::path path = productDir / fs::u8path(WideToUtf8(ChunkIndexName(sha256)));
    if (!ReadWholeFile(path.wstring(), bytes) || !index.Decode(bytes)) {
      std::fprintf(stderr, "no chunk index at %s\n", path.string().c_str());
      return false;
    }
    for (const ChunkRef& chunk : index.chunks) chunks.emplace(chunk.sha256, chunk.packed);
  }
  return true;
}

// Every chunk that the files under folder hold, as an updater cuts them.
bool HeldChunks(const fs::path& folder, std::set<std::string>& held) {
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (!item.is_regular_file()) continue;
    const bool read = ForEachChunk(item.path().wstring(), [&](const std::uint8_t* data, std::size_t size, std::uint64_t) {
      held.insert(Sha256Hex(std::string(reinterpret_cast<const char*>(data), size)));
      return true;
    });
    if (!read) {
      std::fprintf(stderr, "cannot read %s\n", item.path().string().c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int LackingChunks(const std::string& productDir, const std::string& listPath, const std::string& installDir) {
  std::map<std::string, std::uint32_t> listed;
  std::set<std::string> held;
  if (!ListedChunks(fs::u8path(productDir), AnsiToWide(listPath), listed) || !HeldChunks(fs::u8path(installDir), held)) {
    return 1;
  }
  std::uint64_t packed = 0, count = 0;
  for (const auto& [sha256, bytes] : listed) {
    if (held.count(sha256) != 0) continue;
    packed += bytes;
    ++count;
  }
  std::printf("%llu %llu\n", static_cast<unsigned long long>(packed), static_cast<unsigned long long>(count));
  return 0;
}
