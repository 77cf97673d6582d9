// The stager and the committer through a content source of the test's own: the seam where a LAN
// peer or a chunk store would plug in takes a source that is not the patch server, and the rest
// of a file's way (verification, fallback to the next form, copies of content the run already
// has, the move into the installation) is the same.
#include "engine/stager.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "engine/committer.h"
#include "protocol/chunks.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/packed2.h"
#include "services/signing.h"
#include "services/text.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Packed forms kept in memory by URL; every fetch is recorded. Chunks are brought by several
// threads at once.
class MemorySource final : public ContentSource {
 public:
  bool Bring(FileEntry& entry, const std::wstring& path) override {
    std::lock_guard<std::mutex> guard(lock);
    asked.push_back(entry.Url());
    const auto found = forms.find(entry.Url());
    if (found == forms.end()) {
      entry.outcome.code = DownloadCode::NotFound;
      entry.outcome.cause = L"no such form here";
      return false;
    }
    FileHandle out = FileHandle::CreateForWrite(path);
    return out.Write(found->second.data(), found->second.size());
  }
  bool BringRange(FileEntry& entry, const std::wstring& path, std::uint64_t from, std::uint64_t length) override {
    std::lock_guard<std::mutex> guard(lock);
    asked.push_back(entry.Url() + L"#" + std::to_wstring(from) + L"-" + std::to_wstring(from + length));
    const auto found = forms.find(entry.Url());
    if (found == forms.end() || from + length > found->second.size()) {
      entry.outcome.code = DownloadCode::NotFound;
      entry.outcome.cause = L"no such range here";
      return false;
    }
    FileHandle out = FileHandle::CreateForWrite(path);
    const std::uint64_t sent = std::min(length, cutRangesAfter);
    if (!out.Write(found->second.data() + from, sent)) return false;
    if (sent == length) return true;
    entry.outcome.code = DownloadCode::ShortBody;
    entry.outcome.cause = L"the connection closed";
    return false;
  }
  bool DownloadLength(const FileEntry& entry, std::uint64_t& length) const override {
    const auto found = forms.find(entry.Url());
    length = found == forms.end() ? 0 : found->second.size();
    return found != forms.end();
  }
  std::map<std::wstring, std::string> forms;
  std::vector<std::wstring> asked;
  std::uint64_t cutRangesAfter = UINT64_MAX;  // a range's connection closes after these bytes
  std::mutex lock;
};

const std::string CONTENT = "the new content of b.dat, which the list vouches for";
const std::wstring TIME = L"31295408:4082461000";  // a file time, as lists give it

class StagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(staging.Open(L"stamp-1")); }

  FileEntry& Entry(WorkPlan::EntryList& list, const std::wstring& target, std::vector<ContentOffer> offers,
                   const std::string& content = CONTENT) {
    auto entry = std::make_unique<FileEntry>();
    entry->target = target;
    entry->dateTime = WideToUtf8(TIME);
    entry->checksum = WideToUtf8(Md5OfBytes(content.data(), content.size()));
    entry->size = std::to_string(content.size());
    entry->fallbacks = std::move(offers);
    TakeNextOffer(*entry);
    list.push_back(std::move(entry));
    return *list.back();
  }

  // What the stager does for one entry in the run: fetch, stage, and the next form on failure.
  bool StageWithFallback(FileEntry& entry) {
    for (;;) {
      if (stager.FetchEntry(entry) && stager.StageEntry(entry)) return true;
      if (!stager.FallBack(entry)) return false;
    }
  }

  TempFolder folder;
  InFolder in{folder.path()};
  WorkPlan plan;
  MemorySource source;
  StagingArea staging{L"update\\"};
  ReleaseTrust trust{""};
  Stager stager{staging, plan, source, trust};
  Committer committer{staging, plan, L"update\\"};
};

}  // namespace

