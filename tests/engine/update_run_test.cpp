// Whole runs of the engine against a tree on the loopback test server, in an installation
// folder of the test's own.
#include "engine/update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#endif
#include <fstream>

#include "services/logger.h"
#include "services/files.h"
#include "services/packed2.h"
#include "services/platform.h"
#include "services/run_lock.h"
#include "support/patch_tree.h"
#include "support/test_server.h"

namespace fs = std::filesystem;

namespace {

struct RecordingView final : RunView {
  std::vector<std::wstring> statuses;
  std::vector<std::string> progress;  // "range a b", "pos p", "step"
  std::wstring version;
  std::vector<std::wstring> errors;
  void ReportError(const std::wstring& text) override { errors.push_back(text); }
  void SetStatus(const std::wstring& text) override { statuses.push_back(text); }
  void ShowVersion(const std::wstring& text) override { version = text; }
  void StepProgress() override { progress.push_back("step"); }
  void SetProgressRange(int lower, int upper) override {
    progress.push_back("range " + std::to_string(lower) + " " + std::to_string(upper));
  }
  void SetProgressPosition(int position) override { progress.push_back("pos " + std::to_string(position)); }
};

// The update log's lines without their time stamps.
std::vector<std::string> UpdateLogLines() {
  LocalTime now = LocalTimeNow();
  const std::string bytes = ReadBytes(NativePath(UpdateLogName(now.year, now.month)));
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2) {
    lines.push_back(bytes.substr(at + 15, end - at - 15));
  }
  return lines;
}

// Every file of an installation with its content, to compare before and after; the updater's
// own working folder, caches and logs are left out.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(entry.path(), folder).generic_string();
    const std::string top = name.substr(0, name.find('/'));
    if (top == "logs" || top == "update" || top == "autoupdate.sls" || top == "autoupdate.fls" || top == "autoupdate.als" ||
        top == "autoupdate.fls.served" ||
        top == "zepo.lock") {
      continue;
    }
    files[name] = entry.is_directory() ? "<folder>" : ReadBytes(entry.path());
  }
  return files;
}

std::set<std::string> FolderEntriesOf(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().u8string());
  return names;
}

std::string FileTime(const std::string& path) {
  std::wstring text;
  GetFileTimeText(AnsiToWide(path), text);
  return WideToUtf8(text);
}

class UpdateRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(TestServer::Address().empty()) << "the test server is not running";
    fs::create_directories(install.path() / "logs");
    settings.host = TestServer::Address();
    settings.startEngineHelper = [this](const std::vector<std::wstring>& files,
                                        const std::vector<std::wstring>& restart) {
      helperFiles = files;
      helperRestart = restart;
      return true;
    };
  }
  int Run() {
    RecordingView fresh;
    view = fresh;
    return UpdateRun(view, settings);
  }
  void Install(const std::string& name, const std::string& content) {
    fs::path path = install.path() / fs::u8path(name);
    fs::create_directories(path.parent_path());
    WriteBytes(path, content);
  }
  std::string Installed(const std::string& name) { return ReadBytes(install.path() / fs::u8path(name)); }

  TempFolder install;
  InFolder in{install.path()};
  PatchTree tree{TestServer::Root()};
  RunSettings settings;
  RecordingView view;
  std::vector<std::wstring> helperFiles;
  std::vector<std::wstring> helperRestart;
};

const std::string OLD_A = "version one of a, version one of a";
const std::string NEW_A = "version two of a, version one of a";
// Modify the first eleven bytes ("version one" becomes "version two"), then copy the other 23.
const std::string PATCH_A = "\xA7\xA6version two\xA7\xA3\x16";

}  // namespace

// One connection takes the files one after another in the list's order; four take them side by
// side, and only the order of the download and rebuild lines may differ.
class UpdateRunConnections : public UpdateRunTest, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(OneAndFour, UpdateRunConnections, ::testing::Values(1, 4));

TEST_P(UpdateRunConnections, BringsAVersionOneInstallationToVersionTwoAndThenDownloadsNothing) {
  settings.connections = GetParam();
  Install("a.dat", OLD_A);
  Install("b.dat", "old b");
  Install("same.dat", "unchanged");
  Install("gone.dat", "to be removed");
  Install("oldfolder/x.txt", "to be removed with its folder");
  Install("user.ini", "the user's own settings");
  Install("ro.dat", "old read-only");
  fs::permissions(install.path() / "ro.dat", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);

  tree.File("a.dat", NEW_A, "Patch");
  tree.PatchFrom("a.dat", OLD_A, PATCH_A);
  tree.File("b.dat", "new b");
  tree.File("same.dat", "unchanged");
  tree.File("data\\c.dat", "a new file in a new folder");
  tree.File("ro.dat", "new read-only");
  tree.Rule("gone.dat", "Remove", "File");
  tree.Rule("oldfolder", "Remove", "Folder");
  tree.Rule("saves", "Exists", "Folder");
  tree.Rule("user.ini", "Exists", "File");
  tree.Rule("config.ini", "Exists", "File");
  tree.Put("config.ini", "default settings");
  tree.Publish();

  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(Installed("a.dat"), NEW_A);
  EXPECT_EQ(Installed("b.dat"), "new b");
  EXPECT_EQ(Installed("data/c.dat"), "a new file in a new folder");
  EXPECT_EQ(Installed("ro.dat"), "new read-only");
  EXPECT_EQ(Installed("user.ini"), "the user's own settings");
  EXPECT_EQ(Installed("config.ini"), "default settings");
  EXPECT_FALSE(fs::exists(install.path() / "gone.dat"));
  EXPECT_FALSE(fs::exists(install.path() / "oldfolder"));
  EXPECT_TRUE(fs::is_directory(install.path() / "saves"));
  for (const char* name : {"a.dat", "b.dat", "data/c.dat", "same.dat", "ro.dat"}) {
    EXPECT_EQ(FileTime(name), PatchTree::TIME) << name;
  }
  EXPECT_EQ(view.version, L"version 2.0");
  EXPECT_EQ(view.statuses.back(), L"Tự động nâng cấp phiên bản 2.0 thành công.");
  const std::string server = "http://" + WideToUtf8(TestServer::Address()) + "/velora/";
  std::vector<std::string> expected{
                                  "Connect to patch server [" + server + "] => Success",
                                  "Get description update information => Success",
                                  "Check file [a.dat] => Patch file",
                                  "Check file [b.dat] => Update file",
                                  "Check file [same.dat] => Same file",
                                  "Check file [data\\c.dat] => New file",
                                  "Check file [ro.dat] => Update file",
                                  "Check file [gone.dat] => Remove file",
                                  "Check folder [oldfolder] => Remove folder",
                                  "Check folder [saves] => Exists folder",
                                  "Check file [config.ini] => Exists file",
                                  "Check description update information => Success",
                                  "Download update file [b.dat] => Success",
                                  "Download update file [data\\c.dat] => Success",
                                  "Download update file [ro.dat] => Success",
                                  "Download update file [config.ini] => Success",
                                  "Download patch file [a.dat] => Success",
                                  "Rebuild patch file [a.dat] => Success",
                                  "Apply update file [b.dat] => Success",
                                  "Apply update file [data\\c.dat] => Success",
                                  "Apply update file [ro.dat] => Success",
                                  "Apply update file [config.ini] => Success",
                                  "Apply patch file [a.dat] => Success",
                                  "Finished update to the newest version 2.0",
  };
  std::vector<std::string> lines = UpdateLogLines();
  ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
  if (GetParam() > 1) {
    const auto downloads = [](std::vector<std::string>& v) { std::sort(v.begin() + 12, v.begin() + 18); };
    downloads(lines);
    downloads(expected);
  }
  EXPECT_EQ(lines, expected);
  // The description and the check step the bar; the downloads move it through 0..1000 by the bytes
  // of the whole run, never back; then it is full.
  ASSERT_GE(view.progress.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(view.progress.begin(), view.progress.begin() + 4),
            (std::vector<std::string>{"step", "step", "range 0 1000", "pos 0"}));
  EXPECT_EQ(std::vector<std::string>(view.progress.end() - 3, view.progress.end()),
            (std::vector<std::string>{"pos 1000", "range 0 1", "pos 1"}));
  for (std::size_t i = 4; i + 3 < view.progress.size(); ++i) {
    EXPECT_LT(std::stoi(view.progress[i - 1].substr(4)), std::stoi(view.progress[i].substr(4))) << i;
  }

  // The second run finds every file by its time and fetches nothing but the stamps.
  fs::remove(NativePath(UpdateLogName(LocalTimeNow().year, LocalTimeNow().month)));
  const auto before = Snapshot(install.path());
  ASSERT_EQ(Run(), RUN_FINISHED);
  EXPECT_EQ(view.statuses.back(), L"Tự động nâng cấp phiên bản 2.0 thành công.");
  lines = UpdateLogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "The game is already update to the newest version 2.0");
  for (const char* name : {"a.dat", "b.dat", "same.dat", "data\\c.dat", "ro.dat"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), std::string("Check file [") + name + "] => Same time"), lines.end())
        << name;
  }
  EXPECT_EQ(Snapshot(install.path()), before);

  // A month's log near its bound: the per-file lines of files found by their time stop, said
  // once; the run's other lines stay.
  const fs::path log = NativePath(UpdateLogName(LocalTimeNow().year, LocalTimeNow().month));
  WriteBytes(log, std::string((8 << 20) - 2, '.') + "\r\n");
  ASSERT_EQ(Run(), RUN_FINISHED);
  lines = UpdateLogLines();
  const auto count = [&](const std::string& part) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
  };
  EXPECT_EQ(count("] => Same time"), 1) << "only the line that says they stop";
  EXPECT_EQ(count("the lines of files found by their time stop here"), 1);
  EXPECT_EQ(lines.back(), "The game is already update to the newest version 2.0");
  EXPECT_LT(fs::file_size(log), (8u << 20) + 1000);
}

