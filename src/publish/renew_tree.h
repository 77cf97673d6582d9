#pragma once
// The daily job of a signed tree: the live signatures' life lengthened by the renewal key alone
// (services/renewal.h), with the release key offline. A renewal is written beside each signature
// file that names the key; nothing that players install changes.
#include <filesystem>
#include <string>

#include "publish/release_signing.h"

// Renews the served signatures of the channel (every channel when it is empty) until expiresDays
// from now with the renewal key: false with the reason when a signature names no renewal key or
// another one, or the renewal would reach past what the release key allowed.
bool RenewTree(const std::filesystem::path& root, const std::wstring& rootKey, const std::wstring& channel,
               const std::string& renewKey, int expiresDays, std::string& error);

// The expiry that clients hold the signature of a served list (relative to root) to: its own, or
// its renewal's when that is valid and later; empty when the list has no signature.
std::string LastingExpiry(const std::filesystem::path& root, const std::string& list);
