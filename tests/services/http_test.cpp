// The HTTP contract: the same suite runs against whichever back end was built (libcurl natively,
// WinINet under Wine), on the loopback test server.
#include "services/http.h"
#include "services/http_internal.h"
#include "services/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>

#include "support/temp_folder.h"
#include "support/test_server.h"

namespace fs = std::filesystem;

namespace {

struct Recorder : IStatusCallback {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  std::size_t cancelAt = SIZE_MAX;  // answer false at this call
  bool OnCheckFile(const std::wstring&) override { return true; }
  bool OnDownloadProgress(std::uint64_t done, std::uint64_t total) override {
    calls.emplace_back(done, total);
    return calls.size() - 1 != cancelAt;
  }
};

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((7 * i + 3) & 255);
  return bytes;
}

// Compares file contents without printing megabytes when they differ.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at " << at;
}

// A token that no earlier run of the suite has sent to the server.
std::string Unique(const std::string& name) {
  static const std::string run = std::to_string(std::random_device()());
  return name + "-" + run;
}

// A made-up answer of the test server; the token makes the request findable in its log.
std::wstring Shaped(const std::string& directives, const std::string& token) {
  return TestServer::Url(L"/x/" + std::wstring(directives.begin(), directives.end()) + L"/-/" +
                         std::wstring(token.begin(), token.end()));
}

class Http : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(TestServer::Address().empty()) << "the test server is not running"; }
  void TearDown() override { SetHttpLimits(HttpLimits{}); }
  TempFolder folder;
  Recorder progress;
  StepCode code = DownloadCode::NoInternet;
};

}  // namespace

TEST_F(Http, DownloadsTheWholeBodyInChunksWithProgress) {
  ASSERT_TRUE(DownloadFile(folder / "out.bin", &progress, code, Shaped("size_200000", "whole"), L"patch.example.net"));
  EXPECT_TRUE(code.Succeeded());
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "out.bin"), Pattern(200000)));
  ASSERT_GE(progress.calls.size(), 2u);
  EXPECT_EQ(progress.calls.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{0}));
  EXPECT_EQ(progress.calls.back(), std::make_pair(std::uint64_t{200000}, std::uint64_t{200000}));
  for (std::size_t i = 1; i < progress.calls.size(); ++i) {
    EXPECT_EQ(progress.calls[i].second, 200000u);
    EXPECT_GT(progress.calls[i].first, progress.calls[i - 1].first);
    EXPECT_LE(progress.calls[i].first - progress.calls[i - 1].first, 65536u);
  }
}

TEST_F(Http, SendsTheSameRequestOnEveryBackEnd) {
  const std::string shape = Unique("request-shape");
  const std::string noHost = Unique("request-nohost");
  ASSERT_TRUE(DownloadFile(folder / "a", nullptr, code, Shaped("size_10", shape), L"patch.example.net"));
  ASSERT_TRUE(DownloadFile(folder / "b", nullptr, code, Shaped("size_10", noHost), L""));
  auto named = TestServer::RequestsWith(shape);
  auto unnamed = TestServer::RequestsWith(noHost);
  ASSERT_EQ(named.size(), 1u);
  ASSERT_EQ(unnamed.size(), 1u);
  EXPECT_EQ(named[0].substr(0, named[0].find("\r\n")), "GET /x/size_10/-/" + shape + " HTTP/1.1");
  EXPECT_EQ(HeaderOf(named[0], "Host"), "patch.example.net");
  EXPECT_EQ(HeaderOf(named[0], "User-Agent"), "<absent>");
  EXPECT_EQ(HeaderOf(named[0], "Pragma"), "no-cache");
  EXPECT_EQ(HeaderOf(named[0], "Accept"), "*/*");
  // Without a host name of ours, the Host header is the URL's own address, sent once.
  std::wstring address = TestServer::Address();
  EXPECT_EQ(HeaderOf(unnamed[0], "Host"), std::string(address.begin(), address.end()));
}

