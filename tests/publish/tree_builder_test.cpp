// Trees built by the publishing tool, checked by its verifier and used by the real engine on the
// loopback test server.
#include "publish/tree_builder.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "services/logger.h"
#include "engine/update_run.h"
#include "protocol/file_list.h"
#include "publish/content_store.h"
#include "publish/delta.h"
#include "publish/prune.h"
#include "publish/release_index.h"
#include "publish/tree_status.h"
#include "publish/tree_writes.h"
#include "publish/verify.h"
#include "services/file_time.h"
#include "services/ini.h"
#include "services/md5.h"
#include "services/packed2.h"
#include "services/platform.h"
#include "services/signing.h"
#include "support/temp_folder.h"
#include "support/test_server.h"

namespace fs = std::filesystem;

namespace {

struct QuietView final : RunView {
  std::wstring last;
  void SetStatus(const std::wstring& text) override { last = text; }
  void ShowVersion(const std::wstring&) override {}
  void StepProgress() override {}
  void SetProgressRange(int, int) override {}
  void SetProgressPosition(int) override {}
};

void Put(const TempFolder& release, const std::string& name, const std::string& content) {
  fs::create_directories((release.path() / name).parent_path());
  WriteBytes(release.path() / name, content);
}

// A release folder copied as the game's installer copies it, every file with one time.
void CopyWithTime(const fs::path& from, const fs::path& to, fs::file_time_type time) {
  for (const auto& entry : fs::recursive_directory_iterator(from)) {
    const fs::path target = to / fs::relative(entry.path(), from);
    if (entry.is_directory()) {
      fs::create_directories(target);
    } else {
      fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
      fs::last_write_time(target, time);
    }
  }
}

std::string ListText(const fs::path& tree, const char* name = "filelist.enc") {
  std::string plain;
  EXPECT_TRUE(UnpackToMemory(tree / "game" / name, plain));
  return plain;
}

class TreeBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A tree remembers what it published: every test starts from none.
    fs::remove_all(tree);
    Put(v1, "bin/game.exe", program + "version 1 code");
    Put(v1, "data/world.pak", world);
    Put(v1, "data/old.pak", "gone in version 2");
    Put(v1, "settings.ini", "volume=5");
    Put(v1, "zepo-update", "updater 1");
    Put(v2, "bin/game.exe", program.substr(0, 30000) + "a new function" + program.substr(30000) + "version 2 code");
    Put(v2, "data/world.pak", world.substr(0, 50000) + "new region" + world.substr(50000));
    Put(v2, "data/new.pak", "new in version 2");
    Put(v2, "settings.ini", "volume=7");
    Put(v2, "zepo-update", "updater 2");
    fs::create_directories(v2.path() / "saves");
    // Releases carry their build times; an installation's files differ from them by more than
    // the minute that the check's time shortcut compares.
    for (const auto& entry : fs::recursive_directory_iterator(v2.path())) {
      if (entry.is_regular_file()) fs::last_write_time(entry.path(), fs::last_write_time(entry.path()) - std::chrono::hours(48));
    }
  }

  BuildOptions Options(const fs::path& release, const std::wstring& version) {
    BuildOptions options;
    options.release = release;
    options.version = version;
    options.out = tree;
    options.keep = {L"settings.ini"};
    options.selfUpdate = {L"zepo-update"};
    options.jobs = 2;
    return options;
  }

  bool Build(const BuildOptions& options) {
    BuildSummary summary;
    std::string error;
    const bool ok = BuildTree(options, summary, error);
    last = summary;
    lastError = error;
    return ok;
  }

  // Installs the named files of a release folder and updates them with a client of the format;
  // the requests for paths holding wholeUrl that the run made.
  std::size_t UpdateInstallation(const TempFolder& install, const fs::path& from,
                                 std::initializer_list<const char*> names, int format, const std::string& wholeUrl) {
    // With the release's times, as an installer leaves them: a copy made now could fall in the
    // minute that the new list gives a changed file (a publish time), and be taken as up to date.
    for (const char* name : names) {
      Put(install, name, ReadBytes(from / name));
      fs::last_write_time(install.path() / name, fs::last_write_time(from / name));
    }
    RunSettings settings;
    settings.highestFormat = format;
    const std::size_t before = TestServer::RequestsWith(wholeUrl).size();
    EXPECT_TRUE(UpdatedBy(install, settings));
    return TestServer::RequestsWith(wholeUrl).size() - before;
  }

  // One run of the real client in the installation, against the test server: whether it finished.
  static bool UpdatedBy(const TempFolder& install, RunSettings settings) {
    fs::create_directories(install.path() / "logs");
    InFolder in(install.path());
    QuietView view;
    settings.host = TestServer::Address();
    const int result = UpdateRun(view, settings);
    EXPECT_EQ(result, RUN_FINISHED) << WideToUtf8(view.last);
    return result == RUN_FINISHED;
  }

  const std::string program = RandomBytes(80000, 4);
  const std::string world = RandomBytes(120000, 5);
  TempFolder v1;
  TempFolder v2;
  fs::path tree = TestServer::Root() / "published";
  BuildSummary last;
  std::string lastError;
};

}  // namespace

