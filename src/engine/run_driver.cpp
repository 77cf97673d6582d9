#include "engine/run_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>

#include "engine/applied_list.h"
#include "engine/checker.h"
#include "engine/committer.h"
#include "engine/http_mirrors.h"
#include "engine/list_source.h"
#include "engine/player_words.h"
#include "engine/progress_texts.h"
#include "engine/result_report.h"
#include "engine/rollout_choice.h"
#include "engine/run_failures.h"
#include "engine/slots.h"
#include "engine/stager.h"
#include "engine/staging.h"
#include "engine/work_plan.h"
#include "services/codes.h"
#include "services/file_holders.h"
#include "services/files.h"
#include "services/http.h"
#include "services/language.h"
#include "services/logger.h"
#include "services/platform.h"
#include "services/text.h"

namespace {

constexpr int HELPER_RESOURCE_ID = 185;

// One step's outcome, shown and logged.
void Report(RunView& view, const std::wstring& status, const std::wstring& log) {
  if (!status.empty()) view.SetStatus(status);
  WriteUpdateLog(log);
}

// A failure that another form of the file would meet again: the disk refused a write.
bool DiskAtFault(StepCode code) { return code == DownloadCode::DiskFull || code == DownloadCode::WriteFailed || code == DownloadCode::CannotCreate; }

// The run's state and its phases, in the order Execute takes them.
class Run {
 public:
  Run(RunView& view, const RunSettings& settings, const std::wstring& workFolder)
      : view_(view),
        settings_(settings),
        checkTexts_(view, settings.stop),
        progress_(view, viewLock_, settings.stop),
        workFolder_(workFolder),
        list_(workFolder, settings.host, settings.list, settings.channel),
        checker_(&checkTexts_, workFolder, plan_),
        staging_(workFolder),
        mirrors_(list_, settings.retryDelaysMs),
        stager_(staging_, plan_, mirrors_, list_.Trust()),
        committer_(staging_, plan_, workFolder) {
    list_.SetTrustedKeys(settings.trustedKeys);
    list_.SetDryRun(settings.plan != nullptr);
    checker_.SetHighestFormat(settings.highestFormat);
    checker_.SetDryRun(settings.plan != nullptr);
    SetDownloadRateLimit(settings.maxRateBytesPerSecond);
    HttpLimits limits = GetHttpLimits();
    limits.floorBytesPerSecond = settings.minRateBytesPerSecond;
    SetHttpLimits(limits);
    ClearNetworkNotes();
  }

  int Execute() {
    if (settings_.summary != nullptr) versionBefore_ = AppliedList::Version();
    view_.checkFailedName.clear();
    view_.filesDone = 0;
    view_.filesTotal = 0;
    const bool described = Connect() && Describe() && Check();
    if (Stopped(settings_.stop)) return Stop();
    if (!described) return RUN_FAILED;

    version_ = list_.VersionName();
    if (settings_.plan != nullptr) return Plan(*settings_.plan);
    const std::size_t total = plan_.updates.size() + plan_.patches.size() + plan_.selfUpdates.size();
    // An installation on another channel than the default one says so beside the version.
    view_.ShowVersion(L"version " + version_ +
                      (ChannelFolder(settings_.channel).empty() ? L"" : L" (" + settings_.channel + L")"));
    if (total == 0) {
      RemoveListed();
      if (Failed()) {
        Report(view_, CauseStatus(UpdateFailed()),
               L"Cannot update to the newest version " + version_);
        return RUN_FAILED;
      }
      return Finished(L"The game is already update to the newest version " + version_);
    }
    if (!plan_.selfUpdates.empty()) {
      if (!settings_.selfUpdatedStamp.empty() && settings_.selfUpdatedStamp == list_.ListStamp()) {
        NoteFailure(SelfUpdateCode::Repeated, L"self-update from the list " + list_.ListStamp(),
                    L"the updater is not started once more (is its CheckSum that of the file it names?)");
        Report(view_, UpdateFailed(),
               L"Cannot update to the newest version " + version_);
        return RUN_FAILED;
      }
      return SelfUpdate();
    }
    return UpdateAndPatch(plan_);
  }

