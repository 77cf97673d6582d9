// The patches a tree keeps from its last served lists to the live one.
#include "publish/list_patches.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/patch.h"
#include "publish/publication.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/text.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

std::string Unpacked(const fs::path& path) {
  std::string text;
  EXPECT_TRUE(UnpackBytes(ReadBytes(path), text)) << path;
  return text;
}

std::string Digest(const std::string& text) { return WideToUtf8(Md5OfBytes(text.data(), text.size())); }

// A list of many files, of which each release changes a few.
std::wstring ListOf(int release, int files = 200) {
  std::wstring text = L"[ServerConfig]\r\nVersionName=" + std::to_wstring(release) + L".0\r\n";
  for (int file = 0; file < files; ++file) {
    const int content = file % 50 == 0 ? file * 1000 + release : file;
    text += L"[data\\file" + std::to_wstring(file) + L".pak]\r\nMethod=Patch\r\nCheckSum=" +
            Md5OfBytes(&content, sizeof content) + L"\r\n";
  }
  return text;
}

// The patch from the text of digest to the live list: its name states both.
fs::path PatchTo(const fs::path& tree, const std::string& digest) {
  const std::string check = WideToUtf8(TextCheckOfPacked(ReadBytes(tree / "game" / "filelist.enc")));
  return tree / "game" / "filelist.enc.patches" / (digest + "-" + check + ".pat");
}

std::size_t PatchCount(const fs::path& folder) {
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) count += entry.path().extension() == ".pat" ? 1 : 0;
  return count;
}

bool PublishList(const fs::path& tree, const std::wstring& text) {
  Publication publication(tree, L"game/");
  publication.AddList("game/filelist.enc", text);
  std::string error;
  const bool ok = publication.Publish(error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

}  // namespace

// Each of the last kept texts has a patch that rebuilds the live list from it, and nothing else;
// older texts and their patches go, and a publication that keeps the list rewrites nothing. A
// patch's URL never serves other bytes: a cache may keep it for ever.
TEST(ListPatches, TheLastListsEachHaveAPatchToTheLiveOneAndOlderOnesGo) {
  TempFolder tree;
  const fs::path folder = tree.path() / "game" / "filelist.enc.patches";
  const int releases = static_cast<int>(LIST_TEXTS_KEPT) + 3;
  std::vector<std::string> texts;
  std::map<std::string, std::string> served;  // every patch name seen, with its bytes
  for (int release = 1; release <= releases; ++release) {
    ASSERT_TRUE(PublishList(tree.path(), ListOf(release)));
    texts.push_back(Unpacked(tree.path() / "game" / "filelist.enc"));
    if (release == 1) continue;
    EXPECT_EQ(PatchCount(folder), std::min<std::size_t>(release - 1, LIST_TEXTS_KEPT)) << "no patch to an earlier list";
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().extension() != ".pat") continue;
      const auto [was, first] = served.insert({entry.path().filename().string(), ReadBytes(entry.path())});
      EXPECT_TRUE(first || was->second == ReadBytes(entry.path())) << entry.path() << " changed";
    }
  }
  const std::string recent = ReadBytes(folder / "recent");
  std::string expected;
  for (int back = 2; back <= static_cast<int>(LIST_TEXTS_KEPT) + 1; ++back) expected += Digest(texts[releases - back]) + "\n";
  EXPECT_EQ(recent, expected) << "the texts the tree served before the live one, newest first";
  for (int back = 2; back <= releases; ++back) {
    const std::string digest = Digest(texts[releases - back]);
    const bool kept = back <= static_cast<int>(LIST_TEXTS_KEPT) + 1;
    EXPECT_EQ(fs::exists(PatchTo(tree.path(), digest)), kept) << back;
    EXPECT_EQ(fs::exists(folder / (digest + ".list")), kept) << back;
    if (!kept) continue;
    std::string rebuilt;
    ASSERT_TRUE(ApplyPatchBytes(Unpacked(folder / (digest + ".list")), Unpacked(PatchTo(tree.path(), digest)), rebuilt));
    EXPECT_TRUE(rebuilt == texts.back()) << back;
    EXPECT_LT(fs::file_size(PatchTo(tree.path(), digest)) * 10, fs::file_size(tree.path() / "game" / "filelist.enc"));
  }
  EXPECT_TRUE(ListPatchProblems(tree.path(), "game/filelist.enc").empty());

  // The live list published again: its patches stay as they are.
  const auto before = fs::last_write_time(folder / "recent");
  ASSERT_TRUE(PublishList(tree.path(), ListOf(releases)));
  EXPECT_EQ(fs::last_write_time(folder / "recent"), before);

  // A rollback to a list served before: that list's own patch leads to itself.
  ASSERT_TRUE(PublishList(tree.path(), ListOf(releases - 1)));
  std::string rebuilt;
  const std::string back = Digest(texts[releases - 2]);
  ASSERT_TRUE(ApplyPatchBytes(texts[releases - 2], Unpacked(PatchTo(tree.path(), back)), rebuilt));
  EXPECT_TRUE(rebuilt == texts[releases - 2]);

  // Kept texts damaged on the disk are named by verify; the next publication drops an earlier
  // one and writes the one it replaces again from the live list.
  const std::string earlier = Digest(texts[releases - 3]);
  for (const std::string& digest : {back, earlier}) WriteBytes(folder / (digest + ".list"), PackBytes("not that", 9));
  const std::vector<std::string> problems = ListPatchProblems(tree.path(), "game/filelist.enc");
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find(back + ".list"), std::string::npos) << problems[0];
  ASSERT_TRUE(PublishList(tree.path(), ListOf(releases + 1)));
  EXPECT_FALSE(fs::exists(PatchTo(tree.path(), earlier)));
  EXPECT_TRUE(fs::exists(PatchTo(tree.path(), back)));
  EXPECT_TRUE(ListPatchProblems(tree.path(), "game/filelist.enc").empty());
}

// A list of many files (10 MB of text) is patched in chunks: the patch still rebuilds it exactly.
TEST(ListPatches, AListOfManyFilesIsPatchedToo) {
  TempFolder tree;
  ASSERT_TRUE(PublishList(tree.path(), ListOf(1, 120000)));
  ASSERT_TRUE(PublishList(tree.path(), ListOf(2, 120000)));
  const std::string live = Unpacked(tree.path() / "game" / "filelist.enc");
  ASSERT_GT(live.size(), 8u << 20);
  EXPECT_TRUE(ListPatchProblems(tree.path(), "game/filelist.enc").empty());
  const std::string recent = ReadBytes(tree.path() / "game" / "filelist.enc.patches" / "recent");
  ASSERT_EQ(recent.size(), 33u);
  const fs::path patch = PatchTo(tree.path(), recent.substr(0, 32));
  EXPECT_LT(fs::file_size(patch) * 20, fs::file_size(tree.path() / "game" / "filelist.enc"));
}