TEST_F(StagerTest, AFormThatIsNotTheListedContentGivesWayAndTheNextIsCommitted) {
  source.forms[L"mem://b.dat.bad"] = PackBytes("other bytes entirely", 9);
  source.forms[L"mem://b.dat"] = PackBytes(CONTENT, 9);
  FileEntry& entry = Entry(plan.updates, L"data\\b.dat",
                           {{"mem://b.dat.bad", ContentForm::Whole}, {"mem://b.dat", ContentForm::Whole}});
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(source.asked, (std::vector<std::wstring>{L"mem://b.dat.bad", L"mem://b.dat"}));
  EXPECT_FALSE(fs::exists(folder.path() / "data" / "b.dat"));  // staged, not yet installed

  ASSERT_TRUE(committer.CommitEntry(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(ReadBytes(folder.path() / "data" / "b.dat"), CONTENT);
  std::wstring time;
  GetFileTimeText(L"data\\b.dat", time);
  EXPECT_EQ(time, TIME);
}

TEST_F(StagerTest, NoFormLeftFailsTheEntryWithTheSourcesCause) {
  FileEntry& entry = Entry(plan.updates, L"b.dat", {{"mem://missing", ContentForm::Whole}});
  EXPECT_FALSE(StageWithFallback(entry));
  EXPECT_EQ(entry.outcome.code, DownloadCode::NotFound);
  EXPECT_EQ(entry.outcome.cause, L"no such form here");
  EXPECT_FALSE(entry.staged);
}

TEST_F(StagerTest, ContentTheRunAlreadyStagedIsCopiedNotFetchedAgain) {
  source.forms[L"mem://a.dat"] = PackBytes(CONTENT, 9);
  FileEntry& first = Entry(plan.updates, L"a.dat", {{"mem://a.dat", ContentForm::Whole}});
  FileEntry& repeat = Entry(plan.updates, L"copy\\a.dat", {{"mem://copy/a.dat", ContentForm::Whole}});
  plan.repeats.insert(&repeat);
  ASSERT_TRUE(StageWithFallback(first));
  ASSERT_TRUE(StageWithFallback(repeat)) << WideToUtf8(repeat.outcome.cause);
  EXPECT_TRUE(repeat.copied);
  EXPECT_EQ(source.asked, (std::vector<std::wstring>{L"mem://a.dat"}));
  ASSERT_TRUE(committer.CommitEntry(first));
  ASSERT_TRUE(committer.CommitEntry(repeat));
  EXPECT_EQ(ReadBytes(folder.path() / "copy" / "a.dat"), CONTENT);
}

namespace {

// Serves content in chunks under mem://p/ as a tree does, each chunk alone or all in one pack;
// the URL of its index.
std::wstring ServeInChunks(MemorySource& source, const std::string& content, bool inPack = false) {
  ChunkIndex index;
  index.fileSize = content.size();
  std::string pack;
  for (std::size_t at = 0; at < content.size();) {
    const std::size_t length =
        ChunkLength(reinterpret_cast<const std::uint8_t*>(content.data()) + at, content.size() - at);
    const std::string plain = content.substr(at, length);
    const std::string packed = Pack2Bytes(plain, 3);
    index.chunks.push_back({Sha256Hex(plain), static_cast<std::uint32_t>(length),
                            static_cast<std::uint32_t>(packed.size()), "", inPack ? pack.size() : 0});
    if (inPack) pack += packed;
    if (!inPack) source.forms[L"mem://p/" + ChunkObjectName(index.chunks.back().sha256)] = packed;
    at += length;
  }
  if (inPack) {
    for (ChunkRef& chunk : index.chunks) chunk.pack = Sha256Hex(pack);
    source.forms[L"mem://p/" + ChunkPackName(Sha256Hex(pack))] = pack;
  }
  const std::string bytes = index.Encode();
  const std::wstring url = L"mem://p/" + ChunkIndexName(Sha256Hex(bytes));
  source.forms[url] = bytes;
  return url;
}

std::size_t ChunksAsked(const MemorySource& source) {
  std::size_t count = 0;
  for (const std::wstring& url : source.asked) {
    count += url.find(L"/chunks/") != std::wstring::npos && url.find(L".index") == std::wstring::npos ? 1 : 0;
  }
  return count;
}

}  // namespace

class ChunkStagerTest : public StagerTest {
 protected:
  void SetUp() override {
    StagerTest::SetUp();
    old = RandomBytes(2 << 20, 7);
    fresh = old;
    fresh.replace(1 << 20, 100000, RandomBytes(100000, 8));
    index = ServeInChunks(source, fresh);
    source.forms[L"mem://pack.dat"] = PackBytes(fresh, 1);
  }
  FileEntry& PackEntry() {
    return Entry(plan.updates, L"pack.dat", {{WideToUtf8(index), ContentForm::Chunks}, {"mem://pack.dat", ContentForm::Whole}},
                 fresh);
  }
  std::string old, fresh;
  std::wstring index;
};

TEST_F(ChunkStagerTest, AChangedFileIsBuiltFromTheChunksItHoldsAndOnlyTheOthersAreFetched) {
  std::ofstream(folder.path() / "pack.dat", std::ios::binary) << old;
  FileEntry& entry = PackEntry();
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(source.asked.front(), index);
  // The 100,000 changed bytes lie in at most three chunks of a 64 KiB average; the whole form
  // is never asked for.
  EXPECT_GE(ChunksAsked(source), 1u);
  EXPECT_LE(ChunksAsked(source), 4u);
  EXPECT_EQ(std::count(source.asked.begin(), source.asked.end(), L"mem://pack.dat"), 0);
  EXPECT_LT(entry.fetchedBytes, 4 * CHUNK_MAX);
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "pack.dat"), fresh);
}

