#include "publish/release_signing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "publish/release.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/platform.h"
#include "services/signing.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* KEY_HEADER = "zepo-ed25519-private-key\n";
constexpr const char* RENEWAL_KEY_HEADER = "zepo-ed25519-renewal-key\n";

const char* HeaderOf(KeyRole role) { return role == KeyRole::Release ? KEY_HEADER : RENEWAL_KEY_HEADER; }

std::uint64_t SerialIn(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("serial ", 0) == 0) return std::strtoull(line.c_str() + 7, nullptr, 10);
  }
  return 0;
}

fs::path KeySerialFile(const SigningOptions& signing) { return signing.keyFile.string() + ".serial"; }

}  // namespace

bool MakeKeyFile(const fs::path& file, KeyRole role, std::string& publicKey, std::string& error) {
  std::error_code ignored;
  if (fs::exists(file, ignored)) {
    error = file.string() + " exists already; a key file is never overwritten";
    return false;
  }
  std::string privateKey;
  if (!GenerateSigningKey(privateKey, publicKey)) {
    error = "no key could be made";
    return false;
  }
  if (!WriteNewPrivateFile(WideOf(file), HeaderOf(role) + privateKey + "\n")) {
    error = "cannot create " + file.string() + ": " + WideToUtf8(LastSystemErrorText());
    return false;
  }
  // The public half beside it, for the clients' build and for verify --public-key.
  return WriteFileAtomically(file.string() + ".pub", publicKey + "\n", error);
}

bool ReadKeyFile(const fs::path& file, bool insecure, KeyRole role, std::string& privateKey, std::string& error) {
  std::string text;
  if (!ReadWholeFile(WideOf(file), text)) {
    error = "cannot read the key file " + file.string() + ": " + WideToUtf8(LastSystemErrorText());
    return false;
  }
  const std::string header = HeaderOf(role);
  const std::string other = HeaderOf(role == KeyRole::Release ? KeyRole::Renewal : KeyRole::Release);
  if (text.compare(0, other.size(), other) == 0) {
    error = role == KeyRole::Release
                ? file.string() + " is a renewal key: it lengthens the life of the release key's signatures "
                                  "(zepo-publish resign --renew-key) and signs nothing else"
                : file.string() + " is a release key, not a renewal key (zepo-publish keygen --role renew): keep "
                                  "it offline and give it to --sign";
    return false;
  }
  if (text.compare(0, header.size(), header) != 0 || text.size() < header.size() + 128) {
    error = file.string() + " is no key file of zepo-publish keygen";
    return false;
  }
  if (!insecure && OthersMayRead(WideOf(file))) {
    error = file.string() + " may be read by others than its owner: a leaked key signs for anyone. Make it private "
            "(chmod 600 " + file.string() + "), or give --insecure-key to use it as it is";
    return false;
  }
  privateKey = text.substr(header.size(), 128);
  if (SignMessage(privateKey, "test").empty()) {
    error = file.string() + " holds no usable key";
    return false;
  }
  return true;
}

std::uint64_t SerialOf(const fs::path& signatureFile) {
  std::string text;
  return ReadWholeFile(WideOf(signatureFile), text) ? SerialIn(text) : 0;
}

bool NextSerial(const std::vector<fs::path>& signatureFiles, const SigningOptions& signing, std::uint64_t& serial,
                std::string& error) {
  std::uint64_t last = 0;
  std::string keptText;
  if (ReadWholeFile(WideOf(KeySerialFile(signing)), keptText)) last = std::strtoull(keptText.c_str(), nullptr, 10);
  for (const fs::path& file : signatureFiles) last = std::max(last, SerialOf(file));
  const auto now = static_cast<std::uint64_t>(std::time(nullptr));
  constexpr std::uint64_t DAY = 86400, HOUR = 3600;
  if (last > now + DAY && !signing.serialAhead) {
    error = "the last serial signed with this key (" + std::to_string(last) + ", of " +
            ShownStamp(UtcStampOf(static_cast<std::int64_t>(last))) + ") is more than a day ahead of this computer's "
            "clock (" + ShownStamp(UtcStampOf(static_cast<std::int64_t>(now))) + "). If the clock is wrong, set it "
            "right. If it was wrong when that serial was signed, clients keep that serial and take only higher ones: "
            "give --serial-ahead to sign above it";
    return false;
  }
  if (last > now + HOUR) {
    std::printf("warning: the last serial signed with this key (of %s) is more than an hour ahead of this computer's "
                "clock (%s); this one is signed above it. A clock set wrong on either machine does that\n",
                ShownStamp(UtcStampOf(static_cast<std::int64_t>(last))).c_str(),
                ShownStamp(UtcStampOf(static_cast<std::int64_t>(now))).c_str());
  }
  serial = std::max(last + 1, now);
  return true;
}

bool RecordKeySerial(const SigningOptions& signing, std::uint64_t serial, std::string& error) {
  if (signing.keyFile.empty()) return true;
  return WriteFileAtomically(KeySerialFile(signing), std::to_string(serial) + "\n", error);
}

std::string SignatureText(const std::string& fileName, const std::wstring& product,
                          const std::vector<std::string>& digests, std::uint64_t serial, const SigningOptions& signing,
                          const std::vector<std::string>& texts) {
  SignedStatement statement;
  statement.product = WideToUtf8(product);
  statement.file = fileName;
  statement.serial = serial;
  statement.expires = UtcStampInDays(signing.expiresDays);
  statement.digests = digests;
  statement.texts = texts;
  statement.key = signing.PublicKey();
  statement.renewKey = signing.renewer == SigningOptions::NO_RENEWER ? std::string() : signing.renewer;
  return WriteSignatureFile(statement, signing.privateKey, signing.cosigners);
}

bool ReadPublicKey(const std::string& given, std::string& publicKey, std::string& error) {
  const auto isKey = [](const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  };
  std::string text = given;
  if (!isKey(text) && ReadWholeFile(WideOf(fs::path(given)), text)) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  }
  if (!isKey(text)) {
    error = given + " is neither a public key (64 hex digits) nor a KEYFILE.pub that holds one";
    return false;
  }
  publicKey = text;
  return true;
}

std::string RenewerOf(const fs::path& signatureFile, const SigningOptions& signing) {
  if (!signing.renewer.empty()) return signing.renewer;
  std::string text, problem;
  SignedStatement statement;
  if (!ReadWholeFile(WideOf(signatureFile), text) || !ReadSignatureFile(text, StatedKey(text), statement, problem)) {
    return std::string();
  }
  return statement.renewKey;
}

bool KeyFitsTree(const fs::path& signatureFile, const SigningOptions& signing, std::string& error) {
  std::string text, problem;
  SignedStatement statement;
  if (!signing.Enabled() || signing.changeKey || !ReadWholeFile(WideOf(signatureFile), text) ||
      ReadSignatureFile(text, signing.PublicKeys(), statement, problem)) {
    return true;
  }
  const std::string signer = StatedKey(text);
  error = "the tree is signed by another key than " + signing.keyFile.string() + " (public key " +
          signing.PublicKey() + "): " +
          (signer.empty() ? std::string("its signatures do not name their key") : "it was signed by public key " + signer) +
          ", and every player whose updater trusts that key would refuse what this key signs. Sign with the key that "
          "signed the tree. To move players to a new key, first ship updaters that trust both keys (PublicKey = "
          "OLD,NEW), then give --change-key";
  return false;
}