// Names beyond ASCII, with spaces, in new and patched files: the run's addresses carry them to
// the server and back to the staged files unchanged.
TEST_F(UpdateRunTest, FilesNamedBeyondAsciiArePatchedAndDownloaded) {
  Install("Th\u1eed l\u1ea1i/b\u1ea3n \u0111\u1ed3.dat", OLD_A);
  tree.File("Th\u1eed l\u1ea1i\\b\u1ea3n \u0111\u1ed3.dat", NEW_A, "Patch");
  tree.PatchFrom("Th\u1eed l\u1ea1i\\b\u1ea3n \u0111\u1ed3.dat", OLD_A, PATCH_A);
  tree.File("D\u1eef li\u1ec7u\\m\u1edbi 1.dat", "a new file");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(Installed("Th\u1eed l\u1ea1i/b\u1ea3n \u0111\u1ed3.dat"), NEW_A);
  EXPECT_EQ(Installed("D\u1eef li\u1ec7u/m\u1edbi 1.dat"), "a new file");
}

// A list may patch a new name from a file of another name. The client takes that patch only from
// a file inside the installation that holds the patch's old content; a name that leaves the
// installation, or a file that holds something else, sends it to the whole file.
TEST_F(UpdateRunTest, TheRootKeyOfTheRunNamesTheProductsFolder) {
  tree.rootKey = "VeloraTest";
  tree.File("b.dat", "new b");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FAILED) << "the default key names no folder on this server";
  EXPECT_FALSE(fs::exists(install.path() / "b.dat"));
  settings.rootKey = L"VeloraTest";
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(view.errors);
  EXPECT_EQ(Installed("b.dat"), "new b");
}

TEST_F(UpdateRunTest, APatchFromAnotherFileIsTakenOnlyFromAnInstalledFileWithItsContent) {
  Install("old/a.dat", OLD_A);
  Install("old/changed.dat", "not what the patch starts from");
  WriteBytes(install.path().parent_path() / "outside.dat", OLD_A);
  // Each new file its own content (the first eleven bytes), so that none is copied from another.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"new\\a.dat", "old\\a.dat"}, {"escapes.dat", "..\\outside.dat"}, {"other.dat", "old\\changed.dat"}};
  const auto content = [&](std::size_t i) { return "version " + std::to_string(i) + "..." + OLD_A.substr(11); };
  // Patch folders and names that no other test asks for, counted from before the run.
  const auto Folder = [](std::size_t i) { return "patch-from-other-" + std::to_string(i) + "/"; };
  const auto requests = [&](const std::string& part) { return TestServer::RequestsWith(part).size(); };
  const std::size_t before[] = {requests(Folder(0)), requests(Folder(1)) + requests(Folder(2)),
                                requests("/v2/escapes.dat"), requests("/v2/other.dat")};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string& name = cases[i].first;
    tree.File(name, content(i), "Patch");
    tree.PatchFrom(name, OLD_A, "\xA7\xA6" + content(i).substr(0, 11) + "\xA7\xA3\x16", Folder(i));
    tree.Key(name, PatchTree::Md5(OLD_A) + ".from", cases[i].second);
  }
  tree.Publish();

  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(Installed("new/a.dat"), content(0));
  EXPECT_EQ(Installed("escapes.dat"), content(1));
  EXPECT_EQ(Installed("other.dat"), content(2));
  EXPECT_EQ(requests(Folder(0)) - before[0], 1u) << "patched from old\\a.dat";
  EXPECT_EQ(requests(Folder(1)) + requests(Folder(2)) - before[1], 0u);
  EXPECT_EQ(requests("/v2/escapes.dat") - before[2], 1u);
  EXPECT_EQ(requests("/v2/other.dat") - before[3], 1u);
  EXPECT_EQ(Installed("old/a.dat"), OLD_A) << "the source stays while the list keeps it";
  fs::remove(install.path().parent_path() / "outside.dat");
}

