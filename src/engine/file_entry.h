#pragma once
// One unit of work of an update: where the file goes, where it comes from, the list's time and
// digest for it, and how far it got.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "services/codes.h"
#include "services/text.h"

class IStatusCallback;
struct ChunkAssembly;

// The forms a file's content comes in: whole and packed with zlib (every client's), whole and
// packed with zstd, a patch of the byte code packed with zlib, a format-2 patch, and chunks
// (the offer's url is the file's chunk index).
// ChunkPack: the pack that holds a file's chunks and nothing else, taken whole.
enum class ContentForm { Whole, Whole2, Patch, Patch2, Chunks, ChunkPack };

// Addresses are kept as their UTF-8, as the list's words on the content are (see FileEntry), and
// read as text by Url().
struct ContentOffer {
  std::string url;
  ContentForm form;
  std::uint64_t bytes = 0;  // what its download brings, as the list says; 0: not said
  std::wstring Url() const { return Utf8Text(url); }
};

// How the last step on a file failed: its code (success while nothing has failed), the step with
// what it worked on ("download [http://…/b.dat]", named by the run) and why, in the words of the
// system or the check that refused it. The run's error line and diagnostic failure line are made
// from it, and nothing else records a file's failure.
struct StepOutcome {
  StepCode code;
  std::wstring step;
  std::wstring cause;
};

struct FileEntry {
  StepOutcome outcome;
  bool staged = false;        // its verified content waits in the staging area
  std::wstring target;        // the installed file it becomes, relative to the program folder
  std::string url;            // the full address of the remote file in its form, as UTF-8
  ContentForm form = ContentForm::Whole;
  std::uint64_t formBytes = 0;  // what the form's download brings, as the list says; 0: not said
  bool formWeighed = false;     // its forms were ordered by the time each would take
  std::vector<ContentOffer> fallbacks;  // what to take instead when this form fails, best first
  // The list's words on the content, as their UTF-8 (Utf8Text gives them back as text): they are
  // digits, hex and a time, and a wide character takes 4 bytes on POSIX, where a fresh installation
  // of 50,000 files holds all of its entries (and their addresses) at once.
  std::string dateTime;       // the list's "DateTime" as file-time text, may be empty
  std::string checksum;       // the list's "CheckSum"; empty for "Exists" files, which are not verified
  std::string sha256;         // the list's "SHA256", checked with a trusted key
  std::string size;           // the list's "Size": every form is bounded by it, and progress weighs it
  std::wstring patchSource;   // the installed file its patches apply to, when not the file itself
  bool copied = false;        // staged from content the installation holds, nothing downloaded
  bool repaired = false;      // its installed file had the listed time but other content
  std::uint64_t fetchedBytes = 0;  // the bytes of the form it was staged from, when downloaded
  std::shared_ptr<ChunkAssembly> chunks;  // where each chunk comes from, once the chunks are fetched
  std::string heldChunks;     // the chunk index of the installed file's content, when the list of
                              // the last finished run vouches for it: its chunks are found unread
  IStatusCallback* callback = nullptr;  // not owned: the download's progress; null while none runs

  std::wstring Url() const { return Utf8Text(url); }
};

// A count of bytes as the list writes it; 0 when there is none (or none that reads).
inline std::uint64_t ListedBytes(const std::wstring& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return 0;
  return std::stoull(text);
}
inline std::uint64_t ListedBytes(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoull(text);
}

// The size the list gives an entry's content; 0 when it gives none (or none that reads).
inline std::uint64_t ListedSize(const FileEntry& entry) { return ListedBytes(entry.size); }

// Makes the first of an entry's fallbacks its form and URL; false when it has none. The last
// offer taken leaves no room behind: a fresh installation holds 50,000 entries at once.
inline bool TakeNextOffer(FileEntry& entry) {
  if (entry.fallbacks.empty()) return false;
  entry.url = std::move(entry.fallbacks.front().url);
  entry.form = entry.fallbacks.front().form;
  entry.formBytes = entry.fallbacks.front().bytes;
  entry.fallbacks.erase(entry.fallbacks.begin());
  if (entry.fallbacks.empty()) std::vector<ContentOffer>().swap(entry.fallbacks);
  return true;
}
