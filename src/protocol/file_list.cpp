#include "protocol/file_list.h"

#include <cctype>
#include <string_view>

#include "protocol/served_names.h"
#include "services/text.h"

namespace {

constexpr const wchar_t* METHOD_WORDS[] = {L"", L"Update", L"Patch", L"SelfUpdate", L"Exists", L"Remove"};
constexpr std::size_t MD5_TEXT_SIZE = 32;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameAsciiNoCase(std::string_view text, const char* word) {
  std::size_t i = 0;
  for (; word[i] != '\0'; ++i) {
    if (i >= text.size() || AsciiLower(text[i]) != AsciiLower(word[i])) return false;
  }
  return i == text.size();
}

bool IsMd5Text(std::string_view text, std::size_t size) {
  if (text.size() < size) return false;
  for (std::size_t i = 0; i < size; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

ListTarget ParseTarget(const std::wstring& word) {
  if (EqualNoCase(word, L"File")) return ListTarget::File;
  if (EqualNoCase(word, L"Folder")) return ListTarget::Folder;
  return ListTarget::None;
}

void AddLine(std::wstring& text, const std::wstring& key, const std::wstring& value) {
  if (!value.empty()) text += key + L"=" + value + L"\r\n";
}

}  // namespace

const wchar_t* MethodWord(ListMethod method) { return METHOD_WORDS[static_cast<int>(method)]; }

ListMethod ParseMethod(const std::wstring& word) {
  for (int m = 1; m < static_cast<int>(sizeof METHOD_WORDS / sizeof *METHOD_WORDS); ++m) {
    if (EqualNoCase(word, METHOD_WORDS[m])) return static_cast<ListMethod>(m);
  }
  return ListMethod::Other;
}

const ListedPatch* ListEntry::PatchesFrom(const std::wstring& digest) const {
  for (const ListedPatch& patch : patches) {
    if (EqualNoCase(patch.from, digest)) return &patch;
  }
  return nullptr;
}

void ListEntry::AddPatchKey(const std::wstring& from, const std::wstring& suffix, const std::wstring& value) {
  if (value.empty()) return;  // a key without a folder offers nothing
  ListedPatch* patch = nullptr;
  for (ListedPatch& known : patches) {
    if (EqualNoCase(known.from, from)) patch = &known;
  }
  if (patch == nullptr) {
    patches.push_back(ListedPatch{from, L"", L"", L"", L"", L""});
    patch = &patches.back();
  }
  std::wstring& field = suffix.empty()                                 ? patch->folder
                        : EqualNoCase(suffix, PATCH2_KEY_SUFFIX)        ? patch->folder2
                        : EqualNoCase(suffix, PATCH_BYTES_KEY_SUFFIX)   ? patch->bytes
                        : EqualNoCase(suffix, PATCH2_BYTES_KEY_SUFFIX)  ? patch->bytes2
                                                                        : patch->source;
  if (field.empty()) field = value;  // the first of a repeated key, as lookups take it
}

ListEntry ListRule(const std::wstring& name, ListMethod method, ListTarget target) {
  ListEntry entry;
  entry.name = name;
  entry.method = method;
  entry.target = target;
  return entry;
}

bool ParseListEntry(const IniDocument& list, std::size_t section, ListEntry& entry, ListParts parts) {
  entry = ListEntry{};
  if (!list.NamedSection(section, entry.name)) return false;
  std::wstring method, target;
  struct Field {
    const char* key;
    std::wstring* value;
    bool head;
    bool seen;
  } fields[] = {{"Method", &method, true, false},           {"DateTime", &entry.dateTime, true, false},
                {"CheckSum", &entry.checksum, true, false}, {"Size", &entry.size, true, false},
                {"Target", &target, true, false},           {"SHA256", &entry.sha256, false, false},
                {"Whole.2", &entry.whole2, false, false},   {"SourceTime", &entry.sourceTime, false, false},
                {"Chunks.3", &entry.chunks, false, false},  {"Whole.bytes", &entry.wholeBytes, false, false},
                {"Whole.2.bytes", &entry.whole2Bytes, false, false},
                {"Chunks.3.pack", &entry.chunksPack, false, false}};
  const bool all = parts == ListParts::All;
  // One pass over the section's keys; of a repeated key the first is taken, as lookups take it.
  for (std::size_t k = 0; k < list.KeyCount(section); ++k) {
    const std::string_view key = list.KeyName(section, k);
    bool known = false;
    for (Field& field : fields) {
      if (!SameAsciiNoCase(key, field.key)) continue;
      if (!field.seen && (all || field.head)) *field.value = list.KeyValue(section, k);
      field.seen = known = true;
      break;
    }
    if (known || !all || !IsMd5Text(key, MD5_TEXT_SIZE)) continue;
    const std::string suffix(key.substr(MD5_TEXT_SIZE));
    if (suffix.empty() || SameAsciiNoCase(suffix, ".2") || SameAsciiNoCase(suffix, ".from") ||
        SameAsciiNoCase(suffix, ".bytes") || SameAsciiNoCase(suffix, ".2.bytes")) {
      entry.AddPatchKey(AnsiToWide(std::string(key.substr(0, MD5_TEXT_SIZE))), AnsiToWide(suffix),
                        list.KeyValue(section, k));
    }
  }
  entry.method = ParseMethod(method);
  entry.target = ParseTarget(target);
  return true;
}

std::wstring ComposeListEntry(const ListEntry& entry) {
  std::wstring text = L"[" + entry.name + L"]\r\n";
  AddLine(text, L"Method", MethodWord(entry.method));
  AddLine(text, L"Target", entry.target == ListTarget::File ? L"File" : entry.target == ListTarget::Folder ? L"Folder" : L"");
  AddLine(text, L"DateTime", entry.dateTime);
  AddLine(text, SOURCE_TIME_KEY, entry.sourceTime);
  AddLine(text, L"CheckSum", entry.checksum);
  // Clients that trust a key check what they stage against the SHA256; every client bounds what
  // it unpacks or rebuilds by the Size.
  AddLine(text, L"SHA256", entry.sha256);
  AddLine(text, L"Size", entry.size);
  // Each content's keys together, in the entry's order, which parsing keeps: the second format's
  // key is one that updaters knowing only the first never read.
  for (const ListedPatch& patch : entry.patches) {
    AddLine(text, patch.from, patch.folder);
    AddLine(text, patch.from + PATCH2_KEY_SUFFIX, patch.folder2);
    AddLine(text, patch.from + PATCH_SOURCE_KEY_SUFFIX, patch.source);
    AddLine(text, patch.from + PATCH_BYTES_KEY_SUFFIX, patch.bytes);
    AddLine(text, patch.from + PATCH2_BYTES_KEY_SUFFIX, patch.bytes2);
  }
  AddLine(text, WHOLE2_KEY, entry.whole2);
  AddLine(text, CHUNKS_KEY, entry.chunks);
  AddLine(text, CHUNKS_PACK_KEY, entry.chunksPack);
  AddLine(text, WHOLE_BYTES_KEY, entry.wholeBytes);
  AddLine(text, WHOLE2_BYTES_KEY, entry.whole2Bytes);
  return text;
}

ListHeader ParseListHeader(const IniDocument& list) {
  ListHeader header;
  const std::size_t section = list.FindSection(LIST_HEADER_SECTION);
  list.ReadString(section, L"VersionName", header.versionName);
  list.ReadString(section, L"UpdateFolder", header.updateFolder);
  list.ReadString(section, L"DateTime", header.dateTime);
  list.ReadString(section, L"Formats", header.formats);
  list.ReadString(section, L"Channel", header.channel);
  list.ReadString(section, L"Rollout", header.rollout);
  list.ReadString(section, L"RolloutPercent", header.rolloutPercent);
  list.ReadString(section, L"RolloutState", header.rolloutState);
  return header;
}

std::wstring ListTextOnChannel(const std::wstring& listText, const std::wstring& channel) {
  return ChannelFolder(channel).empty() ? listText : ListTextWithHeaderLines(listText, L"Channel=" + channel + L"\r\n");
}

std::wstring ListTextWithHeaderLines(const std::wstring& listText, const std::wstring& lines) {
  const std::wstring head = std::wstring(L"[") + LIST_HEADER_SECTION + L"]\r\n";
  return listText.compare(0, head.size(), head) == 0 ? head + lines + listText.substr(head.size())
                                                     : head + lines + listText;
}

std::wstring RolloutHeaderLines(const std::wstring& version, const std::wstring& percent, const std::wstring& state) {
  return L"Rollout=" + version + L"\r\nRolloutPercent=" + percent + L"\r\nRolloutState=" + state + L"\r\n";
}

bool ParseRolloutPercent(const std::wstring& text, unsigned& hundredths) {
  const std::size_t dot = text.find(L'.');
  const std::wstring whole = text.substr(0, dot);
  const std::wstring part = dot == std::wstring::npos ? L"" : text.substr(dot + 1);
  if (whole.empty() || whole.size() > 3 || part.size() > 2 || (dot != std::wstring::npos && part.empty()) ||
      (whole + part).find_first_not_of(L"0123456789") != std::wstring::npos) {
    return false;
  }
  hundredths = static_cast<unsigned>(std::stoul(whole)) * 100 +
               (part.empty() ? 0 : static_cast<unsigned>(std::stoul(part)) * (part.size() == 1 ? 10 : 1));
  return hundredths <= 10000;
}

bool ListIsOfChannel(const ListHeader& header, const std::wstring& channel) {
  const auto named = [](const std::wstring& name) { return name.empty() ? std::wstring(DEFAULT_CHANNEL) : name; };
  return named(header.channel) == named(channel);
}

std::wstring ComposeListHeader(const ListHeader& header) {
  std::wstring text = std::wstring(L"[") + LIST_HEADER_SECTION + L"]\r\n";
  AddLine(text, L"VersionName", header.versionName);
  AddLine(text, L"UpdateFolder", header.updateFolder);
  AddLine(text, L"DateTime", header.dateTime);
  AddLine(text, L"Formats", header.formats);
  AddLine(text, L"Channel", header.channel);
  return text;
}

std::wstring ComposeRootDescriptor(const std::wstring& rootKey, const std::wstring& product) {
  return std::wstring(L"[") + LIST_HEADER_SECTION + L"]\r\n" + rootKey + L"=" + product + L"\r\n";
}

std::wstring RootFolderIn(const IniDocument& descriptor, const std::wstring& rootKey) {
  std::wstring folder;
  descriptor.ReadString(LIST_HEADER_SECTION, rootKey, folder);
  return folder;
}
