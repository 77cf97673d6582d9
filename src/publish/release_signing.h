#pragma once
// Signing a tree: the publisher's key file, and the signature file (services/signing.h) written
// beside every descriptor and list that a signed build or rollback publishes.
#include <filesystem>
#include <string>

struct SigningOptions {
  std::string privateKey;  // empty: the tree is not signed
  int expiresDays = 30;    // a signed list is refused by clients after this many days
  bool Enabled() const { return !privateKey.empty(); }
};

// Makes a new key pair: the private key into a new file that only its owner may read (an existing
// file is never overwritten), the public key handed back as one line of hex.
bool MakeKeyFile(const std::filesystem::path& file, std::string& publicKey, std::string& error);

// Reads a key file that MakeKeyFile wrote.
bool ReadKeyFile(const std::filesystem::path& file, std::string& privateKey, std::string& error);

// Writes target + ".sig" for the packed descriptor or list at target, the statement naming the
// product, the file's name, a serial above the one it replaces (at least the Unix time) and the
// expiry.
bool SignPublished(const std::filesystem::path& target, const std::wstring& product, const SigningOptions& signing,
                   std::string& error);
