#include "publish/publication.h"

#include <algorithm>
#include <chrono>
#include <sstream>

#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "publish/channels.h"
#include "publish/list_patches.h"
#include "publish/release.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/packed.h"
#include "services/renewal.h"
#include "services/signing.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* PLAN_FILE = "commit";

fs::path StageOf(const fs::path& tree) { return tree / PUBLICATION_STAGE; }

std::string ReadBytes(const fs::path& path) {
  std::string bytes;
  ReadWholeFile(WideOf(path), bytes);
  return bytes;
}

// Carries out a plan's lines ("move RELATIVE", "remove RELATIVE") in order. A move whose staged
// file is gone was made already by a publisher that stopped after it.
bool CarryOut(const fs::path& tree, const std::string& plan, std::string& error) {
  const fs::path stage = StageOf(tree);
  std::istringstream lines(plan);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string verb = line.substr(0, space);
    const fs::path relative = line.substr(space + 1);
    std::error_code missing;
    if (verb == "move" && fs::exists(stage / relative, missing)) {
      fs::create_directories((tree / relative).parent_path(), missing);
      if (!MoveIntoPlace(stage / relative, tree / relative, error)) return false;
    } else if (verb == "remove" && fs::exists(tree / relative, missing)) {
      if (!RemoveFromTree(tree / relative, error)) return false;
    }
  }
  std::error_code failure;
  fs::remove(stage / PLAN_FILE, failure);
  fs::remove_all(stage, failure);
  if (!failure) return true;
  error = "the publication is live, but its staging folder " + stage.string() + " cannot be removed: " +
          failure.message();
  return false;
}

// A packed list's digests as a signature states them: of its bytes, and of its text (which a
// client that patched its list holds).
void StateDigests(const std::string& packed, std::vector<std::string>& digests, std::vector<std::string>& texts) {
  digests.push_back(Sha256Hex(packed));
  std::string text;
  if (UnpackBytes(packed, text)) texts.push_back(Sha256Hex(text));
}

}  // namespace

std::string EncodeListText(const std::wstring& text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
  if (ascii) return std::string(text.begin(), text.end());
  return "\xFF\xFE" + WideToUtf16Le(text);
}

std::vector<std::string> ServedLists(const std::wstring& product, const std::wstring& channel) {
  const std::string folder = WideToUtf8(product + ChannelFolder(channel));
  return {ROOT_DESCRIPTOR.narrow, folder + UPDATE_LIST.narrow, folder + FULL_LIST.narrow};
}

std::vector<std::string> EveryServedList(const fs::path& tree, const std::wstring& productName,
                                         std::vector<std::wstring> channels) {
  std::vector<std::string> lists{ROOT_DESCRIPTOR.narrow};
  std::error_code ignored;
  if (channels.empty()) channels = ChannelsOf(tree / PathOf(productName));
  for (const std::wstring& channel : channels) {
    for (const std::string& list : ServedLists(productName, channel)) {
      if (list != ROOT_DESCRIPTOR.narrow) lists.push_back(list);
    }
    // A rollout's lists, while the channel offers one.
    const std::string rollout = WideToUtf8(productName + ChannelFolder(channel) + ROLLOUT_FOLDER);
    for (const char* list : {UPDATE_LIST.narrow, FULL_LIST.narrow}) {
      if (fs::exists(tree / (rollout + list), ignored)) lists.push_back(rollout + list);
    }
  }
  return lists;
}

bool SigningFitsTree(const fs::path& tree, const SigningOptions& signing, std::string& error) {
  std::error_code ignored;
  const fs::path rootSignature = tree / (std::string(ROOT_DESCRIPTOR.narrow) + SIGNATURE_SUFFIX.narrow);
  if (signing.Enabled() || signing.removeSignatures || !fs::exists(rootSignature, ignored)) return true;
  error = "the tree at " + tree.string() + " is signed (rootfolder.enc.sig): clients that trust its key would refuse "
          "lists without signatures. Give --sign KEYFILE, or --unsigned to publish it unsigned and take its "
          "signatures away";
  return false;
}

Publication::Publication(fs::path tree, std::wstring product, std::wstring channel)
    : tree_(std::move(tree)), product_(std::move(product)), channel_(std::move(channel)) {}

void Publication::AddList(const std::string& relative, const std::wstring& text) {
  lists_.push_back({relative, PackBytes(EncodeListText(text), 9), true});
}

void Publication::SetIndex(const std::string& relative, const std::string& text) {
  index_ = {{relative, text, false}};
}

std::string Publication::BytesAfter(const std::string& relative) const {
  for (const Staged& list : lists_) {
    if (list.relative == relative) return list.bytes;
  }
  return ReadBytes(tree_ / relative);
}

std::vector<std::string> Publication::SignedLists() const {
  std::vector<std::string> lists = ServedLists(product_, channel_);
  for (const Staged& list : lists_) {
    if (std::find(lists.begin(), lists.end(), list.relative) == lists.end()) lists.push_back(list.relative);
  }
  for (const std::string& list : alsoSigned_) {
    if (std::find(lists.begin(), lists.end(), list) == lists.end()) lists.push_back(list);
  }
  return lists;
}

void Publication::RemoveList(const std::string& relative) {
  removals_.push_back(relative);
  removals_.push_back(relative + SIGNATURE_SUFFIX.narrow);
}

