#include "publish/release_index.h"

#include <ctime>

#include "publish/release.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/platform.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* INDEX_SECTION = L"Releases";

std::uint64_t Number(const IniDocument& ini, std::size_t section, const wchar_t* key) {
  std::wstring text;
  ini.ReadString(section, key, text);
  return static_cast<std::uint64_t>(std::wcstoull(text.c_str(), nullptr, 10));
}

fs::path IndexPath(const fs::path& product) { return product / ReleaseIndex::FILE_NAME; }
fs::path KeptListPath(const fs::path& product, const std::wstring& version) {
  return product / "releases" / PathOf(version + L".enc");
}

}  // namespace

ReleaseIndex ReleaseIndex::Load(const fs::path& product) {
  ReleaseIndex index;
  index.product_ = product;
  std::string text;
  if (!ReadWholeFile(WideOf(IndexPath(product)), text)) return index;
  index.exists_ = true;
  const IniDocument ini(text);
  ini.ReadString(INDEX_SECTION, L"Live", index.live_);
  ini.ReadString(INDEX_SECTION, L"Rollout", index.rollout_.version);
  ini.ReadString(INDEX_SECTION, L"RolloutPercent", index.rollout_.percent);
  ini.ReadString(INDEX_SECTION, L"RolloutState", index.rollout_.state);
  std::wstring name;
  for (std::size_t i = 0; i < ini.SectionCount(); ++i) {
    if (!ini.NamedSection(i, name) || EqualNoCase(name, INDEX_SECTION)) continue;
    IndexedRelease release;
    release.version = name;
    ini.ReadString(i, L"Date", release.date);
    ini.ReadString(i, L"LiveAgain", release.liveAgain);
    ini.ReadString(i, L"Pruned", release.pruned);
    release.files = static_cast<std::size_t>(Number(ini, i, L"Files"));
    release.bytes = Number(ini, i, L"Bytes");
    release.packedBytes = Number(ini, i, L"PackedBytes");
    release.patches = static_cast<std::size_t>(Number(ini, i, L"Patches"));
    std::wstring added;
    if (ini.ReadString(i, L"AddedBytes", added) && !added.empty()) release.addedBytes = Number(ini, i, L"AddedBytes");
    index.releases_.push_back(release);
  }
  return index;
}

const IndexedRelease* ReleaseIndex::Find(const std::wstring& version) const {
  for (const IndexedRelease& release : releases_) {
    if (release.version == version) return &release;
  }
  return nullptr;
}

IniDocument ReleaseIndex::ListOf(const std::wstring& version) const {
  std::string text;
  UnpackToMemory(KeptListPath(product_, version), text);
  return IniDocument(text);
}

bool ReleaseIndex::KeepList(const std::wstring& version, const std::string& listText, std::string& error) const {
  std::error_code ignored;
  fs::create_directories(product_ / "releases", ignored);
  return PackBytesTo(KeptListPath(product_, version), listText, error);
}

void ReleaseIndex::Publish(const IndexedRelease& release) {
  rollout_ = IndexedRollout{};  // a release made live ends any rollout
  for (IndexedRelease& existing : releases_) {
    if (existing.version == release.version) {
      existing = release;
      live_ = release.version;
      return;
    }
  }
  releases_.push_back(release);
  live_ = release.version;
}

void ReleaseIndex::MakeLive(const std::wstring& version, const std::wstring& date) {
  rollout_ = IndexedRollout{};
  for (IndexedRelease& release : releases_) {
    if (release.version == version) release.liveAgain = date;
  }
  live_ = version;
}

void ReleaseIndex::MarkPruned(const std::wstring& version, const std::wstring& date) {
  for (IndexedRelease& release : releases_) {
    if (release.version == version) release.pruned = date;
  }
}

std::string ReleaseIndex::Text() const {
  std::wstring text = L"; What this tree has published, oldest first; written by zepo-publish.\r\n[" +
                      std::wstring(INDEX_SECTION) + L"]\r\nLive=" + live_ + L"\r\n";
  if (!rollout_.version.empty()) {
    text += L"Rollout=" + rollout_.version + L"\r\nRolloutPercent=" + rollout_.percent + L"\r\nRolloutState=" +
            rollout_.state + L"\r\n";
  }
  for (const IndexedRelease& r : releases_) {
    text += L"[" + r.version + L"]\r\nDate=" + r.date + L"\r\nFiles=" + std::to_wstring(r.files) + L"\r\nBytes=" +
            std::to_wstring(r.bytes) + L"\r\nPackedBytes=" + std::to_wstring(r.packedBytes) + L"\r\nPatches=" +
            std::to_wstring(r.patches) + L"\r\n";
    if (r.addedBytes) text += L"AddedBytes=" + std::to_wstring(*r.addedBytes) + L"\r\n";
    if (!r.liveAgain.empty()) text += L"LiveAgain=" + r.liveAgain + L"\r\n";
    if (!r.pruned.empty()) text += L"Pruned=" + r.pruned + L"\r\n";
  }
  return WideToUtf8(text);
}

std::wstring IndexDateNow() { return IndexDateAt(static_cast<std::int64_t>(std::time(nullptr))); }

std::wstring IndexDateAt(std::int64_t unixTime) {
  const std::tm utc = UtcCalendarTime(unixTime);
  wchar_t text[32];
  std::wcsftime(text, sizeof text / sizeof text[0], L"%Y-%m-%d %H:%M", &utc);
  return text;
}

std::vector<std::wstring> IndexedVersions(const ReleaseIndex& index) {
  std::vector<std::wstring> versions;
  for (const IndexedRelease& release : index.releases()) {
    if (release.pruned.empty()) versions.push_back(release.version);
  }
  return versions;
}

std::size_t FirstEntrySection(const IniDocument& list) {
  std::wstring name;
  std::size_t first = 0;
  while (first < list.SectionCount() && !list.NamedSection(first, name)) ++first;
  return first + 1;
}
