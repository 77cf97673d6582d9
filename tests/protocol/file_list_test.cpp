// The list as both sides see it: what the publisher composes, the updater parses back unchanged,
// and lists written by hand or by older publishers read as every lookup reads them.
#include <gtest/gtest.h>

#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "services/text.h"

namespace {

const std::wstring OLD_SUM = L"0123456789abcdef0123456789abcdef";
const std::wstring OTHER_SUM = L"fedcba9876543210fedcba9876543210";

IniDocument ListOf(const std::wstring& text) { return IniDocument(WideToUtf8(text)); }

ListEntry ParsedFirst(const std::wstring& text) {
  const IniDocument list = ListOf(text);
  ListEntry entry;
  EXPECT_TRUE(ParseListEntry(list, list.SectionReadFor(0), entry));
  return entry;
}

void ExpectSame(const ListEntry& a, const ListEntry& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.method, b.method);
  EXPECT_EQ(a.target, b.target);
  EXPECT_EQ(a.dateTime, b.dateTime);
  EXPECT_EQ(a.sourceTime, b.sourceTime);
  EXPECT_EQ(a.checksum, b.checksum);
  EXPECT_EQ(a.sha256, b.sha256);
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.whole2, b.whole2);
  EXPECT_EQ(a.chunks, b.chunks);
  EXPECT_EQ(a.chunksPack, b.chunksPack);
  EXPECT_EQ(a.wholeBytes, b.wholeBytes);
  EXPECT_EQ(a.whole2Bytes, b.whole2Bytes);
  ASSERT_EQ(a.patches.size(), b.patches.size());
  for (std::size_t i = 0; i < a.patches.size(); ++i) {
    EXPECT_EQ(a.patches[i].from, b.patches[i].from);
    EXPECT_EQ(a.patches[i].folder, b.patches[i].folder);
    EXPECT_EQ(a.patches[i].folder2, b.patches[i].folder2);
    EXPECT_EQ(a.patches[i].source, b.patches[i].source);
    EXPECT_EQ(a.patches[i].bytes, b.patches[i].bytes);
    EXPECT_EQ(a.patches[i].bytes2, b.patches[i].bytes2);
  }
}

TEST(FileList, EveryKeyTheServerWritesReadsBackUnchanged) {
  ListEntry entry;
  entry.name = L"data\\map 01.pak";
  entry.method = ListMethod::Patch;
  entry.dateTime = L"133497736200000000";
  entry.sourceTime = L"133497736100000000";
  entry.checksum = L"d41d8cd98f00b204e9800998ecf8427e";
  entry.sha256 = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  entry.size = L"4096";
  entry.whole2 = L".zst";
  entry.chunks = L"5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03";
  entry.chunksPack = L"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
  entry.AddPatchKey(OLD_SUM, L"", L"patches/1.0-2.0/");
  entry.AddPatchKey(OLD_SUM, PATCH2_KEY_SUFFIX, L"patches2/1.0-2.0/");
  entry.AddPatchKey(OLD_SUM, PATCH_BYTES_KEY_SUFFIX, L"1234");
  entry.AddPatchKey(OLD_SUM, PATCH2_BYTES_KEY_SUFFIX, L"1200");
  entry.wholeBytes = L"3000";
  entry.whole2Bytes = L"2900";
  entry.AddPatchKey(OTHER_SUM, PATCH2_KEY_SUFFIX, L"patches2/0.9-2.0/");
  entry.AddPatchKey(OTHER_SUM, PATCH_SOURCE_KEY_SUFFIX, L"old\\map 01.pak");
  entry.AddPatchKey(L"00000000000000000000000000000001", L"", L"patches/0.8-2.0/");  // their order stays
  ExpectSame(ParsedFirst(ComposeListEntry(entry)), entry);

  for (const ListEntry& rule : {ListRule(L"saves", ListMethod::Exists, ListTarget::Folder),
                                ListRule(L"old.dll", ListMethod::Remove, ListTarget::File)}) {
    ExpectSame(ParsedFirst(ComposeListEntry(rule)), rule);
  }
  // Every updater, the oldest too, reads a removal in exactly these lines.
  EXPECT_EQ(ComposeListEntry(ListRule(L"old.dll", ListMethod::Remove, ListTarget::File)),
            L"[old.dll]\r\nMethod=Remove\r\nTarget=File\r\n");

  const ListHeader header{L"2.0", L"files/2.0/", L"20261209120000", L"3"};
  const ListHeader back = ParseListHeader(ListOf(ComposeListHeader(header) + ComposeListEntry(entry)));
  EXPECT_EQ(back.versionName, header.versionName);
  EXPECT_EQ(back.updateFolder, header.updateFolder);
  EXPECT_EQ(back.dateTime, header.dateTime);
  EXPECT_EQ(back.formats, header.formats);
  // A tree of chunks alone offers no whole files; a list written before the key has both.
  EXPECT_FALSE(back.KeepsWholeFiles());
  EXPECT_TRUE(ListHeader{}.KeepsWholeFiles());
  EXPECT_EQ(RootFolderIn(ListOf(ComposeRootDescriptor(L"VeloraTest", L"velora/")), L"VeloraTest"), L"velora/");
  EXPECT_EQ(RootFolderIn(ListOf(ComposeRootDescriptor(L"VeloraTest", L"velora/")), DEFAULT_ROOT_KEY), L"");
}

