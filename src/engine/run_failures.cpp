#include "engine/run_failures.h"

#include "engine/player_words.h"
#include "services/files.h"
#include "services/http.h"
#include "services/logger.h"

namespace {

// "download [url]: HTTP_NOT_FOUND (…): the server answered 404".
std::wstring FailureText(const StepOutcome& failure) {
  return failure.step + L": " + DescribeCode(failure.code) + (failure.cause.empty() ? L"" : L": " + failure.cause);
}

}  // namespace

void RunFailures::Note(const StepOutcome& failure) {
  ++count_;
  diskFull_ = diskFull_ || failure.code == DownloadCode::DiskFull;
  TheLogger().WriteFailure(L"AutoUpdateApp: cannot " + FailureText(failure));
  if (count_ == 1) first_ = failure;
}

std::wstring RunFailures::FirstLine() const { return Any() ? L"cannot " + FailureText(first_) : L""; }

void RunFailures::SplitFirstStep(std::wstring& step, std::wstring& subject) const {
  const std::wstring& whole = first_.step;
  const std::size_t open = whole.find(L" [");
  step = whole.substr(0, open);
  subject.clear();
  if (open != std::wstring::npos && whole.back() == L']') subject = whole.substr(open + 2, whole.size() - open - 3);
}

std::wstring RunFailures::CauseStatus(const std::wstring& stepText) const {
  FailureFacts facts{first_.code, first_.cause, heldFile_, heldBy_, L"", false, TheNetworkNotes()};
  facts.folderLocked = FolderAtFault(facts.lockedFolder);
  const std::wstring words = FailureWords(facts);
  return words.empty() ? stepText : words;
}

bool RunFailures::FolderAtFault(std::wstring& folder) const {
  const StepCode code = first_.code;
  if (code != DownloadCode::CannotCreate && code != DownloadCode::WriteFailed && code != StageCode::NoFolder &&
      code != StageCode::NoFile && code != CommitCode::MoveFailed && code != CommitCode::RemoveFailed) {
    return false;
  }
  folder.clear();
  if (!CanMakeFilesIn(L".")) return true;
  std::wstring step, subject;
  SplitFirstStep(step, subject);
  const std::size_t cut = subject.find_last_of(L"\\/");
  if (subject.empty() || subject.find(L"://") != std::wstring::npos || cut == std::wstring::npos) return false;
  folder = subject.substr(0, cut);
  return !CanMakeFilesIn(folder);
}
