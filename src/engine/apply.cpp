#include <chrono>
#include <functional>
#include <thread>

#include "services/logger.h"
#include "engine/patch.h"
#include "engine/patch2.h"
#include "engine/update_client.h"
#include "services/files.h"
#include "services/http.h"
#include "services/packed.h"
#include "services/packed2.h"
#include "services/platform.h"
#include "services/text.h"

bool MatchesChecksum(const std::wstring& path, const std::wstring& checksum) {
  if (checksum.empty()) return true;
  std::wstring digest;
  Md5OfFile(digest, path);
  return !digest.empty() && EqualNoCase(digest, checksum);
}

namespace {

// The most bytes that a file's content may have: the list's "Size"; no bound without one.
std::uint64_t ListedBound(const FileEntry& entry) {
  return entry.size.empty() ? UNPACK_NO_LIMIT : ListedSize(entry);
}

// Logs a failed file operation with the system's reason and hands the reason back.
std::wstring LogFailure(const std::wstring& what, const std::wstring& path) {
  const std::wstring cause = LastSystemErrorText();
  TheLogger().WriteFailure(L"AutoUpdateApp: " + what + L" [" + path + L"]: " + cause);
  return cause;
}

// Sets the list's time on a file and reads it back: a file system that clamps the time (ext4
// before 1901) or a time the system takes as "leave unchanged" would otherwise leave a file whose
// time never matches the list again, and every later check would hash it.
void SetListTime(const std::wstring& path, const std::wstring& dateTime) {
  if (dateTime.empty()) return;
  std::wstring written;
  if (SetFileTimeText(path, dateTime)) GetFileTimeText(path, written);
  if (written != dateTime) {
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: the time " + dateTime + L" could not be set on [" + path +
                                       L"] (it reads " + (written.empty() ? L"nothing" : written) + L")");
  }
}

}  // namespace

bool UpdateClient::Fetch(FileEntry& entry) {
  entry.outcome = StepOutcome{};
  const std::wstring staged = staging_.StagedPath(TargetOf(entry), entry.checksum);
  if (PathExists(staged) && MatchesChecksum(staged, entry.checksum)) {
    entry.staged = true;
    // Counted as a download of the run, so that "n/m files" still reaches m.
    if (entry.callback != nullptr) (void)entry.callback->OnDownloadProgress(0, 0);
    TheLogger().Write(LOG_FYI, L"AutoUpdateApp: staged earlier [" + TargetOf(entry) + L"]");
    return true;
  }
  entry.staged = false;
  if (CopyLocalContent(entry)) {
    if (entry.callback != nullptr) (void)entry.callback->OnDownloadProgress(0, 0);
    return true;
  }
  return DownloadWithRetries(entry);
}

namespace {

// Failures that another attempt may mend: the network's, not the disk's or a missing file's.
bool WorthRetrying(StepCode code) {
  return code == DownloadCode::ShortBody || code == DownloadCode::RequestFailed || code == DownloadCode::NoInternet ||
         code == DownloadCode::Stalled;
}

}  // namespace

// Players on poor connections lose a transfer now and then: a failed download is tried again on
// the same address after each delay (1 s, then 4 s), then once on every other address that the
// probe found, each attempt continuing what the last one received. An address that hangs (no
// connection or no data within the limits) is left at once for the next one, and the rest of the
// run starts its downloads on the addresses that have not hung.
bool UpdateClient::DownloadWithRetries(FileEntry& entry) {
  StepCode& code = entry.outcome.code;
  const std::wstring path = staging_.DownloadPath(entry.url);
  const std::wstring suffix = entry.url.compare(0, serverUrl_.size(), serverUrl_) == 0
                                  ? entry.url.substr(serverUrl_.size())
                                  : std::wstring();
  const std::vector<std::wstring> bases = suffix.empty() ? std::vector<std::wstring>{L""} : AddressesInTurn();
  std::size_t retries = 0;
  std::size_t attempt = 0;
  for (std::size_t b = 0; b < bases.size();) {
    const std::wstring url = suffix.empty() ? entry.url : bases[b] + suffix;
    ++attempt;
    if (ResumeDownloadFile(path, entry.callback, code, url, hostName_)) return true;
    entry.outcome.cause = LastDownloadCause();
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: download of [" + url + L"] failed (code " +
                                       std::to_wstring(code.Number()) + L", attempt " + std::to_wstring(attempt) +
                                       L"): " + entry.outcome.cause);
    if (!WorthRetrying(code)) return false;
    if (code == DownloadCode::Stalled && b + 1 < bases.size()) {
      MarkHung(bases[b]);
      ++b;
    } else if (b == 0 && retries < retryDelaysMs_.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(retryDelaysMs_[retries++]));
    } else {
      ++b;
    }
  }
  return false;
}