TEST_F(UpdateRunTest, AnyFailedFileLeavesTheWholeInstallationAsItWasAndTheRerunReusesWhatWasStaged) {
  Install("a.dat", OLD_A);
  Install("b.dat", "old b");
  Install("c.dat", "old c");
  Install("d.dat", "old d");
  Install("gone.dat", "removed only with the rest");
  tree.File("a.dat", NEW_A, "Patch");
  tree.PatchFrom("a.dat", OLD_A, PATCH_A);
  tree.File("b.dat", "new b");
  tree.File("c.dat", "new c");
  tree.File("d.dat", "new d");
  tree.Rule("gone.dat", "Remove", "File");
  tree.Publish();
  tree.Fault("velora/v2/b.dat", "status_404");
  tree.Fault("velora/v2/c.dat", "close_5");  // a truncated body
  const auto before = Snapshot(install.path());
  const auto timeOfD = FileTime("d.dat");
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(Snapshot(install.path()), before);
  EXPECT_EQ(FileTime("d.dat"), timeOfD);
  EXPECT_EQ(view.statuses.back(), L"Tự động nâng cấp phiên bản 2.0 thất bại.");
  const auto lines = UpdateLogLines();
  for (const char* line : {"Download update file [b.dat] => Failed", "Download update file [c.dat] => Failed",
                           "Download update file [d.dat] => Success", "Rebuild patch file [a.dat] => Success",
                           "Cannot update to the newest version 2.0"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  for (const auto& line : lines) EXPECT_EQ(line.find("Apply "), std::string::npos) << line;
  // What was verified waits in the staging area, nothing else of the run is left.
  EXPECT_EQ(fs::directory_iterator(install.path() / "update")->path().filename(), "stage");

  // The rerun fetches only the two files that failed and finishes version 2.
  tree.Remove("velora/v2/b.dat.fault");
  tree.Remove("velora/v2/c.dat.fault");
  const std::size_t fetchedD = TestServer::RequestsWith("/v2/d.dat").size();
  const std::size_t fetchedA = TestServer::RequestsWith("/p1/a.dat").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(TestServer::RequestsWith("/v2/d.dat").size(), fetchedD);
  EXPECT_EQ(TestServer::RequestsWith("/p1/a.dat").size(), fetchedA);
  EXPECT_EQ(Installed("a.dat"), NEW_A);
  EXPECT_EQ(Installed("b.dat"), "new b");
  EXPECT_EQ(Installed("c.dat"), "new c");
  EXPECT_EQ(Installed("d.dat"), "new d");
  EXPECT_FALSE(fs::exists(install.path() / "gone.dat"));
  EXPECT_FALSE(fs::exists(install.path() / "update"));
  for (const char* name : {"a.dat", "b.dat", "c.dat", "d.dat"}) EXPECT_EQ(FileTime(name), PatchTree::TIME) << name;
}

// What escapes a download worker (here the view, as memory exhausted there would) fails the run
// with its cause and leaves the installation as it was; it never ends the process.
TEST_F(UpdateRunTest, AnExceptionOnADownloadWorkerFailsTheRunWithItsCause) {
  struct ThrowingView final : RunView {
    std::vector<std::wstring> errors;
    void ReportError(const std::wstring& text) override { errors.push_back(text); }
    void SetStatus(const std::wstring& text) override {
      if (text.rfind(L"Đang nâng cấp tập tin", 0) == 0) throw std::runtime_error("no memory left on a worker");
    }
    void ShowVersion(const std::wstring&) override {}
    void StepProgress() override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPosition(int) override {}
  };
  Install("a.dat", OLD_A);
  tree.File("a.dat", NEW_A, "Patch");
  tree.PatchFrom("a.dat", OLD_A, PATCH_A);
  for (int i = 0; i < 6; ++i) tree.File("file" + std::to_string(i) + ".dat", "new content " + std::to_string(i));
  tree.Publish();
  settings.connections = 4;
  ThrowingView throwing;
  EXPECT_EQ(UpdateRun(throwing, settings), RUN_FAILED);
  ASSERT_FALSE(throwing.errors.empty());
  EXPECT_NE(throwing.errors.back().find(L"no memory left on a worker"), std::wstring::npos) << throwing.errors.back();
  EXPECT_EQ(Installed("a.dat"), OLD_A);
  EXPECT_FALSE(fs::exists(install.path() / "file0.dat"));
}

TEST_F(UpdateRunTest, AStagingAreaOfAnotherListIsNotReused) {
  Install("b.dat", "old b");
  tree.File("b.dat", "new b");
  tree.File("c.dat", "new c");
  tree.Publish();
  tree.Fault("velora/v2/c.dat", "status_404");
  ASSERT_EQ(Run(), RUN_FAILED);
  ASSERT_TRUE(fs::exists(install.path() / "update" / "stage"));
  // A new list with the same name's new content under the same checksum would be found again;
  // a new stamp starts over, and the server's new content is what gets installed.
  PatchTree next{TestServer::Root()};
  next.File("b.dat", "newer b");
  next.File("c.dat", "new c");
  next.Publish();
  const std::size_t fetched = TestServer::RequestsWith("/v2/b.dat").size();
  ASSERT_EQ(Run(), RUN_FINISHED);
  EXPECT_EQ(TestServer::RequestsWith("/v2/b.dat").size(), fetched + 1);
  EXPECT_EQ(Installed("b.dat"), "newer b");
}

TEST_F(UpdateRunTest, ACommitCutShortIsCompletedByTheNextRun) {
  Install("b.dat", "old b");
  Install("held", "a file where the new file's folder should be: the commit cannot place it");
  tree.File("b.dat", "new b");
  tree.File("held\\c.dat", "new c");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FAILED);
  const auto lines = UpdateLogLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Apply update file [held\\c.dat] => Failed"), lines.end());
  fs::remove(install.path() / "held");
  const std::size_t fetched = TestServer::RequestsWith("/v2/held/c.dat").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(TestServer::RequestsWith("/v2/held/c.dat").size(), fetched);
  EXPECT_EQ(Installed("b.dat"), "new b");
  EXPECT_EQ(Installed("held/c.dat"), "new c");
}

#ifndef _WIN32
// Windows paths past 260 characters are a matter of their own; POSIX allows 255-byte names.
TEST_F(UpdateRunTest, NamesAtTheFileSystemsLimitAreStagedUnderShortNames) {
  const std::string longName = "data\\" + std::string(250, 'n');
  Install("data/" + std::string(250, 'n'), "old");
  tree.File(longName, "new content of a long name");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(Installed("data/" + std::string(250, 'n')), "new content of a long name");
}
#endif

#ifndef _WIN32
// What is not a regular file is never opened: a named pipe blocks the opening, a device reads
// without end. A pipe under a listed name, with the listed time, is replaced; a pipe that a list
// names with the content another file needs is no source to copy from; a link to /dev/zero under
// a listed name is replaced too. Each would have held the run.
TEST_F(UpdateRunTest, PipesAndDevicesUnderListedNamesAreReplacedNeverRead) {
  const std::string content = "the content of c and d";
  tree.File("c.dat", content);
  tree.File("d.dat", content);
  tree.File("z.dat", "not zeros");
  tree.Publish();
  ASSERT_EQ(mkfifo((install.path() / "c.dat").c_str(), 0600), 0);
  ASSERT_TRUE(SetFileTimeText(L"c.dat", AnsiToWide(PatchTree::TIME)));
  fs::create_symlink("/dev/zero", install.path() / "z.dat");
  std::atomic<int> result{-1};
  std::thread run([&] { result = Run(); });
  for (int i = 0; i < 300 && result == -1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (result == -1) {
    // Still held: open the pipe's other end so that the run can end, and fail.
    std::ofstream((install.path() / "c.dat").string()) << "x";
  }
  run.join();
  ASSERT_EQ(result, RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(Installed("c.dat"), content);
  EXPECT_EQ(Installed("d.dat"), content);
  EXPECT_EQ(Installed("z.dat"), "not zeros");
  EXPECT_FALSE(fs::is_symlink(install.path() / "z.dat"));
}
#endif

TEST_F(UpdateRunTest, LeftoversOfOlderBuildsBesideListedFilesAreRemoved) {
  Install("b.dat", "new b");
  Install("b.dat.zepo-new", std::string(1000, 'x'));
  Install("kept.zepo-new", "not beside a listed file: not ours to judge");
  tree.File("b.dat", "new b");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED);
  EXPECT_FALSE(fs::exists(install.path() / "b.dat.zepo-new"));
  EXPECT_TRUE(fs::exists(install.path() / "kept.zepo-new"));
}

#ifndef _WIN32
TEST_F(UpdateRunTest, RemovingALinkRemovesTheLinkNeverItsTarget) {
  TempFolder outside;
  WriteBytes(outside.path() / "precious.txt", "the player's");
  fs::create_directories(outside.path() / "folder");
  WriteBytes(outside.path() / "folder" / "inside.txt", "also the player's");
  fs::create_symlink(outside.path() / "precious.txt", install.path() / "link.txt");
  fs::create_directory_symlink(outside.path() / "folder", install.path() / "linkfolder");
  tree.Rule("link.txt", "Remove", "File");
  tree.Rule("linkfolder", "Remove", "Folder");
  tree.File("b.dat", "new b");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_FALSE(fs::is_symlink(install.path() / "link.txt"));
  EXPECT_FALSE(fs::is_symlink(install.path() / "linkfolder"));
  EXPECT_EQ(ReadBytes(outside.path() / "precious.txt"), "the player's");
  EXPECT_EQ(ReadBytes(outside.path() / "folder" / "inside.txt"), "also the player's");
}
#endif

TEST_F(UpdateRunTest, AWholeFileWhoseContentIsNotTheListedOneIsNotPutInPlace) {
  Install("b.dat", "old b");
  tree.File("b.dat", "new b", "Update", PatchTree::Md5("other content"));
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(Installed("b.dat"), "old b");
  EXPECT_EQ(FolderEntriesOf(install.path()), (std::set<std::string>{"b.dat", "logs", "update", "autoupdate.sls", "zepo.lock",
                                                                     "autoupdate.fls", "autoupdate.fls.served"}));
  EXPECT_EQ(UpdateLogLines()[UpdateLogLines().size() - 2], "Apply update file [b.dat] => Failed");
}

TEST_F(UpdateRunTest, HostileNamesStopTheCheckBeforeAnythingIsTouched) {
  for (const char* hostile : {"..\\outside.txt", "C:\\Windows\\x.dll", "data\\..\\..\\x", "\\\\server\\share\\x",
                              "file.txt:stream", "NUL", "data\\com1.txt", "data\\x.", "data\\\\x", "/etc/passwd"}) {
    Install("keep.dat", "keep");
    Install("gone.dat", "would be removed");
    PatchTree hostileTree{TestServer::Root()};
    hostileTree.Rule("gone.dat", "Remove", "File");
    hostileTree.Rule("newfolder", "Exists", "Folder");
    hostileTree.File("new.dat", "would be queued");
    hostileTree.Rule(hostile, "Remove", "Folder");
    hostileTree.Publish();
    const auto before = Snapshot(install.path());
    ASSERT_EQ(Run(), RUN_FAILED) << hostile;
    EXPECT_EQ(view.checkFailedName, AnsiToWide(hostile)) << hostile;
    EXPECT_EQ(view.statuses.back(), L"Lỗi kiểm tra danh sách các tập tin.");
    EXPECT_EQ(Snapshot(install.path()), before) << hostile;
    const auto lines = UpdateLogLines();
    EXPECT_EQ(lines.back(), "Check description update information => Failed");
    EXPECT_EQ(lines[lines.size() - 2], std::string("Check file [") + hostile + "] => Failed");
  }
}

TEST_F(UpdateRunTest, ServerFailuresEndTheRunAtTheirPhase) {
  settings.host = L"127.0.0.1:1";
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(view.statuses.back(), L"Kết nối tới máy chủ thất bại.");
  EXPECT_EQ(UpdateLogLines().back(), "Connect to patch server => Failed");
  EXPECT_TRUE(view.version.empty());

  settings.host = TestServer::Address();
  tree.File("b.dat", "new b");
  tree.Publish();
  tree.Fault("velora/filelist.enc", "lastmod_none");
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(view.statuses.back(), L"Lấy thông tin cập nhật thất bại.");
  EXPECT_EQ(UpdateLogLines().back(), "Get description update information => Failed");
}

TEST_F(UpdateRunTest, TheCachedListIsUsedWhileItsStampIsTheServers) {
  tree.File("b.dat", "new b");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED);
  ASSERT_TRUE(fs::exists(install.path() / "autoupdate.fls"));
  ASSERT_TRUE(fs::exists(install.path() / "autoupdate.sls"));
  // The server's list is now broken; a current cache never asks for it.
  const auto stamp = fs::last_write_time(TestServer::Root() / "velora" / "filelist.enc");
  WriteBytes(TestServer::Root() / "velora" / "filelist.enc", "not a packed file");
  fs::last_write_time(TestServer::Root() / "velora" / "filelist.enc", stamp);
  EXPECT_EQ(Run(), RUN_FINISHED);
  // A new stamp fetches it, and the broken list fails the run.
  fs::last_write_time(TestServer::Root() / "velora" / "filelist.enc", stamp + std::chrono::hours(1));
  EXPECT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(view.statuses.back(), L"Lấy thông tin cập nhật thất bại.");
}

TEST_F(UpdateRunTest, SelfUpdateFilesGoToTheHelperAndNothingElseIsDone) {
  Install("zepo-update", "old updater");
  Install("b.dat", "old b");
  tree.File("zepo-update", "new updater", "SelfUpdate");
  tree.File("b.dat", "new b");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_SELF_UPDATE);
  EXPECT_EQ(helperFiles, std::vector<std::wstring>{L"update\\zepo-update"});
  EXPECT_EQ(ReadBytes(install.path() / "update" / "zepo-update"), "new updater");
  EXPECT_EQ(ReadBytes(install.path() / "update" / "engine.dat"), ReadBytes(ZEPO_TEST_RESOURCE));
  EXPECT_EQ(Installed("b.dat"), "old b");
  EXPECT_EQ(UpdateLogLines().back(), "Download selfupdate file [zepo-update] => Success");

  // A damaged download never reaches the helper.
  WriteBytes(TestServer::Root() / "velora" / "v2" / "zepo-update", ReadBytes(TestServer::Root() / "detectfile.enc"));
  helperFiles.clear();
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_TRUE(helperFiles.empty());
  EXPECT_EQ(view.statuses.back(), L"Tập tin [zepo-update] đã bị lỗi.");
  EXPECT_EQ(UpdateLogLines().back(), "Unpack selfupdate file [zepo-update] => Failed");
}