 private:
  // A dry run's end: what the run would fetch and remove, nothing done.
  int Plan(RunPlan& plan) {
    plan.version = version_;
    DescribeWork(plan_, mirrors_, plan);
    Report(view_, L"", L"Dry run: nothing changed");
    return RUN_FINISHED;
  }

  bool Connect() {
    view_.SetStatus(Say(L"Đang kết nối tới máy chủ...", L"Connecting to the patch server..."));
    if (!list_.Connect(settings_.host, settings_.rootKey, L"autoupdate.sls", error_)) {
      NoteFailure(L"connect to the patch server [" + settings_.host + L"]", list_.FailureCause());
      Report(view_, CauseStatus(Say(L"Kết nối tới máy chủ thất bại.", L"Could not connect to the patch server.")), L"Connect to patch server => Failed");
      return false;
    }
    const std::wstring line = L"Connect to patch server [" + list_.ServerUrl() + L"] => Success";
    WriteUpdateLog(line);
    TheLogger().Write(LOG_FYI, L"AutoUpdateApp: " + line);
    return true;
  }

  bool Describe() {
    view_.SetStatus(Say(L"Đang lấy thông tin cập nhật...", L"Getting the update information..."));
    // Each channel's list has a cache of its own: the signature kept beside it orders that
    // channel's lists alone, and a switch back finds its list's copy to patch.
    const std::wstring channel = ChannelFolder(settings_.channel).empty() ? L"" : settings_.channel + L".";
    if (!list_.LoadDescription(L"autoupdate." + channel + L"fls", error_) ||
        (TakesTheRollout() && !list_.LoadDescription(L"autoupdate." + channel + L"rollout.fls", error_))) {
      NoteFailure(L"get the file list from [" + list_.ServerUrl() + L"]", list_.FailureCause());
      Report(view_, CauseStatus(Say(L"Lấy thông tin cập nhật thất bại.", L"Could not get the update information.")),
             L"Get description update information => Failed");
      return false;
    }
    WriteUpdateLog(L"Get description update information => Success");
    view_.StepProgress();
    return true;
  }

  // Whether the installation takes the rollout that its channel's list announces; the list source
  // then fetches the rollout's list next.
  bool TakesTheRollout() {
    const ListHeader& header = list_.Header();
    if (header.rollout.empty()) return false;
    bucket_ = RolloutBucket(InstallationId(settings_.plan == nullptr), header.rollout);
    const bool takes = TakesRollout(header, bucket_, AppliedList::Version());
    TheLogger().Write(LOG_FYI, L"AutoUpdateApp: the channel offers version " + header.rollout + L" to " +
                                   header.rolloutPercent + L"% (" + header.rolloutState + L"); this installation's "
                                   L"bucket is " + std::to_wstring(bucket_) + L": it " +
                                   (takes ? L"takes it" : L"stays on " + header.versionName));
    if (takes) list_.TakeRolloutList();
    return takes;
  }

  bool Check() {
    const CheckMode mode = settings_.repair ? CheckMode::DigestAlways : CheckMode::TrustSameTime;
    checker_.SetServer(list_.ServerUrl(), list_.UpdateFolder());
    if (!checker_.CheckFiles(list_.TakeList(), list_.ListPath(), mode, error_, view_.checkFailedName)) {
      NoteFailure(L"check [" + view_.checkFailedName + L"]", checker_.FailureCause());
      failures_.NoteHeld(view_.checkFailedName,
                         error_ == CheckCode::UnreadableFile ? FileHolders(view_.checkFailedName) : L"");
      Report(view_, CauseStatus(Say(L"Lỗi kiểm tra danh sách các tập tin.", L"The check of the files failed.")), L"Check description update information => Failed");
      return false;
    }
    WriteUpdateLog(L"Check description update information => Success");
    view_.StepProgress();
    return true;
  }

