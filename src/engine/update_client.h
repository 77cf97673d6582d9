#pragma once
// The engine object of one update run: which server answered, where this product's files lie on
// it, the version description, and the three work lists that the check fills. Connecting, the
// check and the commit run on the run's thread; fetching and staging run on its download
// workers, each on entries of its own (the addresses that hung are shared under a lock). Every
// operation reports failure by its result: the run's steps with a code in errorCode, the steps on
// one file with the code and cause in the entry's outcome.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/file_entry.h"
#include "engine/local_content.h"
#include "engine/patch2.h"
#include "engine/release_trust.h"
#include "engine/run_modes.h"
#include "services/http.h"
#include "engine/staging.h"
#include "services/codes.h"
#include "services/ini.h"
#include "services/status_callback.h"

class UpdateClient {
 public:
  UpdateClient(IStatusCallback* callback, const std::wstring& localFolder, const std::wstring& hostName,
               FileListChoice list);
  virtual ~UpdateClient();
  UpdateClient(const UpdateClient&) = delete;
  UpdateClient& operator=(const UpdateClient&) = delete;

  // Picks the first address of the host that serves "detectfile.enc" and learns this product's
  // folder from "rootfolder.enc", through the packed cache cacheFile.
  [[nodiscard]] bool Connect(const std::wstring& host, const std::wstring& rootKeyName, const std::wstring& cacheFile,
                             StepCode& errorCode);
  // Brings the local file list up to date (fetching it only when the server's stamp changed)
  // and reads the version name and update folder.
  [[nodiscard]] bool LoadDescription(const std::wstring& cacheFile, StepCode& errorCode);
  // Checks every listed file and folder; removes and creates on the spot and fills the lists.
  // TrustSameTime accepts a file whose time matches the list to the minute without hashing.
  [[nodiscard]] bool CheckFiles(CheckMode mode, StepCode& errorCode, std::wstring& failedName);
  // The staging of one entry (see engine/staging.h). Fetch downloads its packed file into the
  // staging area, or finds its content staged and verified already (a resumed run). StageEntry
  // unpacks a whole file or rebuilds a patch from the installed file, by the entry's form; it
  // verifies the content against the checksum while writing it and leaves it staged with the
  // list's time.
  // A failure leaves its code and cause in entry.outcome (the step is the run's to name);
  // entry.staged tells that nothing more is to be done.
  [[nodiscard]] bool Fetch(FileEntry& entry);
  [[nodiscard]] bool StageEntry(FileEntry& entry);
  // A dry run's check touches nothing (see RunSettings::plan). Set before CheckFiles.
  void SetDryRun(bool dryRun) { dryRun_ = dryRun; }
  // An installed file that holds the entry's content under another name (empty: none), as the
  // run would copy it from.
  std::wstring LocalSourceOf(const FileEntry& entry) const {
    return entry.checksum.empty() ? L"" : localContent_.Find(entry.checksum, entry.size, TargetOf(entry));
  }
  // The bytes the entry's download would bring over the network, in the form the run takes first
  // (a patch, a packed whole file), as the server says without sending it; false when it does
  // not say.
  bool DownloadLength(const FileEntry& entry, std::uint64_t& length) const {
    StepCode code;
    return RemoteLength(entry.url, hostName_, length, code);
  }
  // The files and folders that the commit removes.
  std::vector<std::wstring> RemovedNames() const;
  // Whether an earlier entry of the run (whole files, then patches) has the same content: the
  // run stages such an entry after all others, so that it is copied from the earlier one's
  // staged file instead of downloaded again.
  bool RepeatsEarlierContent(const FileEntry& entry) const { return repeats_.count(&entry) != 0; }
  // Keeps the list of a finished run as the installation's applied list: the next changed list
  // finds the content of renamed and moved files through it (see engine/local_content.h).
  void RememberAppliedList();
  // The version of the last finished run's list; empty when there is none.
  std::wstring AppliedVersion() const;
  // After a failed download, unpacking or rebuild: drops what the failed form left in the staging
  // area and moves the entry on to its next form (a format-2 patch to the byte code, a patch to
  // the whole file, zstd to zlib). False when it has none left; the entry is failed then.
  [[nodiscard]] bool FallBack(FileEntry& entry);
  // The highest format of patches and packed files that the run takes from a list that offers
  // it: 2 (the default), or 1 for the forms that every updater reads. Set before CheckFiles.
  void SetHighestFormat(int format) { highestFormat_ = format; }
  // Moves a staged entry over its installed file in one step. The file keeps the list's time that
  // its staged copy carries, so no file ever shows the new time with other content.
  [[nodiscard]] bool CommitEntry(FileEntry& entry);
  // Hands a staged self-update file to the helper's place, localPath ("update" + name).
  [[nodiscard]] bool HandOverEntry(FileEntry& entry);
  // Carries out the removals that the check found, once the run commits. A removal that fails
  // is logged with its cause and its name added to failed; the others go on.
  void RemoveListed(std::vector<std::wstring>& failed);
  // The stamp of the file list that this run works from.
  const std::wstring& GetListStamp() const { return listStamp_; }
  // The pauses before the second and later attempts of a download on the same address.
  void SetRetryDelays(std::vector<int> milliseconds) { retryDelaysMs_ = std::move(milliseconds); }
  // The publisher keys whose signed trees alone are taken (see ReleaseTrust); none by default.
  void SetTrustedKeys(const std::string& keys) { trust_ = ReleaseTrust(keys); }
  // Opens the staging area for this list (see StagingArea::Open).
  [[nodiscard]] bool OpenStaging() { return staging_.Open(listStamp_); }