TEST_F(UpdateRunTest, ASecondRunOnTheSameInstallationTouchesNothing) {
  Install("b.dat", "old b");
  Install("update/stage/stamp", "another run's staging area");
  tree.File("b.dat", "new b");
  tree.Publish();
  RunLock other;
  std::wstring cause;
  ASSERT_TRUE(other.TryAcquire(RUN_LOCK_FILE, cause)) << WideToUtf8(cause);
  const auto before = Snapshot(install.path());
  const std::size_t requests = TestServer::RequestsWith("GET").size();
  EXPECT_EQ(Run(), RUN_LOCKED);
  EXPECT_EQ(Snapshot(install.path()), before);
  EXPECT_EQ(Installed("update/stage/stamp"), "another run's staging area");
  EXPECT_EQ(TestServer::RequestsWith("GET").size(), requests + 0);
  EXPECT_EQ(view.statuses.back(), L"Một chương trình cập nhật khác đang chạy trong thư mục này.");
  EXPECT_FALSE(fs::exists(NativePath(UpdateLogName(LocalTimeNow().year, LocalTimeNow().month))))
      << "nothing is written into the other run's update log";

  // The lock is the other run's only while it lasts.
  other.Release();
  EXPECT_EQ(Run(), RUN_FINISHED);
  EXPECT_EQ(Installed("b.dat"), "new b");
}

// A lock file that cannot be made (here a folder of its name; a game folder that cannot be
// written does the same) is a fault of this installation, not another run: the run fails with
// the cause instead of reporting an updater that is not there.
TEST_F(UpdateRunTest, ALockFileThatCannotBeMadeFailsTheRunWithItsCause) {
  Install("b.dat", "old b");
  tree.File("b.dat", "new b");
  tree.Publish();
  fs::create_directory(install.path() / "zepo.lock");
  const auto before = Snapshot(install.path());
  EXPECT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(Snapshot(install.path()), before);
  EXPECT_EQ(view.statuses.back(), L"Tạo tập tin [zepo.lock] thất bại.");
  ASSERT_EQ(view.errors.size(), 1u);
  EXPECT_NE(view.errors[0].find(L"cannot open zepo.lock"), std::wstring::npos) << WideToUtf8(view.errors[0]);
}

TEST_F(UpdateRunTest, TheHelperRestartsTheUpdaterAsItWasStartedAndASecondSelfUpdateOfOneListFails) {
  Install("zepo-update", "old updater");
  Install("b.dat", "old b");
  tree.File("zepo-update", "new updater", "SelfUpdate");
  tree.File("b.dat", "new b");
  tree.Publish();
  settings.restartCommand = {L"/opt/velora/zepo-update", L"--dir", L"/opt/velora", L"--host", L"h:1"};
  ASSERT_EQ(Run(), RUN_SELF_UPDATE);
  ASSERT_EQ(helperRestart.size(), 6u);
  EXPECT_EQ(std::vector<std::wstring>(helperRestart.begin(), helperRestart.begin() + 5), settings.restartCommand);
  const std::wstring prefix = SELF_UPDATED_ARGUMENT;
  ASSERT_EQ(helperRestart[5].substr(0, prefix.size()), prefix);

  // The restarted updater finds the same list still asking for a self-update (here: the helper
  // did not swap the file): it fails instead of restarting the updater for ever.
  std::wstring stamp;
  EXPECT_TRUE(TakeSelfUpdatedArgument(helperRestart, stamp) == settings.restartCommand);
  settings.selfUpdatedStamp = stamp;
  helperFiles.clear();
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_TRUE(helperFiles.empty());
  EXPECT_EQ(Installed("zepo-update"), "old updater");
  EXPECT_EQ(view.statuses.back(), L"Tự động nâng cấp phiên bản 2.0 thất bại.");
  ASSERT_EQ(view.errors.size(), 1u) << "the loop is named once on the error line";
  EXPECT_NE(view.errors[0].find(L"SELF_UPDATE_REPEATED"), std::wstring::npos) << WideToUtf8(view.errors[0]);

  // A new list may ask for the next self-update.
  tree.Publish();
  ASSERT_EQ(Run(), RUN_SELF_UPDATE);
}

TEST_F(UpdateRunTest, ASelfUpdateFileWithoutAChecksumIsRefusedBeforeAnythingIsTouched) {
  Install("zepo-update", "old updater");
  Install("gone.dat", "stays");
  tree.Section("zepo-update", {{"Method", "SelfUpdate"}, {"DateTime", PatchTree::TIME}});
  tree.Put("zepo-update", "garbage that nothing vouches for");
  tree.Rule("gone.dat", "Remove", "File");
  tree.Publish();
  const auto before = Snapshot(install.path());
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_TRUE(helperFiles.empty());
  EXPECT_EQ(Snapshot(install.path()), before);
  EXPECT_EQ(view.checkFailedName, L"zepo-update");
  EXPECT_EQ(view.statuses.back(), L"Lỗi kiểm tra danh sách các tập tin.");
  const auto lines = UpdateLogLines();
  EXPECT_EQ(lines[lines.size() - 2], "Check file [zepo-update] => Failed");
}

TEST_F(UpdateRunTest, AListThatUnpacksPastItsBoundIsRefusedAndLeavesNothingBehind) {
  tree.File("b.dat", "new b");
  tree.Publish();
  // 65 MiB of line ends pack to about 65 KB.
  TempFolder scratch;
  WriteBytes(scratch.path() / "bomb", std::string(65u << 20, '\n'));
  const fs::path list = TestServer::Root() / "velora" / "filelist.enc";
  const auto stamp = fs::last_write_time(list);
  ASSERT_TRUE(PackFile(WidePath(scratch.path() / "bomb"), WidePath(list), 9));
  fs::last_write_time(list, stamp + std::chrono::hours(1));
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(view.statuses.back(), L"Lấy thông tin cập nhật thất bại.");
  std::uintmax_t left = 0;
  if (fs::exists(install.path() / "update")) {
    for (const auto& entry : fs::recursive_directory_iterator(install.path() / "update")) {
      if (entry.is_regular_file()) left += entry.file_size();
    }
  }
  EXPECT_LT(left, 1u << 20);
}

