#include "publish/tree_builder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "engine/patch.h"
#include "engine/safe_name.h"
#include "publish/delta.h"
#include "publish/release.h"
#include "services/file_time.h"
#include "services/files.h"
#include "services/ini.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/platform.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// Files above this size are published whole: the matcher keeps both contents and a suffix
// array of the old one in memory.
constexpr std::uint64_t PATCH_MAX_BYTES = 1ULL << 30;

std::string Md5Text(const std::string& bytes) { return WideToUtf8(Md5OfBytes(bytes.data(), bytes.size())); }

bool ReadFile(const fs::path& path, std::string& bytes) { return ReadWholeFile(WideOf(path), bytes); }

// What one file of the release becomes in the list.
struct FileResult {
  std::wstring method;
  std::wstring dateTime;
  std::string checksum;
  std::vector<std::pair<std::string, std::string>> patchKeys;  // old MD5, patch folder
  std::uint64_t wholeBytes = 0;
  std::uint64_t patchBytes = 0;
  std::string error;
};

bool InList(const std::vector<std::wstring>& names, const std::wstring& name) {
  return std::any_of(names.begin(), names.end(), [&](const std::wstring& n) { return EqualNoCase(n, name); });
}

// Publishes a packed file under an immutable URL: written when missing, else it must already
// hold the same bytes.
bool PublishPacked(const fs::path& target, const std::string& packed, std::string& error) {
  std::string existing;
  if (fs::exists(target)) {
    if (ReadFile(target, existing) && existing == packed) return true;
    error = "a different file is already published at " + target.string() +
            "; published files never change: give the release a new version name";
    return false;
  }
  std::error_code ignored;
  fs::create_directories(target.parent_path(), ignored);
  if (WriteFileAtomically(target, packed)) return true;
  error = "cannot write " + target.string();
  return false;
}

std::string PackToMemory(const std::string& plain) {
  // Through files: the same code path, and the same bytes, as the client's own packing.
  const fs::path temporary = fs::temp_directory_path() /
                             ("zepo-pack-" + std::to_string(CurrentProcessId()) + "-" +
                              std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())));
  std::string packed;
  if (WriteFileAtomically(temporary, plain) && PackFile(WideOf(temporary), WideOf(temporary) + L".enc", 9)) {
    ReadWholeFile(WideOf(temporary) + L".enc", packed);
  }
  std::error_code ignored;
  fs::remove(temporary, ignored);
  fs::remove(fs::path(temporary.string() + ".enc"), ignored);
  return packed;
}

class Builder {
 public:
  Builder(const BuildOptions& options) : options_(options), productRoot_(options.out / PathOf(options.product)) {}

  FileResult Publish(const ReleaseItem& item) {
    FileResult result;
    std::string content;
    if (!ReadFile(item.path, content)) {
      result.error = "cannot read " + item.path.string();
      return result;
    }
    GetFileTimeText(WideOf(item.path), result.dateTime);
    result.checksum = Md5Text(content);
    const std::string packed = PackToMemory(content);
    result.wholeBytes = packed.size();
    if (packed.empty() ||
        !PublishPacked(productRoot_ / PathOf(UpdateFolder() + item.name), packed, result.error)) {
      if (result.error.empty()) result.error = "cannot pack " + item.path.string();
      return result;
    }
    if (InList(options_.selfUpdate, item.name)) {
      result.method = L"SelfUpdate";
      return result;
    }
    if (InList(options_.keep, item.name)) {
      result.method = L"Exists";
      return result;
    }
    result.method = L"Update";
    if (content.size() <= PATCH_MAX_BYTES) AddPatches(item, content, packed.size(), result);
    if (!result.patchKeys.empty()) result.method = L"Patch";
    return result;
  }

  std::wstring UpdateFolder() const { return L"files/" + options_.version + L"/"; }

 private:
  void AddPatches(const ReleaseItem& item, const std::string& content, std::size_t wholeSize, FileResult& result) {
    std::set<std::string> done;
    for (const fs::path& previous : options_.previous) {
      const fs::path oldPath = previous / PathOf(item.name);
      std::string old;
      std::error_code error;
      if (!fs::is_regular_file(oldPath, error) || fs::file_size(oldPath, error) > PATCH_MAX_BYTES ||
          !ReadFile(oldPath, old)) {
        continue;
      }
      const std::string oldSum = Md5Text(old);
      if (oldSum == result.checksum || !done.insert(oldSum).second) continue;
      const std::string folder = "patches/" + oldSum + "-" + result.checksum + "/";
      const fs::path target = productRoot_ / PathOf(AnsiToWide(folder) + item.name);
      std::uint64_t size = 0;
      if (fs::exists(target)) {
        size = fs::file_size(target, error);  // made and verified by an earlier build
      } else {
        std::string patch;
        if (!MakePatch(reinterpret_cast<const std::uint8_t*>(old.data()), old.size(),
                       reinterpret_cast<const std::uint8_t*>(content.data()), content.size(), patch)) {
          continue;
        }
        // Verified with the client's own interpreter before the list may name it.
        std::string rebuilt;
        if (!ApplyPatchBytes(old, patch, rebuilt) || Md5Text(rebuilt) != result.checksum) {
          result.error = "the patch for " + WideToUtf8(item.name) + " does not rebuild it; not published";
          return;
        }
        const std::string packedPatch = PackToMemory(patch);
        if (packedPatch.empty() || packedPatch.size() >= options_.patchShare * static_cast<double>(wholeSize)) continue;
        if (!PublishPacked(target, packedPatch, result.error)) return;
        size = packedPatch.size();
      }
      result.patchKeys.push_back({oldSum, folder});
      result.patchBytes += size;
    }
  }

