#include "publish/renew_tree.h"

#include <cstdio>
#include <ctime>

#include "publish/channel_tree.h"
#include "publish/release.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/renewal.h"
#include "services/signing.h"

namespace fs = std::filesystem;

namespace {

struct Renewed {
  std::size_t written = 0;
  std::size_t stillValid = 0;  // signatures or renewals that last longer already
};

// Why the renewal key cannot renew a statement: it names none, or another.
std::string ForeignRenewer(const std::string& list, const SignedStatement& statement, const std::string& renewer) {
  if (statement.renewKey.empty()) {
    return list + "'s signature names no renewal key: sign the tree once with the release key naming it "
                  "(zepo-publish resign TREE --sign RELEASE.key --renewer " + renewer + ")";
  }
  return list + "'s signature names another renewal key (" + statement.renewKey + ") than this one (" + renewer +
         "): renew with that key, or name this one with the release key (--renewer)";
}

bool RenewSignature(const fs::path& root, const std::string& list, const std::string& renewKey,
                    const std::string& expires, Renewed& renewed, std::string& error) {
  const std::string renewer = renewKey.substr(64);
  std::string text, problem;
  SignedStatement statement;
  if (!ReadWholeFile(WideOf(root / (list + ".sig")), text)) {
    error = list + " has no signature file: the tree is not signed (zepo-publish build --sign)";
    return false;
  }
  if (!ReadSignatureFile(text, StatedKey(text), statement, problem)) {
    error = list + ".sig: " + problem;
    return false;
  }
  if (statement.renewKey != renewer) {
    error = ForeignRenewer(list, statement, renewer);
    return false;
  }
  // A renewal that lasts longer already stays: a shorter one would cut its life.
  if (LastingExpiry(root, list) >= expires) {
    ++renewed.stillValid;
    return true;
  }
  if (expires > RenewalReach(statement)) {
    error = "the release key signed " + list + " on " + ShownStamp(UtcStampOf(static_cast<std::int64_t>(statement.serial))) +
            ": a renewal reaches " + std::to_string(RENEWAL_REACH_DAYS) + " days past that (" +
            ShownStamp(RenewalReach(statement)) + ") at most. Sign again with the release key (zepo-publish resign "
            "--sign), or renew for fewer days (--expires)";
    return false;
  }
  const Renewal renewal{statement.product, statement.file, Sha256Hex(text), expires};
  const std::string renewalText = WriteRenewalFile(renewal, renewKey);
  if (renewalText.empty()) {
    error = "cannot sign a renewal with the key";
    return false;
  }
  if (!WriteFileAtomically(root / (list + RENEWAL_SUFFIX), renewalText, error)) return false;
  ++renewed.written;
  return true;
}

}  // namespace

std::string LastingExpiry(const fs::path& root, const std::string& list) {
  std::string text, renewal, problem;
  SignedStatement statement;
  if (!ReadWholeFile(WideOf(root / (list + ".sig")), text) || !ReadStatementUnverified(text, statement)) {
    return std::string();
  }
  if (ReadWholeFile(WideOf(root / (list + RENEWAL_SUFFIX)), renewal)) {
    ApplyRenewal(text, renewal, statement, static_cast<std::int64_t>(std::time(nullptr)), problem);
  }
  return statement.expires;
}

bool RenewTree(const fs::path& root, const std::wstring& rootKey, const std::wstring& channel,
               const std::string& renewKey, int expiresDays, std::string& error) {
  Tree tree;
  if (!LoadTree(root, rootKey, channel.empty() ? std::wstring(DEFAULT_CHANNEL) : channel, tree, error)) return false;
  const std::string expires = UtcStampInDays(expiresDays);
  Renewed renewed;
  const auto lists = channel.empty() ? EveryServedList(root, tree.productName)
                                     : EveryServedList(root, tree.productName, {channel});
  for (const std::string& list : lists) {
    if (!RenewSignature(root, list, renewKey, expires, renewed, error)) return false;
  }
  std::printf("%zu signatures renewed until %s", renewed.written, ShownStamp(expires).c_str());
  if (renewed.stillValid > 0) std::printf("; %zu already valid until then or later", renewed.stillValid);
  std::printf("\n");
  return true;
}