std::vector<std::wstring> UpdateClient::AddressesInTurn() const {
  std::vector<std::wstring> healthy{serverUrl_}, hung;
  for (const std::wstring& address : addresses_) {
    const std::wstring base = scheme_ + L"://" + address + L"/" + rootFolder_;
    if (base != serverUrl_) healthy.push_back(base);
  }
  std::lock_guard<std::mutex> guard(hungLock_);
  for (auto it = healthy.begin(); it != healthy.end();) {
    if (hung_.count(*it) == 0) {
      ++it;
    } else {
      hung.push_back(*it);
      it = healthy.erase(it);
    }
  }
  healthy.insert(healthy.end(), hung.begin(), hung.end());
  return healthy;
}

void UpdateClient::MarkHung(const std::wstring& base) {
  std::lock_guard<std::mutex> guard(hungLock_);
  if (hung_.insert(base).second) {
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: [" + base + L"] hangs; this run takes the other addresses first");
  }
}

// The verified content at the work path becomes the staged file, and what it was made from goes.
bool UpdateClient::Promote(FileEntry& entry, const std::wstring& digest) {
  const std::wstring name = TargetOf(entry);
  const std::wstring work = staging_.WorkPath(name, entry.checksum);
  if (!entry.checksum.empty() && !EqualNoCase(digest, entry.checksum)) {
    entry.outcome.cause = L"the content's MD5 is " + digest + L", the list says " + entry.checksum;
    TheLogger().WriteFailure(L"AutoUpdateApp: [" + name + L"]: " + entry.outcome.cause);
    RemoveFile(work);
    entry.outcome.code = StageCode::BadContent;
    return false;
  }
  if (trust_.Enabled() && !ReleaseTrust::ContentMatches(work, entry.sha256, entry.size, entry.outcome.cause)) {
    TheLogger().WriteFailure(L"AutoUpdateApp: [" + name + L"]: " + entry.outcome.cause);
    RemoveFile(work);
    entry.outcome.code = StageCode::Unverified;
    return false;
  }
  SetListTime(work, entry.dateTime);
  if (!MoveFileReplace(work, staging_.StagedPath(name, entry.checksum))) {
    entry.outcome.cause = LogFailure(L"cannot stage", work);
    entry.outcome.code = StageCode::NoFile;
    return false;
  }
  RemovePartialDownload(staging_.DownloadPath(entry.url));
  RemoveFile(staging_.PatchPath(entry.url));
  entry.staged = true;
  return true;
}

bool UpdateClient::CopyLocalContent(FileEntry& entry) {
  if (entry.checksum.empty()) return false;
  const std::wstring target = TargetOf(entry);
  std::wstring source = localContent_.Find(entry.checksum, entry.size, target);
  if (source.empty() && RepeatsEarlierContent(entry)) source = StagedEarlier(entry);
  if (source.empty()) return false;
  const std::wstring work = staging_.WorkPath(target, entry.checksum);
  std::wstring digest, cause, writeFailure;
  if (!CopyFileWithDigest(source, work, ListedBound(entry), digest, cause, writeFailure) || !Promote(entry, digest)) {
    RemoveFile(work);
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: [" + target + L"] cannot be copied from [" + source + L"] (" +
                                       (writeFailure.empty() ? cause.empty() ? entry.outcome.cause : cause : writeFailure) +
                                       L"); it is downloaded instead");
    entry.outcome = StepOutcome{};
    return false;
  }
  TheLogger().Write(LOG_FYI, L"AutoUpdateApp: [" + target + L"] copied from [" + source + L"], which holds its content");
  entry.copied = true;
  return true;
}

