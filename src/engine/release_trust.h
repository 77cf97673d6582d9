#pragma once
// What a client that trusts a publisher's key holds a signed tree to: every descriptor and list
// comes with a signature file of a trusted key that states its exact bytes, its file name and
// product, a serial no lower than the last one accepted, and an expiry not yet passed (its own, or
// a renewal's: services/renewal.h); every file it stages has the list's SHA-256 and size. A
// trusted key may hand its role on to another by a rotation (services/key_chain.h). Without keys
// nothing is checked, as before.
#include <cstdint>
#include <functional>
#include <string>

#include "services/signing.h"

class ReleaseTrust {
 public:
  // keys: hex public keys separated by commas or blanks; empty trusts no key and checks nothing.
  explicit ReleaseTrust(std::string keys = {}) : givenKeys_(keys), keys_(std::move(keys)) {}
  bool Enabled() const { return !givenKeys_.empty(); }

  // Follows a chain of key rotations (services/key_chain.h) from the keys given: the keys they
  // handed their role to are trusted, and they are retired. True when that changed the keys.
  bool Follow(const std::string& chain);

  // What the file held to a statement is: the packed file as served, or a list's unpacked text
  // (a list rebuilt from a patch has no served bytes to compare).
  enum class Held { Packed, Text };

  // Downloads url + ".sig" and holds the file at path to it: the statement must name fileName and
  // the file's SHA-256 (of its packed bytes or its text, as held says), must not have expired, and
  // its serial must not be below the one in the signature kept at keptPath. False with the
  // problem; true with the signature's text, which Keep makes the kept one once the caller has
  // checked the product too. A statement past its expiry takes url + ".renew" for a renewal.
  bool Accept(const std::wstring& path, const std::wstring& url, const std::wstring& host, const std::string& fileName,
              const std::wstring& keptPath, SignedStatement& statement, std::string& text, std::wstring& problem,
              Held held = Held::Packed) const;
  // Keeps the signature's text at keptPath and the renewal that extended it (statement.renewal)
  // beside it.
  static bool Keep(const std::wstring& keptPath, const std::string& text, const std::string& renewal);

  // Whether the signature kept at keptPath still vouches for a cached copy of fileName: it is a
  // trusted key's, names the file and has not expired (or a renewal kept beside it extends it).
  bool StillValid(const std::wstring& keptPath, const std::string& fileName, SignedStatement& statement) const;

  // The product that the signature kept at keptPath names, expired or not; empty when there is
  // none that a trusted key signed.
  std::string KeptProduct(const std::wstring& keptPath) const;

  // Whether a staged file has the SHA-256 and the size that the list gives for it; a list entry
  // without them is refused.
  static bool ContentMatches(const std::wstring& path, const std::wstring& sha256, const std::wstring& size,
                             std::wstring& problem);

  // Why an expired statement is refused, in words for a player at the Unix time now: the
  // publisher's lapse, or the computer's clock when it is years past the expiry or before the
  // moment of signing.
  static std::string ExpiryProblem(const SignedStatement& statement, std::int64_t now);

 private:
  // renewal: the text of the statement's renewal, asked for only when the statement expired.
  bool Holds(const std::string& text, const std::string& fileName, SignedStatement& statement, std::string& problem,
             const std::function<std::string()>& renewal) const;

  // Every key trusted now or once: a kept signature of a retired key still sets the serial floor
  // and the product.
  std::string EveryKey() const { return retired_.empty() ? keys_ : keys_ + "," + retired_; }

  std::string givenKeys_;
  std::string keys_;     // trusted now: the given keys, moved along the chain followed
  std::string retired_;  // retired along the chain
};
