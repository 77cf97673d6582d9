#pragma once
// One unit of work of an update: where the file goes, where it comes from, the list's time and
// digest for it, and how far it got.
#include <cstdint>
#include <string>
#include <vector>

class IStatusCallback;

// The forms a file's content comes in: whole and packed with zlib (every client's), whole and
// packed with zstd, a patch of the byte code packed with zlib, a format-2 patch.
enum class ContentForm { Whole, Whole2, Patch, Patch2 };

struct ContentOffer {
  std::wstring url;
  ContentForm form;
};

struct FileEntry {
  int result = 0;             // 1 after a complete download or rebuild, 0 otherwise
  bool staged = false;        // its verified content waits in the staging area
  std::wstring localPath;     // the local folder ("update\") + the entry's name
  std::wstring url;           // the full address of the remote file in its form
  ContentForm form = ContentForm::Whole;
  std::vector<ContentOffer> fallbacks;  // what to take instead when this form fails, best first
  std::wstring dateTime;      // the list's "DateTime" as file-time text, may be empty
  std::wstring checksum;      // the list's "CheckSum"; empty for "Exists" files, which are not verified
  std::wstring sha256;        // the list's "SHA256", checked with a trusted key
  std::wstring size;          // the list's "Size": every form is bounded by it, and progress weighs it
  std::wstring cause;         // why the last step on it failed, for the diagnostic log and the error line
  bool copied = false;        // staged from content the installation holds, nothing downloaded
  std::uint64_t fetchedBytes = 0;  // the bytes of the form it was staged from, when downloaded
  IStatusCallback* callback = nullptr;  // not owned; null for descriptor downloads
};

// The size the list gives an entry's content; 0 when it gives none (or none that reads).
inline std::uint64_t ListedSize(const FileEntry& entry) {
  if (entry.size.empty() || entry.size.size() > 19 || entry.size.find_first_not_of(L"0123456789") != std::wstring::npos) {
    return 0;
  }
  return std::stoull(entry.size);
}
