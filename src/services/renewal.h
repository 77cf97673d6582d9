#pragma once
// A renewal: a later expiry for one signature file (services/signing.h), signed by the renewal
// key that the statement names on its "renew" line, served beside the signed file as
// NAME + ".renew":
//
//   zepo-renewal 1
//   product velora/
//   file filelist.enc
//   statement <SHA-256 of the signature file's text>
//   expires 20270206120000
//   signature <128 hex digits>
//
// The renewal key can keep alive what the release key signed, and nothing more: a renewal
// vouches for no bytes, names one statement by its digest (so it cannot lend time to another
// list, product or serial), and only lengthens its life. Its own header keeps a renewal key's
// signature from ever reading as a statement. The release key stays offline; the key that renews
// every day may live on the machine that runs the daily job.
#include <cstdint>
#include <string>

#include "services/signing.h"

constexpr const char* RENEWAL_SUFFIX = ".renew";
constexpr const wchar_t* RENEWAL_SUFFIX_WIDE = L".renew";

// How far past the moment the release key signed (the statement's serial) a renewal may reach: a
// stolen renewal key cannot keep a release alive for ever; the release key signs at least that
// often.
constexpr int RENEWAL_REACH_DAYS = 400;

struct Renewal {
  std::string product;
  std::string file;
  std::string statement;  // the SHA-256 of the renewed signature file's text
  std::string expires;    // 14 digits, UTC
};

// The renewal file's text, signed by privateKey; empty on a bad key.
std::string WriteRenewalFile(const Renewal& renewal, const std::string& privateKey);

// Reads a renewal file and verifies it with publicKey; false with the reason otherwise.
bool ReadRenewalFile(const std::string& text, const std::string& publicKey, Renewal& renewal, std::string& problem);

// Gives the statement read from signatureText the later expiry that renewalText grants, at the
// Unix time now: the renewal must be signed by the key the statement names, name the same
// product, file and statement, expire later than the statement and not yet, and within
// RENEWAL_REACH_DAYS of the statement's serial. False with the reason, the statement unchanged.
bool ApplyRenewal(const std::string& signatureText, const std::string& renewalText, SignedStatement& statement,
                  std::int64_t now, std::string& problem);

// The latest expiry a renewal of the statement may state.
std::string RenewalReach(const SignedStatement& statement);
