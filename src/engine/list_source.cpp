#include "engine/list_source.h"

#include "engine/descriptor_files.h"
#include "engine/patch.h"
#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "services/files.h"
#include "services/http.h"
#include "services/ini_file.h"
#include "services/key_chain.h"
#include "services/logger.h"
#include "services/packed.h"
#include "services/probe.h"
#include "services/proxy.h"
#include "services/text.h"

namespace {

// Beside the list's cache: the list as the server gave it, packed, the source of the next list
// patch (the cache itself holds the list with this installation's own values written in).
constexpr const wchar_t* HELD_LIST_SUFFIX = L".served";

// The chain of key rotations that this installation followed (services/key_chain.h), beside the
// caches.
constexpr const wchar_t* KEPT_KEY_CHAIN = L"autoupdate.keys";

// A failed transfer of a descriptor: the transfer's code and the cause it gave.
std::wstring TransferFailure(StepCode transferCode) {
  const std::wstring& cause = LastDownloadCause();
  return DescribeCode(transferCode) + (cause.empty() ? L"" : L": " + cause);
}

}  // namespace

ListSource::ListSource(const std::wstring& localFolder, const std::wstring& hostName, FileListChoice list,
                       const std::wstring& channel)
    : localFolder_(localFolder),
      channel_(channel.empty() ? DEFAULT_CHANNEL : channel),
      remoteListName_(ChannelFolder(channel) + (list == FileListChoice::Full ? FULL_LIST.wide : UPDATE_LIST.wide)),
      localListName_(list == FileListChoice::Full ? L"filelistfull.ini" : L"filelist.ini"),
      scheme_(IsSecureHostText(hostName) ? L"https" : L"http"),
      hostName_(HostAuthority(hostName)),
      hostPath_(HostPath(hostName)) {}

void ListSource::TakeRolloutList() {
  const std::wstring name = remoteListName_.substr(remoteListName_.find_last_of(L'/') + 1);
  remoteListName_ = ChannelFolder(channel_) + ROLLOUT_FOLDER + name;
}

std::wstring ListSource::UsableCachedStamp(const std::wstring& cachedStamp, const std::wstring& cacheFile,
                                             const std::string& fileName, SignedStatement& statement) const {
  if (!trust_.Enabled()) return cachedStamp;
  return trust_.StillValid(cacheFile + L".sig", fileName, statement) ? cachedStamp : std::wstring();
}

void ListSource::SetTrustedKeys(const std::string& keys) {
  trust_ = ReleaseTrust(keys);
  std::string chain;
  if (ReadWholeFile(KEPT_KEY_CHAIN, chain)) trust_.Follow(chain);
}

bool ListSource::FollowServedKeyChain() {
  if (chainTried_ || treeUrl_.empty()) return false;
  chainTried_ = true;
  const std::wstring path = localFolder_ + KEY_CHAIN_FILE_WIDE;
  std::string chain;
  StepCode ignored;
  const bool fetched = DownloadFileInto(path, treeUrl_ + KEY_CHAIN_FILE_WIDE, hostName_, nullptr, ignored) &&
                       ReadWholeFile(path, chain);
  RemoveFile(path);
  if (!fetched || !trust_.Follow(chain)) return false;
  TheLogger().Write(LOG_FYI, L"AutoUpdateApp: the publisher's key was rotated; following [" + treeUrl_ +
                                 KEY_CHAIN_FILE_WIDE + L"]");
  // Kept, so that later runs trust the new key from the start; each run checks it again from the
  // keys it was given.
  if (!dryRun_) {
    FileHandle out = FileHandle::CreateForWrite(KEPT_KEY_CHAIN);
    (void)(out.IsOpen() && out.Write(chain.data(), chain.size()) && out.Flush());
  }
  return true;
}

