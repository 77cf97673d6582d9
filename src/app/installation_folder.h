#pragma once
// Whether a folder given to the headless updater may be updated. An update overwrites and removes
// the files the server's list names, so a folder that holds someone's own files and nothing of
// this updater (a documents folder typed by mistake) is refused before anything is touched.
#include <string>

enum class FolderKind {
  Installation,  // holds a trace of this updater: it has been installed or updated before
  Empty,         // an empty folder: a new installation harms nothing
  Missing,       // no such path
  NotAFolder,    // a file
  Foreign,       // not empty, and nothing of this updater in it
};

FolderKind JudgeFolder(const std::wstring& folder);

// The updater's traces in a folder: "log.ini" with a "zepo" section (the game's installer writes
// it), the list caches, the lock or the diagnostic logs; not the updater's own program.
bool HoldsUpdaterTrace(const std::wstring& folder);
