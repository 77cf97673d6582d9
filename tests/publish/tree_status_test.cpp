// What a tree says about itself after people and disks touched it: damaged content named with
// every release that holds it, never linked again nor made live again, and a status that says
// what clients are served, whether the signatures expired and what kind of problem it found.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "publish/content_check.h"
#include "publish/prune.h"
#include "publish/release_index.h"
#include "publish/tree_builder.h"
#include "publish/tree_status.h"
#include "publish/tree_writes.h"
#include "publish/verify.h"
#include "services/file_time.h"
#include "services/packed.h"
#include "services/signing.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Content that both packed forms shrink, so that a release holds each file twice.
std::string Compressible(unsigned seed) {
  const std::string words = RandomBytes(4000, seed);
  std::string text;
  for (int i = 0; i < 60; ++i) text += words.substr(i * 37 % 3000, 900) + std::to_string(i);
  return text;
}

class TreeStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Put(v1, "data/a.pak", a);
    Put(v1, "b.txt", Compressible(2));
    Put(v2, "data/a.pak", a);
    Put(v2, "b.txt", Compressible(3));
  }

  static void Put(const TempFolder& release, const std::string& name, const std::string& content) {
    fs::create_directories((release.path() / name).parent_path());
    WriteBytes(release.path() / name, content);
  }

  bool Build(const fs::path& release, const std::wstring& version, const SigningOptions& signing = {}) {
    BuildOptions options;
    options.release = release;
    options.version = version;
    options.out = tree.path();
    options.signing = signing;
    BuildSummary summary;
    error.clear();
    return BuildTree(options, summary, error);
  }

  fs::path Published(const std::string& path) const { return tree.path() / "game" / path; }

  // Writes into a published file where it lies, as `cp` onto a release's path does: every hard
  // link to it (other releases, the store) changes with it.
  static void OverwriteInPlace(const fs::path& file, const std::string& bytes) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::string VerifyJson() {
    std::string json;
    VerifyTree(tree.path(), L"ZepoFolder", nullptr, {}, &json);
    return json;
  }

  std::string StatusJson(bool& clean) {
    std::string json;
    error.clear();
    clean = ShowTreeStatus(tree.path(), L"ZepoFolder", DEFAULT_CHANNEL, error, &json);
    return json;
  }

  const std::string a = Compressible(1);
  TempFolder v1, v2, v3, tree;
  std::string error;
};

}  // namespace

TEST_F(TreeStatusTest, DamagedContentIsNamedWithItsReleasesNeverReusedAndNeverMadeLiveAgain) {
  ASSERT_TRUE(Build(v1.path(), L"1.0")) << error;
  ASSERT_TRUE(Build(v2.path(), L"2.0")) << error;
  const bool linked = fs::equivalent(Published("files/1.0/data/a.pak"), Published("files/2.0/data/a.pak"));
  // A bit flipped through 1.0's path, and 2.0's own zstd form cut short.
  std::string flipped = ReadBytes(Published("files/1.0/data/a.pak"));
  flipped[flipped.size() / 2] ^= 0x10;
  OverwriteInPlace(Published("files/1.0/data/a.pak"), flipped);
  ASSERT_TRUE(fs::exists(Published("files/2.0/b.txt.zst")));
  fs::resize_file(Published("files/2.0/b.txt.zst"), fs::file_size(Published("files/2.0/b.txt.zst")) / 2);

  const std::string verified = VerifyJson();
  EXPECT_NE(verified.find(linked ? "damaged content: game/files/1.0/data/a.pak (also game/files/2.0/data/a.pak, the "
                                   "same file) does not unpack; releases 1.0, 2.0 name it"
                                 : "damaged content: game/files/1.0/data/a.pak does not unpack; release 1.0 name it"),
            std::string::npos)
      << verified;
  EXPECT_NE(verified.find("damaged content: game/files/2.0/b.txt.zst does not unpack; release 2.0 name it"),
            std::string::npos)
      << verified;
  bool clean = true;
  StatusJson(clean);
  EXPECT_FALSE(clean);
  EXPECT_EQ(error, "2 problems: released content is damaged");

  EXPECT_FALSE(RollbackTree(tree.path(), L"ZepoFolder", DEFAULT_CHANNEL, L"1.0", {}, false, error));
  EXPECT_NE(error.find("version 1.0 cannot go live again: 1 of its files are damaged"), std::string::npos) << error;
  EXPECT_EQ(ReleaseIndex::Load(Published("")).live(), L"2.0");

  // The next build packs the damaged contents again instead of linking them, and puts right the
  // release files that shared them.
  Put(v3, "data/a.pak", a);
  Put(v3, "b.txt", Compressible(3));
  ASSERT_TRUE(Build(v3.path(), L"3.0")) << error;
  std::string plain;
  ASSERT_TRUE(UnpackToMemory(Published("files/3.0/data/a.pak"), plain));
  EXPECT_EQ(plain, a);
  if (linked) {
    ASSERT_TRUE(UnpackToMemory(Published("files/1.0/data/a.pak"), plain));
    EXPECT_EQ(plain, a);
    EXPECT_TRUE(RollbackTree(tree.path(), L"ZepoFolder", DEFAULT_CHANNEL, L"1.0", {}, false, error)) << error;
  }
  const std::string after = VerifyJson();
  EXPECT_EQ(after.find("files/3.0"), std::string::npos) << after;
  if (linked) {
    EXPECT_NE(after.find("\"result\": \"ok\""), std::string::npos) << after;
  }
}

