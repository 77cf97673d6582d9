#pragma once
// How one run is to go: the server, the list, the checks, the network's limits, the self-update's
// hand-over, and where the run's plan and summary go. The front ends fill it from the
// installation's configuration and their command lines.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/run_modes.h"
#include "engine/run_report.h"
#include "protocol/served_names.h"

// The argument that the restart command carries after a self-update: this prefix and the stamp.
constexpr const wchar_t* SELF_UPDATED_ARGUMENT = L"--self-updated=";

struct RunSettings {
  // The patch-server host, "name" or "name:port".
  std::wstring host;
  // Every listed file is read for its digest whatever its time, and one that differs is replaced
  // (a repair); else a file of the listed time is taken as it is.
  bool repair = false;
  // The key of the root descriptor that names the product's folder on the server ("RootKey",
  // --root-key): a second product, or another line of the same game, has a key of its own.
  std::wstring rootKey = DEFAULT_ROOT_KEY;
  // The update list ("filelist.enc"), or the full one ("filelistfull.enc").
  FileListChoice list = FileListChoice::Update;
  // After the run, one request tells the server how it ended (engine/result_report.h); "Report=0"
  // in log.ini turns it off.
  bool reportResults = true;
  // The channel whose releases the installation takes ("Channel", --channel): the default channel's
  // lists are the product's own, another's lie under channels/NAME/. Empty: the default.
  std::wstring channel;
  // How long a run waits for the engine helper that holds the installation while it swaps the
  // updater's files: the helper's own limits, a minute for the updater to end and 31 s of moves.
  int helperWaitMs = 90000;
  // The pauses before a failed download is tried again on the same address.
  std::vector<int> retryDelaysMs{1000, 4000};
  // How long the commit waits, in all, for files that another program holds (an antivirus scan,
  // the game) before it fails the run with the installation as it was.
  int heldFileWaitMs = 30000;
  // Set by the front end when the player stops the run. The run stops at its next download piece
  // or file, before the commit; a commit that has begun is finished first. Null: never.
  const std::atomic<bool>* stop = nullptr;
  // How many downloads run at once, each over a kept-alive connection ("Connections" in
  // "./log.ini", --connections). 1 downloads, rebuilds and stages one file after another in the
  // list's order.
  int connections = 4;
  // The cap on the rate of all downloads together, in bytes per second; 0: none ("MaxRate",
  // --max-rate).
  std::uint64_t maxRateBytesPerSecond = 0;
  // The speed floor: a download that brings less than this many bytes per second over 30 s gives
  // way to the next address or form, as a stalled one does ("MinRate", --min-rate); 0: none.
  std::uint64_t minRateBytesPerSecond = 1024;
  // The publisher keys (hex, separated by commas or blanks) whose signed trees alone are taken:
  // with any, an unsigned, tampered, replayed or expired list or a file that is not the list's is
  // refused before anything is touched. Empty: lists are taken as the server gives them.
  std::string trustedKeys;
  // The highest format of patches and packed files taken where the list offers it (--format): 3,
  // files built from chunks beside the second format's forms; 2 without chunks; 1 for only the
  // forms that every updater reads.
  int highestFormat = 3;
  // The command that starts this updater again after a self-update, the program first (an
  // absolute path, or one relative to the program folder), then the arguments it was started
  // with. Empty: the helper starts the first self-update file without arguments.
  std::vector<std::wstring> restartCommand;
  // The list stamp of the self-update that ended the previous process, when the engine helper
  // restarted this one (its argument SELF_UPDATED_ARGUMENT). A list of that stamp that asks for a
  // self-update again fails the run instead of restarting the updater once more.
  std::wstring selfUpdatedStamp;
  // Starts the engine helper with the prepared self-update files (their localPaths) and the
  // restart command; true when the helper process was created. Empty: the client's own
  // StartEngineHelper.
  std::function<bool(const std::vector<std::wstring>& files, const std::vector<std::wstring>& restart)>
      startEngineHelper;
  // Whether the engine helper waits for this process's end before it swaps the files (the
  // default: a running program's file cannot be replaced on Windows). False when this process
  // stays until the restarted updater ends (zepo-update --wait): if the self-update replaces
  // this program's own file, that file is moved aside into the working folder first, so that the
  // helper can swap it at once.
  bool helperWaitsForExit = true;
  // A dry run: the installation is checked without touching it (no folder made, no time set, no
  // leftover removed, nothing staged or removed), what the run would do goes into *plan, and the
  // run ends there (RUN_FINISHED). Only the updater's caches of the lists are refreshed. Null: a
  // real run.
  RunPlan* plan = nullptr;
  // Filled at the run's end when set.
  RunSummary* summary = nullptr;
};

