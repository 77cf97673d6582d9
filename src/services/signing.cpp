#include "services/signing.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "services/files.h"
#include "services/platform.h"

namespace {

void InitialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

struct SexpDeleter {
  void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using UniqueSexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpDeleter>;

std::string Hex(const unsigned char* bytes, std::size_t size) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += DIGITS[bytes[i] >> 4];
    text += DIGITS[bytes[i] & 15];
  }
  return text;
}

bool FromHex(const std::string& text, std::size_t size, std::string& bytes) {
  if (text.size() != 2 * size) return false;
  bytes.assign(size, '\0');
  for (std::size_t i = 0; i < 2 * size; ++i) {
    const char c = text[i];
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) return false;
    bytes[i / 2] = static_cast<char>((static_cast<unsigned char>(bytes[i / 2]) << 4) | v);
  }
  return true;
}

// The value of one token of an S-expression, as bytes.
std::string TokenBytes(gcry_sexp_t sexp, const char* name) {
  UniqueSexp token(gcry_sexp_find_token(sexp, name, 0));
  if (!token) return std::string();
  std::size_t size = 0;
  const char* data = gcry_sexp_nth_data(token.get(), 1, &size);
  return data == nullptr ? std::string() : std::string(data, size);
}

UniqueSexp Data(const std::string& message) {
  gcry_sexp_t data = nullptr;
  if (gcry_sexp_build(&data, nullptr, "(data (flags eddsa)(hash-algo sha512)(value %b))",
                      static_cast<int>(message.size()), message.data()) != 0) {
    return nullptr;
  }
  return UniqueSexp(data);
}

constexpr const char* HEADER = "zepo-signature 1\n";

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
  InitialiseOnce();
  unsigned char digest[32];
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest, bytes.data(), bytes.size());
  return Hex(digest, sizeof digest);
}

std::string Sha256OfFile(const std::wstring& path) {
  FileHandle file = FileHandle::OpenForRead(path);
  if (!file.IsOpen()) return std::string();
  Sha256Stream digest;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    std::size_t got = 0;
    if (!file.Read(buffer.data(), buffer.size(), got)) return std::string();
    if (got == 0) return digest.Hex();
    digest.Add(buffer.data(), got);
  }
}

Sha256Stream::Sha256Stream() {
  InitialiseOnce();
  gcry_md_hd_t md = nullptr;
  if (gcry_md_open(&md, GCRY_MD_SHA256, 0) == 0) state_ = md;
}

Sha256Stream::~Sha256Stream() {
  if (state_ != nullptr) gcry_md_close(static_cast<gcry_md_hd_t>(state_));
}

void Sha256Stream::Add(const void* data, std::size_t size) {
  if (state_ != nullptr) gcry_md_write(static_cast<gcry_md_hd_t>(state_), data, size);
}

std::string Sha256Stream::Hex() {
  if (state_ == nullptr) return std::string();
  return ::Hex(gcry_md_read(static_cast<gcry_md_hd_t>(state_), GCRY_MD_SHA256), 32);
}

bool GenerateSigningKey(std::string& privateKey, std::string& publicKey) {
  InitialiseOnce();
  gcry_sexp_t params = nullptr;
  gcry_sexp_t key = nullptr;
  if (gcry_sexp_build(&params, nullptr, "(genkey (ecc (curve Ed25519)(flags eddsa)))") != 0) return false;
  UniqueSexp ownedParams(params);
  if (gcry_pk_genkey(&key, params) != 0) return false;
  UniqueSexp ownedKey(key);
  UniqueSexp secret(gcry_sexp_find_token(key, "private-key", 0));
  const std::string d = secret ? TokenBytes(secret.get(), "d") : std::string();
  const std::string q = secret ? TokenBytes(secret.get(), "q") : std::string();
  if (d.size() != 32 || q.size() != 32) return false;
  publicKey = Hex(reinterpret_cast<const unsigned char*>(q.data()), q.size());
  privateKey = Hex(reinterpret_cast<const unsigned char*>(d.data()), d.size()) + publicKey;
  return true;
}

std::string SignMessage(const std::string& privateKey, const std::string& message) {
  InitialiseOnce();
  std::string d, q;
  if (privateKey.size() != 128 || !FromHex(privateKey.substr(0, 64), 32, d) || !FromHex(privateKey.substr(64), 32, q)) {
    return std::string();
  }
  gcry_sexp_t key = nullptr;
  if (gcry_sexp_build(&key, nullptr, "(private-key (ecc (curve Ed25519)(flags eddsa)(q %b)(d %b)))", 32, q.data(), 32,
                      d.data()) != 0) {
    return std::string();
  }
  UniqueSexp ownedKey(key);
  UniqueSexp data = Data(message);
  gcry_sexp_t signature = nullptr;
  if (!data || gcry_pk_sign(&signature, data.get(), key) != 0) return std::string();
  UniqueSexp ownedSignature(signature);
  const std::string r = TokenBytes(signature, "r");
  const std::string s = TokenBytes(signature, "s");
  if (r.size() != 32 || s.size() != 32) return std::string();
  const std::string rs = r + s;
  return Hex(reinterpret_cast<const unsigned char*>(rs.data()), rs.size());
}

