#include "engine/update_run.h"

#include "app/logger.h"
#include "engine/status_callback.h"
#include "engine/update_client.h"
#include "services/files.h"
#include "services/http.h"
#include "services/packed.h"
#include "services/text.h"

namespace {

constexpr int HELPER_RESOURCE_ID = 185;

// One step's outcome, shown and logged.
void Report(RunView& view, const std::wstring& status, const std::wstring& log) {
  if (!status.empty()) view.SetStatus(status);
  WriteUpdateLog(log);
}

// The run's state and its phases, in the order UpdateRun takes them.
class Run {
 public:
  Run(RunView& view, const RunSettings& settings)
      : view_(view),
        settings_(settings),
        callback_(view),
        client_(&callback_, RUN_LOCAL_FOLDER, settings.host, settings.fullList) {}

  int Execute() {
    view_.checkFailedName.clear();
    view_.filesDone = 0;
    view_.filesTotal = 0;
    if (!Connect() || !Describe() || !Check()) return RUN_FAILED;

    version_ = client_.GetVersionName();
    const std::size_t total = client_.GetUpdateCount() + client_.GetPatchCount() + client_.GetSelfUpdateCount();
    view_.filesTotal = static_cast<std::uint16_t>(total);
    view_.ShowVersion(L"version " + version_);
    if (total == 0) {
      view_.SetProgressRange(0, 1);
      view_.SetProgressPosition(1);
      Report(view_, L"Tự động nâng cấp phiên bản " + version_ + L" thành công.",
             L"The game is already update to the newest version " + version_);
      return RUN_FINISHED;
    }
    if (client_.GetSelfUpdateCount() > 0) return SelfUpdate();
    return UpdateAndPatch();
  }

 private:
  bool Connect() {
    view_.SetStatus(L"Đang kết nối tới máy chủ...");
    if (!client_.Connect(settings_.host, L"ZepoFolder", L"autoupdate.sls", error_, false)) {
      Report(view_, L"Kết nối tới máy chủ thất bại.", L"Connect to patch server => Failed");
      return false;
    }
    const std::wstring line = L"Connect to patch server [" + client_.GetServerUrl() + L"] => Success";
    WriteUpdateLog(line);
    TheLogger().Write(LOG_FYI, L"AutoUpdateApp: " + line);
    return true;
  }

  bool Describe() {
    view_.SetStatus(L"Đang lấy thông tin cập nhật...");
    if (!client_.LoadDescription(L"autoupdate.fls", error_)) {
      Report(view_, L"Lấy thông tin cập nhật thất bại.", L"Get description update information => Failed");
      return false;
    }
    WriteUpdateLog(L"Get description update information => Success");
    view_.StepProgress();
    return true;
  }

  bool Check() {
    if (!client_.CheckFiles(1, error_, view_.checkFailedName)) {
      Report(view_, L"Lỗi kiểm tra danh sách các tập tin.", L"Check description update information => Failed");
      return false;
    }
    WriteUpdateLog(L"Check description update information => Success");
    view_.StepProgress();
    return true;
  }

  std::wstring DisplayName(const FileEntry& entry) const { return client_.TargetOf(entry); }

  int SelfUpdate() {
    std::vector<std::wstring> files;
    for (std::size_t i = 0; i < client_.GetSelfUpdateCount(); ++i) {
      FileEntry& entry = *client_.GetSelfUpdateEntry(i);
      const std::wstring name = DisplayName(entry);
      view_.SetStatus(L"Đang tải ...");
      if (!DownloadEntry(entry, error_, settings_.host)) {
        Report(view_, L"Tải tập tin [" + name + L"] thất bại.", L"Download selfupdate file [" + name + L"] => Failed");
        return RUN_FAILED;
      }
      // The unpacked content goes to the name with ".enc", then takes the download's place; a
      // damaged download never reaches the helper, which would put it in place of the updater.
      const std::wstring unpacked = entry.localPath + L".enc";
      if (!UnpackFile(entry.localPath, unpacked) || !MatchesChecksum(unpacked, entry.checksum)) {
        Report(view_, L"Tập tin [" + name + L"] đã bị lỗi.", L"Unpack selfupdate file [" + name + L"] => Failed");
        return RUN_FAILED;
      }
      if (!MoveFileReplace(unpacked, entry.localPath)) {
        Report(view_, L"Đổi tên tập tin [" + name + L"] thất bại.", L"Rename selfupdate file [" + name + L"] => Failed");
        return RUN_FAILED;
      }
      files.push_back(entry.localPath);
      view_.StepProgress();
      SetFileTimeText(entry.localPath, entry.dateTime);
      WriteUpdateLog(L"Download selfupdate file [" + name + L"] => Success");
    }
    if (!WriteResourceToFile(HELPER_RESOURCE_ID, L"DATA", client_.GetLocalFolder() + L"engine.dat")) {
      Report(view_, L"Tạo tập tin [engine.dat] thất bại.", L"Extract selfupdate file [engine.dat] => Failed");
      return RUN_FAILED;
    }
    const bool started =
        settings_.startEngineHelper ? settings_.startEngineHelper(files) : client_.StartEngineHelper(files);
    if (started) return RUN_SELF_UPDATE;
    Report(view_, L"Thực thi tập tin [engine.dat] thất bại.", L"Execute selfupdate file [engine.dat] => Failed");
    return RUN_FAILED;
  }

