#include "app/logger.h"
#include "engine/safe_name.h"
#include "engine/update_client.h"
#include "services/files.h"
#include "services/ini_file.h"
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

// Builds before this one unpacked a whole file beside its target under this suffix; one that a
// killed run left behind is removed when its name is listed, unless the list itself names it.
constexpr const wchar_t* OLD_STAGING_SUFFIX = L".zepo-new";

void RemoveOldStagingFile(const IniDocument& list, const std::wstring& name) {
  const std::wstring leftover = name + OLD_STAGING_SUFFIX;
  if (!PathExists(leftover) || list.FindSection(leftover) != IniDocument::NO_SECTION) return;
  ClearReadOnly(leftover);
  if (RemoveFile(leftover)) WriteUpdateLog(L"Check file [" + leftover + L"] => Remove file");
}

}  // namespace

bool UpdateClient::CheckFiles(int checkMode, int& errorCode, std::wstring& failedName) {
  errorCode = 0;
  failedName.clear();
  const std::wstring listPath = localFolder_ + localListName_;
  const IniDocument list = LoadIniFile(listPath);
  const std::vector<std::wstring> names = list.SectionNames();
  if (names.empty()) {
    errorCode = CHECK_NO_LIST;
    failedName = listPath;
    return false;
  }
  UpdateLogBatch batch;
  // Every name is checked before anything is touched: one hostile name and nothing at all is
  // removed, created or queued.
  for (std::size_t i = 1; i < names.size(); ++i) {
    if (!IsSafeEntryName(names[i]) || (EqualNoCase(Value(list, list.FindSection(names[i]), L"Method"), L"Remove") &&
                                       PassesThroughLink(names[i]))) {
      errorCode = CHECK_UNSAFE_NAME;
      failedName = names[i];
      Log(L"Check file", names[i], L"Failed");
      return false;
    }
    // An updater replaced by bytes that nothing vouches for could never repair itself.
    const std::size_t section = list.FindSection(names[i]);
    if (EqualNoCase(Value(list, section, L"Method"), L"SelfUpdate") && Value(list, section, L"CheckSum").empty()) {
      errorCode = CHECK_UNVERIFIED_SELF_UPDATE;
      failedName = names[i];
      TheLogger().Write(LOG_ERROR, L"AutoUpdateApp: the self-update file [" + names[i] + L"] has no CheckSum");
      Log(L"Check file", names[i], L"Failed");
      return false;
    }
  }

  // A name listed again reads the first section of that name, as every lookup does: it is
  // checked once, however often a hostile list repeats it.
  std::vector<bool> checked(list.SectionCount(), false);
  for (std::size_t i = 1; i < names.size(); ++i) {
    const std::wstring& name = names[i];
    const std::size_t section = list.FindSection(name);
    if (section == IniDocument::NO_SECTION || checked[section]) continue;
    checked[section] = true;
    const std::wstring method = Value(list, section, L"Method");
    if (EqualNoCase(method, L"Remove")) {
      // Removals wait for the commit: a run that fails leaves the installation as it was.
      const std::wstring target = Value(list, section, L"Target");
      if (EqualNoCase(target, L"File")) {
        removeList_.push_back({name, false});
        Log(L"Check file", name, L"Remove file");
      } else if (EqualNoCase(target, L"Folder")) {
        removeList_.push_back({name, true});
        Log(L"Check folder", name, L"Remove folder");
      }
      continue;
    }
    if (EqualNoCase(method, L"Exists")) {
      if (PathExists(name)) continue;
      const std::wstring target = Value(list, section, L"Target");
      if (EqualNoCase(target, L"Folder")) {
        CreateDirectoryPath(name);
        Log(L"Check folder", name, L"Exists folder");
      } else if (EqualNoCase(target, L"File")) {
        Append(updateList_, name, serverUrl_ + updateFolder_ + name, L"", L"");
        Log(L"Check file", name, L"Exists file");
      }
      continue;
    }

    RemoveOldStagingFile(list, name);
    const std::wstring dateTime = Value(list, section, L"DateTime");
    const std::wstring checksum = Value(list, section, L"CheckSum");
    // The file's time, read first: a file that gives one exists, which spares the common case
    // a second look at the disk.
    std::wstring fileTime;
    GetFileTimeText(name, fileTime);
    if (fileTime.empty() && !PathExists(name)) {
      Append(updateList_, name, serverUrl_ + updateFolder_ + name, dateTime, checksum);
      Log(L"Check file", name, L"New file");
      continue;
    }
    if (callback_ != nullptr && !callback_->OnCheckFile(name)) {
      errorCode = CHECK_CANCELLED;
      failedName = name;
      return false;
    }
    if (checkMode != 0 && !dateTime.empty()) {
      if (SameFileTimeToMinute(fileTime, dateTime)) {
        Log(L"Check file", name, L"Same time");
        continue;
      }
    }
    std::wstring digest;
    Md5OfFile(digest, name);
    if (digest.empty()) {
      errorCode = CHECK_UNREADABLE_FILE;
      failedName = name;
      Log(L"Check file", name, L"Failed");
      return false;
    }
    if (EqualNoCase(checksum, digest)) {
      SetFileTimeText(name, dateTime);
      Log(L"Check file", name, L"Same file");
      continue;
    }
    if (EqualNoCase(method, L"SelfUpdate")) {
      Append(selfUpdateList_, name, serverUrl_ + updateFolder_ + name, dateTime, checksum);
      Log(L"Check file", name, L"SelfUpdate file");
    } else if (EqualNoCase(method, L"Patch") && !Value(list, section, digest.c_str()).empty()) {
      Append(patchList_, name, serverUrl_ + Value(list, section, digest.c_str()) + name, dateTime, checksum);
      Log(L"Check file", name, L"Patch file");
    } else if (EqualNoCase(method, L"Update") || EqualNoCase(method, L"Patch")) {
      Append(updateList_, name, serverUrl_ + updateFolder_ + name, dateTime, checksum);
      Log(L"Check file", name, L"Update file");
    }
  }
  return true;
}