TEST_F(TreeStatusTest, StatusSaysWhatClientsAreServedAndWhenSignaturesExpired) {
  SigningOptions signing;
  std::string publicKey;
  ASSERT_TRUE(GenerateSigningKey(signing.privateKey, publicKey));
  ASSERT_TRUE(Build(v1.path(), L"1.0", signing)) << error;
  const std::string index1 = ReadBytes(Published("releases.ini"));
  ASSERT_TRUE(Build(v2.path(), L"2.0", signing)) << error;
  bool clean = false;
  std::string json = StatusJson(clean);
  EXPECT_TRUE(clean) << error;
  EXPECT_NE(json.find("\"signatures_expired\": false"), std::string::npos) << json;

  // Stopped after the lists moved, before the index did.
  WriteBytes(Published("releases.ini"), index1);
  json = StatusJson(clean);
  EXPECT_FALSE(clean);
  EXPECT_NE(json.find("\"live\": \"1.0\", \"served\": \"2.0\""), std::string::npos) << json;
  EXPECT_EQ(error, "2 problems: what clients are served is not what the index says");
  ASSERT_TRUE(Build(v2.path(), L"2.0", signing)) << error;  // the same release again sets it right

  // Signatures past their expiry, and a serial from a clock two hours ahead (status reads the
  // stated times; whose signature it is, is verify's with --public-key).
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  for (const fs::path& sig : {tree.path() / "rootfolder.enc.sig", Published("filelist.enc.sig")}) {
    std::string text = ReadBytes(sig);
    const std::size_t expires = text.find("\nexpires ") + 9, serial = text.find("\nserial ") + 8;
    text.replace(expires, 14, UtcStampOf(now - 3 * 86400 - 60));
    text.replace(serial, text.find('\n', serial) - serial, std::to_string(now + 7200));
    WriteBytes(sig, text);
  }
  json = StatusJson(clean);
  EXPECT_FALSE(clean);
  EXPECT_NE(json.find("\"signature_days_left\": 0, \"signatures_expired\": true"), std::string::npos) << json;
  EXPECT_NE(json.find("more than an hour ahead of this computer's clock"), std::string::npos) << json;
  EXPECT_EQ(error, "1 problem: the live signatures expired");
}

TEST_F(TreeStatusTest, PruneRetiresOldReleasesButNeverTheLiveOneOrTheLastOnes) {
  Put(v1, "only-in-1.txt", "shipped once");
  ASSERT_TRUE(Build(v1.path(), L"1.0")) << error;
  ASSERT_TRUE(Build(v2.path(), L"2.0")) << error;
  Put(v3, "data/a.pak", a + "3");
  Put(v3, "b.txt", Compressible(3));
  ASSERT_TRUE(Build(v3.path(), L"3.0")) << error;
  ASSERT_TRUE(RollbackTree(tree.path(), L"ZepoFolder", DEFAULT_CHANNEL, L"1.0", {}, false, error)) << error;

  // 1.0 is live again and the last one stays: only 2.0 goes.
  ASSERT_TRUE(PruneTree(tree.path(), L"ZepoFolder", {1, L""}, error)) << error;
  ReleaseIndex index = ReleaseIndex::Load(Published(""));
  EXPECT_EQ(IndexedVersions(index), (std::vector<std::wstring>{L"1.0", L"3.0"}));
  EXPECT_FALSE(fs::exists(Published("files/2.0")));
  EXPECT_TRUE(fs::exists(Published("files/1.0/data/a.pak")));
  bool clean = false;
  const std::string status = StatusJson(clean);
  EXPECT_TRUE(clean) << error;
  EXPECT_NE(status.find("\"pruned\": [\"2.0 (on "), std::string::npos) << status;
  EXPECT_NE(VerifyJson().find("\"result\": \"ok\""), std::string::npos);
  EXPECT_FALSE(RollbackTree(tree.path(), L"ZepoFolder", DEFAULT_CHANNEL, L"2.0", {}, false, error));
  EXPECT_NE(error.find("was pruned"), std::string::npos) << error;
  EXPECT_FALSE(Build(v2.path(), L"2.0"));
  EXPECT_NE(error.find("was published and then pruned"), std::string::npos) << error;

  // Stopped after the index was written: the next prune takes the files away. Dates are compared
  // by day, so nothing published today is before today.
  ASSERT_TRUE(Build(v2.path(), L"4.0")) << error;
  index = ReleaseIndex::Load(Published(""));
  index.MarkPruned(L"1.0", IndexDateNow());
  WriteBytes(Published("releases.ini"), index.Text());
  ASSERT_TRUE(PruneTree(tree.path(), L"ZepoFolder", {0, IndexDateNow().substr(0, 10)}, error)) << error;
  EXPECT_FALSE(fs::exists(Published("files/1.0")));
  EXPECT_TRUE(fs::exists(Published("files/3.0")));
  // What the pruned 1.0 alone shipped is still removed from players by a later release, and the
  // store keeps only what kept releases hold.
  ASSERT_TRUE(Build(v3.path(), L"5.0")) << error;
  std::string list;
  ASSERT_TRUE(UnpackToMemory(Published("filelist.enc"), list));
  EXPECT_NE(list.find("[only-in-1.txt]\r\nMethod=Remove"), std::string::npos) << list;
  EXPECT_NE(VerifyJson().find("\"result\": \"ok\""), std::string::npos);
}

