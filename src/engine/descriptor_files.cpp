#include "engine/descriptor_files.h"

#include "services/files.h"
#include "services/logger.h"
#include "services/packed.h"

bool UnpackDescriptor(const std::wstring& source, const std::wstring& destination) {
  const int status = UnpackFileBounded(source, destination, DESCRIPTOR_MAX_BYTES);
  if (status == STREAM_TOO_LARGE) {
    TheLogger().WriteFailure(L"AutoUpdateApp: [" + source + L"] unpacks to more than 64 MiB; refused");
  }
  return status == STREAM_OK;
}

// A run whose list has not changed reads its cache and writes nothing (43 MiB a run for a list of
// 200,000 files).
bool UnpackDescriptorText(const std::wstring& source, std::string& text) {
  text.clear();
  bool tooLarge = false;
  const int status = UnpackFileInto(source, [&](const unsigned char* data, std::size_t size) {
    if (text.size() + size > DESCRIPTOR_MAX_BYTES) return !(tooLarge = true);
    text.append(reinterpret_cast<const char*>(data), size);
    return true;
  });
  if (tooLarge) TheLogger().WriteFailure(L"AutoUpdateApp: [" + source + L"] unpacks to more than 64 MiB; refused");
  if (status != STREAM_OK || tooLarge) text.clear();
  return status == STREAM_OK && !tooLarge;
}

bool CopyReplacing(const std::wstring& source, const std::wstring& destination) {
  std::string bytes;
  if (!ReadWholeFile(source, bytes)) return false;
  const std::wstring temporary = destination + L".tmp";
  {
    FileHandle out = FileHandle::CreateForWrite(temporary);
    if (!out.IsOpen() || !out.Write(bytes.data(), bytes.size()) || !out.Flush()) {
      RemoveFile(temporary);
      return false;
    }
  }
  if (PathExists(destination)) ClearReadOnly(destination);
  if (MoveFileReplace(temporary, destination)) return true;
  RemoveFile(temporary);
  return false;
}
