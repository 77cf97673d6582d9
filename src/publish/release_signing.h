#pragma once
// Signing a tree: the publisher's key file, the serial that orders its signatures, and the text
// of the signature files (services/signing.h) that a publication writes beside the root
// descriptor and the lists.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct SigningOptions {
  std::string privateKey;  // empty: the tree is not signed
  std::filesystem::path keyFile;
  // The other keys of a set of which several sign every statement (--sign given again).
  std::vector<std::string> cosigners;
  std::vector<std::filesystem::path> cosignerFiles;
  int expiresDays = 30;    // a signed list is refused by clients after this many days
  // The tree's signatures are taken away (--unsigned): clients that trust a key refuse it then.
  bool removeSignatures = false;
  // Sign above a last serial that lies more than a day ahead of this computer's clock.
  bool serialAhead = false;
  // Sign a tree that another key signed (--change-key): clients that trust only that key refuse it.
  bool changeKey = false;
  // The public key of the renewal key that may lengthen these signatures' life (--renewer);
  // NO_RENEWER names none; empty: the one the tree's signatures name, if any.
  std::string renewer;
  static constexpr const char* NO_RENEWER = "none";
  bool Enabled() const { return !privateKey.empty(); }
  // The public half of the key, as clients are given it.
  std::string PublicKey() const { return privateKey.size() == 128 ? privateKey.substr(64) : std::string(); }
  // The public halves of every key that signs, the cosigners' too, separated by commas.
  std::string PublicKeys() const {
    std::string keys = PublicKey();
    for (const std::string& cosigner : cosigners) keys += "," + cosigner.substr(64);
    return keys;
  }
};

// A signed tree is signed on by the key that signed it: false with the reason (naming that key,
// and how to move players to another) when signing's key did not sign the signature file at
// signatureFile, unless signing.changeKey.
bool KeyFitsTree(const std::filesystem::path& signatureFile, const SigningOptions& signing, std::string& error);

// What a key may sign: a release key signs descriptors and lists, what players install; a renewal
// key only lengthens the life of what a release key signed (services/renewal.h), so it may live
// online, on the machine that renews every day.
enum class KeyRole { Release, Renewal };

// Makes a new key pair of the role: the private key into a new file that only its owner may read
// (an existing file is never overwritten), the public key handed back as one line of hex and
// written to KEYFILE.pub.
bool MakeKeyFile(const std::filesystem::path& file, KeyRole role, std::string& publicKey, std::string& error);

// Reads a key file that MakeKeyFile wrote for the role; a key of the other role is refused. A file
// that others than its owner may read is refused unless insecure: a key that leaked signs for
// anyone.
bool ReadKeyFile(const std::filesystem::path& file, bool insecure, KeyRole role, std::string& privateKey,
                 std::string& error);

// A public key as --renewer or --public-key gives it: 64 hex digits, or a KEYFILE.pub that holds
// them. False with error otherwise.
bool ReadPublicKey(const std::string& given, std::string& publicKey, std::string& error);

// The renewal key that a new signature of the tree names: the one signing gives, else the one the
// signature file at signatureFile names (once named, later signatures keep naming it).
std::string RenewerOf(const std::filesystem::path& signatureFile, const SigningOptions& signing);

// The serial of a new publication: above the last one of the tree's signature files and the
// last one the key signed anywhere (KEYFILE.serial, so that a tree made anew still signs above
// what clients hold), and at least the Unix time now. A last serial more than a day ahead of
// the clock is refused unless serialAhead: either this clock is wrong, or an earlier one was.
bool NextSerial(const std::vector<std::filesystem::path>& signatureFiles, const SigningOptions& signing,
                std::uint64_t& serial, std::string& error);
// Keeps a serial beside the key file, before any signature with it is published.
bool RecordKeySerial(const SigningOptions& signing, std::uint64_t serial, std::string& error);

// The last serial that a signature file states; 0 when there is none.
std::uint64_t SerialOf(const std::filesystem::path& signatureFile);

// The signature file's text for fileName of product, vouching for the packed files of digests
// and the unpacked texts of texts.
std::string SignatureText(const std::string& fileName, const std::wstring& product,
                          const std::vector<std::string>& digests, std::uint64_t serial, const SigningOptions& signing,
                          const std::vector<std::string>& texts = {});
