#include "engine/update_client.h"

#include <stdexcept>

#include "engine/patch.h"
#include "services/logger.h"
#include "services/codes.h"
#include "services/file_time.h"
#include "services/files.h"
#include "services/http.h"
#include "services/ini_file.h"
#include "services/packed.h"
#include "services/probe.h"
#include "services/proxy.h"
#include "services/text.h"

namespace {

// File lists of the largest installations pack a few MiB; a list or descriptor that unpacks past
// this is hostile (a small packed file can unpack to gigabytes) and is refused.
constexpr std::uint64_t DESCRIPTOR_MAX_BYTES = 64ULL << 20;

// The packed list of the last finished run, beside the list's cache.
constexpr const wchar_t* APPLIED_LIST_CACHE = L"autoupdate.als";
// Beside the list's cache: the list as the server gave it, packed, the source of the next list
// patch (the cache itself holds the list with this installation's own values written in).
constexpr const wchar_t* HELD_LIST_SUFFIX = L".served";

// Unpacks a descriptor or list, or its local cache, within the bound; the cause is logged.
bool UnpackDescriptor(const std::wstring& source, const std::wstring& destination) {
  const int status = UnpackFileBounded(source, destination, DESCRIPTOR_MAX_BYTES);
  if (status == STREAM_TOO_LARGE) {
    TheLogger().WriteFailure(L"AutoUpdateApp: [" + source + L"] unpacks to more than 64 MiB; refused");
  }
  return status == STREAM_OK;
}

// A packed list read straight into memory, bounded as UnpackDescriptor is: a run whose list has
// not changed reads its cache and writes nothing (43 MiB a run for a list of 200,000 files).
bool UnpackDescriptorText(const std::wstring& source, std::string& text) {
  text.clear();
  bool tooLarge = false;
  const int status = UnpackFileInto(source, [&](const unsigned char* data, std::size_t size) {
    if (text.size() + size > DESCRIPTOR_MAX_BYTES) return !(tooLarge = true);
    text.append(reinterpret_cast<const char*>(data), size);
    return true;
  });
  if (tooLarge) TheLogger().WriteFailure(L"AutoUpdateApp: [" + source + L"] unpacks to more than 64 MiB; refused");
  if (status != STREAM_OK || tooLarge) text.clear();
  return status == STREAM_OK && !tooLarge;
}

// Copies a file over another in one step: a reader finds the old copy or the new one, whole.
bool CopyReplacing(const std::wstring& source, const std::wstring& destination) {
  std::string bytes;
  if (!ReadWholeFile(source, bytes)) return false;
  const std::wstring temporary = destination + L".tmp";
  {
    FileHandle out = FileHandle::CreateForWrite(temporary);
    if (!out.IsOpen() || !out.Write(bytes.data(), bytes.size()) || !out.Flush()) {
      RemoveFile(temporary);
      return false;
    }
  }
  if (PathExists(destination)) ClearReadOnly(destination);
  if (MoveFileReplace(temporary, destination)) return true;
  RemoveFile(temporary);
  return false;
}

// A failed transfer of a descriptor: the transfer's code and the cause it gave.
std::wstring TransferFailure(StepCode transferCode) {
  const std::wstring& cause = LastDownloadCause();
  return DescribeCode(transferCode) + (cause.empty() ? L"" : L": " + cause);
}

}  // namespace

std::wstring UpdateClient::UsableCachedStamp(const std::wstring& cachedStamp, const std::wstring& cacheFile,
                                             const std::string& fileName, SignedStatement& statement) const {
  if (!trust_.Enabled()) return cachedStamp;
  return trust_.StillValid(cacheFile + L".sig", fileName, statement) ? cachedStamp : std::wstring();
}

bool UpdateClient::AcceptSigned(const std::wstring& packedPath, const std::wstring& url, const std::string& fileName,
                                const std::wstring& cacheFile, SignedStatement& statement, std::string& text) {
  if (!trust_.Enabled()) return true;
  std::wstring problem;
  if (trust_.Accept(packedPath, url, hostName_, fileName, cacheFile + L".sig", statement, text, problem)) return true;
  failureCause_ = L"[" + url + L"]: " + problem;
  TheLogger().WriteFailure(L"AutoUpdateApp: " + failureCause_);
  return false;
}

