#include "publish/rollout.h"

#include <cstdio>

#include "protocol/file_list.h"
#include "publish/channel_tree.h"
#include "publish/channels.h"
#include "publish/tree_builder.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// The channel's rollout lists relative to the tree: "velora/rollout/filelist.enc".
std::string RolloutList(const Tree& tree, const char* name) {
  return tree.ListsFolder() + WideToUtf8(ROLLOUT_FOLDER) + name;
}

// The version from the channel's index, or from another channel's as promote takes it.
bool FindRelease(Tree& tree, const std::wstring& rootKey, const std::wstring& version, std::string& error) {
  if (tree.index.Find(version) != nullptr) return true;
  for (const std::wstring& channel : ChannelsOf(tree.product)) {
    Tree other;
    std::string ignored;
    if (channel == tree.channel || !LoadTree(tree.root, rootKey, channel, other, ignored)) continue;
    const IndexedRelease* release = other.index.Find(version);
    if (release != nullptr && release->pruned.empty()) return ImportRelease(other, tree, version, error);
  }
  error = "version " + WideToUtf8(version) + " is in no channel's index; zepo-publish build --channel " +
          WideToUtf8(tree.channel) + " publishes it first (or build it on another channel)";
  return false;
}

// The channel's live lists again, announcing the rollout in their header; back: with patches
// from the rollout's version, which its installations go back from.
void AddLiveLists(Tree& tree, const IndexedRollout& rollout, bool back, Publication& publication, bool& ok,
                  std::string& error) {
  std::wstring full, update;
  ok = ComposeServedLists(tree, tree.index.live(), back ? rollout.version : L"", full, update, error);
  if (!ok) return;
  const std::wstring lines = RolloutHeaderLines(rollout.version, rollout.percent, rollout.state);
  publication.AddList(tree.ListsFolder() + FULL_LIST.narrow,
                      ListTextWithHeaderLines(ListTextOnChannel(full, tree.channel), lines));
  publication.AddList(tree.ListsFolder() + UPDATE_LIST.narrow,
                      ListTextWithHeaderLines(ListTextOnChannel(update, tree.channel), lines));
}

bool Halt(Tree& tree, bool back, const SigningOptions& signing, std::string& error) {
  IndexedRollout rollout = tree.index.rollout();
  if (rollout.version.empty()) {
    error = "the channel " + WideToUtf8(tree.channel) + " has no rollout to halt";
    return false;
  }
  rollout.state = back ? ROLLOUT_BACK : ROLLOUT_HALTED;
  Publication publication(tree.root, tree.productName, tree.channel);
  bool ok = false;
  AddLiveLists(tree, rollout, back, publication, ok, error);
  if (!ok) return false;
  tree.index.SetRollout(rollout);
  if (!PublishTree(tree, publication, signing, error)) return false;
  std::printf(back ? "the rollout of %s is halted: no installation takes it, and those that did go back to %s\n"
                   : "the rollout of %s is halted: no other installation takes it (those that did keep it; --back "
                     "sends them to %s)\n",
              WideToUtf8(rollout.version).c_str(), WideToUtf8(tree.index.live()).c_str());
  return true;
}

// The version goes live to every installation: the channel's lists name it, the rollout's go.
bool Complete(Tree& tree, const std::wstring& version, const SigningOptions& signing, std::string& error) {
  const std::wstring was = tree.index.live();
  std::wstring full, update;
  if (!ComposeServedLists(tree, version, was, full, update, error)) return false;
  tree.index.MakeLive(version, L"");
  Publication publication(tree.root, tree.productName, tree.channel);
  publication.AddList(tree.ListsFolder() + FULL_LIST.narrow, ListTextOnChannel(full, tree.channel));
  publication.AddList(tree.ListsFolder() + UPDATE_LIST.narrow, ListTextOnChannel(update, tree.channel));
  std::error_code ignored;
  for (const char* name : {FULL_LIST.narrow, UPDATE_LIST.narrow}) {
    if (fs::exists(tree.root / RolloutList(tree, name), ignored)) publication.RemoveList(RolloutList(tree, name));
  }
  if (!PublishTree(tree, publication, signing, error)) return false;
  std::printf("version %s is live on the channel %s for every installation; the rollout is complete\n",
              WideToUtf8(version).c_str(), WideToUtf8(tree.channel).c_str());
  return true;
}

// Offers the version to the share: its lists in the rollout folder, the channel's live lists
// announcing it.
bool Offer(Tree& tree, const IndexedRollout& rollout, const SigningOptions& signing, std::string& error) {
  std::wstring full, update;
  if (!ComposeServedLists(tree, rollout.version, tree.index.live(), full, update, error)) return false;
  Publication publication(tree.root, tree.productName, tree.channel);
  publication.AddList(RolloutList(tree, FULL_LIST.narrow), ListTextOnChannel(full, tree.channel));
  publication.AddList(RolloutList(tree, UPDATE_LIST.narrow), ListTextOnChannel(update, tree.channel));
  bool ok = false;
  AddLiveLists(tree, rollout, false, publication, ok, error);
  if (!ok) return false;
  tree.index.SetRollout(rollout);
  if (!PublishTree(tree, publication, signing, error)) return false;
  std::printf("version %s goes to %s%% of the channel %s's installations (the rest stay on %s)\n",
              WideToUtf8(rollout.version).c_str(), WideToUtf8(rollout.percent).c_str(),
              WideToUtf8(tree.channel).c_str(), WideToUtf8(tree.index.live()).c_str());
  return true;
}

}  // namespace

bool RolloutTree(const fs::path& root, const std::wstring& rootKey, const RolloutOptions& options,
                 const SigningOptions& signing, bool allowRemovals, std::string& error) {
  Tree tree;
  if (!LoadTree(root, rootKey, options.channel, tree, error) || !SigningFitsTree(root, signing, error)) return false;
  if (options.halt) return Halt(tree, options.back, signing, error);
  unsigned hundredths = 0;
  if (!ParseRolloutPercent(options.percent, hundredths)) {
    error = "--percent takes 0 to 100 (two decimals at most), not " + WideToUtf8(options.percent);
    return false;
  }
  if (options.version == tree.index.live()) {
    error = "version " + WideToUtf8(options.version) + " is live on the channel already";
    return false;
  }
  if (!FindRelease(tree, rootKey, options.version, error)) return false;
  // What goes live to a share must be whole in the tree, as for a rollback.
  const IniDocument kept = tree.index.ListOf(options.version);
  if (!CanGoLiveAgain(root, tree, options.version, kept, error) ||
      !CheckRemovals(FilesOf(PublishedList(tree.lists)), FilesOf(kept), options.version, allowRemovals, error)) {
    return false;
  }
  if (hundredths == 10000) return Complete(tree, options.version, signing, error);
  return Offer(tree, IndexedRollout{options.version, options.percent, ROLLOUT_RUNNING}, signing, error);
}