std::wstring UpdateClient::StagedEarlier(const FileEntry& entry) const {
  for (const EntryList* entries : {&updateList_, &patchList_}) {
    for (const auto& other : *entries) {
      if (other.get() == &entry) return L"";
      if (other->staged && EqualNoCase(other->checksum, entry.checksum)) {
        return staging_.StagedPath(TargetOf(*other), other->checksum);
      }
    }
  }
  return L"";
}

// Makes an entry's content at its work path from its download, by its form, and stages it. When
// the content is at fault, the download and all made from it go: no later run could use them.
// When the disk is, the download stays for the next run, and the failure says so rather than
// blame the server.
bool UpdateClient::StageEntry(FileEntry& entry) {
  entry.outcome = StepOutcome{};
  if (entry.staged) return true;
  const std::wstring work = staging_.WorkPath(TargetOf(entry), entry.checksum);
  std::wstring digest;
  std::wstring writeFailure;
  std::wstring cause;
  if (!MakeContent(entry, work, digest, cause, writeFailure)) {
    // A full disk is judged before the partial output goes: removing it makes room again.
    if (!writeFailure.empty()) entry.outcome.code = ClassifyWriteFailure(work, 1 << 20);
    RemoveFile(staging_.PatchPath(entry.url));
    RemoveFile(work);
    if (!writeFailure.empty()) {
      entry.outcome.cause = L"cannot write [" + work + L"]: " + writeFailure;
      return false;
    }
    entry.outcome.cause = L"its download does not make the file" + (cause.empty() ? L"" : L": " + cause);
    RemovePartialDownload(staging_.DownloadPath(entry.url));
    entry.outcome.code = StageCode::BadContent;
    return false;
  }
  const std::int64_t fetched = FileHandle::OpenForRead(staging_.DownloadPath(entry.url)).Size();
  if (!Promote(entry, digest)) return false;
  entry.fetchedBytes = fetched > 0 ? static_cast<std::uint64_t>(fetched) : 0;
  return true;
}

namespace {

// A byte-code patch adds no more than each byte of the file and its records' few bytes.
std::uint64_t PatchBound(std::uint64_t fileBound) {
  return fileBound == UNPACK_NO_LIMIT ? UNPACK_NO_LIMIT : 2 * fileBound + (64 << 10);
}

// Whether a format-2 patch makes the listed size: its header says so before any byte is made.
bool Patch2MakesSize(const std::wstring& patchPath, std::uint64_t bound, std::wstring& cause) {
  if (bound == UNPACK_NO_LIMIT) return true;
  FileHandle file = FileHandle::OpenForRead(patchPath);
  std::uint8_t bytes[PATCH2_HEADER_SIZE];
  std::size_t got = 0;
  Patch2Header header;
  if (!file.IsOpen() || !file.Read(bytes, sizeof bytes, got) || !DecodePatch2Header(bytes, got, header)) return true;
  if (header.newSize == bound) return true;
  cause = L"the patch makes " + std::to_wstring(header.newSize) + L" bytes, the list says " + std::to_wstring(bound);
  return false;
}

}  // namespace

// Every form is bounded by the size the list gives the file: a stream that unpacks without end
// (a small zstd frame can) stops at once and is blamed on the content, so that the next form is
// tried instead of the disk filling up.
bool UpdateClient::MakeContent(const FileEntry& entry, const std::wstring& work, std::wstring& digest,
                               std::wstring& cause, std::wstring& writeFailure) {
  const std::wstring download = staging_.DownloadPath(entry.url);
  const std::uint64_t bound = ListedBound(entry);
  switch (entry.form) {
    case ContentForm::Whole:
      return UnpackFileWithDigest(download, work, digest, cause, writeFailure, bound);
    case ContentForm::Whole2:
      return Unpack2FileWithDigest(download, work, digest, cause, writeFailure, bound);
    case ContentForm::Patch: {
      const std::wstring patchPath = staging_.PatchPath(entry.url);
      std::wstring patchDigest;
      return UnpackFileWithDigest(download, patchPath, patchDigest, cause, writeFailure, PatchBound(bound)) &&
             ApplyPatchFileWithDigest(PatchSourceOf(entry), patchPath, work, digest, cause, writeFailure, bound);
    }
    case ContentForm::Patch2:
      return Patch2MakesSize(download, bound, cause) &&
             ApplyPatch2File(PatchSourceOf(entry), download, work, digest, cause, writeFailure);
  }
  return false;
}

