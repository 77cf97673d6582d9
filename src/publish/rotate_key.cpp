#include "publish/rotate_key.h"

#include <cstdio>
#include <ctime>

#include "protocol/served_names.h"
#include "publish/channel_tree.h"
#include "publish/channels.h"
#include "publish/release.h"
#include "publish/tree_status.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/key_chain.h"
#include "services/signing.h"

namespace fs = std::filesystem;

namespace {

std::string PublicOf(const std::string& privateKey) { return privateKey.substr(64); }

// Signs every channel's live lists again as signing says.
bool ResignEveryChannel(const fs::path& root, const std::wstring& rootKey, const SigningOptions& signing,
                        std::string& error) {
  Tree tree;
  if (!LoadTree(root, rootKey, DEFAULT_CHANNEL, tree, error)) return false;
  for (const std::wstring& channel : ChannelsOf(tree.product)) {
    if (!ResignTree(root, rootKey, channel, signing, error)) return false;
  }
  return true;
}

// Appends the link from the old key to the new one to the tree's chain, unless it holds it.
bool ChainRotation(const fs::path& root, const Rotation& rotation, std::size_t& links, std::string& error) {
  std::string chain;
  ReadWholeFile(WideOf(root / KEY_CHAIN_FILE), chain);
  KeyRotation link{"release", PublicOf(rotation.from), PublicOf(rotation.to),
                   static_cast<std::uint64_t>(std::time(nullptr))};
  std::vector<std::string> problems;
  const std::vector<KeyRotation> chained = ReadKeyChain(chain, &problems);
  links = chained.size();
  if (!problems.empty()) {
    error = std::string(KEY_CHAIN_FILE) + " holds a link that does not verify (" + problems.front() +
            "): restore it from a copy of the tree";
    return false;
  }
  for (const KeyRotation& held : chained) {
    if (held.role == link.role && held.from == link.from && held.to == link.to) return true;
  }
  const std::string text = WriteRotation(link, rotation.from, rotation.to);
  if (text.empty()) {
    error = "cannot sign the rotation with the keys";
    return false;
  }
  ++links;
  return WriteFileAtomically(root / KEY_CHAIN_FILE, chain + text, error);
}

bool RotateReleaseKey(const fs::path& root, const std::wstring& rootKey, const Rotation& rotation, std::string& error) {
  SigningOptions from;
  from.privateKey = rotation.from;
  SigningOptions to = rotation.signing;
  to.privateKey = rotation.to;
  const fs::path rootSignature = root / (std::string(ROOT_DESCRIPTOR.narrow) + SIGNATURE_SUFFIX.narrow);
  std::string notFrom, notTo;
  // A rotation stopped after its link finds the tree signed by either key.
  if (!KeyFitsTree(rootSignature, from, notFrom) && !KeyFitsTree(rootSignature, to, notTo)) {
    error = "the tree is not signed by the key to rotate from: " + notFrom;
    return false;
  }
  std::size_t links = 0;
  to.changeKey = true;
  if (!ChainRotation(root, rotation, links, error) || !ResignEveryChannel(root, rootKey, to, error)) return false;
  std::printf("the release key %s handed its role to %s: %s holds %zu link%s, and the live signatures are the new "
              "key's. Updaters that trust the old key follow the chain; push the tree\n",
              PublicOf(rotation.from).c_str(), PublicOf(rotation.to).c_str(), KEY_CHAIN_FILE, links,
              links == 1 ? "" : "s");
  return true;
}

bool RotateRenewalKey(const fs::path& root, const std::wstring& rootKey, const Rotation& rotation, std::string& error) {
  const fs::path rootSignature = root / (std::string(ROOT_DESCRIPTOR.narrow) + SIGNATURE_SUFFIX.narrow);
  const std::string named = RenewerOf(rootSignature, SigningOptions{});
  if (named != rotation.from && named != rotation.to) {
    error = "the tree's signatures name the renewal key " + (named.empty() ? std::string("none") : named) +
            ", not " + rotation.from;
    return false;
  }
  SigningOptions signing = rotation.signing;
  signing.renewer = rotation.to;
  if (!ResignEveryChannel(root, rootKey, signing, error)) return false;
  std::printf("the live signatures name the renewal key %s instead of %s; the old one renews nothing they state\n",
              rotation.to.c_str(), rotation.from.c_str());
  return true;
}

}  // namespace

bool RotateKey(const fs::path& root, const std::wstring& rootKey, const Rotation& rotation, std::string& error) {
  return rotation.role == KeyRole::Release ? RotateReleaseKey(root, rootKey, rotation, error)
                                           : RotateRenewalKey(root, rootKey, rotation, error);
}