TEST_F(TreeBuilderTest, ListsEveryItemWithItsRuleAndPatchesThatPay) {
  fs::remove_all(tree);
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  BuildOptions second = Options(v2.path(), L"2.0");
  second.previous = {v1.path()};
  ASSERT_TRUE(Build(second)) << lastError;
  EXPECT_EQ(last.patches, 2u);
  EXPECT_EQ(last.removed, 1u);

  const IniDocument list{ListText(tree)};
  const auto names = list.SectionNames();
  EXPECT_EQ(names, (std::vector<std::wstring>{L"ServerConfig", L"bin", L"bin\\game.exe", L"data", L"data\\new.pak",
                                               L"data\\world.pak", L"saves", L"settings.ini", L"zepo-update",
                                               L"data\\old.pak"}));
  std::wstring value;
  auto method = [&](const wchar_t* name) {
    list.ReadString(name, L"Method", value);
    return value;
  };
  EXPECT_EQ(method(L"bin\\game.exe"), L"Patch");
  EXPECT_EQ(method(L"data\\world.pak"), L"Patch");
  EXPECT_EQ(method(L"data\\new.pak"), L"Update");
  EXPECT_EQ(method(L"settings.ini"), L"Exists");
  EXPECT_EQ(method(L"zepo-update"), L"SelfUpdate");
  EXPECT_EQ(method(L"saves"), L"Exists");
  EXPECT_EQ(method(L"data\\old.pak"), L"Remove");
  list.ReadString(L"ServerConfig", L"UpdateFolder", value);
  EXPECT_EQ(value, L"files/2.0/");
  EXPECT_EQ(ListText(tree, "filelistfull.enc").find("old.pak"), std::string::npos) << "a full install removes nothing";
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));

  // A patched file's list says what each of its forms downloads, to the byte; a file without
  // patches has nothing to weigh and says nothing.
  ListEntry world;
  ASSERT_TRUE(ParseListEntry(list, list.FindSection(L"data\\world.pak"), world));
  ASSERT_EQ(world.patches.size(), 1u);
  const fs::path product = tree / "game";
  const auto sizeOf = [&](const std::wstring& path) { return std::to_wstring(fs::file_size(product / fs::path(path))); };
  EXPECT_EQ(world.patches[0].bytes, sizeOf(world.patches[0].folder + L"data/world.pak"));
  if (!world.patches[0].folder2.empty()) {
    EXPECT_EQ(world.patches[0].bytes2, sizeOf(world.patches[0].folder2 + L"data/world.pak"));
  }
  EXPECT_EQ(world.wholeBytes, sizeOf(L"files/2.0/data/world.pak"));
  if (!world.whole2.empty()) {
    EXPECT_EQ(world.whole2Bytes, sizeOf(L"files/2.0/data/world.pak" + world.whole2));
  }
  ListEntry added;
  ASSERT_TRUE(ParseListEntry(list, list.FindSection(L"data\\new.pak"), added));
  EXPECT_EQ(added.wholeBytes, L"");
}

TEST_F(TreeBuilderTest, AFolderTheReleaseDropsLosesOnlyTheFilesItShipped) {
  fs::remove_all(tree);
  Put(v1, "save/defaults/official.dat", "shipped with version 1");
  Put(v1, "save/readme.txt", "shipped with version 1");
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  BuildOptions second = Options(v2.path(), L"2.0");
  second.previous = {v1.path()};
  ASSERT_TRUE(Build(second)) << lastError;
  const IniDocument list{ListText(tree)};
  std::wstring value;
  for (const wchar_t* name : {L"save\\defaults\\official.dat", L"save\\readme.txt", L"data\\old.pak"}) {
    list.ReadString(name, L"Method", value);
    EXPECT_EQ(value, L"Remove") << WideToUtf8(name);
    list.ReadString(name, L"Target", value);
    EXPECT_EQ(value, L"File") << WideToUtf8(name);
  }
  EXPECT_EQ(ListText(tree).find("Target=Folder\r\n[save"), std::string::npos);
  for (const wchar_t* folder : {L"save", L"save\\defaults"}) {
    EXPECT_EQ(list.FindSection(folder), IniDocument::NO_SECTION) << "a dropped folder is never removed whole";
  }
  EXPECT_EQ(last.removed, 3u);
}

TEST_F(TreeBuilderTest, PublishedFilesNeverChangeAndRebuildsAreIdempotent) {
  fs::remove_all(tree);
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  const std::string before = ReadBytes(tree / "game" / "files" / "1.0" / "data" / "world.pak");
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  EXPECT_EQ(ReadBytes(tree / "game" / "files" / "1.0" / "data" / "world.pak"), before);
  // Other content under the same version name would change a published URL: refused.
  Put(v1, "data/world.pak", "different content");
  EXPECT_FALSE(Build(Options(v1.path(), L"1.0")));
  EXPECT_NE(lastError.find("never change"), std::string::npos) << lastError;
  EXPECT_EQ(ReadBytes(tree / "game" / "files" / "1.0" / "data" / "world.pak"), before);
}

TEST_F(TreeBuilderTest, VerifyFindsBrokenPatchesAndMissingFiles) {
  fs::remove_all(tree);
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  BuildOptions second = Options(v2.path(), L"2.0");
  second.previous = {v1.path()};
  ASSERT_TRUE(Build(second)) << lastError;
  for (const auto& entry : fs::recursive_directory_iterator(tree / "game" / "patches")) {
    if (entry.is_regular_file() && entry.path().filename() == "world.pak") {
      ASSERT_TRUE(PackBytesTo(entry.path(), "\xA7\xA3\x05", lastError));
    }
  }
  EXPECT_FALSE(VerifyTree(tree, L"ZepoFolder", nullptr));
  fs::remove(tree / "game" / "files" / "2.0" / "data" / "new.pak");
  EXPECT_FALSE(VerifyTree(tree, L"ZepoFolder", nullptr));
}

TEST_F(TreeBuilderTest, ThePublishedTreeUpdatesARealInstallation) {
  // The tree at the test server's root: the client finds it through rootfolder.enc.
  tree = TestServer::Root();
  fs::remove_all(tree);
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  Put(v2, "data/odd]name[.pak", "a name with brackets reaches clients whole");
  BuildOptions second = Options(v2.path(), L"2.0");
  second.previous = {v1.path()};
  second.selfUpdate.clear();
  ASSERT_TRUE(Build(second)) << lastError;

  TempFolder install;
  // File by file: MinGW's recursive copy under Wine may take two folders for one ("File exists").
  for (const auto& entry : fs::recursive_directory_iterator(v1.path())) {
    const fs::path target = install.path() / fs::relative(entry.path(), v1.path());
    if (entry.is_directory()) {
      fs::create_directories(target);
    } else {
      fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
    }
  }
  WriteBytes(install.path() / "settings.ini", "volume=9");
  fs::create_directories(install.path() / "logs");
  InFolder in(install.path());
  QuietView view;
  RunSettings settings;
  settings.host = TestServer::Address();
  ASSERT_EQ(UpdateRun(view, settings), RUN_FINISHED) << WideToUtf8(view.last);
  for (const char* name : {"bin/game.exe", "data/world.pak", "data/new.pak", "zepo-update", "data/odd]name[.pak"}) {
    EXPECT_TRUE(ReadBytes(install.path() / name) == ReadBytes(v2.path() / name)) << name;
  }
  EXPECT_EQ(ReadBytes(install.path() / "settings.ini"), "volume=9");
  EXPECT_FALSE(fs::exists(install.path() / "data" / "old.pak"));
  EXPECT_TRUE(fs::is_directory(install.path() / "saves"));
  ASSERT_EQ(UpdateRun(view, settings), RUN_FINISHED);
}

