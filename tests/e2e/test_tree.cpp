// The end-to-end fixture: a version-1 installation and the version-2 patch-server tree that
// brings it up to date, and the check that it did.
//   zepo-test-tree build SERVER_ROOT INSTALL [UPDATER NAME]   make both (SERVER_ROOT is emptied first)
//   zepo-test-tree build-signed SERVER_ROOT INSTALL [KEYFILE] the same, the tree signed by a new key,
//                                                            whose public key is printed (and
//                                                            which KEYFILE keeps, when given)
//   zepo-test-tree sign-expired FILE KEYFILE PRODUCT          signs a published list anew with the
//                                                            key of KEYFILE, expired a day ago
//   zepo-test-tree sign-as FILE KEYFILE ROLE PRODUCT DAYS    the same with a key of either role
//                                                            (release, renew), expiring in DAYS
//   zepo-test-tree renew-as FILE KEYFILE ROLE DAYS [EDIT]... writes FILE.renew, a renewal of
//                                                            FILE.sig until DAYS from now; EDITs
//                                                            (statement=OTHER, file=NAME,
//                                                            product=P) make it name another
//   zepo-test-tree verify INSTALL [UPDATER NAME]             exit 0 when INSTALL is version 2
//   zepo-test-tree code-pair V1 V2      writes bin/game.exe in two release folders as two builds
//                                        of a program differ: code with absolute addresses, of
//                                        which the second build moves all past an inserted
//                                        function
//   zepo-test-tree consistent INSTALL    exit 0 when every file of INSTALL holds version 1's or
//                                        version 2's content, any file with version 2's time holds
//                                        version 2's content, and no *.zepo-new lies anywhere
// With UPDATER, the installation holds that program as NAME, and version 2 lists a new build of
// it (the same program with bytes appended) as a self-update file.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "publish/release.h"
#include "publish/release_signing.h"
#include "publish/tree_writes.h"
#include "services/renewal.h"
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