TEST_F(ChunkStagerTest, AChunkThatIsNotItsNameFailsTheFormAndTheWholeFileIsTaken) {
  std::ofstream(folder.path() / "pack.dat", std::ios::binary) << old;
  for (auto& [url, bytes] : source.forms) {
    // Every chunk served is another's bytes.
    if (url.find(L"/chunks/") != std::wstring::npos && url.find(L".index") == std::wstring::npos) {
      bytes = Pack2Bytes(RandomBytes(CHUNK_MIN, 9), 3);
    }
  }
  FileEntry& entry = PackEntry();
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(source.asked.back(), L"mem://pack.dat");
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "pack.dat"), fresh);
}

TEST_F(ChunkStagerTest, AFileOfWhichTheInstallationHoldsLittleComesWhole) {
  // An earlier version of other content: its index shows that nothing is held.
  std::ofstream(folder.path() / "pack.dat", std::ios::binary) << RandomBytes(1 << 20, 11);
  FileEntry& entry = PackEntry();
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(source.asked, (std::vector<std::wstring>{index, L"mem://pack.dat"}));
}

TEST_F(ChunkStagerTest, ANewFileThatNothingInstalledMayHoldComesWholeWithoutItsIndex) {
  FileEntry& entry = PackEntry();  // no earlier version, no removal, no vouched content elsewhere
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(source.asked, (std::vector<std::wstring>{L"mem://pack.dat"}));
}

TEST_F(ChunkStagerTest, ANewFileAsksItsIndexWhenTheRunReplacesContentTheLastListVouchesFor) {
  Entry(plan.updates, L"other.dat", {{"mem://other.dat", ContentForm::Whole}}, "other").heldChunks =
      std::string(64, 'a');
  FileEntry& entry = PackEntry();
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(source.asked.front(), index);
}

TEST_F(ChunkStagerTest, ChunksThatAFailedRunDownloadedAreNotFetchedAgain) {
  std::string damaged = fresh;
  for (std::size_t at = 100000; at < damaged.size(); at += 500000) damaged[at] ^= 1;  // four flipped bytes
  std::ofstream(folder.path() / "pack.dat", std::ios::binary) << damaged;
  // The first run finds every damaged chunk but the first on the server; it ends with nothing
  // staged.
  const auto held = source.forms;
  std::size_t at = 0, length = 0;
  for (;; at += length) {
    length = ChunkLength(reinterpret_cast<const std::uint8_t*>(fresh.data()) + at, fresh.size() - at);
    if (at + length > 100000) break;
  }
  source.forms.erase(L"mem://p/" + ChunkObjectName(Sha256Hex(fresh.substr(at, length))));
  FileEntry& entry = Entry(plan.updates, L"pack.dat", {{WideToUtf8(index), ContentForm::Chunks}}, fresh);
  EXPECT_FALSE(StageWithFallback(entry));
  // A failure stops the downloads not yet begun; those that arrived stay staged.
  const std::size_t arrived = ChunksAsked(source) - 1;
  // The next run of the same list asks for the one it lacks.
  source.forms = held;
  source.asked.clear();
  entry.fallbacks = {{WideToUtf8(index), ContentForm::Chunks}};
  TakeNextOffer(entry);
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(ChunksAsked(source), 4u - arrived);
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "pack.dat"), fresh);
}