bool ListSource::AcceptSigned(const std::wstring& packedPath, const std::wstring& url, const std::string& fileName,
                                const std::wstring& cacheFile, SignedStatement& statement, std::string& text) {
  if (!trust_.Enabled()) return true;
  std::wstring problem;
  if (trust_.Accept(packedPath, url, hostName_, fileName, cacheFile + L".sig", statement, text, problem)) return true;
  // A signature of a key this run does not trust may be of the key that a trusted one handed its
  // role to: the tree's chain of rotations says.
  if (FollowServedKeyChain() &&
      trust_.Accept(packedPath, url, hostName_, fileName, cacheFile + L".sig", statement, text, problem)) {
    return true;
  }
  failureCause_ = L"[" + url + L"]: " + problem;
  TheLogger().WriteFailure(L"AutoUpdateApp: " + failureCause_);
  return false;
}

bool ListSource::KeepIfForProduct(const SignedStatement& statement, const std::string& text,
                                    const std::wstring& what, const std::wstring& cacheFile) {
  if (!trust_.Enabled()) return true;
  if (AnsiToWide(statement.product) != rootFolder_) {
    failureCause_ = what + L" is signed for the product " + AnsiToWide(statement.product) + L", not " + rootFolder_;
    TheLogger().WriteFailure(L"AutoUpdateApp: " + failureCause_);
    return false;
  }
  // Only a signature that passed every check is kept: its serial is the floor of later runs.
  if (!text.empty() && !dryRun_ && !ReleaseTrust::Keep(cacheFile + L".sig", text, statement.renewal)) {
    failureCause_ = L"the signature of " + what + L" cannot be kept beside [" + cacheFile + L"]";
    return false;
  }
  return true;
}

void ListSource::KeepCache(const std::wstring& plainPath, const std::wstring& cacheFile) const {
  if (dryRun_) return;  // a dry run writes nothing in the installation
  ClearReadOnly(cacheFile);
  (void)PackFile(plainPath, cacheFile, 9);
}

bool ListSource::FollowsItsProduct(const std::wstring& cacheFile) {
  if (!trust_.Enabled()) return true;
  const std::string followed = trust_.KeptProduct(cacheFile + L".sig");
  if (followed.empty() || followed == rootStatement_.product) return true;
  failureCause_ = L"[" + std::wstring(ROOT_DESCRIPTOR.wide) + L"] is signed for the product " + AnsiToWide(rootStatement_.product) +
                  L"; this installation follows " + AnsiToWide(followed) + L", the product it first accepted";
  TheLogger().WriteFailure(L"AutoUpdateApp: " + failureCause_);
  return false;
}

