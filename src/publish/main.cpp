// zepo-publish: builds the patch server's side from release folders.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/served_names.h"
#include "protocol/file_list.h"
#include "publish/channels.h"
#include "publish/delta.h"

#include "publish/file_progress.h"
#include "publish/delta2.h"
#include "publish/delta_chunked.h"
#include "publish/release.h"
#include "publish/renew_tree.h"
#include "publish/rollout.h"
#include "publish/rollout_status.h"
#include "publish/rotate_key.h"
#include "publish/serve.h"
#include "publish/prune.h"
#include "publish/push.h"
#include "publish/tree_builder.h"
#include "publish/tree_lock.h"
#include "publish/tree_writes.h"
#include "publish/tree_status.h"
#include "publish/verify.h"
#include "engine/patch.h"
#include "engine/patch2.h"
#include "services/platform.h"
#include "services/packed.h"
#include "services/signing.h"
#include "services/files.h"
#include "services/json.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// The option that tells a tree's updaters where the product lies; explained once for every
// command that reads it.
#define ROOT_KEY_TEXT                                                                                \
  "--root-key KEY names the key of rootfolder.enc's [ServerConfig] that gives the product's folder\n" \
  "(default ZepoFolder): give it only for a tree whose updaters were built to read another key.\n"

// The option that picks a channel; explained once for every command that reads it.
#define CHANNEL_TEXT                                                                                 \
  "--channel NAME works on that channel's lists and release index: stable (the default) is the\n"    \
  "product folder's own, every other lies under FOLDER/channels/NAME/ beside the content that all\n" \
  "channels share (docs/publishing.md). A channel's lists are refused by clients of another.\n"

// What every command that changes a tree ends with.
#define WRITER_EXIT_TEXT                                                                           \
  "\n"                                                                                              \
  "Exit status: 0 done, 1 it failed (the tree is as it was, or the next command finishes it),\n"    \
  "2 the command line was not understood, 4 another command is changing the tree (--no-wait).\n"

const char USAGE[] =
    "usage: zepo-publish COMMAND [OPTIONS]   (zepo-publish COMMAND --help for each)\n"
    "\n"
    "  build    turn a release folder into a patch-server tree, with patches from earlier releases\n"
    "  status   the live version and every release of a tree, with what its players download\n"
    "  rollback make an earlier release of a tree live again\n"
    "  promote  make a channel's release live on another channel, without a build\n"
    "  rollout  offer a release to a share of a channel's installations, widen, halt or complete it\n"
    "  rollout-status  count what players' runs report, and halt a rollout that fails\n"
    "  resign   renew the signatures of a tree's live version\n"
    "  push     upload a tree to the web root or origin that serves it, in a safe order\n"
    "  prune    retire old releases of a tree and free what only they hold\n"
    "  verify   check a tree the way clients use it\n"
    "  serve    serve a tree over HTTP for local use and demos\n"
    "  diff     write the patch byte code from one file to another\n"
    "  patch    rebuild a file from an old one and a patch\n"
    "  keygen   make a key pair for signed trees\n"
    "  rotate-key  move players to a new release or renewal key, without a new client build\n"
    "\n"
    "Every command takes -q/--quiet (errors only, on stderr) or -v/--verbose (a line for each\n"
    "file that build and verify work through). build, status and verify take --json: no other\n"
    "output on stdout, and at the end one JSON object of what they say (docs/command-line.md).\n"
    "An option's value follows it (--version 2.0) or is joined to it (--version=2.0).\n"
    ROOT_KEY_TEXT
    "zepo-publish --version prints the tool's version.\n"
    "\n"
    "Example: zepo-publish build --release game-2.0 --version 2.0 --out tree --sign publisher.key\n"
    "\n"
    "Exit status: 0 done, 1 the command failed or found problems, 2 the command line was not\n"
    "understood, 4 another command is changing the tree (--no-wait).\n";

const char BUILD_USAGE[] =
    "usage: zepo-publish build --release DIR --version NAME --out TREE [--previous DIR]...\n"
    "                          [--product FOLDER/] [--root-key KEY] [--self-update NAME]...\n"
    "                          [--keep NAME]... [--jobs N] [--follow-links] [--patch-from N]\n"
    "                          [--sign KEYFILE [--expires DAYS] [--change-key] [--renewer KEY]\n"
    "                          | --unsigned] [--formats LIST | --format 1|2|3] [--allow-removals] [--channel NAME]\n"
    "                          [--no-wait] [--json]\n"
    "\n"
    "Publishes the release in DIR as version NAME into TREE and makes it live: packed whole files\n"
    "under FOLDER/files/NAME/, a verified patch from the content of each of the tree's last N\n"
    "releases (--patch-from, default 3) and of every --previous release folder (oldest first) when\n"
    "it pays, and the file lists. The tree keeps an index of its releases (FOLDER/releases.ini), so\n"
    "--previous is needed only for releases published elsewhere. Files that an earlier release\n"
    "shipped and DIR lacks are removed on clients, one by one; folders never are. A version that\n"
    "the tree has published already changes nothing when DIR holds the same content, and is\n"
    "refused when it does not. --self-update names the updater's own files,\n"
    "--keep files that clients create when missing and never overwrite (user settings). Published\n"
    "files never change: a rebuild of the same release reuses them; another release needs another\n"
    "version name. --jobs works on several files at once (default: the number of cores).\n"
    "\n"
    "Nothing is written when the release holds a name that clients refuse (control characters,\n"
    "< > : \" | ? *, a trailing dot or space, device names such as CON or COM1), two names that\n"
    "differ only in letter case, a named pipe, socket or device, or a file that cannot be read;\n"
    "each is named with its reason. Symbolic links are refused too, unless --follow-links: then\n"
    "each is published as the file it points to, which must lie inside the release.\n"
    "\n"
    "--sign signs the tree with the key of KEYFILE (zepo-publish keygen): every list section also\n"
    "carries the file's SHA256 and Size, and rootfolder.enc, filelist.enc and filelistfull.enc each\n"
    "get a signature file (NAME.sig) stating the product, the file, a serial that grows with every\n"
    "publication and an expiry (--expires, default 30 days). Clients that trust the key refuse an\n"
    "unsigned, tampered, replayed or expired list; other clients read the tree as before. A signed\n"
    "tree stays signed: without --sign, a build into it is refused, unless --unsigned, which takes\n"
    "its signatures away (clients that trust the key then refuse it). The last serial a key signed\n"
    "is kept beside it (KEYFILE.serial), so that a tree made anew signs above what clients hold.\n"
    "--insecure-key uses a key file that others may read; --serial-ahead signs above a last serial\n"
    "that lies more than a day ahead of this computer's clock. A signed tree is signed on by the\n"
    "key that signed it: another key is refused, naming the tree's key, unless --change-key (give\n"
    "it only once players' updaters trust the new key too; docs/signing.md). --sign given again\n"
    "adds a key of a set that signs together: clients built with \"M:KEY1,KEY2,...\" take a\n"
    "statement only when M keys of the set signed it. --renewer KEY names\n"
    "the renewal key (its KEYFILE.pub or 64 hex digits; zepo-publish keygen --role renew) that may\n"
    "lengthen the signatures' life (zepo-publish resign --renew-key); later signatures keep naming\n"
    "it until --renewer none.\n"
    "\n"
    "Beside each list, LIST.patches/ holds patches to it from the lists of the last 8 publications,\n"
    "named by the MD5 of the text they start from: a client downloads a small patch to its list, not\n"
    "the whole list, and the whole list only when no patch leads from the one it holds.\n"
    "\n"
    "A release that would remove every file of the live one, or more than half of them, from\n"
    "players' installations is refused unless --allow-removals. The lists, their signatures and\n"
    "the index go live together: a build stopped at any moment leaves the old version live, or the\n"
    "new one, and the next command finishes what it began. One command changes a tree at a time:\n"
    "another waits for it, or with --no-wait ends at once with status 4.\n"
    "--formats says which forms the tree keeps, all three by default (1,2,3). 1: whole files packed\n"
    "with zlib and patches of the byte code, which every updater reads. 2: each whole file also\n"
    "packed with zstd (NAME.zst) and each patch in the second format (under patches2/), where\n"
    "they are smaller. 3: every file cut into chunks, each stored once by its SHA-256, in packs of\n"
    "a file's new chunks under FOLDER/chunks/, which updaters that know them build files from,\n"
    "fetching only the chunks they lack, a run of a pack at a time;\n"
    "a release adds only its new chunks to the tree. 2 needs 1; 3 alone (--formats 3) keeps the\n"
    "tree smallest, and then only the --self-update files are also kept whole, for every updater.\n"
    "Formats 2 and 3 are named in the list by keys that older updaters never read. --format N\n"
    "keeps the formats up to N.\n"
    ROOT_KEY_TEXT
    CHANNEL_TEXT
    "\n"
    "Example: zepo-publish build --release game-2.0 --version 2.0 --out tree --sign publisher.key\n"
    WRITER_EXIT_TEXT;

