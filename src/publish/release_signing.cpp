#include "publish/release_signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "publish/tree_builder.h"
#include "services/files.h"
#include "services/signing.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* KEY_HEADER = "zepo-ed25519-private-key\n";

// Creates a file that must not exist yet, readable and writable by its owner only.
bool WriteNewPrivateFile(const fs::path& file, const std::string& bytes) {
#ifdef _WIN32
  const int fd = _wopen(file.wstring().c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  const bool ok = _write(fd, bytes.data(), static_cast<unsigned>(bytes.size())) == static_cast<int>(bytes.size());
  return _close(fd) == 0 && ok;
#else
  const int fd = open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && ok;
#endif
}

// The serial of the signature file that target's new one replaces; 0 when there is none.
std::uint64_t PreviousSerial(const fs::path& signatureFile) {
  std::string text;
  if (!ReadWholeFile(signatureFile.wstring(), text)) return 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("serial ", 0) == 0) return std::strtoull(line.c_str() + 7, nullptr, 10);
  }
  return 0;
}

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
  if (!WriteNewPrivateFile(file, KEY_HEADER + privateKey + "\n")) {
    error = "cannot create " + file.string();
    return false;
  }
  return true;
}

bool ReadKeyFile(const fs::path& file, std::string& privateKey, std::string& error) {
  std::string text;
  if (!ReadWholeFile(file.wstring(), text)) {
    error = "cannot read the key file " + file.string();
    return false;
  }
  const std::string header = KEY_HEADER;
  if (text.compare(0, header.size(), header) != 0 || text.size() < header.size() + 128) {
    error = file.string() + " is no key file of zepo-publish keygen";
    return false;
  }
  privateKey = text.substr(header.size(), 128);
  if (SignMessage(privateKey, "test").empty()) {
    error = file.string() + " holds no usable key";
    return false;
  }
  return true;
}

bool SignPublished(const fs::path& target, const std::wstring& product, const SigningOptions& signing,
                   std::string& error) {
  std::string packed;
  if (!ReadWholeFile(target.wstring(), packed)) {
    error = "cannot read " + target.string() + " to sign it";
    return false;
  }
  const fs::path signatureFile = target.string() + ".sig";
  SignedStatement statement;
  statement.product = WideToUtf8(product);
  statement.file = target.filename().string();
  statement.serial = std::max<std::uint64_t>(PreviousSerial(signatureFile) + 1,
                                             static_cast<std::uint64_t>(std::time(nullptr)));
  statement.expires = UtcStampInDays(signing.expiresDays);
  statement.sha256 = Sha256Hex(packed);
  const std::string text = WriteSignatureFile(statement, signing.privateKey);
  if (text.empty() || !WriteFileAtomically(signatureFile, text)) {
    error = "cannot sign " + target.string();
    return false;
  }
  return true;
}