// Nothing that a client would refuse, or that is not the release's own, is published; nothing is
// written, and each item is named with its reason. (POSIX: Windows cannot hold these names.)
#ifndef _WIN32
TEST_F(TreeBuilderTest, AHostileReleaseWritesNothingAndNamesEveryProblem) {
  TempFolder outside;
  Put(outside, "secret.txt", "not the release's");
  Put(v2, "z\r\n[data]\r\nMethod=Remove\r\nTarget=Folder\r\n[zz", "injection");
  Put(v2, "con.txt", "a device on Windows");
  Put(v2, "Data/world.pak", "one file with data/world.pak on Windows");
  Put(v2, "a\\b.txt", "a backslash in a POSIX name");
  fs::create_symlink(outside.path() / "secret.txt", v2.path() / "secret.txt");
  fs::create_symlink(v2.path() / "missing", v2.path() / "dangling");
  ASSERT_EQ(mkfifo((v2.path() / "pipe").c_str(), 0600), 0);

  EXPECT_FALSE(Build(Options(v2.path(), L"2.0")));
  EXPECT_FALSE(fs::exists(tree));
  for (const char* expected : {"\"z\\r\\n[data]\\r\\nMethod=Remove\\r\\nTarget=Folder\\r\\n[zz\": the name holds a control",
                               "\"con.txt\": the name holds a Windows device name",
                               "world.pak\": differs from \"", "world.pak\" only in letter case",
                               "\"a\\b.txt\": holds a backslash", "\"secret.txt\": is a symbolic link",
                               "\"dangling\": is a symbolic link", "\"pipe\": is a named pipe"}) {
    EXPECT_NE(lastError.find(expected), std::string::npos) << expected << "\nin: " << lastError;
  }

  // Links are followed when asked, but only to files inside the release.
  for (const char* name : {"z\r\n[data]\r\nMethod=Remove\r\nTarget=Folder\r\n[zz", "con.txt", "Data", "a\\b.txt",
                           "pipe", "dangling"}) {
    fs::remove_all(v2.path() / name);
  }
  BuildOptions follow = Options(v2.path(), L"2.0");
  follow.followLinks = true;
  EXPECT_FALSE(Build(follow));
  EXPECT_NE(lastError.find("\"secret.txt\": is a link to "), std::string::npos) << lastError;
  fs::remove(v2.path() / "secret.txt");
  fs::create_symlink(v2.path() / "data" / "new.pak", v2.path() / "alias.pak");
  fs::create_symlink(v2.path(), v2.path() / "data" / "loop");
  EXPECT_FALSE(Build(follow));
  EXPECT_NE(lastError.find("\"data\\loop\": is a link to a folder that holds it"), std::string::npos) << lastError;
  fs::remove(v2.path() / "data" / "loop");
  ASSERT_TRUE(Build(follow)) << lastError;
  EXPECT_NE(ListText(tree).find("[alias.pak]"), std::string::npos);
}
#endif

TEST_F(TreeBuilderTest, TheVersionAndTheProductFolderStayInsideTheTree) {
  for (const auto& [version, product] : {std::pair<std::wstring, std::wstring>{L"..", L"game/"}, {L"2.0", L"../evil/"},
                                         {L"2.0", L"game/../../evil/"}, {L"2.", L"game/"}}) {
    BuildOptions options = Options(v2.path(), version);
    options.product = product;
    EXPECT_FALSE(Build(options)) << WideToUtf8(version + L" " + product);
    EXPECT_NE(lastError.find("must stay inside the tree"), std::string::npos) << lastError;
  }
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_FALSE(fs::exists(tree.parent_path() / "evil"));
}

// Packs and reproducible builds give every file one fixed time: a client must still receive every
// changed file, and read no unchanged one.
TEST_F(TreeBuilderTest, ReleasesWithOneFixedTimeReachClientsByteForByte) {
  const auto fixed = fs::last_write_time(v1.path() / "bin" / "game.exe") - std::chrono::hours(24 * 365 * 40);
  for (const TempFolder* release : {&v1, &v2}) {
    for (const auto& entry : fs::recursive_directory_iterator(release->path())) {
      if (entry.is_regular_file()) fs::last_write_time(entry.path(), fixed);
    }
  }
  Put(v2, "data/old.pak", "gone in version 2");  // unchanged, and as old as the rest
  fs::last_write_time(v2.path() / "data" / "old.pak", fixed);
  tree = TestServer::Root();
  fs::remove_all(tree);
  BuildOptions first = Options(v1.path(), L"1.0");
  first.selfUpdate.clear();
  ASSERT_TRUE(Build(first)) << lastError;
  const std::string firstList = ListText(tree, "filelistfull.enc");
  BuildOptions second = Options(v2.path(), L"2.0");
  second.previous = {v1.path()};
  second.selfUpdate.clear();
  ASSERT_TRUE(Build(second)) << lastError;
  EXPECT_EQ(last.movedTimes, 3u);  // game.exe, world.pak, zepo-update; settings.ini is kept as it is
  const IniDocument before(firstList), after(ListText(tree, "filelistfull.enc"));
  std::wstring oldTime, newTime;
  before.ReadString(L"data\\old.pak", L"DateTime", oldTime);
  after.ReadString(L"data\\old.pak", L"DateTime", newTime);
  EXPECT_EQ(newTime, oldTime) << "an unchanged file keeps the time listed before";
  before.ReadString(L"bin\\game.exe", L"DateTime", oldTime);
  after.ReadString(L"bin\\game.exe", L"DateTime", newTime);
  EXPECT_FALSE(SameFileTimeToMinute(oldTime, newTime));

  TempFolder install;
  CopyWithTime(v1.path(), install.path(), fixed);
  fs::create_directories(install.path() / "logs");
  InFolder in(install.path());
  QuietView view;
  RunSettings settings;
  settings.host = TestServer::Address();
  ASSERT_EQ(UpdateRun(view, settings), RUN_FINISHED) << WideToUtf8(view.last);
  for (const char* name : {"bin/game.exe", "data/world.pak", "data/new.pak", "zepo-update", "data/old.pak"}) {
    EXPECT_TRUE(ReadBytes(install.path() / name) == ReadBytes(v2.path() / name)) << name;
  }
  const std::size_t requests = TestServer::RequestsWith("/files/").size() + TestServer::RequestsWith("/patches/").size();
  ASSERT_EQ(UpdateRun(view, settings), RUN_FINISHED);
  EXPECT_EQ(TestServer::RequestsWith("/files/").size() + TestServer::RequestsWith("/patches/").size(), requests)
      << "a second run downloads nothing";
}