TEST_F(Http, EncodesThePathTheSameWayEverywhere) {
  const std::string token = Unique("path");
  const std::wstring url =
      TestServer::Url(L"/x/size_3/-/" + std::wstring(token.begin(), token.end()) + L"\\Th\u1eed l\u1ea1i\\50%&a=b?.pak");
  ASSERT_TRUE(DownloadFile(folder / "out", nullptr, code, url, L"h"));
  auto heads = TestServer::RequestsWith(token);
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0].substr(0, heads[0].find("\r\n")),
            "GET /x/size_3/-/" + token + "/Th%E1%BB%AD%20l%E1%BA%A1i/50%25%26a%3Db%3F.pak HTTP/1.1");
  EXPECT_EQ(RequestUrl(L"http://10.0.0.1:8080/a b\\c"), "http://10.0.0.1:8080/a%20b/c");
}

TEST_F(Http, RefusedAnswersCreateNoFile) {
  const std::pair<const char*, const char*> cases[] = {
      {"status_404/size_20", "not-found"},     {"status_500/size_20", "server-error"},
      {"status_204", "no-content"},            {"announce_none/size_20", "no-length"},
      {"chunked/size_70000", "chunked"},
      {"status_302/redirect/size_20", "redirect"},  // never followed, on either back end
      {"size_5/announce2_3", "two-lengths"},         // which one would be the truth?
      {"size_5/announceraw_-1", "negative-length"},
      {"size_5/announceraw_5x", "bad-length"},
      {"status_2000/size_20", "bad-status-line"},  // "HTTP/1.1 2000 Status" is no HTTP answer
  };
  for (const auto& [directives, token] : cases) {
    code = StepCode();
    EXPECT_FALSE(DownloadFile(folder / token, nullptr, code, Shaped(directives, token), L"h")) << token;
    // A missing file has a code of its own: asking again is no use.
    EXPECT_EQ(code, std::string(token) == "not-found" ? DownloadCode::NotFound : DownloadCode::RequestFailed) << token;
    EXPECT_FALSE(fs::exists(folder.path() / token)) << token;
  }
  EXPECT_TRUE(DownloadFile(folder / "partial", nullptr, code, Shaped("status_206/size_20", "partial"), L"h"));
}

// Heads that HTTP allows but that are rarely sent: lines ended by a bare LF, and interim answers
// whose headers (a stamp, a range, even a length) belong to no file and must be forgotten.
TEST_F(Http, BareLineFeedsAndInterimAnswersAreReadAsHttpAllows) {
  for (const char* directives : {"lf/size_3000", "interim_103/size_3000", "interim_103/lf/size_3000"}) {
    code = StepCode();
    const std::string name = std::string("head-") + std::to_string(std::hash<std::string>()(directives));
    EXPECT_TRUE(DownloadFile(folder / name, nullptr, code, Shaped(directives, Unique(name)), L"h")) << directives;
    EXPECT_TRUE(code.Succeeded()) << directives;
    EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / name), Pattern(3000))) << directives;

    std::wstring stamp;
    FetchIfStampDiffers(folder / (name + "-time"), Shaped(directives, Unique(name + "-time")), L"h", L"", stamp, code);
    EXPECT_EQ(stamp, L"20121105140309") << directives;
  }
  // The final answer has no stamp: the interim answer's is not taken in its place.
  std::wstring stamp = L"stale";
  EXPECT_EQ(FetchIfStampDiffers(folder / "notime", Shaped("interim_103/lastmod_none/size_5", Unique("interim-notime")),
                                L"h", L"", stamp, code),
            StampedFetch::NoStamp);
  EXPECT_EQ(stamp, L"");
  // An interim answer's Content-Range does not make a resumed download continue at a wrong place.
  WriteBytes(folder.path() / "resumed", Pattern(1));
  WriteBytes(folder.path() / "resumed.lm", "Mon, 05 Nov 2012 14:03:09 GMT");
  ASSERT_TRUE(ResumeDownloadFile(folder / "resumed", nullptr, code, Shaped("interim_103/size_4000", Unique("ir")), L"h"));
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "resumed"), Pattern(4000)));
}

