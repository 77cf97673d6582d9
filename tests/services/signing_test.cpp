#include "services/signing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/temp_folder.h"

TEST(Signing, Sha256OfBytesAndFilesIsTheStandardDigest) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  TempFolder folder;
  const std::string big(3 << 20, 'z');  // more than one read
  WriteBytes(folder.path() / "big", big);
  EXPECT_EQ(Sha256OfFile(folder / "big"), Sha256Hex(big));
  EXPECT_EQ(Sha256OfFile(folder / "missing"), "");
}

TEST(Signing, OnlyTheKeysOwnSignatureOverTheExactStatementVerifies) {
  std::string privateKey, publicKey, otherPrivate, otherPublic;
  ASSERT_TRUE(GenerateSigningKey(privateKey, publicKey));
  ASSERT_TRUE(GenerateSigningKey(otherPrivate, otherPublic));
  EXPECT_EQ(publicKey.size(), 64u);
  EXPECT_NE(publicKey, otherPublic);

  const SignedStatement statement{"velora/", "filelist.enc", 7, "20270106120000", {Sha256Hex("packed bytes")}, {}, "", "", ""};
  const std::string file = WriteSignatureFile(statement, privateKey);
  ASSERT_FALSE(file.empty());
  SignedStatement read;
  std::string problem;
  ASSERT_TRUE(ReadSignatureFile(file, publicKey, read, problem)) << problem;
  EXPECT_EQ(read.product, "velora/");
  EXPECT_EQ(read.file, "filelist.enc");
  EXPECT_EQ(read.serial, 7u);
  EXPECT_EQ(read.expires, "20270106120000");
  EXPECT_EQ(read.digests, statement.digests);
  // Any key of a set will do: the set of a client that trusts the old key and the new one.
  EXPECT_TRUE(ReadSignatureFile(file, otherPublic + "," + publicKey, read, problem)) << problem;
  EXPECT_TRUE(ReadSignatureFile(file, otherPublic + " " + publicKey, read, problem)) << problem;

  EXPECT_FALSE(ReadSignatureFile(file, otherPublic, read, problem));
  EXPECT_NE(problem.find("trusted keys"), std::string::npos);
  std::string changed = file;
  changed.replace(changed.find("serial 7"), 8, "serial 9");
  EXPECT_FALSE(ReadSignatureFile(changed, publicKey, read, problem)) << "a raised serial";
  changed = file;
  changed[changed.find("sha256 ") + 7] ^= 1;
  EXPECT_FALSE(ReadSignatureFile(changed, publicKey, read, problem)) << "another file's digest";
  EXPECT_FALSE(ReadSignatureFile("", publicKey, read, problem));
  EXPECT_FALSE(ReadSignatureFile(file.substr(0, file.find("signature")), publicKey, read, problem));
  EXPECT_EQ(SignMessage("not a key", "message"), "");
  EXPECT_FALSE(VerifyMessage("not a key", "message", std::string(128, '0')));
}

