#include "services/signing.h"

#include <gtest/gtest.h>

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

  const SignedStatement statement{"velora/", "filelist.enc", 7, "20270106120000", Sha256Hex("packed bytes")};
  const std::string file = WriteSignatureFile(statement, privateKey);
  ASSERT_FALSE(file.empty());
  SignedStatement read;
  std::string problem;
  ASSERT_TRUE(ReadSignatureFile(file, publicKey, read, problem)) << problem;
  EXPECT_EQ(read.product, "velora/");
  EXPECT_EQ(read.file, "filelist.enc");
  EXPECT_EQ(read.serial, 7u);
  EXPECT_EQ(read.expires, "20270106120000");
  EXPECT_EQ(read.sha256, statement.sha256);
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

TEST(Signing, ExpiryStampsAreUtcDigits) {
  const std::string now = UtcStampInDays(0);
  const std::string later = UtcStampInDays(30);
  EXPECT_EQ(now.size(), 14u);
  EXPECT_LT(now, later);
}