TEST(FileList, AHandWrittenSectionReadsAsLookupsReadIt) {
  const ListEntry entry = ParsedFirst(L"[ Data\\A.DAT ]\r\n"
                                      L"method = update\r\n"
                                      L"CHECKSUM=\"AABBCCDDEEFF00112233445566778899\"\r\n"
                                      L"checksum=11111111111111111111111111111111\r\n"
                                      L"DateTime=\r\n"
                                      L"DateTime=133497736200000000\r\n"
                                      L"0123456789ABCDEF0123456789ABCDEF=patches/x/\r\n"
                                      L"0123456789abcdef0123456789abcdef=patches/later/\r\n"
                                      L"0123456789abcdef0123456789abcdef.FROM=b.dat\r\n"
                                      L"not-a-digest=patches/y/\r\n"
                                      L"0123456789abcdef0123456789abcde=patches/short/\r\n"
                                      L"0123456789abcdef0123456789abcdef.3=patches/z/\r\n");
  EXPECT_EQ(entry.name, L"Data\\A.DAT");
  EXPECT_EQ(entry.method, ListMethod::Update);
  EXPECT_EQ(entry.checksum, L"AABBCCDDEEFF00112233445566778899");  // the first, its quotes gone
  EXPECT_EQ(entry.dateTime, L"");  // the first DateTime is the one every lookup reads
  ASSERT_EQ(entry.patches.size(), 1u);
  EXPECT_EQ(entry.patches[0].folder, L"patches/x/");
  EXPECT_EQ(entry.patches[0].source, L"b.dat");
  EXPECT_NE(entry.PatchesFrom(L"0123456789ABCDEF0123456789abcdef"), nullptr);
  EXPECT_EQ(entry.PatchesFrom(OTHER_SUM), nullptr);
  EXPECT_TRUE(entry.HasContent());

  const ListEntry odd = ParsedFirst(L"[a]\r\nMethod=Replace\r\nTarget=Drive\r\n");
  EXPECT_EQ(odd.method, ListMethod::Other);
  EXPECT_EQ(odd.target, ListTarget::None);
  EXPECT_FALSE(odd.HasContent());
  EXPECT_EQ(ComposeListEntry(odd), L"[a]\r\n");  // nothing unknown is written back
}

TEST(FileList, AListSaysItsChannelAndTheDefaultChannelsListsStayAsTheyWere) {
  const std::wstring list = ComposeListHeader({L"2.0", L"files/2.0/", L"", L""}) + L"[a.txt]\r\nMethod=Update\r\n";
  EXPECT_EQ(ListTextOnChannel(list, DEFAULT_CHANNEL), list);
  EXPECT_EQ(ListTextOnChannel(list, L""), list);
  const std::wstring beta = ListTextOnChannel(list, L"beta");
  const ListHeader header = ParseListHeader(ListOf(beta));
  EXPECT_EQ(header.channel, L"beta");
  EXPECT_EQ(header.versionName, L"2.0");
  EXPECT_TRUE(ListIsOfChannel(header, L"beta"));
  EXPECT_FALSE(ListIsOfChannel(header, DEFAULT_CHANNEL));
  // A list without the key, as every list before channels, is the default channel's.
  const ListHeader plain = ParseListHeader(ListOf(list));
  EXPECT_TRUE(ListIsOfChannel(plain, L""));
  EXPECT_TRUE(ListIsOfChannel(plain, DEFAULT_CHANNEL));
  EXPECT_FALSE(ListIsOfChannel(plain, L"beta"));
  const IniDocument betaList = ListOf(beta);
  ListEntry entry;
  ASSERT_TRUE(ParseListEntry(betaList, betaList.FindSection(L"a.txt"), entry));
  EXPECT_EQ(entry.method, ListMethod::Update);

  EXPECT_EQ(ChannelFolder(DEFAULT_CHANNEL), L"");
  EXPECT_EQ(ChannelFolder(L"beta"), L"channels/beta/");
  for (const wchar_t* name : {L"beta", L"rc-2", L"0day"}) EXPECT_TRUE(IsChannelName(name)) << WideToUtf8(name);
  for (const wchar_t* name : {L"", L"Beta", L"-beta", L"../stable", L"a/b", L"beta channel", L"b.eta",
                              L"abcdefghijklmnopqrstuvwxyz0123456"}) {
    EXPECT_FALSE(IsChannelName(name)) << WideToUtf8(name);
  }
}

TEST(FileList, ARepeatedSectionReadsAsItsFirst) {
  const IniDocument list = ListOf(L"[a]\r\nMethod=Update\r\nCheckSum=" + OLD_SUM + L"\r\n[A]\r\nMethod=Remove\r\n");
  ListEntry entry;
  ASSERT_TRUE(ParseListEntry(list, list.SectionReadFor(1), entry));
  EXPECT_EQ(entry.method, ListMethod::Update);
  EXPECT_FALSE(ParseListEntry(list, IniDocument::NO_SECTION, entry));
}

}  // namespace
