#include "engine/staging.h"

#include "engine/run_modes.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/text.h"

namespace {

constexpr const wchar_t* STAGE_FOLDER = L"stage";
// The record of the list stamp that the area was filled for.
constexpr const wchar_t* STAMP_FILE = L"stamp";

// The path of a URL without its scheme and authority: "http://10.0.0.1:8080/velora/v2/a.dat"
// gives "/velora/v2/a.dat", so that the name of a download does not depend on which of the
// host's addresses served it.
std::wstring UrlPath(const std::wstring& url) {
  const std::size_t scheme = url.find(L"://");
  const std::size_t path = url.find(L'/', scheme == std::wstring::npos ? 0 : scheme + 3);
  return path == std::wstring::npos ? std::wstring() : url.substr(path);
}

}  // namespace

StagingArea::StagingArea(const std::wstring& localFolder) : folder_(localFolder + STAGE_FOLDER + L"\\") {}

std::wstring StagingArea::ShortName(const std::wstring& key) const {
  const std::string bytes = WideToUtf8(key);
  return folder_ + Md5OfBytes(bytes.data(), bytes.size());
}

bool StagingArea::Open(const std::wstring& listStamp) {
  const std::wstring record = folder_ + STAMP_FILE;
  std::string recorded;
  if (!ReadWholeFile(record, recorded) || recorded != WideToUtf8(listStamp)) {
    DeleteFolderTree(folder_);
    CreateDirectoryPath(folder_);
    FileHandle file = FileHandle::CreateForWrite(record);
    const std::string stamp = WideToUtf8(listStamp);
    if (!file.IsOpen() || !file.Write(stamp.data(), stamp.size()) || !file.Flush()) return false;
  }
  return IsFolder(folder_);
}

std::wstring StagingArea::DownloadPath(const std::wstring& url) const { return ShortName(UrlPath(url)) + L".dl"; }

std::wstring StagingArea::PatchPath(const std::wstring& url) const { return ShortName(UrlPath(url)) + L".pch"; }

// Names fold case: one installed file has one staged file on Windows and on POSIX alike.
std::wstring StagingArea::WorkPath(const std::wstring& name, const std::wstring& checksum) const {
  return ShortName(FoldCase(name) + L"|" + FoldCase(checksum)) + L".tmp";
}

std::wstring StagingArea::StagedPath(const std::wstring& name, const std::wstring& checksum) const {
  return ShortName(FoldCase(name) + L"|" + FoldCase(checksum)) + L".new";
}

void TidyWorkingFolder(const std::wstring& localFolder, int result) {
  if (result == RUN_SELF_UPDATE) return;
  if (result == RUN_FINISHED) {
    DeleteFolderTree(localFolder);
    return;
  }
  bool staged = false;
  for (const std::wstring& name : FolderEntries(localFolder)) {
    if (EqualNoCase(name, STAGE_FOLDER)) {
      staged = true;
      continue;
    }
    const std::wstring path = localFolder + name;
    if (IsFolder(path) && !IsLink(path)) {
      DeleteFolderTree(path);
    } else {
      ClearReadOnly(path);
      if (!RemoveFile(path)) RemoveLink(path);
    }
  }
  // Nothing waits for the next run: no empty working folder is left either.
  if (!staged) DeleteFolderTree(localFolder);
}