TEST_F(UpdateRunTest, AFailedDownloadIsTriedTwiceMoreButAMissingFileIsNot) {
  Install("b.dat", "old b");
  tree.File("b.dat", "new b");
  tree.File("c.dat", "new c");
  tree.Publish();
  tree.Fault("velora/v2/b.dat", "close_2/times_2");  // the first two answers break off
  settings.retryDelaysMs = {100, 200};
  const std::size_t before = TestServer::RequestsWith("/v2/b.dat").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(TestServer::RequestsWith("/v2/b.dat").size(), before + 3);
  EXPECT_EQ(Installed("b.dat"), "new b");

  PatchTree next{TestServer::Root()};
  next.File("b.dat", "newer b");
  next.Publish();
  next.Remove("velora/v2/b.dat");
  Install("b.dat", "damaged b");
  const std::size_t missing = TestServer::RequestsWith("/v2/b.dat").size();
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(TestServer::RequestsWith("/v2/b.dat").size(), missing + 1);
  EXPECT_EQ(Installed("b.dat"), "damaged b");
}

#ifdef _WIN32
// Windows keeps a file that another program holds open. A file to replace that a scan holds for
// a moment is waited for; one held past the run's wait stops the commit before anything is
// touched. A file to remove that the game holds lets the new files in and fails the run, which
// the next run finishes.
TEST_F(UpdateRunTest, FilesThatAnotherProgramHoldsAreWaitedForAndNeverLeaveAMixedInstallation) {
  settings.heldFileWaitMs = 400;
  Install("b.dat", "old b");
  Install("c.dat", "old c");
  tree.File("b.dat", "new b");
  tree.File("c.dat", "new c");
  tree.Publish();
  {
    FileHandle held = FileHandle::OpenForRead(L"c.dat");
    ASSERT_TRUE(held.IsOpen());
    ASSERT_EQ(Run(), RUN_FAILED);
  }
  EXPECT_EQ(Installed("b.dat"), "old b") << "nothing is committed while a file to replace is held";
  EXPECT_EQ(Installed("c.dat"), "old c");
  ASSERT_EQ(view.errors.size(), 1u);
  EXPECT_NE(view.errors[0].find(L"COMMIT_FILE_IN_USE"), std::wstring::npos) << WideToUtf8(view.errors[0]);
  EXPECT_NE(view.errors[0].find(L"[c.dat]"), std::wstring::npos) << WideToUtf8(view.errors[0]);
  EXPECT_TRUE(std::any_of(view.statuses.begin(), view.statuses.end(),
                          [](const std::wstring& s) { return s.find(L"[c.dat]") != std::wstring::npos; }))
      << "the status says which file the run waits for";

  settings.heldFileWaitMs = 20000;
  std::thread scanner;
  {
    auto held = std::make_shared<FileHandle>(FileHandle::OpenForRead(L"c.dat"));
    ASSERT_TRUE(held->IsOpen());
    scanner = std::thread([held] {
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      held->Close();
    });
  }
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  scanner.join();
  EXPECT_EQ(Installed("b.dat"), "new b");
  EXPECT_EQ(Installed("c.dat"), "new c");
}

TEST_F(UpdateRunTest, AFileToRemoveThatTheGameHoldsFailsTheRunUntilTheNextRunRemovesIt) {
  settings.heldFileWaitMs = 400;
  Install("held.dat", "open in the game");
  Install("b.dat", "old b");
  tree.Rule("held.dat", "Remove", "File");
  tree.File("b.dat", "new b");
  tree.Publish();
  {
    FileHandle held = FileHandle::OpenForRead(L"held.dat");
    ASSERT_TRUE(held.IsOpen());
    ASSERT_EQ(Run(), RUN_FAILED);
  }
  EXPECT_EQ(Installed("b.dat"), "new b");
  EXPECT_TRUE(fs::exists(install.path() / "held.dat"));
  ASSERT_EQ(view.errors.size(), 1u);
  EXPECT_NE(view.errors[0].find(L"COMMIT_REMOVE_FAILED"), std::wstring::npos) << WideToUtf8(view.errors[0]);
  EXPECT_NE(view.errors[0].find(L"[held.dat]"), std::wstring::npos) << WideToUtf8(view.errors[0]);

  // With nothing else left to do the removal is the whole run, and it fails all the same rather
  // than report an up-to-date game that still holds the file.
  {
    FileHandle held = FileHandle::OpenForRead(L"held.dat");
    ASSERT_TRUE(held.IsOpen());
    ASSERT_EQ(Run(), RUN_FAILED);
  }
  ASSERT_EQ(view.errors.size(), 1u);
  EXPECT_NE(view.errors[0].find(L"COMMIT_REMOVE_FAILED"), std::wstring::npos) << WideToUtf8(view.errors[0]);
  EXPECT_NE(view.statuses.back().find(L"thất bại"), std::wstring::npos) << WideToUtf8(view.statuses.back());

  ASSERT_EQ(Run(), RUN_FINISHED);
  EXPECT_FALSE(fs::exists(install.path() / "held.dat"));
}
#endif

// Every form is bounded by the file's listed Size: a second packed form that unpacks far past it
// (a small zstd frame can unpack without end) stops at the bound, is blamed on the content, and
// the zlib form is taken in the same run; the disk never fills.
TEST_F(UpdateRunTest, AFormThatUnpacksPastTheListedSizeStopsThereAndTheNextFormIsTaken) {
  Install("b.dat", "old b");
  tree.File("b.dat", "new b");
  tree.Key("b.dat", "Size", "5");
  tree.Key("b.dat", "Whole.2", ".zst");
  WriteBytes(tree.NativeOf("velora/v2/b.dat.zst"), Pack2Bytes(std::string(64 << 20, '\0'), 1));
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  EXPECT_EQ(Installed("b.dat"), "new b");

  // Both forms unpack without end: the run fails on the bound, not on a full disk.
  Install("b.dat", "old b");
  tree.Put("b.dat", std::string(64 << 20, 'z'));
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FAILED);
  ASSERT_EQ(view.errors.size(), 1u);
  EXPECT_NE(view.errors[0].find(L"more than the 5 bytes"), std::wstring::npos) << WideToUtf8(view.errors[0]);
  EXPECT_EQ(Installed("b.dat"), "old b");
}

// Content the installation already holds is copied, not downloaded: a file moved to another
// folder, a renamed folder and two files of one content cost no bytes. Installed files are known
// by the list of the last finished run and their times, and every copy is verified as a download
// is: a file whose time still matches but whose bytes changed is downloaded after all.
TEST_F(UpdateRunTest, RenamedMovedAndRepeatedContentIsCopiedNotDownloaded) {
  const std::string video(300000, 'v'), pack = "pack file content", tampered = "tampered, same time";
  tree.File("movies/intro.bik", video);
  tree.File("data/one.pak", pack);
  tree.File("data/two.pak", "second pack");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED);
  // The next release moves the video, renames the folder and adds a copy of a pack. Its list
  // writes the video's MD5 in capitals: a digest is the same content in either case.
  PatchTree next(TestServer::Root(), "3.0");
  std::string capitals = PatchTree::Md5(video);
  std::transform(capitals.begin(), capitals.end(), capitals.begin(), [](unsigned char c) { return std::toupper(c); });
  next.File("video/intro.bik", video, "Update", capitals);
  next.File("packs/one.pak", pack);
  next.File("packs/two.pak", "second pack");
  next.File("extra/one-again.pak", pack);
  next.File("new/a.dat", "new content");
  next.File("new/b.dat", "new content");
  for (const char* gone : {"movies/intro.bik", "data/one.pak", "data/two.pak"}) next.Rule(gone, "Remove", "File");
  next.Publish();
  // data/two.pak changed behind the updater's back and kept its time: its copy fails the digest.
  const std::string twoTime = FileTime("data/two.pak");
  Install("data/two.pak", tampered);
  ASSERT_TRUE(SetFileTimeText(L"data/two.pak", AnsiToWide(twoTime)));
  const std::size_t before = TestServer::RequestsWith("/velora/v2/").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  const std::vector<std::string> requests = TestServer::RequestsWith("/velora/v2/");
  std::vector<std::string> fetched;
  for (std::size_t i = before; i < requests.size(); ++i) fetched.push_back(requests[i].substr(0, requests[i].find(" HTTP")));
  // Only the tampered pack and the first of the two new files of one content cross the network.
  std::sort(fetched.begin(), fetched.end());
  EXPECT_EQ(fetched, (std::vector<std::string>{"GET /velora/v2/new/a.dat", "GET /velora/v2/packs/two.pak"}));
  EXPECT_EQ(Installed("video/intro.bik"), video);
  EXPECT_EQ(Installed("packs/one.pak"), pack);
  EXPECT_EQ(Installed("extra/one-again.pak"), pack);
  EXPECT_EQ(Installed("packs/two.pak"), "second pack");
  EXPECT_EQ(Installed("new/a.dat"), "new content");
  EXPECT_EQ(Installed("new/b.dat"), "new content");
  EXPECT_FALSE(fs::exists(install.path() / "movies" / "intro.bik"));
  EXPECT_FALSE(fs::exists(install.path() / "data" / "one.pak"));
  EXPECT_EQ(FileTime("video/intro.bik"), FileTime("packs/one.pak"));
}

