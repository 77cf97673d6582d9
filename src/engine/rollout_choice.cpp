#include "engine/rollout_choice.h"

#include <chrono>
#include <random>

#include "services/files.h"
#include "services/platform.h"
#include "services/signing.h"
#include "services/text.h"

namespace {

constexpr const wchar_t* ID_FILE = L"autoupdate.id";

bool IsId(const std::string& text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// 128 bits from the system's random source, stirred with the clock and the process: an id is
// made once per installation, and two made at once must still differ.
std::string NewId() {
  std::random_device random;
  std::string seed;
  for (int i = 0; i < 8; ++i) seed += std::to_string(random()) + ":";
  seed += std::to_string(std::chrono::high_resolution_clock::now().time_since_epoch().count()) + ":" +
          std::to_string(CurrentProcessId());
  return Sha256Hex(seed).substr(0, 32);
}

}  // namespace

std::string InstallationId(bool keep) {
  std::string text;
  if (ReadWholeFile(ID_FILE, text)) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (IsId(text)) return text;
  }
  const std::string id = NewId();
  if (!keep) return id;
  const std::wstring temporary = std::wstring(ID_FILE) + L".new";
  FileHandle file = FileHandle::CreateForWrite(temporary);
  const std::string line = id + "\n";
  const bool written = file.IsOpen() && file.Write(line.data(), line.size());
  file.Close();
  if (!written || !MoveFileReplace(temporary, ID_FILE)) RemoveFile(temporary);
  return id;
}

unsigned RolloutBucket(const std::string& id, const std::wstring& version) {
  const std::string digest = Sha256Hex(id + "\n" + WideToUtf8(version));
  return static_cast<unsigned>(std::stoull(digest.substr(0, 15), nullptr, 16) % ROLLOUT_BUCKETS);
}

bool TakesRollout(const ListHeader& header, unsigned bucket, const std::wstring& appliedVersion) {
  if (header.rollout.empty()) return false;
  if (header.rolloutState == ROLLOUT_HALTED) return appliedVersion == header.rollout;
  unsigned hundredths = 0;
  return header.rolloutState == ROLLOUT_RUNNING && ParseRolloutPercent(header.rolloutPercent, hundredths) &&
         bucket < hundredths;
}
