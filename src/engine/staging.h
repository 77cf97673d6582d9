#pragma once
// The staging area of an installation's update runs, "update\stage\". Every file reaches the
// installation through it: its packed download lands under a short name of its own, is unpacked
// or rebuilt into a second short name while its digest is taken, flushed, given the list's time,
// and only when the whole run is staged is it moved over its target. Short names (32 hexadecimal
// digits and a suffix) never grow past a file system's name limit, whatever the entry's name.
//
// The area belongs to one list stamp. A failed run leaves it for the next run of the same stamp,
// which reuses every verified file and continues partial downloads; a run for another stamp
// starts from an empty area.
#include <string>

class StagingArea {
 public:
  // localFolder: the run's working folder, "update\".
  explicit StagingArea(const std::wstring& localFolder);

  // Empties the area unless it was filled for this list stamp, then records the stamp.
  // False when the area cannot be made.
  [[nodiscard]] bool Open(const std::wstring& listStamp);

  // The packed download of a URL; the same URL path always has the same name, so a download
  // that was cut off is found again. The server's address is not part of the name.
  std::wstring DownloadPath(const std::wstring& url) const;
  // The unpacked patch of a URL, the rebuild's input.
  std::wstring PatchPath(const std::wstring& url) const;
  // Content of an entry while it is written, and once verified: named by the entry's name and
  // the checksum that it was verified against.
  std::wstring WorkPath(const std::wstring& name, const std::wstring& checksum) const;
  std::wstring StagedPath(const std::wstring& name, const std::wstring& checksum) const;

 private:
  std::wstring ShortName(const std::wstring& key) const;
  std::wstring folder_;
};

// Cleans the working folder after a run with this result: all of it after a finished run, all
// but the staging area after a failed one, nothing after a hand-over to the engine helper,
// which still needs its files.
void TidyWorkingFolder(const std::wstring& localFolder, int result);
