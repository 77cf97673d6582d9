#pragma once
// The file list as both sides read and write it: an INI text whose first section, "ServerConfig",
// describes the release and whose every later section names a file or folder of the game:
//   [ServerConfig]              VersionName=, UpdateFolder= (where the whole files lie), and
//                               DateTime= (the list's stamp, written in by the updater)
//   [data\b.dat]                Method=Update|Patch|SelfUpdate|Exists|Remove, Target=File|Folder
//                               (rules only), DateTime=, CheckSum= (MD5), SHA256=, Size=,
//                               <old MD5>=<patch folder>, <old MD5>.2=<format-2 patch folder>,
//                               <old MD5>.from=<installed file holding that content>,
//                               Whole.2=<extension of the zstd whole file>,
//                               Chunks.3=<SHA-256 of the file's chunk index> (protocol/chunks.h),
//                               Chunks.3.pack=<SHA-256 of the pack that is the file's chunks, all
//                               and only them, in order: the file whole, as a fresh one comes>,
//                               Whole.bytes=, Whole.2.bytes=, <old MD5>.bytes=, <old MD5>.2.bytes=
//                               (the bytes each form downloads, where a file has forms to choose)
// A list entry is parsed from its section and composed into one here, side by side, so that what
// the publisher writes is what the updater reads.
#include <cstddef>
#include <string>
#include <vector>

#include "services/ini.h"

constexpr const wchar_t* LIST_HEADER_SECTION = L"ServerConfig";
// The keys that updaters knowing only the first format never read: "<old MD5>.2" and "Whole.2".
constexpr const wchar_t* PATCH2_KEY_SUFFIX = L".2";
constexpr const wchar_t* PATCH_SOURCE_KEY_SUFFIX = L".from";
constexpr const wchar_t* WHOLE2_KEY = L"Whole.2";
// The third format's key: the file's content in chunks.
constexpr const wchar_t* CHUNKS_KEY = L"Chunks.3";
constexpr const wchar_t* CHUNKS_PACK_KEY = L"Chunks.3.pack";
// The bytes of each packed form, which let a client weigh a download against a rebuild's work.
constexpr const wchar_t* WHOLE_BYTES_KEY = L"Whole.bytes";
constexpr const wchar_t* WHOLE2_BYTES_KEY = L"Whole.2.bytes";
constexpr const wchar_t* PATCH_BYTES_KEY_SUFFIX = L".bytes";
constexpr const wchar_t* PATCH2_BYTES_KEY_SUFFIX = L".2.bytes";
// The publisher's own record of a file's time in the release it was built from; updaters ignore it.
constexpr const wchar_t* SOURCE_TIME_KEY = L"SourceTime";

enum class ListMethod { Other, Update, Patch, SelfUpdate, Exists, Remove };
enum class ListTarget { None, File, Folder };

// The patches of one file from one earlier content, named by that content's MD5.
struct ListedPatch {
  std::wstring from;     // the MD5 of the content they start from
  std::wstring folder;   // the folder of the byte code's patch; empty: none
  std::wstring folder2;  // the folder of the format-2 patch; empty: none
  std::wstring source;   // the installed file that holds that content, when not the file itself
  std::wstring bytes;    // the byte code's patch's bytes; empty: not said
  std::wstring bytes2;   // the format-2 patch's bytes; empty: not said
};

struct ListEntry {
  std::wstring name;
  ListMethod method = ListMethod::Other;
  ListTarget target = ListTarget::None;
  std::wstring dateTime;
  std::wstring sourceTime;
  std::wstring checksum;
  std::wstring sha256;
  std::wstring size;
  std::wstring whole2;  // the zstd whole file's extension (".zst"); empty: none
  std::wstring chunks;  // the SHA-256 of the file's chunk index; empty: none
  std::wstring chunksPack;   // the pack that holds the file's chunks and nothing else; empty: none
  std::wstring wholeBytes;   // the bytes of the zlib whole file; empty: not said
  std::wstring whole2Bytes;  // the bytes of the zstd whole file; empty: not said
  std::vector<ListedPatch> patches;