// The game's installer copies a release folder with its own times, not the ones the list gave.
// With one fixed time in every release, a file changed in 2.0 and again in 3.0 carries in an
// installer-made 2.0 the very time 3.0's folder gives it: the list moves it past every time the
// name ever had, and a rollback to 1.0 does the same.
TEST_F(TreeBuilderTest, AnInstallerMadeInstallationIsNeverTakenAsUpToDateByItsFolderTime) {
  TempFolder v3;
  Put(v3, "bin/game.exe", program + "version 3 code");
  Put(v3, "data/world.pak", world);
  const auto fixed = fs::last_write_time(v1.path() / "bin" / "game.exe") - std::chrono::hours(24 * 365 * 40);
  for (const TempFolder* release : {&v1, &v2, &v3}) {
    for (const auto& entry : fs::recursive_directory_iterator(release->path())) {
      if (entry.is_regular_file()) fs::last_write_time(entry.path(), fixed);
    }
  }
  tree = TestServer::Root();
  fs::remove_all(tree);
  for (const auto& [release, version] : {std::pair{&v1, L"1.0"}, {&v2, L"2.0"}, {&v3, L"3.0"}}) {
    BuildOptions options = Options(release->path(), version);
    options.keep.clear();
    options.allowRemovals = true;
    ASSERT_TRUE(Build(options)) << lastError;
  }
  const IniDocument second = ReleaseIndex::Load(tree / "game").ListOf(L"2.0");
  std::wstring listed, source;
  second.ReadString(L"bin\\game.exe", L"SourceTime", source);
  EXPECT_FALSE(source.empty()) << "2.0 keeps the folder's time of a file whose listed time it moved";
  IniDocument(ListText(tree, "filelistfull.enc")).ReadString(L"bin\\game.exe", L"DateTime", listed);
  EXPECT_FALSE(SameFileTimeToMinute(listed, source));

  TempFolder install;
  CopyWithTime(v2.path(), install.path(), fixed);
  WriteBytes(install.path() / "log.ini", "[zepo]\r\n");
  ASSERT_TRUE(UpdatedBy(install, RunSettings{}));
  EXPECT_TRUE(ReadBytes(install.path() / "bin" / "game.exe") == ReadBytes(v3.path() / "bin" / "game.exe"));

  std::string error;
  ASSERT_TRUE(RollbackTree(tree, L"ZepoFolder", DEFAULT_CHANNEL, L"1.0", {}, true, error)) << error;
  IniDocument(ListText(tree, "filelistfull.enc")).ReadString(L"bin\\game.exe", L"DateTime", listed);
  EXPECT_FALSE(SameFileTimeToMinute(listed, source)) << "1.0's time is the one installer-made 2.0 and 3.0 carry";
}

TEST_F(TreeBuilderTest, VerifyNamesEachUnsafeNameAndFolderRemovalOnce) {
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  const std::string list = ListText(tree) + "[..\\escape.txt]\r\nMethod=Update\r\nCheckSum=00\r\n"
                           "[saves]\r\nMethod=Remove\r\nTarget=Folder\r\n";
  ASSERT_TRUE(PackBytesTo(tree / "game" / "filelist.enc", list, lastError));
  ASSERT_TRUE(PackBytesTo(tree / "game" / "filelistfull.enc", list, lastError));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(VerifyTree(tree, L"ZepoFolder", nullptr));
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("problem: \"..\\escape.txt\": every client refuses the list"), std::string::npos) << output;
  EXPECT_NE(output.find("problem: \"saves\": removes a whole folder"), std::string::npos) << output;
  EXPECT_NE(output.find(", 2 problems,"), std::string::npos) << output;
}

// The tree keeps its releases: later builds need no --previous, patch from the last releases,
// remove what any of them shipped, and never make an old version live again by accident.
TEST_F(TreeBuilderTest, TheTreeRemembersItsReleases) {
  std::vector<std::string> worlds;
  for (int v = 1; v <= 4; ++v) {
    TempFolder release;
    worlds.push_back(world.substr(0, 40000 * v) + "region " + std::to_string(v) + world.substr(40000 * v / 2));
    Put(release, "data/world.pak", worlds.back());
    if (v == 1) Put(release, "data/only-in-1.pak", "shipped once");
    BuildOptions options = Options(release.path(), std::to_wstring(v) + L".0");
    options.keep.clear();
    options.selfUpdate.clear();
    ASSERT_TRUE(Build(options)) << lastError;
    EXPECT_EQ(last.live, std::to_wstring(v) + L".0");
  }
  const IniDocument list(ListText(tree));
  ListEntry world;
  ASSERT_TRUE(ParseListEntry(list, list.FindSection(L"data\\world.pak"), world));
  std::size_t patches = 0;
  for (const ListedPatch& from : world.patches) patches += from.folder.empty() ? 0 : 1;
  EXPECT_EQ(patches, 3u) << "patches from the last three releases, taken from the tree itself";
  ASSERT_EQ(last.patchSets.size(), 3u);
  EXPECT_EQ(last.patchSets[0].from, L"1.0");
  EXPECT_EQ(last.patchSets[2].from, L"3.0");
  EXPECT_EQ(last.removed, 1u);
  EXPECT_NE(ListText(tree).find("[data\\only-in-1.pak]\r\nMethod=Remove\r\nTarget=File"), std::string::npos);
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));

  // Version 2.0 again, with its own content: nothing changes and 4.0 stays live.
  TempFolder again;
  Put(again, "data/world.pak", worlds[1]);
  BuildOptions same = Options(again.path(), L"2.0");
  same.keep.clear();
  same.selfUpdate.clear();
  const std::string before = ListText(tree);
  ASSERT_TRUE(Build(same)) << lastError;
  EXPECT_TRUE(last.unchanged);
  EXPECT_EQ(last.live, L"4.0");
  EXPECT_EQ(ListText(tree), before);
  Put(again, "data/world.pak", "other content");
  EXPECT_FALSE(Build(same));
  EXPECT_NE(lastError.find("already published with other content"), std::string::npos) << lastError;
  EXPECT_EQ(ListText(tree), before);
}

