#include "engine/digest_writer.h"

#include "services/platform.h"

bool DigestWriter::Create(const std::wstring& path, std::wstring& writeFailure) {
  out_ = FileHandle::CreateForWrite(path);
  if (out_.IsOpen()) return true;
  writeFailure = LastSystemErrorText();
  return false;
}

bool DigestWriter::Write(const void* data, std::size_t size, std::wstring& writeFailure) {
  md5_.Update(data, size);
  if (out_.Write(data, size)) return true;
  writeFailure = LastSystemErrorText();
  return false;
}

bool DigestWriter::Finish(std::wstring& digest, std::wstring& writeFailure) {
  if (!out_.Flush()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  digest = md5_.FinalText();
  return true;
}