// Chunks in a pack, as trees serve them: the requests for a file's missing chunks, one per run.
class PackedChunkStagerTest : public ChunkStagerTest {
 protected:
  void SetUp() override {
    ChunkStagerTest::SetUp();
    packed = ServeInChunks(source, fresh, true);
    ASSERT_TRUE(index.Decode(source.forms[packed]));
  }
  FileEntry& ChunksOnlyEntry() {
    return Entry(plan.updates, L"pack.dat", {{WideToUtf8(packed), ContentForm::Chunks}}, fresh);
  }
  // The ranges of packs asked for, as "#FROM-TO".
  std::vector<std::wstring> Ranges() const {
    std::vector<std::wstring> asked;
    for (const std::wstring& url : source.asked) {
      if (url.find(L".pack#") != std::wstring::npos) asked.push_back(url.substr(url.find(L'#')));
    }
    return asked;
  }
  std::uint64_t PackedUpTo(std::size_t chunks) const {
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < chunks; ++i) bytes += index.chunks[i].packed;
    return bytes;
  }
  std::wstring packed;
  ChunkIndex index;
};

// A file that nothing installed holds comes in one request for its pack; a run whose connection
// closes keeps its whole chunks, and the next run asks for the rest only.
TEST_F(PackedChunkStagerTest, AFreshFileComesInOneRequestAndACutRunKeepsItsWholeChunks) {
  const std::uint64_t all = index.PackedBytes();
  source.cutRangesAfter = PackedUpTo(3) + 100;
  FileEntry& entry = ChunksOnlyEntry();
  EXPECT_FALSE(StageWithFallback(entry));
  EXPECT_EQ(source.asked.size(), 2u);  // the index and the pack
  EXPECT_EQ(Ranges(), (std::vector<std::wstring>{L"#0-" + std::to_wstring(all)}));

  source.cutRangesAfter = UINT64_MAX;
  source.asked.clear();
  entry.fallbacks = {{WideToUtf8(packed), ContentForm::Chunks}};
  TakeNextOffer(entry);
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(Ranges(), (std::vector<std::wstring>{L"#" + std::to_wstring(PackedUpTo(3)) + L"-" + std::to_wstring(all)}));
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "pack.dat"), fresh);
}

// Where the tree keeps no whole form, the pack that is a file's chunks comes whole for a file that
// nothing installed holds: one request, no index; a pack that makes more than the file is refused.
TEST_F(PackedChunkStagerTest, AFreshFileTakesThePackThatIsItsChunksInOneRequest) {
  const std::wstring pack = L"mem://p/" + ChunkPackName(index.chunks.front().pack);
  const auto offers = [&] {
    return std::vector<ContentOffer>{{WideToUtf8(packed), ContentForm::Chunks}, {WideToUtf8(pack), ContentForm::ChunkPack}};
  };
  FileEntry& entry = Entry(plan.updates, L"pack.dat", offers(), fresh);
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(source.asked, (std::vector<std::wstring>{pack}));
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "pack.dat"), fresh);

  fs::remove(folder.path() / "pack.dat");
  source.forms[pack] += Pack2Bytes("one chunk more", 3);
  FileEntry& longer = Entry(plan.updates, L"longer.dat", offers(), fresh);
  EXPECT_FALSE(StageWithFallback(longer));
  EXPECT_NE(longer.outcome.cause.find(L"does not unpack to at most"), std::wstring::npos) << WideToUtf8(longer.outcome.cause);
}

TEST_F(PackedChunkStagerTest, AnEditsChunksComeInOneRequestForTheirRun) {
  std::ofstream(folder.path() / "pack.dat", std::ios::binary) << old;
  FileEntry& entry = ChunksOnlyEntry();
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_EQ(Ranges().size(), 1u);
  EXPECT_LT(entry.fetchedBytes, 4 * CHUNK_MAX);
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "pack.dat"), fresh);
}