  // Starts the engine helper written to localFolder + "engine.dat" with the prepared self-update
  // files: it waits for this process to end (unless waitForExit is false: then this program's
  // own file, if it is to be replaced, is first moved aside into localFolder), swaps the files
  // and runs the restart command (the first file without arguments when it is empty). True when
  // the helper process was created.
  [[nodiscard]] bool StartEngineHelper(const std::vector<std::wstring>& files, const std::vector<std::wstring>& restart,
                                       bool waitForExit = true);

  std::wstring GetServerUrl() const { return serverUrl_; }
  // Why the last Connect, LoadDescription or CheckFiles failed, in the words of the resolver, the server
  // or the system ("the resolver found no IPv4 address: ...", "HTTP_NOT_FOUND (...): the server
  // answered 404"); empty when it has none.
  const std::wstring& FailureCause() const { return failureCause_; }
  std::wstring GetLocalFolder() const { return localFolder_; }
  std::wstring GetVersionName() const { return versionName_; }
  std::size_t GetSelfUpdateCount() const { return selfUpdateList_.size(); }
  // The installed files (relative to the program folder) that the commit replaces, and those it
  // removes.
  std::vector<std::wstring> ReplacedTargets() const;
  std::vector<std::wstring> RemovedTargets() const;
  std::size_t GetUpdateCount() const { return updateList_.size(); }
  std::size_t GetPatchCount() const { return patchList_.size(); }
  // The i-th entry; an index out of range throws std::invalid_argument.
  FileEntry* GetSelfUpdateEntry(std::size_t i) const { return EntryAt(selfUpdateList_, i); }
  FileEntry* GetUpdateEntry(std::size_t i) const { return EntryAt(updateList_, i); }
  FileEntry* GetPatchEntry(std::size_t i) const { return EntryAt(patchList_, i); }

  // The installed file of an entry: its localPath without the local folder.
  std::wstring TargetOf(const FileEntry& entry) const;
  // The installed file an entry's patches apply to.
  std::wstring PatchSourceOf(const FileEntry& entry) const {
    return entry.patchSource.empty() ? TargetOf(entry) : entry.patchSource;
  }

