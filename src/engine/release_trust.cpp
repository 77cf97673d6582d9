#include "engine/release_trust.h"

#include <ctime>

#include "protocol/served_names.h"
#include "services/files.h"
#include "services/http.h"
#include "services/key_chain.h"
#include "services/renewal.h"
#include "services/text.h"

bool ReleaseTrust::Follow(const std::string& chain) {
  // A set of keys of which several must sign moves by a new client build, not by a chain.
  if (ParseTrustedKeys(givenKeys_).threshold > 1) return false;
  const FollowedKeys followed = FollowKeyChain(chain, givenKeys_);
  std::string keys, retired;
  for (const std::string& key : followed.trusted) keys += (keys.empty() ? "" : ",") + key;
  for (const std::string& key : followed.retired) retired += (retired.empty() ? "" : ",") + key;
  const bool changed = keys != keys_;
  keys_ = keys;
  retired_ = retired;
  return changed;
}

bool ReleaseTrust::Holds(const std::string& text, const std::string& fileName, SignedStatement& statement,
                         std::string& problem, const std::function<std::string()>& renewal) const {
  if (!ReadSignatureFile(text, keys_, statement, problem)) return false;
  if (statement.file != fileName) {
    problem = "its signature is for " + statement.file + ", not " + fileName;
    return false;
  }
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  if (statement.expires >= UtcStampOf(now)) return true;
  // Past its expiry, a statement lives on by a renewal of the key it names.
  problem = ExpiryProblem(statement, now);
  if (statement.renewKey.empty()) return false;
  const std::string renewalText = renewal();
  std::string why;
  if (renewalText.empty()) return false;
  if (ApplyRenewal(text, renewalText, statement, now, why)) return true;
  problem += " (its renewal is refused: " + why + ")";
  return false;
}

std::string ReleaseTrust::ExpiryProblem(const SignedStatement& statement, std::int64_t now) {
  std::string problem = "its signature expired on " + ShownStamp(statement.expires) +
                        ": the publisher has not renewed it; try again later";
  // A clock years ahead, or one a day or more before the moment the publisher signed (serials may
  // run a little ahead of it when publications follow each other fast), makes a fresh signature
  // look expired: then the player's clock is what to fix.
  constexpr std::int64_t DAY = 86400, YEAR = 365 * DAY;
  const std::int64_t expires = UnixTimeOfStamp(statement.expires);
  if ((expires >= 0 && now > expires + YEAR) || now + DAY < static_cast<std::int64_t>(statement.serial)) {
    problem = "its signature expired on " + ShownStamp(statement.expires) + " by this computer's clock, which says " +
              ShownStamp(UtcStampOf(now)) + ": check the computer's clock";
  }
  return problem;
}

bool ReleaseTrust::Accept(const std::wstring& path, const std::wstring& url, const std::wstring& host,
                          const std::string& fileName, const std::wstring& keptPath, SignedStatement& statement,
                          std::string& text, std::wstring& problem, Held held) const {
  const std::wstring signaturePath = path + SIGNATURE_SUFFIX.wide;
  StepCode code;
  if (!DownloadFileInto(signaturePath, url + SIGNATURE_SUFFIX.wide, host, nullptr, code) || !ReadWholeFile(signaturePath, text)) {
    problem = L"it has no signature file (" + LastDownloadCause() + L")";
    return false;
  }
  std::string why;
  std::string bytes;
  const auto renewal = [&] {
    const std::wstring renewalPath = path + RENEWAL_SUFFIX_WIDE;
    std::string renewalText;
    StepCode ignored;
    if (!DownloadFileInto(renewalPath, url + RENEWAL_SUFFIX_WIDE, host, nullptr, ignored)) return std::string();
    ReadWholeFile(renewalPath, renewalText);
    RemoveFile(renewalPath);
    return renewalText;
  };
  if (!Holds(text, fileName, statement, why, renewal)) {
    problem = Latin1ToWide(why);
    return false;
  }
  const bool stated = ReadWholeFile(path, bytes) &&
                      (held == Held::Packed ? statement.States(Sha256Hex(bytes)) : statement.StatesText(Sha256Hex(bytes)));
  if (!stated) {
    problem = L"its bytes are not the ones its signature states";
    return false;
  }
  std::string kept;
  SignedStatement last;
  if (ReadWholeFile(keptPath, kept) && ReadSignatureFile(kept, EveryKey(), last, why) && statement.serial < last.serial) {
    problem = L"it is an older publication (serial " + std::to_wstring(statement.serial) + L") than the one accepted "
              L"before (serial " + std::to_wstring(last.serial) + L")";
    return false;
  }
  return true;
}

bool ReleaseTrust::Keep(const std::wstring& keptPath, const std::string& text, const std::string& renewal) {
  const auto write = [](const std::wstring& path, const std::string& bytes) {
    FileHandle out = FileHandle::CreateForWrite(path);
    return out.IsOpen() && out.Write(bytes.data(), bytes.size()) && out.Flush();
  };
  // A renewal kept from an earlier statement renews nothing now; it goes.
  return write(keptPath, text) && (renewal.empty() ? (RemoveFile(keptPath + RENEWAL_SUFFIX_WIDE), true)
                                                   : write(keptPath + RENEWAL_SUFFIX_WIDE, renewal));
}

bool ReleaseTrust::StillValid(const std::wstring& keptPath, const std::string& fileName,
                              SignedStatement& statement) const {
  std::string text;
  std::string problem;
  const auto renewal = [&] {
    std::string renewalText;
    ReadWholeFile(keptPath + RENEWAL_SUFFIX_WIDE, renewalText);
    return renewalText;
  };
  return ReadWholeFile(keptPath, text) && Holds(text, fileName, statement, problem, renewal);
}

std::string ReleaseTrust::KeptProduct(const std::wstring& keptPath) const {
  std::string text, problem;
  SignedStatement statement;
  return ReadWholeFile(keptPath, text) && ReadSignatureFile(text, EveryKey(), statement, problem) ? statement.product
                                                                                            : std::string();
}

bool ReleaseTrust::ContentMatches(const std::wstring& path, const std::wstring& sha256, const std::wstring& size,
                                  std::wstring& problem) {
  if (sha256.empty() || size.empty()) {
    problem = L"the list gives no SHA256 and Size for it";
    return false;
  }
  FileHandle file = FileHandle::OpenForRead(path);
  const std::int64_t length = file.IsOpen() ? file.Size() : -1;
  file.Close();
  if (std::to_wstring(length) != size) {
    problem = L"it has " + std::to_wstring(length) + L" bytes, the list says " + size;
    return false;
  }
  const std::wstring digest = AnsiToWide(Sha256OfFile(path));
  if (!EqualNoCase(digest, sha256)) {
    problem = L"its SHA-256 is " + digest + L", the list says " + sha256;
    return false;
  }
  return true;
}
