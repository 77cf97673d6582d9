#include "engine/checker.h"

#include <unordered_map>
#include <unordered_set>

#include "engine/chunk_fetcher.h"
#include "engine/safe_name.h"
#include "protocol/chunks.h"
#include "services/file_time.h"
#include "services/files.h"
#include "services/logger.h"
#include "services/md5.h"
#include "services/status_callback.h"
#include "services/ini_file.h"
#include "services/platform.h"
#include "services/text.h"

namespace {

void Log(const wchar_t* kind, const std::wstring& name, const wchar_t* verdict) {
  WriteUpdateLog(std::wstring(kind) + L" [" + name + L"] => " + verdict);
}

// Whether removing the name could reach outside the program folder through a linked folder on
// the way. The name itself may be a link: a removal takes the link away, never its target.
bool PassesThroughLink(const std::wstring& name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (IsPathSeparator(name[i]) && IsLink(name.substr(0, i))) return true;
  }
  return false;
}

}  // namespace

// Builds before this one unpacked a whole file beside its target under this suffix; one that a
// killed run left behind is removed when the file beside it is listed, unless the list itself
// names it. Each folder of the list is read once, which costs far less than a look for every
// listed file.
constexpr const wchar_t* OLD_STAGING_SUFFIX = L".zepo-new";

class OldStagingSweep {
 public:
  explicit OldStagingSweep(const IniDocument& list) : list_(list) {}

  // Sweeps the folder of a listed file unless it was swept already.
  void FolderOf(const std::wstring& name) {
    const std::size_t cut = name.find_last_of(L"\\/");
    const std::wstring folder = cut == std::wstring::npos ? std::wstring() : name.substr(0, cut + 1);
    if (!swept_.insert(FoldCase(folder)).second) return;
    const std::wstring suffix = OLD_STAGING_SUFFIX;
    for (const std::wstring& entry : FolderEntries(folder.empty() ? L"." : folder)) {
      if (entry.size() <= suffix.size() || !EqualNoCase(entry.substr(entry.size() - suffix.size()), suffix)) continue;
      const std::wstring leftover = folder + entry;
      const std::wstring beside = leftover.substr(0, leftover.size() - suffix.size());
      if (list_.FindSection(beside) == IniDocument::NO_SECTION ||
          list_.FindSection(leftover) != IniDocument::NO_SECTION || IsFolder(leftover)) {
        continue;
      }
      ClearReadOnly(leftover);
      if (RemoveFile(leftover)) WriteUpdateLog(L"Check file [" + leftover + L"] => Remove file");
    }
  }

 private:
  const IniDocument& list_;
  std::unordered_set<std::wstring> swept_;
};


// A file found by its time gets its line while this month's update log has room for it: on a
// game of 200,000 files those lines are 13 MB a run, and a month of runs would grow the log
// without end. Past the bound they stop, which the log says once; every other line stays.
void Checker::LogSameTime(const std::wstring& name) {
  const std::wstring line = L"Check file [" + name + L"] => Same time";
  const std::uint64_t bytes = line.size() + 17;  // the stamp and the line's end
  if (bytes <= sameTimeRoom_) {
    sameTimeRoom_ -= bytes;
    WriteUpdateLog(line);
  } else if (!sameTimeCut_) {
    sameTimeCut_ = true;
    WriteUpdateLog(L"Check file [...] => Same time: the lines of files found by their time stop here, this month's "
                   L"update log holds " + std::to_wstring(SAME_TIME_LOG_BOUND >> 20) + L" MiB");
  }
}

Checker::Checker(IStatusCallback* callback, const std::wstring& localFolder, WorkPlan& plan)
    : callback_(callback), localFolder_(localFolder), plan_(plan), applied_(localFolder) {}

FileEntry& Checker::Append(WorkPlan::EntryList& list, const std::wstring& name, const std::wstring& dateTime,
                           const std::wstring& checksum) {
  auto entry = std::make_unique<FileEntry>();
  entry->target = name;
  if (section_ < replaced_.size()) replaced_[section_] = true;
  entry->dateTime = WideToUtf8(dateTime);
  entry->checksum = WideToUtf8(checksum);
  entry->callback = callback_;
  list.push_back(std::move(entry));
  return *list.back();
}

