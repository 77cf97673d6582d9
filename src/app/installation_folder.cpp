#include "app/installation_folder.h"

#include <vector>

#include "services/files.h"
#include "services/ini_file.h"
#include "services/text.h"

namespace {

// What the updater leaves in a folder it worked in. Its own program is no proof: copied into a
// folder of other programs and run there, it would take that folder for the game's.
const wchar_t* const UPDATER_FILES[] = {L"autoupdate.sls", L"autoupdate.fls", L"autoupdate.als", L"zepo.lock"};

std::wstring Inside(const std::wstring& folder, const std::wstring& name) {
  return folder.empty() || IsPathSeparator(folder.back()) ? folder + name : folder + L"\\" + name;
}

bool HasZepoSection(const std::wstring& iniFile) {
  std::vector<std::wstring> sections;
  if (!ReadIniSectionNames(iniFile, sections)) return false;
  for (const std::wstring& section : sections) {
    if (EqualNoCase(section, L"zepo")) return true;
  }
  return false;
}

}  // namespace

bool HoldsUpdaterTrace(const std::wstring& folder) {
  for (const wchar_t* name : UPDATER_FILES) {
    if (PathExists(Inside(folder, name))) return true;
  }
  return IsFolder(Inside(folder, L"logs\\zepo")) || HasZepoSection(Inside(folder, L"log.ini"));
}

FolderKind JudgeFolder(const std::wstring& folder) {
  if (!PathExists(folder)) return FolderKind::Missing;
  if (!IsFolder(folder)) return FolderKind::NotAFolder;
  if (FolderEntries(folder).empty()) return FolderKind::Empty;
  return HoldsUpdaterTrace(folder) ? FolderKind::Installation : FolderKind::Foreign;
}
