#pragma once
// One unit of work of an update: where the file goes, where it comes from, the list's time and
// digest for it, and how far it got.
#include <string>

class IStatusCallback;

struct FileEntry {
  int result = 0;             // 1 after a complete download or rebuild, 0 otherwise
  bool staged = false;        // its verified content waits in the staging area
  std::wstring localPath;     // the local folder ("update\") + the entry's name
  std::wstring url;           // the full address of the remote file
  std::wstring dateTime;      // the list's "DateTime" as file-time text, may be empty
  std::wstring checksum;      // the list's "CheckSum"; empty for "Exists" files, which are not verified
  std::wstring sha256;        // the list's "SHA256" and "Size" of a signed tree, checked with a trusted key
  std::wstring size;
  std::wstring cause;         // why the last step on it failed, for the diagnostic log and the error line
  IStatusCallback* callback = nullptr;  // not owned; null for descriptor downloads
};
