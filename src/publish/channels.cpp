#include "publish/channels.h"

#include <algorithm>

#include "protocol/served_names.h"
#include "publish/release_index.h"
#include "services/text.h"

namespace fs = std::filesystem;

fs::path ChannelListsOf(const fs::path& product, const std::wstring& channel) {
  const std::wstring folder = ChannelFolder(channel);
  return folder.empty() ? product : product / "channels" / WideToUtf8(channel);
}

std::vector<std::wstring> ChannelsOf(const fs::path& product) {
  std::vector<std::wstring> others;
  std::error_code error;
  for (fs::directory_iterator it(product / "channels", error), end; !error && it != end; it.increment(error)) {
    const std::wstring name = AnsiToWide(it->path().filename().string());
    if (IsChannelName(name) && name != DEFAULT_CHANNEL &&
        fs::exists(it->path() / ReleaseIndex::FILE_NAME, error)) {
      others.push_back(name);
    }
  }
  std::sort(others.begin(), others.end());
  others.insert(others.begin(), DEFAULT_CHANNEL);
  return others;
}

bool CheckChannelName(const std::wstring& channel, std::string& error) {
  if (IsChannelName(channel)) return true;
  error = "a channel's name is 1 to 32 lower-case letters, digits and dashes, a letter or digit first, not \"" +
          WideToUtf8(channel) + "\"";
  return false;
}