bool Checker::CheckFiles(IniDocument list, const std::wstring& listPath, CheckMode mode, StepCode& errorCode,
                         std::wstring& failedName) {
  errorCode = StepCode();
  failedName.clear();
  failureCause_.clear();
  list_ = std::move(list);
  wholeFiles_ = ParseListHeader(list_).KeepsWholeFiles();
  applied_.Forget();
  const std::uint64_t logged = UpdateLogBytes();
  sameTimeRoom_ = logged < SAME_TIME_LOG_BOUND ? SAME_TIME_LOG_BOUND - logged : 0;
  sameTimeCut_ = false;
  // The first named section describes the list itself ("ServerConfig"); every later one names a
  // file or folder. Names are taken one at a time: a list of 200,000 files is never copied.
  std::size_t first = 0;
  std::wstring name;
  while (first < list_.SectionCount() && !list_.NamedSection(first, name)) ++first;
  if (first >= list_.SectionCount()) {
    errorCode = CheckCode::NoList;
    failedName = listPath;
    failureCause_ = L"the list names no file";
    return false;
  }
  UpdateLogBatch batch;
  if (!ValidateNames(first, errorCode, failedName)) return false;
  // A name listed again reads the first section of that name, as every lookup does: it is
  // checked once, however often a hostile list repeats it.
  std::vector<bool> checked(list_.SectionCount(), false);
  replaced_.assign(list_.SectionCount(), false);
  OldStagingSweep sweep(list_);
  ListEntry listed;
  for (std::size_t i = first + 1; i < list_.SectionCount(); ++i) {
    const std::size_t section = list_.SectionReadFor(i);
    if (section == IniDocument::NO_SECTION || checked[section]) continue;
    if (!ParseListEntry(list_, section, listed, ListParts::Head)) continue;
    checked[section] = true;
    section_ = section;
    if (listed.method == ListMethod::Remove || listed.method == ListMethod::Exists) {
      ClassifyRule(listed);
      continue;
    }
    if (!dryRun_) sweep.FolderOf(listed.name);
    if (!ClassifyFile(listed, mode, errorCode, failedName)) return false;
  }
  RemoveOtherChannelsFiles();
  NoteLocalContent();
  // The lists are not read again in the run: their memory goes back before the downloads.
  list_ = IniDocument();
  replaced_ = {};
  applied_.Forget();
  return true;
}

// Every name is checked before anything is touched: one hostile name and nothing at all is
// removed, created or queued.
bool Checker::ValidateNames(std::size_t first, StepCode& errorCode, std::wstring& failedName) {
  std::wstring name;
  ListEntry listed;
  for (std::size_t i = first + 1; i < list_.SectionCount(); ++i) {
    if (!list_.NamedSection(i, name)) continue;
    ParseListEntry(list_, list_.SectionReadFor(i), listed, ListParts::Head);
    failureCause_ = EntryNameProblem(name);
    if (failureCause_.empty() && listed.method == ListMethod::Remove && PassesThroughLink(name)) {
      failureCause_ = L"its removal would pass through a link";
    }
    if (!failureCause_.empty()) {
      errorCode = CheckCode::UnsafeName;
      failedName = name;
      Log(L"Check file", name, L"Failed");
      return false;
    }
    // An updater replaced by bytes that nothing vouches for could never repair itself.
    if (listed.method == ListMethod::SelfUpdate && listed.checksum.empty()) {
      errorCode = CheckCode::UnverifiedSelfUpdate;
      failedName = name;
      failureCause_ = L"the self-update file has no CheckSum";
      TheLogger().WriteFailure(L"AutoUpdateApp: the self-update file [" + name + L"] has no CheckSum");
      Log(L"Check file", name, L"Failed");
      return false;
    }
  }
  return true;
}

// The check reads each entry's head; an entry that a file is queued by is read whole.
const ListEntry& Checker::Completed(ListEntry& listed) {
  ParseListEntry(list_, section_, listed, ListParts::All);
  return listed;
}