TEST_F(ChunkStagerTest, TheIndexOfTheInstalledContentPlacesItsChunksUnlessTheFileChangedSince) {
  // The last finished run's list vouches for the installed file: its chunks are placed by the
  // index of that content, which is fetched; the file itself is read only to build the new one.
  const std::wstring oldIndex = ServeInChunks(source, old);
  const std::string oldName = WideToUtf8(oldIndex.substr(oldIndex.rfind(L'/') + 1, 64));
  std::ofstream(folder.path() / "pack.dat", std::ios::binary) << old;
  FileEntry& entry = PackEntry();
  entry.heldChunks = oldName;
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_NE(std::find(source.asked.begin(), source.asked.end(), oldIndex), source.asked.end());
  EXPECT_LE(ChunksAsked(source), 4u);
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "pack.dat"), fresh);

  // A file changed within the minute of that list's time is not what the index says: the build
  // fails its digest, and its chunks are found again by reading it, not by taking the whole file.
  std::string changed = old;
  changed[(1 << 20) + 300000] ^= 1;
  std::ofstream(folder.path() / "pack.dat", std::ios::binary | std::ios::trunc) << changed;
  source.asked.clear();
  FileEntry& again = Entry(plan.updates, L"pack.dat",
                           {{WideToUtf8(index), ContentForm::Chunks}, {"mem://pack.dat", ContentForm::Whole}}, fresh);
  again.heldChunks = oldName;
  ASSERT_TRUE(StageWithFallback(again)) << WideToUtf8(again.outcome.cause);
  EXPECT_EQ(std::count(source.asked.begin(), source.asked.end(), L"mem://pack.dat"), 0);
  ASSERT_TRUE(committer.CommitEntry(again));
  EXPECT_EQ(ReadBytes(folder.path() / "pack.dat"), fresh);
}

TEST_F(ChunkStagerTest, ANewNameTakesTheChunksOfTheFileOfThatNameTheRunRemoves) {
  // A renamed folder: the list names new\pack.dat and removes old\pack.dat, which holds most of it.
  fs::create_directories(folder.path() / "old");
  std::ofstream(folder.path() / "old" / "pack.dat", std::ios::binary) << old;
  plan.removals.push_back({L"old\\pack.dat", false});
  plan.removals.push_back({L"old\\other.dat", false});
  FileEntry& entry =
      Entry(plan.updates, L"new\\pack.dat", {{WideToUtf8(index), ContentForm::Chunks}, {"mem://pack.dat", ContentForm::Whole}}, fresh);
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_LE(ChunksAsked(source), 4u);
  EXPECT_EQ(std::count(source.asked.begin(), source.asked.end(), L"mem://pack.dat"), 0);
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "new" / "pack.dat"), fresh);
}

TEST_F(ChunkStagerTest, ANewFileTakesTheChunksOfAnotherFileTheRunRemovesByThatFilesVouchedIndex) {
  // Two packs merged into one the run removes; a new pack of another name holds its second half.
  const std::wstring oldIndex = ServeInChunks(source, old);
  std::ofstream(folder.path() / "merged.dat", std::ios::binary) << old;
  plan.removals.push_back({L"merged.dat", false, WideToUtf8(oldIndex.substr(oldIndex.rfind(L'/') + 1, 64))});
  const std::string half = old.substr(1 << 20);
  const std::wstring halfIndex = ServeInChunks(source, half);
  source.forms[L"mem://half.dat"] = PackBytes(half, 1);
  FileEntry& entry = Entry(plan.updates, L"half.dat",
                           {{WideToUtf8(halfIndex), ContentForm::Chunks}, {"mem://half.dat", ContentForm::Whole}}, half);
  source.asked.clear();
  ASSERT_TRUE(StageWithFallback(entry)) << WideToUtf8(entry.outcome.cause);
  EXPECT_NE(std::find(source.asked.begin(), source.asked.end(), oldIndex), source.asked.end());
  // Only the chunk cut where the half begins is new.
  EXPECT_LE(ChunksAsked(source), 2u);
  EXPECT_EQ(std::count(source.asked.begin(), source.asked.end(), L"mem://half.dat"), 0);
  ASSERT_TRUE(committer.CommitEntry(entry));
  EXPECT_EQ(ReadBytes(folder.path() / "half.dat"), half);
}