  const BuildOptions& options_;
  fs::path productRoot_;
};

// The live release's DateTime and CheckSum of each file, by name folded to one case; empty for a
// new tree.
struct ListedFile {
  std::wstring dateTime;
  std::wstring checksum;
};

std::map<std::wstring, ListedFile> ReadLiveList(const fs::path& product) {
  std::map<std::wstring, ListedFile> live;
  std::string text;
  if (!UnpackToMemory(product / "filelistfull.enc", text)) return live;
  const IniDocument list(text);
  std::wstring name;
  for (std::size_t i = 1; i < list.SectionCount(); ++i) {
    if (!list.NamedSection(i, name)) continue;
    ListedFile file;
    list.ReadString(i, L"DateTime", file.dateTime);
    list.ReadString(i, L"CheckSum", file.checksum);
    if (!file.checksum.empty()) live[FoldCase(name)] = file;
  }
  return live;
}

constexpr std::uint64_t TICKS_PER_MINUTE = 60ULL * TICKS_PER_SECOND;

// Clients take a file whose time is the listed one to the minute as up to date, without reading
// it. Packs, archives and reproducible builds give every file one fixed time, so a changed file
// may keep the time of the content it replaces: it is listed with the publish time instead, in a
// minute after the one listed before. An unchanged file keeps the time listed before, so that
// clients are not sent to read it. Answers how many times were moved.
std::size_t SettleTimes(const std::map<std::wstring, ListedFile>& live, const std::vector<ReleaseItem>& items,
                        std::vector<FileResult>& results, std::uint64_t now) {
  std::size_t moved = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    FileResult& result = results[i];
    const auto listed = live.find(FoldCase(items[i].name));
    if (items[i].folder || result.method == L"Exists" || listed == live.end()) continue;
    if (EqualNoCase(listed->second.checksum, AnsiToWide(result.checksum))) {
      if (!listed->second.dateTime.empty()) result.dateTime = listed->second.dateTime;
      continue;
    }
    if (!SameFileTimeToMinute(result.dateTime, listed->second.dateTime)) continue;
    std::uint64_t before = 0;
    ParseHoldableFileTime(listed->second.dateTime, before);
    const std::uint64_t after = std::max(now, (before / TICKS_PER_MINUTE + 1) * TICKS_PER_MINUTE);
    result.dateTime = FormatFileTime((after + TICKS_PER_MINUTE - 1) / TICKS_PER_MINUTE * TICKS_PER_MINUTE);
    ++moved;
  }
  return moved;
}

void ShowProgress(std::size_t done, std::size_t total) {
  constexpr std::size_t WIDTH = 30;
  const std::size_t filled = total == 0 ? WIDTH : done * WIDTH / total;
  WriteStdout(L"\r[" + std::wstring(filled, L'#') + std::wstring(WIDTH - filled, L' ') + L"] " +
              std::to_wstring(done) + L"/" + std::to_wstring(total) + L" files" + (done == total ? L"\n" : L""));
}

}  // namespace

std::string EncodeListText(const std::wstring& text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
  if (ascii) return std::string(text.begin(), text.end());
  return "\xFF\xFE" + WideToUtf16Le(text);
}

bool WriteFileAtomically(const fs::path& target, const std::string& bytes) {
  const std::wstring wide = WideOf(target);
  const std::wstring temporary = wide + L".part";
  FileHandle out = FileHandle::CreateForWrite(temporary);
  if (!out.IsOpen() || !out.Write(bytes.data(), bytes.size()) || !out.Flush()) {
    out.Close();
    RemoveFile(temporary);
    return false;
  }
  out.Close();
  return MoveFileReplace(temporary, wide);
}

bool PackBytesTo(const fs::path& target, const std::string& plain) {
  const std::string packed = PackToMemory(plain);
  return !packed.empty() && WriteFileAtomically(target, packed);
}

bool UnpackToMemory(const fs::path& packed, std::string& plain) {
  const std::wstring wide = WideOf(packed);
  const std::wstring temporary = wide + L".plain-" + std::to_wstring(CurrentProcessId());
  const bool ok = UnpackFile(wide, temporary) && ReadWholeFile(temporary, plain);
  RemoveFile(temporary);
  return ok;
}

namespace {

// The product folder and the version name become folders of the tree and parts of URLs: each must
// be a plain relative name that stays inside the tree.
std::string FolderNameProblem(const std::wstring& name, const char* what) {
  std::wstring path = name;
  for (auto& c : path) c = c == L'/' ? L'\\' : c;
  const std::wstring problem = EntryNameProblem(path);
  return problem.empty() ? "" : std::string(what) + " " + ShownName(name) + " holds " + WideToUtf8(problem) +
                                    "; it must stay inside the tree";
}

}  // namespace

