#pragma once
// Every write that zepo-publish makes into a tree goes through here: one file at a time, written
// beside its target and moved into place, so that a reader never meets half a file. A write that
// fails names the system's reason ("No space left on device").
//
// Tests stop a publisher at any one of these writes through the environment:
// ZEPO_PUBLISH_KILL_AT=N ends the process at once before its Nth write, as a kill would;
// ZEPO_PUBLISH_NOSPACE_AT=N fails that write as a full disk does; ZEPO_PUBLISH_TRACE=1 names each
// write on stderr ("write N PATH"), so that a test knows how many there are.
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

// Called before each write into a tree (a file, a move, a removal, an upload step). False, with
// error, when the write must fail.
bool BeforeTreeWrite(const std::filesystem::path& target, std::string& error);

// Writes bytes to a new file beside the target and moves it into place.
bool WriteFileAtomically(const std::filesystem::path& target, const std::string& bytes, std::string& error);
// Objects named by their content, written as a group on several threads: each is written beside
// its name, the group is made durable at once (one flush of the file system where the system
// has one, else each file's) and only then moved to its names. A first build of 4,000 chunks on
// a journalled disk waited for the journal 4,000 times when each object was flushed alone.
class SharedObjectBatch {
 public:
  explicit SharedObjectBatch(std::filesystem::path root) : root_(std::move(root)) {}
  ~SharedObjectBatch();
  // The size of the object at target that the tree or the batch holds already; 0 for none.
  std::uint64_t Held(const std::filesystem::path& target);
  // Writes bytes beside target unless the batch holds it already (another thread's write); wrote
  // tells which. Makes the object's folder. False with error when the write fails.
  bool Write(const std::filesystem::path& target, const std::string& bytes, bool& wrote, std::string& error);
  // Makes the batch's objects durable and moves each to its name; the batch is empty after it.
  bool Land(std::string& error);
  // Lands the batch once it holds at least this many objects or bytes.
  bool LandFrom(std::size_t objects, std::uint64_t bytes, std::string& error);

 private:
  std::filesystem::path root_;
  std::mutex lock_;
  std::map<std::filesystem::path, std::uint64_t> pending_;  // target, size
  std::uint64_t pendingBytes_ = 0;
};

// Packs bytes into a file (zlib, level 9), in one step.
bool PackBytesTo(const std::filesystem::path& target, const std::string& plain, std::string& error);
// Puts a hard link to a stored file at target, replacing what is there (a copy, moved in, where
// the file system has no hard links). Nothing ever writes into a tree's file in place, so the
// names stay one content.
bool LinkIntoPlace(const std::filesystem::path& stored, const std::filesystem::path& target, std::string& error);
// Moves a finished file over its target in one step.
bool MoveIntoPlace(const std::filesystem::path& source, const std::filesystem::path& target, std::string& error);
// Removes a file; one that is gone already is no failure.
bool RemoveFromTree(const std::filesystem::path& target, std::string& error);
// Unpacks a packed file into memory; false when it is not a complete packed file.
bool UnpackToMemory(const std::filesystem::path& packed, std::string& plain);