// UTC whatever the computer's zone: a stamp in local time would put a signature hours off. The
// zone is set twelve hours from UTC for the test, so that local time cannot pass for UTC.
TEST(Signing, ExpiryStampsAreUtcDigits) {
#ifndef _WIN32
  const char* zone = std::getenv("TZ");
  const std::string savedZone = zone != nullptr ? zone : "";
  setenv("TZ", "UTC+12", 1);
  tzset();
#endif
  const std::time_t before = std::time(nullptr);
  const std::string now = UtcStampInDays(0);
  const std::string later = UtcStampInDays(30);
#ifndef _WIN32
  if (zone != nullptr) setenv("TZ", savedZone.c_str(), 1); else unsetenv("TZ");
  tzset();
#endif
  EXPECT_EQ(now.size(), 14u);
  EXPECT_EQ(now.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_LT(now, later);
  // Within a minute of the UTC time taken just before.
  EXPECT_GE(UnixTimeOfStamp(now), static_cast<std::int64_t>(before) - 1);
  EXPECT_LE(UnixTimeOfStamp(now), static_cast<std::int64_t>(before) + 60);
  EXPECT_NEAR(static_cast<double>(UnixTimeOfStamp(later) - UnixTimeOfStamp(now)), 30 * 86400.0, 61.0);
}

// A publication vouches for the list it replaces and the new one; a reader that knows one digest
// (the last line wins there) takes the new list, and no digest may be cut or forged.
TEST(Signing, AStatementOfTwoDigestsVouchesForBothListsAndNoOther) {
  std::string privateKey, publicKey;
  ASSERT_TRUE(GenerateSigningKey(privateKey, publicKey));
  const std::string before = Sha256Hex("list 2.0"), after = Sha256Hex("list 3.0");
  const std::string beforeText = Sha256Hex("text 2.0"), afterText = Sha256Hex("text 3.0");
  const std::string file = WriteSignatureFile(
      {"velora/", "filelist.enc", 8, "20270106120000", {before, after}, {beforeText, afterText}, "", "", ""}, privateKey);
  SignedStatement read;
  std::string problem;
  ASSERT_TRUE(ReadSignatureFile(file, publicKey, read, problem)) << problem;
  EXPECT_TRUE(read.States(before));
  EXPECT_TRUE(read.States(after));
  EXPECT_FALSE(read.States(Sha256Hex("list 1.0")));
  // The texts' digests (of a list rebuilt from a patch) are stated apart from the packed bytes'.
  EXPECT_TRUE(read.StatesText(beforeText));
  EXPECT_TRUE(read.StatesText(afterText));
  EXPECT_FALSE(read.States(afterText));
  EXPECT_FALSE(read.StatesText(after));
  std::string forged = file;
  forged[forged.find("text " + afterText) + 5] ^= 1;
  EXPECT_FALSE(ReadSignatureFile(forged, publicKey, read, problem)) << "a text digest forged";
  EXPECT_EQ(file.rfind("sha256 " + after), file.rfind("sha256 ")) << "the new list's digest comes last";
  std::string cut = file;
  cut.erase(cut.find("sha256 " + before), 72);
  EXPECT_FALSE(ReadSignatureFile(cut, publicKey, read, problem)) << "a digest taken out";
  std::string torn = file;
  torn.erase(torn.find("sha256 " + before) + 20, 10);
  EXPECT_FALSE(ReadSignatureFile(torn, publicKey, read, problem)) << "a digest cut short";
}

TEST(Signing, StampsGoToUnixTimeAndBack) {
  EXPECT_EQ(UtcStampOf(0), "19700101000000");
  EXPECT_EQ(UnixTimeOfStamp("19700101000000"), 0);
  EXPECT_EQ(UnixTimeOfStamp("20000229235959"), 951868799);  // a leap day of a century year
  for (const std::int64_t t : {1796000000LL, 4102444800LL, 1709251199LL}) EXPECT_EQ(UnixTimeOfStamp(UtcStampOf(t)), t);
  EXPECT_EQ(UnixTimeOfStamp("2027010612000"), -1);
  EXPECT_EQ(UnixTimeOfStamp("2027o106120000"), -1);
  EXPECT_EQ(ShownStamp("20270106120000"), "2027-01-06 12:00 UTC");
}

TEST(Signing, ASetOfKeysTakesAStatementOnlyWhenEnoughOfItsKeysSigned) {
  std::string k1, p1, k2, p2, k3, p3, foreign, foreignPublic;
  for (auto* key : {&k1, &k2, &k3, &foreign}) {
    std::string* pub = key == &k1 ? &p1 : key == &k2 ? &p2 : key == &k3 ? &p3 : &foreignPublic;
    ASSERT_TRUE(GenerateSigningKey(*key, *pub));
  }
  const SignedStatement statement{"velora/", "filelist.enc", 9, "20270106120000", {Sha256Hex("list")}, {}, p1, "", ""};
  const std::string set = "2:" + p1 + "," + p2 + "," + p3;
  const auto reads = [](const std::string& file, const std::string& keys) {
    SignedStatement read;
    std::string problem;
    return ReadSignatureFile(file, keys, read, problem);
  };
  const std::string two = WriteSignatureFile(statement, k1, {k2});
  EXPECT_TRUE(reads(two, set));
  EXPECT_TRUE(reads(WriteSignatureFile(statement, k3, {k1, k2}), "3:" + p1 + "," + p2 + "," + p3));
  EXPECT_FALSE(reads(two, "3:" + p1 + "," + p2 + "," + p3));
  EXPECT_TRUE(reads(two, p1));  // a client of the one key reads a cosigned statement as before
  // Too few, however it is dressed up.
  EXPECT_FALSE(reads(WriteSignatureFile(statement, k1), set));
  EXPECT_FALSE(reads(WriteSignatureFile(statement, k1, {k1}), set));       // the same key twice
  EXPECT_FALSE(reads(WriteSignatureFile(statement, k1, {foreign}), set));  // a key outside the set
  SignedStatement other = statement;
  other.serial = 10;
  const std::string otherFile = WriteSignatureFile(other, k1, {k2});
  const std::string borrowed = otherFile.substr(otherFile.find("cosignature "), 64 + 128 + 14);
  const std::string lines = two.substr(0, two.find("cosignature "));
  // A cosignature of another statement, carried over under the signer's own signature.
  const std::string forged = SignText("zepo-signature 1\n", lines.substr(17) + borrowed, k1);
  EXPECT_FALSE(reads(forged, set));
  EXPECT_EQ(ParseTrustedKeys(set).threshold, 2u);
  EXPECT_EQ(ParseTrustedKeys(p1 + " " + p2).keys.size(), 2u);
}
