#pragma once
// Every code that the steps of an update report, in one family per step, and StepCode, which
// carries one of them or success. The numbers are the ones the logs print and support reads
// ("code 24, attempt 2"), kept from version to version; two families may share a number (a check
// and a download are cancelled alike, 10), the family tells them apart. Success is 0 and nothing
// else: every failure, a short body included, has a code of its own.
#include <string>

// A download's (services/http.h).
enum class DownloadCode {
  CannotCreate = 1,   // the local file cannot be created
  WriteFailed = 2,    // a write failed although the drive has room
  NoInternet = 4,     // no internet handle
  DiskFull = 9,       // a write failed and the drive has no room (or it is unknown)
  Cancelled = 10,     // the progress callback answered false
  RequestFailed = 21, // no answer, a status other than 200 and 206, no length or a broken body
  NotFound = 24,      // the server answered 404 or 410: asking again is no use
  Certificate = 25,   // an https server whose certificate does not verify
  Stalled = 41,       // no connection within the connect limit, no data within the stall limit, or
                      // less than the speed floor for its span
  ShortBody = 45,     // the body ended before its announced length; what came is kept
  ProxySignIn = 46,   // the proxy asks for a sign-in (407) that it was not given or refused
  ProxyDown = 47,     // the proxy cannot be reached
};

// Finding the patch server and this product's folder on it.
enum class ConnectCode { NoAddress = 20, BadRootFolder = 22, NoProbe = 28, NoRootFolder = 29, NoStamp = 31 };

// Bringing the file list up to date.
enum class DescriptionCode { BadList = 23, NoList = 30, NoStamp = 32 };

// Checking the installed files against the list.
enum class CheckCode { NoList = 3, Cancelled = 10, UnreadableFile = 26, UnsafeName = 27, UnverifiedSelfUpdate = 36 };

// Staging a file's new content.
enum class StageCode { BadContent = 33, NoFile = 34, Unverified = 38, NoFolder = 43 };

// Moving the staged files over the installed ones, and removing what the list removes.
enum class CommitCode { MoveFailed = 35, FileInUse = 39, RemoveFailed = 40 };

// Replacing the updater's own files through the engine helper.
enum class SelfUpdateCode { Repeated = 42, HelperFailed = 44 };

// With a trusted key: a descriptor or list that its signature does not vouch for.
enum class TrustCode { Refused = 37 };

class StepCode {
 public:
  constexpr StepCode() = default;
  constexpr StepCode(DownloadCode code) : family_(Family::Download), number_(static_cast<int>(code)) {}
  constexpr StepCode(ConnectCode code) : family_(Family::Connect), number_(static_cast<int>(code)) {}
  constexpr StepCode(DescriptionCode code) : family_(Family::Description), number_(static_cast<int>(code)) {}
  constexpr StepCode(CheckCode code) : family_(Family::Check), number_(static_cast<int>(code)) {}
  constexpr StepCode(StageCode code) : family_(Family::Stage), number_(static_cast<int>(code)) {}
  constexpr StepCode(CommitCode code) : family_(Family::Commit), number_(static_cast<int>(code)) {}
  constexpr StepCode(SelfUpdateCode code) : family_(Family::SelfUpdate), number_(static_cast<int>(code)) {}
  constexpr StepCode(TrustCode code) : family_(Family::Trust), number_(static_cast<int>(code)) {}

  constexpr bool Succeeded() const { return family_ == Family::None; }
  // The number the logs print; 0 for success.
  constexpr int Number() const { return number_; }
  // The name the logs and the headless updater's JSON give it ("HTTP_NOT_FOUND"; "SUCCESS") and
  // what it means ("the server has no such file (404 or 410)").
  struct Text {
    const wchar_t* name;
    const wchar_t* meaning;
  };
  Text Describe() const;

  friend constexpr bool operator==(StepCode a, StepCode b) { return a.family_ == b.family_ && a.number_ == b.number_; }
  friend constexpr bool operator!=(StepCode a, StepCode b) { return !(a == b); }

 private:
  enum class Family { None, Download, Connect, Description, Check, Stage, Commit, SelfUpdate, Trust };
  Family family_ = Family::None;
  int number_ = 0;
};

// The code's name and meaning, for the diagnostic log and the error line:
// "CONNECT_NO_PROBE (no address of the host answered the probe)".
std::wstring DescribeCode(StepCode code);
