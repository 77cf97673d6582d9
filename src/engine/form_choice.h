#pragma once
// Which of a file's forms to take: the one that costs the least time on this link and machine,
// its download's bytes at the rate downloads have been arriving plus the work of making the
// content from it, not the one of the fewest bytes. A format-2 patch a few percent smaller than
// the byte code's takes longer to rebuild than its saved bytes take to arrive on a fast link; on
// a slow one the order turns. The list says what each form downloads; how fast this machine
// makes content in each form is measured as the run goes, from a cautious first guess.
#include <cstdint>
#include <mutex>

#include "engine/file_entry.h"

class FormChoice {
 public:
  // The time it took to make contentBytes of content from a form (unpacking or rebuilding,
  // verifying and writing). Called by several staging workers at once.
  void RecordMaking(ContentForm form, std::uint64_t contentBytes, double seconds);
  // The content bytes a second that this machine makes in the form.
  double MakingRate(ContentForm form) const;
  // The seconds an offer would take: its download at bytesPerSecond and the content's making.
  double Seconds(const ContentOffer& offer, std::uint64_t contentBytes, double bytesPerSecond) const;
  // Puts first among the entry's forms the one that takes the least time, when the list says what
  // each downloads and the change saves at least a second (a fifth of one between forms of about
  // the same bytes) and a tenth of the list's first form. Before the run has measured its rate
  // (bytesPerSecond 0) a slow link is assumed.
  // A file in chunks stays before the whole forms it replaces (it is weighed against them once
  // its index is in). True when the order changed.
  bool Weigh(FileEntry& entry, double bytesPerSecond) const;
  // One measure per ContentForm.
  static constexpr int FORMS = 6;

 private:
  mutable std::mutex lock_;
  double bytes_[FORMS] = {};
  double seconds_[FORMS] = {};
};