const char STATUS_USAGE[] =
    "usage: zepo-publish status TREE [--root-key KEY] [--channel NAME] [--access-log FILE...] [--json]\n"
    "\n"
    "Shows the live version (and the one clients are served when the lists say otherwise) and\n"
    "until when its signatures hold (a warning under 7 days), then each release the tree has\n"
    "published with its date, file count, packed size, patch count and what a client on it\n"
    "downloads to reach the live one, and the pruned ones. Lists that serve another version than\n"
    "the index names, a signature that does not state its list, expired signatures, an unfinished\n"
    "publication, and whole files of any kept release that do not unpack to their list are\n"
    "problems, with their kinds on the closing line. A serial or release date more than an hour\n"
    "ahead of this computer's clock is a warning. The first line names every channel with its live\n"
    "version, then its rollout; the rest is the channel's (--channel, default stable). With\n"
    "--access-log, also what players' runs reported per version (zepo-publish rollout-status).\n"
    ROOT_KEY_TEXT
    CHANNEL_TEXT
    "\n"
    "Example: zepo-publish status tree\n"
    "\n"
    "Exit status: 0 no problem, 1 problems (or the tree cannot be read), 2 the command line was not\n"
    "understood.\n";

const char ROLLBACK_USAGE[] =
    "usage: zepo-publish rollback TREE --to VERSION [--root-key KEY] [--channel NAME]\n"
    "                             [--sign KEYFILE [--expires DAYS] | --unsigned] [--allow-removals]\n"
    "                             [--no-wait]\n"
    "\n"
    "Makes an earlier release live again: its list is published anew, clients go back to its files\n"
    "by their checksums on their next run, and the index records it. It is refused when the tree\n"
    "lacks a file that the release's list names or holds it damaged, when the release was pruned,\n"
    "or when it would remove every file of the live release or more than half of them (unless\n"
    "--allow-removals). --sign signs every list as zepo-publish build --sign does; a rollback to the\n"
    "live version with --sign renews its signatures. It takes --insecure-key, --serial-ahead and\n"
    "--change-key as build does, and waits for another command that changes the tree, or with\n"
    "--no-wait ends at once with status 4.\n"
    ROOT_KEY_TEXT
    CHANNEL_TEXT
    "\n"
    "Example: zepo-publish rollback tree --to 1.9 --sign publisher.key\n"
    WRITER_EXIT_TEXT;

const char PROMOTE_USAGE[] =
    "usage: zepo-publish promote TREE --from CHANNEL --to CHANNEL [--version VERSION] [--root-key KEY]\n"
    "                            [--sign KEYFILE [--expires DAYS] | --unsigned] [--allow-removals]\n"
    "                            [--no-wait]\n"
    "\n"
    "Makes a release of one channel (its live one, or --version) live on another, as it was built:\n"
    "nothing is packed or uploaded again, the release's list and record are copied into the other\n"
    "channel's index, and that channel's lists name it, with patches back from the version it had\n"
    "live. A channel that has no release yet is made. Clients of that channel take the release on\n"
    "their next run. It is refused as a rollback is (a release whose files are gone or damaged, one\n"
    "that removes most files without --allow-removals), and takes --sign, --insecure-key,\n"
    "--serial-ahead and --change-key as build does.\n"
    ROOT_KEY_TEXT
    CHANNEL_TEXT
    "\n"
    "Example: zepo-publish promote tree --from beta --to stable --sign publisher.key\n"
    WRITER_EXIT_TEXT;

const char ROLLOUT_USAGE[] =
    "usage: zepo-publish rollout TREE --version VERSION --percent P [--channel NAME] [--root-key KEY]\n"
    "                            [--sign KEYFILE [--expires DAYS] | --unsigned] [--allow-removals]\n"
    "                            [--no-wait]\n"
    "       zepo-publish rollout TREE --halt [--back] [--channel NAME] [--root-key KEY] [--sign KEYFILE]\n"
    "\n"
    "Offers VERSION (a release of the channel, or of another channel as promote takes it) to P percent\n"
    "of the channel's installations beside its live version: each installation keeps a random id,\n"
    "made once in its folder, and takes VERSION when a hash of that id and VERSION falls under P, so\n"
    "that raising P keeps every installation that took it and adds others. P takes up to two\n"
    "decimals (0.5); --percent 100 completes the rollout: VERSION goes live for every installation.\n"
    "--halt stops further installations from taking VERSION (those that did keep it); --halt --back\n"
    "also sends those back to the live version. The channel's lists keep the live version and\n"
    "announce the rollout; VERSION's lists lie in the channel's rollout/ folder. A new build or a\n"
    "rollback on the channel ends a rollout. zepo-publish rollout-status counts what installations\n"
    "report and halts a rollout that fails. It takes --sign, --insecure-key, --serial-ahead and\n"
    "--change-key as build does.\n"
    ROOT_KEY_TEXT
    CHANNEL_TEXT
    "\n"
    "Example: zepo-publish rollout tree --channel stable --version 2.1 --percent 10 --sign publisher.key\n"
    WRITER_EXIT_TEXT;

const char ROLLOUT_STATUS_USAGE[] =
    "usage: zepo-publish rollout-status TREE --access-log FILE... [--channel NAME] [--halt-at PERCENT]\n"
    "                                   [--min N] [--root-key KEY] [--sign KEYFILE [--expires DAYS]]\n"
    "                                   [--no-wait]\n"
    "\n"
    "Counts what players' runs report after they end, as the servers' access logs keep it: each\n"
    "run asks for PRODUCT/report/CHANNEL/VERSION/RESULT/bucket-N (RESULT: ok, or the failure's\n"
    "code; N: the installation's rollout bucket), nothing personal. It prints the channel's runs\n"
    "per version with how many failed and by which code, and the running rollout's. With\n"
    "--halt-at (a share, \"5%\"),\n"
    "it halts the channel's running rollout once the rolled-out version's failures reach that share\n"
    "of at least --min reports (default 100), as zepo-publish rollout --halt does: run it from cron\n"
    "over the logs of the period. Any log format that keeps the request's path serves (nginx's\n"
    "combined one does; docs/publishing.md).\n"
    ROOT_KEY_TEXT
    CHANNEL_TEXT
    "\n"
    "Example: zepo-publish rollout-status tree --access-log access.log --halt-at 5% --min 200\n"
    WRITER_EXIT_TEXT;

const char RESIGN_USAGE[] =
    "usage: zepo-publish resign TREE --sign KEYFILE [--expires DAYS] [--renewer KEY] [--root-key KEY]\n"
    "                           [--channel NAME] [--no-wait]\n"
    "       zepo-publish resign TREE --renew-key KEYFILE [--expires DAYS] [--root-key KEY]\n"
    "                           [--channel NAME] [--no-wait]\n"
    "\n"
    "With --sign, signs the live version's lists and root descriptor again with a new serial and\n"
    "expiry (--expires, default 30 days), without a new release. It takes --insecure-key,\n"
    "--serial-ahead, --change-key and --renewer as build does. Each channel's lists are signed on\n"
    "their own: resign each channel that has one (--channel).\n"
    "\n"
    "With --renew-key, the daily job: the renewal key of KEYFILE (zepo-publish keygen --role renew)\n"
    "lengthens the life of the live signatures of every channel (or of --channel) to DAYS from now,\n"
    "by a renewal beside each signature file (NAME.renew). It signs nothing that players install:\n"
    "clients take a renewal only for a signature of their trusted release key that names this\n"
    "renewal key (--renewer), and only up to 400 days after the release key signed. The release\n"
    "key stays offline (docs/signing.md).\n"
    "\n"
    "Both wait for another command that changes the tree, or with --no-wait end at once with\n"
    "status 4.\n"
    ROOT_KEY_TEXT
    CHANNEL_TEXT
    "\n"
    "Example: zepo-publish resign tree --renew-key renew.key --expires 7\n"
    WRITER_EXIT_TEXT;

