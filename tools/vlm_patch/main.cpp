// vlm-patch: the operator's tool to build, inspect and publish patches and to
// inspect, patch and compact an installation offline.
#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "tools/vlm_patch/commands.h"

namespace vlmpatch {
namespace {

struct Command {
  const char* words;  // "package build"
  int (*run)(const Args&);
  const char* usage;
  const char* help;
};

int publishLauncher(const Args& args) { return runPublishExecutable(args, Executable::kLauncher); }
int publishClient(const Args& args) { return runPublishExecutable(args, Executable::kClient); }

const Command kCommands[] = {
    {"package build", runPackageBuild, "package build MANIFEST -o OUT.dat [--version N] [--seed S]",
     "Builds a patch package from a manifest. The manifest lists one item per line:\n"
     "  store KEY FILE      data kept in the game archives under KEY (decimal or 0x hex)\n"
     "  write TARGET FILE   a file written in the installation at TARGET\n"
     "  delete TARGET       a file deleted from the installation\n"
     "  version N / seed S  package version (0-65535) and scrambling seed (0-255)\n"
     "Lines starting with # are comments; quote words with blanks. One kind of item per\n"
     "package. A TARGET must stay inside the installation. --version and --seed\n"
     "override the manifest; without a seed one is chosen. docs/manifest.md has it all."},
    {"package show", runPackageShow, "package show FILE.dat",
     "Prints a package's header and items, unscrambled. The file is only read."},
    {"pack", runPack, "pack PACKAGE.dat OUT.rar [--number N]",
     "Puts a package into a RAR archive as N.dat, the name the launcher extracts\n"
     "(N defaults to the package's version)."},
    {"diff", runDiff,
     "diff OLD_INSTALL NEW_INSTALL -o OUT_DIR [--first N | --last N] [--pad] [--max-patch-size BYTES] "
     "[--allow-stale-keys]",
     "Writes the packages that take OLD to NEW into OUT_DIR as N.dat, N+1.dat, ...\n"
     "(N defaults to OLD's version + 1), ready for publish SERVER_DIR OUT_DIR:\n"
     "  type 1  every key whose bytes are new or differ\n"
     "  type 4  every loose file that NEW no longer has\n"
     "  type 3  every loose file that is new or differs\n"
     "none when the two hold the same data. Each kind is split over as many packages\n"
     "as it takes, in order, so that no patch is larger than --max-patch-size\n"
     "(default 64M; 1K to 2G, in bytes or with K, M or G for KiB, MiB, GiB): the\n"
     "patch archive N.rar that publish makes of N.dat holds at most that many bytes\n"
     "(N.dat at most 68 bytes fewer), and a download cut short costs a player one\n"
     "such patch at most. An item larger than that goes alone in a package of its\n"
     "own (diff says so). A package also holds at most 65,535 items. How many\n"
     "packages there are depends on the limit; the version check below names the\n"
     "number NEW must carry.\n"
     "Loose files are all files but the installation's machinery: data.idx and the\n"
     "archives, the launcher's files, the clients Kelda.exe and Kelda (publish-client\n"
     "replaces them) and Lumenfall.ini (the players' settings); diff says when\n"
     "these differ. Links are never followed: one found is an error, as is a name a\n"
     "patch may not carry. OUT_DIR must hold no package.\n"
     "A key that NEW lacks cannot be removed by any patch: diff lists such keys and\n"
     "exits with code 3, writing nothing, unless --allow-stale-keys is given.\n"
     "NEW's data.idx must carry the last package's number (OLD's version when there\n"
     "is no package), the version an installation patched with them carries, and\n"
     "the packages must begin above OLD's version. Otherwise diff exits with code 4,\n"
     "writing nothing, unless told how to line them up:\n"
     "  --pad     NEW's version is higher: empty packages (type 0, no items) follow\n"
     "            the others, each with its number, up to NEW's version\n"
     "  --last N  number the packages so that the last is N, NEW's version (for a\n"
     "            server that holds the patches before them already)\n"
     "NEW's version below the last package's number is always refused: give NEW's\n"
     "index that number with vlm-patch index set-version NEW_INSTALL N."},
    {"compare", runCompare, "compare A B",
     "Compares two installations as players see them: the same keys with the same\n"
     "bytes, the same loose files with the same bytes, the same version. Exit code\n"
     "0 when equal, 1 when they differ (the first differences are listed) or one\n"
     "cannot be read, 2 for a wrong command line."},
    {"publish", runPublish,
     "publish SERVER_DIR PACKAGE.dat|MANIFEST|OUT_DIR [--key FILE]... [--new-key FILE]... [--expires-days N]",
     "Adds the next numbered patch N (one above the latest in patch.hpl) to a patch\n"
     "server directory as N.rar, then raises the latest patch number. A manifest is\n"
     "built with version N; a package must already carry version N. A directory\n"
     "that diff wrote is published whole, package by package in order, each step as\n"
     "one package's; its first package must be number N.\n"
     "Each step is one change: its files are written beside under hidden names and\n"
     "flushed, then put in place, patch.hpl last; a step that fails leaves the\n"
     "directory as it was.\n"
     "With --key (once per key) the release is signed before the list is raised; a\n"
     "signed server takes no unsigned publish, and each --key must have signed the\n"
     "server's current release.rec. --new-key FILE signs without that check, to add\n"
     "a key (a key rotation, docs/signing.md). The signatures expire after 30 days\n"
     "unless --expires-days says otherwise."},
    {"publish-launcher", publishLauncher,
     "publish-launcher SERVER_DIR FILE [--platform windows|linux] [--key FILE]... [--new-key FILE]... "
     "[--expires-days N]",
     "Puts a new launcher in place and raises that platform's launcher version in\n"
     "patch.hpl. The platform is the file's own: a Windows program (PE) becomes\n"
     "\"Start VLM.exe\", a Linux program (ELF) \"start-vlm\"; any other file is\n"
     "refused, and so is a --platform that the file does not match. Signs the\n"
     "release as publish does."},
    {"publish-client", publishClient,
     "publish-client SERVER_DIR FILE [--platform windows|linux] [--key FILE]... [--new-key FILE]... "
     "[--expires-days N]",
     "Puts a new game client in place and raises that platform's client version in\n"
     "patch.hpl. The platform is the file's own: a Windows program (PE) becomes\n"
     "\"Kelda.exe\", a Linux program (ELF) \"Kelda\"; any other file is refused, and\n"
     "so is a --platform that the file does not match. Signs the release as publish\n"
     "does."},
    {"publish-repair-set", runPublishRepairSet,
     "publish-repair-set SERVER_DIR RELEASE_DIR --key FILE... [--new-key FILE]... [--pack-size SIZE] "
     "[--expires-days N]",
     "Publishes the full content of a release (laid out as an installation, as diff\n"
     "takes it) so that keyed launchers can verify an installation and repair what is\n"
     "damaged: a content list of every key and loose file with its size and SHA-256,\n"
     "and packs of at most --pack-size bytes (default 16 MiB; a larger item goes\n"
     "alone), each a stored RAR holding one package, named by their digest: a pack\n"
     "that holds the same bytes as before keeps its name and is not written again.\n"
     "The release's version may not be above the latest patch. Signs the release,\n"
     "and the repair record with it; every later signing signs that record again.\n"
     "Run it again for each new release (docs/repair.md)."},
    {"key generate", runKeyGenerate, "key generate KEYFILE",
     "Creates a new release signing key in KEYFILE, readable by its owner alone, and\n"
     "prints its public key: the value for the launcher's VLM_TRUSTED_KEYS build\n"
     "setting. The file is never overwritten; keep it off the patch server."},
    {"server init", runServerInit, "server init SERVER_DIR --latest N [--key FILE]... [--expires-days D]",
     "Starts a patch server for players already at version N (a live game that moves\n"
     "to this launcher): its first patch is N+1, and patches 1 to N are never needed\n"
     "on it. Writes .vlm-first-patch, with --key the blocks (patches 1 to N marked as\n"
     "not published) and both platforms' records, and patch.hpl at N last, as one\n"
     "change. Refuses a directory that publishes anything already (a patch list\n"
     "above 0, a patch archive, a record); creates SERVER_DIR when it is missing."},
    {"server sign", runServerSign,
     "server sign SERVER_DIR --key FILE... [--new-key FILE]... [--expires-days N] [--rehash]",
     "Signs the server directory's release again: both platforms' records\n"
     "(release.rec, release-linux.rec) and the patch blocks, with a new sequence\n"
     "number and a new expiry (30 days unless --expires-days says otherwise). Each\n"
     "--key must have signed the current release.rec; --new-key adds a key (a key\n"
     "rotation). --rehash hashes every patch again instead of trusting the blocks\n"
     "the present record vouches for."},
    {"server check", runServerCheck, "server check SERVER_DIR [--public-key HEX|KEYFILE]...",
     "Checks a server directory as launchers would: patch.hpl's numbers; each\n"
     "platform's record (the keys that signed it, its signature with the keys given,\n"
     "its numbers against patch.hpl, its expiry, and that the two agree); each\n"
     "platform's published launcher and client (present, a program of that platform,\n"
     "the file the record names); and every published patch (its size and SHA-256\n"
     "as the blocks give them; N.rar holds N.dat alone, of version N). An unsigned\n"
     "server is checked without the records. Exit code 1 when a problem is found,\n"
     "5 when none is but a record expires in less than 7 days."},
    {"index init", runIndexInit, "index init INSTALL_DIR [--version N]",
     "Creates an empty data.idx (no archives) in an installation that has none."},
    {"index set-version", runIndexSetVersion, "index set-version INSTALL_DIR N",
     "Gives the installation's data.idx version N (0 to 65535), the patch number it\n"
     "carries: a launcher asks for N+1 next. The index is rewritten as the launcher\n"
     "writes it, beside itself and then put in place in one step; a data.idx or\n"
     "data.idx.new that is a link is refused. For a new release whose version must\n"
     "be the last package's number of a diff (see diff --help)."},
    {"index show", runIndexShow, "index show INSTALL_DIR", "Lists the installation's archives and their entries."},
    {"index check", runIndexCheck, "index check INSTALL_DIR",
     "Checks that every entry lies within its archive file, that keys are unique and\n"
     "names sound, and reports the bytes that replaced files still hold. Exit code 1\n"
     "when a problem is found."},
    {"apply", runApply, "apply INSTALL_DIR PACKAGE.dat...",
     "Applies packages to an installation offline, in the order given, as the launcher\n"
     "does. Each package is copied into the installation as vlm-patch-apply.dat and\n"
     "applied from that copy, which the application consumes; the package files\n"
     "given are kept."},
    {"compact", runCompact, "compact INSTALL_DIR",
     "Rewrites the archives without the bytes nothing refers to any more. The old\n"
     "archives and index stay valid until the new ones are whole and in place."},
};

// How an operator moves a live game onto this launcher, after the commands.
const char* const kLiveGameSteps =
    "\nstarting from a live game whose players are at version N:\n"
    "  vlm-patch server init SERVER_DIR --latest N --key KEYFILE   (its first patch is N+1)\n"
    "  vlm-patch diff RELEASE_N NEW_RELEASE -o OUT_DIR            (writes N+1.dat, ...)\n"
    "  vlm-patch server check SERVER_DIR --public-key KEYFILE      (before publishing)\n"
    "  vlm-patch publish SERVER_DIR OUT_DIR --key KEYFILE\n";

void printUsage(std::FILE* out, bool full) {
  std::fputs("usage: vlm-patch COMMAND [ARGS]   (vlm-patch COMMAND --help for more)\n\ncommands:\n", out);
  for (const Command& c : kCommands) std::fprintf(out, "  vlm-patch %s\n", c.usage);
  if (full) std::fputs(kLiveGameSteps, out);
}

// Matches the command's words at the start of argv; the count used, or 0.
int matchWords(const char* words, int argc, char** argv) {
  char copy[64];
  std::snprintf(copy, sizeof copy, "%s", words);
  int used = 0;
  for (char* word = std::strtok(copy, " "); word; word = std::strtok(nullptr, " ")) {
    if (used >= argc || std::strcmp(argv[used], word) != 0) return 0;
    ++used;
  }
  return used;
}

}  // namespace

int run(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    printUsage(argc < 2 ? stderr : stdout, argc >= 2);
    return argc < 2 ? kExitUsage : kExitOk;
  }
  for (const Command& c : kCommands) {
    int used = matchWords(c.words, argc - 1, argv + 1);
    if (!used) continue;
    Args args(argv + 1 + used, argv + argc);
    if (wantsHelp(args)) {
      std::printf("usage: vlm-patch %s\n\n%s\n", c.usage, c.help);
      return kExitOk;
    }
    return c.run(args);
  }
  // "vlm-patch package" or "vlm-patch index --help": the commands of that group.
  bool group = false;
  for (const Command& c : kCommands) {
    std::size_t length = std::strlen(argv[1]);
    if (std::strncmp(c.words, argv[1], length) == 0 && c.words[length] == ' ') {
      if (!group) std::fprintf(stdout, "usage:\n");
      std::fprintf(stdout, "  vlm-patch %s\n", c.usage);
      group = true;
    }
  }
  if (group) return argc > 2 && (!std::strcmp(argv[2], "--help") || !std::strcmp(argv[2], "-h")) ? kExitOk : kExitUsage;
  std::fprintf(stderr, "vlm-patch: unknown command '%s%s%s'\n\n", argv[1], argc > 2 ? " " : "",
               argc > 2 ? argv[2] : "");
  printUsage(stderr, false);
  return kExitUsage;
}

}  // namespace vlmpatch

int main(int argc, char** argv) {
  platform::preferLargePagesForHeap(vlmpatch::kToolHeapBytes);
  return vlmpatch::run(argc, argv);
}
