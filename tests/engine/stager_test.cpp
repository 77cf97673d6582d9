// The stager and the committer through a content source of the test's own: the seam where a LAN
// peer or a chunk store would plug in takes a source that is not the patch server, and the rest
// of a file's way (verification, fallback to the next form, copies of content the run already
// has, the move into the installation) is the same.
#include "engine/stager.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/committer.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/packed.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Packed forms kept in memory by URL; every fetch is recorded.
class MemorySource final : public ContentSource {
 public:
  bool Bring(FileEntry& entry, const std::wstring& path) override {
    asked.push_back(entry.url);
    const auto found = forms.find(entry.url);
    if (found == forms.end()) {
      entry.outcome.code = DownloadCode::NotFound;
      entry.outcome.cause = L"no such form here";
      return false;
    }
    FileHandle out = FileHandle::CreateForWrite(path);
    return out.Write(found->second.data(), found->second.size());
  }
  bool DownloadLength(const FileEntry& entry, std::uint64_t& length) const override {
    const auto found = forms.find(entry.url);
    length = found == forms.end() ? 0 : found->second.size();
    return found != forms.end();
  }
  std::map<std::wstring, std::string> forms;
  std::vector<std::wstring> asked;
};

const std::string CONTENT = "the new content of b.dat, which the list vouches for";
const std::wstring TIME = L"31295408:4082461000";  // a file time, as lists give it

class StagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(staging.Open(L"stamp-1")); }

  FileEntry& Entry(WorkPlan::EntryList& list, const std::wstring& target, std::vector<ContentOffer> offers) {
    auto entry = std::make_unique<FileEntry>();
    entry->target = target;
    entry->localPath = L"update\\" + target;
    entry->dateTime = TIME;
    entry->checksum = Md5OfBytes(CONTENT.data(), CONTENT.size());
    entry->size = std::to_wstring(CONTENT.size());
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
                           {{L"mem://b.dat.bad", ContentForm::Whole}, {L"mem://b.dat", ContentForm::Whole}});
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
  FileEntry& entry = Entry(plan.updates, L"b.dat", {{L"mem://missing", ContentForm::Whole}});
  EXPECT_FALSE(StageWithFallback(entry));
  EXPECT_EQ(entry.outcome.code, DownloadCode::NotFound);
  EXPECT_EQ(entry.outcome.cause, L"no such form here");
  EXPECT_FALSE(entry.staged);
}

TEST_F(StagerTest, ContentTheRunAlreadyStagedIsCopiedNotFetchedAgain) {
  source.forms[L"mem://a.dat"] = PackBytes(CONTENT, 9);
  FileEntry& first = Entry(plan.updates, L"a.dat", {{L"mem://a.dat", ContentForm::Whole}});
  FileEntry& repeat = Entry(plan.updates, L"copy\\a.dat", {{L"mem://copy/a.dat", ContentForm::Whole}});
  plan.repeats.insert(&repeat);
  ASSERT_TRUE(StageWithFallback(first));
  ASSERT_TRUE(StageWithFallback(repeat)) << WideToUtf8(repeat.outcome.cause);
  EXPECT_TRUE(repeat.copied);
  EXPECT_EQ(source.asked, (std::vector<std::wstring>{L"mem://a.dat"}));
  ASSERT_TRUE(committer.CommitEntry(first));
  ASSERT_TRUE(committer.CommitEntry(repeat));
  EXPECT_EQ(ReadBytes(folder.path() / "copy" / "a.dat"), CONTENT);
}