bool Publication::Sign(const SigningOptions& given, std::string& error) {
  const fs::path rootSignature = tree_ / (std::string(ROOT_DESCRIPTOR.narrow) + SIGNATURE_SUFFIX.narrow);
  if (!KeyFitsTree(rootSignature, given, error)) return false;
  SigningOptions signing = given;
  signing.renewer = RenewerOf(rootSignature, given);
  std::vector<fs::path> signatureFiles;
  for (const std::string& list : SignedLists()) signatureFiles.push_back(tree_ / (list + SIGNATURE_SUFFIX.narrow));
  if (!NextSerial(signatureFiles, signing, serial_, error) || !RecordKeySerial(signing, serial_, error)) return false;
  const std::string productFolder = WideToUtf8(product_);
  for (const std::string& list : SignedLists()) {
    const std::string after = BytesAfter(list);
    if (after.empty()) {
      error = "cannot sign " + list + ": it is not in the tree";
      return false;
    }
    std::vector<std::string> digests, texts;
    const std::string before = ReadBytes(tree_ / list);
    if (!before.empty() && before != after) StateDigests(before, digests, texts);
    StateDigests(after, digests, texts);
    // A list is named as clients ask for it within the product folder: a channel's list
    // ("channels/beta/filelist.enc") is not taken for another channel's.
    const std::string name = list.compare(0, productFolder.size(), productFolder) == 0
                                 ? list.substr(productFolder.size())
                                 : fs::path(list).filename().string();
    const std::string text = SignatureText(name, product_, digests, serial_, signing, texts);
    if (text.empty()) {
      error = "cannot sign " + list + " with the key";
      return false;
    }
    signatures_.push_back({list + SIGNATURE_SUFFIX.narrow, text, false});
    // A renewal of the statement this one replaces renews nothing now.
    removals_.push_back(list + RENEWAL_SUFFIX);
  }
  return true;
}

void Publication::RemoveSignatures() {
  for (const std::string& list : SignedLists()) {
    removals_.push_back(list + SIGNATURE_SUFFIX.narrow);
    removals_.push_back(list + RENEWAL_SUFFIX);
  }
}

bool Publication::Stage(const Staged& file, std::string& error) const {
  const fs::path staged = StageOf(tree_) / file.relative;
  std::error_code failure;
  fs::create_directories(staged.parent_path(), failure);
  if (!WriteFileAtomically(staged, file.bytes, error)) return false;
  if (!file.list) return true;
  const auto before = fs::last_write_time(tree_ / file.relative, failure);
  if (failure) return true;
  const auto after = fs::last_write_time(staged, failure);
  if (!failure && after < before + std::chrono::seconds(1)) {
    fs::last_write_time(staged, before + std::chrono::seconds(1), failure);
  }
  if (!failure) return true;
  error = "cannot set the time of " + staged.string() + ": " + failure.message();
  return false;
}

bool Publication::Publish(std::string& error) {
  std::error_code ignored;
  fs::remove_all(StageOf(tree_), ignored);
  std::string plan;
  bool staged = true;
  // The patches to the new lists go first: a client that sees a new list finds patches to it.
  ListPatchFiles listPatches;
  for (const Staged& list : lists_) {
    const std::string before = ReadBytes(tree_ / list.relative);
    if (list.relative.rfind(WideToUtf8(product_), 0) != 0 || before == list.bytes) continue;
    if (!ListPatchesFor(tree_, list.relative, before, list.bytes, listPatches, error)) {
      error += "; nothing of the publication went live";
      return false;
    }
  }
  for (const auto& [relative, bytes] : listPatches.written) {
    staged = staged && Stage({relative, bytes, false}, error);
    plan += "move " + relative + "\n";
  }
  for (const auto* group : {&signatures_, &lists_}) {
    for (const Staged& file : *group) {
      staged = staged && Stage(file, error);
      plan += "move " + file.relative + "\n";
    }
  }
  for (const std::string& removal : removals_) plan += "remove " + removal + "\n";
  for (const std::string& removal : listPatches.removed) plan += "remove " + removal + "\n";
  for (const Staged& file : index_) {
    staged = staged && Stage(file, error);
    plan += "move " + file.relative + "\n";
  }
  // The plan goes last: until it is there, nothing of this publication counts.
  if (!staged || !WriteFileAtomically(StageOf(tree_) / PLAN_FILE, plan, error)) {
    fs::remove_all(StageOf(tree_), ignored);
    error += "; nothing of it went live";
    return false;
  }
  return CarryOut(tree_, plan, error);
}

bool Publication::Recover(const fs::path& tree, std::string& said, std::string& error) {
  said.clear();
  const fs::path stage = StageOf(tree);
  std::error_code failure;
  if (!fs::exists(stage, failure)) return true;
  std::string plan;
  if (ReadWholeFile(WideOf(stage / PLAN_FILE), plan)) {
    said = "finished a publication that was stopped after it had begun to go live";
    return CarryOut(tree, plan, error);
  }
  said = "discarded a publication that was stopped before it went live";
  fs::remove_all(stage, failure);
  if (!failure) return true;
  error = "cannot remove " + stage.string() + ": " + failure.message();
  return false;
}
