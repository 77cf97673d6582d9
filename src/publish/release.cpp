#include "publish/release.h"

#include <algorithm>

#include "services/text.h"

bool ScanRelease(const std::filesystem::path& folder, std::vector<ReleaseItem>& items) {
  namespace fs = std::filesystem;
  items.clear();
  std::error_code error;
  if (!fs::is_directory(folder, error)) return false;
  for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    std::wstring name = WideOf(fs::relative(it->path(), folder));
    std::replace(name.begin(), name.end(), L'/', L'\\');
    ReleaseItem item{name, it->path(), it->is_directory(), 0};
    if (!item.folder) item.size = it->file_size(error);
    items.push_back(std::move(item));
  }
  if (error) return false;
  std::sort(items.begin(), items.end(),
            [](const ReleaseItem& a, const ReleaseItem& b) { return FoldCase(a.name) < FoldCase(b.name); });
  return true;
}
