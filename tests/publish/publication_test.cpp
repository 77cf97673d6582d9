// A publication as clients meet it: the list's text in the encoding every reader takes, a new
// list never dated at or before the one it replaces, and a publication stopped before its plan
// discarded by the next command while the old list stays live.
#include "publish/publication.h"

#include <gtest/gtest.h>

#include "publish/tree_writes.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

std::string Served(const fs::path& tree) {
  std::string text;
  EXPECT_TRUE(UnpackToMemory(tree / "game" / "filelist.enc", text));
  return text;
}

bool PublishList(const fs::path& tree, const std::wstring& text, std::string& error) {
  Publication publication(tree, L"game/");
  publication.AddList("game/filelist.enc", text);
  return publication.Publish(error);
}

}  // namespace

TEST(Publication, AListIsAnsiWhenAsciiElseUtf16WithItsMark) {
  EXPECT_EQ(EncodeListText(L"[ServerConfig]\r\n"), "[ServerConfig]\r\n");
  EXPECT_EQ(EncodeListText(L"[Th\u1eed]"), std::string("\xFF\xFE[\0T\0h\0\xED\x1E]\0", 12));
}

// Clients take a list whose stamp they have seen as the one they hold: two publications in the
// same second still give the second list a later time.
TEST(Publication, ANewListIsDatedAfterTheOneItReplaces) {
  TempFolder tree;
  std::string error;
  ASSERT_TRUE(PublishList(tree.path(), L"[ServerConfig]\r\nVersionName=1.0\r\n", error)) << error;
  const auto first = fs::last_write_time(tree.path() / "game" / "filelist.enc");
  ASSERT_TRUE(PublishList(tree.path(), L"[ServerConfig]\r\nVersionName=2.0\r\n", error)) << error;
  const auto second = fs::last_write_time(tree.path() / "game" / "filelist.enc");
  EXPECT_GE(second - first, std::chrono::seconds(1));
  EXPECT_EQ(Served(tree.path()), "[ServerConfig]\r\nVersionName=2.0\r\n");
}

// Stopped while staging (no plan written): nothing went live, and the next command discards the
// stage; with no stage there is nothing to say.
TEST(Publication, OneStoppedBeforeItsPlanIsDiscardedAndTheOldListStays) {
  TempFolder tree;
  std::string error, said;
  ASSERT_TRUE(PublishList(tree.path(), L"[ServerConfig]\r\nVersionName=1.0\r\n", error)) << error;
  const fs::path stage = tree.path() / PUBLICATION_STAGE;
  fs::create_directories(stage / "game");
  WriteBytes(stage / "game" / "filelist.enc", "a half-written list");
  ASSERT_TRUE(Publication::Recover(tree.path(), said, error)) << error;
  EXPECT_EQ(said, "discarded a publication that was stopped before it went live");
  EXPECT_FALSE(fs::exists(stage));
  EXPECT_EQ(Served(tree.path()), "[ServerConfig]\r\nVersionName=1.0\r\n");
  ASSERT_TRUE(Publication::Recover(tree.path(), said, error)) << error;
  EXPECT_EQ(said, "");
}