bool UpdateClient::KeepIfForProduct(const SignedStatement& statement, const std::string& text,
                                    const std::wstring& what, const std::wstring& cacheFile) {
  if (!trust_.Enabled()) return true;
  if (AnsiToWide(statement.product) != rootFolder_) {
    failureCause_ = what + L" is signed for the product " + AnsiToWide(statement.product) + L", not " + rootFolder_;
    TheLogger().WriteFailure(L"AutoUpdateApp: " + failureCause_);
    return false;
  }
  // Only a signature that passed every check is kept: its serial is the floor of later runs.
  if (!text.empty() && !dryRun_ && !ReleaseTrust::Keep(cacheFile + L".sig", text)) {
    failureCause_ = L"the signature of " + what + L" cannot be kept beside [" + cacheFile + L"]";
    return false;
  }
  return true;
}

void UpdateClient::KeepCache(const std::wstring& plainPath, const std::wstring& cacheFile) const {
  if (dryRun_) return;  // a dry run writes nothing in the installation
  ClearReadOnly(cacheFile);
  (void)PackFile(plainPath, cacheFile, 9);
}

bool UpdateClient::FollowsItsProduct(const std::wstring& cacheFile) {
  if (!trust_.Enabled()) return true;
  const std::string followed = trust_.KeptProduct(cacheFile + L".sig");
  if (followed.empty() || followed == rootStatement_.product) return true;
  failureCause_ = L"[rootfolder.enc] is signed for the product " + AnsiToWide(rootStatement_.product) +
                  L"; this installation follows " + AnsiToWide(followed) + L", the product it first accepted";
  TheLogger().WriteFailure(L"AutoUpdateApp: " + failureCause_);
  return false;
}

UpdateClient::UpdateClient(IStatusCallback* callback, const std::wstring& localFolder, const std::wstring& hostName,
                           FileListChoice list)
    : callback_(callback),
      localFolder_(localFolder),
      remoteListName_(list == FileListChoice::Full ? L"filelistfull.enc" : L"filelist.enc"),
      localListName_(list == FileListChoice::Full ? L"filelistfull.ini" : L"filelist.ini"),
      scheme_(IsSecureHostText(hostName) ? L"https" : L"http"),
      hostName_(HostAuthority(hostName)),
      hostPath_(HostPath(hostName)),
      staging_(localFolder) {}

UpdateClient::~UpdateClient() = default;

FileEntry* UpdateClient::EntryAt(const EntryList& list, std::size_t i) {
  if (i >= list.size()) throw std::invalid_argument("work-list index out of range");
  return list[i].get();
}

FileEntry& UpdateClient::Append(EntryList& list, const std::wstring& name, const std::wstring& dateTime,
                                const std::wstring& checksum) {
  auto entry = std::make_unique<FileEntry>();
  entry->localPath = localFolder_ + name;
  entry->dateTime = dateTime;
  entry->checksum = checksum;
  entry->callback = callback_;
  list.push_back(std::move(entry));
  return *list.back();
}

std::wstring UpdateClient::TargetOf(const FileEntry& entry) const {
  return entry.localPath.size() >= localFolder_.size() ? entry.localPath.substr(localFolder_.size()) : entry.localPath;
}

