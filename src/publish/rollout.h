#pragma once
// Staged rollouts: a version offered on a channel beside its live one to a share of the
// installations, which each choose by a stable hash of their own id and the version (see
// engine/rollout_choice.h). The channel's lists keep the live version and announce the rollout
// in their header; the version's own lists lie in the channel's rollout/ folder.
#include <filesystem>
#include <string>

#include "protocol/served_names.h"
#include "publish/release_signing.h"

struct RolloutOptions {
  std::wstring channel = DEFAULT_CHANNEL;
  std::wstring version;  // the version to offer (a release of this channel or another)
  std::wstring percent;  // the share of installations, "10", "0.5"; "100" makes the version live
  bool halt = false;     // no installation takes the version any more; those that did keep it
  bool back = false;     // with halt: those that took it go back to the live version too
};

// Starts, widens, narrows, halts or completes a channel's rollout, signing as signing asks. False
// with the reason: a version that is live already or that the tree cannot serve, a halt without
// a rollout.
bool RolloutTree(const std::filesystem::path& tree, const std::wstring& rootKey, const RolloutOptions& options,
                 const SigningOptions& signing, bool allowRemovals, std::string& error);
