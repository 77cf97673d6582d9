#pragma once
// The tree's store of packed whole files. Each content in each packed form is one file,
// "store/<two hex digits>/<SHA-256 of the content>.<form>", and every release's path for it is a
// hard link to that file (a copy where the file system has no hard links): a tree grows per
// release by the content that is new, not by the whole game again, and an unchanged file is never
// packed again, by a later build or by the same build run again after an interruption. Stored
// files never change; they are written beside their place and moved in, like every tree write.
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class ContentStore {
 public:
  explicit ContentStore(const std::filesystem::path& tree);

  static constexpr const char* FOLDER = "store";

  // Publishes at target the packed form (form: "z1", "z2") of the content whose SHA-256 is
  // contentSha256: links the stored file, storing pack()'s bytes first when the store has none.
  // An empty pack() means the form is not worth publishing: nothing is stored or linked, size is
  // 0. Safe from several threads: two files of one content wait for each other instead of writing
  // one stored file together. A target that exists must hold the same bytes, unless replace (what an interrupted build
  // of a version that never went live left). size: the packed bytes; stored: the bytes this call
  // added to the store (0 when it held them already). False with error.
  bool Publish(const std::filesystem::path& target, const std::string& contentSha256, const std::string& form,
               const std::function<std::string()>& pack, bool replace, std::uint64_t& size, std::uint64_t& stored,
               std::string& error) const;

  // What packing a large file into a file came to.
  enum class Packed { Written, NotWorth, Failed };
  // The same for contents too large to pack in memory: packInto writes the packed form to the
  // file it is given (or says it is not worth it, or failed).
  bool PublishPackedFile(const std::filesystem::path& target, const std::string& contentSha256, const std::string& form,
                         const std::function<Packed(const std::filesystem::path&)>& packInto, bool replace,
                         std::uint64_t& size, std::uint64_t& stored, std::string& error) const;

  // What Publish found damaged in the store and packed again (a stored file that does not unpack
  // to the content its name states is never linked), with the release files it put right.
  std::vector<std::string> Repairs() const;

  // The bytes of every file under the tree, a file with several names counted once.
  static std::uint64_t TreeBytes(const std::filesystem::path& tree);

 private:
  // Holds one stored file for the calling thread while it lives.
  class Claim {
   public:
    Claim(const ContentStore& store, std::string key);
    ~Claim();
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

   private:
    const ContentStore& store_;
    std::string key_;
  };

  std::filesystem::path FileOf(const std::string& contentSha256, const std::string& form) const;
  // Whether a stored file unpacks to the content its name states; each file is unpacked once in
  // the store's life.
  bool HoldsItsContent(const std::filesystem::path& stored, const std::string& contentSha256,
                       const std::string& form) const;
  void Verified(const std::filesystem::path& stored) const;
  // Links the names that shared a damaged stored file to the one packed again, and notes it.
  bool Relink(const std::filesystem::path& stored, const std::vector<std::filesystem::path>& names,
              std::string& error) const;

  std::filesystem::path tree_;
  std::filesystem::path folder_;
  mutable std::mutex lock_;
  mutable std::condition_variable released_;
  mutable std::set<std::string> claimed_;  // stored files that a thread is publishing
  mutable std::set<std::string> verified_;  // stored files known to hold their content
  mutable std::vector<std::string> repairs_;
};