bool BuildTree(const BuildOptions& options, BuildSummary& summary, std::string& error) {
  summary = BuildSummary{};
  const std::wstring product = options.product.empty() || options.product.back() != L'/'
                                   ? options.product
                                   : options.product.substr(0, options.product.size() - 1);
  for (const std::string& problem :
       {FolderNameProblem(options.version, "the version name"), FolderNameProblem(product, "the product folder")}) {
    if (!problem.empty()) {
      error = problem;
      return false;
    }
  }
  std::vector<ReleaseItem> items;
  std::vector<std::string> problems;
  if (!ScanRelease(options.release, options.followLinks, items, problems)) {
    error = "the release " + options.release.string() + " cannot be published; nothing was written:";
    for (const std::string& problem : problems) error += "\n  " + problem;
    return false;
  }
  // An earlier release only names what clients may hold: its own problems do not stop this one.
  std::vector<ReleaseItem> previousItems;
  std::vector<std::string> previousProblems;
  if (!options.previous.empty() && !ScanRelease(options.previous.back(), options.followLinks, previousItems, previousProblems) &&
      previousItems.empty()) {
    error = "cannot read the previous release " + options.previous.back().string();
    return false;
  }

  Builder builder(options);
  std::vector<std::size_t> files;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!items[i].folder) files.push_back(i);
  }
  std::vector<FileResult> results(items.size());
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::mutex progressLock;
  const bool terminal = StdoutIsTerminal();
  auto work = [&] {
    for (std::size_t k; (k = next++) < files.size();) {
      results[files[k]] = builder.Publish(items[files[k]]);
      const std::size_t done = ++finished;
      if (terminal) {
        std::lock_guard<std::mutex> guard(progressLock);
        ShowProgress(done, files.size());
      }
    }
  };
  std::vector<std::thread> workers;
  for (unsigned j = 1; j < std::max(1u, options.jobs); ++j) workers.emplace_back(work);
  work();
  for (auto& w : workers) w.join();

  for (const FileResult& r : results) {
    if (!r.error.empty()) {
      error = r.error;
      return false;
    }
  }
  summary.movedTimes = SettleTimes(ReadLiveList(options.out / PathOf(options.product)), items, results,
                                   TicksFromUnixTime(static_cast<std::int64_t>(std::time(nullptr)), 0));

  std::wstring list = L"[ServerConfig]\r\nVersionName=" + options.version + L"\r\nUpdateFolder=" +
                      builder.UpdateFolder() + L"\r\n";
  std::wstring removals;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const ReleaseItem& item = items[i];
    list += L"[" + item.name + L"]\r\n";
    if (item.folder) {
      list += L"Method=Exists\r\nTarget=Folder\r\n";
      continue;
    }
    const FileResult& r = results[i];
    ++summary.files;
    summary.bytes += item.size;
    list += L"Method=" + r.method + L"\r\n";
    if (r.method == L"Exists") list += L"Target=File\r\n";
    list += L"DateTime=" + r.dateTime + L"\r\nCheckSum=" + AnsiToWide(r.checksum) + L"\r\n";
    for (const auto& [oldSum, folder] : r.patchKeys) list += AnsiToWide(oldSum) + L"=" + AnsiToWide(folder) + L"\r\n";
    if (r.patchKeys.empty()) {
      ++summary.wholeFiles;
      summary.wholeBytes += r.wholeBytes;
    } else {
      summary.patches += r.patchKeys.size();
      summary.patchBytes += r.patchBytes;
      summary.patchedWholeBytes += r.wholeBytes * r.patchKeys.size();
    }
  }
  // The files that the newest previous release shipped and this one does not go, one by one. A
  // folder is never removed whole, not even one that the release dropped: players keep files of
  // their own in the game's folders (saves, screenshots), and a removed folder would take them.
  std::set<std::wstring> present;
  for (const auto& item : items) present.insert(FoldCase(item.name));
  for (const auto& old : previousItems) {
    if (old.folder || present.count(FoldCase(old.name)) != 0) continue;
    removals += L"[" + old.name + L"]\r\nMethod=Remove\r\nTarget=File\r\n";
    ++summary.removed;
  }

  std::error_code ignored;
  const fs::path productRoot = options.out / PathOf(options.product);
  fs::create_directories(productRoot, ignored);
  if (!fs::exists(options.out / "detectfile.enc") && !PackBytesTo(options.out / "detectfile.enc", "zepo patch server\r\n")) {
    error = "cannot write detectfile.enc";
    return false;
  }
  const std::wstring root = L"[ServerConfig]\r\n" + options.rootKey + L"=" + options.product + L"\r\n";
  if (!PackBytesTo(productRoot / "filelistfull.enc", EncodeListText(list)) ||
      !PackBytesTo(productRoot / "filelist.enc", EncodeListText(list + removals)) ||
      !PackBytesTo(options.out / "rootfolder.enc", EncodeListText(root))) {
    error = "cannot write the file lists";
    return false;
  }
  return true;
}
