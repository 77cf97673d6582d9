#include "publish/tree_status.h"

#include <cstdio>
#include <ctime>
#include <set>

#include "publish/release.h"
#include "publish/release_index.h"
#include "publish/tree_builder.h"
#include "services/file_time.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

std::uint64_t FileSize(const fs::path& path) {
  std::error_code error;
  const std::uint64_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

// What a client holding a release downloads to reach the live list: nothing for a file of the
// same content, the patch from its content when the live list has one, else the whole file.
std::uint64_t DownloadToReach(const IniDocument& live, const IniDocument& from, const fs::path& product) {
  std::wstring updateFolder, name, method, target, checksum, held, folder;
  live.ReadString(L"ServerConfig", L"UpdateFolder", updateFolder);
  std::uint64_t bytes = 0;
  for (std::size_t i = FirstEntrySection(live); i < live.SectionCount(); ++i) {
    if (!live.NamedSection(i, name)) continue;
    live.ReadString(i, L"Method", method);
    live.ReadString(i, L"Target", target);
    if (EqualNoCase(method, L"Remove") || EqualNoCase(method, L"Exists")) continue;
    live.ReadString(i, L"CheckSum", checksum);
    const std::size_t heldSection = from.FindSection(name);
    held.clear();
    if (heldSection != IniDocument::NO_SECTION) from.ReadString(heldSection, L"CheckSum", held);
    if (!held.empty() && EqualNoCase(held, checksum)) continue;
    folder.clear();
    if (!held.empty()) live.ReadString(i, held, folder);
    bytes += FileSize(product / PathOf((folder.empty() ? updateFolder : folder) + name));
  }
  return bytes;
}

IniDocument PublishedList(const fs::path& product) {
  std::string text;
  UnpackToMemory(product / "filelistfull.enc", text);
  return IniDocument(text);
}

bool LoadIndex(const fs::path& tree, const std::wstring& rootKey, fs::path& product, ReleaseIndex& index,
               std::string& error) {
  if (!ProductFolderOf(tree, rootKey, product)) {
    error = "no published tree at " + tree.string() + " (rootfolder.enc is missing or does not name a product folder)";
    return false;
  }
  index = ReleaseIndex::Load(product);
  if (!index.exists()) {
    error = "the tree at " + tree.string() + " keeps no release index: it was built before releases were indexed; "
            "build the next release into it and the index starts";
    return false;
  }
  return true;
}

}  // namespace

bool ProductFolderOf(const fs::path& tree, const std::wstring& rootKey, fs::path& product) {
  std::string text;
  if (!UnpackToMemory(tree / "rootfolder.enc", text)) return false;
  std::wstring folder;
  IniDocument(text).ReadString(L"ServerConfig", rootKey, folder);
  if (folder.empty()) return false;
  product = tree / PathOf(folder);
  return true;
}

bool ShowTreeStatus(const fs::path& tree, const std::wstring& rootKey, std::string& error) {
  fs::path product;
  ReleaseIndex index;
  if (!LoadIndex(tree, rootKey, product, index, error)) return false;
  const IniDocument live = PublishedList(product);
  std::printf("live: %s\n", WideToUtf8(index.live()).c_str());
  std::printf("%-12s %-16s %7s %11s %8s  %s\n", "version", "published (UTC)", "files", "packed", "patches",
              "download to reach the live one");
  for (const IndexedRelease& r : index.releases()) {
    const std::uint64_t download = DownloadToReach(live, index.ListOf(r.version), product);
    std::printf("%-12s %-16s %7zu %11s %8zu  %s%s%s\n", WideToUtf8(r.version).c_str(), WideToUtf8(r.date).c_str(),
                r.files, ByteSize(r.packedBytes).c_str(), r.patches, ByteSize(download).c_str(),
                r.version == index.live() ? "  (live)" : "",
                r.liveAgain.empty() ? "" : ("  (rolled back to on " + WideToUtf8(r.liveAgain) + ")").c_str());
  }
  return true;
}