// A build that never finished left a version folder behind; the index does not name it, so the
// next build of that version replaces it instead of tripping over it.
TEST_F(TreeBuilderTest, ALeftoverOfABuildThatNeverFinishedIsReplaced) {
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  fs::create_directories(tree / "game" / "files" / "2.0" / "data");
  WriteBytes(tree / "game" / "files" / "2.0" / "data" / "world.pak", "half of a packed file");
  ASSERT_TRUE(Build(Options(v2.path(), L"2.0"))) << lastError;
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));
}

TEST_F(TreeBuilderTest, ARollbackTakesClientsBackAndStatusShowsIt) {
  tree = TestServer::Root();
  fs::remove_all(tree);
  BuildOptions first = Options(v1.path(), L"1.0");
  first.selfUpdate.clear();
  ASSERT_TRUE(Build(first)) << lastError;
  BuildOptions second = Options(v2.path(), L"2.0");
  second.selfUpdate.clear();
  ASSERT_TRUE(Build(second)) << lastError;

  TempFolder install;
  fs::create_directories(install.path() / "logs");
  fs::create_directories(install.path() / "saves");
  WriteBytes(install.path() / "saves" / "mine.sav", "the player's own");
  InFolder in(install.path());
  QuietView view;
  RunSettings settings;
  settings.host = TestServer::Address();
  ASSERT_EQ(UpdateRun(view, settings), RUN_FINISHED) << WideToUtf8(view.last);
  EXPECT_TRUE(ReadBytes(install.path() / "data" / "world.pak") == ReadBytes(v2.path() / "data" / "world.pak"));

  std::string error;
  ASSERT_TRUE(RollbackTree(tree, L"ZepoFolder", DEFAULT_CHANNEL, L"1.0", SigningOptions{}, false, error)) << error;
  const std::size_t wholeBefore = TestServer::RequestsWith("/files/1.0/data/world.pak").size();
  const std::size_t patchesBefore = TestServer::RequestsWith("/data/world.pak").size() - wholeBefore;
  ASSERT_EQ(UpdateRun(view, settings), RUN_FINISHED) << WideToUtf8(view.last);
  // The changed pack goes back by a patch from 2.0's content, as an update would take it.
  EXPECT_EQ(TestServer::RequestsWith("/files/1.0/data/world.pak").size(), wholeBefore);
  EXPECT_EQ(TestServer::RequestsWith("/data/world.pak").size() - TestServer::RequestsWith("/files/1.0/data/world.pak").size(),
            patchesBefore + 1);
  for (const char* name : {"bin/game.exe", "data/world.pak", "data/old.pak", "zepo-update"}) {
    EXPECT_TRUE(ReadBytes(install.path() / name) == ReadBytes(v1.path() / name)) << name;
  }
  EXPECT_FALSE(fs::exists(install.path() / "data" / "new.pak")) << "what only 2.0 shipped goes";
  EXPECT_EQ(ReadBytes(install.path() / "saves" / "mine.sav"), "the player's own");

  testing::internal::CaptureStdout();
  ASSERT_TRUE(ShowTreeStatus(tree, L"ZepoFolder", DEFAULT_CHANNEL, error)) << error;
  const std::string status = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status.rfind("live: 1.0\n", 0), 0u) << status;
  EXPECT_NE(status.find("(rolled back to on "), std::string::npos) << status;
  EXPECT_FALSE(RollbackTree(tree, L"ZepoFolder", DEFAULT_CHANNEL, L"9.9", SigningOptions{}, false, error));
  EXPECT_NE(error.find("not in the tree's index"), std::string::npos) << error;
}