const char PUSH_USAGE[] =
    "usage: zepo-publish push TREE DEST [--prune] [--force] [--root-key KEY] [--no-wait]\n"
    "\n"
    "Uploads TREE with rsync to DEST, a local folder, HOST:PATH (over ssh) or rsync://HOST/MODULE/PATH,\n"
    "in the order that keeps every client working while it runs: the objects (whole files,\n"
    "patches, list patches, kept lists) first, and only when all of them have arrived the signature\n"
    "files, then the lists, then the index. A push stopped or failing anywhere (a full disk, a\n"
    "broken link) leaves DEST serving its old version or the new one; run it again to go on. Only\n"
    "new or changed files are sent. Nothing is deleted at DEST unless --prune: then, after the new\n"
    "lists are in place, objects that TREE no longer holds. A tree whose lists disagree with its\n"
    "index (zepo-publish status) is not pushed.\n"
    "\n"
    "DEST's history is read first: when it holds a release, a rollback, a list or signatures that\n"
    "TREE does not know (another build machine published there, or TREE is an old copy), or files\n"
    "that are no tree of this product, the push is refused with what differs, unless --force.\n"
    ROOT_KEY_TEXT
    "\n"
    "Example: zepo-publish push tree rsync://origin.example/velora/ --prune\n"
    WRITER_EXIT_TEXT;

const char PRUNE_USAGE[] =
    "usage: zepo-publish prune TREE (--keep N | --before YYYY-MM-DD | both) [--root-key KEY]\n"
    "                          [--channel NAME] [--no-wait]\n"
    "\n"
    "Retires old releases: their whole files, the patches that no kept release's list (nor the\n"
    "served lists) names, and the stored contents that no kept release holds are removed, and it\n"
    "prints what that frees. --keep N keeps the last N releases published; --before keeps those\n"
    "published on or after the date (UTC); with both, a release goes when it is older than the date\n"
    "and not among the last N. The live release is never pruned. A pruned release stays in the\n"
    "index (status lists it as pruned) with its list, so later releases still remove what it\n"
    "shipped and push still knows it; it cannot go live again, and its version name is not used\n"
    "again. Players still on it update as from any other content: whole files, or patches from\n"
    "what kept releases hold. zepo-publish push --prune then removes the same from the origin,\n"
    "after the new lists. A prune stopped anywhere is finished by the next. It chooses among the\n"
    "releases of one channel (--channel, default stable); what any channel keeps or serves stays.\n"
    ROOT_KEY_TEXT
    CHANNEL_TEXT
    "\n"
    "Example: zepo-publish prune tree --keep 10 --before 2026-06-01\n"
    WRITER_EXIT_TEXT;

const char KEYGEN_USAGE[] =
    "usage: zepo-publish keygen --out KEYFILE [--role release|renew]\n"
    "\n"
    "Makes an Ed25519 key pair: the private key goes into KEYFILE, a new file that only its owner\n"
    "may read (an existing file is never overwritten); the public key is printed as one line and\n"
    "written to KEYFILE.pub. A release key (the default) signs what players install: give its\n"
    "public key to the client's build (ZEPO_PUBLIC_KEY) or its --public-key and keep KEYFILE\n"
    "offline. A renewal key (--role renew) only lengthens the life of the release key's signatures\n"
    "(zepo-publish resign --renew-key; name it with --renewer when signing): it may live on the\n"
    "machine that runs the daily job. Neither can be used in the other's place; see docs/signing.md.\n"
    "\n"
    "Example: zepo-publish keygen --out renew.key --role renew\n"
    "\n"
    "Exit status: 0 made, 1 it could not be made (KEYFILE exists, say), 2 the command line was not\n"
    "understood.\n";

const char ROTATE_USAGE[] =
    "usage: zepo-publish rotate-key TREE --from OLD.key --to NEW.key [--expires DAYS] [--root-key KEY]\n"
    "                               [--no-wait]\n"
    "       zepo-publish rotate-key TREE --role renew --from OLD --to NEW --sign RELEASE.key\n"
    "                               [--expires DAYS] [--root-key KEY] [--no-wait]\n"
    "\n"
    "Moves players to a new key without a new client build. A release key (the default role) hands\n"
    "its role to NEW by a link that both keys sign, appended to the tree's keys.chain; then the live\n"
    "signatures of every channel are NEW's. Updaters that trust OLD fetch the chain when they meet a\n"
    "signature they do not know, follow it (several links too, for players several rotations\n"
    "behind), keep it (autoupdate.keys), trust NEW and refuse OLD's signatures from then on. Give\n"
    "both private key files; the tree must be signed by OLD (or by NEW, to finish a rotation that\n"
    "was stopped). Push the tree afterwards: the chain goes up with the objects, before the\n"
    "signatures.\n"
    "\n"
    "A renewal key (--role renew) is rotated under the release key (--sign): the live signatures\n"
    "are signed again naming NEW as the key that may renew them, and OLD renews nothing they state.\n"
    "OLD and NEW are public keys here (KEYFILE.pub or 64 hex digits): the old one may be lost.\n"
    "It takes --insecure-key as build does.\n"
    ROOT_KEY_TEXT
    "\n"
    "Example: zepo-publish rotate-key tree --from velora-2026.key --to velora-2027.key\n"
    WRITER_EXIT_TEXT;

const char VERIFY_USAGE[] =
    "usage: zepo-publish verify TREE [--install DIR] [--root-key KEY] [--public-key KEYS] [--json]\n"
    "\n"
    "Checks that every file the list implies exists and unpacks to its listed digest, that every\n"
    "patch rebuilds its file from the content its key names, and that the whole files of every\n"
    "release the tree keeps still unpack to its list (a damaged file is named with every release\n"
    "that holds it). A signed tree's signature files must state its lists' bytes and every entry\n"
    "its SHA256 and Size; with --public-key (hex, separated by commas; \"M:KEYS\" for M of them\n"
    "together) each signature must also be those keys' and unexpired (or renewed), following the\n"
    "tree's keys.chain from them as updaters do. With --install, also says what an update of that\n"
    "installation would download.\n"
    ROOT_KEY_TEXT
    "\n"
    "Example: zepo-publish verify tree --install /games/velora\n"
    "\n"
    "Exit status: 0 the tree is sound, 1 something is wrong (each problem named), 2 the command line\n"
    "was not understood.\n";

const char SERVE_USAGE[] =
    "usage: zepo-publish serve TREE [--listen ADDR:PORT]\n"
    "\n"
    "Serves TREE over HTTP (default 127.0.0.1:8080) for local use and demos, with Content-Length\n"
    "and Last-Modified, answering any Host. Production trees are served by nginx or a CDN.\n"
    "\n"
    "Example: zepo-publish serve tree --listen 127.0.0.1:8080\n"
    "\n"
    "Exit status: 1 the address cannot be listened on, 2 the command line was not understood; it\n"
    "serves until stopped.\n";

const char DIFF_USAGE[] =
    "usage: zepo-publish diff OLD NEW PATCH [--packed] [--format 1|2]\n"
    "\n"
    "Writes the patch that turns OLD into NEW. --format 2 (the default, as for build) is the\n"
    "second format (differences and copied bytes packed with zstd), which newer clients prefer;\n"
    "it is always packed. --format 1 is the patch byte code, which every client reads; --packed\n"
    "writes it in the packed form that trees publish. Files of 64 MiB or more (either one) are\n"
    "patched in chunks, in bounded memory, whatever their size.\n"
    "\n"
    "Example: zepo-publish diff game-1.0/data.pak game-2.0/data.pak data.pat\n"
    "\n"
    "Exit status: 0 written, 1 a file cannot be read or written, 2 the command line was not\n"
    "understood.\n";

const char PATCH_USAGE[] =
    "usage: zepo-publish patch OLD PATCH OUT [--packed]\n"
    "\n"
    "Rebuilds OUT from OLD and a patch that zepo-publish diff (or a build) wrote: the second format\n"
    "is known by its header; --packed reads a first-format patch in the packed form that trees\n"
    "publish.\n"
    "\n"
    "Example: zepo-publish patch game-1.0/data.pak data.pat data.pak\n"
    "\n"
    "Exit status: 0 rebuilt, 1 the patch does not apply to OLD (or does not unpack), 2 the command\n"
    "line was not understood.\n";

