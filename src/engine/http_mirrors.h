#pragma once
// The patch server's addresses as a content source. Players on poor connections lose a transfer
// now and then: a failed download is tried again on the same address after each pause, then once
// on every other address that the probe found, each attempt continuing what the last received.
// An address that hangs is left at once for the next one, and the rest of the run starts its
// downloads on the addresses that have not hung.
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/content_source.h"

class ListSource;

class HttpMirrors : public ContentSource {
 public:
  // The addresses, scheme, host and product folder that the list source connected to;
  // retryDelaysMs: the pauses before the second and later attempts on the same address.
  HttpMirrors(const ListSource& source, std::vector<int> retryDelaysMs);

  [[nodiscard]] bool Bring(FileEntry& entry, const std::wstring& path) override;
  [[nodiscard]] bool BringRange(FileEntry& entry, const std::wstring& path, std::uint64_t from,
                                std::uint64_t length) override;
  bool DownloadLength(const FileEntry& entry, std::uint64_t& length) const override;

 private:
  // The base URLs of the probed addresses for a download: the chosen one first, those that hung
  // earlier in the run last.
  std::vector<std::wstring> AddressesInTurn() const;
  void MarkHung(const std::wstring& base);
  // Tries download(url) on the entry's URL at each address in turn, with the pauses between.
  template <typename Download>
  bool TryInTurn(FileEntry& entry, Download download);

  const ListSource& source_;
  std::vector<int> retryDelaysMs_;
  mutable std::mutex hungLock_;  // the downloads of several workers mark and read hung_
  std::set<std::wstring> hung_;  // base URLs of addresses that hung in this run
};
