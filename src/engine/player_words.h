#pragma once
// A failed run in the player's words, when its cause is one the player can act on: the computer's
// clock, the proxy, the server's certificate, a file another program holds, a folder that cannot
// be written. One line each, for the window's status line and zepo-update's; the diagnostic log
// keeps the step, the code and the system's own words.
#include <string>

#include "services/codes.h"
#include "services/http.h"

struct FailureFacts {
  StepCode code;              // the run's first failure
  std::wstring cause;         // its cause, in the system's or the check's words
  std::wstring heldFile;      // the file another program held past the wait (CommitCode::FileInUse),
                              // or that the check could not read (CheckCode::UnreadableFile)
  std::wstring holders;       // who holds it, where the system says ("scanner.exe (pid 1234)")
  std::wstring lockedFolder;  // a folder the run needed to write and cannot ("" for the game's own)
  bool folderLocked = false;  // whether there is such a folder
  NetworkNotes network;
};

// The player's line for the failure, or empty when its cause is none of those (the step's own
// text stands then).
std::wstring FailureWords(const FailureFacts& facts);

// A name as the player's lines show it: at most 60 characters, a longer one keeping its first 20
// and its last 39 around "…" (the folder it starts in and the file's own name), so that every
// line fits the window's status line.
std::wstring StatusName(const std::wstring& name);

// The line for a game folder that cannot be written ("" : the game's folder itself).
std::wstring UnwritableFolderWords(const std::wstring& folder);
