// Trees built by the publishing tool, checked by its verifier and used by the real engine on the
// loopback test server.
#include "publish/tree_builder.h"

#include <gtest/gtest.h>

#include "app/logger.h"
#include "engine/update_run.h"
#include "publish/verify.h"
#include "services/ini.h"
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

std::string ListText(const fs::path& tree, const char* name = "filelist.enc") {
  std::string plain;
  EXPECT_TRUE(UnpackToMemory(tree / "game" / name, plain));
  return plain;
}

class TreeBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
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
      ASSERT_TRUE(PackBytesTo(entry.path(), "\xA7\xA3\x05"));
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
  for (const char* name : {"bin/game.exe", "data/world.pak", "data/new.pak", "zepo-update"}) {
    EXPECT_TRUE(ReadBytes(install.path() / name) == ReadBytes(v2.path() / name)) << name;
  }
  EXPECT_EQ(ReadBytes(install.path() / "settings.ini"), "volume=9");
  EXPECT_FALSE(fs::exists(install.path() / "data" / "old.pak"));
  EXPECT_TRUE(fs::is_directory(install.path() / "saves"));
  ASSERT_EQ(UpdateRun(view, settings), RUN_FINISHED);
}