// A client patches the list it holds to the live one: a release costs it a small patch, not the
// whole list. A list rebuilt into a text that the signature does not state is refused and the
// whole list taken instead; verify rebuilds every list patch.
TEST_F(TreeBuilderTest, ClientsPatchTheListTheyHoldAndTakeItWholeWhenNoGoodPatchServes) {
  tree = TestServer::Root();
  fs::remove_all(tree);
  std::string publicKey;
  SigningOptions signing;
  ASSERT_TRUE(GenerateSigningKey(signing.privateKey, publicKey));
  const auto build = [&](const TempFolder& release, const std::wstring& version) {
    BuildOptions options = Options(release.path(), version);
    options.selfUpdate.clear();
    options.signing = signing;
    return Build(options);
  };
  // Requests for the list itself (its head or its body), and for its patches.
  const auto listRequests = [] { return TestServer::RequestsWith("/game/filelist.enc HTTP").size(); };
  const auto patchRequests = [] { return TestServer::RequestsWith("/game/filelist.enc.patches/").size(); };
  ASSERT_TRUE(build(v1, L"1.0")) << lastError;

  TempFolder install;
  RunSettings settings;
  settings.trustedKeys = publicKey;
  ASSERT_TRUE(UpdatedBy(install, settings));

  ASSERT_TRUE(build(v2, L"2.0")) << lastError;
  std::size_t lists = listRequests(), patches = patchRequests();
  ASSERT_TRUE(UpdatedBy(install, settings));
  EXPECT_EQ(listRequests(), lists + 1) << "only the list's head: the list came by its patch";
  EXPECT_EQ(patchRequests(), patches + 1);
  for (const char* name : {"bin/game.exe", "data/world.pak", "data/new.pak"}) {
    EXPECT_TRUE(ReadBytes(install.path() / name) == ReadBytes(v2.path() / name)) << name;
  }
  std::string held;
  ASSERT_TRUE(UnpackToMemory(install.path() / "autoupdate.fls.served", held));
  EXPECT_TRUE(held == ListText(tree)) << "the next patch's source is the live list";
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));

  // 3.0's patch from the held list rebuilds a forged list: well-formed, but not the signed one.
  ASSERT_TRUE(build(v1, L"3.0")) << lastError;
  std::string forged = ListText(tree);
  forged.replace(forged.find("3.0"), 3, "9.9");
  std::string patch;
  ASSERT_TRUE(MakePatch(reinterpret_cast<const std::uint8_t*>(held.data()), held.size(),
                        reinterpret_cast<const std::uint8_t*>(forged.data()), forged.size(), patch));
  const std::string check = WideToUtf8(TextCheckOfPacked(ReadBytes(tree / "game" / "filelist.enc")));
  WriteBytes(tree / "game" / "filelist.enc.patches" /
                 (WideToUtf8(Md5OfBytes(held.data(), held.size())) + "-" + check + ".pat"),
             PackPatch(patch));
  lists = listRequests();
  patches = patchRequests();
  ASSERT_TRUE(UpdatedBy(install, settings));
  EXPECT_EQ(patchRequests(), patches + 1);
  EXPECT_EQ(listRequests(), lists + 2) << "the head, then the whole list";
  EXPECT_TRUE(ReadBytes(install.path() / "data" / "world.pak") == ReadBytes(v1.path() / "data" / "world.pak"));
  ASSERT_TRUE(UnpackToMemory(install.path() / "autoupdate.fls.served", held));
  EXPECT_TRUE(held == ListText(tree));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(VerifyTree(tree, L"ZepoFolder", nullptr));
  EXPECT_NE(testing::internal::GetCapturedStdout().find(".pat is missing or does not rebuild the live game/filelist.enc"),
            std::string::npos);
}

// Each content is stored once, however many releases and names hold it: a release adds to the
// tree what is new in it and its patches, and a build run again (after an interruption, say)
// packs nothing that it had finished.
TEST_F(TreeBuilderTest, ATreeStoresEachContentOnceAndGrowsByWhatIsNew) {
  const auto release = [&](const TempFolder& folder, const std::string& videoFolder, const std::string& map) {
    Put(folder, "data/world.pak", world);
    Put(folder, videoFolder + "/intro.bik", program);
    Put(folder, "data/map.dat", map);
    // Copies of one content, published side by side by the build's workers, wait for each other.
    for (int i = 0; i < 16; ++i) Put(folder, "copies/" + std::to_string(i) + ".dat", world);
  };
  TempFolder r1, r2;
  const std::string map = RandomBytes(30000, 8);
  release(r1, "video", map);
  release(r2, "movies", map.substr(0, 10000) + "an edit" + map.substr(10000));
  const auto options = [&](const TempFolder& folder, const wchar_t* version) {
    BuildOptions o = Options(folder.path(), version);
    o.keep.clear();
    o.selfUpdate.clear();
    o.jobs = 4;
    return o;
  };
  ASSERT_TRUE(Build(options(r1, L"1.0"))) << lastError;
  EXPECT_GT(last.storedBytes, world.size() + program.size()) << "random content packs to no less than itself";
  const std::uint64_t treeBefore = ContentStore::TreeBytes(tree);
  for (int i = 1; i < 16; ++i) {
    EXPECT_TRUE(fs::equivalent(tree / "game" / "files" / "1.0" / "copies" / "0.dat",
                               tree / "game" / "files" / "1.0" / "copies" / (std::to_string(i) + ".dat")));
  }

  ASSERT_TRUE(Build(options(r2, L"2.0"))) << lastError;
  const fs::path files = tree / "game" / "files";
  EXPECT_TRUE(fs::equivalent(files / "1.0" / "data" / "world.pak", files / "2.0" / "data" / "world.pak"));
  EXPECT_TRUE(fs::equivalent(files / "1.0" / "video" / "intro.bik", files / "2.0" / "movies" / "intro.bik"))
      << "a moved file is the same stored content";
  // Only the new map was stored (in its two packed forms and its chunks, which random bytes keep
  // at about its size) with its small patches from the old one, while 2.0's files pack to far more.
  EXPECT_GT(last.storedBytes, 30000u);
  EXPECT_LT(last.storedBytes, 3 * 31000u);
  EXPECT_GT(last.versionBytes, world.size() + program.size());
  const std::uint64_t growth = ContentStore::TreeBytes(tree) - treeBefore;
  EXPECT_GE(growth, last.storedBytes);
  EXPECT_LT(growth, last.storedBytes + 4096) << "the lists and the index aside, the tree grew by what was stored";

  // The same content under another version name: every object is in the store already.
  ASSERT_TRUE(Build(options(r2, L"2.1"))) << lastError;
  EXPECT_EQ(last.storedBytes, 0u);

  std::string error;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ShowTreeStatus(tree, L"ZepoFolder", DEFAULT_CHANNEL, error)) << error;
  const std::string status = testing::internal::GetCapturedStdout();
  EXPECT_NE(status.find("the tree takes "), std::string::npos) << status;
  EXPECT_NE(status.find(" added "), std::string::npos) << status;
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));
}