TEST_F(Http, EveryFailedDownloadSaysWhy) {
  const std::pair<const char*, const char*> cases[] = {
      {"status_500/size_20", "the server answered 500"},
      {"status_404", "the server answered 404"},
      {"size_5/announce2_3", "2 Content-Length headers"},
      {"size_5/announceraw_-1", "Content-Length"},
      {"announce_none/size_20", "no Content-Length"},
      {"size_100/close_10", "the body ended after 10 of 100 bytes"},
  };
  for (const auto& [directives, cause] : cases) {
    EXPECT_FALSE(DownloadFile(folder / "out", nullptr, code, Shaped(directives, Unique("why")), L"h"));
    EXPECT_NE(WideToUtf8(LastDownloadCause()).find(cause), std::string::npos)
        << directives << ": " << WideToUtf8(LastDownloadCause());
  }
  EXPECT_FALSE(DownloadFile(folder / "out", nullptr, code, L"http://127.0.0.1:1/file", L"h"));
  EXPECT_FALSE(LastDownloadCause().empty());
  EXPECT_FALSE(DownloadFile(folder / "no\\such\\folder\\out", nullptr, code, Shaped("size_5", "why-create"), L"h"));
  EXPECT_EQ(code, DownloadCode::CannotCreate);
  EXPECT_NE(WideToUtf8(LastDownloadCause()).find("cannot create ["), std::string::npos);
  EXPECT_TRUE(DownloadFile(folder / "out", nullptr, code, Shaped("size_5", "why-not"), L"h"));
  EXPECT_EQ(LastDownloadCause(), L"");
}

TEST_F(Http, UnreachableServerFailsWithRequestCode) {
  EXPECT_FALSE(DownloadFile(folder / "out", nullptr, code, L"http://127.0.0.1:1/file", L"h"));
  EXPECT_EQ(code, DownloadCode::RequestFailed);
  EXPECT_FALSE(DownloadFile(folder / "out", nullptr, code, Shaped("size_1", "long-host"), std::wstring(252, L'h')));
  EXPECT_EQ(code, DownloadCode::RequestFailed);
  EXPECT_TRUE(DownloadFile(folder / "out", nullptr, code, Shaped("size_1", "long-host-ok"), std::wstring(251, L'h')));
}

TEST_F(Http, EmptyBodyMakesAnEmptyFile) {
  ASSERT_TRUE(DownloadFile(folder / "empty", &progress, code, Shaped("size_0", "empty"), L"h"));
  EXPECT_TRUE(fs::exists(folder.path() / "empty"));
  EXPECT_EQ(fs::file_size(folder.path() / "empty"), 0u);
  EXPECT_EQ(progress.calls, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 0}}));
}

TEST_F(Http, AShortBodyFailsAsShortAndKeepsWhatCame) {
  for (const char* directives : {"size_100000/announce_150000", "size_100000/close_70000"}) {
    code = StepCode();
    EXPECT_FALSE(DownloadFile(folder / "short", nullptr, code, Shaped(directives, "short"), L"h")) << directives;
    EXPECT_EQ(code, DownloadCode::ShortBody) << directives;
    const std::size_t expected = std::string(directives).find("close") != std::string::npos ? 70000 : 100000;
    EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "short"), Pattern(expected))) << directives;
  }
}

TEST_F(Http, BytesPastTheAnnouncedLengthAreNotPartOfTheFile) {
  EXPECT_TRUE(DownloadFile(folder / "long", nullptr, code, Shaped("size_3000/announce_1000", "long"), L"h"));
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "long"), Pattern(1000)));
}

