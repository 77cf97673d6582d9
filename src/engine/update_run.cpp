#include "engine/update_run.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <chrono>
#include <mutex>
#include <thread>

#include "services/logger.h"
#include "services/codes.h"
#include "engine/staging.h"
#include "engine/player_words.h"
#include "engine/progress_texts.h"
#include "engine/slots.h"
#include "engine/update_client.h"
#include "services/file_holders.h"
#include "services/files.h"
#include "services/http.h"
#include "services/language.h"
#include "services/packed.h"
#include "services/platform.h"
#include "services/run_lock.h"
#include "services/text.h"

namespace {

constexpr int HELPER_RESOURCE_ID = 185;

std::wstring AnotherUpdaterRuns() {
  return Say(L"Một chương trình cập nhật khác đang chạy trong thư mục này.", L"Another updater is running in this folder.");
}

// One step's outcome, shown and logged.
void Report(RunView& view, const std::wstring& status, const std::wstring& log) {
  if (!status.empty()) view.SetStatus(status);
  WriteUpdateLog(log);
}

// A failure that another form of the file would meet again: the disk refused a write.
bool DiskAtFault(StepCode code) { return code == DownloadCode::DiskFull || code == DownloadCode::WriteFailed || code == DownloadCode::CannotCreate; }

// The run's state and its phases, in the order UpdateRun takes them.
class Run {
 public:
  Run(RunView& view, const RunSettings& settings, const std::wstring& workFolder)
      : view_(view),
        settings_(settings),
        checkTexts_(view, settings.stop),
        progress_(view, viewLock_, settings.stop),
        client_(&checkTexts_, workFolder, settings.host, settings.list) {
    client_.SetRetryDelays(settings.retryDelaysMs);
    client_.SetTrustedKeys(settings.trustedKeys);
    client_.SetHighestFormat(settings.highestFormat);
    client_.SetDryRun(settings.plan != nullptr);
    SetDownloadRateLimit(settings.maxRateBytesPerSecond);
    HttpLimits limits = GetHttpLimits();
    limits.floorBytesPerSecond = settings.minRateBytesPerSecond;
    SetHttpLimits(limits);
    ClearNetworkNotes();
  }

  int Execute() {
    if (settings_.summary != nullptr) versionBefore_ = client_.AppliedVersion();
    view_.checkFailedName.clear();
    view_.filesDone = 0;
    view_.filesTotal = 0;
    const bool described = Connect() && Describe() && Check();
    if (Stopped(settings_.stop)) return Stop();
    if (!described) return RUN_FAILED;

    version_ = client_.GetVersionName();
    if (settings_.plan != nullptr) return Plan(*settings_.plan);
    const std::size_t total = client_.GetUpdateCount() + client_.GetPatchCount() + client_.GetSelfUpdateCount();
    view_.ShowVersion(L"version " + version_);
    if (total == 0) {
      RemoveListed();
      if (Failed()) {
        Report(view_, CauseStatus(UpdateFailed()),
               L"Cannot update to the newest version " + version_);
        return RUN_FAILED;
      }
      client_.RememberAppliedList();
      view_.SetProgressRange(0, 1);
      view_.SetProgressPosition(1);
      Report(view_, UpdateDone(),
             L"The game is already update to the newest version " + version_);
      return RUN_FINISHED;
    }
    if (client_.GetSelfUpdateCount() > 0) {
      if (!settings_.selfUpdatedStamp.empty() && settings_.selfUpdatedStamp == client_.GetListStamp()) {
        NoteFailure(SelfUpdateCode::Repeated, L"self-update from the list " + client_.GetListStamp(),
                    L"the updater is not started once more (is its CheckSum that of the file it names?)");
        Report(view_, UpdateFailed(),
               L"Cannot update to the newest version " + version_);
        return RUN_FAILED;
      }
      return SelfUpdate();
    }
    return UpdateAndPatch();
  }

