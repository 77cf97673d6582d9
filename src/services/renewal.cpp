#include "services/renewal.h"

namespace {

constexpr const char* HEADER = "zepo-renewal 1\n";

}  // namespace

std::string WriteRenewalFile(const Renewal& renewal, const std::string& privateKey) {
  return SignText(HEADER,
                  "product " + renewal.product + "\nfile " + renewal.file + "\nstatement " + renewal.statement +
                      "\nexpires " + renewal.expires + "\n",
                  privateKey);
}

bool ReadRenewalFile(const std::string& text, const std::string& publicKey, Renewal& renewal, std::string& problem) {
  std::string lines;
  if (publicKey.empty()) {
    problem = "its statement names no renewal key";
    return false;
  }
  if (!VerifySignedText(text, HEADER, publicKey, lines, problem)) {
    if (problem.find("trusted keys") != std::string::npos) problem = "it is not signed by the renewal key its statement names";
    return false;
  }
  renewal = Renewal{};
  ForEachStatedLine(lines, [&](const std::string& name, const std::string& value) {
    if (name == "product") renewal.product = value;
    if (name == "file") renewal.file = value;
    if (name == "statement") renewal.statement = value;
    if (name == "expires") renewal.expires = value;
  });
  if (renewal.expires.size() != 14 || UnixTimeOfStamp(renewal.expires) < 0 || renewal.statement.size() != 64) {
    problem = "it lacks an expiry or the statement it renews";
    return false;
  }
  return true;
}

std::string RenewalReach(const SignedStatement& statement) {
  return UtcStampOf(static_cast<std::int64_t>(statement.serial) + std::int64_t{RENEWAL_REACH_DAYS} * 86400);
}

bool ApplyRenewal(const std::string& signatureText, const std::string& renewalText, SignedStatement& statement,
                  std::int64_t now, std::string& problem) {
  Renewal renewal;
  if (!ReadRenewalFile(renewalText, statement.renewKey, renewal, problem)) return false;
  if (renewal.statement != Sha256Hex(signatureText) || renewal.file != statement.file ||
      renewal.product != statement.product) {
    problem = "it renews another statement than this one (" + renewal.product + renewal.file + ")";
  } else if (renewal.expires <= statement.expires) {
    problem = "it does not lengthen the statement's life";
  } else if (renewal.expires > RenewalReach(statement)) {
    problem = "it reaches past " + ShownStamp(RenewalReach(statement)) + ", " + std::to_string(RENEWAL_REACH_DAYS) +
              " days after the release key signed; only the release key signs further";
  } else if (renewal.expires < UtcStampOf(now)) {
    problem = "it expired too, on " + ShownStamp(renewal.expires);
  } else {
    statement.expires = renewal.expires;
    statement.renewal = renewalText;
    return true;
  }
  return false;
}
