#include "engine/stager.h"

#include <chrono>

#include "engine/chunk_assembly.h"
#include "engine/local_content.h"
#include "engine/patch.h"
#include "engine/patch2.h"
#include "services/file_time.h"
#include "services/files.h"
#include "services/http.h"
#include "services/logger.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/packed2.h"
#include "services/platform.h"
#include "services/status_callback.h"
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

bool Stager::FetchEntry(FileEntry& entry) {
  entry.outcome = StepOutcome{};
  const std::wstring checksum = Utf8Text(entry.checksum);
  const std::wstring staged = staging_.StagedPath(entry.target, checksum);
  if (PathExists(staged) && MatchesChecksum(staged, checksum)) {
    entry.staged = true;
    // Counted as a download of the run, so that "n/m files" still reaches m.
    if (entry.callback != nullptr) (void)entry.callback->OnDownloadProgress(0, 0);
    TheLogger().Write(LOG_FYI, L"AutoUpdateApp: staged earlier [" + entry.target + L"]");
    return true;
  }
  entry.staged = false;
  if (CopyLocalContent(entry)) {
    if (entry.callback != nullptr) (void)entry.callback->OnDownloadProgress(0, 0);
    return true;
  }
  // Weighed once, before its first download: a form that failed is not weighed back in.
  if (!entry.formWeighed) {
    entry.formWeighed = true;
    (void)choice_.Weigh(entry, MeasuredDownloadRate());
  }
  if (entry.form == ContentForm::Chunks) return chunks_.Fetch(entry);
  return source_.Bring(entry, staging_.DownloadPath(entry.Url()));
}

// The verified content at the work path becomes the staged file, and what it was made from goes.
bool Stager::Promote(FileEntry& entry, const std::wstring& digest) {
  const std::wstring name = entry.target;
  const std::wstring checksum = Utf8Text(entry.checksum);
  const std::wstring work = staging_.WorkPath(name, checksum);
  if (!checksum.empty() && !EqualNoCase(digest, checksum)) {
    entry.outcome.cause = L"the content's MD5 is " + digest + L", the list says " + checksum;
    TheLogger().WriteFailure(L"AutoUpdateApp: [" + name + L"]: " + entry.outcome.cause);
    RemoveFile(work);
    entry.outcome.code = StageCode::BadContent;
    return false;
  }
  if (trust_.Enabled() && !ReleaseTrust::ContentMatches(work, Utf8Text(entry.sha256), Utf8Text(entry.size), entry.outcome.cause)) {
    TheLogger().WriteFailure(L"AutoUpdateApp: [" + name + L"]: " + entry.outcome.cause);
    RemoveFile(work);
    entry.outcome.code = StageCode::Unverified;
    return false;
  }
  SetListTime(work, Utf8Text(entry.dateTime));
  if (!MoveFileReplace(work, staging_.StagedPath(name, checksum))) {
    entry.outcome.cause = LogFileFailure(L"cannot stage", work);
    entry.outcome.code = StageCode::NoFile;
    return false;
  }
  RemovePartialDownload(staging_.DownloadPath(entry.Url()));
  RemoveFile(staging_.PatchPath(entry.Url()));
  entry.staged = true;
  return true;
}