// What players download to reach the live version: from a release that holds the same content,
// nothing; from one whose file the live list patches, that patch; from one it does not, the
// whole file; a new installation, every whole file. Pruned releases are not named.
TEST_F(TreeStatusTest, DownloadsToTheLiveAreWhatEachReleasesPlayersFetch) {
  const std::string b2 = Compressible(3);
  Put(v3, "data/a.pak", a);
  Put(v3, "b.txt", b2.substr(0, 30000) + "an edit" + b2.substr(30000));
  ASSERT_TRUE(Build(v1.path(), L"1.0")) << error;
  ASSERT_TRUE(Build(v2.path(), L"2.0")) << error;
  ASSERT_TRUE(Build(v3.path(), L"3.0")) << error;
  const auto size = [&](const std::string& path) { return static_cast<std::uint64_t>(fs::file_size(Published(path))); };
  const std::vector<DownloadFrom> downloads = DownloadsToTheLive(tree.path(), L"ZepoFolder");
  ASSERT_EQ(downloads.size(), 3u);
  EXPECT_EQ(downloads[0].version, L"1.0");
  EXPECT_EQ(downloads[1].version, L"2.0");
  EXPECT_TRUE(downloads[2].version.empty());
  const std::uint64_t whole = size("files/3.0/data/a.pak") + size("files/3.0/b.txt");
  EXPECT_EQ(downloads[2].bytes, whole) << "a new installation fetches every whole file";
  EXPECT_LT(downloads[1].bytes, size("files/3.0/b.txt")) << "2.0's players fetch b.txt's patch, not the file";
  EXPECT_GT(downloads[1].bytes, 0u);
  EXPECT_LE(downloads[0].bytes, size("files/3.0/b.txt")) << "a.pak is the same for 1.0's players";
}

// verify rebuilds every patch from the content its key names: one byte changed in a published
// patch is named, with the whole tree's exit status 1, and the tree is otherwise sound.
TEST_F(TreeStatusTest, VerifyNamesAPatchThatNoLongerRebuildsItsFile) {
  const std::string b2 = Compressible(3);
  Put(v3, "data/a.pak", a);
  Put(v3, "b.txt", b2.substr(0, 30000) + "an edit" + b2.substr(30000));
  ASSERT_TRUE(Build(v2.path(), L"2.0")) << error;
  ASSERT_TRUE(Build(v3.path(), L"3.0")) << error;
  EXPECT_NE(VerifyJson().find("\"result\": \"ok\", \"exit\": 0"), std::string::npos) << VerifyJson();
  fs::path patch;
  for (const auto& entry : fs::recursive_directory_iterator(tree.path() / "game")) {
    const std::string path = entry.path().generic_string();
    if (entry.is_regular_file() && path.find("/patches/") != std::string::npos && entry.path().filename() == "b.txt") {
      patch = entry.path();
    }
  }
  ASSERT_FALSE(patch.empty()) << "no first-format patch of b.txt was published";
  std::string bytes = ReadBytes(patch);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
  fs::permissions(patch, fs::perms::owner_write, fs::perm_options::add);
  WriteBytes(patch, bytes);
  const std::string json = VerifyJson();
  EXPECT_NE(json.find("\"result\": \"problems\", \"exit\": 1"), std::string::npos) << json;
  EXPECT_NE(json.find("b.txt"), std::string::npos) << json;
}