bool IsHelp(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int Usage(const char* text, bool ok) {
  std::fputs(text, ok ? stdout : stderr);
  return ok ? 0 : 2;
}

// A wrong command line is named in one line, with where the help is; the help itself only on
// --help. The command is the one the usage text is for ("usage: zepo-publish build ...").
int UsageError(const char* text, const std::string& problem) {
  const std::string usage = text;
  const std::string prefix = "usage: zepo-publish ";
  std::string command = usage.compare(0, prefix.size(), prefix) == 0
                            ? usage.substr(prefix.size(), usage.find(' ', prefix.size()) - prefix.size())
                            : std::string();
  if (command == "COMMAND") command.clear();
  std::fprintf(stderr, "zepo-publish: %s\nsee zepo-publish %s--help\n", problem.c_str(),
               command.empty() ? "" : (command + " ").c_str());
  return 2;
}

// Whether an option's value is there: the next argument, unless it is another option.
bool HasValue(const std::vector<std::string>& args, std::size_t i) {
  return i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0;
}

// A whole number from min to max written in plain digits; anything else is refused, not guessed.
bool ParseCount(const std::string& text, unsigned long min, unsigned long max, unsigned long& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoul(text);
  return value >= min && value <= max;
}

// The exit status of a command that found another one changing the tree (--no-wait).
constexpr int EXIT_TREE_BUSY = 4;

// The options of every command that changes a tree: signing, removals and waiting.
struct WriterOptions {
  SigningOptions signing;
  std::string renewer;           // --renewer as given
  std::filesystem::path renewKeyFile;  // resign --renew-key
  std::string renewKey;          // its private key, once read
  bool insecureKey = false;
  bool allowRemovals = false;
  bool noWait = false;
};

// Takes an option of the commands that change a tree: taken tells whether it was one; a value it
// needs is args[i + 1] (i then moves past it). False with the problem.
bool ParseWriterOption(const std::vector<std::string>& args, std::size_t& i, WriterOptions& writer, bool& taken,
                       std::string& problem) {
  const std::string& option = args[i];
  taken = true;
  if (option == "--no-wait") writer.noWait = true;
  else if (option == "--unsigned") writer.signing.removeSignatures = true;
  else if (option == "--insecure-key") writer.insecureKey = true;
  else if (option == "--serial-ahead") writer.signing.serialAhead = true;
  else if (option == "--change-key") writer.signing.changeKey = true;
  else if (option == "--allow-removals") writer.allowRemovals = true;
  else if (option == "--sign" || option == "--expires" || option == "--renewer" || option == "--renew-key") {
    if (!HasValue(args, i)) {
      problem = option + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    unsigned long days = 0;
    if (option == "--sign" && !writer.signing.keyFile.empty()) writer.signing.cosignerFiles.push_back(value);
    else if (option == "--sign") writer.signing.keyFile = value;
    else if (option == "--renewer") writer.renewer = value;
    else if (option == "--renew-key") writer.renewKeyFile = value;
    else if (ParseCount(value, 1, 3650, days)) writer.signing.expiresDays = static_cast<int>(days);
    else {
      problem = "--expires takes a number of days from 1 to 3650, not " + value;
      return false;
    }
  } else {
    taken = false;
  }
  return true;
}

// Reads the key that --sign named: 0, or the exit status after the problem is said (2 when --sign
// and --unsigned are both given).
int LoadSigningKey(const char* usage, WriterOptions& writer) {
  if (!writer.renewer.empty() && writer.signing.keyFile.empty()) return UsageError(usage, "--renewer needs --sign");
  if (writer.signing.keyFile.empty()) return 0;
  if (writer.signing.removeSignatures) return UsageError(usage, "--sign and --unsigned contradict each other");
  std::string problem;
  bool read = ReadKeyFile(writer.signing.keyFile, writer.insecureKey, KeyRole::Release, writer.signing.privateKey,
                          problem);
  for (const fs::path& file : writer.signing.cosignerFiles) {
    std::string cosigner;
    read = read && ReadKeyFile(file, writer.insecureKey, KeyRole::Release, cosigner, problem);
    if (read && writer.signing.PublicKeys().find(cosigner.substr(64)) != std::string::npos) {
      return UsageError(usage, "--sign names the same key twice (" + file.string() + ")");
    }
    writer.signing.cosigners.push_back(cosigner);
  }
  read = read && (writer.renewer.empty() || writer.renewer == SigningOptions::NO_RENEWER ||
                  ReadPublicKey(writer.renewer, writer.signing.renewer, problem));
  if (writer.renewer == SigningOptions::NO_RENEWER) writer.signing.renewer = SigningOptions::NO_RENEWER;
  if (read) return 0;
  std::fprintf(stderr, "zepo-publish: %s\n", problem.c_str());
  return 1;
}

// Reads the renewal key that resign --renew-key named: 0, or the exit status after the problem.
int LoadRenewKey(const char* usage, WriterOptions& writer) {
  if (!writer.signing.keyFile.empty()) return UsageError(usage, "give --sign or --renew-key, not both");
  std::string problem;
  if (ReadKeyFile(writer.renewKeyFile, writer.insecureKey, KeyRole::Renewal, writer.renewKey, problem)) return 0;
  std::fprintf(stderr, "zepo-publish: %s\n", problem.c_str());
  return 1;
}

// With --json, standard output carries nothing but the command's one object, written here.
std::FILE* jsonOut = nullptr;

void EmitJson(const std::string& object) {
  if (jsonOut == nullptr) return;
  std::fputs((object + "\n").c_str(), jsonOut);
  std::fflush(jsonOut);
}

// A command that failed before it had anything to report: its error, for scripts too.
// A command that failed, for scripts: the error as zepo-update gives it, an object of its code,
// the step (the command), the file or tree it worked on and the cause.
void EmitFailure(int status, const std::string& command, const std::string& file, const std::string& error) {
  const std::string object = JsonObject()
                                 .Text("code", status == EXIT_TREE_BUSY ? "TREE_BUSY" : "FAILED")
                                 .Text("step", command)
                                 .Json("file", file.empty() ? "null" : JsonString(file))
                                 .Text("cause", error)
                                 .Close();
  EmitJson(JsonObject().Text("result", "failed").Number("exit", static_cast<std::uint64_t>(status)).Json("error", object).Close());
}

// Runs a command that changes a tree while it holds the tree's lock: the exit status.
template <typename Change>
int WithTree(const char* command, const fs::path& tree, bool noWait, Change change) {
  std::error_code ignored;
  const bool existed = fs::exists(tree, ignored);
  RunLock lock;
  bool busy = false;
  std::string error;
  bool ok = TakeTree(tree, noWait, lock, busy, error) && change(error);
  if (!ok && !existed) {
    // A build that failed before writing anything leaves no new folder behind.
    lock.Release();
    fs::remove(tree / TREE_LOCK_FILE, ignored);
    fs::remove(tree, ignored);
  }
  if (ok) return 0;
  std::fprintf(stderr, "zepo-publish: %s\n", error.c_str());
  EmitFailure(busy ? EXIT_TREE_BUSY : 1, command, tree.string(), error);
  return busy ? EXIT_TREE_BUSY : 1;
}

int Keygen(const std::vector<std::string>& args) {
  if (IsHelp(args)) return Usage(KEYGEN_USAGE, true);
  fs::path out;
  KeyRole role = KeyRole::Release;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!HasValue(args, i) || (args[i] != "--out" && args[i] != "--role")) {
      return UsageError(KEYGEN_USAGE, "keygen takes --out KEYFILE [--role release|renew]");
    }
    const std::string& value = args[++i];
    if (args[i - 1] == "--out") out = value;
    else if (value == "renew" || value == "release") role = value == "renew" ? KeyRole::Renewal : KeyRole::Release;
    else return UsageError(KEYGEN_USAGE, "--role is release or renew, not " + value);
  }
  if (out.empty()) return UsageError(KEYGEN_USAGE, "keygen takes --out KEYFILE");
  std::string publicKey, error;
  if (!MakeKeyFile(out, role, publicKey, error)) {
    std::fprintf(stderr, "zepo-publish: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", publicKey.c_str());
  return 0;
}

// Reads the keys of a rotation as its role takes them: 0, or the exit status after the problem.
int LoadRotationKeys(const std::string& from, const std::string& to, const WriterOptions& writer, Rotation& rotation) {
  std::string problem;
  bool read = false;
  if (rotation.role == KeyRole::Release) {
    read = ReadKeyFile(from, writer.insecureKey, KeyRole::Release, rotation.from, problem) &&
           ReadKeyFile(to, writer.insecureKey, KeyRole::Release, rotation.to, problem);
    rotation.signing.keyFile = to;
  } else {
    read = ReadPublicKey(from, rotation.from, problem) && ReadPublicKey(to, rotation.to, problem);
  }
  if (read && rotation.from == rotation.to) problem = "--from and --to name the same key", read = false;
  if (read) return 0;
  std::fprintf(stderr, "zepo-publish: %s\n", problem.c_str());
  return 1;
}

int RotateKeyCommand(const std::vector<std::string>& args) {
  if (IsHelp(args)) return Usage(ROTATE_USAGE, true);
  if (args.empty() || args[0].rfind("--", 0) == 0) return UsageError(ROTATE_USAGE, "which tree?");
  WriterOptions writer;
  Rotation rotation;
  std::string from, to;
  std::wstring rootKey = DEFAULT_ROOT_KEY;
  for (std::size_t i = 1; i < args.size(); ++i) {
    bool taken = false;
    std::string problem;
    if (!ParseWriterOption(args, i, writer, taken, problem)) return UsageError(ROTATE_USAGE, problem);
    if (taken) continue;
    if (!HasValue(args, i) || (args[i] != "--from" && args[i] != "--to" && args[i] != "--role" && args[i] != "--root-key")) {
      return UsageError(ROTATE_USAGE, "unknown option or missing value: " + args[i]);
    }
    const std::string& value = args[++i];
    if (args[i - 1] == "--from") from = value;
    else if (args[i - 1] == "--to") to = value;
    else if (args[i - 1] == "--root-key") rootKey = AnsiToWide(value);
    else if (value == "renew" || value == "release") rotation.role = value == "renew" ? KeyRole::Renewal : KeyRole::Release;
    else return UsageError(ROTATE_USAGE, "--role is release or renew, not " + value);
  }
  if (from.empty() || to.empty()) return UsageError(ROTATE_USAGE, "rotate-key needs --from and --to");
  const bool renewal = rotation.role == KeyRole::Renewal;
  if (renewal != !writer.signing.keyFile.empty()) {
    return UsageError(ROTATE_USAGE, renewal ? "a renewal key is rotated under the release key: give --sign"
                                            : "a release rotation is signed by --from and --to, not --sign");
  }
  if (const int status = renewal ? LoadSigningKey(ROTATE_USAGE, writer) : 0; status != 0) return status;
  const int expires = writer.signing.expiresDays;
  rotation.signing = writer.signing;
  if (const int status = LoadRotationKeys(from, to, writer, rotation); status != 0) return status;
  rotation.signing.expiresDays = expires;
  const fs::path tree = args[0];
  return WithTree("rotate-key", tree, writer.noWait,
                  [&](std::string& error) { return RotateKey(tree, rootKey, rotation, error); });
}

// What the build's closing lines say, as one object.
// "1 file", "2 files".
std::string Files(std::size_t count) { return std::to_string(count) + (count == 1 ? " file" : " files"); }

// "from 1.0 82.0 KiB, from 1.1 20.3 KiB, a new installation 203 MiB".
std::string DownloadsText(const std::vector<DownloadFrom>& downloads) {
  std::string text;
  for (const DownloadFrom& from : downloads) {
    text += (text.empty() ? "" : ", ") +
            (from.version.empty() ? std::string("a new installation ") : "from " + WideToUtf8(from.version) + " ") +
            ByteSize(from.bytes);
  }
  return text;
}

std::string BuildJson(const std::string& version, const BuildSummary& summary, const std::vector<DownloadFrom>& downloads,
                      double seconds) {
  std::vector<std::string> reach;
  for (const DownloadFrom& from : downloads) {
    reach.push_back(JsonObject()
                        .Json("from", from.version.empty() ? "null" : JsonString(WideToUtf8(from.version)))
                        .Number("bytes", from.bytes)
                        .Close());
  }
  std::vector<std::string> sets;
  for (const PatchSet& set : summary.patchSets) {
    if (set.patches == 0) continue;
    sets.push_back(JsonObject().Text("from", WideToUtf8(set.from)).Number("patches", set.patches).Number("bytes", set.bytes).Close());
  }
  return JsonObject()
      .Text("result", summary.unchanged ? "unchanged" : "published")
      .Text("version", version)
      .Text("live", WideToUtf8(summary.live))
      .Number("files", summary.files)
      .Number("bytes", summary.bytes)
      .Number("changed", summary.changed)
      .Number("added", summary.added)
      .Number("removed", summary.removed)
      .Number("whole_files", summary.wholeFiles)
      .Number("patched_files", summary.patchedFiles)
      .Number("version_bytes", summary.versionBytes)
      .Number("tree_growth_bytes", summary.storedBytes)
      .Json("patch_sets", JsonArray(sets))
      .Json("downloads", JsonArray(reach))
      .Json("second_format", JsonObject()
                                 .Number("whole_files", summary.whole2Files)
                                 .Number("whole_bytes", summary.whole2Bytes)
                                 .Number("patches", summary.patches2)
                                 .Number("patch_bytes", summary.patch2Bytes)
                                 .Close())
      .Json("chunks", JsonObject()
                          .Number("files", summary.chunkedFiles)
                          .Number("chunks", summary.chunks)
                          .Number("new_chunks", summary.newChunks)
                          .Number("bytes", summary.chunkBytes)
                          .Close())
      .Number("times_moved", summary.movedTimes)
      .Seconds("seconds", seconds)
      .Close();
}

// The options that a build needs, and a version name that can be part of URLs.
int CheckBuildOptions(BuildOptions& options) {
  for (const auto& [given, name] : {std::pair{!options.release.empty(), "--release"},
                                    {!options.version.empty(), "--version"}, {!options.out.empty(), "--out"}}) {
    if (!given) return UsageError(BUILD_USAGE, std::string(name) + " is required");
  }
  // The version name and product folder become parts of URLs: only letters, digits and . _ -.
  for (wchar_t c : options.version) {
    if (!(iswalnum(c) && c < 0x80) && c != L'.' && c != L'_' && c != L'-') {
      std::fputs("zepo-publish: a version name may hold only letters, digits, '.', '_' and '-'\n", stderr);
      return 2;
    }
  }
  if (options.product.empty() || options.product.back() != L'/') options.product += L'/';
  return 0;
}

// The build's options from its command line: 0, or the exit status of a command line that does
// not read.
// Reads --formats LIST or --format N into the options; the problem, or empty.
std::string ParseFormats(const std::string& option, const std::string& value, BuildOptions& options) {
  std::set<char> formats;
  if (option == "--format") {
    if (value != "1" && value != "2" && value != "3") return "--format takes 1, 2 or 3, not " + value;
    for (char f = '1'; f <= value[0]; ++f) formats.insert(f);
  } else {
    std::stringstream list(value);
    for (std::string item; std::getline(list, item, ',');) {
      if (item != "1" && item != "2" && item != "3") return "--formats takes formats 1, 2 and 3, not " + value;
      formats.insert(item[0]);
    }
  }
  if (formats.empty()) return option + " needs a format";
  if (formats.count('2') != 0 && formats.count('1') == 0) return "format 2 needs format 1 beside it, not " + value;
  options.highestFormat = formats.count('2') != 0 ? 2 : formats.count('1') != 0 ? 1 : 0;
  options.chunks = formats.count('3') != 0;
  return "";
}

int ParseBuildOptions(const std::vector<std::string>& args, BuildOptions& options, WriterOptions& writer) {
  options.jobs = std::max(1u, std::thread::hardware_concurrency());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--follow-links") {
      options.followLinks = true;
      continue;
    }
    if (a.rfind("--", 0) != 0) return UsageError(BUILD_USAGE, "unexpected argument " + a);
    bool writerOption = false;
    std::string problem;
    if (!ParseWriterOption(args, i, writer, writerOption, problem)) return UsageError(BUILD_USAGE, problem);
    if (writerOption) continue;
    if (!HasValue(args, i)) return UsageError(BUILD_USAGE, a + " needs a value");
    const std::string value = args[++i];
    if (a == "--release") options.release = value;
    else if (a == "--version") options.version = AnsiToWide(value);
    else if (a == "--out") options.out = value;
    else if (a == "--previous") options.previous.push_back(value);
    else if (a == "--product") options.product = WideOf(value);
    else if (a == "--root-key") options.rootKey = AnsiToWide(value);
    else if (a == "--channel") {
      options.channel = AnsiToWide(value);
      if (!CheckChannelName(options.channel, problem)) return UsageError(BUILD_USAGE, problem);
    }
    else if (a == "--self-update") options.selfUpdate.push_back(WideOf(value));
    else if (a == "--keep") options.keep.push_back(WideOf(value));
    else if (a == "--format" || a == "--formats") {
      const std::string problem = ParseFormats(a, value, options);
      if (!problem.empty()) return UsageError(BUILD_USAGE, problem);
    }
    else if (a == "--jobs" || a == "--patch-from") {
      unsigned long count = 0;
      if (!ParseCount(value, a == "--jobs" ? 1 : 0, 1024, count)) {
        return UsageError(BUILD_USAGE, a + " takes a number from " + (a == "--jobs" ? "1" : "0") + " to 1024, not " + value);
      }
      if (a == "--jobs") options.jobs = static_cast<unsigned>(count);
      else options.patchFrom = count;
    }
    else return UsageError(BUILD_USAGE, "unknown option " + a);
  }
  return CheckBuildOptions(options);
}