 private:
  // A dry run's end: what the run would fetch and remove, nothing done.
  int Plan(RunPlan& plan) {
    using Action = RunPlan::Action;
    plan.version = version_;
    plan.steps.clear();
    const auto add = [&](std::size_t count, EntryAt at, Action action) {
      for (std::size_t i = 0; i < count; ++i) {
        const FileEntry& entry = *(client_.*at)(i);
        const std::wstring source = client_.LocalSourceOf(entry);
        const bool copied = !source.empty() || client_.RepeatsEarlierContent(entry);
        RunPlan::Step step{copied ? Action::Copy : action, DisplayName(entry), source, ListedSize(entry)};
        if (!copied) step.downloadKnown = client_.DownloadLength(entry, step.downloadBytes);
        if (!step.downloadKnown) step.downloadBytes = step.bytes;
        plan.steps.push_back(step);
      }
    };
    add(client_.GetSelfUpdateCount(), &UpdateClient::GetSelfUpdateEntry, Action::SelfUpdate);
    add(client_.GetUpdateCount(), &UpdateClient::GetUpdateEntry, Action::Download);
    add(client_.GetPatchCount(), &UpdateClient::GetPatchEntry, Action::Patch);
    for (const std::wstring& name : client_.RemovedNames()) plan.steps.push_back({Action::Remove, name, L"", 0});
    Report(view_, L"", L"Dry run: nothing changed");
    return RUN_FINISHED;
  }

  bool Connect() {
    view_.SetStatus(Say(L"Đang kết nối tới máy chủ...", L"Connecting to the patch server..."));
    if (!client_.Connect(settings_.host, L"ZepoFolder", L"autoupdate.sls", error_)) {
      NoteFailure(L"connect to the patch server [" + settings_.host + L"]", client_.FailureCause());
      Report(view_, CauseStatus(Say(L"Kết nối tới máy chủ thất bại.", L"Could not connect to the patch server.")), L"Connect to patch server => Failed");
      return false;
    }
    const std::wstring line = L"Connect to patch server [" + client_.GetServerUrl() + L"] => Success";
    WriteUpdateLog(line);
    TheLogger().Write(LOG_FYI, L"AutoUpdateApp: " + line);
    return true;
  }

  bool Describe() {
    view_.SetStatus(Say(L"Đang lấy thông tin cập nhật...", L"Getting the update information..."));
    if (!client_.LoadDescription(L"autoupdate.fls", error_)) {
      NoteFailure(L"get the file list from [" + client_.GetServerUrl() + L"]", client_.FailureCause());
      Report(view_, CauseStatus(Say(L"Lấy thông tin cập nhật thất bại.", L"Could not get the update information.")),
             L"Get description update information => Failed");
      return false;
    }
    WriteUpdateLog(L"Get description update information => Success");
    view_.StepProgress();
    return true;
  }

  bool Check() {
    const CheckMode mode = settings_.repair ? CheckMode::DigestAlways : CheckMode::TrustSameTime;
    if (!client_.CheckFiles(mode, error_, view_.checkFailedName)) {
      NoteFailure(L"check [" + view_.checkFailedName + L"]", client_.FailureCause());
      heldFile_ = view_.checkFailedName;
      if (error_ == CheckCode::UnreadableFile) heldBy_ = FileHolders(heldFile_);
      Report(view_, CauseStatus(Say(L"Lỗi kiểm tra danh sách các tập tin.", L"The check of the files failed.")), L"Check description update information => Failed");
      return false;
    }
    WriteUpdateLog(L"Check description update information => Success");
    view_.StepProgress();
    return true;
  }

  std::wstring DisplayName(const FileEntry& entry) const { return client_.TargetOf(entry); }

 public:
  // The first failure's step, subject, code and cause, for the front end's error line; empty when
  // nothing failed.
  std::wstring FirstFailure() const { return Failed() ? L"cannot " + FailureText(firstFailure_) : L""; }