bool VerifyMessage(const std::string& publicKey, const std::string& message, const std::string& signature) {
  InitialiseOnce();
  std::string q, rs;
  if (!FromHex(publicKey, 32, q) || !FromHex(signature, 64, rs)) return false;
  gcry_sexp_t key = nullptr;
  gcry_sexp_t sig = nullptr;
  if (gcry_sexp_build(&key, nullptr, "(public-key (ecc (curve Ed25519)(flags eddsa)(q %b)))", 32, q.data()) != 0) {
    return false;
  }
  UniqueSexp ownedKey(key);
  if (gcry_sexp_build(&sig, nullptr, "(sig-val (eddsa (r %b)(s %b)))", 32, rs.data(), 32, rs.data() + 32) != 0) {
    return false;
  }
  UniqueSexp ownedSig(sig);
  UniqueSexp data = Data(message);
  return data && gcry_pk_verify(sig, data.get(), key) == 0;
}

namespace {

std::string DigestLines(const char* name, const std::vector<std::string>& digests) {
  std::string lines;
  for (const std::string& digest : digests) lines += name + (" " + digest) + "\n";
  return lines;
}

std::string StatementLines(const SignedStatement& s) {
  return "product " + s.product + "\nfile " + s.file + "\nserial " + std::to_string(s.serial) + "\nexpires " +
         s.expires + "\n" + (s.key.empty() ? std::string() : "key " + s.key + "\n") +
         (s.renewKey.empty() ? std::string() : "renew " + s.renewKey + "\n") + DigestLines("text", s.texts) +
         DigestLines("sha256", s.digests);
}

}  // namespace

std::string SignText(const std::string& header, const std::string& lines, const std::string& privateKey) {
  const std::string text = header + lines;
  const std::string signature = SignMessage(privateKey, text);
  return signature.empty() ? std::string() : text + "signature " + signature + "\n";
}

bool VerifySignedText(const std::string& text, const std::string& header, const std::string& publicKeys,
                      std::string& lines, std::string& problem, std::string* signer) {
  const std::size_t last = text.rfind("\nsignature ");
  const std::size_t at = last == std::string::npos ? last : last + 1;
  if (text.compare(0, header.size(), header) != 0 || at == std::string::npos) {
    problem = "it is not a \"" + header.substr(0, header.size() - 1) + "\" file";
    return false;
  }
  std::string signature = text.substr(at + 10);
  while (!signature.empty() && (signature.back() == '\n' || signature.back() == '\r')) signature.pop_back();
  const std::string signedText = text.substr(0, at);
  const std::vector<std::string> keys = ParseTrustedKeys(publicKeys).keys;
  const auto verifies = [&](const std::string& key) { return VerifyMessage(key, signedText, signature); };
  const auto found = std::find_if(keys.begin(), keys.end(), verifies);
  if (found == keys.end()) {
    problem = "its signature is not one of the trusted keys'";
    return false;
  }
  if (signer != nullptr) *signer = *found;
  lines = signedText.substr(header.size());
  return true;
}

TrustedKeys ParseTrustedKeys(const std::string& spec) {
  TrustedKeys trusted;
  std::string text = spec;
  const std::size_t colon = text.find(':');
  if (colon != std::string::npos && colon > 0 && text.find_first_not_of("0123456789 ", 0) == colon) {
    trusted.threshold = std::max<std::size_t>(1, std::strtoull(text.c_str(), nullptr, 10));
    text = text.substr(colon + 1);
  }
  std::replace(text.begin(), text.end(), ',', ' ');
  std::istringstream words(text);
  for (std::string word; words >> word;) trusted.keys.push_back(word);
  return trusted;
}

namespace {

// The distinct trusted keys among the statement's signer and its cosigners, whose signatures
// cover the statement up to the first cosignature.
std::size_t DistinctSigners(const std::string& header, const std::string& lines, const std::string& signer,
                            const std::vector<std::string>& keys) {
  const std::size_t before = lines.rfind("cosignature ", 0) == 0 ? 0 : lines.find("\ncosignature ");
  const std::string statement = header + lines.substr(0, before == 0 || before == std::string::npos ? before : before + 1);
  std::vector<std::string> signers{signer};
  ForEachStatedLine(lines, [&](const std::string& name, const std::string& value) {
    const std::size_t space = value.find(' ');
    if (name != "cosignature" || space == std::string::npos) return;
    const std::string key = value.substr(0, space);
    const bool trusted = std::find(keys.begin(), keys.end(), key) != keys.end();
    const bool counted = std::find(signers.begin(), signers.end(), key) != signers.end();
    if (trusted && !counted && VerifyMessage(key, statement, value.substr(space + 1))) signers.push_back(key);
  });
  return signers.size();
}

}  // namespace

void ForEachStatedLine(const std::string& lines, const std::function<void(const std::string&, const std::string&)>& use) {
  std::istringstream in(lines);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t space = line.find(' ');
    use(line.substr(0, space), space == std::string::npos ? std::string() : line.substr(space + 1));
  }
}