bool Stager::CopyLocalContent(FileEntry& entry) {
  if (entry.checksum.empty()) return false;
  const std::wstring target = entry.target;
  const std::wstring checksum = Utf8Text(entry.checksum);
  std::wstring source = plan_.localContent.Find(checksum, Utf8Text(entry.size), target);
  if (source.empty() && plan_.RepeatsEarlierContent(entry)) source = StagedEarlier(entry);
  if (source.empty()) return false;
  const std::wstring work = staging_.WorkPath(target, checksum);
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

std::wstring Stager::StagedEarlier(const FileEntry& entry) const {
  for (const WorkPlan::EntryList* entries : {&plan_.updates, &plan_.patches}) {
    for (const auto& other : *entries) {
      if (other.get() == &entry) return L"";
      if (other->staged && EqualNoCase(Utf8Text(other->checksum), Utf8Text(entry.checksum))) {
        return staging_.StagedPath(other->target, Utf8Text(other->checksum));
      }
    }
  }
  return L"";
}

// Makes an entry's content at its work path from its download, by its form, and stages it. When
// the content is at fault, the download and all made from it go: no later run could use them.
// When the disk is, the download stays for the next run, and the failure says so rather than
// blame the server.
bool Stager::StageEntry(FileEntry& entry) {
  entry.outcome = StepOutcome{};
  if (entry.staged) return true;
  const std::wstring work = staging_.WorkPath(entry.target, Utf8Text(entry.checksum));
  std::wstring digest;
  std::wstring writeFailure;
  std::wstring cause;
  const auto started = std::chrono::steady_clock::now();
  if (!MakeContent(entry, work, digest, cause, writeFailure)) {
    // A full disk is judged before the partial output goes: removing it makes room again.
    if (!writeFailure.empty()) entry.outcome.code = ClassifyWriteFailure(work, 1 << 20);
    RemoveFile(staging_.PatchPath(entry.Url()));
    RemoveFile(work);
    if (!writeFailure.empty()) {
      entry.outcome.cause = L"cannot write [" + work + L"]: " + writeFailure;
      return false;
    }
    entry.outcome.cause = L"its download does not make the file" + (cause.empty() ? L"" : L": " + cause);
    RemovePartialDownload(staging_.DownloadPath(entry.Url()));
    entry.outcome.code = StageCode::BadContent;
    return false;
  }
  const std::int64_t size = FileHandle::OpenForRead(staging_.DownloadPath(entry.Url())).Size();
  const std::uint64_t fetched = (size > 0 ? static_cast<std::uint64_t>(size) : 0) +
                                (entry.chunks != nullptr ? entry.chunks->downloaded : 0);
  entry.chunks.reset();
  choice_.RecordMaking(entry.form, ListedSize(entry),
                       std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  if (!Promote(entry, digest)) return false;
  entry.fetchedBytes = fetched;
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
bool Stager::MakeContent(const FileEntry& entry, const std::wstring& work, std::wstring& digest,
                               std::wstring& cause, std::wstring& writeFailure) {
  const std::wstring download = staging_.DownloadPath(entry.Url());
  const std::uint64_t bound = ListedBound(entry);
  switch (entry.form) {
    case ContentForm::Whole:
      return UnpackFileWithDigest(download, work, digest, cause, writeFailure, bound);
    case ContentForm::Whole2:
      return Unpack2FileWithDigest(download, work, digest, cause, writeFailure, bound);
    case ContentForm::Patch: {
      const std::wstring patchPath = staging_.PatchPath(entry.Url());
      std::wstring patchDigest;
      return UnpackFileWithDigest(download, patchPath, patchDigest, cause, writeFailure, PatchBound(bound)) &&
             ApplyPatchFileWithDigest(WorkPlan::PatchSourceOf(entry), patchPath, work, digest, cause, writeFailure, bound);
    }
    case ContentForm::Patch2:
      return Patch2MakesSize(download, bound, cause) &&
             ApplyPatch2File(WorkPlan::PatchSourceOf(entry), download, work, digest, cause, writeFailure);
    case ContentForm::Chunks:
      return entry.chunks != nullptr && AssembleChunks(*entry.chunks, work, digest, cause, writeFailure);
    case ContentForm::ChunkPack:
      return UnpackChunkPack(download, work, digest, cause, writeFailure, bound);
  }
  return false;
}

bool Stager::FallBack(FileEntry& entry) {
  if (entry.staged) return false;
  // Chunks placed by the index that the last run's list vouched for, in a file changed within the
  // minute of that list's time: they are found again by reading the file.
  if (entry.form == ContentForm::Chunks && !entry.heldChunks.empty() && entry.outcome.code == StageCode::BadContent) {
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: [" + entry.target + L"] is not what the last list said (" +
                                       entry.outcome.cause + L"); its chunks are found by reading it");
    entry.heldChunks.clear();
    entry.chunks.reset();
    RemovePartialDownload(staging_.DownloadPath(entry.Url()));
    return true;
  }
  if (entry.fallbacks.empty()) return false;
  entry.chunks.reset();
  RemovePartialDownload(staging_.DownloadPath(entry.Url()));
  RemoveFile(staging_.PatchPath(entry.Url()));
  const std::wstring failed = entry.Url();
  TakeNextOffer(entry);
  TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: [" + entry.target + L"] from [" + failed + L"] failed (" +
                                     entry.outcome.cause + L"); taking [" + entry.Url() + L"] instead");
  return true;
}