  // Downloads every entry of a list, going on past failures.
  void DownloadAll(std::size_t count, FileEntry* (UpdateClient::*at)(std::size_t) const, const wchar_t* kind) {
    for (std::size_t i = 0; i < count; ++i) {
      FileEntry& entry = *(client_.*at)(i);
      const std::wstring name = DisplayName(entry);
      view_.SetStatus(L"Đang tải tập tin [" + name + L"]...");
      const bool ok = DownloadEntry(entry, error_, settings_.host);
      allSucceeded_ = allSucceeded_ && ok;
      WriteUpdateLog(std::wstring(L"Download ") + kind + L" file [" + name + L"] => " + (ok ? L"Success" : L"Failed"));
      view_.StepProgress();
    }
  }

  void ApplyAll(std::size_t count, FileEntry* (UpdateClient::*at)(std::size_t) const, int mode, const wchar_t* kind) {
    for (std::size_t i = 0; i < count; ++i) {
      FileEntry& entry = *(client_.*at)(i);
      if (entry.result == 0) continue;
      const std::wstring name = DisplayName(entry);
      view_.SetStatus(L"Đang cập nhật tập tin [" + name + L"]...");
      const bool ok = client_.ApplyEntry(entry, mode);
      allSucceeded_ = allSucceeded_ && ok;
      WriteUpdateLog(std::wstring(L"Apply ") + kind + L" file [" + name + L"] => " + (ok ? L"Success" : L"Failed"));
    }
  }

  int UpdateAndPatch() {
    const std::size_t updates = client_.GetUpdateCount();
    const std::size_t patches = client_.GetPatchCount();
    view_.SetProgressRange(0, static_cast<int>(updates + patches + 4));
    view_.SetProgressPosition(1);
    DownloadAll(updates, &UpdateClient::GetUpdateEntry, L"update");
    DownloadAll(patches, &UpdateClient::GetPatchEntry, L"patch");
    if (patches > 0) {
      for (std::size_t i = 0; i < patches; ++i) {
        FileEntry& entry = *client_.GetPatchEntry(i);
        if (entry.result == 0) continue;
        const std::wstring name = DisplayName(entry);
        view_.SetStatus(L"Đang nâng cấp tập tin [" + name + L"]...");
        const bool ok = client_.RebuildPatch(entry);
        allSucceeded_ = allSucceeded_ && ok;
        WriteUpdateLog(L"Rebuild patch file [" + name + L"] => " + (ok ? L"Success" : L"Failed"));
      }
      view_.StepProgress();
    }
    ApplyAll(updates, &UpdateClient::GetUpdateEntry, APPLY_UNPACK, L"update");
    ApplyAll(patches, &UpdateClient::GetPatchEntry, APPLY_MOVE, L"patch");
    view_.StepProgress();
    if (allSucceeded_) {
      view_.SetProgressRange(0, 1);
      view_.SetProgressPosition(1);
      Report(view_, L"Tự động nâng cấp phiên bản " + version_ + L" thành công.",
             L"Finished update to the newest version " + version_);
      return RUN_FINISHED;
    }
    Report(view_, L"Tự động nâng cấp phiên bản " + version_ + L" thất bại.",
           L"Cannot update to the newest version " + version_);
    return RUN_FAILED;
  }

  RunView& view_;
  const RunSettings& settings_;
  StatusCallback callback_;
  UpdateClient client_;
  int error_ = 0;
  bool allSucceeded_ = true;
  std::wstring version_;
};

}  // namespace

int UpdateRun(RunView& view, const RunSettings& settings) {
  Run run(view, settings);
  return run.Execute();
}
