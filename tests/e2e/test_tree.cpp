// The end-to-end fixture: a version-1 installation and the version-2 patch-server tree that
// brings it up to date, and the check that it did.
//   zepo-test-tree build SERVER_ROOT INSTALL [UPDATER NAME]   make both (SERVER_ROOT is emptied first)
//   zepo-test-tree verify INSTALL [UPDATER NAME]             exit 0 when INSTALL is version 2
// With UPDATER, the installation holds that program as NAME, and version 2 lists a new build of
// it (the same program with bytes appended) as a self-update file.
#include <cstdio>
#include <string>

#include "support/patch_tree.h"

namespace fs = std::filesystem;

namespace {

const std::string OLD_A = "version one of a, version one of a";
const std::string NEW_A = "version two of a, version one of a";
const std::string PATCH_A = "\xA7\xA6version two\xA7\xA3\x16";
const std::string BIG = RandomBytes(300000, 11);

void Put(const fs::path& install, const std::string& name, const std::string& content) {
  fs::create_directories((install / name).parent_path());
  WriteBytes(install / name, content);
}

const std::string NEW_BUILD = "\n-- zepo-update, build 2 --\n";

int Build(const fs::path& root, const fs::path& install, const fs::path& updater, const std::string& name) {
  fs::create_directories(install);
  Put(install, "a.dat", OLD_A);
  Put(install, "b.dat", "old b");
  Put(install, "same.dat", "unchanged");
  Put(install, "gone.dat", "to be removed");
  Put(install, "oldfolder/x.txt", "to be removed with its folder");
  Put(install, "user.ini", "the user's own settings");
  Put(install, "ro.dat", "old read-only");
  fs::permissions(install / "ro.dat", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);

  PatchTree tree(root);
  tree.File("a.dat", NEW_A, "Patch");
  tree.PatchFrom("a.dat", OLD_A, PATCH_A);
  tree.File("b.dat", "new b");
  tree.File("same.dat", "unchanged");
  tree.File("data\\big.pak", BIG);
  tree.File("data\\Th\xe1\xbb\xad l\xe1\xba\xa1i.txt", "a name with Vietnamese letters and a space");
  tree.File("ro.dat", "new read-only");
  tree.Rule("gone.dat", "Remove", "File");
  tree.Rule("oldfolder", "Remove", "Folder");
  tree.Rule("saves", "Exists", "Folder");
  tree.Rule("user.ini", "Exists", "File");
  tree.Put("user.ini", "default settings that must not replace the user's");
  tree.Rule("config.ini", "Exists", "File");
  tree.Put("config.ini", "default settings");
  if (!updater.empty()) {
    fs::copy_file(updater, install / name, fs::copy_options::overwrite_existing);
    tree.File(name, ReadBytes(updater) + NEW_BUILD, "SelfUpdate");
  }
  tree.Publish();
  return 0;
}

int Verify(const fs::path& install, const fs::path& updater, const std::string& name) {
  const std::pair<std::string, std::string> expected[] = {
      {"a.dat", NEW_A},
      {"b.dat", "new b"},
      {"same.dat", "unchanged"},
      {"data/big.pak", BIG},
      {"data/Th\xe1\xbb\xad l\xe1\xba\xa1i.txt", "a name with Vietnamese letters and a space"},
      {"ro.dat", "new read-only"},
      {"user.ini", "the user's own settings"},
      {"config.ini", "default settings"},
  };
  int failures = 0;
  for (const auto& [name, content] : expected) {
    const fs::path path = install / fs::u8path(name);
    if (ReadBytes(path) != content) {
      std::printf("verify: %s does not hold version 2's content\n", name.c_str());
      ++failures;
    }
  }
  for (const char* gone : {"gone.dat", "oldfolder"}) {
    if (fs::exists(install / gone)) std::printf("verify: %s is still there\n", gone), ++failures;
  }
  if (!fs::is_directory(install / "saves")) std::printf("verify: the folder saves is missing\n"), ++failures;
  if (fs::exists(install / "update")) std::printf("verify: the working folder update is left behind\n"), ++failures;
  if (!updater.empty() && ReadBytes(install / name) != ReadBytes(updater) + NEW_BUILD) {
    std::printf("verify: %s is not the new build\n", name.c_str());
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "build" && (argc == 4 || argc == 6)) {
    return Build(argv[2], argv[3], argc == 6 ? argv[4] : "", argc == 6 ? argv[5] : "");
  }
  if (command == "verify" && (argc == 3 || argc == 5)) {
    return Verify(argv[2], argc == 5 ? argv[3] : "", argc == 5 ? argv[4] : "");
  }
  std::fputs("usage: zepo-test-tree build SERVER_ROOT INSTALL [UPDATER NAME] | verify INSTALL [UPDATER NAME]\n",
             command == "--help" ? stdout : stderr);
  return command == "--help" ? 0 : 2;
}