 public:
  // Tells the server how the run ended (see engine/result_report.h): a finished or failed run
  // that reached the product's folder, not a dry run, unless the installation turned reports off.
  void ReportResult(int result) const {
    if (!settings_.reportResults || settings_.plan != nullptr || list_.RootFolder().empty() ||
        (result != RUN_FINISHED && result != RUN_FAILED)) {
      return;
    }
    const std::wstring code = result == RUN_FINISHED || !Failed() ? L"ok" : failures_.First().code.Describe().name;
    // A failed run leaves the folder as it was: it reports the bucket of an id it keeps only when
    // the installation has one already.
    const std::wstring url = ResultReportUrl(list_.ServerUrl(), settings_.channel, version_, code,
                                             RolloutBucket(InstallationId(result == RUN_FINISHED), version_));
    const bool sent = SendNotice(url, list_.HostName());
    TheLogger().Write(LOG_FYI, L"AutoUpdateApp: the result [" + url + L"] " + (sent ? L"was told" : L"could not be told"));
  }

  // The first failure's step, subject, code and cause, for the front end's error line; empty when
  // nothing failed.
  std::wstring FirstFailure() const { return failures_.FirstLine(); }

  // What the run did (see RunSummary).
  void Summarize(RunSummary& summary) const {
    summary = RunSummary{};
    summary.versionBefore = versionBefore_;
    summary.version = version_;
    summary.channel = settings_.channel.empty() ? DEFAULT_CHANNEL : settings_.channel;
    CountWork(plan_, summary);
    summary.removed = removed_;
    if (!Failed()) return;
    summary.errorCode = failures_.First().code.Describe().name;
    failures_.SplitFirstStep(summary.errorStep, summary.errorFile);
    summary.errorCause = failures_.First().cause;
  }

 private:
  bool Failed() const { return failures_.Any(); }

  void NoteFailure(const StepOutcome& failure) { failures_.Note(failure); }
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
    if (!staging_.Open(list_.ListStamp())) {
      const std::wstring& first = plan_.selfUpdates.front()->target;
      NoteFailure(StageCode::NoFolder, L"make the staging area", L"in " + workFolder_);
      Report(view_, Say(L"Tải tập tin [%s] thất bại.", L"Could not download [%s].", StatusName(first)),
             L"Download selfupdate file [" + first + L"] => Failed");
      return RUN_FAILED;
    }
    std::vector<std::wstring> files;
    BeginDownloads({&plan_.selfUpdates});
    for (const auto& selfUpdate : plan_.selfUpdates) {
      FileEntry& entry = *selfUpdate;
      const std::wstring name = entry.target;
      // A damaged download never reaches the helper, which would put it in place of the updater.
      bool arrived = false;
      if (!FetchAndStageEntry(entry, [&] { arrived = true; })) {
        if (!arrived) {
          NoteFailure(entry, L"download [" + entry.Url() + L"]");
          Report(view_, Say(L"Tải tập tin [%s] thất bại.", L"Could not download [%s].", StatusName(name)), L"Download selfupdate file [" + name + L"] => Failed");
        } else {
          NoteFailure(entry, L"unpack [" + name + L"]");
          Report(view_, Say(L"Tập tin [%s] đã bị lỗi.", L"The file [%s] is damaged.", StatusName(name)), L"Unpack selfupdate file [" + name + L"] => Failed");
        }
        return RUN_FAILED;
      }
      if (!committer_.HandOverEntry(entry)) {
        NoteFailure(entry, L"hand over [" + name + L"]");
        Report(view_, Say(L"Đổi tên tập tin [%s] thất bại.", L"Could not rename [%s].", StatusName(name)), L"Rename selfupdate file [" + name + L"] => Failed");
        return RUN_FAILED;
      }
      files.push_back(workFolder_ + entry.target);
      WriteUpdateLog(L"Download selfupdate file [" + name + L"] => Success");
    }
    if (!WriteResourceToFile(HELPER_RESOURCE_ID, L"DATA", workFolder_ + L"engine.dat")) {
      NoteFailure(SelfUpdateCode::HelperFailed, L"write [" + workFolder_ + L"engine.dat]", LastSystemErrorText());
      Report(view_, Say(L"Tạo tập tin [engine.dat] thất bại.", L"Could not create [engine.dat]."), L"Extract selfupdate file [engine.dat] => Failed");
      return RUN_FAILED;
    }
    std::vector<std::wstring> restart = settings_.restartCommand;
    if (!restart.empty()) restart.push_back(SELF_UPDATED_ARGUMENT + list_.ListStamp());
    const bool started = settings_.startEngineHelper ? settings_.startEngineHelper(files, restart)
                                                     : committer_.StartEngineHelper(files, restart, settings_.helperWaitsForExit);
    if (started) return RUN_SELF_UPDATE;
    NoteFailure(SelfUpdateCode::HelperFailed, L"start [" + workFolder_ + L"engine.dat]", LastSystemErrorText());
    Report(view_, Say(L"Thực thi tập tin [engine.dat] thất bại.", L"Could not start [engine.dat]."), L"Execute selfupdate file [engine.dat] => Failed");
    return RUN_FAILED;
  }

