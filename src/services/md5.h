#pragma once
// MD5 (RFC 1321), incremental: Update with any pieces, then Final once.
#include <cstddef>
#include <cstdint>
#include <string>

class Md5 {
 public:
  Md5();
  void Update(const void* data, std::size_t size);
  // The 16 digest bytes; the object is spent afterwards.
  void Final(std::uint8_t digest[16]);
  // The digest as 32 lowercase hexadecimal digits.
  std::wstring FinalText();

 private:
  void Blocks(const std::uint8_t* data, std::size_t count);
  std::uint32_t state_[4];
  std::uint64_t length_ = 0;
  std::uint8_t pending_[64];
  std::size_t pendingSize_ = 0;
};

// The digest text of a buffer, for tests and tools.
std::wstring Md5OfBytes(const void* data, std::size_t size);
