#include "engine/patch.h"
#include "engine/update_client.h"
#include "services/files.h"
#include "services/packed.h"
#include "services/text.h"

bool MatchesChecksum(const std::wstring& path, const std::wstring& checksum) {
  if (checksum.empty()) return true;
  std::wstring digest;
  Md5OfFile(digest, path);
  return !digest.empty() && EqualNoCase(digest, checksum);
}

namespace {

std::wstring FolderOf(const std::wstring& path) {
  std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

}  // namespace

bool UpdateClient::RebuildPatch(FileEntry& entry) {
  entry.result = 0;
  const std::wstring patchPath = entry.localPath + L".pch";
  if (!UnpackFile(entry.localPath, patchPath)) return false;
  if (!ApplyPatchFile(TargetOf(entry), patchPath, entry.localPath)) return false;
  if (!MatchesChecksum(entry.localPath, entry.checksum)) return false;
  entry.result = 1;
  return true;
}

// The installed file is replaced in one step by a complete, verified file: an update is first
// unpacked beside the target, so that a failed or interrupted apply never leaves half a file.
bool UpdateClient::ApplyEntry(FileEntry& entry, int mode) {
  if (mode != APPLY_UNPACK && mode != APPLY_MOVE) return false;
  const std::wstring target = TargetOf(entry);
  if (PathExists(target)) ClearReadOnly(target);
  const std::wstring folder = FolderOf(target);
  if (!folder.empty()) CreateDirectoryPath(folder);
  std::wstring source = entry.localPath;
  if (mode == APPLY_UNPACK) {
    source = target + L".zepo-new";
    std::wstring digest;
    if (!UnpackFileWithDigest(entry.localPath, source, digest) ||
        (!entry.checksum.empty() && !EqualNoCase(digest, entry.checksum))) {
      RemoveFile(source);
      return false;
    }
  }
  if (!MoveFileReplace(source, target)) {
    if (mode == APPLY_UNPACK) RemoveFile(source);
    return false;
  }
  SetFileTimeText(target, entry.dateTime);
  return true;
}
