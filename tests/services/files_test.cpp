#include "services/files.h"

#include <gtest/gtest.h>

#include "services/extended_path.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

bool IsReadOnly(const fs::path& p) {
  return (fs::status(p).permissions() & fs::perms::owner_write) == fs::perms::none;
}

void MakeReadOnly(const fs::path& p) {
  fs::permissions(p, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

}  // namespace

TEST(FileTimeOfFiles, SetThenGetGivesTheSameText) {
  TempFolder folder;
  WriteBytes(folder.path() / "f", "x");
  for (const wchar_t* text : {L"30260062:1225067648", L"26377044:2656081543" /* 1960, with 100 ns */, L"30260062:1225067649"}) {
    ASSERT_TRUE(SetFileTimeText(folder / "f", text)) << text;
    std::wstring read = L"stale";
    GetFileTimeText(folder / "f", read);
    EXPECT_EQ(read, text);
  }
}

TEST(FileTimeOfFiles, BadTextLeavesTheFileAlone) {
  TempFolder folder;
  WriteBytes(folder.path() / "f", "x");
  ASSERT_TRUE(SetFileTimeText(folder / "f", L"30260062:1225067648"));
  EXPECT_FALSE(SetFileTimeText(folder / "f", L"30260062"));
  EXPECT_FALSE(SetFileTimeText(folder / "f", L"no colon"));
  // Times that the system would take as "leave unchanged", or could not hold, are refused, not
  // reported as set.
  for (const wchar_t* unholdable : {L"0:0", L"4294967295:4294967295", L"2147483648:0"}) {
    EXPECT_FALSE(SetFileTimeText(folder / "f", unholdable)) << unholdable;
  }
  std::wstring read;
  GetFileTimeText(folder / "f", read);
  EXPECT_EQ(read, L"30260062:1225067648");
}

TEST(FileTimeOfFiles, MissingFileGivesEmptyTextAndFalse) {
  TempFolder folder;
  std::wstring read = L"stale";
  GetFileTimeText(folder / "missing", read);
  EXPECT_EQ(read, L"");
  EXPECT_FALSE(SetFileTimeText(folder / "missing", L"1:2"));
}

TEST(ClearReadOnly, MakesTheFileWritableAndAcceptsMissingPaths) {
  TempFolder folder;
  WriteBytes(folder.path() / "ro", "x");
  MakeReadOnly(folder.path() / "ro");
  ASSERT_TRUE(IsReadOnly(folder.path() / "ro"));
  EXPECT_TRUE(ClearReadOnly(folder / "ro"));
  EXPECT_FALSE(IsReadOnly(folder.path() / "ro"));
  EXPECT_TRUE(ClearReadOnly(folder / "ro"));
  EXPECT_TRUE(ClearReadOnly(folder / "missing"));
}

TEST(CreateDirectoryPath, CreatesEveryMissingFolder) {
  TempFolder folder;
  CreateDirectoryPath(folder / "a\\b\\c");
  EXPECT_TRUE(fs::is_directory(folder.path() / "a" / "b" / "c"));
  CreateDirectoryPath(folder / "x\\y\\");
  EXPECT_TRUE(fs::is_directory(folder.path() / "x" / "y"));
  CreateDirectoryPath(L"");
  // A file in the way stays a file.
  WriteBytes(folder.path() / "file", "x");
  CreateDirectoryPath(folder / "file\\sub");
  EXPECT_TRUE(fs::is_regular_file(folder.path() / "file"));
}

TEST(CreateDirectoryPath, TellsWhetherThePathIsAFolderAfterwards) {
  TempFolder folder;
  EXPECT_TRUE(CreateDirectoryPath(folder / "a\\b\\c\\\\"));
  EXPECT_TRUE(fs::is_directory(folder.path() / "a" / "b" / "c"));
  EXPECT_TRUE(CreateDirectoryPath(folder / "a"));
  WriteBytes(folder.path() / "file", "x");
  EXPECT_FALSE(CreateDirectoryPath(folder / "file"));
  EXPECT_FALSE(CreateDirectoryPath(folder / "file\\below"));
  EXPECT_FALSE(CreateDirectoryPath(L""));
}

TEST(DeleteFolderTree, RemovesEverythingBelowAndTheFolderItself) {
  TempFolder folder;
  fs::create_directories(folder.path() / "tree" / "sub" / "deeper");
  WriteBytes(folder.path() / "tree" / "a", "1");
  WriteBytes(folder.path() / "tree" / "sub" / "b", "2");
  WriteBytes(folder.path() / "tree" / "sub" / "deeper" / "ro", "3");
  MakeReadOnly(folder.path() / "tree" / "sub" / "deeper" / "ro");
  WriteBytes(folder.path() / "sibling", "keep");
  DeleteFolderTree(folder / "tree\\");
  EXPECT_FALSE(fs::exists(folder.path() / "tree"));
  EXPECT_EQ(ReadBytes(folder.path() / "sibling"), "keep");
  DeleteFolderTree(folder / "missing");
  EXPECT_TRUE(fs::exists(folder.path() / "sibling"));
}

TEST(DeleteFolderTree, RemovesEntriesWhateverOrderTheyAreListedIn) {
  // Names that sort before "." and ".." must not be mistaken for them.
  TempFolder folder;
  fs::create_directories(folder.path() / "tree");
  for (const char* name : {"!", "#x", "-", "+a", ",b"}) WriteBytes(folder.path() / "tree" / name, "x");
  DeleteFolderTree(folder / "tree");
  EXPECT_FALSE(fs::exists(folder.path() / "tree"));
}

#ifndef _WIN32
TEST(DeleteFolderTree, RemovesLinksWithoutFollowingThem) {
  TempFolder folder;
  fs::create_directories(folder.path() / "outside");
  WriteBytes(folder.path() / "outside" / "precious", "keep");
  fs::create_directories(folder.path() / "tree");
  fs::create_directory_symlink(folder.path() / "outside", folder.path() / "tree" / "link");
  DeleteFolderTree(folder / "tree");
  EXPECT_FALSE(fs::exists(folder.path() / "tree"));
  EXPECT_EQ(ReadBytes(folder.path() / "outside" / "precious"), "keep");
  // A link given as the folder itself is not emptied either.
  fs::create_directory_symlink(folder.path() / "outside", folder.path() / "link2");
  DeleteFolderTree(folder / "link2");
  EXPECT_EQ(ReadBytes(folder.path() / "outside" / "precious"), "keep");
}
#endif

TEST(WriteResourceToFile, WritesTheEmbeddedBytes) {
  TempFolder folder;
  ASSERT_TRUE(WriteResourceToFile(185, L"DATA", folder / "engine.dat"));
  EXPECT_EQ(ReadBytes(folder.path() / "engine.dat"), ReadBytes(ZEPO_TEST_RESOURCE));
  EXPECT_FALSE(WriteResourceToFile(186, L"DATA", folder / "other.dat"));
  EXPECT_FALSE(WriteResourceToFile(185, L"PNG", folder / "other.dat"));
  EXPECT_FALSE(fs::exists(folder.path() / "other.dat"));
}

TEST(FileHandle, CreateForWriteRefusesReadOnlyFiles) {
  TempFolder folder;
  WriteBytes(folder.path() / "ro", "old");
  MakeReadOnly(folder.path() / "ro");
  EXPECT_FALSE(FileHandle::CreateForWrite(folder / "ro").IsOpen());
  EXPECT_EQ(ReadBytes(folder.path() / "ro"), "old");
}

TEST(MoveFileReplace, ReplacesTheDestination) {
  TempFolder folder;
  WriteBytes(folder.path() / "new", "new");
  WriteBytes(folder.path() / "old", "old");
  EXPECT_TRUE(MoveFileReplace(folder / "new", folder / "old"));
  EXPECT_EQ(ReadBytes(folder.path() / "old"), "new");
  EXPECT_FALSE(fs::exists(folder.path() / "new"));
}

TEST(ExtendedPathForm, ExtendsDriveAndNetworkPathsOnly) {
  EXPECT_EQ(ExtendedPathForm(L"C:\\Games\\Velora \\a.pak"), L"\\\\?\\C:\\Games\\Velora \\a.pak");
  EXPECT_EQ(ExtendedPathForm(L"\\\\server\\share\\a.pak"), L"\\\\?\\UNC\\server\\share\\a.pak");
  EXPECT_EQ(ExtendedPathForm(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\a");
  EXPECT_EQ(ExtendedPathForm(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
  EXPECT_EQ(ExtendedPathForm(L"update\\a.pak"), L"update\\a.pak");
  EXPECT_EQ(ExtendedPathForm(L"C:a.pak"), L"C:a.pak");
  EXPECT_EQ(ExtendedPathForm(L"/home/p/a.pak"), L"/home/p/a.pak");
  for (const wchar_t* path : {L"C:\\Games\\a.pak", L"\\\\server\\share\\a.pak"}) {
    EXPECT_EQ(PlainPathForm(ExtendedPathForm(path)), path);
  }
}

// Under Wine this reaches the extended form of every call; natively it shows the same contract.
TEST(FilesPast260Characters, AreWrittenTimedMovedListedAndDeleted) {
  TempFolder folder;
  std::wstring deep = folder / "";
  while (deep.size() < 300) deep += std::wstring(70, L'd') + L"\\";
  CreateDirectoryPath(deep);
  ASSERT_TRUE(IsFolder(deep));
  const std::wstring file = deep + L"file with a name.tmp";
  {
    FileHandle out = FileHandle::CreateForWrite(file);
    ASSERT_TRUE(out.IsOpen());
    ASSERT_TRUE(out.Write("deep", 4));
  }
  ASSERT_TRUE(SetFileTimeText(file, L"30260062:1225067648"));
  std::wstring time;
  GetFileTimeText(file, time);
  EXPECT_EQ(time, L"30260062:1225067648");
  const std::wstring moved = deep + L"moved.pak";
  ASSERT_TRUE(MoveFileReplace(file, moved));
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(moved, bytes));
  EXPECT_EQ(bytes, "deep");
  EXPECT_EQ(FolderEntries(deep), std::vector<std::wstring>{L"moved.pak"});
  DeleteFolderTree(folder / std::string(70, 'd'));
  EXPECT_FALSE(PathExists(moved));
  EXPECT_TRUE(FolderEntries(folder / "").empty());
}