int Build(const fs::path& root, const fs::path& install, const fs::path& updater, const std::string& name,
          const std::string& signingKey = "") {
  fs::create_directories(install);
  Put(install, "a.dat", OLD_A);
  Put(install, "b.dat", "old b");
  Put(install, "same.dat", "unchanged");
  Put(install, "gone.dat", "to be removed");
  Put(install, "oldfolder/x.txt", "to be removed with its folder");
  Put(install, "user.ini", "the user's own settings");
  // The game's installer leaves the updater's settings file: it marks the folder as an installation.
  Put(install, "log.ini", "[zepo]\r\n");
  Put(install, "ro.dat", "old read-only");
  fs::permissions(install / "ro.dat", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);

  PatchTree tree(root);
  if (!signingKey.empty()) tree.SignWith(signingKey);
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

// What a run cut at any moment may leave: each file whole in one version or the other, and the
// list's time only on the new content (else every later run would skip the file by its time).
int Consistent(const fs::path& install) {
  struct Versions {
    const char* name;
    std::string oldContent, newContent;
  };
  const Versions files[] = {
      {"a.dat", OLD_A, NEW_A},
      {"b.dat", "old b", "new b"},
      {"same.dat", "unchanged", "unchanged"},
      {"data/big.pak", "", BIG},
      {"ro.dat", "old read-only", "new read-only"},
  };
  int failures = 0;
  for (const Versions& file : files) {
    const fs::path path = install / file.name;
    if (!fs::exists(path)) {
      if (!file.oldContent.empty()) std::printf("consistent: %s is missing\n", file.name), ++failures;
      continue;
    }
    const std::string content = ReadBytes(path);
    std::wstring time;
    GetFileTimeText(WidePath(path), time);
    if (content != file.oldContent && content != file.newContent) {
      std::printf("consistent: %s holds neither version\n", file.name), ++failures;
    } else if (time == AnsiToWide(PatchTree::TIME) && content != file.newContent) {
      std::printf("consistent: %s carries the new time with old content\n", file.name), ++failures;
    }
  }
  for (const auto& entry : fs::recursive_directory_iterator(install)) {
    if (entry.path().filename().string().find(".zepo-new") != std::string::npos) {
      std::printf("consistent: %s is left beside the installed files\n", entry.path().string().c_str()), ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

// "Instructions" of 8 bytes, each an opcode, three bytes of operands and a 32-bit address into
// the program; the second build inserts 4 KiB of new code at 40% and every address past it moves
// by that much.
int CodePair(const fs::path& first, const fs::path& second) {
  constexpr std::uint32_t SIZE = 1 << 20;
  constexpr std::uint32_t INSERT_AT = SIZE / 5 * 2;
  constexpr std::uint32_t INSERTED = 4096;
  const std::string noise = RandomBytes(SIZE, 23);
  const auto build = [&](bool moved) {
    std::string code;
    for (std::uint32_t at = 0; at < SIZE; at += 8) {
      if (moved && at == INSERT_AT) code += RandomBytes(INSERTED, 29);
      std::uint32_t target = 0;
      for (int k = 0; k < 4; ++k) target = target << 8 | static_cast<std::uint8_t>(noise[at + k]);
      target = target % SIZE & ~7u;
      if (moved && target >= INSERT_AT) target += INSERTED;
      code += noise.substr(at + 4, 4);
      for (int shift = 0; shift < 32; shift += 8) code += static_cast<char>((target >> shift) & 0xFF);
    }
    return code;
  };
  Put(first, "bin/game.exe", build(false));
  Put(second, "bin/game.exe", build(true));
  return 0;
}

KeyRole RoleNamed(const std::string& role) { return role == "renew" ? KeyRole::Renewal : KeyRole::Release; }

// Signs FILE's statement anew with the key of KEYFILE (of ROLE), for PRODUCT, expiring in days.
int SignAs(const std::string& file, const std::string& keyFile, const std::string& role, const std::string& product,
           int days) {
  SigningOptions signing;
  std::string error, packed;
  signing.expiresDays = days;
  if (!ReadKeyFile(keyFile, true, RoleNamed(role), signing.privateKey, error) || !ReadWholeFile(WideOf(file), packed) ||
      !WriteFileAtomically(file + ".sig",
                           SignatureText(fs::path(file).filename().string(), AnsiToWide(product), {Sha256Hex(packed)},
                                         SerialOf(file + ".sig") + 1, signing),
                           error)) {
    std::fprintf(stderr, "zepo-test-tree: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

// Writes FILE.renew: a renewal of FILE.sig by the key of KEYFILE (of ROLE) until days from now;
// each edit "statement=OTHERFILE", "file=NAME" or "product=P" changes what it names.
int RenewAs(const std::string& file, const std::string& keyFile, const std::string& role, int days,
            const std::vector<std::string>& edits) {
  std::string error, privateKey, text, problem;
  SignedStatement statement;
  if (!ReadKeyFile(keyFile, true, RoleNamed(role), privateKey, error) || !ReadWholeFile(WideOf(file + ".sig"), text) ||
      !ReadSignatureFile(text, StatedKey(text), statement, problem)) {
    std::fprintf(stderr, "zepo-test-tree: cannot renew %s: %s%s\n", file.c_str(), error.c_str(), problem.c_str());
    return 1;
  }
  Renewal renewal{statement.product, statement.file, Sha256Hex(text), UtcStampInDays(days)};
  for (const std::string& edit : edits) {
    const std::string name = edit.substr(0, edit.find('=')), value = edit.substr(edit.find('=') + 1);
    if (name == "statement" && ReadWholeFile(WideOf(value), text)) renewal.statement = Sha256Hex(text);
    if (name == "file") renewal.file = value;
    if (name == "product") renewal.product = value;
  }
  if (!WriteFileAtomically(file + RENEWAL_SUFFIX, WriteRenewalFile(renewal, privateKey), error)) {
    std::fprintf(stderr, "zepo-test-tree: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "build" && (argc == 4 || argc == 6)) {
    return Build(argv[2], argv[3], argc == 6 ? argv[4] : "", argc == 6 ? argv[5] : "");
  }
  if (command == "build-signed" && (argc == 4 || argc == 5)) {
    std::string privateKey, publicKey, error;
    const bool made = argc == 5 ? MakeKeyFile(argv[4], KeyRole::Release, publicKey, error) &&
                                        ReadKeyFile(argv[4], false, KeyRole::Release, privateKey, error)
                                : GenerateSigningKey(privateKey, publicKey);
    if (!made) {
      std::fprintf(stderr, "zepo-test-tree: cannot make a key: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", publicKey.c_str());
    return Build(argv[2], argv[3], "", "", privateKey);
  }
  if (command == "sign-expired" && argc == 5) return SignAs(argv[2], argv[3], "release", argv[4], -1);
  if (command == "sign-as" && argc == 7) return SignAs(argv[2], argv[3], argv[4], argv[5], std::atoi(argv[6]));
  if (command == "renew-as" && argc >= 6) {
    return RenewAs(argv[2], argv[3], argv[4], std::atoi(argv[5]), std::vector<std::string>(argv + 6, argv + argc));
  }
  if (command == "verify" && (argc == 3 || argc == 5)) {
    return Verify(argv[2], argc == 5 ? argv[3] : "", argc == 5 ? argv[4] : "");
  }
  if (command == "consistent" && argc == 3) return Consistent(argv[2]);
  if (command == "code-pair" && argc == 4) return CodePair(argv[2], argv[3]);
  std::fputs("usage: zepo-test-tree build SERVER_ROOT INSTALL [UPDATER NAME] | build-signed SERVER_ROOT INSTALL [KEYFILE] |"
             " sign-expired FILE KEYFILE PRODUCT | sign-as FILE KEYFILE ROLE PRODUCT DAYS |"
             " renew-as FILE KEYFILE ROLE DAYS [statement=FILE|file=NAME|product=P]... |"
             " verify INSTALL [UPDATER NAME] | consistent INSTALL\n",
             command == "--help" ? stdout : stderr);
  return command == "--help" ? 0 : 2;
}