// What the build published, for the person who ran it.
int PrintBuildSummary(const BuildOptions& options, const BuildSummary& summary,
                      const std::vector<DownloadFrom>& downloads, double seconds) {
  if (summary.unchanged) {
    std::printf("version %s is published already with this content; nothing changed (live: %s)\n",
                WideToUtf8(options.version).c_str(), WideToUtf8(summary.live).c_str());
    return 0;
  }
  std::printf("version %s is live: %s (%s), %zu changed and %zu new against the version live before, %zu "
              "removed\n",
              WideToUtf8(options.version).c_str(), Files(summary.files).c_str(), ByteSize(summary.bytes).c_str(),
              summary.changed, summary.added, summary.removed);
  // A tree of chunks alone has no whole files or patches to count: players fetch the chunks they lack.
  if (options.highestFormat > 0) {
    std::printf("  %s a patch from an earlier release, %zu only their whole form; the version's packed files take "
                "%s\n",
                (Files(summary.patchedFiles) + (summary.patchedFiles == 1 ? " has" : " have")).c_str(),
                summary.wholeFiles, ByteSize(summary.versionBytes).c_str());
  } else {
    std::printf("  the version's chunks take %s\n", ByteSize(summary.versionBytes).c_str());
  }
  std::printf("  players download %s\n", DownloadsText(downloads).c_str());
  std::printf("  the tree grew by %s: content it did not hold yet, and new patches\n",
              ByteSize(summary.storedBytes).c_str());
  for (const PatchSet& set : summary.patchSets) {
    if (set.patches == 0) continue;
    std::printf("  patches from %s: %zu (%s)\n", WideToUtf8(set.from).c_str(), set.patches, ByteSize(set.bytes).c_str());
  }
  if (summary.whole2Files > 0 || summary.patches2 > 0) {
    std::printf("  second format, for updaters that know it: %zu whole %s (%s), %zu %s (%s)\n", summary.whole2Files,
                summary.whole2Files == 1 ? "file" : "files", ByteSize(summary.whole2Bytes).c_str(), summary.patches2,
                summary.patches2 == 1 ? "patch" : "patches",
                ByteSize(summary.patch2Bytes).c_str());
  }
  if (summary.chunkedFiles > 0) {
    std::printf("  in chunks, for updaters that know them: %zu %s in %zu chunks (%s), %zu of them new\n",
                summary.chunkedFiles, summary.chunkedFiles == 1 ? "file" : "files", summary.chunks,
                ByteSize(summary.chunkBytes).c_str(), summary.newChunks);
  }
  std::printf("  built in %.1f s\n", seconds);
  return 0;
}