  // What the run did (see RunSummary).
  void Summarize(RunSummary& summary) const {
    summary = RunSummary{};
    summary.versionBefore = versionBefore_;
    summary.version = version_;
    for (const auto& [count, at] : {std::pair<std::size_t, EntryAt>{client_.GetSelfUpdateCount(), &UpdateClient::GetSelfUpdateEntry},
                                    {client_.GetUpdateCount(), &UpdateClient::GetUpdateEntry},
                                    {client_.GetPatchCount(), &UpdateClient::GetPatchEntry}}) {
      for (std::size_t i = 0; i < count; ++i) {
        const FileEntry& entry = *(client_.*at)(i);
        if (!entry.staged) continue;
        summary.bytes += entry.fetchedBytes;
        if (entry.repaired) summary.repaired.push_back(DisplayName(entry));
        if (entry.copied) {
          ++summary.copied;
        } else if (entry.form == ContentForm::Patch || entry.form == ContentForm::Patch2) {
          ++summary.patched;
        } else {
          ++summary.downloaded;
        }
      }
    }
    summary.removed = removed_;
    if (!Failed()) return;
    const std::wstring& step = firstFailure_.step;
    summary.errorCode = firstFailure_.code.Describe().name;
    const std::size_t open = step.find(L" [");
    summary.errorStep = step.substr(0, open);
    if (open != std::wstring::npos && step.back() == L']') summary.errorFile = step.substr(open + 2, step.size() - open - 3);
    summary.errorCause = firstFailure_.cause;
  }

 private:
  bool Failed() const { return failures_ > 0; }

  // "download [url]: HTTP_NOT_FOUND (…): the server answered 404".
  static std::wstring FailureText(const StepOutcome& failure) {
    return failure.step + L": " + DescribeCode(failure.code) + (failure.cause.empty() ? L"" : L": " + failure.cause);
  }

  // Every failure of the run passes here, once: it fails the run, writes the diagnostic failure
  // line, and the first one becomes the error line (FirstFailure). The status texts and the update
  // log keep their own words. The later files of the run go on and fail with their own codes: a
  // full disk among them is remembered for the status.
  void NoteFailure(const StepOutcome& failure) {
    ++failures_;
    diskFull_ = diskFull_ || failure.code == DownloadCode::DiskFull;
    TheLogger().WriteFailure(L"AutoUpdateApp: cannot " + FailureText(failure));
    if (failures_ == 1) firstFailure_ = failure;
  }
  void NoteFailure(StepCode code, const std::wstring& step, const std::wstring& cause) {
    NoteFailure(StepOutcome{code, step, cause});
  }
  // A step of the run's own, whose code is in error_ and cause with the client.
  void NoteFailure(const std::wstring& step, const std::wstring& cause) { NoteFailure(error_, step, cause); }
  // A file's step, whose code and cause its entry holds.
  void NoteFailure(FileEntry& entry, const std::wstring& step) {
    entry.outcome.step = step;
    NoteFailure(entry.outcome);
  }

  int SelfUpdate() {
    if (!client_.OpenStaging()) {
      NoteFailure(StageCode::NoFolder, L"make the staging area", L"in " + client_.GetLocalFolder());
      Report(view_, Say(L"Tải tập tin [%s] thất bại.", L"Could not download [%s].", StatusName(DisplayName(*client_.GetSelfUpdateEntry(0)))),
             L"Download selfupdate file [" + DisplayName(*client_.GetSelfUpdateEntry(0)) + L"] => Failed");
      return RUN_FAILED;
    }
    std::vector<std::wstring> files;
    BeginDownloads({{client_.GetSelfUpdateCount(), &UpdateClient::GetSelfUpdateEntry}});
    for (std::size_t i = 0; i < client_.GetSelfUpdateCount(); ++i) {
      FileEntry& entry = *client_.GetSelfUpdateEntry(i);
      const std::wstring name = DisplayName(entry);
      // A damaged download never reaches the helper, which would put it in place of the updater.
      bool arrived = false;
      if (!FetchAndStageEntry(entry, [&] { arrived = true; })) {
        if (!arrived) {
          NoteFailure(entry, L"download [" + entry.url + L"]");
          Report(view_, Say(L"Tải tập tin [%s] thất bại.", L"Could not download [%s].", StatusName(name)), L"Download selfupdate file [" + name + L"] => Failed");
        } else {
          NoteFailure(entry, L"unpack [" + name + L"]");
          Report(view_, Say(L"Tập tin [%s] đã bị lỗi.", L"The file [%s] is damaged.", StatusName(name)), L"Unpack selfupdate file [" + name + L"] => Failed");
        }
        return RUN_FAILED;
      }
      if (!client_.HandOverEntry(entry)) {
        NoteFailure(entry, L"hand over [" + name + L"]");
        Report(view_, Say(L"Đổi tên tập tin [%s] thất bại.", L"Could not rename [%s].", StatusName(name)), L"Rename selfupdate file [" + name + L"] => Failed");
        return RUN_FAILED;
      }
      files.push_back(entry.localPath);
      WriteUpdateLog(L"Download selfupdate file [" + name + L"] => Success");
    }
    if (!WriteResourceToFile(HELPER_RESOURCE_ID, L"DATA", client_.GetLocalFolder() + L"engine.dat")) {
      NoteFailure(SelfUpdateCode::HelperFailed, L"write [" + client_.GetLocalFolder() + L"engine.dat]", LastSystemErrorText());
      Report(view_, Say(L"Tạo tập tin [engine.dat] thất bại.", L"Could not create [engine.dat]."), L"Extract selfupdate file [engine.dat] => Failed");
      return RUN_FAILED;
    }
    std::vector<std::wstring> restart = settings_.restartCommand;
    if (!restart.empty()) restart.push_back(SELF_UPDATED_ARGUMENT + client_.GetListStamp());
    const bool started = settings_.startEngineHelper ? settings_.startEngineHelper(files, restart)
                                                     : client_.StartEngineHelper(files, restart, settings_.helperWaitsForExit);
    if (started) return RUN_SELF_UPDATE;
    NoteFailure(SelfUpdateCode::HelperFailed, L"start [" + client_.GetLocalFolder() + L"engine.dat]", LastSystemErrorText());
    Report(view_, Say(L"Thực thi tập tin [engine.dat] thất bại.", L"Could not start [engine.dat]."), L"Execute selfupdate file [engine.dat] => Failed");
    return RUN_FAILED;
  }