// One address: probe it, then take the root-folder configuration from the cache when its
// stamp is the server's, else from the server. False leaves the code of this address's failure.
bool ListSource::ConnectTo(const std::wstring& address, const std::wstring& cacheFile, StepCode& errorCode) {
  const std::wstring descriptor = ROOT_DESCRIPTOR.wide;
  const std::wstring packedPath = localFolder_ + descriptor;
  const std::wstring configPath = localFolder_ + L"rootfolder.ini";
  const std::wstring detect = DETECT_FILE.wide;
  StepCode transferCode;
  if (!DownloadFileInto(localFolder_ + detect, scheme_ + L"://" + address + hostPath_ + detect, hostName_, nullptr,
                        transferCode)) {
    failureCause_ = L"[" + address + hostPath_ + detect + L"]: " + TransferFailure(transferCode);
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: the address " + address + L" does not answer the probe: " +
                                       failureCause_);
    errorCode = ConnectCode::NoProbe;
    return false;
  }
  serverUrl_ = scheme_ + L"://" + address + hostPath_;
  treeUrl_ = serverUrl_;
  if (!UnpackDescriptor(cacheFile, configPath)) RemoveFile(configPath);
  std::wstring cached;
  ReadIniString(configPath, LIST_HEADER_SECTION, L"DateTime", cached);
  cached = UsableCachedStamp(cached, cacheFile, ROOT_DESCRIPTOR.narrow, rootStatement_);
  rootSignature_.clear();
  std::wstring stamp;
  switch (FetchIfStampDiffers(packedPath, serverUrl_ + descriptor, hostName_, cached, stamp, transferCode)) {
    case StampedFetch::Unchanged:
      return true;
    case StampedFetch::NoStamp:
      failureCause_ = L"[" + serverUrl_ + descriptor + L"] has no Last-Modified time: " + TransferFailure(transferCode);
      errorCode = ConnectCode::NoStamp;
      return false;
    case StampedFetch::Failed:
      failureCause_ = L"[" + serverUrl_ + descriptor + L"]: " + TransferFailure(transferCode);
      errorCode = ConnectCode::NoRootFolder;
      return false;
    case StampedFetch::Fetched:
    case StampedFetch::Changed:  // not asked for: the body is always wanted here
      break;
  }
  if (!AcceptSigned(packedPath, serverUrl_ + descriptor, ROOT_DESCRIPTOR.narrow, cacheFile, rootStatement_,
                    rootSignature_)) {
    errorCode = TrustCode::Refused;
    return false;
  }
  if (!UnpackDescriptor(packedPath, configPath)) {
    failureCause_ = L"[" + serverUrl_ + descriptor + L"] does not unpack";
    errorCode = ConnectCode::BadRootFolder;
    return false;
  }
  WriteIniString(configPath, LIST_HEADER_SECTION, L"DateTime", stamp);
  KeepCache(configPath, cacheFile);
  return true;
}

bool ListSource::Connect(const std::wstring& host, const std::wstring& rootKeyName, const std::wstring& cacheFile,
                           StepCode& errorCode) {
  errorCode = StepCode();
  std::vector<std::wstring> addresses;
  if (hostPath_.empty()) {
    failureCause_ = L"its path holds what no tree's path may (a . or .. step, ?, #, %, \\ or a blank)";
    errorCode = ConnectCode::NoAddress;
    return false;
  }
  // Through a proxy the proxy finds the host's address; WinINet reaches an https host only by its
  // name. Either way the request names the host and there is no address of ours to choose.
  const std::wstring proxy = ProxyFor(HostRootUrl(host));
  if (!proxy.empty()) TheLogger().Write(LOG_FYI, L"AutoUpdateApp: through the proxy " + ShownProxy(proxy));
  if (!proxy.empty() || (IsSecureHostText(host) && !ReachesPinnedAddressOverHttps())) {
    const std::wstring authority = HostAuthority(host);
    if (!authority.empty()) addresses.push_back(authority);
    failureCause_ = authority.empty() ? L"not [http://|https://]HOST[:PORT][/PATH/] with a port from 1 to 65535" : L"";
  } else {
    failureCause_ = ProbeServers(host, addresses);
  }
  if (addresses.empty()) {
    errorCode = ConnectCode::NoAddress;
    return false;
  }
  CreateDirectoryPath(localFolder_);
  addresses_ = addresses;
  for (const std::wstring& address : addresses) {
    if (!ConnectTo(address, cacheFile, errorCode)) continue;
    errorCode = StepCode();
    rootFolder_ = RootFolderIn(LoadIniFile(localFolder_ + L"rootfolder.ini"), rootKeyName);
    if (!FollowsItsProduct(cacheFile) ||
        !KeepIfForProduct(rootStatement_, rootSignature_, L"[" + std::wstring(ROOT_DESCRIPTOR.wide) + L"]", cacheFile)) {
      errorCode = TrustCode::Refused;
      return false;
    }
    serverUrl_ += rootFolder_;
    return true;
  }
  return false;
}