int Build(const std::vector<std::string>& args) {
  if (IsHelp(args)) return Usage(BUILD_USAGE, true);
  BuildOptions options;
  WriterOptions writer;
  if (const int status = ParseBuildOptions(args, options, writer); status != 0) return status;
  if (const int status = LoadSigningKey(BUILD_USAGE, writer); status != 0) return status;
  options.signing = writer.signing;
  options.allowRemovals = writer.allowRemovals;
  const auto start = std::chrono::steady_clock::now();
  BuildSummary summary;
  const int status = WithTree("build", options.out, writer.noWait,
                              [&](std::string& error) { return BuildTree(options, summary, error); });
  if (status != 0) return status;
  if (summary.movedTimes > 0) {
    std::printf("warning: %zu changed files carry the time that the live release lists for them (a fixed build "
                "time?); they are listed with the publish time, so that clients read them\n",
                summary.movedTimes);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::vector<DownloadFrom> downloads = DownloadsToTheLive(options.out, options.rootKey, options.channel);
  EmitJson(BuildJson(WideToUtf8(options.version), summary, downloads, seconds));
  return PrintBuildSummary(options, summary, downloads, seconds);
}

const char* TreeCommandUsage(const std::string& command) {
  return command == "status"     ? STATUS_USAGE
         : command == "rollback" ? ROLLBACK_USAGE
         : command == "promote"  ? PROMOTE_USAGE
         : command == "rollout"  ? ROLLOUT_USAGE
                                 : RESIGN_USAGE;
}

// The options of status, rollback, promote and resign besides the writer's: --root-key and
// --channel for all, --to for rollback and promote, --from and --version for promote.
struct TreeCommandOptions {
  std::wstring rootKey = DEFAULT_ROOT_KEY;
  std::wstring channel = DEFAULT_CHANNEL;
  std::wstring to, from, version, percent;
  bool halt = false, back = false;
  std::vector<fs::path> accessLogs;  // status
};

bool TakesTreeOption(const std::string& command, const std::string& option) {
  if (option == "--root-key") return true;
  if (option == "--channel") return command != "promote";
  if (option == "--to") return command == "rollback" || command == "promote";
  if (option == "--version") return command == "promote" || command == "rollout";
  if (option == "--percent") return command == "rollout";
  if (option == "--access-log") return command == "status";
  return option == "--from" && command == "promote";
}

int ParseTreeCommand(const std::string& command, const std::vector<std::string>& args, TreeCommandOptions& tree,
                     WriterOptions& writer) {
  const char* const usage = TreeCommandUsage(command);
  for (std::size_t i = 1; i < args.size(); ++i) {
    bool writerOption = false;
    std::string problem;
    if (command != "status" && !ParseWriterOption(args, i, writer, writerOption, problem)) {
      return UsageError(usage, problem);
    }
    if (writerOption) continue;
    if (command == "rollout" && (args[i] == "--halt" || args[i] == "--back")) {
      (args[i] == "--halt" ? tree.halt : tree.back) = true;
      continue;
    }
    if (!TakesTreeOption(command, args[i])) return UsageError(usage, "unknown option " + args[i] + " for " + command);
    if (!HasValue(args, i)) return UsageError(usage, args[i] + " needs a value");
    if (args[i] == "--access-log") {
      while (HasValue(args, i)) tree.accessLogs.push_back(args[++i]);
      continue;
    }
    const std::string& option = args[i];
    const std::wstring value = AnsiToWide(args[++i]);
    if (option == "--root-key") tree.rootKey = value;
    else if (option == "--channel") tree.channel = value;
    else if (option == "--to") tree.to = value;
    else if (option == "--from") tree.from = value;
    else if (option == "--percent") tree.percent = value;
    else tree.version = value;
    const bool named = option == "--channel" || (command == "promote" && (option == "--to" || option == "--from"));
    if (named && !CheckChannelName(value, problem)) return UsageError(usage, problem);
  }
  return 0;
}

int ShowStatus(const fs::path& tree, const TreeCommandOptions& options) {
  std::string error, json;
  const bool clean = ShowTreeStatus(tree, options.rootKey, options.channel, error, &json, options.accessLogs);
  if (json.empty()) {
    EmitFailure(1, "status", tree.string(), error);
  } else {
    EmitJson(json);
  }
  if (clean) return 0;
  std::fprintf(stderr, "zepo-publish: %s\n", error.c_str());
  return 1;
}

int Rollout(const fs::path& tree, const TreeCommandOptions& options, WriterOptions& writer) {
  if (options.back && !options.halt) return UsageError(ROLLOUT_USAGE, "--back goes with --halt");
  if (options.halt == (!options.version.empty() || !options.percent.empty())) {
    return UsageError(ROLLOUT_USAGE, "rollout takes --version and --percent, or --halt");
  }
  if (!options.halt && (options.version.empty() || options.percent.empty())) {
    return UsageError(ROLLOUT_USAGE, "rollout needs --version and --percent");
  }
  RolloutOptions rollout;
  rollout.channel = options.channel;
  rollout.version = options.version;
  rollout.percent = options.percent;
  rollout.halt = options.halt;
  rollout.back = options.back;
  return WithTree("rollout", tree, writer.noWait, [&](std::string& error) {
    return RolloutTree(tree, options.rootKey, rollout, writer.signing, writer.allowRemovals, error);
  });
}

int RolloutStatus(const std::vector<std::string>& args) {
  if (IsHelp(args)) return Usage(ROLLOUT_STATUS_USAGE, true);
  if (args.empty() || args[0].rfind("--", 0) == 0) return UsageError(ROLLOUT_STATUS_USAGE, "which tree?");
  RolloutWatch watch;
  std::wstring rootKey = DEFAULT_ROOT_KEY;
  WriterOptions writer;
  for (std::size_t i = 1; i < args.size(); ++i) {
    bool writerOption = false;
    std::string problem;
    if (!ParseWriterOption(args, i, writer, writerOption, problem)) return UsageError(ROLLOUT_STATUS_USAGE, problem);
    if (writerOption) continue;
    const std::string& option = args[i];
    if (option != "--access-log" && option != "--channel" && option != "--halt-at" && option != "--min" &&
        option != "--root-key") {
      return UsageError(ROLLOUT_STATUS_USAGE, "unknown option " + option + " for rollout-status");
    }
    if (!HasValue(args, i)) return UsageError(ROLLOUT_STATUS_USAGE, option + " needs a value");
    if (option == "--access-log") {
      while (HasValue(args, i)) watch.logs.push_back(args[++i]);
      continue;
    }
    const std::string value = args[++i];
    unsigned long count = 0;
    if (option == "--root-key") {
      rootKey = AnsiToWide(value);
    } else if (option == "--channel") {
      watch.channel = AnsiToWide(value);
      if (!CheckChannelName(watch.channel, problem)) return UsageError(ROLLOUT_STATUS_USAGE, problem);
    } else if (option == "--min") {
      if (!ParseCount(value, 1, 100000000, count)) return UsageError(ROLLOUT_STATUS_USAGE, "--min takes a count, not " + value);
      watch.least = count;
    } else {
      const std::string share = !value.empty() && value.back() == '%' ? value.substr(0, value.size() - 1) : value;
      if (!ParseRolloutPercent(AnsiToWide(share), watch.haltAt) || watch.haltAt == 0) {
        return UsageError(ROLLOUT_STATUS_USAGE, "--halt-at takes a share above 0 up to 100%, not " + value);
      }
    }
  }
  if (watch.logs.empty()) return UsageError(ROLLOUT_STATUS_USAGE, "rollout-status needs --access-log FILE");
  if (const int status = LoadSigningKey(ROLLOUT_STATUS_USAGE, writer); status != 0) return status;
  const fs::path tree = args[0];
  return WithTree("rollout-status", tree, writer.noWait, [&](std::string& error) {
    return WatchRollout(tree, rootKey, watch, writer.signing, error);
  });
}

int TreeCommand(const std::string& command, const std::vector<std::string>& args) {
  const char* const usage = TreeCommandUsage(command);
  if (IsHelp(args)) return Usage(usage, true);
  if (args.empty() || args[0].rfind("--", 0) == 0) return UsageError(usage, "which tree?");
  TreeCommandOptions options;
  WriterOptions writer;
  if (const int status = ParseTreeCommand(command, args, options, writer); status != 0) return status;
  const fs::path tree = args[0];
  if (command == "status") return ShowStatus(tree, options);
  if (!writer.renewKeyFile.empty() && command != "resign") return UsageError(usage, "--renew-key is resign's");
  if (command == "resign" && !writer.renewKeyFile.empty()) {
    if (const int status = LoadRenewKey(usage, writer); status != 0) return status;
    // Every channel unless one is named: the daily job keeps the whole tree alive.
    const bool named = std::find(args.begin(), args.end(), "--channel") != args.end();
    return WithTree("resign", tree, writer.noWait, [&](std::string& error) {
      return RenewTree(tree, options.rootKey, named ? options.channel : std::wstring(), writer.renewKey,
                       writer.signing.expiresDays, error);
    });
  }
  if (const int status = LoadSigningKey(usage, writer); status != 0) return status;
  if (command == "resign") {
    if (!writer.signing.Enabled()) return UsageError(usage, "resign needs --sign KEYFILE or --renew-key KEYFILE");
    return WithTree("resign", tree, writer.noWait, [&](std::string& error) {
      return ResignTree(tree, options.rootKey, options.channel, writer.signing, error);
    });
  }
  if (command == "rollout") return Rollout(tree, options, writer);
  if (command == "promote") {
    if (options.from.empty() || options.to.empty()) return UsageError(usage, "promote needs --from and --to");
    if (options.from == options.to) return UsageError(usage, "--from and --to name the same channel");
    return WithTree("promote", tree, writer.noWait, [&](std::string& error) {
      return PromoteTree(tree, options.rootKey, options.from, options.to, options.version, writer.signing,
                         writer.allowRemovals, error);
    });
  }
  if (options.to.empty()) return UsageError(usage, "rollback needs --to VERSION");
  return WithTree("rollback", tree, writer.noWait, [&](std::string& error) {
    return RollbackTree(tree, options.rootKey, options.channel, options.to, writer.signing, writer.allowRemovals,
                        error);
  });
}

int Push(const std::vector<std::string>& args) {
  if (IsHelp(args)) return Usage(PUSH_USAGE, true);
  std::vector<std::string> places;
  std::wstring rootKey = DEFAULT_ROOT_KEY;
  PushOptions options;
  bool noWait = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--prune") options.prune = true;
    else if (args[i] == "--force") options.force = true;
    else if (args[i] == "--no-wait") noWait = true;
    else if (args[i] == "--root-key" && HasValue(args, i)) rootKey = AnsiToWide(args[++i]);
    else if (args[i].rfind("--", 0) == 0) return UsageError(PUSH_USAGE, "unknown option " + args[i] + " for push");
    else places.push_back(args[i]);
  }
  if (places.size() != 2) return UsageError(PUSH_USAGE, "push takes a tree and a destination");
  const fs::path tree = places[0];
  std::error_code ignored;
  if (!fs::exists(tree / ROOT_DESCRIPTOR.narrow, ignored)) {
    std::fprintf(stderr, "zepo-publish: %s is not a tree (no rootfolder.enc at its root)\n", tree.string().c_str());
    return 1;
  }
  return WithTree("push", tree, noWait, [&](std::string& error) { return PushTree(tree, rootKey, places[1], options, error); });
}