 private:
  bool MoveOwnProgramAside(const std::vector<std::wstring>& files) const;
  using EntryList = std::vector<std::unique_ptr<FileEntry>>;
  static FileEntry* EntryAt(const EntryList& list, std::size_t i);
  // A new entry without a form yet: the caller gives it url and form, or fallbacks and
  // TakeNextOffer.
  FileEntry& Append(EntryList& list, const std::wstring& name, const std::wstring& dateTime,
                    const std::wstring& checksum);
  bool Promote(FileEntry& entry, const std::wstring& digest);
  // Stages an entry by a local copy of content the installation holds under another name (or,
  // for a repeat, that an earlier entry staged); false, with nothing left behind, when there is
  // none or the copy is not the listed content.
  bool CopyLocalContent(FileEntry& entry);
  std::wstring StagedEarlier(const FileEntry& entry) const;
  // After a check that found files to fetch: which installed files may hold their content (this
  // list's and the applied list's), and which entries repeat an earlier one's content.
  void NoteLocalContent(const IniDocument& list);
  // The list this installation last applied, read the first time a check needs it (empty when
  // there is none): it says what a file still holds while its time is the one that list gave it.
  const IniDocument& AppliedList();
  void LogSameTime(const std::wstring& name);
  // Packs a descriptor or list that was read into the cache beside the installation (not in a
  // dry run).
  void KeepCache(const std::wstring& plainPath, const std::wstring& cacheFile) const;
  // The MD5 of an installed file known from the applied list without reading the file; empty
  // when that list does not vouch for it (another time, another name, no checksum).
  std::wstring AppliedDigest(const std::wstring& name, const std::wstring& fileTime);
  // The parts of CheckFiles, over list_: every name judged before anything is touched; a rule;
  // a file with content; the forms a fetched file comes in.
  bool ValidateNames(std::size_t first, StepCode& errorCode, std::wstring& failedName);
  void ClassifyRule(std::size_t section, const std::wstring& name, const std::wstring& method);
  FileEntry& QueuePatch(std::size_t section, const std::wstring& name, const std::wstring& dateTime,
                        const std::wstring& checksum, const std::wstring& patch, const std::wstring& patch2);
  bool QueuePatchFromOtherFile(std::size_t section, const std::wstring& name, const std::wstring& dateTime,
                               const std::wstring& checksum);
  bool ClassifyFile(std::size_t section, const std::wstring& name, const std::wstring& method, CheckMode mode,
                    StepCode& errorCode, std::wstring& failedName);
  void AddContentForms(FileEntry& entry, std::size_t section, const std::wstring& name);
  // Makes the content of the entry's download at work, by its form (see StageEntry).
  bool MakeContent(const FileEntry& entry, const std::wstring& work, std::wstring& digest, std::wstring& cause,
                   std::wstring& writeFailure);
  bool DownloadWithRetries(FileEntry& entry);
  // The base URLs of the probed addresses for a download: the chosen one first, those that hung
  // earlier in the run last.
  std::vector<std::wstring> AddressesInTurn() const;
  void MarkHung(const std::wstring& base);
  bool ConnectTo(const std::wstring& address, const std::wstring& cacheFile, StepCode& errorCode);
  // The stamp of a cached descriptor or list that may be used without a download: with trust,
  // only while the signature kept beside the cache holds.
  std::wstring UsableCachedStamp(const std::wstring& cachedStamp, const std::wstring& cacheFile,
                                 const std::string& fileName, SignedStatement& statement) const;
  bool PatchHeldList(const std::wstring& heldList, const std::wstring& packedPath, const std::wstring& listUrl,
                     const std::wstring& servedCheck,
                     const std::string& listName, const std::wstring& cacheFile, SignedStatement& statement,
                     std::string& signature);
  // With trust, the downloaded descriptor or list is held to its signature; false sets the cause.
  bool AcceptSigned(const std::wstring& packedPath, const std::wstring& url, const std::string& fileName,
                    const std::wstring& cacheFile, SignedStatement& statement, std::string& text);
  // With trust, a signature names the product that the root descriptor named; when it does, a
  // newly accepted signature (text, empty for a cached one) becomes the one kept beside the cache.
  // Whether the accepted root descriptor is of the product that this installation accepted first
  // (its kept signature says which): one publisher's key may sign several games, and a network
  // that serves another game's signed tree must not install it here.
  bool FollowsItsProduct(const std::wstring& cacheFile);
  bool KeepIfForProduct(const SignedStatement& statement, const std::string& text, const std::wstring& what,
                        const std::wstring& cacheFile);

  IStatusCallback* callback_;
  std::wstring serverUrl_;
  std::wstring rootFolder_;
  std::wstring localFolder_;
  std::wstring updateFolder_;
  EntryList selfUpdateList_;
  EntryList updateList_;
  EntryList patchList_;
  std::wstring versionName_;
  std::wstring remoteListName_;
  std::wstring localListName_;
  std::wstring scheme_;    // "http", or "https" for a host given as "https://name[:port]"
  std::wstring hostName_;  // name[:port], the Host header
  std::wstring hostPath_;  // where the host serves the tree: "/", "/velora/"; empty when refused
  std::wstring listStamp_;
  StagingArea staging_;
  struct Removal {
    std::wstring name;
    bool folder;
  };
  std::vector<Removal> removeList_;
  std::vector<std::wstring> addresses_;  // every address that the probe found, the chosen one too
  mutable std::mutex hungLock_;          // the downloads of several workers mark and read hung_
  std::set<std::wstring> hung_;          // base URLs of addresses that hung in this run
  std::wstring failureCause_;            // why Connect or LoadDescription failed, for the failure line
  SignedStatement rootStatement_;        // with trust: the root descriptor's, for its product
  std::string rootSignature_;            // its text when newly accepted, kept once the product is known
  std::vector<int> retryDelaysMs_{1000, 4000};
  ReleaseTrust trust_;
  int highestFormat_ = 2;
  std::wstring listCache_;  // the packed cache of the list, as LoadDescription was given it
  bool dryRun_ = false;
  // What this month's update log may still take of per-file "Same time" lines (see LogSameTime).
  static constexpr std::uint64_t SAME_TIME_LOG_BOUND = 8 << 20;
  std::uint64_t sameTimeRoom_ = 0;
  bool sameTimeCut_ = false;
  IniDocument list_;  // the file list, read once by LoadDescription
  std::optional<IniDocument> appliedList_;  // while a check runs, once AppliedList read it
  LocalContent localContent_;
  std::set<const FileEntry*> repeats_;
};

// An extension that "Whole.2" may give: a dot and letters or digits, nothing that could leave
// the folder.
bool IsWhole2Extension(const std::wstring& extension);
// Makes the first of an entry's fallbacks its form and URL; false when it has none.
bool TakeNextOffer(FileEntry& entry);

// Whether a file holds the content that the list describes: its MD5 is the checksum. An entry
// without a checksum ("Exists" files) has nothing to be held against and always matches.
bool MatchesChecksum(const std::wstring& path, const std::wstring& checksum);
