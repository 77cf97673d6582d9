// The engine helper as a real process, in a program folder of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "services/files.h"
#include "services/process.h"
#include "services/run_lock.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Runs a program and waits for it; its exit status.
int RunAndWait(const std::vector<std::string>& arguments) {
  std::string line;
  for (const auto& a : arguments) line += (line.empty() ? "" : " ") + std::string("\"") + a + "\"";
#ifdef _WIN32
  line = "\"" + line + "\"";  // cmd.exe drops the outer quotes
#endif
  const int status = std::system(line.c_str());
#ifdef _WIN32
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

bool WaitFor(const fs::path& path, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return fs::exists(path);
}

class HelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(program.path() / "update");
    fs::copy_file(ZEPO_HELPER, program.path() / "update" / "engine.dat");
    // The first file is the "updater": the probe, under the installed name, executable.
    fs::copy_file(ZEPO_PROBE, program.path() / "update" / PROGRAM);
    WriteBytes(program.path() / PROGRAM, "the old updater");
    fs::permissions(program.path() / PROGRAM, fs::perms::owner_all, fs::perm_options::add);
  }
  std::string Helper() const { return (program.path() / "update" / "engine.dat").string(); }

  TempFolder program;
  InFolder in{program.path()};
  static constexpr const char* PROGRAM = ZEPO_PROBE_NAME;
};

}  // namespace

TEST_F(HelperTest, WithoutArgumentsItFailsAtOnce) { EXPECT_EQ(RunAndWait({Helper()}), 1); }

TEST_F(HelperTest, SwapsEveryFileAndRestartsTheFirst) {
  WriteBytes(program.path() / "update" / "data file.dat", "new data");
  WriteBytes(program.path() / "data file.dat", "old data");
  fs::permissions(program.path() / "data file.dat", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const std::string probe = ReadBytes(program.path() / "update" / PROGRAM);
  ASSERT_EQ(RunAndWait({Helper(), std::string("update\\") + PROGRAM, "update\\data file.dat"}), 0);
  EXPECT_EQ(ReadBytes(program.path() / "data file.dat"), "new data");
  EXPECT_TRUE(ReadBytes(program.path() / PROGRAM) == probe);
  ASSERT_TRUE(WaitFor(program.path() / "restarted.txt", 10));
  EXPECT_EQ(ReadBytes(program.path() / "restarted.txt"), "restarted with 0 arguments\n");
}

TEST_F(HelperTest, RestartsTheUpdaterWithTheCommandAfterTheFiles) {
  WriteBytes(program.path() / "update" / "data.dat", "new data");
  const std::string probe = (program.path() / PROGRAM).string();
  ASSERT_EQ(RunAndWait({Helper(), std::string("update\\") + PROGRAM, "update\\data.dat", "--", probe, "--dir",
                        "a folder with spaces", "back\\slash", "--self-updated=20121105140309"}),
            0);
  EXPECT_EQ(ReadBytes(program.path() / "data.dat"), "new data");
  ASSERT_TRUE(WaitFor(program.path() / "restarted.txt", 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ReadBytes(program.path() / "restarted.txt"),
            "restarted with 4 arguments\n--dir\na folder with spaces\nback\\slash\n--self-updated=20121105140309\n");
}

TEST_F(HelperTest, WaitsForTheUpdaterAndForAFileHeldOpen) {
  WriteBytes(program.path() / "update" / "held.dat", "new");
  WriteBytes(program.path() / "held.dat", "old");
  // A holder that keeps the installed file open for three seconds, and whose end the helper awaits.
  std::vector<std::wstring> holder = {fs::path(ZEPO_PROBE).wstring(), L"--hold", L"held.dat", L"3"};
  ASSERT_TRUE(StartDetachedProcess(holder));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // While it waits for the file, the helper holds the installation: an updater started now waits.
  bool lockedMeanwhile = false;
  std::thread probe([&lockedMeanwhile] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    RunLock lock;
    std::wstring cause;
    lockedMeanwhile = !lock.TryAcquire(RUN_LOCK_FILE, cause);
  });
  ASSERT_EQ(RunAndWait({Helper(), std::string("update\\") + PROGRAM, "update\\held.dat"}), 0);
  probe.join();
  EXPECT_EQ(ReadBytes(program.path() / "held.dat"), "new");
#ifdef _WIN32
  // (Only Windows keeps a file that another process holds open from being replaced.)
  EXPECT_TRUE(lockedMeanwhile);
#endif
  RunLock after;
  std::wstring cause;
  EXPECT_TRUE(after.TryAcquire(RUN_LOCK_FILE, cause)) << "the helper lets go when it ends";
}

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  if (*value == '\0') unsetenv(name); else setenv(name, value, 1);
#endif
}

TEST_F(HelperTest, AFileThatCannotBeMovedFailsButTheOthersAreMoved) {
  WriteBytes(program.path() / "update" / "ok.dat", "new ok");
  WriteBytes(program.path() / "ok.dat", "old ok");
  fs::create_directories(program.path() / "update" / "missing");
  WriteBytes(program.path() / "update" / "missing" / "x.dat", "no folder to go to");
  // 31 attempts, 50 ms apart here (a second apart for players).
  SetEnvironment("ZEPO_HELPER_ATTEMPT_WAIT_MS", "50");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunAndWait({Helper(), std::string("update\\") + PROGRAM, "update\\ok.dat", "update\\missing\\x.dat"}), 1);
  const auto took = std::chrono::steady_clock::now() - start;
  SetEnvironment("ZEPO_HELPER_ATTEMPT_WAIT_MS", "");
  EXPECT_GE(took, std::chrono::milliseconds(30 * 50)) << "31 attempts apart";
  EXPECT_LT(took, std::chrono::seconds(20)) << "the wait between attempts was not taken";
  EXPECT_EQ(ReadBytes(program.path() / "ok.dat"), "new ok");
  EXPECT_TRUE(fs::exists(program.path() / "update" / "missing" / "x.dat"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(fs::exists(program.path() / "restarted.txt")) << "nothing is restarted after a failure";
}
