#include "publish/tree_writes.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "publish/release.h"
#include "services/files.h"
#include "services/packed.h"
#include "services/platform.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

long WriteNumberFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? 0 : std::atol(value);
}

std::string Failure(const char* what, const fs::path& target) {
  return std::string(what) + " " + target.string() + ": " + WideToUtf8(LastSystemErrorText());
}

}  // namespace

bool BeforeTreeWrite(const fs::path& target, std::string& error) {
  static const long killAt = WriteNumberFromEnvironment("ZEPO_PUBLISH_KILL_AT");
  static const long noSpaceAt = WriteNumberFromEnvironment("ZEPO_PUBLISH_NOSPACE_AT");
  static const bool trace = WriteNumberFromEnvironment("ZEPO_PUBLISH_TRACE") != 0;
  static std::atomic<long> writes{0};
  const long number = ++writes;
  if (trace) std::fprintf(stderr, "write %ld %s\n", number, target.string().c_str());
  if (number == killAt) std::_Exit(137);
  if (number == noSpaceAt) {
    errno = ENOSPC;
    error = Failure("cannot write", target);
    return false;
  }
  return true;
}

bool WriteFileAtomically(const fs::path& target, const std::string& bytes, std::string& error) {
  if (!BeforeTreeWrite(target, error)) return false;
  const std::wstring temporary = WideOf(target) + L".part";
  FileHandle out = FileHandle::CreateForWrite(temporary);
  if (!out.IsOpen() || !out.Write(bytes.data(), bytes.size()) || !out.Flush()) {
    // The reason first: closing and removing may change the system's last error.
    error = Failure("cannot write", target);
    out.Close();
    RemoveFile(temporary);
    return false;
  }
  out.Close();
  if (MoveFileReplace(temporary, WideOf(target))) return true;
  error = Failure("cannot move into place", target);
  RemoveFile(temporary);
  return false;
}

namespace {

fs::path BesideObject(const fs::path& target) { return target.string() + ".part"; }

}  // namespace

SharedObjectBatch::~SharedObjectBatch() {
  for (const auto& [target, size] : pending_) RemoveFile(WideOf(BesideObject(target)));
}

std::uint64_t SharedObjectBatch::Held(const fs::path& target) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto pending = pending_.find(target);
    if (pending != pending_.end()) return pending->second;
  }
  std::error_code error;
  const std::uintmax_t size = fs::file_size(target, error);
  return error ? 0 : size;
}

// Written under the lock, so that a landing never meets half an object: a chunk is written to
// the page cache in microseconds and packed in a millisecond.
bool SharedObjectBatch::Write(const fs::path& target, const std::string& bytes, bool& wrote, std::string& error) {
  std::lock_guard<std::mutex> guard(lock_);
  wrote = pending_.emplace(target, bytes.size()).second;
  if (!wrote) return true;
  pendingBytes_ += bytes.size();
  std::error_code ignored;
  fs::create_directories(target.parent_path(), ignored);
  const fs::path beside = BesideObject(target);
  if (!BeforeTreeWrite(target, error)) return false;
  FileHandle out = FileHandle::CreateForWrite(WideOf(beside));
  if (out.IsOpen() && out.Write(bytes.data(), bytes.size())) return true;
  error = Failure("cannot write", target);
  return false;
}

bool SharedObjectBatch::LandFrom(std::size_t objects, std::uint64_t bytes, std::string& error) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (pending_.size() < objects && pendingBytes_ < bytes) return true;
  }
  return Land(error);
}

bool SharedObjectBatch::Land(std::string& error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!pending_.empty() && !FlushFileSystem(WideOf(root_))) {
    for (const auto& [target, size] : pending_) {
      if (!FileHandle::OpenForAppend(WideOf(BesideObject(target))).Flush()) {
        error = Failure("cannot write", target);
        return false;
      }
    }
  }
  for (auto it = pending_.begin(); it != pending_.end(); it = pending_.erase(it)) {
    const fs::path beside = BesideObject(it->first);
    if (MoveFileReplace(WideOf(beside), WideOf(it->first))) continue;
    // Windows refuses to replace a file that a reader has open; the same name holds the same bytes.
    std::error_code ignored;
    if (fs::file_size(it->first, ignored) != it->second) {
      error = Failure("cannot move into place", it->first);
      return false;
    }
    RemoveFile(WideOf(beside));
  }
  pendingBytes_ = 0;
  return true;
}

bool PackBytesTo(const fs::path& target, const std::string& plain, std::string& error) {
  const std::string packed = PackBytes(plain, 9);
  if (packed.empty()) {
    error = "cannot pack " + target.string();
    return false;
  }
  return WriteFileAtomically(target, packed, error);
}

// A link appears whole in one step, so it is made at the target itself: renaming a link into
// place would need the file's delete access, which Windows refuses while another of its names is
// open (a build reads earlier releases' files for patches). Only a copy goes beside and is moved.
bool LinkIntoPlace(const fs::path& stored, const fs::path& target, std::string& error) {
  if (!BeforeTreeWrite(target, error)) return false;
  std::error_code failure;
  fs::remove(target, failure);
  fs::create_hard_link(stored, target, failure);
  if (!failure) return true;
  const fs::path temporary = target.string() + ".part";
  fs::copy_file(stored, temporary, fs::copy_options::overwrite_existing, failure);
  if (failure) {
    error = "cannot write " + target.string() + ": " + failure.message();
    return false;
  }
  if (MoveFileReplace(WideOf(temporary), WideOf(target))) return true;
  error = Failure("cannot move into place", target);
  RemoveFile(WideOf(temporary));
  return false;
}

bool MoveIntoPlace(const fs::path& source, const fs::path& target, std::string& error) {
  if (!BeforeTreeWrite(target, error)) return false;
  if (MoveFileReplace(WideOf(source), WideOf(target))) return true;
  error = Failure("cannot move into place", target);
  return false;
}

bool RemoveFromTree(const fs::path& target, std::string& error) {
  if (!BeforeTreeWrite(target, error)) return false;
  std::error_code failure;
  fs::remove(target, failure);
  if (!failure) return true;
  error = "cannot remove " + target.string() + ": " + failure.message();
  return false;
}

bool UnpackToMemory(const fs::path& packed, std::string& plain) {
  std::string bytes;
  return ReadWholeFile(WideOf(packed), bytes) && UnpackBytes(bytes, plain);
}
