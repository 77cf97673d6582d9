#pragma once
// The choices that shape an update run.

// Which of the server's lists a run works from: the update list (with removals) or the full one.
enum class FileListChoice { Update, Full };

// How the check tells an installed file from the listed one: its time to the minute first, or its
// digest always.
enum class CheckMode { DigestAlways, TrustSameTime };

// How a run ended.
constexpr int RUN_SELF_UPDATE = 16;  // the engine helper was started to swap the program's files
constexpr int RUN_FAILED = 17;
constexpr int RUN_FINISHED = 18;
// Another update run holds the installation's lock; this run touched nothing. The window takes
// it as a failed run.
constexpr int RUN_LOCKED = 19;
// The player stopped the run (the window's close box); nothing installed changed, and what it
// staged and downloaded waits for the next run.
constexpr int RUN_STOPPED = 20;