// A file damaged behind the updater's back that keeps its listed time is taken as it is by a
// normal run; a repair reads every file and puts it right, through the stage, and names it.
TEST_F(UpdateRunTest, ARepairReadsEveryFileAndReplacesTheDamagedOnes) {
  tree.File("a.dat", "the listed content of a");
  tree.File("b.dat", "the listed content of b");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED);
  const std::string time = FileTime("a.dat");
  Install("a.dat", "the listed content of X");
  ASSERT_TRUE(SetFileTimeText(L"a.dat", AnsiToWide(time)));
  ASSERT_EQ(Run(), RUN_FINISHED);
  EXPECT_EQ(Installed("a.dat"), "the listed content of X") << "a normal run goes by the time";
  RunSummary summary;
  settings.summary = &summary;
  settings.repair = true;
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(Installed("a.dat"), "the listed content of a");
  EXPECT_EQ(Installed("b.dat"), "the listed content of b");
  EXPECT_EQ(summary.repaired, (std::vector<std::wstring>{L"a.dat"}));
  EXPECT_EQ(summary.downloaded, 1u);
}

// One host may serve several trees, each under its own path, and the host may be given as a URL.
TEST_F(UpdateRunTest, AHostGivenAsAUrlWithAPathReachesTheTreeThere) {
  PatchTree prefixed(TestServer::Root() / "trees" / "one");
  prefixed.File("a.dat", "the tree under a path");
  prefixed.Publish();
  settings.host = L"http://" + TestServer::Address() + L"/trees/one";
  const std::size_t before = TestServer::RequestsWith("GET /trees/one/velora/").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(Installed("a.dat"), "the tree under a path");
  EXPECT_GT(TestServer::RequestsWith("GET /trees/one/velora/").size(), before);
  const std::vector<std::string> requests = TestServer::RequestsWith("/trees/one/detectfile.enc");
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(requests.back().find("\r\nHost: " + WideToUtf8(TestServer::Address()) + "\r\n"), std::string::npos)
      << "the Host header names the host alone";
}

// An installation the game's installer made holds no list of ours. Its files that the list does
// not give content to, of a size a wanted content has, are hashed once: a renamed folder and a
// moved video are copied, a file of the same size and other content is not, and files the list
// does not know (a player's save) stay.
TEST_F(UpdateRunTest, AnInstallerMadeInstallationCopiesMovedContentFoundBySize) {
  const std::string video(300000, 'v'), pack = "pack file content", sameSize(pack.size(), 'x');
  Install("movies/intro.bik", video);
  Install("data/one.pak", pack);
  Install("data/odd.pak", sameSize);
  Install("saves/slot1.sav", "the player's own");
  const auto sized = [&](const std::string& name, const std::string& content) {
    tree.File(name, content);
    tree.Key(name, "Size", std::to_string(content.size()));
  };
  sized("video/intro.bik", video);
  sized("packs/one.pak", pack);
  sized("packs/other.pak", "other content..xy");
  for (const char* gone : {"movies/intro.bik", "data/one.pak"}) tree.Rule(gone, "Remove", "File");
  tree.Publish();
  const std::size_t before = TestServer::RequestsWith("/velora/v2/").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  const std::vector<std::string> requests = TestServer::RequestsWith("/velora/v2/");
  std::vector<std::string> fetched;
  for (std::size_t i = before; i < requests.size(); ++i) fetched.push_back(requests[i].substr(0, requests[i].find(" HTTP")));
  EXPECT_EQ(fetched, (std::vector<std::string>{"GET /velora/v2/packs/other.pak"}));
  EXPECT_EQ(Installed("video/intro.bik"), video);
  EXPECT_EQ(Installed("packs/one.pak"), pack);
  EXPECT_EQ(Installed("data/odd.pak"), sameSize);
  EXPECT_EQ(Installed("saves/slot1.sav"), "the player's own");
  EXPECT_FALSE(fs::exists(install.path() / "movies" / "intro.bik"));
}

// A changed file whose time is still the one the last applied list gave it is patched from the
// content that list names, without being read: a.dat, changed behind the updater's back within
// that time, takes that patch, whose rebuild fails its check, and then the whole file. c.dat,
// changed with a new time, is read and takes the patch from what it holds.
TEST_F(UpdateRunTest, TheAppliedListSaysWhatAFileHoldsWhileItsTimeIsThatLists) {
  const std::string oldC = "version one of c, version one of c", ownC = "version six of c, version one of c";
  const std::string newC = "version two of c, version one of c";
  tree.File("a.dat", OLD_A);
  tree.File("c.dat", oldC);
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED);
  Install("a.dat", "version one of X, version one of X");
  ASSERT_TRUE(SetFileTimeText(L"a.dat", AnsiToWide(PatchTree::TIME)));
  Install("c.dat", ownC);

  PatchTree next(TestServer::Root(), "3.0");
  const auto listed = [&](const std::string& name, const std::string& content) {
    next.Put(name, content);
    next.Section(name, {{"Method", "Patch"}, {"DateTime", "30260100:1225067648"}, {"CheckSum", PatchTree::Md5(content)}});
  };
  listed("a.dat", NEW_A);
  next.PatchFrom("a.dat", OLD_A, PATCH_A, "as-applied/");
  listed("c.dat", newC);
  next.PatchFrom("c.dat", oldC, PATCH_A, "as-applied/");
  next.PatchFrom("c.dat", ownC, PATCH_A, "as-read/");
  next.Publish();
  const auto count = [](const std::string& part) { return TestServer::RequestsWith(part).size(); };
  const std::size_t before[] = {count("/as-applied/a.dat"), count("/v2/a.dat"), count("/as-applied/c.dat"),
                                count("/as-read/c.dat")};
  ASSERT_EQ(Run(), RUN_FINISHED) << ::testing::PrintToString(UpdateLogLines());
  EXPECT_EQ(Installed("a.dat"), NEW_A);
  EXPECT_EQ(Installed("c.dat"), newC);
  EXPECT_EQ(count("/as-applied/a.dat") - before[0], 1u) << "a.dat was not read";
  EXPECT_EQ(count("/v2/a.dat") - before[1], 1u) << "its failed rebuild gave way to the whole file";
  EXPECT_EQ(count("/as-applied/c.dat") - before[2], 0u);
  EXPECT_EQ(count("/as-read/c.dat") - before[3], 1u) << "c.dat, of another time, was read";
}

// A dry run plans and touches nothing: no file replaced or removed, no folder made, no stage,
// and what an earlier failed run staged waits for the next real run.
TEST_F(UpdateRunTest, ADryRunPlansEveryStepAndTouchesNothing) {
  Install("a.dat", OLD_A);
  Install("b.dat", "old b");
  Install("gone.dat", "to be removed");
  tree.File("a.dat", NEW_A, "Patch");
  tree.PatchFrom("a.dat", OLD_A, PATCH_A);
  tree.File("b.dat", "new b");
  tree.Rule("gone.dat", "Remove", "File");
  tree.Rule("saves", "Exists", "Folder");
  tree.Fault("velora/v2/b.dat", "status_404");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FAILED);  // a.dat is staged, b.dat is missing on the server
  fs::remove(install.path() / "saves");  // made by that run's check; a dry run must not make it
  const auto before = Snapshot(install.path());
  // Nothing at all is written: not the caches, the logs, the lock or the working folder.
  const auto everything = [&] {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(install.path())) {
      const std::string content = entry.is_directory() ? "<folder>" : ReadBytes(entry.path());
      files[fs::relative(entry.path(), install.path()).generic_string()] =
          content + std::to_string(fs::last_write_time(entry.path()).time_since_epoch().count());
    }
    return files;
  };
  const auto untouched = everything();
  ASSERT_TRUE(fs::exists(install.path() / "update" / "stage"));
  RunPlan plan;
  settings.plan = &plan;
  ASSERT_EQ(Run(), RUN_FINISHED);
  EXPECT_EQ(plan.version, L"2.0");
  std::vector<std::wstring> steps;
  for (const RunPlan::Step& step : plan.steps) {
    steps.push_back(std::to_wstring(static_cast<int>(step.action)) + L" " + step.name + L" " + step.source);
  }
  // Download 0, Patch 1, Remove 4.
  EXPECT_EQ(steps, (std::vector<std::wstring>{L"0 b.dat ", L"1 a.dat ", L"4 gone.dat "}));
  EXPECT_EQ(Snapshot(install.path()), before);
  EXPECT_EQ(everything(), untouched);
  EXPECT_FALSE(fs::exists(install.path() / "saves"));
  EXPECT_TRUE(fs::exists(install.path() / "update" / "stage")) << "what the failed run staged waits";
  settings.plan = nullptr;
  fs::remove(TestServer::Root() / "velora" / "v2" / "b.dat.fault");
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  EXPECT_EQ(Installed("a.dat"), NEW_A);
  EXPECT_EQ(Installed("b.dat"), "new b");
}