  using EntryAt = FileEntry* (UpdateClient::*)(std::size_t) const;

  // The progress of the downloads to come: the sizes the list gives the entries of each list.
  void BeginDownloads(std::initializer_list<std::pair<std::size_t, EntryAt>> lists) {
    std::uint64_t bytes = 0, listed = 0, files = 0;
    for (const auto& [count, at] : lists) {
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t size = ListedSize(*(client_.*at)(i));
        bytes += size;
        listed += size > 0 ? 1 : 0;
      }
      files += count;
    }
    progress_.Begin(bytes, listed, files);
  }

  // An entry's content in the first form the list offers that both arrives and stages: a form
  // whose download, unpacking or rebuild fails gives way to the next (see UpdateClient::FallBack),
  // unless the disk is at fault, which every form would meet again. arrived is called once, when
  // a first download has arrived. The file counts once in the progress, however many forms it
  // takes; the downloads after a first one that arrived move it no further.
  template <typename OnArrival>
  bool FetchAndStageEntry(FileEntry& entry, OnArrival arrived) {
    RunProgress::File progress(progress_, ListedSize(entry));
    entry.callback = &progress;
    bool staged = false;
    for (bool first = true;;) {
      if (fetchSlots_.Hold([&] { return client_.Fetch(entry); })) {
        if (first) arrived();
        first = false;
        entry.callback = nullptr;
        staged = stageSlots_.Hold([&] { return client_.StageEntry(entry); });
      }
      if (staged || DiskAtFault(entry.outcome.code) || !client_.FallBack(entry)) break;
    }
    if (staged) progress.Arrived();
    entry.callback = nullptr;
    return staged;
  }

  // The work of one file by one of the run's workers: its download, then at once its rebuild
  // (a patch) or its unpacking and verification (a whole file), so that the staged files are
  // flushed to disk by the workers side by side rather than one after another. With one
  // connection one worker takes the jobs (whole files, then patches) in the list's order. With
  // more, twice as many workers as connections: as many download at once as there are
  // connections, and as many stage at once, so that the link goes on with the next files while
  // others are rebuilt. A file whose content an earlier one of the run has waits until all
  // others are staged, and is then copied from it.
  struct Job {
    FileEntry* entry;
    bool patch;
  };