int Prune(const std::vector<std::string>& args) {
  if (IsHelp(args)) return Usage(PRUNE_USAGE, true);
  if (args.empty() || args[0].rfind("--", 0) == 0) return UsageError(PRUNE_USAGE, "which tree?");
  std::wstring rootKey = DEFAULT_ROOT_KEY;
  PruneOptions options;
  bool noWait = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--no-wait") {
      noWait = true;
      continue;
    }
    if (args[i] != "--keep" && args[i] != "--before" && args[i] != "--root-key" && args[i] != "--channel") {
      return UsageError(PRUNE_USAGE, "unknown option " + args[i] + " for prune");
    }
    if (!HasValue(args, i)) return UsageError(PRUNE_USAGE, args[i] + " needs a value");
    const std::string& value = args[++i];
    unsigned long count = 0;
    std::string problem;
    if (args[i - 1] == "--root-key") {
      rootKey = AnsiToWide(value);
    } else if (args[i - 1] == "--channel") {
      options.channel = AnsiToWide(value);
      if (!CheckChannelName(options.channel, problem)) return UsageError(PRUNE_USAGE, problem);
    } else if (args[i - 1] == "--keep") {
      if (!ParseCount(value, 1, 100000, count)) return UsageError(PRUNE_USAGE, "--keep takes a number from 1, not " + value);
      options.keep = count;
    } else {
      const bool date = value.size() == 10 && value[4] == '-' && value[7] == '-' &&
                        (value.substr(0, 4) + value.substr(5, 2) + value.substr(8, 2)).find_first_not_of("0123456789") ==
                            std::string::npos;
      if (!date) return UsageError(PRUNE_USAGE, "--before takes a date as YYYY-MM-DD, not " + value);
      options.before = AnsiToWide(value);
    }
  }
  if (options.keep == 0 && options.before.empty()) {
    return UsageError(PRUNE_USAGE, "prune needs --keep N or --before DATE: which releases go?");
  }
  const fs::path tree = args[0];
  return WithTree("prune", tree, noWait, [&](std::string& error) { return PruneTree(tree, rootKey, options, error); });
}

// The first of a list of public keys (separated by commas or blanks) that is not 64 hex digits;
// empty when every one is a key.
std::string FirstNonKey(const std::string& keys) {
  const TrustedKeys trusted = ParseTrustedKeys(keys);
  for (const std::string& key : trusted.keys) {
    if (key.size() != 64 || key.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return key;
  }
  if (trusted.threshold > 1 && trusted.threshold > trusted.keys.size()) {
    return std::to_string(trusted.threshold) + ": more than the keys given";
  }
  return "";
}

int Verify(const std::vector<std::string>& args) {
  if (IsHelp(args)) return Usage(VERIFY_USAGE, true);
  if (args.empty()) return UsageError(VERIFY_USAGE, "which tree?");
  fs::path install;
  std::wstring rootKey = DEFAULT_ROOT_KEY;
  std::string publicKeys;
  bool keyGiven = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] != "--install" && args[i] != "--public-key" && args[i] != "--root-key") {
      return UsageError(VERIFY_USAGE, "unknown option " + args[i] + " for verify");
    }
    if (!HasValue(args, i)) return UsageError(VERIFY_USAGE, args[i] + " needs a value");
    if (args[i] == "--install") install = args[++i];
    else if (args[i] == "--public-key") {
      publicKeys = args[++i];
      keyGiven = true;
    }
    else rootKey = AnsiToWide(args[++i]);
  }
  const std::string notKey = keyGiven && publicKeys.find_first_not_of(" ,") == std::string::npos
                                 ? std::string("(empty)")
                                 : FirstNonKey(publicKeys);
  if (!notKey.empty()) {
    return UsageError(VERIFY_USAGE, "--public-key takes public keys of 64 hex digits, separated by commas; \"" +
                                        notKey + "\" is not a key");
  }
  std::string json;
  const bool clean = VerifyTree(args[0], rootKey, install.empty() ? nullptr : &install, publicKeys, &json);
  EmitJson(json);
  return clean ? 0 : 1;
}

