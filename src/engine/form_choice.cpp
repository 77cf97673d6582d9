#include "engine/form_choice.h"

#include <algorithm>
#include <vector>

#include "services/logger.h"
#include "services/text.h"

namespace {

// What one core makes a second in each form before the run has measured it: zlib and zstd
// unpacking, the byte code's rebuild (its patch unpacked, then copies from the old file) and the
// format-2 rebuild, each with the digest and the write; chunks are unpacked zstd and copies, a
// pack of them unpacked zstd.
constexpr double FIRST_GUESS[] = {300e6, 800e6, 250e6, 100e6, 400e6, 800e6};
static_assert(sizeof FIRST_GUESS / sizeof FIRST_GUESS[0] == FormChoice::FORMS, "a first guess for every form");
// A form's own measure counts from this many bytes made: a few small files say little.
constexpr double MEASURED_FROM = 4 << 20;
// A change of the list's order must save this much, and this share of the first form's time:
// below it, the guesses' error outweighs the gain, and a form of many more bytes costs the
// server and a player's data allowance besides. Between forms of about the same bytes (at most a
// quarter more) a fifth of a second is enough: what the byte code's rebuild of a 50 MB pack saves
// over format 2's for patches of about the same bytes (on a 20 Mbit/s link four such packs took
// 0.89 s in the byte code against 0.98 s in format 2).
constexpr double LEAST_SAVING_SECONDS = 1.0;
constexpr double LEAST_SAVING_SIMILAR_SECONDS = 0.2;
constexpr double SIMILAR_BYTES = 1.25;
constexpr double LEAST_SAVING_SHARE = 0.1;
// The rate weighed with before the run has measured its own (1 Mbit/s). A form that wins over
// the list's first at this rate with more bytes wins on every faster link too; the first files
// of a run (its largest patches) are weighed before any download has finished.
constexpr double UNMEASURED_RATE = 125e3;

int IndexOf(ContentForm form) { return static_cast<int>(form); }

bool IsWhole(ContentForm form) { return form == ContentForm::Whole || form == ContentForm::Whole2; }

// Seconds to a tenth, for the log ("12.3").
std::wstring Tenths(double seconds) {
  const auto tenths = static_cast<long long>(seconds * 10 + 0.5);
  return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10);
}

}  // namespace

void FormChoice::RecordMaking(ContentForm form, std::uint64_t contentBytes, double seconds) {
  if (contentBytes == 0 || seconds <= 0) return;
  std::lock_guard<std::mutex> guard(lock_);
  bytes_[IndexOf(form)] += static_cast<double>(contentBytes);
  seconds_[IndexOf(form)] += seconds;
}

double FormChoice::MakingRate(ContentForm form) const {
  std::lock_guard<std::mutex> guard(lock_);
  const int i = IndexOf(form);
  return bytes_[i] >= MEASURED_FROM ? bytes_[i] / seconds_[i] : FIRST_GUESS[i];
}

double FormChoice::Seconds(const ContentOffer& offer, std::uint64_t contentBytes, double bytesPerSecond) const {
  return static_cast<double>(offer.bytes) / bytesPerSecond +
         static_cast<double>(contentBytes) / MakingRate(offer.form);
}

bool FormChoice::Weigh(FileEntry& entry, double bytesPerSecond) const {
  const std::uint64_t content = ListedSize(entry);
  if (content == 0 || entry.formBytes == 0 || entry.form == ContentForm::Chunks) return false;
  if (bytesPerSecond <= 0) bytesPerSecond = UNMEASURED_RATE;
  std::vector<ContentOffer> offers{{entry.url, entry.form, entry.formBytes}};
  offers.insert(offers.end(), entry.fallbacks.begin(), entry.fallbacks.end());
  std::size_t best = 0;
  double bestSeconds = Seconds(offers[0], content, bytesPerSecond);
  const double firstSeconds = bestSeconds;
  for (std::size_t i = 1; i < offers.size(); ++i) {
    if (offers[i].bytes == 0 || offers[i].form == ContentForm::Chunks) continue;
    const double seconds = Seconds(offers[i], content, bytesPerSecond);
    if (seconds < bestSeconds) {
      best = i;
      bestSeconds = seconds;
    }
  }
  const double saving = firstSeconds - bestSeconds;
  const bool similar = static_cast<double>(offers[best].bytes) <= SIMILAR_BYTES * static_cast<double>(offers[0].bytes);
  const double least = similar ? LEAST_SAVING_SIMILAR_SECONDS : LEAST_SAVING_SECONDS;
  if (best == 0 || saving < least || saving < LEAST_SAVING_SHARE * firstSeconds) return false;
  std::rotate(offers.begin(), offers.begin() + static_cast<std::ptrdiff_t>(best),
              offers.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  if (IsWhole(offers[0].form)) {
    const auto chunks = std::find_if(offers.begin(), offers.end(),
                                     [](const ContentOffer& o) { return o.form == ContentForm::Chunks; });
    if (chunks != offers.end()) std::rotate(offers.begin(), chunks, chunks + 1);
  }
  TheLogger().Write(LOG_FYI, L"AutoUpdateApp: [" + entry.target + L"]: [" + offers[0].Url() + L"] before [" + entry.Url() +
                                 L"]: about " + Tenths(bestSeconds) + L" s against " + Tenths(firstSeconds) + L" s at " + std::to_wstring(static_cast<long long>(bytesPerSecond / 1000)) +
                                 L" kB/s");
  entry.fallbacks.assign(offers.begin(), offers.end());
  TakeNextOffer(entry);
  return true;
}