  void FetchAndStageAll(std::size_t updates, std::size_t patches) {
    std::vector<Job> jobs, repeats;
    const auto add = [&](FileEntry* entry, bool patch) {
      (client_.RepeatsEarlierContent(*entry) ? repeats : jobs).push_back({entry, patch});
    };
    for (std::size_t i = 0; i < updates; ++i) add(client_.GetUpdateEntry(i), false);
    for (std::size_t i = 0; i < patches; ++i) add(client_.GetPatchEntry(i), true);
    // Several workers take the longest jobs first, so that the link is not left idle at the end
    // while one large file is still rebuilt: patches (a download, then a rebuild as long as the
    // file) before whole files, larger files first.
    if (Connections() > 1) {
      std::stable_sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) {
        if (a.patch != b.patch) return a.patch;
        return ListedSize(*a.entry) > ListedSize(*b.entry);
      });
    }
    RunJobs(jobs);
    RunJobs(repeats);
  }

  // An exception on any worker (memory exhausted by a hostile list, say) stops the others taking
  // jobs and is thrown again on the run's thread once all have ended, where the run catches it:
  // it never ends the process.
  void RunJobs(std::vector<Job>& jobs) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr escaped;
    std::mutex escapedLock;
    const auto work = [&] {
      try {
        for (std::size_t i = next++; i < jobs.size() && !Stopped(settings_.stop); i = next++) FetchAndStage(jobs[i]);
      } catch (...) {
        std::lock_guard<std::mutex> guard(escapedLock);
        if (!escaped) escaped = std::current_exception();
        next = jobs.size();
      }
    };
    const std::size_t workers = std::min<std::size_t>(Connections() == 1 ? 1 : 2 * Connections(), jobs.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < workers; ++i) threads.emplace_back(work);
    work();
    for (std::thread& thread : threads) thread.join();
    if (escaped) std::rethrow_exception(escaped);
  }

  void FetchAndStage(Job& job) {
    FileEntry& entry = *job.entry;
    const std::wstring name = DisplayName(entry);
    const std::wstring kind = job.patch ? L"patch" : L"update";
    bool arrived = false;
    const bool staged = FetchAndStageEntry(entry, [&] {
      arrived = true;
      Under([&] {
        WriteUpdateLog(L"Download " + kind + L" file [" + name + L"] => Success");
        if (job.patch) view_.SetProgressStatus(Say(L"Đang nâng cấp tập tin [%s]...", L"Patching [%s]...", StatusName(name)));
      });
    });
    if (staged && !job.patch) return;
    Under([&] {
      if (!arrived) {
        NoteFailure(entry, L"download [" + entry.url + L"]");
        WriteUpdateLog(L"Download " + kind + L" file [" + name + L"] => Failed");
        return;
      }
      if (!staged) NoteFailure(entry, (job.patch ? L"rebuild [" : L"unpack [") + name + L"]");
      WriteUpdateLog(job.patch ? L"Rebuild patch file [" + name + L"] => " + (staged ? L"Success" : L"Failed")
                               : L"Apply update file [" + name + L"] => Failed");
    });
  }

  // Runs what a worker shows, logs or records, one worker at a time.
  template <typename Action>
  void Under(Action action) {
    std::lock_guard<std::mutex> guard(viewLock_);
    action();
  }

  // Moves every staged file over its target; reached only when the whole run is staged.
  void CommitAll(std::size_t count, EntryAt at, const wchar_t* kind) {
    for (std::size_t i = 0; i < count; ++i) {
      FileEntry& entry = *(client_.*at)(i);
      const std::wstring name = DisplayName(entry);
      view_.SetProgressStatus(Say(L"Đang cập nhật tập tin [%s]...", L"Updating [%s]...", StatusName(name)));
      const bool ok = client_.CommitEntry(entry);
      if (!ok) NoteFailure(entry, L"replace [" + name + L"]");
      WriteUpdateLog(std::wstring(L"Apply ") + kind + L" file [" + name + L"] => " + (ok ? L"Success" : L"Failed"));
    }
  }

  // A removal that fails leaves a file that the new version does not have: the run fails (the
  // next run removes it), after the other files are in place.
  void RemoveListed() {
    std::vector<std::wstring> failed;
    const std::size_t present = client_.RemovedNames().size();
    client_.RemoveListed(failed);
    removed_ = present > failed.size() ? present - failed.size() : 0;
    for (const std::wstring& name : failed) {
      const std::wstring holders = FileHolders(name);
      NoteFailure(CommitCode::RemoveFailed, L"remove [" + name + L"]",
                  holders.empty() ? L"it cannot be removed" : L"it is in use by " + holders);
    }
  }

  // Waits until no other program holds a file that the commit replaces or removes (an antivirus
  // scan of a file just written holds it for seconds), up to the run's wait in all, saying which
  // file it waits for. False, with the failure noted, when a file to replace is still held:
  // nothing installed has been touched then, and the next run commits what this one staged. A
  // file to remove that is still held does not stop the commit; its removal fails the run after.
  bool WaitForHeldFiles() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.heldFileWaitMs);
    for (const bool replaced : {true, false}) {
      for (const std::wstring& target : replaced ? client_.ReplacedTargets() : client_.RemovedTargets()) {
        if (!WaitUntilFree(target, deadline) && replaced) {
          const std::wstring holders = FileHolders(target);
          heldFile_ = target;
          heldBy_ = holders;
          NoteFailure(CommitCode::FileInUse, L"replace [" + target + L"]",
                      L"it is in use by " + (holders.empty() ? L"another program" : holders) + L" after " +
                          std::to_wstring(settings_.heldFileWaitMs / 1000) + L" s of waiting");
          return false;
        }
      }
    }
    return true;
  }

  // Whether the file is free before the deadline, pausing ever longer (up to 2 s) meanwhile.
  bool WaitUntilFree(const std::wstring& target, std::chrono::steady_clock::time_point deadline) {
    std::chrono::milliseconds pause(100);
    for (bool said = false; FileIsHeld(target); said = true) {
      if (!said) {
        const std::wstring holders = FileHolders(target);
        view_.SetStatus(Say(L"Đang chờ tập tin [%s] đang được chương trình khác sử dụng...",
                            L"Waiting for [%s], which another program is using...", StatusName(target)));
        TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: [" + target + L"] is in use" +
                                           (holders.empty() ? L"" : L" by " + holders) + L"; waiting for it");
      }
      if (std::chrono::steady_clock::now() + pause > deadline) return false;
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(2000));
    }
    return true;
  }

  int UpdateAndPatch() {
    const std::size_t updates = client_.GetUpdateCount();
    const std::size_t patches = client_.GetPatchCount();
    BeginDownloads({{updates, &UpdateClient::GetUpdateEntry}, {patches, &UpdateClient::GetPatchEntry}});
    if (!client_.OpenStaging()) {
      NoteFailure(StageCode::NoFolder, L"make the staging area", L"in " + client_.GetLocalFolder());
    } else {
      FetchAndStageAll(updates, patches);
    }
    if (Stopped(settings_.stop)) return Stop();
    // Nothing installed is touched unless every file of the run is staged and verified, and no
    // file to replace or remove is held by another program.
    if (!Failed() && WaitForHeldFiles()) {
      RemoveListed();
      CommitAll(updates, &UpdateClient::GetUpdateEntry, L"update");
      CommitAll(patches, &UpdateClient::GetPatchEntry, L"patch");
    }
    if (!Failed()) {
      client_.RememberAppliedList();
      view_.SetProgressRange(0, 1);
      view_.SetProgressPosition(1);
      Report(view_, UpdateDone(),
             L"Finished update to the newest version " + version_);
      return RUN_FINISHED;
    }
    Report(view_, diskFull_ ? DiskFullStatus() : CauseStatus(UpdateFailed()),
           L"Cannot update to the newest version " + version_);
    return RUN_FAILED;
  }

  // The player stopped the run before its commit: nothing installed changed, and what was staged
  // or downloaded waits for the next run.
  int Stop() {
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: the player stopped the run; the next run goes on from here");
    Report(view_, Say(L"Đã dừng cập nhật. Lần chạy sau sẽ tiếp tục từ chỗ đã dừng.", L"The update was stopped. The next run goes on from where it stopped."), L"Stopped by the player");
    return RUN_STOPPED;
  }

  // The failed run's status: the cause in the player's words when it is one the player can act
  // on (player_words.h), else the step's own text.
  std::wstring CauseStatus(const std::wstring& stepText) const {
    FailureFacts facts{firstFailure_.code, firstFailure_.cause, heldFile_, heldBy_, L"", false, TheNetworkNotes()};
    facts.folderLocked = FolderAtFault(facts.lockedFolder);
    const std::wstring words = FailureWords(facts);
    return words.empty() ? stepText : words;
  }

  // Whether the first failure is a write that the file system refused for want of permission: the
  // game's folder, or the folder of the file the step worked on, takes no new file.
  bool FolderAtFault(std::wstring& folder) const {
    const StepCode code = firstFailure_.code;
    if (code != DownloadCode::CannotCreate && code != DownloadCode::WriteFailed && code != StageCode::NoFolder &&
        code != StageCode::NoFile && code != CommitCode::MoveFailed && code != CommitCode::RemoveFailed) {
      return false;
    }
    folder.clear();
    if (!CanMakeFilesIn(L".")) return true;
    const std::wstring& step = firstFailure_.step;
    const std::size_t open = step.find(L" [");
    if (open == std::wstring::npos || step.back() != L']') return false;
    const std::wstring subject = step.substr(open + 2, step.size() - open - 3);
    const std::size_t cut = subject.find_last_of(L"\\/");
    if (subject.find(L"://") != std::wstring::npos || cut == std::wstring::npos) return false;
    folder = subject.substr(0, cut);
    return !CanMakeFilesIn(folder);
  }

  std::wstring UpdateDone() const {
    return Say(L"Tự động nâng cấp phiên bản %s thành công.", L"The update to version %s is done.", version_);
  }
  std::wstring UpdateFailed() const {
    return Say(L"Tự động nâng cấp phiên bản %s thất bại.", L"The update to version %s failed.", version_);
  }

  // A full disk, with the drive and at least the space that the files still to be staged need
  // (when the list gives every such file's size; a list without sizes gives no figure).
  std::wstring DiskFullStatus() const {
    std::uint64_t needed = 0;
    bool known = true;
    const auto add = [&](std::size_t count, EntryAt at) {
      for (std::size_t i = 0; i < count; ++i) {
        const FileEntry& entry = *(client_.*at)(i);
        if (entry.staged) continue;
        known = known && !entry.size.empty();
        needed += ListedSize(entry);
      }
    };
    add(client_.GetUpdateCount(), &UpdateClient::GetUpdateEntry);
    add(client_.GetPatchCount(), &UpdateClient::GetPatchEntry);
    const std::wstring drive = DriveRootFor(AbsolutePath(client_.GetLocalFolder()));
    if (!known || needed == 0) return Say(L"Ổ đĩa đã đầy: cần thêm chỗ trống trên ổ %s.", L"The drive is full: please free some space on %s.", drive);
    return Say(L"Ổ đĩa đã đầy: cần thêm ít nhất %s trống trên ổ %s.", L"The drive is full: please free at least %s on %s.",
               FormatByteSize(needed, view_.units), drive);
  }

  std::size_t Connections() const { return static_cast<std::size_t>(std::max(settings_.connections, 1)); }

  RunView& view_;
  const RunSettings& settings_;
  Slots fetchSlots_{Connections()};
  Slots stageSlots_{Connections()};
  CheckTexts checkTexts_;
  RunProgress progress_;
  UpdateClient client_;
  StepCode error_;
  std::mutex viewLock_;  // the workers' calls of the view and the logs, and the run's state they change
  StepOutcome firstFailure_;
  std::size_t failures_ = 0;
  std::size_t removed_ = 0;  // files and folders the commit removed
  std::wstring versionBefore_;
  bool diskFull_ = false;
  std::wstring heldFile_;  // the file another program held past the wait, and who held it
  std::wstring heldBy_;
  std::wstring version_;
};

}  // namespace

