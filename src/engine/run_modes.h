#pragma once
// The choices that shape an update run.

// Which of the server's lists a run works from: the update list (with removals) or the full one.
enum class FileListChoice { Update, Full };

// How the check tells an installed file from the listed one: its time to the minute first, or its
// digest always.
enum class CheckMode { DigestAlways, TrustSameTime };
