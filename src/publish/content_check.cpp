#include "publish/content_check.h"

#include <algorithm>
#include <map>
#include <utility>

#include "engine/patch2.h"
#include "protocol/file_list.h"
#include "publish/file_progress.h"
#include "publish/release.h"
#include "publish/release_index.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/packed2.h"
#include "services/platform.h"
#include "services/signing.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// Both digests of one content, fed in pieces.
class Digests {
 public:
  bool Add(const unsigned char* data, std::size_t size) {
    md5_.Update(data, size);
    sha256_.Add(data, size);
    size_ += size;
    return true;
  }
  void Finish(ContentDigests& digests) {
    digests.md5 = WideToUtf8(md5_.FinalText());
    digests.sha256 = sha256_.Hex();
    digests.size = size_;
  }

 private:
  Md5 md5_;
  Sha256Stream sha256_;
  std::uint64_t size_ = 0;
};

bool ReadFrame(const fs::path& packed, Digests& digests) {
  FileHandle file = FileHandle::OpenForRead(WideOf(packed));
  const std::int64_t length = file.IsOpen() ? file.Size() : -1;
  if (length < 0) return false;
  PackedFileAt source(file);
  Pack2Reader reader(source, 0, static_cast<std::uint64_t>(length));
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    const std::size_t got = reader.Read(buffer.data(), buffer.size());
    if (got == 0) return !reader.Failed() && reader.Finished();
    digests.Add(buffer.data(), got);
  }
}

std::string Joined(const std::vector<std::wstring>& versions) {
  std::string text;
  for (const std::wstring& version : versions) text += (text.empty() ? "" : ", ") + WideToUtf8(version);
  return text;
}

// A packed file to check and what it must unpack to.
struct Expected {
  fs::path path;
  bool zstd = false;
  std::wstring checksum;  // MD5
  std::wstring sha256;    // when the list states it
};

}  // namespace

bool DigestPackedContent(const fs::path& packed, bool zstd, ContentDigests& digests) {
  Digests running;
  const bool whole =
      zstd ? ReadFrame(packed, running)
           : UnpackFileInto(WideOf(packed), [&](const unsigned char* data, std::size_t size) {
               return running.Add(data, size);
             }) == STREAM_OK;
  if (!whole) return false;
  running.Finish(digests);
  return true;
}

std::string DamagedContent::Text() const {
  std::string text = paths.front();
  for (std::size_t i = 1; i < paths.size(); ++i) text += (i == 1 ? " (also " : ", ") + paths[i];
  if (paths.size() > 1) text += ", the same file)";
  return "damaged content: " + text + " " + cause + "; " + (releases.size() == 1 ? "release " : "releases ") +
         Joined(releases) + " name it";
}

namespace {

// The packed files of a file's content: its whole form, and its zstd form when the list has one.
std::vector<Expected> PackedForms(const ListEntry& entry, const fs::path& product, const std::wstring& updateFolder) {
  Expected expected;
  expected.checksum = entry.checksum;
  expected.sha256 = entry.sha256;
  std::vector<Expected> forms{expected};
  forms[0].path = product / PathOf(updateFolder + entry.name);
  if (!entry.whole2.empty()) {
    forms.push_back(expected);
    forms[1].path = product / PathOf(updateFolder + entry.name + entry.whole2);
    forms[1].zstd = true;
  }
  return forms;
}

// Every packed file each release names, grouped by the file's identity: a content shared by many
// releases through hard links is unpacked once. uniqueBytes: what the distinct files take.
using FilesByIdentity = std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::pair<Expected, std::wstring>>>;
FilesByIdentity NamedFiles(const fs::path& product, const ReleaseIndex& index, const std::vector<std::wstring>& versions,
                           std::uint64_t& uniqueBytes) {
  FilesByIdentity byFile;
  uniqueBytes = 0;
  ListEntry entry;
  for (const std::wstring& version : versions) {
    const IniDocument list = index.ListOf(version);
    const std::wstring updateFolder = ParseListHeader(list).updateFolder;
    for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
      if (!ParseListEntry(list, i, entry) || entry.method == ListMethod::Remove || entry.target == ListTarget::Folder) {
        continue;
      }
      for (Expected& form : PackedForms(entry, product, updateFolder)) {
        std::uint64_t volume = 0, number = 0;
        // A missing file is the rollback's and verify's other check; here it has no identity.
        if (!FileIdentityOf(WideOf(form.path), volume, number)) continue;
        auto& named = byFile[{volume, number}];
        if (named.empty()) {
          std::error_code ignored;
          uniqueBytes += fs::file_size(form.path, ignored);
        }
        named.emplace_back(std::move(form), version);
      }
    }
  }
  return byFile;
}

}  // namespace

std::vector<DamagedContent> DamagedContentOf(const fs::path& tree, const fs::path& product, const ReleaseIndex& index,
                                             const std::vector<std::wstring>& versions) {
  std::uint64_t uniqueBytes = 0;
  const FilesByIdentity byFile = NamedFiles(product, index, versions, uniqueBytes);
  std::vector<DamagedContent> damaged;
  FileProgress progress(byFile.size(), uniqueBytes, StdoutIsTerminal(), L"checked");
  for (const auto& [identity, names] : byFile) {
    const Expected& first = names.front().first;
    std::error_code ignored;
    const std::uint64_t packedBytes = fs::file_size(first.path, ignored);
    const std::wstring shown = WideOf(fs::relative(first.path, tree, ignored));
    progress.Started(shown, packedBytes);
    ContentDigests digests;
    const bool unpacks = DigestPackedContent(first.path, first.zstd, digests);
    progress.Finished(shown, packedBytes);
    DamagedContent found;
    for (const auto& [expected, version] : names) {
      std::string cause;
      if (!unpacks) {
        cause = "does not unpack";
      } else if (!EqualNoCase(AnsiToWide(digests.md5), expected.checksum) ||
                 (!expected.sha256.empty() && !EqualNoCase(AnsiToWide(digests.sha256), expected.sha256))) {
        cause = "does not unpack to the content its list states";
      }
      if (cause.empty()) continue;
      found.cause = cause;
      const std::string path = fs::relative(expected.path, tree, ignored).generic_string();
      if (std::find(found.paths.begin(), found.paths.end(), path) == found.paths.end()) found.paths.push_back(path);
      if (std::find(found.releases.begin(), found.releases.end(), version) == found.releases.end()) {
        found.releases.push_back(version);
      }
    }
    if (!found.paths.empty()) damaged.push_back(std::move(found));
  }
  progress.End();
  return damaged;
}