namespace {

// No exception may end the worker thread: whatever escapes a step (memory exhausted by a hostile
// list, say) ends the run as a failure with its cause in the log.
int ExecuteCatching(RunView& view, const RunSettings& settings, const std::wstring& workFolder) {
  const wchar_t* what = L"an unknown exception";
  std::wstring text;
  try {
    Run run(view, settings, workFolder);
    const int result = run.Execute();
    if (result == RUN_FAILED && !run.FirstFailure().empty()) view.ReportError(run.FirstFailure());
    if (settings.summary != nullptr) run.Summarize(*settings.summary);
    return result;
  } catch (const std::exception& failure) {
    text = AnsiToWide(failure.what());
    what = text.c_str();
  } catch (...) {
  }
  TheLogger().WriteFailure(std::wstring(L"AutoUpdateApp: the run stopped on ") + what);
  view.ReportError(std::wstring(L"the run stopped on ") + what);
  view.SetStatus(Say(L"Tự động nâng cấp phiên bản thất bại.", L"The update failed."));
  WriteUpdateLog(L"Cannot update to the newest version");
  return RUN_FAILED;
}

}  // namespace

std::vector<std::wstring> TakeSelfUpdatedArgument(const std::vector<std::wstring>& arguments, std::wstring& stamp) {
  const std::wstring prefix = SELF_UPDATED_ARGUMENT;
  std::vector<std::wstring> kept;
  stamp.clear();
  for (const std::wstring& argument : arguments) {
    if (argument.compare(0, prefix.size(), prefix) == 0) {
      stamp = argument.substr(prefix.size());
    } else {
      kept.push_back(argument);
    }
  }
  return kept;
}

