// POSIX only: a failed write while downloading is classified by the room left on the file system.
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "services/http.h"
#include "support/temp_folder.h"
#include "support/test_server.h"

namespace {

// A 64 KiB file system of its own, so that a download really runs out of room.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::filesystem::path& where) : where_(where) {
    std::filesystem::create_directory(where_);
    mounted_ = mount("tmpfs", where_.c_str(), "tmpfs", 0, "size=64k") == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount(where_.c_str());
  }
  bool mounted() const { return mounted_; }

 private:
  std::filesystem::path where_;
  bool mounted_ = false;
};

}  // namespace

TEST(HttpDisk, AFullFileSystemGivesCode9) {
  TempFolder folder;
  SmallFileSystem small(folder.path() / "small");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  StepCode code = DownloadCode::NoInternet;
  EXPECT_FALSE(DownloadFile(folder / "small\\big.bin", nullptr, code, TestServer::Url(L"/x/size_300000/-/full"), L"h"));
  EXPECT_EQ(code, DownloadCode::DiskFull);
}

TEST(HttpDisk, AFailedWriteWithRoomLeftGivesCode2) {
  TempFolder folder;
  // A file-size limit makes the write fail while the file system has plenty of room.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 100000;
  auto previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  StepCode code = DownloadCode::NoInternet;
  bool ok = DownloadFile(folder / "big.bin", nullptr, code, TestServer::Url(L"/x/size_300000/-/limit"), L"h");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_FALSE(ok);
  EXPECT_EQ(code, DownloadCode::WriteFailed);
}
