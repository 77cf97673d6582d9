#pragma once
// A release key's rotation: the old key hands its role to a new one, and the new key accepts it,
// in one link that both sign. A tree serves every link of its history, oldest first, in one
// file at its root ("keys.chain"):
//
//   zepo-rotation 1
//   role release
//   from <the old public key>
//   to <the new public key>
//   serial 1796000000
//   from-signature <128 hex digits>
//   to-signature <128 hex digits>
//
// Both signatures cover the lines before them up to "serial". A client that trusts the old key
// follows the link: it trusts the new key and retires the old one, whose later signatures it
// refuses; a client several rotations behind follows each link in turn. Without the old key's
// signature a link moves no one; without the new key's, no one can hand a role to a key that
// never agreed to it (a key of another product, a key whose owner lost it).
#include <cstdint>
#include <string>
#include <vector>

constexpr const char* KEY_CHAIN_FILE = "keys.chain";
constexpr const wchar_t* KEY_CHAIN_FILE_WIDE = L"keys.chain";

struct KeyRotation {
  std::string role = "release";
  std::string from;  // public keys, hex
  std::string to;
  std::uint64_t serial = 0;
};

// A link's text signed by the old key's and the new key's private keys; empty on a bad key.
std::string WriteRotation(const KeyRotation& rotation, const std::string& fromPrivate, const std::string& toPrivate);

// The links of a chain whose two signatures verify, in order; a link that does not read is
// passed over (problems, when given, names each).
std::vector<KeyRotation> ReadKeyChain(const std::string& chain, std::vector<std::string>* problems = nullptr);

// Where trust stands after a chain: the keys trusted (each given key that no link retired, and
// each key a trusted key handed its role to) and the keys retired on the way.
struct FollowedKeys {
  std::vector<std::string> trusted;
  std::vector<std::string> retired;
  std::size_t followed = 0;  // links followed
};

// Follows the chain's release links from keys (hex, separated by commas or blanks).
FollowedKeys FollowKeyChain(const std::string& chain, const std::string& keys);
