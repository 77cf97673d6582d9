#pragma once
// How the engine reports file checks and download progress to its front end. Answering false
// cancels the check or the download.
#include <cstdint>
#include <string>

class IStatusCallback {
 public:
  virtual bool OnCheckFile(const std::wstring& name) = 0;
  // Bytes received so far and the total; (0, 0) announces that a new download begins.
  virtual bool OnDownloadProgress(std::uint64_t done, std::uint64_t total) = 0;

 protected:
  ~IStatusCallback() = default;
};
