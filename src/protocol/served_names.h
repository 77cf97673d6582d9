#pragma once
#include <string>

// The names a patch server serves, as updater and publisher both spell them. A tree:
//   detectfile.enc                 any content: an address that serves it is a patch server
//   rootfolder.enc                 the root descriptor: which folder holds the product, by a key
//   <product>/filelist.enc         the update list: the release's files and the removals
//   <product>/filelistfull.enc     the full list: the release's files alone
//   <product>/<list>.patches/      patches from earlier texts of a list to the served one
//   <product>/files/<version>/     the release's files, whole and packed
//   <product>/channels/<name>/     another channel's lists (and its release index), beside the
//                                  same content: the default channel's are the product's own
// Each name is given in both spellings: the updater works in wide text, the publisher in bytes.
struct ServedName {
  const char* narrow;
  const wchar_t* wide;
};

constexpr ServedName DETECT_FILE{"detectfile.enc", L"detectfile.enc"};
constexpr ServedName ROOT_DESCRIPTOR{"rootfolder.enc", L"rootfolder.enc"};
constexpr ServedName UPDATE_LIST{"filelist.enc", L"filelist.enc"};
constexpr ServedName FULL_LIST{"filelistfull.enc", L"filelistfull.enc"};
// Appended to a list's served name: the folder of its patches ("filelist.enc.patches/").
constexpr ServedName LIST_PATCHES_SUFFIX{".patches/", L".patches/"};

// The key of the root descriptor that names the product's folder, unless a run or the publisher
// is given another (a second product on the same server has a key of its own).
constexpr const wchar_t* DEFAULT_ROOT_KEY = L"ZepoFolder";
// Appended to a served file's name: its signature, in a signed tree.
constexpr ServedName SIGNATURE_SUFFIX{".sig", L".sig"};

// The channel that installations follow unless told otherwise; its lists are the product's own.
constexpr const wchar_t* DEFAULT_CHANNEL = L"stable";

// A channel's name: 1 to 32 lower-case letters, digits and dashes, a letter or digit first; it
// is a folder name on every server and file system.
inline bool IsChannelName(const std::wstring& name) {
  if (name.empty() || name.size() > 32 || name[0] == L'-') return false;
  for (const wchar_t c : name) {
    if (!((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-')) return false;
  }
  return true;
}

// Where a channel's lists lie within the product folder: "" for the default channel,
// "channels/beta/" for beta.
inline std::wstring ChannelFolder(const std::wstring& channel) {
  return channel.empty() || channel == DEFAULT_CHANNEL ? std::wstring() : L"channels/" + channel + L"/";
}