namespace {

// While the engine helper swaps the updater's files it holds the lock, and "update\engine.dat"
// lies in the working folder: a player who starts the updater again at that moment waits for the
// helper instead of failing; any other run holding the lock
// refuses this one at once.
bool AcquireRunLock(RunLock& lock, RunView& view, const RunSettings& settings, std::wstring& cause) {
  if (lock.TryAcquire(RUN_LOCK_FILE, cause)) return true;
  if (!lock.held() || !PathExists(std::wstring(RUN_LOCAL_FOLDER) + L"engine.dat")) return false;
  view.SetStatus(Say(L"Đang chờ chương trình cập nhật khác kết thúc...", L"Waiting for the other updater to finish..."));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.helperWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (lock.TryAcquire(RUN_LOCK_FILE, cause)) return true;
    if (!lock.held()) return false;
  }
  return false;
}

}  // namespace

// A dry run's working folder, outside the installation: a dry run makes and writes nothing there.
std::wstring DryRunFolder() {
  return TemporaryFolder() + L"\\zepo-dry-run-" + std::to_wstring(CurrentProcessId()) + L"\\";
}

int DryRun(RunView& view, const RunSettings& settings) {
  // Another run's lock is honoured when there is one; none is made.
  RunLock lock;
  std::wstring cause;
  if (PathExists(RUN_LOCK_FILE) && !lock.TryAcquire(RUN_LOCK_FILE, cause)) {
    view.SetStatus(AnotherUpdaterRuns());
    return RUN_LOCKED;
  }
  const std::wstring folder = DryRunFolder();
  // Its update-log lines go nowhere: that folder has no "logs".
  SetUpdateLogFolder(folder);
  const int result = ExecuteCatching(view, settings, folder);
  SetUpdateLogFolder(L"");
  DeleteFolderTree(folder);
  return result;
}

