#pragma once
// A patch-server tree built from plain content in the test server's root: "detectfile.enc" and
// "rootfolder.enc" at the root, and in the product folder the packed file list, the packed whole
// files under the version's update folder and the packed patches under their patch folders.
#include <chrono>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "services/files.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/signing.h"
#include "services/text.h"
#include "support/temp_folder.h"

class PatchTree {
 public:
  // The root descriptor's key that names the product's folder.
  std::string rootKey = "ZepoFolder";
  static constexpr const char* TIME = "30260062:1225067648";  // 5 November 2012, 14:03:09 UTC

  explicit PatchTree(std::filesystem::path root, std::string version = "2.0", std::string product = "velora/")
      : root_(std::move(root)), version_(std::move(version)), product_(std::move(product)) {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    std::filesystem::create_directories(root_);
  }

  // A whole file of the version, listed with a method ("Update", "Patch", "SelfUpdate") and
  // the checksum of its content unless another one is given.
  void File(const std::string& name, const std::string& content, const std::string& method = "Update",
            const std::string& checksum = "") {
    Put(name, content);
    Section(name, {{"Method", method}, {"DateTime", TIME}, {"CheckSum", checksum.empty() ? Md5(content) : checksum}});
    if (!privateKey_.empty()) Section(name, {{"SHA256", Sha256Hex(content)}, {"Size", std::to_string(content.size())}});
  }
  // From now on the tree is signed as zepo-publish build --sign signs it: files carry SHA256 and
  // Size, and Publish writes a signature file beside rootfolder.enc and filelist.enc, expiring
  // after the days given (negative: expired already), for the product given.
  void SignWith(const std::string& privateKey, int expiresDays = 30, const std::string& product = "") {
    privateKey_ = privateKey;
    expiresDays_ = expiresDays;
    signedProduct_ = product;
  }
  // A whole file of the version that no section describes (the content of an "Exists" rule).
  void Put(const std::string& name, const std::string& content) {
    PackInto(product_ + "v2/" + name, content);
    put_[name] = content;
  }
  // A patch from old content to the file's current content, under its own patch folder.
  void PatchFrom(const std::string& name, const std::string& oldContent, const std::string& patchBytes,
                 const std::string& folder = "p1/") {
    PackInto(product_ + folder + name, patchBytes);
    Key(name, Md5(oldContent), folder);
  }
  void Rule(const std::string& name, const std::string& method, const std::string& target) {
    Section(name, {{"Method", method}, {"Target", target}});
  }
  void Section(const std::string& name, const std::vector<std::pair<std::string, std::string>>& keys) {
    if (sections_.find(name) == sections_.end()) order_.push_back(name);
    for (const auto& key : keys) sections_[name].push_back(key);
  }
  void Key(const std::string& name, const std::string& key, const std::string& value) {
    sections_[name].push_back({key, value});
  }
  // A fault of the test server for one published file, such as "close_10" or "lastmod_none".
  void Fault(const std::string& path, const std::string& directives) {
    WriteBytes(NativeOf(path) += ".fault", directives);
  }
  void Remove(const std::string& path) { std::filesystem::remove(NativeOf(path)); }

  void Publish() {
    PackInto("detectfile.enc", "zepo");
    PackInto("rootfolder.enc", "[ServerConfig]\r\n" + rootKey + "=" + product_ + "\r\n");
    std::string list = "[ServerConfig]\r\nVersionName=" + version_ + "\r\nUpdateFolder=v2/\r\n";
    for (const auto& name : order_) {
      list += "[" + name + "]\r\n";
      for (const auto& [key, value] : sections_[name]) list += key + "=" + value + "\r\n";
      // An "Exists" file's content is signed too: a client that trusts the key stages it as any.
      const auto content = put_.find(name);
      bool exists = false;
      for (const auto& [key, value] : sections_[name]) exists = exists || (key == "Method" && value == "Exists");
      if (!privateKey_.empty() && content != put_.end() && exists) {
        list += "SHA256=" + Sha256Hex(content->second) + "\r\nSize=" + std::to_string(content->second.size()) + "\r\n";
      }
    }
    // Names outside ASCII make the list UTF-16LE with a byte-order mark: the one encoding that
    // Windows' own INI reading and ours take the same way whatever the ANSI code page.
    bool ascii = true;
    for (unsigned char c : list) ascii = ascii && c < 0x80;
    if (!ascii) {
      std::wstring wide;
      Utf8ToWide(list, wide);
      list = "\xFF\xFE" + WideToUtf16Le(wide);
    }
    PackInto(product_ + "filelist.enc", list);
    // Every published list gets a stamp of its own, so that a client's cache never takes a new
    // list for the one it holds when both fall into the same second.
    static int published = 0;
    std::filesystem::last_write_time(NativeOf(product_ + "filelist.enc"),
                                     std::filesystem::file_time_type::clock::now() + std::chrono::hours(++published));
    if (privateKey_.empty()) return;
    for (const std::string& path : {std::string("rootfolder.enc"), product_ + "filelist.enc"}) {
      // Serials grow over every tree of a test process, as over the publications of one tree.
      static std::uint64_t serial = static_cast<std::uint64_t>(std::time(nullptr));
      const SignedStatement statement{signedProduct_.empty() ? product_ : signedProduct_,
                                      NativeOf(path).filename().string(), ++serial, UtcStampInDays(expiresDays_),
                                      {Sha256Hex(ReadBytes(NativeOf(path)))}, {}, "", "", ""};
      WriteBytes(NativeOf(path) += ".sig", WriteSignatureFile(statement, privateKey_));
    }
  }

  static std::string Md5(const std::string& content) { return WideToUtf8(Md5OfBytes(content.data(), content.size())); }

  std::filesystem::path NativeOf(const std::string& path) const {
    std::string mapped = path;
    for (auto& c : mapped) {
      if (c == '\\') c = '/';
    }
    return root_ / std::filesystem::u8path(mapped);
  }

 private:
  void PackInto(const std::string& path, const std::string& content) {
    const std::filesystem::path target = NativeOf(path);
    std::filesystem::create_directories(target.parent_path());
    // The plain copy has a short name of its own, so that names at the file system's limit fit.
    TempFolder scratch;
    WriteBytes(scratch.path() / "plain", content);
    PackFile(WidePath(scratch.path() / "plain"), WidePath(target), 9);
  }

  std::filesystem::path root_;
  std::string version_;
  std::string product_;
  std::string privateKey_;
  int expiresDays_ = 30;
  std::string signedProduct_;
  std::vector<std::string> order_;
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections_;
  std::map<std::string, std::string> put_;  // content of every file put, by name
};
