#pragma once
// How a tree's new state reaches clients with no window between the old and the new. Clients
// read the root descriptor, then one list, each with its signature file in a signed tree; the
// publisher also keeps the release index. A publication replaces these together:
//
//   1. the objects the new lists name are in place already (immutable, under new names);
//   2. everything else new is written into TREE/.zepo-publishing/, and last the plan, "commit",
//      that names each move and removal in order;
//   3. the plan is carried out: the signature files first (each vouches for the list it replaces
//      and for the new one), then the lists, then what is taken away, then the index;
//   4. the staging folder goes.
//
// Stopped in 2 (a kill, a full disk, a signing that fails), the tree is as it was and the next
// command discards the stage; stopped in 3, the next command finishes the plan (Recover). At every
// moment each list is beside a signature file that vouches for it, and any order in which an
// upload or a cache delivers the files works as long as a signature file is never older than the
// list it is served with: that is the order above, and what `push` keeps.
#include <filesystem>
#include <string>
#include <vector>

#include "protocol/served_names.h"
#include "publish/release_signing.h"

// The file list's text encoded for every reader: ANSI when it is ASCII, else UTF-16LE with a
// byte-order mark.
std::string EncodeListText(const std::wstring& text);

// The folder of a publication in progress, at the tree's root.
constexpr const char* PUBLICATION_STAGE = ".zepo-publishing";

// The served files of a tree's channel, relative to its root: the root descriptor and the
// channel's lists (the product's own for the default channel).
std::vector<std::string> ServedLists(const std::wstring& product, const std::wstring& channel = DEFAULT_CHANNEL);
// The signed files that the tree serves for the channels (every channel the product folder holds
// when none is named), relative to the tree: the root descriptor once, each channel's lists and
// a running rollout's.
std::vector<std::string> EveryServedList(const std::filesystem::path& tree, const std::wstring& productName,
                                         std::vector<std::wstring> channels = {});

// A tree with signatures stays signed: clients that trust its key refuse lists without them. False
// with the reason when signing neither signs nor takes the signatures away knowingly.
bool SigningFitsTree(const std::filesystem::path& tree, const SigningOptions& signing, std::string& error);

class Publication {
 public:
  // product: the product folder as the root descriptor names it, "velora/"; channel: whose lists
  // it signs.
  Publication(std::filesystem::path tree, std::wstring product, std::wstring channel = DEFAULT_CHANNEL);

  // A descriptor or list (relative to the tree: "velora/filelist.enc") that goes live with this
  // text, packed as clients read it, and with a time at least a second after the one it replaces
  // (clients take a list whose stamp they have seen as the one they hold).
  void AddList(const std::string& relative, const std::wstring& text);
  // The release index, which goes live last.
  void SetIndex(const std::string& relative, const std::string& text);
  // Signs every served list as it will be after the publication: a signature file for each,
  // with one new serial, stating the digest of the list it replaces (when that differs) and then
  // the new one's.
  bool Sign(const SigningOptions& signing, std::string& error);
  // Takes the lists' signature files away after the lists go live (a tree published unsigned).
  void RemoveSignatures();
  // Takes a served list and its signature file away after the lists go live.
  void RemoveList(const std::string& relative);
  // Signs a served list that stays as it is (a rollout's, when the channel's are signed again).
  void SignAlso(const std::string& relative) { alsoSigned_.push_back(relative); }

  // Stages everything, then carries out the plan. False with the reason when staging failed (the
  // tree is as it was) or the plan could not be finished (the next command finishes it).
  bool Publish(std::string& error);

  // Finishes a publication that a stopped publisher left, or discards one that never got its
  // plan; said tells which, empty when there was none.
  static bool Recover(const std::filesystem::path& tree, std::string& said, std::string& error);

  // The serial the signatures got; 0 when unsigned.
  std::uint64_t serial() const { return serial_; }

 private:
  struct Staged {
    std::string relative;
    std::string bytes;
    bool list = false;
  };
  bool Stage(const Staged& file, std::string& error) const;
  // The lists the signatures vouch for: the channel's served ones and any other added.
  std::vector<std::string> SignedLists() const;
  std::string BytesAfter(const std::string& relative) const;

  std::filesystem::path tree_;
  std::wstring product_;
  std::wstring channel_;
  std::vector<Staged> signatures_;
  std::vector<Staged> lists_;
  std::vector<Staged> index_;
  std::vector<std::string> removals_;
  std::vector<std::string> alsoSigned_;
  std::uint64_t serial_ = 0;
};