// A "Remove" or "Exists" rule. Removals wait for the commit: a run that fails leaves the
// installation as it was. A missing "Exists" folder is made now, a missing file fetched.
void Checker::ClassifyRule(ListEntry& listed) {
  const std::wstring& name = listed.name;
  const bool folder = listed.target == ListTarget::Folder;
  if (listed.target == ListTarget::None) return;
  if (listed.method == ListMethod::Remove) {
    plan_.removals.push_back({name, folder});
    // A removed file's content may hold chunks of the files the run fetches.
    std::wstring fileTime;
    if (!folder && highestFormat_ >= 3) GetFileTimeText(name, fileTime);
    if (!fileTime.empty()) {
      plan_.removals.back().heldChunks = ListedChunkIndex(applied_.ChunkIndex(name, fileTime));
    }
    Log(folder ? L"Check folder" : L"Check file", name, folder ? L"Remove folder" : L"Remove file");
    return;
  }
  if (PathExists(name)) return;
  if (folder) {
    if (!dryRun_) CreateDirectoryPath(name);
    Log(L"Check folder", name, L"Exists folder");
  } else {
    AddContentForms(Append(plan_.updates, name, L"", L""), Completed(listed));
    Log(L"Check file", name, L"Exists file");
  }
}

// A signed list's content keys, which a client that trusts a key holds each staged file to, and
// the file's forms after any patch: its chunks, then whole, the zstd form first, as the list
// offers them. A small file is taken whole where the tree keeps whole files (see CHUNKS_WORTH_FROM).
void Checker::AddContentForms(FileEntry& entry, const ListEntry& listed) {
  const std::string whole = WideToUtf8(serverUrl_ + updateFolder_ + listed.name);
  entry.sha256 = WideToUtf8(listed.sha256);
  entry.size = WideToUtf8(listed.size);
  const std::string chunks = ListedChunkIndex(listed.chunks);
  const bool takesChunks = highestFormat_ >= 3 && !chunks.empty() &&
                           (!wholeFiles_ || ListedBytes(listed.size) >= CHUNKS_WORTH_FROM);
  if (takesChunks) entry.fallbacks.push_back({WideToUtf8(serverUrl_ + ChunkIndexName(chunks)), ContentForm::Chunks});
  // Without a whole form, the pack that holds the file's chunks alone is the file whole: one
  // request for a file that nothing installed holds.
  const std::string pack = ListedChunkIndex(listed.chunksPack);
  if (takesChunks && !wholeFiles_ && !pack.empty()) {
    entry.fallbacks.push_back({WideToUtf8(serverUrl_ + ChunkPackName(pack)), ContentForm::ChunkPack});
  }
  if (highestFormat_ >= 2 && IsWhole2Extension(listed.whole2)) {
    entry.fallbacks.push_back({whole + WideToUtf8(listed.whole2), ContentForm::Whole2, ListedBytes(listed.whole2Bytes)});
  }
  if (wholeFiles_ || entry.fallbacks.empty()) {
    entry.fallbacks.push_back({whole, ContentForm::Whole, ListedBytes(listed.wholeBytes)});
  }
  TakeNextOffer(entry);
}