  // The progress of the downloads to come: the sizes the list gives the entries of each list.
  void BeginDownloads(std::initializer_list<const WorkPlan::EntryList*> lists) {
    std::uint64_t bytes = 0, listed = 0, files = 0;
    for (const WorkPlan::EntryList* entries : lists) {
      for (const auto& entry : *entries) {
        const std::uint64_t size = ListedSize(*entry);
        bytes += size;
        listed += size > 0 ? 1 : 0;
      }
      files += entries->size();
    }
    progress_.Begin(bytes, listed, files);
  }

  // An entry's content in the first form the list offers that both arrives and stages: a form
  // whose download, unpacking or rebuild fails gives way to the next (see Stager::FallBack),
  // unless the disk is at fault, which every form would meet again. arrived is called once, when
  // a first download has arrived. The file counts once in the progress, however many forms it
  // takes; the downloads after a first one that arrived move it no further.
  template <typename OnArrival>
  bool FetchAndStageEntry(FileEntry& entry, OnArrival arrived) {
    RunProgress::File progress(progress_, ListedSize(entry));
    entry.callback = &progress;
    bool staged = false;
    for (bool first = true;;) {
      const bool fetched = fetchSlots_.Hold([&] { return stager_.FetchEntry(entry); });
      if (fetched) {
        if (first) arrived();
        first = false;
        entry.callback = nullptr;
        staged = stageSlots_.Hold([&] { return stager_.StageEntry(entry); });
      }
      if (staged || DiskAtFault(entry.outcome.code) || !stager_.FallBack(entry)) break;
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

  void FetchAndStageAll(const WorkPlan& plan) {
    std::vector<Job> jobs, repeats;
    for (const bool patch : {false, true}) {
      for (const auto& entry : patch ? plan.patches : plan.updates) {
        (plan.RepeatsEarlierContent(*entry) ? repeats : jobs).push_back({entry.get(), patch});
      }
    }
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
    const std::wstring name = entry.target;
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
        NoteFailure(entry, L"download [" + entry.Url() + L"]");
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
  void CommitAll(const WorkPlan::EntryList& entries, const wchar_t* kind) {
    for (const auto& committed : entries) {
      FileEntry& entry = *committed;
      const std::wstring name = entry.target;
      view_.SetProgressStatus(Say(L"Đang cập nhật tập tin [%s]...", L"Updating [%s]...", StatusName(name)));
      const bool ok = committer_.CommitEntry(entry);
      if (!ok) NoteFailure(entry, L"replace [" + name + L"]");
      WriteUpdateLog(std::wstring(L"Apply ") + kind + L" file [" + name + L"] => " + (ok ? L"Success" : L"Failed"));
    }
  }

  // A removal that fails leaves a file that the new version does not have: the run fails (the
  // next run removes it), after the other files are in place.
  void RemoveListed() {
    std::vector<std::wstring> failed;
    const std::size_t present = plan_.PresentRemovals().size();
    committer_.RemoveListed(failed);
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
      for (const std::wstring& target : replaced ? plan_.ReplacedTargets() : plan_.RemovedTargets()) {
        if (!WaitUntilFree(target, deadline) && replaced) {
          const std::wstring holders = FileHolders(target);
          failures_.NoteHeld(target, holders);
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

  // The plan's files, each fetched and staged on the download workers, then committed together.
  int UpdateAndPatch(const WorkPlan& plan) {
    BeginDownloads({&plan.updates, &plan.patches});
    if (!staging_.Open(list_.ListStamp())) {
      NoteFailure(StageCode::NoFolder, L"make the staging area", L"in " + workFolder_);
    } else {
      FetchAndStageAll(plan);
    }
    if (Stopped(settings_.stop)) return Stop();
    // Nothing installed is touched unless every file of the run is staged and verified, and no
    // file to replace or remove is held by another program.
    if (!Failed() && WaitForHeldFiles()) {
      RemoveListed();
      CommitAll(plan.updates, L"update");
      CommitAll(plan.patches, L"patch");
    }
    if (!Failed()) return Finished(L"Finished update to the newest version " + version_);
    Report(view_, failures_.DiskFull() ? DiskFullStatus() : CauseStatus(UpdateFailed()),
           L"Cannot update to the newest version " + version_);
    return RUN_FAILED;
  }

  // A run that reached the listed version: its list becomes the applied one, the bar full.
  int Finished(const std::wstring& logLine) {
    AppliedList::Remember(list_.ListCache());
    view_.SetProgressRange(0, 1);
    view_.SetProgressPosition(1);
    Report(view_, UpdateDone(), logLine);
    return RUN_FINISHED;
  }

  // The player stopped the run before its commit: nothing installed changed, and what was staged
  // or downloaded waits for the next run.
  int Stop() {
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: the player stopped the run; the next run goes on from here");
    Report(view_, Say(L"Đã dừng cập nhật. Lần chạy sau sẽ tiếp tục từ chỗ đã dừng.", L"The update was stopped. The next run goes on from where it stopped."), L"Stopped by the player");
    return RUN_STOPPED;
  }

  std::wstring CauseStatus(const std::wstring& stepText) const { return failures_.CauseStatus(stepText); }

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
    for (const WorkPlan::EntryList* entries : {&plan_.updates, &plan_.patches}) {
      for (const auto& entry : *entries) {
        if (entry->staged) continue;
        known = known && !entry->size.empty();
        needed += ListedSize(*entry);
      }
    }
    const std::wstring drive = DriveRootFor(AbsolutePath(workFolder_));
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
  std::wstring workFolder_;
  WorkPlan plan_;  // what the check found; the stager and the committer work through it
  ListSource list_;
  unsigned bucket_ = 0;  // the installation's rollout bucket for the version offered, when one is
  Checker checker_;
  StagingArea staging_;
  HttpMirrors mirrors_;
  Stager stager_;
  Committer committer_;
  StepCode error_;
  std::mutex viewLock_;  // the workers' calls of the view and the logs, and the run's state they change
  RunFailures failures_;
  std::size_t removed_ = 0;  // files and folders the commit removed
  std::wstring versionBefore_;
  std::wstring version_;
};

}  // namespace

int ExecuteRun(RunView& view, const RunSettings& settings, const std::wstring& workFolder) {
  const wchar_t* what = L"an unknown exception";
  std::wstring text;
  try {
    Run run(view, settings, workFolder);
    const int result = run.Execute();
    if (result == RUN_FAILED && !run.FirstFailure().empty()) view.ReportError(run.FirstFailure());
    run.ReportResult(result);
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
