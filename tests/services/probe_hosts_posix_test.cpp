// POSIX only: a name with many addresses, through the real resolver. A child process gets a
// mount namespace of its own in which a hosts file of the test's stands in for /etc/hosts.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "services/probe.h"
#include "services/probe_internal.h"
#include "services/text.h"
#include "support/temp_folder.h"

namespace {

// Runs ProbeServers in the child and returns its list, one address per line; "skip" when the
// namespace cannot be made.
std::string ProbeWithHosts(const std::string& hosts, const std::wstring& name) {
  TempFolder folder;
  WriteBytes(folder.path() / "hosts", hosts);
  int out[2];
  if (pipe(out) != 0) return "skip";
  pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    std::string result;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount((folder.path() / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
      result = "skip";
    } else {
      std::vector<std::wstring> addresses;
      ProbeServers(name, addresses);
      for (const auto& a : addresses) result += WideToUtf8(a) + "\n";
    }
    ssize_t ignored = write(out[1], result.data(), result.size());
    (void)ignored;
    _exit(0);
  }
  close(out[1]);
  std::string result;
  char buffer[512];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  waitpid(child, nullptr, 0);
  return result;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

}  // namespace

TEST(ProbeServersResolving, ANameWithTwentyAddressesGivesSixteen) {
  std::string hosts = "127.0.0.1 localhost\n";
  for (int i = 1; i <= 20; ++i) hosts += "127.0.0." + std::to_string(i) + " patch.zepo.test\n";
  const std::string result = ProbeWithHosts(hosts, L"patch.zepo.test:8080");
  if (result == "skip") GTEST_SKIP() << "no mount namespace for a hosts file of our own here";
  const auto lines = Lines(result);
  ASSERT_EQ(lines.size(), 16u) << result;
  std::set<std::string> expected;
  for (int i = 1; i <= 16; ++i) expected.insert("127.0.0." + std::to_string(i) + ":8080");
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected) << "the resolver's first sixteen";
}

TEST(ProbeServersResolving, ANameWithOneAddressIsTakenAsItIs) {
  const std::string result = ProbeWithHosts("127.0.0.7 single.zepo.test\n", L"http://single.zepo.test/path");
  if (result == "skip") GTEST_SKIP() << "no mount namespace for a hosts file of our own here";
  EXPECT_EQ(result, "127.0.0.7\n");
  EXPECT_EQ(ProbeWithHosts("127.0.0.7 single.zepo.test\n", L"other.zepo.test"), "");
}