TEST_F(Http, CancellingStopsAtOnceOrAfterAChunk) {
  progress.cancelAt = 0;
  const std::string token = Unique("cancel-at-start");
  EXPECT_FALSE(DownloadFile(folder / "never", &progress, code, Shaped("size_10", token), L"h"));
  EXPECT_EQ(code, DownloadCode::Cancelled);
  EXPECT_FALSE(fs::exists(folder.path() / "never"));
  EXPECT_TRUE(TestServer::RequestsWith(token).empty()) << "nothing was sent";

  Recorder later;
  later.cancelAt = 1;
  EXPECT_FALSE(DownloadFile(folder / "some", &later, code, Shaped("size_300000", "cancel-later"), L"h"));
  EXPECT_EQ(code, DownloadCode::Cancelled);
  ASSERT_EQ(later.calls.size(), 2u);
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "some"), Pattern(later.calls[1].first)));
}

TEST_F(Http, AStalledTransferFailsInsteadOfHanging) {
  SetHttpLimits({30, 2});
  for (const char* directives : {"size_200000/stallafter_1000", "stall_8/size_10"}) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DownloadFile(folder / "stalled", nullptr, code, Shaped(directives, "stall"), L"h")) << directives;
    EXPECT_EQ(code, DownloadCode::Stalled) << directives;
    EXPECT_NE(WideToUtf8(LastDownloadCause()).find("no data for 2 s from 127.0.0.1:"), std::string::npos)
        << directives << ": " << WideToUtf8(LastDownloadCause());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7)) << directives;
  }
}

// A server that sends a byte now and then never stalls: the speed floor ends the transfer, as a
// stall, so that the run moves on to the next address or form.
TEST_F(Http, ATransferBelowTheSpeedFloorGivesWay) {
  HttpLimits limits;
  limits.floorBytesPerSecond = 1000;
  limits.floorSeconds = 2;
  SetHttpLimits(limits);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(DownloadFile(folder / "slow", nullptr, code, Shaped("size_100000/trickle_200", "trickle"), L"h"));
  EXPECT_EQ(code, DownloadCode::Stalled);
  EXPECT_NE(WideToUtf8(LastDownloadCause()).find("slower than 1000 bytes/s for 2 s from 127.0.0.1:"), std::string::npos)
      << WideToUtf8(LastDownloadCause());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  // A slow but steady link (about 300 bytes/s, under a piece in the stall limit) is neither.
  limits.stallSeconds = 2;
  limits.floorBytesPerSecond = 100;
  SetHttpLimits(limits);
  EXPECT_TRUE(DownloadFile(folder / "steady", nullptr, code, Shaped("size_1200/trickle_3", "steady"), L"h"))
      << WideToUtf8(LastDownloadCause());
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "steady"), Pattern(1200)));
}

// What a player can act on is noted whatever step met it: the server's clock from its Date, and
// a proxy's 407 (the test server plays the proxy that answers it).
TEST_F(Http, NotesTheServersClockAndAProxysSignIn) {
  ClearNetworkNotes();
  ASSERT_TRUE(DownloadFile(folder / "dated", nullptr, code, Shaped("size_10", "dated"), L"h"));
  NetworkNotes notes = TheNetworkNotes();
  EXPECT_TRUE(notes.serverTimeKnown);
  EXPECT_LT(std::llabs(notes.serverAheadSeconds), 5);
  EXPECT_FALSE(notes.proxySignIn);
  EXPECT_FALSE(DownloadFile(folder / "guarded", nullptr, code, Shaped("status_407/size_10", "sign-in"), L"h"));
  EXPECT_EQ(code, DownloadCode::ProxySignIn);
  EXPECT_TRUE(TheNetworkNotes().proxySignIn);
  ClearNetworkNotes();
  EXPECT_FALSE(TheNetworkNotes().serverTimeKnown);
}

