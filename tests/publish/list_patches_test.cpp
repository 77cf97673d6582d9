// The patches a tree keeps from its last served lists to the live one.
#include "publish/list_patches.h"

#include <gtest/gtest.h>

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
// older texts and their patches go, and a publication that keeps the list rewrites nothing.
TEST(ListPatches, TheLastListsEachHaveAPatchToTheLiveOneAndOlderOnesGo) {
  TempFolder tree;
  const fs::path folder = tree.path() / "game" / "filelist.enc.patches";
  const int releases = static_cast<int>(LIST_TEXTS_KEPT) + 3;
  std::vector<std::string> texts;
  for (int release = 1; release <= releases; ++release) {
    ASSERT_TRUE(PublishList(tree.path(), ListOf(release)));
    texts.push_back(Unpacked(tree.path() / "game" / "filelist.enc"));
  }
  const std::string recent = ReadBytes(folder / "recent");
  std::string expected;
  for (int back = 2; back <= static_cast<int>(LIST_TEXTS_KEPT) + 1; ++back) expected += Digest(texts[releases - back]) + "\n";
  EXPECT_EQ(recent, expected) << "the texts the tree served before the live one, newest first";
  for (int back = 2; back <= releases; ++back) {
    const std::string digest = Digest(texts[releases - back]);
    const bool kept = back <= static_cast<int>(LIST_TEXTS_KEPT) + 1;
    EXPECT_EQ(fs::exists(folder / (digest + ".pat")), kept) << back;
    EXPECT_EQ(fs::exists(folder / (digest + ".list")), kept) << back;
    if (!kept) continue;
    std::string rebuilt;
    ASSERT_TRUE(ApplyPatchBytes(Unpacked(folder / (digest + ".list")), Unpacked(folder / (digest + ".pat")), rebuilt));
    EXPECT_TRUE(rebuilt == texts.back()) << back;
    EXPECT_LT(fs::file_size(folder / (digest + ".pat")) * 10, fs::file_size(tree.path() / "game" / "filelist.enc"));
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
  ASSERT_TRUE(ApplyPatchBytes(texts[releases - 2], Unpacked(folder / (back + ".pat")), rebuilt));
  EXPECT_TRUE(rebuilt == texts[releases - 2]);

  // Kept texts damaged on the disk are named by verify; the next publication drops an earlier
  // one and writes the one it replaces again from the live list.
  const std::string earlier = Digest(texts[releases - 3]);
  for (const std::string& digest : {back, earlier}) WriteBytes(folder / (digest + ".list"), PackBytes("not that", 9));
  const std::vector<std::string> problems = ListPatchProblems(tree.path(), "game/filelist.enc");
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find(back + ".list"), std::string::npos) << problems[0];
  ASSERT_TRUE(PublishList(tree.path(), ListOf(releases + 1)));
  EXPECT_FALSE(fs::exists(folder / (earlier + ".pat")));
  EXPECT_TRUE(fs::exists(folder / (back + ".pat")));
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
  const fs::path patch = tree.path() / "game" / "filelist.enc.patches" / (recent.substr(0, 32) + ".pat");
  EXPECT_LT(fs::file_size(patch) * 20, fs::file_size(tree.path() / "game" / "filelist.enc"));
}