// One address: probe it, then take the root-folder configuration from the cache when its
// stamp is the server's, else from the server. False leaves the code of this address's failure.
bool UpdateClient::ConnectTo(const std::wstring& address, const std::wstring& cacheFile, StepCode& errorCode) {
  const std::wstring packedPath = localFolder_ + L"rootfolder.enc";
  const std::wstring configPath = localFolder_ + L"rootfolder.ini";
  StepCode transferCode;
  if (!DownloadFileInto(localFolder_ + L"detectfile.enc", scheme_ + L"://" + address + hostPath_ + L"detectfile.enc",
                        hostName_, nullptr, transferCode)) {
    failureCause_ = L"[" + address + hostPath_ + L"detectfile.enc]: " + TransferFailure(transferCode);
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: the address " + address + L" does not answer the probe: " +
                                       failureCause_);
    errorCode = ConnectCode::NoProbe;
    return false;
  }
  serverUrl_ = scheme_ + L"://" + address + hostPath_;
  if (!UnpackDescriptor(cacheFile, configPath)) RemoveFile(configPath);
  std::wstring cached;
  ReadIniString(configPath, L"ServerConfig", L"DateTime", cached);
  cached = UsableCachedStamp(cached, cacheFile, "rootfolder.enc", rootStatement_);
  rootSignature_.clear();
  std::wstring stamp;
  switch (FetchIfStampDiffers(packedPath, serverUrl_ + L"rootfolder.enc", hostName_, cached, stamp, transferCode)) {
    case StampedFetch::Unchanged:
      return true;
    case StampedFetch::NoStamp:
      failureCause_ = L"[" + serverUrl_ + L"rootfolder.enc] has no Last-Modified time: " + TransferFailure(transferCode);
      errorCode = ConnectCode::NoStamp;
      return false;
    case StampedFetch::Failed:
      failureCause_ = L"[" + serverUrl_ + L"rootfolder.enc]: " + TransferFailure(transferCode);
      errorCode = ConnectCode::NoRootFolder;
      return false;
    case StampedFetch::Fetched:
    case StampedFetch::Changed:  // not asked for: the body is always wanted here
      break;
  }
  if (!AcceptSigned(packedPath, serverUrl_ + L"rootfolder.enc", "rootfolder.enc", cacheFile, rootStatement_,
                    rootSignature_)) {
    errorCode = TrustCode::Refused;
    return false;
  }
  if (!UnpackDescriptor(packedPath, configPath)) {
    failureCause_ = L"[" + serverUrl_ + L"rootfolder.enc] does not unpack";
    errorCode = ConnectCode::BadRootFolder;
    return false;
  }
  WriteIniString(configPath, L"ServerConfig", L"DateTime", stamp);
  KeepCache(configPath, cacheFile);
  return true;
}

bool UpdateClient::Connect(const std::wstring& host, const std::wstring& rootKeyName, const std::wstring& cacheFile,
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
    ReadIniString(localFolder_ + L"rootfolder.ini", L"ServerConfig", rootKeyName, rootFolder_);
    if (!FollowsItsProduct(cacheFile) ||
        !KeepIfForProduct(rootStatement_, rootSignature_, L"[rootfolder.enc]", cacheFile)) {
      errorCode = TrustCode::Refused;
      return false;
    }
    serverUrl_ += rootFolder_;
    return true;
  }
  return false;
}