TEST_F(Http, DownloadFileIntoMakesFoldersAndReplacesReadOnlyFiles) {
  const std::wstring path = folder / "update\\data\\deep\\file.pak";
  ASSERT_TRUE(DownloadFileInto(path, Shaped("size_50", "entry"), L"h", nullptr, code));
  EXPECT_TRUE(SameBytes(ReadBytes(NativePath(path)), Pattern(50)));

  fs::permissions(NativePath(path), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ASSERT_TRUE(DownloadFileInto(path, Shaped("size_70", "entry-again"), L"h", nullptr, code));
  EXPECT_TRUE(SameBytes(ReadBytes(NativePath(path)), Pattern(70)));

  EXPECT_FALSE(DownloadFileInto(path, Shaped("status_404", "entry-missing"), L"h", nullptr, code));
}

// The stamp is the Last-Modified time in GMT, as 14 digits; an answer without one has none.
TEST_F(Http, RemoteStampIsTheLastModifiedTimeInGmt) {
  const std::string token = Unique("stamp");
  std::wstring stamp = L"stale";
  EXPECT_EQ(FetchIfStampDiffers(folder / "stamped", Shaped("size_5", token), L"h", L"", stamp, code),
            StampedFetch::Fetched);
  EXPECT_EQ(stamp, L"20121105140309");
  EXPECT_EQ(FetchIfStampDiffers(folder / "stamped", Shaped("size_5/lastmod_0", "stamp-epoch"), L"h", L"", stamp, code),
            StampedFetch::Fetched);
  EXPECT_EQ(stamp, L"19700101000000");
  EXPECT_EQ(FetchIfStampDiffers(folder / "stamped", Shaped("size_5/lastmod_none", "stamp-none"), L"h", L"", stamp, code),
            StampedFetch::NoStamp);
  EXPECT_EQ(stamp, L"");
  EXPECT_EQ(FetchIfStampDiffers(folder / "stamped", L"http://127.0.0.1:1/file", L"h", L"", stamp, code),
            StampedFetch::NoStamp);
  EXPECT_EQ(stamp, L"");
  auto heads = TestServer::RequestsWith(token);
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(HeaderOf(heads[0], "Host"), "h");
}

// A descriptor whose stamp changed crosses the network once: its stamp and its body come from
// one request.
TEST_F(Http, OneRequestGivesTheStampAndTheBodyWhenTheStampIsNew) {
  std::wstring stamp;
  const std::string changed = Unique("stamped-new");
  EXPECT_EQ(FetchIfStampDiffers(folder / "d\\list.enc", Shaped("size_3000", changed), L"h", L"20000101000000", stamp,
                                code),
            StampedFetch::Fetched);
  EXPECT_EQ(stamp, L"20121105140309");
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "d" / "list.enc"), Pattern(3000)));
  EXPECT_EQ(TestServer::RequestsWith(changed).size(), 1u);

  WriteBytes(folder.path() / "d" / "list.enc", "the copy in hand");
  const std::string same = Unique("stamped-same");
  EXPECT_EQ(FetchIfStampDiffers(folder / "d\\list.enc", Shaped("size_3000", same), L"h", L"20121105140309", stamp,
                                code),
            StampedFetch::Unchanged);
  EXPECT_EQ(ReadBytes(folder.path() / "d" / "list.enc"), "the copy in hand");
  EXPECT_EQ(TestServer::RequestsWith(same).size(), 1u);

  // A caller that can patch what it holds learns that the stamp changed, and the file's last
  // bytes (a packed list's check of its text) from the same answer.
  const std::string headOnly = Unique("stamped-head");
  std::string tail = "stale";
  EXPECT_EQ(FetchIfStampDiffers(folder / "d\\list.enc", Shaped("size_3000/tailrange", headOnly), L"h",
                                L"20000101000000", stamp, code, false, &tail),
            StampedFetch::Changed);
  EXPECT_EQ(stamp, L"20121105140309");
  EXPECT_TRUE(SameBytes(tail, Pattern(3000).substr(2996)));
  EXPECT_EQ(ReadBytes(folder.path() / "d" / "list.enc"), "the copy in hand");
  ASSERT_EQ(TestServer::RequestsWith(headOnly).size(), 1u);
  EXPECT_EQ(HeaderOf(TestServer::RequestsWith(headOnly)[0], "Range"), "bytes=-4");
  // A server that ignores the range sends the whole file: it is taken, not asked for again.
  const std::string ignored = Unique("stamped-whole");
  EXPECT_EQ(FetchIfStampDiffers(folder / "d\\list.enc", Shaped("size_3000", ignored), L"h", L"20000101000000", stamp,
                                code, false, &tail),
            StampedFetch::Fetched);
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "d" / "list.enc"), Pattern(3000)));
  EXPECT_EQ(tail, "");
  EXPECT_EQ(TestServer::RequestsWith(ignored).size(), 1u);

  // An edge that refuses ranges (416) is asked plainly, and its whole file taken.
  const std::string refused = Unique("stamped-416");
  EXPECT_EQ(FetchIfStampDiffers(folder / "d\\list.enc", Shaped("size_3000/norange", refused), L"h", L"20000101000000",
                                stamp, code, false, &tail),
            StampedFetch::Fetched);
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "d" / "list.enc"), Pattern(3000)));
  ASSERT_EQ(TestServer::RequestsWith(refused).size(), 2u);
  EXPECT_EQ(HeaderOf(TestServer::RequestsWith(refused)[1], "Range"), "<absent>");

  EXPECT_EQ(FetchIfStampDiffers(folder / "x", Shaped("size_3/lastmod_none", "stampless"), L"h", L"", stamp, code),
            StampedFetch::NoStamp);
  EXPECT_EQ(stamp, L"");
  EXPECT_EQ(FetchIfStampDiffers(folder / "x", L"http://127.0.0.1:1/file", L"h", L"", stamp, code),
            StampedFetch::NoStamp);
  EXPECT_EQ(FetchIfStampDiffers(folder / "x", Shaped("status_500/size_3", "stamped-500"), L"h", L"", stamp, code),
            StampedFetch::Failed);
  EXPECT_EQ(code, DownloadCode::RequestFailed);
  EXPECT_FALSE(fs::exists(folder.path() / "x"));
}

