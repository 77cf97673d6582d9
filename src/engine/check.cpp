#include <unordered_set>

#include "services/logger.h"
#include "engine/safe_name.h"
#include "engine/update_client.h"
#include "services/files.h"
#include "services/ini_file.h"
#include "services/platform.h"
#include "services/text.h"

namespace {

void Log(const wchar_t* kind, const std::wstring& name, const wchar_t* verdict) {
  WriteUpdateLog(std::wstring(kind) + L" [" + name + L"] => " + verdict);
}

std::wstring Value(const IniDocument& list, std::size_t section, const wchar_t* key) {
  std::wstring value;
  list.ReadString(section, key, value);
  return value;
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
void UpdateClient::LogSameTime(const std::wstring& name) {
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

bool UpdateClient::CheckFiles(CheckMode mode, StepCode& errorCode, std::wstring& failedName) {
  errorCode = StepCode();
  failedName.clear();
  failureCause_.clear();
  appliedList_.reset();
  const std::uint64_t logged = UpdateLogBytes();
  sameTimeRoom_ = logged < SAME_TIME_LOG_BOUND ? SAME_TIME_LOG_BOUND - logged : 0;
  sameTimeCut_ = false;
  const std::wstring listPath = localFolder_ + localListName_;
  // Read by LoadDescription; a check of the list on disk alone (the benchmark's) reads it here.
  if (list_.SectionCount() == 0) list_ = LoadIniFile(listPath);
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
  OldStagingSweep sweep(list_);
  for (std::size_t i = first + 1; i < list_.SectionCount(); ++i) {
    if (!list_.NamedSection(i, name)) continue;
    const std::size_t section = list_.SectionReadFor(i);
    if (section == IniDocument::NO_SECTION || checked[section]) continue;
    checked[section] = true;
    const std::wstring method = Value(list_, section, L"Method");
    if (EqualNoCase(method, L"Remove") || EqualNoCase(method, L"Exists")) {
      ClassifyRule(section, name, method);
      continue;
    }
    if (!dryRun_) sweep.FolderOf(name);
    if (!ClassifyFile(section, name, method, mode, errorCode, failedName)) return false;
  }
  NoteLocalContent(list_);
  // The lists are not read again in the run: their memory goes back before the downloads.
  list_ = IniDocument();
  appliedList_.reset();
  return true;
}

// Every name is checked before anything is touched: one hostile name and nothing at all is
// removed, created or queued.
bool UpdateClient::ValidateNames(std::size_t first, StepCode& errorCode, std::wstring& failedName) {
  std::wstring name;
  for (std::size_t i = first + 1; i < list_.SectionCount(); ++i) {
    if (!list_.NamedSection(i, name)) continue;
    const std::size_t section = list_.SectionReadFor(i);
    failureCause_ = EntryNameProblem(name);
    if (failureCause_.empty() && EqualNoCase(Value(list_, section, L"Method"), L"Remove") && PassesThroughLink(name)) {
      failureCause_ = L"its removal would pass through a link";
    }
    if (!failureCause_.empty()) {
      errorCode = CheckCode::UnsafeName;
      failedName = name;
      Log(L"Check file", name, L"Failed");
      return false;
    }
    // An updater replaced by bytes that nothing vouches for could never repair itself.
    if (EqualNoCase(Value(list_, section, L"Method"), L"SelfUpdate") && Value(list_, section, L"CheckSum").empty()) {
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

// A "Remove" or "Exists" rule. Removals wait for the commit: a run that fails leaves the
// installation as it was. A missing "Exists" folder is made now, a missing file fetched.
void UpdateClient::ClassifyRule(std::size_t section, const std::wstring& name, const std::wstring& method) {
  const std::wstring target = Value(list_, section, L"Target");
  const bool folder = EqualNoCase(target, L"Folder");
  if (!folder && !EqualNoCase(target, L"File")) return;
  if (EqualNoCase(method, L"Remove")) {
    removeList_.push_back({name, folder});
    Log(folder ? L"Check folder" : L"Check file", name, folder ? L"Remove folder" : L"Remove file");
    return;
  }
  if (PathExists(name)) return;
  if (folder) {
    if (!dryRun_) CreateDirectoryPath(name);
    Log(L"Check folder", name, L"Exists folder");
  } else {
    AddContentForms(Append(updateList_, name, L"", L""), section, name);
    Log(L"Check file", name, L"Exists file");
  }
}

// A signed list's content keys, which a client that trusts a key holds each staged file to, and
// the file's whole forms: the zstd one first when the list offers it.
void UpdateClient::AddContentForms(FileEntry& entry, std::size_t section, const std::wstring& name) {
  const std::wstring whole = serverUrl_ + updateFolder_ + name;
  const std::wstring whole2 = Value(list_, section, WHOLE2_KEY);
  entry.sha256 = Value(list_, section, L"SHA256");
  entry.size = Value(list_, section, L"Size");
  if (highestFormat_ >= 2 && IsWhole2Extension(whole2)) entry.fallbacks.push_back({whole + whole2, ContentForm::Whole2});
  entry.fallbacks.push_back({whole, ContentForm::Whole});
  TakeNextOffer(entry);
}

// A file of the list ("Update", "Patch", "SelfUpdate"): up to date by its time or its digest, or
// queued whole or as a patch from the installed content.
bool UpdateClient::ClassifyFile(std::size_t section, const std::wstring& name, const std::wstring& method,
                                CheckMode mode, StepCode& errorCode, std::wstring& failedName) {
  const std::wstring dateTime = Value(list_, section, L"DateTime");
  const std::wstring checksum = Value(list_, section, L"CheckSum");
  // The file's time, read first: a file that gives one exists, which spares the common case a
  // second look at the disk.
  std::wstring fileTime;
  GetFileTimeText(name, fileTime);
  if (fileTime.empty() && !PathExists(name)) {
    if (EqualNoCase(method, L"Patch") && QueuePatchFromOtherFile(section, name, dateTime, checksum)) return true;
    AddContentForms(Append(updateList_, name, dateTime, checksum), section, name);
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
    AddContentForms(Append(updateList_, name, dateTime, checksum), section, name);
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
  std::wstring digest = mode == CheckMode::TrustSameTime ? AppliedDigest(name, fileTime) : L"";
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
  // The updater's own files come whole in the form every updater reads: an updater that
  // replaced itself wrongly could not repair itself.
  const std::wstring patch = Value(list_, section, digest.c_str());
  const std::wstring patch2 = highestFormat_ >= 2 ? Value(list_, section, (digest + PATCH2_KEY_SUFFIX).c_str()) : L"";
  FileEntry* queued = nullptr;
  if (EqualNoCase(method, L"SelfUpdate")) {
    FileEntry& entry = Append(selfUpdateList_, name, dateTime, checksum);
    entry.url = serverUrl_ + updateFolder_ + name;
    entry.sha256 = Value(list_, section, L"SHA256");
    entry.size = Value(list_, section, L"Size");
    Log(L"Check file", name, L"SelfUpdate file");
    queued = &entry;
  } else if (EqualNoCase(method, L"Patch") && (!patch.empty() || !patch2.empty())) {
    queued = &QueuePatch(section, name, dateTime, checksum, patch, patch2);
  } else if (EqualNoCase(method, L"Update") || EqualNoCase(method, L"Patch")) {
    queued = &Append(updateList_, name, dateTime, checksum);
    AddContentForms(*queued, section, name);
    Log(L"Check file", name, L"Update file");
  }
  // A file of the listed time whose content is not the listed one: damaged behind the updater's
  // back, which only a check that reads every file finds (a repair).
  if (queued != nullptr && !dateTime.empty() && SameFileTimeToMinute(fileTime, dateTime)) queued->repaired = true;
  return true;
}

// A patch entry: the format-2 patch first, then the byte code's, then the whole forms.
FileEntry& UpdateClient::QueuePatch(std::size_t section, const std::wstring& name, const std::wstring& dateTime,
                                    const std::wstring& checksum, const std::wstring& patch, const std::wstring& patch2) {
  FileEntry& entry = Append(patchList_, name, dateTime, checksum);
  if (!patch2.empty()) entry.fallbacks.push_back({serverUrl_ + patch2 + name, ContentForm::Patch2});
  if (!patch.empty()) entry.fallbacks.push_back({serverUrl_ + patch + name, ContentForm::Patch});
  AddContentForms(entry, section, name);
  Log(L"Check file", name, L"Patch file");
  return entry;
}

// A new name whose list patches it from a file of another name (a renamed folder whose files
// changed too): taken when the installation holds that file with the content the patch starts
// from. The name is the list's, judged as every name is; the file is read for its digest, once.
bool UpdateClient::QueuePatchFromOtherFile(std::size_t section, const std::wstring& name,
                                           const std::wstring& dateTime, const std::wstring& checksum) {
  const std::wstring suffix = PATCH_SOURCE_KEY_SUFFIX;
  for (const auto& [key, source] : list_.KeysOf(name)) {
    if (key.size() <= suffix.size() || !EqualNoCase(key.substr(key.size() - suffix.size()), suffix)) continue;
    const std::wstring oldSum = key.substr(0, key.size() - suffix.size());
    const std::wstring patch = Value(list_, section, oldSum.c_str());
    const std::wstring patch2 =
        highestFormat_ >= 2 ? Value(list_, section, (oldSum + PATCH2_KEY_SUFFIX).c_str()) : L"";
    if ((patch.empty() && patch2.empty()) || !EntryNameProblem(source).empty() || PassesThroughLink(source)) continue;
    std::wstring digest;
    std::uint64_t size = 0;
    if (RegularFileSize(source, size)) Md5OfFile(digest, source);
    if (digest.empty() || !EqualNoCase(digest, oldSum)) continue;
    QueuePatch(section, name, dateTime, checksum, patch, patch2).patchSource = source;
    return true;
  }
  return false;
}