  // Whether the entry describes content that a file must hold (not a rule, not unknown).
  bool HasContent() const {
    return method == ListMethod::Update || method == ListMethod::Patch || method == ListMethod::SelfUpdate;
  }
  // The patches from the content of that MD5; null when the list offers none.
  const ListedPatch* PatchesFrom(const std::wstring& digest) const;
  // Adds a patch key: "<from>" (format 1), "<from>.2" or "<from>.from", by the suffix.
  void AddPatchKey(const std::wstring& from, const std::wstring& suffix, const std::wstring& value);
};

// A rule of the list: a folder that must exist (Exists, Folder), a file to remove (Remove, File).
ListEntry ListRule(const std::wstring& name, ListMethod method, ListTarget target);

struct ListHeader {
  std::wstring versionName;
  std::wstring updateFolder;
  std::wstring dateTime;
  // The formats whose forms the tree keeps ("Formats=1,2,3"); empty in lists written before the
  // key: the first two. A tree without the first keeps no whole files under the update folder,
  // only the updater's own files.
  std::wstring formats;
  // The channel the list was published on ("Channel=beta"); empty: the default channel. A client
  // takes only its own channel's list.
  std::wstring channel = {};
  // A staged rollout beside this list's version ("Rollout=2.1", "RolloutPercent=10",
  // "RolloutState=running|halted|back"): the installations whose bucket falls under the percent
  // take that version's list (ROLLOUT_FOLDER) instead; halted, only those that took it already
  // keep it; back, none does. Empty: no rollout.
  std::wstring rollout = {};
  std::wstring rolloutPercent = {};
  std::wstring rolloutState = {};

  bool KeepsWholeFiles() const { return formats.empty() || formats.find(L'1') != std::wstring::npos; }
};

// How much of an entry a reader takes: all of it, or its head (name, method, target, time,
// checksum and size), all that a pass over every entry of a list of 200,000 files needs.
enum class ListParts { All, Head };

// The entry of section (a section that lookups read: SectionReadFor's or FindSection's), its keys
// matched without regard to case and the first of a repeated key taken, as every lookup does.
// False for a section without a name.
bool ParseListEntry(const IniDocument& list, std::size_t section, ListEntry& entry,
                    ListParts parts = ListParts::All);
// The entry's section, CRLF lines: its keys in the order above, an empty value left out.
std::wstring ComposeListEntry(const ListEntry& entry);
// A list's text as a channel serves it: its header says the channel, unless it is the default
// one (whose lists stay as they always were).
std::wstring ListTextOnChannel(const std::wstring& listText, const std::wstring& channel);
// A list's text with lines ("Key=value\r\n" each) added to its header.
std::wstring ListTextWithHeaderLines(const std::wstring& listText, const std::wstring& lines);

// The states of a rollout, as the list's header says them.
constexpr const wchar_t* ROLLOUT_RUNNING = L"running";
constexpr const wchar_t* ROLLOUT_HALTED = L"halted";
constexpr const wchar_t* ROLLOUT_BACK = L"back";
// Where a channel's rollout lists lie within its folder of lists.
constexpr const wchar_t* ROLLOUT_FOLDER = L"rollout/";
// The header lines that announce a rollout of version at percent in state.
std::wstring RolloutHeaderLines(const std::wstring& version, const std::wstring& percent, const std::wstring& state);
// A percent as "10", "0.5" or "100" in hundredths of a point (1000 for "10"); false when it does
// not read or lies outside 0 to 100.
bool ParseRolloutPercent(const std::wstring& text, unsigned& hundredths);
// Whether a list is one that a client following channel takes: its header names that channel (no
// name is the default channel).
bool ListIsOfChannel(const ListHeader& header, const std::wstring& channel);

ListHeader ParseListHeader(const IniDocument& list);
std::wstring ComposeListHeader(const ListHeader& header);

// The root descriptor that names the product's folder under the key, and the folder it names
// (empty when it names none).
std::wstring ComposeRootDescriptor(const std::wstring& rootKey, const std::wstring& product);
std::wstring RootFolderIn(const IniDocument& descriptor, const std::wstring& rootKey);

// The method's word in a list ("Update"), and the method a word names (Other for any other).
const wchar_t* MethodWord(ListMethod method);
ListMethod ParseMethod(const std::wstring& word);