TEST_F(Http, AResumedDownloadFromAServerThatIgnoresRangesStartsTheFileAgain) {
  // A first attempt that was cut after 1000 bytes keeps them and the answer's validator.
  code = StepCode();
  EXPECT_FALSE(ResumeDownloadFile(folder / "file", nullptr, code, Shaped("size_5000/close_1000", Unique("cut")), L"h"));
  EXPECT_EQ(fs::file_size(folder.path() / "file"), 1000u);
  EXPECT_TRUE(fs::exists(folder.path() / "file.lm"));
  // The test server answers every request whole (200): the file is written from byte 0.
  const std::string token = Unique("resumed");
  ASSERT_TRUE(ResumeDownloadFile(folder / "file", nullptr, code, Shaped("size_5000", token), L"h"));
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "file"), Pattern(5000)));
  const auto heads = TestServer::RequestsWith("/-/" + token);
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(HeaderOf(heads[0], "Range"), "bytes=1000-");
  EXPECT_EQ(HeaderOf(heads[0], "If-Range"), "Mon, 05 Nov 2012 14:03:09 GMT");
  RemovePartialDownload(folder / "file");
  EXPECT_FALSE(fs::exists(folder.path() / "file"));
  EXPECT_FALSE(fs::exists(folder.path() / "file.lm"));
}