// A file of the list ("Update", "Patch", "SelfUpdate"): up to date by its time or its digest, or
// queued whole or as a patch from the installed content.
bool Checker::ClassifyFile(ListEntry& listed, CheckMode mode, StepCode& errorCode, std::wstring& failedName) {
  const std::wstring& name = listed.name;
  const std::wstring& dateTime = listed.dateTime;
  const std::wstring& checksum = listed.checksum;
  // The file's time, read first: a file that gives one exists, which spares the common case a
  // second look at the disk.
  std::wstring fileTime;
  GetFileTimeText(name, fileTime);
  if (fileTime.empty() && !PathExists(name)) {
    Completed(listed);
    if (listed.method == ListMethod::Patch && QueuePatchFromOtherFile(listed)) return true;
    AddContentForms(Append(plan_.updates, name, dateTime, checksum), listed);
    Log(L"Check file", name, L"New file");
    return true;
  }
  if (callback_ != nullptr && !callback_->OnCheckFile(name)) {
    errorCode = CheckCode::Cancelled;
    failedName = name;
    return false;
  }
  std::uint64_t size = 0;
  if (!IsFolder(name) && !RegularFileSize(name, size)) {
    // A pipe, device or socket under a listed name is never opened (it would hold the run or
    // read without end): the listed content replaces it.
    AddContentForms(Append(plan_.updates, name, dateTime, checksum), Completed(listed));
    Log(L"Check file", name, L"Not a regular file");
    return true;
  }
  if (mode == CheckMode::TrustSameTime && !dateTime.empty() && SameFileTimeToMinute(fileTime, dateTime)) {
    LogSameTime(name);
    return true;
  }
  // A file changed since this list, still as the last applied list left it: that list says what
  // it holds, so finding its patch reads nothing (a 4 GiB pack file is not hashed for its 1 MB
  // patch). Were it changed within that minute, the patch's rebuild fails its check and the
  // file comes whole.
  std::wstring digest = mode == CheckMode::TrustSameTime ? applied_.Digest(name, fileTime) : L"";
  const bool vouched = !digest.empty();
  if (digest.empty()) Md5OfFile(digest, name);
  if (digest.empty()) {
    failureCause_ = LastSystemErrorText();
    errorCode = CheckCode::UnreadableFile;
    failedName = name;
    Log(L"Check file", name, L"Failed");
    return false;
  }
  if (EqualNoCase(checksum, digest)) {
    if (!dryRun_) SetFileTimeText(name, dateTime);
    Log(L"Check file", name, L"Same file");
    return true;
  }
  // A file of the listed time whose content is not the listed one: damaged behind the updater's
  // back, which only a check that reads every file finds (a repair).
  FileEntry* queued = QueueChanged(Completed(listed), digest);
  if (queued != nullptr && !dateTime.empty() && SameFileTimeToMinute(fileTime, dateTime)) queued->repaired = true;
  if (queued != nullptr && vouched) queued->heldChunks = ListedChunkIndex(applied_.ChunkIndex(name, fileTime));
  return true;
}

// An installed file whose content (of that digest) is not the listed one: queued by its method.
// The updater's own files come whole in the form every updater reads: an updater that replaced
// itself wrongly could not repair itself.
FileEntry* Checker::QueueChanged(const ListEntry& listed, const std::wstring& digest) {
  const std::wstring& name = listed.name;
  const std::wstring& dateTime = listed.dateTime;
  const std::wstring& checksum = listed.checksum;
  const ListedPatch* patches = listed.PatchesFrom(digest);
  FileEntry* queued = nullptr;
  if (listed.method == ListMethod::SelfUpdate) {
    FileEntry& entry = Append(plan_.selfUpdates, name, dateTime, checksum);
    entry.url = WideToUtf8(serverUrl_ + updateFolder_ + name);
    entry.sha256 = WideToUtf8(listed.sha256);
    entry.size = WideToUtf8(listed.size);
    Log(L"Check file", name, L"SelfUpdate file");
    queued = &entry;
  } else if (listed.method == ListMethod::Patch && patches != nullptr && TakesPatches(*patches)) {
    queued = &QueuePatch(listed, *patches);
  } else if (listed.method == ListMethod::Update || listed.method == ListMethod::Patch) {
    queued = &Append(plan_.updates, name, dateTime, checksum);
    AddContentForms(*queued, listed);
    Log(L"Check file", name, L"Update file");
  }
  return queued;
}

bool Checker::TakesPatches(const ListedPatch& patches) const {
  return !patches.folder.empty() || (highestFormat_ >= 2 && !patches.folder2.empty());
}

