#include "services/md5.h"

#include <gtest/gtest.h>

#include "services/files.h"
#include "support/temp_folder.h"

TEST(Md5, RfcTestSuite) {
  const std::pair<std::string, std::wstring> cases[] = {
      {"", L"d41d8cd98f00b204e9800998ecf8427e"},
      {"a", L"0cc175b9c0f1b6a831c399e269772661"},
      {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", L"d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       L"57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, digest] : cases) EXPECT_EQ(Md5OfBytes(input.data(), input.size()), digest) << input;
}

TEST(Md5, PiecesOfAnySizeGiveTheSameDigest) {
  const std::string data = RandomBytes(1000, 7);
  const std::wstring whole = Md5OfBytes(data.data(), data.size());
  for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u, 999u}) {
    Md5 md5;
    for (std::size_t at = 0; at < data.size(); at += piece) md5.Update(data.data() + at, std::min(piece, data.size() - at));
    EXPECT_EQ(md5.FinalText(), whole) << piece;
  }
}

TEST(Md5OfFile, MatchesTheBufferDigestAcrossTheReadBoundary) {
  TempFolder folder;
  for (std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 131072u, 200001u}) {
    const std::string data = RandomBytes(size, static_cast<unsigned>(size));
    WriteBytes(folder.path() / "f.bin", data);
    std::wstring digest = L"stale";
    Md5OfFile(digest, folder / "f.bin");
    EXPECT_EQ(digest, Md5OfBytes(data.data(), data.size())) << size;
  }
}

TEST(Md5OfFile, MissingFileGivesEmptyText) {
  TempFolder folder;
  std::wstring digest = L"stale";
  Md5OfFile(digest, folder / "missing.bin");
  EXPECT_EQ(digest, L"");
}
