#pragma once
// A staged file written piece by piece with its MD5 taken on the way, as every form's maker
// writes it: the digest is what the list is checked against, and the flush is what makes the
// file safe to commit. A failure leaves the system's words in writeFailure.
#include <cstddef>
#include <string>

#include "services/files.h"
#include "services/md5.h"

class DigestWriter {
 public:
  // False when the file cannot be made.
  bool Create(const std::wstring& path, std::wstring& writeFailure);
  bool Write(const void* data, std::size_t size, std::wstring& writeFailure);
  // Flushes the file to the disk and hands back its digest text.
  bool Finish(std::wstring& digest, std::wstring& writeFailure);

 private:
  FileHandle out_;
  Md5 md5_;
};
