#pragma once
// Signed releases: Ed25519 signatures and SHA-256 digests (libgcrypt), and the signed statement
// that travels beside every descriptor and list of a signed tree as NAME + ".sig":
//
//   zepo-signature 1
//   product velora/
//   file filelist.enc
//   serial 1796000000
//   expires 20270106120000
//   sha256 <64 hex digits of the packed file>
//   signature <128 hex digits>
//
// The signature covers every line before "signature" exactly as written, and through the digest
// the packed file's exact bytes. A publication states two digests, the list it replaces first and
// the new one last: the signature files go up before the lists, so a client that meets either list
// beside the new signature file (an upload half done, a cache that fetched the two at different
// moments) takes it. Readers that know one digest take the last line, the new list's. A list's
// statement also states the SHA-256 of its unpacked texts, old and new, on "text" lines before
// the digests: a client that rebuilt the list from a patch holds the text, not the packed bytes
// (readers that do not know the line pass over it). Keys travel as hex: a public key is 64 digits on one line.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The SHA-256 of bytes, or of a file's content, as 64 lower-case hex digits; empty when the file
// cannot be read.
std::string Sha256Hex(const std::string& bytes);
std::string Sha256OfFile(const std::wstring& path);

// The SHA-256 of bytes given in pieces, for content that is never whole in memory.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;
  void Add(const void* data, std::size_t size);
  // The digest as 64 lower-case hex digits; the stream is spent afterwards.
  std::string Hex();

 private:
  void* state_ = nullptr;
};

// A new key pair: the private key (the 32-byte seed and the public key, as the key file holds
// them) and the public key, as hex.
bool GenerateSigningKey(std::string& privateKey, std::string& publicKey);

// The signature of message by privateKey (128 hex digits), or empty on a bad key.
std::string SignMessage(const std::string& privateKey, const std::string& message);

// Whether signature is publicKey's over message.
bool VerifyMessage(const std::string& publicKey, const std::string& message, const std::string& signature);

// What a signature file states about the file beside it.
struct SignedStatement {
  std::string product;
  std::string file;
  std::uint64_t serial = 0;
  std::string expires;  // 14 digits, UTC: YYYYMMDDhhmmss
  std::vector<std::string> digests;  // SHA-256 of each packed file it vouches for; the newest last
  std::vector<std::string> texts;    // SHA-256 of each unpacked text it vouches for; the newest last
  // The public key that signed it, as it states (readers that do not know the line pass over it):
  // what a publisher names when another key would sign the tree. Empty in older statements.
  std::string key;
  // The renewal key that may give this statement a later expiry (services/renewal.h); empty when
  // none may.
  std::string renewKey;
  // The renewal that gave it its expiry, as read; empty when the statement's own expiry holds.
  std::string renewal;

  bool States(const std::string& sha256) const;
  bool StatesText(const std::string& sha256) const;
};

// A signed text: header, lines of "NAME VALUE", then "signature <128 hex digits>" over everything
// before it. Each kind of signed text has a header of its own, so that a signature made for one
// kind never reads as another kind.
std::string SignText(const std::string& header, const std::string& lines, const std::string& privateKey);
// Verifies a signed text with any of the public keys (separated by blanks or commas) and hands
// back its lines after the header. False with the reason.
// signer, when given, gets the key whose signature it is.
bool VerifySignedText(const std::string& text, const std::string& header, const std::string& publicKeys,
                      std::string& lines, std::string& problem, std::string* signer = nullptr);

// Trusted keys as clients are given them: hex public keys separated by commas or blanks, any of
// which may sign; or, after "M:", a set of which M distinct keys must sign each statement
// ("2:K1,K2,K3").
struct TrustedKeys {
  std::size_t threshold = 1;
  std::vector<std::string> keys;
};
TrustedKeys ParseTrustedKeys(const std::string& spec);
// Calls use(NAME, VALUE) for each line of signed lines.
void ForEachStatedLine(const std::string& lines, const std::function<void(const std::string&, const std::string&)>& use);
// The public key that a signature file says signed it (its "key" line), unverified; empty when
// it names none.
std::string StatedKey(const std::string& text);

// The signature file's text for a statement, signed by privateKey and cosigned by each of
// cosigners (private keys); empty on a bad key. A cosignature ("cosignature <public key> <hex>",
// before the signature line) covers the statement's lines above it; the last signature covers
// everything, so a client that trusts one key of a set reads the file as before.
std::string WriteSignatureFile(const SignedStatement& statement, const std::string& privateKey,
                               const std::vector<std::string>& cosigners = {});

// Reads a signature file and verifies it with any of the public keys (TrustedKeys: with a
// threshold, as many distinct keys of the set must have signed); false with the reason when it
// does not parse or its signatures do not suffice.
bool ReadSignatureFile(const std::string& text, const std::string& publicKeys, SignedStatement& statement,
                       std::string& problem);

// What a signature file states, read as it stands without verifying whose it is (for reports on
// one's own tree); false when it does not parse.
bool ReadStatementUnverified(const std::string& text, SignedStatement& statement);

// The UTC time now as 14 digits, days from now.
std::string UtcStampInDays(int days);
// A 14-digit stamp as people read it: "2027-01-06 12:00 UTC".
std::string ShownStamp(const std::string& stamp);
// A 14-digit stamp, or a date as people read it ("2027-01-06 12:00"), in ISO 8601 UTC as scripts
// read it: "2027-01-06T12:00:00Z". Anything else is returned as it is.
std::string IsoStamp(const std::string& stamp);
// The 14-digit UTC stamp of a Unix time, and back (-1 when the stamp does not parse).
std::string UtcStampOf(std::int64_t unixTime);
std::int64_t UnixTimeOfStamp(const std::string& stamp);
