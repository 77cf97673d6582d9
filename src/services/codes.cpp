#include "services/codes.h"

namespace {

using CodeText = StepCode::Text;

// Each switch names every code of its family, without a default: a code added to a family and
// not named here is a compiler warning, which the build treats as an error.
CodeText TextOf(DownloadCode code) {
  switch (code) {
    case DownloadCode::CannotCreate: return {L"HTTP_CANNOT_CREATE", L"the local file cannot be created"};
    case DownloadCode::WriteFailed: return {L"HTTP_WRITE_FAILED", L"a write failed although the drive has room"};
    case DownloadCode::NoInternet: return {L"HTTP_NO_INTERNET", L"no internet handle"};
    case DownloadCode::DiskFull: return {L"HTTP_DISK_FULL", L"the drive is full"};
    case DownloadCode::Cancelled: return {L"CANCELLED", L"cancelled"};
    case DownloadCode::RequestFailed:
      return {L"HTTP_REQUEST_FAILED", L"no answer, a refused status, no length, a broken body or a stalled transfer"};
    case DownloadCode::NotFound: return {L"HTTP_NOT_FOUND", L"the server has no such file (404 or 410)"};
    case DownloadCode::Certificate: return {L"HTTP_CERTIFICATE", L"the https server's certificate does not verify"};
    case DownloadCode::Stalled:
      return {L"HTTP_STALLED", L"the address did not connect, sent nothing in time or sent too slowly"};
    case DownloadCode::ShortBody: return {L"HTTP_SHORT_BODY", L"the transfer ended before the announced length"};
    case DownloadCode::ProxySignIn: return {L"HTTP_PROXY_SIGN_IN", L"the proxy asks for a sign-in (407)"};
    case DownloadCode::ProxyDown: return {L"HTTP_PROXY_DOWN", L"the proxy cannot be reached"};
  }
  return {L"HTTP_UNKNOWN", L"a download code this version does not know"};
}

CodeText TextOf(ConnectCode code) {
  switch (code) {
    case ConnectCode::NoAddress: return {L"CONNECT_NO_ADDRESS", L"the host name gives no address"};
    case ConnectCode::BadRootFolder: return {L"CONNECT_BAD_ROOT_FOLDER", L"the root-folder descriptor does not unpack"};
    case ConnectCode::NoProbe: return {L"CONNECT_NO_PROBE", L"no address of the host answered the probe"};
    case ConnectCode::NoRootFolder:
      return {L"CONNECT_NO_ROOT_FOLDER", L"the root-folder descriptor cannot be downloaded"};
    case ConnectCode::NoStamp: return {L"CONNECT_NO_STAMP", L"the root-folder descriptor has no Last-Modified time"};
  }
  return {L"CONNECT_UNKNOWN", L"a connection code this version does not know"};
}

CodeText TextOf(DescriptionCode code) {
  switch (code) {
    case DescriptionCode::BadList:
      return {L"DESCRIPTION_BAD_LIST", L"the file list does not unpack (or unpacks past 64 MiB)"};
    case DescriptionCode::NoList: return {L"DESCRIPTION_NO_LIST", L"the file list cannot be downloaded"};
    case DescriptionCode::NoStamp: return {L"DESCRIPTION_NO_STAMP", L"the file list has no Last-Modified time"};
  }
  return {L"DESCRIPTION_UNKNOWN", L"a description code this version does not know"};
}

CodeText TextOf(CheckCode code) {
  switch (code) {
    case CheckCode::NoList: return {L"CHECK_NO_LIST", L"the file list names no files"};
    case CheckCode::Cancelled: return {L"CANCELLED", L"cancelled"};
    case CheckCode::UnreadableFile: return {L"CHECK_UNREADABLE_FILE", L"an installed file cannot be read"};
    case CheckCode::UnsafeName: return {L"CHECK_UNSAFE_NAME", L"the list names a path outside the program folder"};
    case CheckCode::UnverifiedSelfUpdate:
      return {L"CHECK_UNVERIFIED_SELF_UPDATE", L"a self-update file has no CheckSum"};
  }
  return {L"CHECK_UNKNOWN", L"a check code this version does not know"};
}

CodeText TextOf(StageCode code) {
  switch (code) {
    case StageCode::BadContent:
      return {L"STAGE_BAD_CONTENT", L"the content does not unpack or rebuild to the listed digest"};
    case StageCode::NoFile: return {L"STAGE_NO_FILE", L"a staging file cannot be written, read or moved"};
    case StageCode::Unverified:
      return {L"STAGE_UNVERIFIED", L"a file that is not what the signed list's SHA256 and Size say"};
    case StageCode::NoFolder: return {L"STAGE_NO_FOLDER", L"the staging area cannot be made"};
  }
  return {L"STAGE_UNKNOWN", L"a staging code this version does not know"};
}

CodeText TextOf(CommitCode code) {
  switch (code) {
    case CommitCode::MoveFailed:
      return {L"COMMIT_MOVE_FAILED", L"a staged file cannot be moved over the installed one"};
    case CommitCode::FileInUse:
      return {L"COMMIT_FILE_IN_USE", L"another program holds a file to replace or remove; nothing was changed"};
    case CommitCode::RemoveFailed:
      return {L"COMMIT_REMOVE_FAILED", L"a file that the new version does not have cannot be removed"};
  }
  return {L"COMMIT_UNKNOWN", L"a commit code this version does not know"};
}

CodeText TextOf(SelfUpdateCode code) {
  switch (code) {
    case SelfUpdateCode::Repeated:
      return {L"SELF_UPDATE_REPEATED", L"the list asks again for the self-update that was just made"};
    case SelfUpdateCode::HelperFailed:
      return {L"HELPER_FAILED", L"the engine helper cannot be written or started"};
  }
  return {L"SELF_UPDATE_UNKNOWN", L"a self-update code this version does not know"};
}

CodeText TextOf(TrustCode code) {
  switch (code) {
    case TrustCode::Refused:
      return {L"SIGNATURE_REFUSED", L"a descriptor or list that no trusted signature vouches for"};
  }
  return {L"SIGNATURE_UNKNOWN", L"a trust code this version does not know"};
}

}  // namespace

StepCode::Text StepCode::Describe() const {
  switch (family_) {
    case Family::None: return {L"SUCCESS", L"success"};
    case Family::Download: return TextOf(static_cast<DownloadCode>(number_));
    case Family::Connect: return TextOf(static_cast<ConnectCode>(number_));
    case Family::Description: return TextOf(static_cast<DescriptionCode>(number_));
    case Family::Check: return TextOf(static_cast<CheckCode>(number_));
    case Family::Stage: return TextOf(static_cast<StageCode>(number_));
    case Family::Commit: return TextOf(static_cast<CommitCode>(number_));
    case Family::SelfUpdate: return TextOf(static_cast<SelfUpdateCode>(number_));
    case Family::Trust: return TextOf(static_cast<TrustCode>(number_));
  }
  return {L"UNKNOWN", L"a code this version does not know"};
}

std::wstring DescribeCode(StepCode code) {
  const StepCode::Text text = code.Describe();
  return std::wstring(text.name) + L" (" + text.meaning + L")";
}