int Serve(const std::vector<std::string>& args) {
  if (IsHelp(args)) return Usage(SERVE_USAGE, true);
  if (args.empty()) return UsageError(SERVE_USAGE, "which tree?");
  std::string listen = "127.0.0.1:8080";
  if (args.size() == 3 && args[1] == "--listen") listen = args[2];
  else if (args.size() != 1) return UsageError(SERVE_USAGE, "unexpected arguments after the tree");
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return UsageError(SERVE_USAGE, "--listen takes ADDRESS:PORT, not " + listen);
  std::string error;
  if (!ServeTree(args[0], listen.substr(0, colon), std::atoi(listen.c_str() + colon + 1), error)) {
    std::fprintf(stderr, "zepo-publish: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int WrittenOrSaid(bool written, const std::string& error) {
  if (!written) std::fprintf(stderr, "zepo-publish: %s\n", error.c_str());
  return written ? 0 : 1;
}

// Writes the patch from files[0] to files[1] in files[2]. Large files are patched in chunks, in
// bounded memory; the others by the whole-file matcher, which makes the smallest patches.
int Diff(const std::vector<std::string>& files, const std::string& format, bool packed) {
  const auto sizeOf = [](const std::string& path) { return FileHandle::OpenForRead(WideOf(path)).Size(); };
  std::string patch, error;
  if (static_cast<std::uint64_t>(std::max(sizeOf(files[0]), sizeOf(files[1]))) >= CHUNKED_FROM) {
    if (!MakeChunkedPatch(WideOf(files[0]), WideOf(files[1]), format == "2" ? 2 : 1, patch, error)) {
      std::fprintf(stderr, "zepo-publish: %s\n", error.c_str());
      return 1;
    }
  } else {
    std::string first, second;
    for (const auto& [path, bytes] : {std::pair<const std::string&, std::string&>{files[0], first}, {files[1], second}}) {
      if (!ReadWholeFile(WideOf(path), bytes)) {
        std::fprintf(stderr, "zepo-publish: cannot read %s\n", path.c_str());
        return 1;
      }
    }
    const auto* oldData = reinterpret_cast<const std::uint8_t*>(first.data());
    const auto* newData = reinterpret_cast<const std::uint8_t*>(second.data());
    if (!(format == "2" ? MakePatch2(oldData, first.size(), newData, second.size(), patch)
                        : MakePatch(oldData, first.size(), newData, second.size(), patch))) {
      std::fputs("zepo-publish: cannot make the patch\n", stderr);
      return 1;
    }
  }
  if (format == "1" && packed) {
    patch = PackPatch(patch);  // empty only when packing failed: a stream has a header
    if (patch.empty()) return WrittenOrSaid(false, "cannot pack " + files[2]);
  }
  return WrittenOrSaid(WriteFileAtomically(files[2], patch, error), error);
}

bool IsPatch2File(const std::string& path) {
  FileHandle file = FileHandle::OpenForRead(WideOf(path));
  std::uint8_t bytes[PATCH2_HEADER_SIZE];
  std::size_t got = 0;
  Patch2Header header;
  return file.IsOpen() && file.Read(bytes, sizeof bytes, got) && DecodePatch2Header(bytes, got, header);
}

int DiffOrPatch(const std::string& command, const std::vector<std::string>& args) {
  const char* const usage = command == "diff" ? DIFF_USAGE : PATCH_USAGE;
  if (IsHelp(args)) return Usage(usage, true);
  bool packed = false;
  std::string format;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--packed") {
      packed = true;
    } else if (args[i] == "--format" && command == "diff") {
      if (!HasValue(args, i)) return UsageError(usage, "--format needs a value");
      format = args[++i];
      if (format != "1" && format != "2") return UsageError(usage, "--format takes 1 or 2, not " + format);
    } else if (args[i].rfind("--", 0) == 0) {
      return UsageError(usage, "unknown option " + args[i] + " for " + command);
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 3) return UsageError(usage, command + " takes three files");
  if (command == "diff") return Diff(files, format.empty() ? "2" : format, packed);
  if (format.empty()) format = IsPatch2File(files[1]) ? "2" : "1";
  if (format == "2") {
    std::wstring digest, cause, writeFailure;
    if (ApplyPatch2File(WideOf(files[0]), WideOf(files[1]), WideOf(files[2]), digest, cause, writeFailure)) return 0;
    std::fprintf(stderr, "zepo-publish: the patch does not apply to this file: %s\n", WideToUtf8(cause).c_str());
    return 1;
  }
  std::wstring patchPath = WideOf(files[1]);
  const std::wstring unpacked = WideOf(files[2]) + L".pch";
  if (packed) {
    if (!UnpackFile(patchPath, unpacked)) {
      std::fputs("zepo-publish: the patch does not unpack\n", stderr);
      return 1;
    }
    patchPath = unpacked;
  }
  const bool ok = ApplyPatchFile(WideOf(files[0]), patchPath, WideOf(files[2]));
  if (packed) RemoveFile(unpacked);
  if (!ok) std::fputs("zepo-publish: the patch does not apply to this file\n", stderr);
  return ok ? 0 : 1;
}


// Silences standard output once, whichever of -q and --json asks first: the stream kept then is
// the one the JSON goes to.
std::FILE* SilencedStdout() {
  static std::FILE* const kept = SilenceStdout();
  return kept;
}

// -q and -v go with every command, --json with build, status and verify; the rest of the
// arguments are the command's.
std::vector<std::string> TakeLevelOptions(const std::vector<std::string>& all, std::string& problem) {
  std::vector<std::string> rest;
  bool quiet = false, verbose = false;
  for (const std::string& arg : all) {
    if (arg == "-q" || arg == "--quiet") quiet = true;
    if (arg == "-v" || arg == "--verbose") verbose = true;
  }
  if (quiet && verbose) {
    problem = "--quiet and --verbose contradict each other";
    return rest;
  }
  for (const std::string& arg : all) {
    // "--version=2.0" is "--version 2.0", as git, curl and rsync take it.
    const std::size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      rest.push_back(arg.substr(0, equals));
      rest.push_back(arg.substr(equals + 1));
      continue;
    }
    if (arg == "--json") {
      jsonOut = SilencedStdout();
    } else if (arg == "-q" || arg == "--quiet") {
      SilencedStdout();
    } else if (arg == "-v" || arg == "--verbose") {
      FileProgress::NameEveryFile();
    } else {
      rest.push_back(arg);
    }
  }
  return rest;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(USAGE, false);
  const std::string command = argv[1];
  std::string problem;
  const std::vector<std::string> args = TakeLevelOptions(std::vector<std::string>(argv + 2, argv + argc), problem);
  if (!problem.empty()) return UsageError(USAGE, problem);
  if (command == "--help" || command == "-h" || command == "help") return Usage(USAGE, true);
  if (command == "build") return Build(args);
  if (command == "--version") {
    std::puts("zepo-publish " ZEPO_VERSION);
    return 0;
  }
  if (jsonOut != nullptr && command != "build" && command != "status" && command != "verify") {
    return UsageError(USAGE, "--json goes with build, status and verify, not " + command);
  }
  if (command == "status" || command == "rollback" || command == "resign" || command == "promote" ||
      command == "rollout") {
    return TreeCommand(command, args);
  }
  if (command == "rollout-status") return RolloutStatus(args);
  if (command == "push") return Push(args);
  if (command == "prune") return Prune(args);
  if (command == "verify") return Verify(args);
  if (command == "serve") return Serve(args);
  if (command == "diff" || command == "patch") return DiffOrPatch(command, args);
  if (command == "keygen") return Keygen(args);
  if (command == "rotate-key") return RotateKeyCommand(args);
  return UsageError(USAGE, "unknown command " + command);
}