// The player stops a run (the window's close box) while a file downloads: the run ends before its
// commit with nothing installed changed, and the next run goes on from what was staged.
TEST_F(UpdateRunTest, AStoppedRunChangesNothingAndTheNextRunGoesOnFromItsStage) {
  Install("b.dat", "old b");
  Install("c.dat", "old c");
  tree.File("b.dat", "new b");
  tree.File("c.dat", std::string(300000, 'c'));
  tree.Publish();
  tree.Fault("velora/v2/c.dat", "stall_2/times_1");
  std::atomic<bool> stop{false};
  settings.stop = &stop;
  settings.connections = 1;
  // The server's record holds the requests of earlier tests too: only a new one counts.
  const std::size_t earlier = TestServer::RequestsWith("/v2/c.dat").size();
  std::thread player([&] {
    while (TestServer::RequestsWith("/v2/c.dat").size() == earlier) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
  });
  const auto before = Snapshot(install.path());
  EXPECT_EQ(Run(), RUN_STOPPED);
  player.join();
  EXPECT_EQ(Snapshot(install.path()), before);
  EXPECT_TRUE(view.errors.empty()) << "a stopped run is no failure";
  EXPECT_EQ(view.statuses.back(), L"Đã dừng cập nhật. Lần chạy sau sẽ tiếp tục từ chỗ đã dừng.");

  stop = false;
  const std::size_t fetchesOfB = TestServer::RequestsWith("/v2/b.dat").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  EXPECT_EQ(Installed("b.dat"), "new b");
  EXPECT_EQ(Installed("c.dat"), std::string(300000, 'c'));
  const auto requestsOfB = TestServer::RequestsWith("/v2/b.dat");
  for (std::size_t i = fetchesOfB; i < requestsOfB.size(); ++i) {
    EXPECT_NE(requestsOfB[i].find("Range: bytes="), std::string::npos) << "what the stopped run downloaded is kept";
  }
}

// A failed form gives way to the next in one order, best first: the format-2 patch, the byte
// code's patch, the zstd whole file, the zlib whole file.
TEST_F(UpdateRunTest, EachFailedFormGivesWayToTheNextInOrder) {
  settings.connections = 1;
  Install("forms.dat", OLD_A);
  tree.File("forms.dat", NEW_A, "Patch");
  const std::string oldDigest = PatchTree::Md5(OLD_A);
  tree.Key("forms.dat", oldDigest + ".2", "q2/");  // none of these three is on the server
  tree.Key("forms.dat", oldDigest, "q1/");
  tree.Key("forms.dat", "Whole.2", ".zst");
  tree.Publish();
  const std::size_t earlier = TestServer::RequestsWith("forms.dat").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  EXPECT_EQ(Installed("forms.dat"), NEW_A);
  const auto requests = TestServer::RequestsWith("forms.dat");
  std::vector<std::string> paths;
  for (std::size_t i = earlier; i < requests.size(); ++i) {
    const std::size_t start = requests[i].find(' ') + 1;
    paths.push_back(requests[i].substr(start, requests[i].find(' ', start) - start));
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/velora/q2/forms.dat", "/velora/q1/forms.dat", "/velora/v2/forms.dat.zst",
                                             "/velora/v2/forms.dat"}));
}

TEST_F(UpdateRunTest, ARunStartedWhileTheHelperSwapsFilesWaitsForIt) {
  Install("b.dat", "old b");
  Install("update/engine.dat", "the helper at work");
  tree.File("b.dat", "new b");
  tree.Publish();
  RunLock helper;
  std::wstring cause;
  ASSERT_TRUE(helper.TryAcquire(RUN_LOCK_FILE, cause));
  std::thread release([&helper] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    helper.Release();
  });
  const int result = Run();
  release.join();
  ASSERT_EQ(result, RUN_FINISHED);
  EXPECT_EQ(view.statuses.front(), L"Đang chờ chương trình cập nhật khác kết thúc...");
  EXPECT_EQ(Installed("b.dat"), "new b");

  // A helper that never lets go: the run gives up after its limit, touching nothing.
  Install("update/engine.dat", "the helper at work");
  Install("b.dat", "old b");
  ASSERT_TRUE(helper.TryAcquire(RUN_LOCK_FILE, cause));
  settings.helperWaitMs = 500;
  EXPECT_EQ(Run(), RUN_LOCKED);
  EXPECT_EQ(Installed("b.dat"), "old b");
}

TEST_F(UpdateRunTest, AFailedRunSaysOnceWhichStepFailedOnWhatAndWhy) {
  const auto says = [this](std::initializer_list<const wchar_t*> parts) {
    if (view.errors.size() != 1) return ::testing::AssertionFailure() << view.errors.size() << " error lines";
    for (const wchar_t* part : parts) {
      if (view.errors[0].find(part) == std::wstring::npos) {
        return ::testing::AssertionFailure() << WideToUtf8(view.errors[0]) << " lacks " << WideToUtf8(part);
      }
    }
    return ::testing::AssertionSuccess();
  };
  settings.host = L"127.0.0.1:1";
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_TRUE(says({L"connect to the patch server [127.0.0.1:1]", L"CONNECT_"}));
  settings.host = L"nosuchhost.invalid";
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_TRUE(says({L"[nosuchhost.invalid]", L"CONNECT_NO_ADDRESS", L"the resolver found no IPv4 address: "}));
  settings.host = L"localhost:18090x";
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_TRUE(says({L"CONNECT_NO_ADDRESS", L"not [http://|https://]HOST[:PORT][/PATH/]"}));
  settings.host = TestServer::Address() + L"/trees/../other/";
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_TRUE(says({L"CONNECT_NO_ADDRESS", L"its path holds what no tree's path may"}));

  // One fault per run: with several downloads in flight, which of two faults is met first is
  // up to the network, and the run names only that one.
  settings.host = TestServer::Address();
  Install("b.dat", "old b");
  tree.File("b.dat", "new b");
  tree.File("c.dat", "new c");
  tree.Publish();
  tree.Remove("velora/v2/b.dat");
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_TRUE(says({L"download [", L"/velora/v2/b.dat]", L"HTTP_NOT_FOUND", L"the server answered 404"}));

  tree.File("b.dat", "new b");
  tree.File("d.dat", "new d", "Update", PatchTree::Md5("other content"));
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FAILED);
  const std::string listed = PatchTree::Md5("other content");
  const std::wstring saysListed = L", the list says " + std::wstring(listed.begin(), listed.end());
  EXPECT_TRUE(says({L"unpack [d.dat]", L"STAGE_BAD_CONTENT", L"the content's MD5 is ", saysListed.c_str()}));
  ASSERT_EQ(Run(), RUN_FAILED);
  EXPECT_EQ(view.statuses.back(), L"Tự động nâng cấp phiên bản 2.0 thất bại.");
}