int UpdateRun(RunView& view, const RunSettings& settings) {
  if (settings.plan != nullptr) return DryRun(view, settings);
  // The lock is held from before anything is touched until the working folder is tidied.
  RunLock lock;
  std::wstring cause;
  if (!AcquireRunLock(lock, view, settings, cause)) {
    if (!lock.held()) TheLogger().WriteFailure(L"AutoUpdateApp: " + cause + L"; this run does nothing");
    if (lock.held()) {
      // The other run's logs are its own: this run says why it stops and writes nothing.
      view.SetStatus(AnotherUpdaterRuns());
      return RUN_LOCKED;
    }
    // A game folder that cannot be written: nothing can be updated, and the player is told why.
    view.ReportError(cause);
    Report(view, CanMakeFilesIn(L".") ? Say(L"Tạo tập tin [zepo.lock] thất bại.", L"Could not create [zepo.lock].") : UnwritableFolderWords(L""),
           L"Create file [zepo.lock] => Failed");
    return RUN_FAILED;
  }
  TheLogger().Write(LOG_FYI, L"AutoUpdateApp: the run holds the installation's lock");
  const int result = ExecuteCatching(view, settings, RUN_LOCAL_FOLDER);
  TidyWorkingFolder(RUN_LOCAL_FOLDER, result);
  return result;
}