bool RollbackTree(const fs::path& tree, const std::wstring& rootKey, const std::wstring& version,
                  const SigningOptions& signing, std::string& error) {
  fs::path product;
  ReleaseIndex index;
  if (!LoadIndex(tree, rootKey, product, index, error)) return false;
  if (index.Find(version) == nullptr) {
    error = "version " + WideToUtf8(version) + " is not in the tree's index; zepo-publish status lists its releases";
    return false;
  }
  const IniDocument kept = index.ListOf(version);
  if (kept.SectionCount() == 0) {
    error = "the list of version " + WideToUtf8(version) + " is not kept in the tree";
    return false;
  }
  if (version == index.live()) {
    std::printf("version %s is live already; nothing changed\n", WideToUtf8(version).c_str());
    return true;
  }
  // The kept list again, with the times that clients can trust against the list they now hold: a
  // file whose content goes back but whose time falls in the minute listed for the live one gets
  // the publish time, as a build gives it.
  const IniDocument current = PublishedList(product);
  const std::uint64_t now = TicksFromUnixTime(static_cast<std::int64_t>(std::time(nullptr)), 0);
  std::wstring list, name, liveTime, liveSum, ownSum;
  std::set<std::wstring> present;
  const std::size_t first = FirstEntrySection(kept);
  for (std::size_t i = 0; i < kept.SectionCount(); ++i) {
    if (!kept.NamedSection(i, name)) continue;
    if (i >= first) present.insert(FoldCase(name));
    const std::size_t liveSection = i >= first ? current.FindSection(name) : IniDocument::NO_SECTION;
    liveTime.clear();
    liveSum.clear();
    if (liveSection != IniDocument::NO_SECTION) {
      current.ReadString(liveSection, L"DateTime", liveTime);
      current.ReadString(liveSection, L"CheckSum", liveSum);
    }
    kept.ReadString(i, L"CheckSum", ownSum);
    list += L"[" + name + L"]\r\n";
    for (const auto& [key, value] : kept.KeysOf(name)) {
      const bool moved = EqualNoCase(key, L"DateTime") && !liveSum.empty() && !EqualNoCase(liveSum, ownSum) &&
                         SameFileTimeToMinute(value, liveTime);
      list += key + L"=" + (moved ? PublishTimeAfter(liveTime, now) : value) + L"\r\n";
    }
  }
  std::wstring removals;
  for (const IndexedRelease& release : index.releases()) {
    const IniDocument other = index.ListOf(release.version);
    std::wstring target;
    for (std::size_t i = FirstEntrySection(other); i < other.SectionCount(); ++i) {
      if (!other.NamedSection(i, name)) continue;
      other.ReadString(i, L"Target", target);
      if (EqualNoCase(target, L"Folder") || !present.insert(FoldCase(name)).second) continue;
      removals += L"[" + name + L"]\r\nMethod=Remove\r\nTarget=File\r\n";
    }
  }
  if (!PublishList(product / "filelistfull.enc", list) || !PublishList(product / "filelist.enc", list + removals)) {
    error = "cannot write the file lists";
    return false;
  }
  if (signing.Enabled()) {
    // The product folder as the root descriptor names it: "velora/".
    std::wstring productName = product.lexically_relative(tree).generic_wstring();
    while (!productName.empty() && productName.back() == L'/') productName.pop_back();
    productName += L"/";
    for (const char* name : {"filelistfull.enc", "filelist.enc"}) {
      if (!SignPublished(product / name, productName, signing, error)) return false;
    }
  }
  index.MakeLive(version, IndexDateNow());
  if (!index.Save()) {
    error = "the lists of version " + WideToUtf8(version) + " are live, but the release index could not be written";
    return false;
  }
  std::printf("version %s is live again; clients go back to it on their next run\n", WideToUtf8(version).c_str());
  return true;
}