bool TakeNextOffer(FileEntry& entry) {
  if (entry.fallbacks.empty()) return false;
  entry.url = entry.fallbacks.front().url;
  entry.form = entry.fallbacks.front().form;
  entry.fallbacks.erase(entry.fallbacks.begin());
  return true;
}

bool IsWhole2Extension(const std::wstring& extension) {
  if (extension.size() < 2 || extension.size() > 16 || extension[0] != L'.') return false;
  for (std::size_t i = 1; i < extension.size(); ++i) {
    const wchar_t c = extension[i];
    if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9'))) return false;
  }
  return true;
}

bool UpdateClient::FallBack(FileEntry& entry) {
  if (entry.staged || entry.fallbacks.empty()) return false;
  RemovePartialDownload(staging_.DownloadPath(entry.url));
  RemoveFile(staging_.PatchPath(entry.url));
  const std::wstring failed = entry.url;
  TakeNextOffer(entry);
  TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: [" + TargetOf(entry) + L"] from [" + failed + L"] failed (" +
                                     entry.outcome.cause + L"); taking [" + entry.url + L"] instead");
  return true;
}

bool UpdateClient::CommitEntry(FileEntry& entry) {
  entry.outcome = StepOutcome{};
  const std::wstring target = TargetOf(entry);
  const std::wstring staged = staging_.StagedPath(target, entry.checksum);
  if (PathExists(target)) ClearReadOnly(target);
  const std::wstring folder = FolderOfPath(target);
  if (!folder.empty()) CreateDirectoryPath(folder);
  if (!MoveFileReplace(staged, target)) {
    entry.outcome.cause = LogFailure(L"cannot replace", target);
    entry.outcome.code = CommitCode::MoveFailed;
    return false;
  }
  return true;
}

bool UpdateClient::HandOverEntry(FileEntry& entry) {
  entry.outcome = StepOutcome{};
  const std::wstring folder = FolderOfPath(entry.localPath);
  if (!folder.empty()) CreateDirectoryPath(folder);
  if (PathExists(entry.localPath)) ClearReadOnly(entry.localPath);
  if (!MoveFileReplace(staging_.StagedPath(TargetOf(entry), entry.checksum), entry.localPath)) {
    entry.outcome.cause = LogFailure(L"cannot hand over", entry.localPath);
    entry.outcome.code = StageCode::NoFile;
    return false;
  }
  return true;
}

std::vector<std::wstring> UpdateClient::ReplacedTargets() const {
  std::vector<std::wstring> targets;
  for (const EntryList* list : {&updateList_, &patchList_}) {
    for (const auto& entry : *list) targets.push_back(TargetOf(*entry));
  }
  return targets;
}

std::vector<std::wstring> UpdateClient::RemovedNames() const {
  std::vector<std::wstring> names;
  for (const Removal& removal : removeList_) {
    if (PathExists(removal.name) || IsLink(removal.name)) names.push_back(removal.name);
  }
  return names;
}

std::vector<std::wstring> UpdateClient::RemovedTargets() const {
  std::vector<std::wstring> targets;
  for (const Removal& removal : removeList_) {
    if (!removal.folder) targets.push_back(removal.name);
  }
  return targets;
}

void UpdateClient::RemoveListed(std::vector<std::wstring>& failed) {
  for (const Removal& removal : removeList_) {
    const std::wstring& name = removal.name;
    bool removed = true;
    if (IsLink(name)) {
      // The link itself goes; what it points to is not ours.
      removed = RemoveLink(name);
    } else if (removal.folder) {
      DeleteFolderTree(name);
      removed = !PathExists(name);
    } else if (PathExists(name)) {
      ClearReadOnly(name);
      removed = RemoveFile(name);
    }
    if (!removed) {
      LogFailure(removal.folder ? L"cannot remove the folder" : L"cannot remove the file", name);
      failed.push_back(name);
    }
  }
}
