#pragma once
// Moving players to a new key without a new client build. A release key hands its role to a new
// one by a link that both sign, appended to the tree's chain (services/key_chain.h); the live
// signatures of every channel are then the new key's. Updaters that trust the old key follow the
// chain, trust the new key and refuse the old one's later signatures. A renewal key is rotated
// under the release key: the release key signs the live signatures again naming the new one.
#include <filesystem>
#include <string>

#include "publish/release_signing.h"

struct Rotation {
  KeyRole role = KeyRole::Release;
  // A release rotation: both private keys. A renewal rotation: the public keys (the old one may
  // be lost or stolen), and signing holds the release key.
  std::string from;
  std::string to;
  SigningOptions signing;
};

// Rotates the tree's key as rotation says. False with the reason; a rotation stopped half-way is
// finished by running it again.
bool RotateKey(const std::filesystem::path& root, const std::wstring& rootKey, const Rotation& rotation,
               std::string& error);