bool UpdateClient::LoadDescription(const std::wstring& cacheFile, StepCode& errorCode) {
  errorCode = StepCode();
  failureCause_.clear();
  listCache_ = cacheFile;
  const std::wstring packedPath = localFolder_ + remoteListName_;
  const std::wstring listPath = localFolder_ + localListName_;
  // The list is read once: the cached copy, or the server's when its stamp differs.
  std::string cachedText;
  UnpackDescriptorText(cacheFile, cachedText);
  list_ = IniDocument(std::move(cachedText));
  std::wstring cached;
  list_.ReadString(L"ServerConfig", L"DateTime", cached);
  const std::string listName = WideToUtf8(remoteListName_);
  SignedStatement statement;
  cached = UsableCachedStamp(cached, cacheFile, listName, statement);
  // Values that the previous copy carried over are kept over the server's.
  std::wstring tdd;
  std::wstring htdd;
  list_.ReadString(L"ServerConfig", L"TDD", tdd);
  list_.ReadString(L"ServerConfig", L"HTDD", htdd);
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
  if (fetch == StampedFetch::Fetched) {
    if (!UnpackDescriptor(packedPath, listPath)) {
      failureCause_ = L"[" + serverUrl_ + remoteListName_ + L"] does not unpack";
      errorCode = DescriptionCode::BadList;
      return false;
    }
    list_ = LoadIniFile(listPath);
    list_.SetValue(L"ServerConfig", L"DateTime", stamp);
    if (!tdd.empty()) list_.SetValue(L"ServerConfig", L"TDD", tdd);
    if (!htdd.empty()) list_.SetValue(L"ServerConfig", L"HTDD", htdd);
    (void)WriteIniFile(listPath, list_);
    KeepCache(listPath, cacheFile);
    if (!dryRun_) (void)CopyReplacing(packedPath, heldList);
  }
  listStamp_ = stamp;
  list_.ReadString(L"ServerConfig", L"VersionName", versionName_);
  list_.ReadString(L"ServerConfig", L"UpdateFolder", updateFolder_);
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
bool UpdateClient::PatchHeldList(const std::wstring& heldList, const std::wstring& packedPath, const std::wstring& listUrl,
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
  const std::wstring patchUrl = listUrl + L".patches/" + heldDigest + L"-" + servedCheck + L".pat";
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

void UpdateClient::NoteLocalContent(const IniDocument& list) {
  std::unordered_set<std::wstring> wanted;
  for (const EntryList* entries : {&updateList_, &patchList_}) {
    for (const auto& entry : *entries) {
      if (entry->checksum.empty()) continue;
      if (!wanted.insert(FoldCase(entry->checksum)).second) repeats_.insert(entry.get());
    }
  }
  if (wanted.empty()) return;
  localContent_.NoteListed(list, wanted);
  localContent_.NoteListed(AppliedList(), wanted);
  if (AppliedList().SectionCount() != 0) return;
  // No run recorded what this installation holds: its unlisted files of a wanted size may.
  std::unordered_map<std::uint64_t, std::unordered_set<std::wstring>> wantedBySize;
  for (const EntryList* entries : {&updateList_, &patchList_}) {
    for (const auto& entry : *entries) {
      const std::uint64_t size = ListedSize(*entry);
      if (size > 0 && !entry->checksum.empty()) {
        wantedBySize[size].insert(FoldCase(entry->checksum));
      }
    }
  }
  localContent_.NoteUnlisted(list, wantedBySize, localFolder_);
}

const IniDocument& UpdateClient::AppliedList() {
  if (!appliedList_) {
    appliedList_.emplace();
    const std::wstring applied = localFolder_ + L"applied.ini";
    if (PathExists(APPLIED_LIST_CACHE) && UnpackDescriptor(APPLIED_LIST_CACHE, applied)) {
      *appliedList_ = LoadIniFile(applied);
    }
    RemoveFile(applied);
  }
  return *appliedList_;
}

std::wstring UpdateClient::AppliedDigest(const std::wstring& name, const std::wstring& fileTime) {
  const IniDocument& applied = AppliedList();
  const std::size_t section = applied.FindSection(name);
  if (section == IniDocument::NO_SECTION) return L"";
  std::wstring method, dateTime, checksum;
  applied.ReadString(section, L"Method", method);
  applied.ReadString(section, L"DateTime", dateTime);
  applied.ReadString(section, L"CheckSum", checksum);
  const bool hasContent =
      EqualNoCase(method, L"Update") || EqualNoCase(method, L"Patch") || EqualNoCase(method, L"SelfUpdate");
  if (!hasContent || dateTime.empty() || !SameFileTimeToMinute(fileTime, dateTime)) return L"";
  return checksum;
}

void UpdateClient::RememberAppliedList() {
  // A run with nothing to do finds the copy as it left it: read, not written again (megabytes on a
  // game of many files).
  if (!listCache_.empty() && !SameFileContent(listCache_, APPLIED_LIST_CACHE)) {
    (void)CopyReplacing(listCache_, APPLIED_LIST_CACHE);
  }
}

// The version is in the list's first section: only the list's head is unpacked and read, not the
// megabytes of a list of many files.
std::wstring UpdateClient::AppliedVersion() const {
  std::string head;
  std::wstring version;
  if (!UnpackHead(APPLIED_LIST_CACHE, 64 * 1024, head)) return version;
  // A line cut at the head's end is no line.
  head.resize(head.rfind('\n') == std::string::npos ? 0 : head.rfind('\n') + 1);
  IniDocument(head).ReadString(L"ServerConfig", L"VersionName", version);
  return version;
}
