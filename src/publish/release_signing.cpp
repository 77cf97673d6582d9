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

bool MakeKeyFile(const fs::path& file, std::string& publicKey, std::string& error) {
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
  if (!WriteNewPrivateFile(WideOf(file), KEY_HEADER + privateKey + "\n")) {
    error = "cannot create " + file.string() + ": " + WideToUtf8(LastSystemErrorText());
    return false;
  }
  // The public half beside it, for the clients' build and for verify --public-key.
  return WriteFileAtomically(file.string() + ".pub", publicKey + "\n", error);
}

bool ReadKeyFile(const fs::path& file, bool insecure, std::string& privateKey, std::string& error) {
  std::string text;
  if (!ReadWholeFile(WideOf(file), text)) {
    error = "cannot read the key file " + file.string() + ": " + WideToUtf8(LastSystemErrorText());
    return false;
  }
  const std::string header = KEY_HEADER;
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
  return WriteSignatureFile(statement, signing.privateKey);
}

bool KeyFitsTree(const fs::path& signatureFile, const SigningOptions& signing, std::string& error) {
  std::string text, problem;
  SignedStatement statement;
  if (!signing.Enabled() || signing.changeKey || !ReadWholeFile(WideOf(signatureFile), text) ||
      ReadSignatureFile(text, signing.PublicKey(), statement, problem)) {
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