// Large files (here from 64 KiB on) are patched in chunks from files on disk: from the tree's own
// packed release, unpacked to a scratch file that goes again. Both formats' patches are
// published, small, and bring real installations to the release byte for byte.
TEST_F(TreeBuilderTest, LargeFilesArePatchedInChunksAndUpdateClientsOfBothFormats) {
  tree = TestServer::Root();
  fs::remove_all(tree);
  // Scattered small changes, which the second format's differences make cheaper than the first's.
  std::string edited = world.substr(0, 50000) + "new region" + world.substr(50000);
  for (std::size_t at = 100; at < edited.size(); at += 500) ++edited[at];
  Put(v2, "data/world.pak", edited);
  // A new large file that packs: both whole forms are packed from the disk, in pieces.
  std::string records;
  while (records.size() < (200u << 10)) records += "record " + std::to_string(records.size() % 7919) + ";";
  Put(v2, "data/records.txt", records);
  BuildOptions first = Options(v1.path(), L"1.0");
  first.selfUpdate.clear();
  first.chunkedFrom = 64 << 10;
  ASSERT_TRUE(Build(first)) << lastError;
  BuildOptions second = Options(v2.path(), L"2.0");
  second.selfUpdate.clear();
  second.chunkedFrom = 64 << 10;
  ASSERT_TRUE(Build(second)) << lastError;

  const std::string oldWorld = ReadBytes(v1.path() / "data" / "world.pak");
  const std::string newWorld = ReadBytes(v2.path() / "data" / "world.pak");
  const std::string pair = WideToUtf8(Md5OfBytes(oldWorld.data(), oldWorld.size())) + "-" +
                           WideToUtf8(Md5OfBytes(newWorld.data(), newWorld.size()));
  for (const char* kind : {"patches", "patches2"}) {
    const fs::path patch = tree / "game" / kind / pair / "data" / "world.pak";
    ASSERT_TRUE(fs::exists(patch)) << patch;
    EXPECT_LT(fs::file_size(patch), 2000u) << "240 bytes changed and ten inserted in 120 KB";
  }
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
    EXPECT_NE(entry.path().filename().string().rfind("zepo-publish-" + std::to_string(CurrentProcessId()) + "-", 0), 0u)
        << "a scratch file was left: " << entry.path();
  }

  for (const int format : {1, 2}) {
    TempFolder install;
    EXPECT_EQ(UpdateInstallation(install, v1.path(), {"bin/game.exe", "data/world.pak", "data/old.pak", "settings.ini"},
                                 format, "/files/2.0/data/world.pak"),
              0u)
        << "format " << format;
    for (const char* name : {"bin/game.exe", "data/world.pak", "data/new.pak", "data/records.txt"}) {
      EXPECT_TRUE(ReadBytes(install.path() / name) == ReadBytes(v2.path() / name)) << name << ", format " << format;
    }
  }
  const fs::path published = tree / "game" / "files" / "2.0" / "data";
  std::string zlibForm, zstdForm;
  EXPECT_TRUE(UnpackToMemory(published / "records.txt", zlibForm) && zlibForm == records);
  EXPECT_TRUE(Unpack2Bytes(ReadBytes(published / "records.txt.zst"), zstdForm, 1 << 30) && zstdForm == records);
}

// A file under a new name is patched from the old file it came from: the same file name in a
// renamed folder, or else the old file of its kind that shares most of its content. The list
// names that file, and clients of both formats read the patch's old content from it.
TEST_F(TreeBuilderTest, AFileOfANewNameIsPatchedFromTheOldFileItCameFrom) {
  tree = TestServer::Root();
  fs::remove_all(tree);
  TempFolder r1, r2;
  const std::string map = RandomBytes(40000, 11), split = RandomBytes(30000, 12), other = RandomBytes(30000, 13);
  Put(r1, "data/lvl03/map.dat", map);
  Put(r1, "data/b.dat", split);
  Put(r1, "data/a.dat", other);
  Put(r2, "data/level03/map.dat", map.substr(0, 20000) + "an edit" + map.substr(20000));
  Put(r2, "data/b.dat", split);
  Put(r2, "data/a.dat", other);
  Put(r2, "data/c.dat", split.substr(0, 15000) + "split off b" + split.substr(15010));
  for (TempFolder* release : {&r1, &r2}) {
    BuildOptions options = Options(release->path(), release == &r1 ? L"1.0" : L"2.0");
    options.keep.clear();
    options.selfUpdate.clear();
    ASSERT_TRUE(Build(options)) << lastError;
  }
  const std::string list = ListText(tree);
  EXPECT_NE(list.find(".from=data\\lvl03\\map.dat"), std::string::npos) << list;
  EXPECT_NE(list.find(".from=data\\b.dat"), std::string::npos) << list;
  EXPECT_EQ(list.find(".from=data\\a.dat"), std::string::npos) << "an unrelated file of the same kind is no source";
  // verify rebuilds these patches from the named files' contents: none is left unverified.
  std::string json;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr, {}, &json));
  testing::internal::GetCapturedStdout();
  EXPECT_NE(json.find("\"unverified_patch_sources\": 0"), std::string::npos) << json;

  for (const int format : {1, 2}) {
    TempFolder install;
    EXPECT_EQ(UpdateInstallation(install, r1.path(), {"data/lvl03/map.dat", "data/b.dat", "data/a.dat"}, format,
                                 "/files/2.0/data/"),
              0u)
        << "format " << format;
    for (const char* name : {"data/level03/map.dat", "data/c.dat", "data/b.dat"}) {
      EXPECT_TRUE(ReadBytes(install.path() / name) == ReadBytes(r2.path() / name)) << name << ", format " << format;
    }
    EXPECT_FALSE(fs::exists(install.path() / "data" / "lvl03" / "map.dat"));
  }
}

// A release may take files away, but not every file of the live one nor more than half of them
// unless asked: the refusal says how many files players would lose.
// A large file that zstd would not pack 2% smaller than zlib (compressed media) gets no zstd form:
// a sample tells, without minutes of zstd's top level on the whole file. One that packs well does.
TEST_F(TreeBuilderTest, TheZstdFormOfALargeFileIsSkippedWhenASampleShowsItDoesNotPay) {
  TempFolder release;
  WriteBytes(release.path() / "video.bik", RandomBytes(17 << 20, 7));
  std::string records;
  while (records.size() < (17u << 20)) records += "record " + std::to_string(records.size() % 9973) + " of the map;";
  WriteBytes(release.path() / "map.dat", records);
  BuildOptions options = Options(release.path(), L"1.0");
  options.selfUpdate.clear();
  options.keep.clear();
  ASSERT_TRUE(Build(options)) << lastError;
  const fs::path files = tree / "game" / "files" / "1.0";
  EXPECT_TRUE(fs::exists(files / "video.bik"));
  EXPECT_FALSE(fs::exists(files / "video.bik.zst"));
  EXPECT_TRUE(fs::exists(files / "map.dat.zst"));
  // verify reads a large packed file in pieces through a scratch file, and still finds one that
  // does not hold its listed content.
  testing::internal::CaptureStdout();
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));
  ASSERT_TRUE(PackBytesTo(files / "video.bik", RandomBytes(17 << 20, 8), lastError));
  EXPECT_FALSE(VerifyTree(tree, L"ZepoFolder", nullptr));
  const std::string said = testing::internal::GetCapturedStdout();
  EXPECT_NE(said.find("video.bik\": the whole file's digest is not its CheckSum"), std::string::npos) << said;
}

