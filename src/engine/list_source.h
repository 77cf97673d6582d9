#pragma once
// Where a run's file list comes from: the patch server's first address that answers the probe
// ("detectfile.enc"), the product's folder that its root descriptor names under the run's root
// key, and the list itself, fetched only when its stamp changed (or patched from the one held),
// each held to the publisher's signature when the run trusts keys. Runs on the run's thread.
#include <string>
#include <vector>

#include "engine/release_trust.h"
#include "engine/run_modes.h"
#include "protocol/file_list.h"
#include "services/codes.h"
#include "services/ini.h"

class ListSource {
 public:
  // localFolder: the run's working folder; hostName as the run was given it ("name[:port]",
  // "https://name/path/"); channel: the channel whose lists the run takes (empty: the default).
  ListSource(const std::wstring& localFolder, const std::wstring& hostName, FileListChoice list,
             const std::wstring& channel);

  // Picks the first address of the host that serves the probe and learns this product's folder
  // from the root descriptor's rootKey, through the packed cache cacheFile.
  [[nodiscard]] bool Connect(const std::wstring& host, const std::wstring& rootKey, const std::wstring& cacheFile,
                             StepCode& errorCode);
  // Brings the list up to date through its packed cache (fetching it only when the server's
  // stamp changed) and reads the version name and update folder.
  [[nodiscard]] bool LoadDescription(const std::wstring& cacheFile, StepCode& errorCode);
  // The header of the list that LoadDescription read.
  const ListHeader& Header() const { return header_; }
  // The next LoadDescription takes the list of the rollout that the channel offers beside its
  // live version (ListHeader::rollout), from the channel's rollout folder.
  void TakeRolloutList();
  // The list that LoadDescription read, handed to the check, which frees it once done.
  IniDocument TakeList() { return std::move(list_); }

  // A dry run refreshes the updater's caches only (see RunSettings::plan). Set before Connect.
  void SetDryRun(bool dryRun) { dryRun_ = dryRun; }
  // The publisher keys whose signed trees alone are taken (see ReleaseTrust); none by default.
  // The keys they handed their role to by the rotations this installation followed are too.
  void SetTrustedKeys(const std::string& keys);
  const ReleaseTrust& Trust() const { return trust_; }

  // Why the last Connect or LoadDescription failed, in the words of the resolver, the server or
  // the system ("HTTP_NOT_FOUND (...): the server answered 404"); empty when it has none.
  const std::wstring& FailureCause() const { return failureCause_; }
  // The product's folder on the chosen address ("http://10.0.0.1:8080/velora/").
  const std::wstring& ServerUrl() const { return serverUrl_; }
  // Every address the probe found, the chosen one too, and how the run reaches them.
  const std::vector<std::wstring>& Addresses() const { return addresses_; }
  const std::wstring& Scheme() const { return scheme_; }
  const std::wstring& HostName() const { return hostName_; }
  const std::wstring& RootFolder() const { return rootFolder_; }
  const std::wstring& ListStamp() const { return listStamp_; }
  const std::wstring& VersionName() const { return versionName_; }
  // The folder of the list's whole files, relative to ServerUrl ("files/2.0/").
  const std::wstring& UpdateFolder() const { return updateFolder_; }
  // The packed cache of the list, as LoadDescription was given it.
  const std::wstring& ListCache() const { return listCache_; }
  // Where the list lies unpacked in the working folder.
  std::wstring ListPath() const { return localFolder_ + localListName_; }

 private:
  bool ConnectTo(const std::wstring& address, const std::wstring& cacheFile, StepCode& errorCode);
  // Whether the list read is of the run's channel; false sets the cause.
  bool OfItsChannel(StepCode& errorCode);
  bool TakeFetchedList(const std::wstring& packedPath, const std::wstring& stamp, const std::wstring& cacheFile,
                       StepCode& errorCode);
  // Packs a descriptor or list that was read into the cache beside the installation (not in a
  // dry run).
  void KeepCache(const std::wstring& plainPath, const std::wstring& cacheFile) const;
  // The stamp of a cached descriptor or list that may be used without a download: with trust,
  // only while the signature kept beside the cache holds.
  std::wstring UsableCachedStamp(const std::wstring& cachedStamp, const std::wstring& cacheFile,
                                 const std::string& fileName, SignedStatement& statement) const;
  bool PatchHeldList(const std::wstring& heldList, const std::wstring& packedPath, const std::wstring& listUrl,
                     const std::wstring& servedCheck, const std::string& listName, const std::wstring& cacheFile,
                     SignedStatement& statement, std::string& signature);
  // With trust, the downloaded descriptor or list is held to its signature; false sets the cause.
  bool AcceptSigned(const std::wstring& packedPath, const std::wstring& url, const std::string& fileName,
                    const std::wstring& cacheFile, SignedStatement& statement, std::string& text);
  // Follows the tree's chain of key rotations, once in a run: true when it moved the keys trusted.
  bool FollowServedKeyChain();
  // With trust: whether the accepted root descriptor is of the product that this installation
  // accepted first (its kept signature says which): one publisher's key may sign several games,
  // and a network that serves another game's signed tree must not install it here.
  bool FollowsItsProduct(const std::wstring& cacheFile);
  // With trust, a signature names the product that the root descriptor named; when it does, a
  // newly accepted signature (text, empty for a cached one) becomes the one kept beside the cache.
  bool KeepIfForProduct(const SignedStatement& statement, const std::string& text, const std::wstring& what,
                        const std::wstring& cacheFile);

  std::wstring localFolder_;
  std::wstring channel_;
  std::wstring remoteListName_;  // relative to the product folder: "filelist.enc", "channels/beta/filelist.enc"
  std::wstring localListName_;
  std::wstring scheme_;    // "http", or "https" for a host given as "https://name[:port]"
  std::wstring hostName_;  // name[:port], the Host header
  std::wstring hostPath_;  // where the host serves the tree: "/", "/velora/"; empty when refused
  std::wstring serverUrl_;
  std::wstring treeUrl_;  // the tree's root on the chosen address, where its key chain is
  std::wstring rootFolder_;
  std::vector<std::wstring> addresses_;
  std::wstring listStamp_;
  std::wstring versionName_;
  std::wstring updateFolder_;
  ListHeader header_;
  std::wstring listCache_;
  std::wstring failureCause_;
  SignedStatement rootStatement_;  // with trust: the root descriptor's, for its product
  std::string rootSignature_;      // its text when newly accepted, kept once the product is known
  ReleaseTrust trust_;
  bool dryRun_ = false;
  bool chainTried_ = false;
  IniDocument list_;
};
