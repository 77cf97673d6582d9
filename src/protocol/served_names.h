#pragma once
// The names a patch server serves, as updater and publisher both spell them. A tree:
//   detectfile.enc                 any content: an address that serves it is a patch server
//   rootfolder.enc                 the root descriptor: which folder holds the product, by a key
//   <product>/filelist.enc         the update list: the release's files and the removals
//   <product>/filelistfull.enc     the full list: the release's files alone
//   <product>/<list>.patches/      patches from earlier texts of a list to the served one
//   <product>/files/<version>/     the release's files, whole and packed
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
