#include "publish/release.h"

#include <algorithm>
#include <cstdio>

#include "engine/safe_name.h"
#include "services/files.h"
#include "services/platform.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

class ReleaseScanner {
 public:
  ReleaseScanner(const fs::path& root, bool followLinks, std::vector<ReleaseItem>& items,
                 std::vector<std::string>& problems)
      : followLinks_(followLinks), items_(items), problems_(problems) {
    std::error_code error;
    root_ = fs::canonical(root, error);
    ancestors_.push_back(root_);
  }

  bool Scan() {
    if (root_.empty()) return false;
    return ScanFolder(root_, L"");
  }

 private:
  void Problem(const std::wstring& name, const std::string& reason) {
    problems_.push_back(ShownName(name) + ": " + reason);
  }

  // False when a folder cannot be listed at all.
  bool ScanFolder(const fs::path& folder, const std::wstring& prefix) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      const std::wstring component = WideOf(it->path().filename());
      const std::wstring name = prefix + component;
      if (component.find(L'\\') != std::wstring::npos) {
        Problem(name, "holds a backslash, which the list would read as a folder separator");
        continue;
      }
      const std::wstring problem = EntryNameProblem(name);
      if (!problem.empty()) {
        Problem(name, "the name holds " + WideToUtf8(problem) + "; clients refuse it");
        continue;
      }
      Add(it->path(), name);
    }
    if (error) problems_.push_back("cannot list " + folder.string() + ": " + error.message());
    return !error;
  }

  void Add(const fs::path& path, const std::wstring& name) {
    std::error_code error;
    fs::file_status status = fs::symlink_status(path, error);
    if (fs::is_symlink(status)) {
      if (!followLinks_) return Problem(name, "is a symbolic link; give --follow-links to publish what it points to");
      const fs::path target = fs::canonical(path, error);
      if (error) return Problem(name, "is a link whose target is missing");
      if (!IsInsideRelease(target)) return Problem(name, "is a link to " + target.string() + ", outside the release");
      status = fs::status(target, error);
    }
    if (fs::is_directory(status)) {
      // A link to a folder that holds it would be followed for ever.
      const fs::path real = fs::canonical(path, error);
      if (std::find(ancestors_.begin(), ancestors_.end(), real) != ancestors_.end()) {
        return Problem(name, "is a link to a folder that holds it, a loop");
      }
      items_.push_back({name, path, true, 0});
      ancestors_.push_back(real);
      ScanFolder(path, name + L"\\");
      ancestors_.pop_back();
      return;
    }
    if (!fs::is_regular_file(status)) {
      return Problem(name, "is a named pipe, socket or device; only regular files are published");
    }
    // Opened once, so that a file that cannot be read is named now and not halfway through a build.
    if (!FileHandle::OpenForRead(WideOf(path)).IsOpen()) {
      return Problem(name, "cannot be read: " + WideToUtf8(LastSystemErrorText()));
    }
    items_.push_back({name, path, false, fs::file_size(path, error)});
  }

  bool IsInsideRelease(const fs::path& target) const {
    auto mismatch = std::mismatch(root_.begin(), root_.end(), target.begin(), target.end());
    return mismatch.first == root_.end();
  }

  fs::path root_;
  bool followLinks_;
  std::vector<fs::path> ancestors_;  // the folders being listed, root first
  std::vector<ReleaseItem>& items_;
  std::vector<std::string>& problems_;
};

}  // namespace

std::string FolderProblem(const fs::path& folder) {
  std::error_code error;
  if (fs::is_directory(folder, error)) return "";
  const fs::file_status status = fs::status(folder, error);
  if (status.type() == fs::file_type::not_found) return folder.string() + " does not exist";
  if (fs::exists(status)) return folder.string() + " is a file, not a folder";
  return "cannot read the folder " + folder.string() + ": " + error.message();
}

bool ScanRelease(const fs::path& folder, bool followLinks, std::vector<ReleaseItem>& items,
                 std::vector<std::string>& problems) {
  items.clear();
  const std::string problem = FolderProblem(folder);
  if (!problem.empty()) {
    problems.push_back(problem);
    return false;
  }
  const std::size_t before = problems.size();
  if (!ReleaseScanner(folder, followLinks, items, problems).Scan()) return false;
  std::sort(items.begin(), items.end(),
            [](const ReleaseItem& a, const ReleaseItem& b) { return FoldCase(a.name) < FoldCase(b.name); });
  for (std::size_t i = 1; i < items.size(); ++i) {
    if (FoldCase(items[i - 1].name) == FoldCase(items[i].name)) {
      problems.push_back(ShownName(items[i].name) + ": differs from " + ShownName(items[i - 1].name) +
                         " only in letter case; on Windows both are one file");
    }
  }
  return problems.size() == before;
}

std::string ShownName(const std::wstring& name) {
  std::string shown;
  for (wchar_t c : name) {
    if (c == L'\r') shown += "\\r";
    else if (c == L'\n') shown += "\\n";
    else if (c == L'\t') shown += "\\t";
    else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
      shown += escaped;
    } else {
      shown += WideToUtf8(std::wstring(1, c));
    }
  }
  return "\"" + shown + "\"";
}

std::string ByteSize(std::uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  }
  return text;
}