// A packed form that is not worth storing leaves nothing; one whose packing failed leaves nothing
// either, and says so.
TEST(ContentStorePacking, NothingIsStoredOrLinkedUnlessPackingWrote) {
  TempFolder tree;
  const ContentStore store(tree.path());
  const std::string sha = std::string(64, 'a');
  std::uint64_t size = 1, stored = 1;
  std::string error;
  const auto packed = [&](ContentStore::Packed outcome) {
    return [outcome](const fs::path& part) {
      WriteBytes(part, "partly written");
      return outcome;
    };
  };
  EXPECT_TRUE(store.PublishPackedFile(tree.path() / "files" / "a.dat", sha, "z2", packed(ContentStore::Packed::NotWorth),
                                      false, size, stored, error));
  EXPECT_EQ(size + stored, 0u);
  EXPECT_FALSE(store.PublishPackedFile(tree.path() / "files" / "a.dat", sha, "z2", packed(ContentStore::Packed::Failed),
                                       false, size, stored, error));
  EXPECT_NE(error.find("cannot pack"), std::string::npos) << error;
  EXPECT_TRUE(store.PublishPackedFile(tree.path() / "files" / "a.dat", sha, "z1", packed(ContentStore::Packed::Written),
                                      false, size, stored, error)) << error;
  EXPECT_EQ(ReadBytes(tree.path() / "files" / "a.dat"), "partly written");
  std::size_t storedFiles = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tree.path() / ContentStore::FOLDER)) {
    if (entry.is_regular_file()) ++storedFiles;
  }
  EXPECT_EQ(storedFiles, 1u) << "only what was written, and no part of the others";
  EXPECT_FALSE(fs::exists(tree.path() / "files" / "a.dat.zst"));
}

TEST(CheckRemovals, MoreThanHalfOrEveryLiveFileNeedsConsent) {
  const std::set<std::wstring> live = {L"a", L"b", L"c", L"d"};
  std::string error;
  EXPECT_TRUE(CheckRemovals(live, {L"a", L"b", L"x"}, L"2.0", false, error)) << "half may go";
  EXPECT_FALSE(CheckRemovals(live, {L"a", L"x"}, L"2.0", false, error));
  EXPECT_NE(error.find("would remove 3 of the 4 files"), std::string::npos) << error;
  EXPECT_FALSE(CheckRemovals({L"a"}, {}, L"2.0", false, error)) << "the only file";
  EXPECT_TRUE(CheckRemovals(live, {}, L"2.0", true, error));
  EXPECT_TRUE(CheckRemovals({}, {}, L"1.0", false, error)) << "a first release loses nothing";
}

TEST_F(TreeBuilderTest, ChannelsShareTheContentAndMoveReleasesWithoutABuild) {
  ASSERT_TRUE(Build(Options(v1.path(), L"1.0"))) << lastError;
  std::string error;
  // 1.0 joins beta as it was; beta's own 2.0 goes live there, stable stays at 1.0.
  ASSERT_TRUE(PromoteTree(tree, L"ZepoFolder", DEFAULT_CHANNEL, L"beta", L"", {}, false, error)) << error;
  BuildOptions beta = Options(v2.path(), L"2.0");
  beta.channel = L"beta";
  ASSERT_TRUE(Build(beta)) << lastError;
  const fs::path betaLists = tree / "game" / "channels" / "beta";
  EXPECT_EQ(ParseListHeader(IniDocument(ListText(tree))).versionName, L"1.0");
  std::string betaList;
  ASSERT_TRUE(UnpackToMemory(betaLists / "filelist.enc", betaList));
  EXPECT_EQ(ParseListHeader(IniDocument(betaList)).versionName, L"2.0");
  EXPECT_EQ(ParseListHeader(IniDocument(betaList)).channel, L"beta");
  EXPECT_TRUE(fs::exists(tree / "game" / "files" / "2.0" / "data" / "world.pak"));
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));

  // A version's files are every channel's: the same name with other content is refused.
  EXPECT_FALSE(Build(Options(v1.path(), L"2.0")));
  EXPECT_NE(lastError.find("channel beta"), std::string::npos) << lastError;

  // Promoted, 2.0 is stable's live release: nothing is packed, its record adds no bytes.
  const std::uint64_t before = ContentStore::TreeBytes(tree);
  ASSERT_TRUE(PromoteTree(tree, L"ZepoFolder", L"beta", DEFAULT_CHANNEL, L"", {}, false, error)) << error;
  EXPECT_LT(ContentStore::TreeBytes(tree), before + 64 * 1024);  // lists, indexes and reverse patches
  const ReleaseIndex stable = ReleaseIndex::Load(tree / "game");
  EXPECT_EQ(stable.live(), L"2.0");
  ASSERT_NE(stable.Find(L"2.0"), nullptr);
  EXPECT_EQ(stable.Find(L"2.0")->addedBytes, std::optional<std::uint64_t>(0));
  EXPECT_EQ(ParseListHeader(IniDocument(ListText(tree))).channel, L"");
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));

  // Pruned from stable, 1.0 keeps its files while beta keeps it; pruned from beta too, they go.
  ASSERT_TRUE(PruneTree(tree, L"ZepoFolder", {1, L"", DEFAULT_CHANNEL}, error)) << error;
  EXPECT_TRUE(fs::exists(tree / "game" / "files" / "1.0" / "data" / "world.pak"));
  ASSERT_TRUE(PruneTree(tree, L"ZepoFolder", {1, L"", L"beta"}, error)) << error;
  EXPECT_FALSE(fs::exists(tree / "game" / "files" / "1.0" / "data" / "world.pak"));
  EXPECT_TRUE(VerifyTree(tree, L"ZepoFolder", nullptr));
}