// A patch entry: the format-2 patch first, then the byte code's, then the whole forms.
FileEntry& Checker::QueuePatch(const ListEntry& listed, const ListedPatch& patches) {
  const std::wstring& name = listed.name;
  FileEntry& entry = Append(plan_.patches, name, listed.dateTime, listed.checksum);
  if (highestFormat_ >= 2 && !patches.folder2.empty()) {
    entry.fallbacks.push_back({WideToUtf8(serverUrl_ + patches.folder2 + name), ContentForm::Patch2, ListedBytes(patches.bytes2)});
  }
  if (!patches.folder.empty()) {
    entry.fallbacks.push_back({WideToUtf8(serverUrl_ + patches.folder + name), ContentForm::Patch, ListedBytes(patches.bytes)});
  }
  AddContentForms(entry, listed);
  Log(L"Check file", name, L"Patch file");
  return entry;
}

// A new name whose list patches it from a file of another name (a renamed folder whose files
// changed too): taken when the installation holds that file with the content the patch starts
// from. The name is the list's, judged as every name is; the file is read for its digest, once.
bool Checker::QueuePatchFromOtherFile(const ListEntry& listed) {
  for (const ListedPatch& patches : listed.patches) {
    const std::wstring& source = patches.source;
    if (source.empty() || !TakesPatches(patches) || !EntryNameProblem(source).empty() || PassesThroughLink(source)) {
      continue;
    }
    std::wstring digest;
    std::uint64_t size = 0;
    if (RegularFileSize(source, size)) Md5OfFile(digest, source);
    if (digest.empty() || !EqualNoCase(digest, patches.from)) continue;
    QueuePatch(listed, patches).patchSource = source;
    return true;
  }
  return false;
}

bool IsWhole2Extension(const std::wstring& extension) {
  if (extension.size() < 2 || extension.size() > 16 || extension[0] != L'.') return false;
  for (std::size_t i = 1; i < extension.size(); ++i) {
    const wchar_t c = extension[i];
    if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9'))) return false;
  }
  return true;
}

// An installation that changed channels holds files that only the other channel's releases
// shipped: this channel's lists never name them for removal. The last finished run's list says
// which files the updater put there; those of them that this list does not name go, as the
// list's removals do. Files the player made, and the "Exists" files, are never touched.
void Checker::RemoveOtherChannelsFiles() {
  const IniDocument& applied = applied_.List();
  if (applied.SectionCount() == 0 || ListIsOfChannel(ParseListHeader(applied), ParseListHeader(list_).channel)) return;
  ListEntry listed;
  for (std::size_t i = 0; i < applied.SectionCount(); ++i) {
    if (!ParseListEntry(applied, applied.SectionReadFor(i), listed, ListParts::Head) || !listed.HasContent() ||
        list_.FindSection(listed.name) != IniDocument::NO_SECTION || !EntryNameProblem(listed.name).empty() ||
        PassesThroughLink(listed.name)) {
      continue;
    }
    std::uint64_t size = 0;
    if (!RegularFileSize(listed.name, size)) continue;
    plan_.removals.push_back({listed.name, false});
    Log(L"Check file", listed.name, L"Remove file (another channel's)");
  }
}

void Checker::NoteLocalContent() {
  ContentKeys wanted;
  ContentKey key;
  for (const WorkPlan::EntryList* entries : {&plan_.updates, &plan_.patches}) {
    for (const auto& entry : *entries) {
      if (!ParseContentKey(Utf8Text(entry->checksum), key)) continue;
      if (!wanted.insert(key).second) plan_.repeats.insert(entry.get());
    }
  }
  if (wanted.empty()) return;
  // A file this run replaces does not hold its listed content, whatever its time says.
  plan_.localContent.NoteListed(list_, wanted, replaced_);
  plan_.localContent.NoteListed(applied_.List(), wanted);
  if (applied_.List().SectionCount() != 0) return;
  // No run recorded what this installation holds: its unlisted files of a wanted size may.
  std::unordered_map<std::uint64_t, ContentKeys> wantedBySize;
  for (const WorkPlan::EntryList* entries : {&plan_.updates, &plan_.patches}) {
    for (const auto& entry : *entries) {
      const std::uint64_t size = ListedSize(*entry);
      if (size > 0 && ParseContentKey(Utf8Text(entry->checksum), key)) wantedBySize[size].insert(key);
    }
  }
  plan_.localContent.NoteUnlisted(list_, wantedBySize, localFolder_);
}