bool ListSource::LoadDescription(const std::wstring& cacheFile, StepCode& errorCode) {
  errorCode = StepCode();
  failureCause_.clear();
  listCache_ = cacheFile;
  const std::wstring packedPath = localFolder_ + remoteListName_.substr(remoteListName_.find_last_of(L'/') + 1);
  // The list is read once: the cached copy, or the server's when its stamp differs.
  std::string cachedText;
  UnpackDescriptorText(cacheFile, cachedText);
  list_ = IniDocument(std::move(cachedText));
  const std::string listName = WideToUtf8(remoteListName_);
  SignedStatement statement;
  const std::wstring cached = UsableCachedStamp(ParseListHeader(list_).dateTime, cacheFile, listName, statement);
  std::wstring stamp;
  StepCode transferCode;
  std::string signature;
  // The list fetched last (the packed copy beside the cache) can be patched to a changed one: only
  // the answer's head is read then, and the whole list is downloaded when no patch serves.
  const std::wstring listUrl = serverUrl_ + remoteListName_;
  const std::wstring heldList = cacheFile + HELD_LIST_SUFFIX;
  std::string servedTail;
  StampedFetch fetch = FetchIfStampDiffers(packedPath, listUrl, hostName_, cached, stamp, transferCode,
                                           !PathExists(heldList), &servedTail);
  bool patched = false;
  if (fetch == StampedFetch::Changed) {
    patched = PatchHeldList(heldList, packedPath, listUrl, TextCheckOfTail(servedTail), listName, cacheFile, statement,
                            signature);
    if (!patched) {
      signature.clear();
      fetch = FetchIfStampDiffers(packedPath, listUrl, hostName_, L"", stamp, transferCode);
    } else {
      fetch = StampedFetch::Fetched;
    }
  }
  if (fetch == StampedFetch::NoStamp) {
    failureCause_ = L"[" + serverUrl_ + remoteListName_ + L"] has no Last-Modified time: " + TransferFailure(transferCode);
    errorCode = DescriptionCode::NoStamp;
    return false;
  }
  if (fetch == StampedFetch::Failed) {
    // Every way the list's download fails is one failure of this step; the transfer's own code
    // goes to the diagnostic log.
    failureCause_ = TransferFailure(transferCode);
    TheLogger().WriteFailure(L"AutoUpdateApp: the download of the file list failed: " + failureCause_);
    errorCode = DescriptionCode::NoList;
    return false;
  }
  if ((fetch == StampedFetch::Fetched && !patched &&
       !AcceptSigned(packedPath, listUrl, listName, cacheFile, statement, signature)) ||
      !KeepIfForProduct(statement, signature, L"[" + remoteListName_ + L"]", cacheFile)) {
    errorCode = TrustCode::Refused;
    return false;
  }
  if (fetch == StampedFetch::Fetched && !TakeFetchedList(packedPath, stamp, cacheFile, errorCode)) return false;
  listStamp_ = stamp;
  header_ = ParseListHeader(list_);
  if (!OfItsChannel(errorCode)) return false;
  versionName_ = header_.versionName;
  updateFolder_ = header_.updateFolder;
  return true;
}

// A list of another channel (a cache or a mirror that serves one channel's list at another's
// path) would move the installation to releases its player never chose.
bool ListSource::OfItsChannel(StepCode& errorCode) {
  if (ListIsOfChannel(header_, channel_)) return true;
  failureCause_ = L"[" + serverUrl_ + remoteListName_ + L"] is the list of the channel " +
                  (header_.channel.empty() ? std::wstring(DEFAULT_CHANNEL) : header_.channel) +
                  L"; this installation follows " + channel_;
  TheLogger().WriteFailure(L"AutoUpdateApp: " + failureCause_);
  errorCode = TrustCode::Refused;
  return false;
}