// A 206 whose length disagrees with its range is no continuation: what is on disk is dropped and
// the whole file asked for at once, instead of the same broken range on every attempt.
TEST_F(Http, AResumedDownloadAnsweredWithABrokenRangeStartsTheFileAgain) {
  EXPECT_FALSE(ResumeDownloadFile(folder / "file", nullptr, code, Shaped("size_5000/close_1000", Unique("cut")), L"h"));
  ASSERT_EQ(fs::file_size(folder.path() / "file"), 1000u);
  const std::string token = Unique("badrange");
  ASSERT_TRUE(ResumeDownloadFile(folder / "file", nullptr, code, Shaped("size_5000/badrange", token), L"h"))
      << WideToUtf8(LastDownloadCause());
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "file"), Pattern(5000)));
  const auto heads = TestServer::RequestsWith("/-/" + token);
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(HeaderOf(heads[0], "Range"), "bytes=1000-");
  EXPECT_EQ(HeaderOf(heads[1], "Range"), "<absent>");
}

// A run of a pack's chunks: the range alone from a server that honours it, the range cut out of
// the whole file from one that does not, and any other answer refused.
TEST_F(Http, AByteRangeIsTakenFromA206OrCutFromTheWholeFile) {
  const std::string wanted = Pattern(5000).substr(1000, 2000);
  const std::string token = Unique("range");
  ASSERT_TRUE(DownloadByteRange(folder / "run", &progress, code, Shaped("size_5000/range", token), L"h", 1000, 2000))
      << WideToUtf8(LastDownloadCause());
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "run"), wanted));
  const auto heads = TestServer::RequestsWith("/-/" + token);
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(HeaderOf(heads[0], "Range"), "bytes=1000-2999");
  EXPECT_EQ(progress.calls.back(), std::make_pair(std::uint64_t{2000}, std::uint64_t{2000}));

  ASSERT_TRUE(DownloadByteRange(folder / "whole", nullptr, code, Shaped("size_200000", Unique("norange")), L"h",
                                1000, 2000));
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "whole"), wanted));

  EXPECT_FALSE(DownloadByteRange(folder / "bad", nullptr, code, Shaped("size_5000/badrange", Unique("bad")), L"h",
                                 1000, 2000));
  EXPECT_EQ(code, DownloadCode::RequestFailed);
  EXPECT_NE(LastDownloadCause().find(L"another range"), std::wstring::npos) << WideToUtf8(LastDownloadCause());
  EXPECT_FALSE(fs::exists(folder.path() / "bad"));
  EXPECT_FALSE(DownloadByteRange(folder / "short", nullptr, code, Shaped("size_2000", Unique("short")), L"h", 1000,
                                 2000));
  EXPECT_EQ(code, DownloadCode::RequestFailed);

  // A run cut short keeps what arrived, so that its whole chunks need not come again.
  EXPECT_FALSE(DownloadByteRange(folder / "cut", nullptr, code, Shaped("size_5000/range/close_1500", Unique("cut")),
                                 L"h", 1000, 2000));
  EXPECT_EQ(code, DownloadCode::ShortBody);
  EXPECT_TRUE(SameBytes(ReadBytes(folder.path() / "cut"), wanted.substr(0, 500)));
}

TEST(ResumeAnswer, OnlyARangeThatContinuesTheFileIsAppended) {
  struct Case {
    long status;
    const char* contentRange;
    ResumeAnswer answer;
    std::uint64_t total;
  };
  const Case cases[] = {
      {200, "", ResumeAnswer::Whole, 0},
      {206, "bytes 1000-4999/5000", ResumeAnswer::Continue, 5000},
      {206, "bytes  1000-4999/5000", ResumeAnswer::Continue, 5000},
      {206, "bytes 0-4999/5000", ResumeAnswer::Mismatch, 0},     // the whole file as a range
      {206, "bytes 1000-1999/5000", ResumeAnswer::Mismatch, 0},  // stops short of the end
      {206, "bytes 1000-4999/*", ResumeAnswer::Mismatch, 0},     // unknown length
      {206, "bytes 1000-4999", ResumeAnswer::Mismatch, 0},
      {206, "items 1000-4999/5000", ResumeAnswer::Mismatch, 0},
      {206, "bytes 1000-99999999999999999999999/5000", ResumeAnswer::Mismatch, 0},
      {206, "", ResumeAnswer::Mismatch, 0},
      {416, "bytes */1000", ResumeAnswer::Mismatch, 0},  // the file on disk is already whole or longer
      {500, "", ResumeAnswer::Refused, 0},
  };
  for (const Case& c : cases) {
    std::uint64_t total = 0;
    EXPECT_EQ(ClassifyResumeAnswer(c.status, c.contentRange, 1000, total), c.answer) << c.contentRange;
    if (c.answer == ResumeAnswer::Continue) {
      EXPECT_EQ(total, c.total) << c.contentRange;
    }
  }
}