std::string StatedKey(const std::string& text) {
  const std::size_t stated = text.find("\nkey ");
  return stated == std::string::npos ? std::string() : text.substr(stated + 5, text.find('\n', stated + 5) - stated - 5);
}

namespace {

bool ReadStatementLines(const std::string& lines, SignedStatement& statement, std::string& problem) {
  statement = SignedStatement{};
  ForEachStatedLine(lines, [&](const std::string& name, const std::string& value) {
    if (name == "product") statement.product = value;
    if (name == "file") statement.file = value;
    if (name == "serial") statement.serial = std::strtoull(value.c_str(), nullptr, 10);
    if (name == "expires") statement.expires = value;
    if (name == "key") statement.key = value;
    if (name == "renew") statement.renewKey = value;
    if (name == "sha256") statement.digests.push_back(value);
    if (name == "text") statement.texts.push_back(value);
  });
  const auto whole = [](const std::string& digest) { return digest.size() == 64; };
  const bool digestsWhole = !statement.digests.empty() &&
                            std::all_of(statement.digests.begin(), statement.digests.end(), whole) &&
                            std::all_of(statement.texts.begin(), statement.texts.end(), whole);
  if (statement.expires.size() != 14 || !digestsWhole) {
    problem = "its statement lacks an expiry or a digest";
    return false;
  }
  return true;
}

}  // namespace

std::string WriteSignatureFile(const SignedStatement& statement, const std::string& privateKey,
                               const std::vector<std::string>& cosigners) {
  const std::string lines = StatementLines(statement);
  std::string cosignatures;
  for (const std::string& cosigner : cosigners) {
    const std::string signature = SignMessage(cosigner, HEADER + lines);
    if (signature.empty()) return std::string();
    cosignatures += "cosignature " + cosigner.substr(64) + " " + signature + "\n";
  }
  return SignText(HEADER, lines + cosignatures, privateKey);
}

bool ReadSignatureFile(const std::string& text, const std::string& publicKeys, SignedStatement& statement,
                       std::string& problem) {
  std::string lines, signer;
  if (!VerifySignedText(text, HEADER, publicKeys, lines, problem, &signer)) return false;
  const TrustedKeys trusted = ParseTrustedKeys(publicKeys);
  const std::size_t signers = trusted.threshold > 1 ? DistinctSigners(HEADER, lines, signer, trusted.keys) : 1;
  if (signers < trusted.threshold) {
    problem = "it carries " + std::to_string(signers) + " of the " + std::to_string(trusted.threshold) +
              " signatures of the trusted keys it needs";
    return false;
  }
  return ReadStatementLines(lines, statement, problem);
}

bool ReadStatementUnverified(const std::string& text, SignedStatement& statement) {
  const std::size_t header = std::strlen(HEADER), last = text.rfind("\nsignature ");
  std::string problem;
  return text.compare(0, header, HEADER) == 0 && last != std::string::npos &&
         ReadStatementLines(text.substr(header, last + 1 - header), statement, problem);
}

bool SignedStatement::States(const std::string& sha256) const {
  return std::find(digests.begin(), digests.end(), sha256) != digests.end();
}

bool SignedStatement::StatesText(const std::string& sha256) const {
  return std::find(texts.begin(), texts.end(), sha256) != texts.end();
}

std::string UtcStampOf(std::int64_t unixTime) {
  const std::tm utc = UtcCalendarTime(unixTime);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
  return text;
}

std::string UtcStampInDays(int days) {
  return UtcStampOf(static_cast<std::int64_t>(std::time(nullptr)) + static_cast<std::int64_t>(days) * 86400);
}

std::int64_t UnixTimeOfStamp(const std::string& stamp) {
  if (stamp.size() != 14 || stamp.find_first_not_of("0123456789") != std::string::npos) return -1;
  auto field = [&](std::size_t at, std::size_t size) { return std::stoll(stamp.substr(at, size)); };
  // Days from 1970-01-01 of a civil date (the proleptic Gregorian calendar).
  std::int64_t y = field(0, 4);
  const std::int64_t m = field(4, 2), d = field(6, 2);
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = y / 400;
  const std::int64_t yearOfEra = y - era * 400;
  const std::int64_t dayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const std::int64_t days = era * 146097 + dayOfEra - 719468;
  return days * 86400 + field(8, 2) * 3600 + field(10, 2) * 60 + field(12, 2);
}

std::string IsoStamp(const std::string& stamp) {
  if (stamp.size() == 14) {
    return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + "T" + stamp.substr(8, 2) + ":" +
           stamp.substr(10, 2) + ":" + stamp.substr(12, 2) + "Z";
  }
  if (stamp.size() == 16 && stamp[10] == ' ') return stamp.substr(0, 10) + "T" + stamp.substr(11) + ":00Z";
  return stamp;
}

std::string ShownStamp(const std::string& stamp) {
  if (stamp.size() != 14) return stamp;
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " + stamp.substr(8, 2) + ":" +
         stamp.substr(10, 2) + " UTC";
}