// The fetched list (packed at packedPath) becomes the run's list and the cache's, with its stamp
// and the values that the previous copy carried over kept over the server's.
bool ListSource::TakeFetchedList(const std::wstring& packedPath, const std::wstring& stamp,
                                 const std::wstring& cacheFile, StepCode& errorCode) {
  const std::wstring listPath = localFolder_ + localListName_;
  std::wstring tdd, htdd;
  list_.ReadString(LIST_HEADER_SECTION, L"TDD", tdd);
  list_.ReadString(LIST_HEADER_SECTION, L"HTDD", htdd);
  if (!UnpackDescriptor(packedPath, listPath)) {
    failureCause_ = L"[" + serverUrl_ + remoteListName_ + L"] does not unpack";
    errorCode = DescriptionCode::BadList;
    return false;
  }
  list_ = LoadIniFile(listPath);
  list_.SetValue(LIST_HEADER_SECTION, L"DateTime", stamp);
  if (!tdd.empty()) list_.SetValue(LIST_HEADER_SECTION, L"TDD", tdd);
  if (!htdd.empty()) list_.SetValue(LIST_HEADER_SECTION, L"HTDD", htdd);
  (void)WriteIniFile(listPath, list_);
  KeepCache(listPath, cacheFile);
  if (!dryRun_) (void)CopyReplacing(packedPath, cacheFile + HELD_LIST_SUFFIX);
  return true;
}

// The held list (as fetched last) patched to the server's: the patch is named by the MD5 of the
// held text and the check of the served one (servedCheck, from the same answer as the list's
// stamp), so it leads from exactly that text to exactly that list and its URL never serves other
// bytes (a cache may keep it for ever). The rebuilt text must have the served list's check, so a
// stamp is never recorded for another text than the one it dates; with trust the rebuilt text
// must also be one the list's signature states. packedPath then holds the new list, packed. False
// when no patch served: the whole list is downloaded then, which a tree without list patches
// always answers.
bool ListSource::PatchHeldList(const std::wstring& heldList, const std::wstring& packedPath, const std::wstring& listUrl,
                                 const std::wstring& servedCheck, const std::string& listName,
                                 const std::wstring& cacheFile, SignedStatement& statement, std::string& signature) {
  const std::wstring held = localFolder_ + L"listheld.tmp";
  const std::wstring packedPatch = localFolder_ + L"listpatch.tmp";
  const std::wstring patch = localFolder_ + L"listpatch.txt.tmp";
  const std::wstring rebuilt = localFolder_ + L"listrebuilt.tmp";
  std::wstring digest, cause, writeFailure, problem;
  StepCode code;
  std::wstring heldDigest;
  bool done = UnpackDescriptor(heldList, held);
  if (done) Md5OfFile(heldDigest, held);
  const std::wstring patchUrl = listUrl + LIST_PATCHES_SUFFIX.wide + heldDigest + L"-" + servedCheck + L".pat";
  done = done && !heldDigest.empty() && !servedCheck.empty();
  done = done && DownloadFileInto(packedPatch, patchUrl, hostName_, nullptr, code) &&
         UnpackDescriptor(packedPatch, patch) &&
         ApplyPatchFileWithDigest(held, patch, rebuilt, digest, cause, writeFailure, DESCRIPTOR_MAX_BYTES);
  if (done) {
    ClearReadOnly(packedPath);
    done = PackFile(rebuilt, packedPath, 9);
  }
  if (done && TextCheckOfPackedFile(packedPath) != servedCheck) {
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: the list rebuilt by [" + patchUrl + L"] is not the one served");
    done = false;
  }
  if (done && trust_.Enabled() &&
      !trust_.Accept(rebuilt, listUrl, hostName_, listName, cacheFile + L".sig", statement, signature, problem,
                     ReleaseTrust::Held::Text)) {
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: the list rebuilt by [" + patchUrl + L"] is refused: " + problem);
    done = false;
  }
  if (done) TheLogger().Write(LOG_FYI, L"AutoUpdateApp: the file list is patched from the one held, by [" + patchUrl + L"]");
  for (const std::wstring& file : {held, packedPatch, patch, rebuilt, rebuilt + L".sig"}) RemoveFile(file);
  return done;
}