TEST(HttpDate, ReadsTheThreeFormsStrictlyAndComputesTheWeekday) {
  DateTimeRecord t{};
  for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
                           "  Sun, 06 Nov 1994 08:49:37 GMT\r\n", "Mon, 06 Nov 1994 08:49:37 GMT"}) {
    ASSERT_TRUE(ParseHttpDate(text, t)) << text;
    EXPECT_EQ(FormatRemoteStamp(t), L"19941106084937") << text;
    EXPECT_EQ(t.dayOfWeek, 0) << "the weekday is computed, not taken: " << text;
  }
  ASSERT_TRUE(ParseHttpDate("Wed, 31 Dec 1969 23:59:59 GMT", t));
  EXPECT_EQ(FormatRemoteStamp(t), L"19691231235959");
  ASSERT_TRUE(ParseHttpDate("Thu, 29 Feb 2024 00:00:00 GMT", t));
  ASSERT_TRUE(ParseHttpDate("Fri, 31 Dec 9999 23:59:59 GMT", t));
  EXPECT_EQ(t.year, 9999);
  for (const char* text : {"", "Sun, 06 Nov 70000 08:49:37 GMT", "Thu, 29 Feb 2023 00:00:00 GMT",
                           "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 6 Nov 1994 08:49:37 GMT", "Sun, 06 nov 1994 08:49:37 GMT",
                           "Sun, 06 Nov 1994 08:49:37 UTC", "Sun, 06 Nov 1994 08:49:37 GMT trailing", "1994-11-06T08:49:37Z",
                           "Sun, 31 Apr 1994 08:49:37 GMT", "Sun Nov 06 08:49:37 94"}) {
    EXPECT_FALSE(ParseHttpDate(text, t)) << text;
  }
}

TEST(AnswerHead, IsReadFromRawBytesWithEitherLineEnd) {
  AnswerHead head;
  const std::string crlf = "HTTP/1.1 206 Partial\r\ncontent-LENGTH: 5\r\nContent-Range: bytes 1-5/6\r\n"
                           "Last-Modified:  Mon, 05 Nov 2012 14:03:09 GMT \r\n\r\nbody";
  EXPECT_EQ(ParseAnswerHead(crlf, head), crlf.size() - 4);
  EXPECT_EQ(head.status, 206);
  EXPECT_EQ(head.lengthHeaders, 1);
  EXPECT_EQ(head.length, 5u);
  EXPECT_EQ(head.contentRange, "bytes 1-5/6");
  EXPECT_EQ(head.lastModified, "Mon, 05 Nov 2012 14:03:09 GMT");

  const std::string lf = "HTTP/1.0 200\nContent-Length: 3\nContent-Length: x\n\n";
  EXPECT_EQ(ParseAnswerHead(lf, head), lf.size());
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.lengthHeaders, 2);
  EXPECT_FALSE(head.lengthValid);

  EXPECT_EQ(ParseAnswerHead("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n", head), 0u) << "not complete yet";
  EXPECT_EQ(ParseAnswerHead("", head), 0u);
  for (const char* junk : {"SMTP/1.1 200 OK\r\n\r\n", "HTTP/1.1 20x OK\r\n\r\n", "HTTP/1.1 2000 OK\r\n\r\n",
                           "HTTP/1.1  200\r\n\r\n"}) {
    EXPECT_EQ(ParseAnswerHead(junk, head), std::string::npos) << junk;
  }
}