// Every way that connecting, getting the list and checking can fail, reached against the test
// server: the run fails, its one error line names the code, and nothing is installed.
TEST_F(UpdateRunTest, EveryConnectDescriptionAndCheckFailureIsNamed) {
  struct Case {
    const wchar_t* code;
    std::function<void(PatchTree&)> spoil;
  };
  std::vector<Case> cases = {
      {L"CONNECT_NO_PROBE", [](PatchTree& t) { t.Remove("detectfile.enc"); }},
      {L"CONNECT_NO_STAMP", [](PatchTree& t) { t.Fault("rootfolder.enc", "lastmod_none"); }},
      {L"CONNECT_NO_ROOT_FOLDER", [](PatchTree& t) { t.Fault("rootfolder.enc", "status_500"); }},
      {L"CONNECT_BAD_ROOT_FOLDER", [](PatchTree& t) { WriteBytes(t.NativeOf("rootfolder.enc"), "not packed"); }},
      {L"DESCRIPTION_NO_STAMP", [](PatchTree& t) { t.Fault("velora/filelist.enc", "lastmod_none"); }},
      // The status is judged before the date: a list the server does not have is missing.
      {L"DESCRIPTION_NO_LIST", [](PatchTree& t) { t.Remove("velora/filelist.enc"); }},
      {L"CONNECT_NO_ROOT_FOLDER", [](PatchTree& t) { t.Remove("rootfolder.enc"); }},
      {L"DESCRIPTION_NO_LIST", [](PatchTree& t) { t.Fault("velora/filelist.enc", "close_10"); }},
      {L"DESCRIPTION_BAD_LIST", [](PatchTree& t) { WriteBytes(t.NativeOf("velora/filelist.enc"), "not packed"); }},
      {L"CHECK_UNSAFE_NAME",
       [](PatchTree& t) {
         t.File("..\\outside.dat", "escape");
         t.Publish();
       }},
      {L"CHECK_UNVERIFIED_SELF_UPDATE",
       [](PatchTree& t) {
         t.Section("zepo-update", {{"Method", "SelfUpdate"}, {"DateTime", PatchTree::TIME}});
         t.Put("zepo-update", "an updater nothing vouches for");
         t.Publish();
       }},
  };
  // An installed file that cannot be read: a folder where the list has a file.
  const Case unreadable{L"CHECK_UNREADABLE_FILE", [this](PatchTree&) {
                          fs::remove(install.path() / "b.dat");
                          fs::create_directories(install.path() / "b.dat" / "inside");
                        }};
  cases.push_back(unreadable);
  for (const Case& c : cases) {
    PatchTree fresh(TestServer::Root());
    fresh.File("b.dat", "new b");
    fresh.Publish();
    fs::remove_all(install.path() / "update");
    fs::remove_all(install.path() / "b.dat");
    Install("b.dat", "old b");
    c.spoil(fresh);
    EXPECT_EQ(Run(), RUN_FAILED) << WideToUtf8(c.code);
    ASSERT_EQ(view.errors.size(), 1u) << WideToUtf8(c.code);
    EXPECT_NE(view.errors[0].find(c.code), std::wstring::npos) << WideToUtf8(view.errors[0]);
    if (c.code != unreadable.code) {
      EXPECT_EQ(Installed("b.dat"), "old b") << WideToUtf8(c.code);
    }
  }
}

// A client that trusts a publisher key takes only what that key signed: each way a list can be
// forged, replayed, expired, unsigned or pointed at another product fails the run before anything
// is touched, as does a file that is not what the signed list says.
class SignedRunTest : public UpdateRunTest {
 protected:
  void SetUp() override {
    UpdateRunTest::SetUp();
    ASSERT_TRUE(GenerateSigningKey(privateKey, publicKey));
    ASSERT_TRUE(GenerateSigningKey(otherPrivate, otherPublic));
    settings.trustedKeys = otherPublic + "," + publicKey;  // any key of the set will do
  }
  // A fresh version-1 installation and a version-2 tree signed as asked.
  void Publish(const std::string& key, int expiresDays = 30, const std::string& product = "", bool withC = true) {
    fs::remove_all(install.path() / "update");
    fs::remove(install.path() / "c.dat");
    Install("b.dat", "old b");
    tree = PatchTree(TestServer::Root());
    if (!key.empty()) tree.SignWith(key, expiresDays, product);
    tree.File("b.dat", "new b");
    if (withC) tree.File("c.dat", "new c");
  }
  ::testing::AssertionResult RefusedWith(const wchar_t* code, const wchar_t* cause) {
    const int result = Run();
    if (result != RUN_FAILED) return ::testing::AssertionFailure() << "the run ended with " << result;
    if (Installed("b.dat") != "old b") return ::testing::AssertionFailure() << "b.dat was touched";
    if (fs::exists(install.path() / "c.dat")) return ::testing::AssertionFailure() << "c.dat was installed";
    if (view.errors.size() != 1) return ::testing::AssertionFailure() << view.errors.size() << " error lines";
    for (const wchar_t* part : {code, cause}) {
      if (view.errors[0].find(part) == std::wstring::npos) {
        return ::testing::AssertionFailure() << WideToUtf8(view.errors[0]) << " lacks " << WideToUtf8(part);
      }
    }
    return ::testing::AssertionSuccess();
  }
  std::string privateKey, publicKey, otherPrivate, otherPublic;
};

TEST_F(SignedRunTest, ASignedTreeUpdatesAndEveryForgeryIsRefused) {
  Publish(privateKey);
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  EXPECT_EQ(Installed("c.dat"), "new c");
  ASSERT_EQ(Run(), RUN_FINISHED) << "the cached, still signed list serves the next run";
  // The same list and signature fetched again (its stamp moved, as a re-upload moves it): the
  // serial equals the one kept, which is no replay.
  fs::last_write_time(tree.NativeOf("velora/filelist.enc"), fs::file_time_type::clock::now() + std::chrono::hours(3));
  const std::size_t listFetches = TestServer::RequestsWith("/velora/filelist.enc.sig").size();
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  EXPECT_GT(TestServer::RequestsWith("/velora/filelist.enc.sig").size(), listFetches) << "the list was fetched again";
  const std::string acceptedList = ReadBytes(tree.NativeOf("velora/filelist.enc"));
  const std::string acceptedSignature = ReadBytes(tree.NativeOf("velora/filelist.enc.sig"));

  Publish("");
  tree.Publish();
  EXPECT_TRUE(RefusedWith(L"SIGNATURE_REFUSED", L"no signature file"));

  Publish(privateKey);
  tree.Publish();
  std::string forged = ReadBytes(tree.NativeOf("velora/filelist.enc"));
  forged[forged.size() / 2] ^= 1;  // one byte changed on the way
  WriteBytes(tree.NativeOf("velora/filelist.enc"), forged);
  EXPECT_TRUE(RefusedWith(L"SIGNATURE_REFUSED", L"not the ones its signature states"));

  Publish(privateKey);
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED) << "a newer publication";
  Publish(privateKey);
  tree.Publish();
  WriteBytes(tree.NativeOf("velora/filelist.enc"), acceptedList);  // an older list, its own signature
  WriteBytes(tree.NativeOf("velora/filelist.enc.sig"), acceptedSignature);
  EXPECT_TRUE(RefusedWith(L"SIGNATURE_REFUSED", L"older publication"));

  std::string unknownPrivate, unknownPublic;
  ASSERT_TRUE(GenerateSigningKey(unknownPrivate, unknownPublic));
  Publish(unknownPrivate);
  tree.Publish();
  EXPECT_TRUE(RefusedWith(L"SIGNATURE_REFUSED", L"trusted keys"));

  Publish(privateKey, -1);
  tree.Publish();
  EXPECT_TRUE(RefusedWith(L"SIGNATURE_REFUSED", L"expired"));
  EXPECT_EQ(view.statuses.back(), L"Bản cập nhật chưa được gia hạn chữ ký. Vui lòng thử lại sau.");

  Publish(privateKey, 30, "other/");
  tree.Publish();
  EXPECT_TRUE(RefusedWith(L"SIGNATURE_REFUSED", L"other/"));

  Publish(privateKey, 30, "", false);
  tree.Put("c.dat", "new c");
  tree.Section("c.dat", {{"Method", "Update"}, {"DateTime", PatchTree::TIME}, {"CheckSum", PatchTree::Md5("new c")},
                         {"SHA256", std::string(64, '0')}, {"Size", "5"}});
  tree.Publish();
  EXPECT_TRUE(RefusedWith(L"STAGE_UNVERIFIED", L"SHA-256"));

  Publish("");
  tree.SignWith(privateKey);
  tree.Section("d.dat", {{"Method", "Update"}, {"DateTime", PatchTree::TIME}, {"CheckSum", PatchTree::Md5("d")}});
  tree.Put("d.dat", "d");
  tree.Publish();
  EXPECT_TRUE(RefusedWith(L"STAGE_UNVERIFIED", L"no SHA256 and Size"));

  // Another product of the same publisher, consistent in itself (its root descriptor names its
  // own folder, and its signatures its own product): this installation follows the product it
  // first accepted.
  fs::remove_all(install.path() / "update");
  tree = PatchTree(TestServer::Root(), "2.0", "other/");
  tree.SignWith(privateKey);
  tree.File("b.dat", "other b");
  tree.File("c.dat", "other c");
  tree.Publish();
  fs::last_write_time(tree.NativeOf("rootfolder.enc"), fs::file_time_type::clock::now() + std::chrono::hours(1));
  EXPECT_TRUE(RefusedWith(L"SIGNATURE_REFUSED", L"this installation follows velora/"));

  // The key signed by another key of the set (a rotated key) is as good.
  Publish(otherPrivate);
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED) << (view.errors.empty() ? "" : WideToUtf8(view.errors[0]));
  EXPECT_EQ(Installed("c.dat"), "new c");
}

TEST_F(SignedRunTest, AClientWithoutKeysTakesSignedAndUnsignedTreesAsBefore) {
  settings.trustedKeys.clear();
  Publish(privateKey);
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED);
  EXPECT_EQ(Installed("c.dat"), "new c");
  fs::remove(install.path() / "c.dat");
  Publish("");
  tree.Publish();
  ASSERT_EQ(Run(), RUN_FINISHED);
  EXPECT_EQ(Installed("c.dat"), "new c");
}
