// vlm-patch server init, sign and check: a patch server directory as a
// whole, and its signed release.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>

#include "archive/patch_package.h"
#include "platform/file.h"
#include "platform/rar.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/lone_package.h"
#include "tools/vlm_patch/options.h"
#include "tools/vlm_patch/package_build.h"
#include "tools/vlm_patch/progress.h"
#include "tools/vlm_patch/release_files.h"
#include "tools/vlm_patch/repair_check.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/program_kind.h"
#include "update/release_check.h"

namespace vlmpatch {

namespace fs = std::filesystem;

namespace {

// A public key given on the command line: 128 hex digits, or a key file
// (its public line is read; the private one is not needed).
bool parsePublicKeyArgument(const std::string& text, update::PublicKey* key, std::string* error) {
  std::vector<update::PublicKey> keys;
  if (update::parsePublicKeyList(text, &keys, nullptr) && keys.size() == 1) {
    *key = keys[0];
    return true;
  }
  vlmpatch::SigningKey signing;
  if (platform::pathExists(text.c_str()) && vlmpatch::readSigningKey(text, &signing, error)) {
    *key = signing.publicKey;
    return true;
  }
  if (error->empty()) *error = "--public-key takes 128 hex digits or a key file: " + text;
  return false;
}

// The package inside patch archive n must be "n.dat", alone, of version n.
bool checkPatchArchive(const std::string& path, std::uint32_t n, std::string* why) {
  const std::string wanted = std::to_string(n) + ".dat";
  PrivateTempDirectory scratch;
  if (!scratch.made()) {
    *why = "no temporary directory to extract " + wanted + " into";
    return false;
  }
  const std::string extracted = scratch.file(wanted);
  if (!extractLonePackage(path, wanted, extracted, why)) return false;
  archive::PatchPackage package;
  std::string error;
  bool ok = false;
  if (!readPackageForShow(extracted, &package, &error)) {
    *why = wanted + ": " + error;
  } else if (package.version != n) {
    *why = wanted + " carries version " + std::to_string(package.version);
  } else {
    ok = true;
  }
  archive::closePatchPackage(package);
  return ok;
}

// The problems server check finds, printed as they are found; a progress
// bar on the terminal is cleared first, so the line stands alone.
struct Problems {
  int count = 0;
  int warnings = 0;
  ProgressBar* bar = nullptr;
  void clearBar() {
    if (!bar || !bar->enabled) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(bar->label.size()) + 40, "");
    bar->lastShown = -1;  // drawn again at the next step
  }
  void add(const std::string& what) {
    clearBar();
    ++count;
    std::printf("problem: %s\n", what.c_str());
    std::fflush(stdout);
  }
  void warn(const std::string& what) {
    clearBar();
    ++warnings;
    std::printf("warning: %s\n", what.c_str());
  }
};

// A record's expiry is worth a warning this long before it comes.
constexpr std::uint64_t kExpiryWarningSeconds = 7 * 86400;

bool isZeroDigest(const update::FileDigest& digest) {
  if (digest.size != 0) return false;
  for (unsigned char byte : digest.sha256)
    if (byte) return false;
  return true;
}

std::string durationText(std::uint64_t seconds) {
  std::uint64_t days = seconds / 86400, hours = seconds % 86400 / 3600;
  return std::to_string(days) + " days " + std::to_string(hours) + " hours";
}

// A public key given to server check, with the words that gave it.
struct GivenKey {
  update::PublicKey key;
  std::string text;
};

// "1a2b3c4d5e6f7a8b (the key of --public-key op.key), ..." for the record's
// signatures.
std::string signersText(const update::ReleaseRecord& record, const std::vector<GivenKey>& given) {
  std::string text;
  for (const update::RecordSignature& signature : record.signatures) {
    if (!text.empty()) text += ", ";
    text += update::toHex(signature.keyId.data(), signature.keyId.size());
    for (const GivenKey& key : given) {
      if (update::keyIdOf(key.key) != signature.keyId) continue;
      text += " (the key of --public-key " + key.text + ")";
      break;
    }
  }
  return text;
}

// One platform's record: its signers, signature, numbers and expiry.
void checkRecord(const update::PlatformFiles& files, const update::ReleaseRecord& record, const update::PatchList& list,
                 const std::vector<GivenKey>& given, std::uint64_t now, Problems& problems) {
  std::string name = files.record, why;
  std::printf("%s (%s): sequence %llu, signed by %s\n", files.record, files.name,
              static_cast<unsigned long long>(record.sequence), signersText(record, given).c_str());
  std::vector<update::PublicKey> keys;
  for (const GivenKey& key : given) keys.push_back(key.key);
  if (!keys.empty() && !update::recordSignedBy(record, keys, &why)) problems.add(name + ": " + why);
  const update::PublishedVersions& versions = list.of(files.platform);
  if (record.latestPatch != list.latestPatch || record.latestLauncher != versions.launcher ||
      record.latestClient != versions.client)
    problems.add(name + ": its numbers " + std::to_string(record.latestPatch) + "/" +
                 std::to_string(record.latestLauncher) + "/" + std::to_string(record.latestClient) +
                 " differ from patch.hpl's for " + files.name + ", " + std::to_string(list.latestPatch) + "/" +
                 std::to_string(versions.launcher) + "/" + std::to_string(versions.client));
  if (record.expiresAt <= now) {
    problems.add(name + ": expired " + durationText(now - record.expiresAt) +
                 " ago; sign the server again with vlm-patch server sign");
  } else if (record.expiresAt - now < kExpiryWarningSeconds) {
    problems.warn(name + ": expires in " + durationText(record.expiresAt - now) +
                  "; sign the server again with vlm-patch server sign before then");
  } else {
    std::printf("%s: expires in %s\n", files.record, durationText(record.expiresAt - now).c_str());
  }
}

// The records of the two platforms must speak of one release.
void checkRecordsAgree(const update::ReleaseRecord& windows, const update::ReleaseRecord& linux, Problems& problems) {
  const char* differ = nullptr;
  if (windows.latestPatch != linux.latestPatch)
    differ = "latest patch";
  else if (windows.sequence != linux.sequence)
    differ = "sequence";
  else if (windows.expiresAt != linux.expiresAt)
    differ = "expiry";
  else if (windows.blockPatches != linux.blockPatches || windows.blockDigests != linux.blockDigests)
    differ = "patch blocks";
  if (differ)
    problems.add(std::string(update::filesOf(update::LauncherPlatform::kWindows).record) + " and " +
                 update::filesOf(update::LauncherPlatform::kLinux).record + " differ in their " + differ +
                 ": they are not of one release");
}

// A platform's launcher or client: present when patch.hpl publishes it, a
// program of that platform, and the file its record vouches for.
void checkExecutable(const std::string& serverDir, const update::PlatformFiles& files, bool launcher,
                     std::uint32_t version, const update::ReleaseRecord* record, Problems& problems) {
  const char* name = launcher ? files.launcher : files.client;
  const char* what = launcher ? "launcher" : "client";
  std::string path = joinPath(serverDir, name), why;
  const update::FileDigest* expected = record ? (launcher ? &record->launcher : &record->client) : nullptr;
  if (version == 0) {
    if (expected && !isZeroDigest(*expected))
      problems.add(std::string(files.record) + " vouches for " + name + ", but patch.hpl publishes no " + files.name +
                   " " + what);
    return;
  }
  if (!platform::pathExists(path.c_str()))
    return problems.add(std::string(name) + ": missing, but patch.hpl publishes the " + files.name + " " + what +
                        " version " + std::to_string(version));
  update::ProgramKind kind;
  if (!update::programKindOfFile(path.c_str(), &kind, &why)) return problems.add(std::string(name) + " is " + why);
  if (kind.platform != files.platform)
    return problems.add(std::string(name) + " is " + update::describeProgramKind(kind) + ", not a " + files.name +
                        " program");
  if (expected && !update::fileMatchesDigest(path.c_str(), *expected, &why)) problems.add(why);
}

// Patch n, published: its archive holds n.dat alone, of version n, and,
// when a block gives its digest, matches it.
void checkPatch(const std::string& serverDir, std::uint32_t n, const update::FileDigest* digest, Problems& problems) {
  std::string path = joinPath(serverDir, patchArchiveName(n)), why;
  if (!platform::pathExists(path.c_str())) {
    problems.add(patchArchiveName(n) + ": missing");
  } else if (digest && !update::fileMatchesDigest(path.c_str(), *digest, &why)) {
    problems.add(why);
  } else if (!checkPatchArchive(path, n, &why)) {
    problems.add(patchArchiveName(n) + ": " + why);
  }
}

// Every block the record vouches for, and every patch from the first the
// server publishes on against it; the entries of the patches before it must
// say "not published" (size 0, zeros).
void checkSignedPatches(const std::string& serverDir, const update::ReleaseRecord& record, std::uint32_t first,
                        ProgressBar& bar, Problems& problems) {
  std::uint64_t done = 0;
  for (std::uint32_t k = 0; k < record.blockDigests.size(); ++k) {
    std::string name = blockName(k);
    std::uint32_t count = update::patchesInBlock(k, record.latestPatch, record.blockPatches);
    std::uint32_t published = 0;
    for (std::uint32_t i = 0; i < count; ++i) published += k * record.blockPatches + i + 1 >= first ? 1 : 0;
    std::string bytes, why;
    update::Sha256Digest digest;
    std::vector<update::FileDigest> patches;
    if (!platform::readSmallFile(joinPath(serverDir, name).c_str(), count * update::kFileDigestSize, &bytes)) {
      problems.add(name + ": missing or longer than its " + std::to_string(count) + " patches");
    } else if (!platform::sha256Of(bytes.data(), bytes.size(), digest.data()) || digest != record.blockDigests[k]) {
      problems.add(name + ": does not match the record");
    } else if (!update::decodePatchBlock(bytes, count, &patches, &why)) {
      problems.add(name + ": " + why);
    } else {
      for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t n = k * record.blockPatches + i + 1;
        if (n < first) {
          if (!isZeroDigest(patches[i]))
            problems.add(name + ": patch " + std::to_string(n) +
                         " comes before the first patch the server publishes, " + std::to_string(first) +
                         ", but has a digest");
          continue;
        }
        if (isZeroDigest(patches[i]))
          problems.add(name + ": patch " + std::to_string(n) +
                       " has no digest (not published), but the server publishes it: no launcher would fetch it");
        else
          checkPatch(serverDir, n, &patches[i], problems);
        showProgress(bar, ++done);
      }
      continue;
    }
    done += published;
    showProgress(bar, done);
  }
}

std::uint32_t publishedPatchCount(const update::PatchList& list, std::uint32_t first) {
  return list.latestPatch >= first ? list.latestPatch - first + 1 : 0;
}

// The first patch as the operator gives it: "--latest N", players at N.
bool parseLatest(const std::string& text, std::uint32_t* latest) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || text[0] < '0' || text[0] > '9' || *end || value >= kLastPatchNumber) return false;
  *latest = static_cast<std::uint32_t>(value);
  return true;
}

// What a directory publishes already, as names: server init starts only a
// directory that publishes nothing.
std::vector<std::string> publishedFiles(const std::string& serverDir, std::string* error) {
  std::vector<std::string> found;
  update::PatchList list;
  if (!readServerPatchList(serverDir, &list, error)) return found;
  if (list.latestPatch || list.of(update::LauncherPlatform::kWindows).launcher ||
      list.of(update::LauncherPlatform::kWindows).client || list.of(update::LauncherPlatform::kLinux).launcher ||
      list.of(update::LauncherPlatform::kLinux).client)
    found.push_back(std::string(kPatchListName) + " (latest patch " + std::to_string(list.latestPatch) + ")");
  std::error_code failed;
  for (fs::directory_iterator it(serverDir, failed); !failed && it != fs::directory_iterator(); it.increment(failed)) {
    std::string name = it->path().filename().string();
    bool record = false;
    for (const update::PlatformFiles& files : update::kPlatformFiles) record = record || name == files.record;
    if (record || isPatchArchiveName(name) || isBlockName(name) || name == kFirstPatchFileName) found.push_back(name);
  }
  if (failed) *error = "cannot list " + serverDir + ": " + failed.message();
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

int runServerInit(const Args& given) {
  Args args = given;
  SignOptions signing;
  std::string latestText;
  bool hasLatest = false;
  int code = kExitOk;
  if (!takeSigningOptions(args, &signing, &code)) return code;
  const char* usage = "usage: vlm-patch server init SERVER_DIR --latest N [--key FILE]... [--expires-days D]";
  if (!takeOption(args, "--latest", &latestText, &hasLatest) || !hasLatest || args.size() != 1)
    return fail(kExitUsage, usage);
  std::uint32_t latest = 0;
  if (!parseLatest(latestText, &latest))
    return fail(kExitUsage, "--latest takes the version the players are at, 0 to 65534");
  const std::string& serverDir = args[0];
  if (!platform::isDirectory(serverDir.c_str())) {
    std::error_code failed;
    fs::create_directory(serverDir, failed);
    if (failed) return fail(kExitFailed, "cannot create " + serverDir + ": " + failed.message());
  }
  std::string error;
  std::vector<std::string> published = publishedFiles(serverDir, &error);
  if (!error.empty()) return fail(kExitFailed, error);
  if (!published.empty()) {
    std::string names;
    for (std::size_t i = 0; i < published.size() && i < 5; ++i) names += (i ? ", " : "") + published[i];
    if (published.size() > 5) names += ", ...";
    return fail(kExitFailed, serverDir + " publishes already (" + names +
                                 "): server init starts a server that publishes nothing; nothing was changed");
  }
  update::PatchList list;
  list.latestPatch = latest;
  const std::uint32_t first = latest + 1;
  ServerChange change(serverDir);
  bool signs = !signingKeys(signing).empty();
  if (!change.put(kFirstPatchFileName, formatFirstPatch(first), &error) ||
      (signs && !signRelease(change, list, first, signing, &error)) ||
      !change.put(kPatchListName, update::encodePatchList(list), &error) || !change.commit(&error))
    return fail(kExitFailed, error);
  std::printf("%s: a server for players at version %u: its first patch is %u, %s\n", serverDir.c_str(), latest, first,
              signs ? ("signed, expiring in " + std::to_string(signing.expiryDays) + " days").c_str() : "unsigned");
  std::printf(
      "next: diff the players' release against the new one (its first package is %u.dat), check the server\n"
      "with vlm-patch server check, then publish the diff's directory\n",
      first);
  return kExitOk;
}

int runServerSign(const Args& given) {
  Args args = given;
  SignOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--rehash") continue;
    options.rehashAll = true;
    args.erase(args.begin() + static_cast<long>(i));
    break;
  }
  int code = kExitOk;
  if (!takeSigningOptions(args, &options, &code)) return code;
  if (args.size() != 1 || signingKeys(options).empty())
    return fail(kExitUsage,
                "usage: vlm-patch server sign SERVER_DIR --key FILE... [--new-key FILE]... [--expires-days N] "
                "[--rehash]");
  std::string error;
  const std::string& serverDir = args[0];
  if (!platform::isDirectory(serverDir.c_str())) return fail(kExitFailed, "no such directory: " + serverDir);
  update::PatchList list;
  std::uint32_t first = 1;
  if (!readServerPatchList(serverDir, &list, &error) || !readFirstPatch(serverDir, &first, &error) ||
      !checkSigningKeys(serverDir, options, &error))
    return fail(kExitFailed, error);
  ServerChange change(serverDir);
  if (!signRelease(change, list, first, options, &error) || !change.commit(&error)) return fail(kExitFailed, error);
  const update::PublishedVersions& windows = list.of(update::LauncherPlatform::kWindows);
  const update::PublishedVersions& linux = list.of(update::LauncherPlatform::kLinux);
  std::printf(
      "signed %s: patches to %u; windows launcher %u, client %u; linux launcher %u, client %u; the records expire in "
      "%lu days\n",
      serverDir.c_str(), list.latestPatch, windows.launcher, windows.client, linux.launcher, linux.client,
      static_cast<unsigned long>(options.expiryDays));
  return kExitOk;
}

int runServerCheck(const Args& arguments) {
  Args args = arguments;
  std::vector<std::string> keyTexts;
  if (!takeRepeatedOption(args, "--public-key", &keyTexts) || args.size() != 1)
    return fail(kExitUsage, "usage: vlm-patch server check SERVER_DIR [--public-key HEX|KEYFILE]...");
  std::vector<GivenKey> keys;
  std::string error;
  for (const std::string& text : keyTexts) {
    GivenKey key{{}, text};
    if (!parsePublicKeyArgument(text, &key.key, &error)) return fail(kExitUsage, error);
    keys.push_back(key);
  }
  const std::string& serverDir = args[0];
  if (!platform::isDirectory(serverDir.c_str())) return fail(kExitFailed, "no such directory: " + serverDir);
  update::PatchList list;
  std::uint32_t first = 1;
  if (!readServerPatchList(serverDir, &list, &error) || !readFirstPatch(serverDir, &first, &error))
    return fail(kExitFailed, error);
  // Without the RAR reader every patch would read as damaged.
  const std::string noReader = platform::rarReaderProblem();
  if (!noReader.empty()) return fail(kExitFailed, "cannot read the patch archives: " + noReader);

  Problems problems;
  if (first > 1) std::printf("first patch published: %u (for players at %u and later)\n", first, first - 1);
  if (list.latestPatch > kLastPatchNumber)
    problems.add("patch.hpl: latest patch " + std::to_string(list.latestPatch) + " above 65535, the last one");
  if (list.latestPatch + 1 < first)
    problems.add("patch.hpl: latest patch " + std::to_string(list.latestPatch) + " lies below " +
                 std::to_string(first - 1) + ", where the server starts (.vlm-first-patch)");

  // The records, when the server is signed.
  update::ReleaseRecord records[update::kLauncherPlatformCount];
  bool have[update::kLauncherPlatformCount] = {};
  const std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
  if (!serverIsSigned(serverDir)) {
    if (!keys.empty())
      problems.add("no release record: a launcher built with keys refuses this server");
    else
      std::printf("unsigned: no release record (a launcher built with keys refuses this server)\n");
  } else {
    if (keys.empty()) std::printf("signatures: not checked (give --public-key)\n");
    for (const update::PlatformFiles& files : update::kPlatformFiles) {
      std::size_t p = static_cast<std::size_t>(files.platform);
      std::string why;
      if (!readReleaseRecord(serverDir, files, &records[p], &why)) {
        problems.add(why);
        continue;
      }
      have[p] = true;
      checkRecord(files, records[p], list, keys, now, problems);
    }
    if (have[0] && have[1]) checkRecordsAgree(records[0], records[1], problems);
  }

  for (const update::PlatformFiles& files : update::kPlatformFiles) {
    std::size_t p = static_cast<std::size_t>(files.platform);
    const update::ReleaseRecord* record = have[p] ? &records[p] : nullptr;
    checkExecutable(serverDir, files, true, list.of(files.platform).launcher, record, problems);
    checkExecutable(serverDir, files, false, list.of(files.platform).client, record, problems);
  }

  ProgressBar bar = startProgress("checking patches", publishedPatchCount(list, first));
  problems.bar = &bar;
  if (have[0] || have[1]) {
    // Both records name the same blocks, or a problem above says otherwise.
    const update::ReleaseRecord& record = have[0] ? records[0] : records[1];
    checkSignedPatches(serverDir, record, first, bar, problems);
  } else if (list.latestPatch <= kLastPatchNumber) {
    std::uint64_t done = 0;
    for (std::uint32_t n = first; n <= list.latestPatch; ++n) {
      checkPatch(serverDir, n, nullptr, problems);
      showProgress(bar, ++done);
    }
  }
  finishProgress(bar);
  problems.bar = nullptr;

  std::vector<update::PublicKey> publicKeys;
  for (const GivenKey& key : keys) publicKeys.push_back(key.key);
  const RepairCheck repair = checkRepairSet(serverDir,
                                            have[0]   ? &records[0]
                                            : have[1] ? &records[1]
                                                      : nullptr,
                                            list.latestPatch, publicKeys);
  for (const std::string& problem : repair.problems) problems.add(problem);
  if (repair.present && repair.problems.empty())
    std::printf(
        "repair set: version %u, %zu keys and %zu files in %zu packs, each pack holding what the list gives it\n",
        repair.dataVersion, repair.keys, repair.files, repair.packs);

  if (problems.count) return fail(kExitFailed, std::to_string(problems.count) + " problem(s) in " + serverDir);
  std::string patches = publishedPatchCount(list, first)
                            ? "patches " + std::to_string(first) + " to " + std::to_string(list.latestPatch)
                            : std::string("no patches");
  std::printf("%s: %s; every file matches %s\n", serverDir.c_str(), patches.c_str(),
              have[0] || have[1] ? "the signed release" : "what patch.hpl publishes");
  if (problems.warnings) {
    std::printf("the release expires soon: exit code %d\n", kExitExpiresSoon);
    return kExitExpiresSoon;
  }
  return kExitOk;
}

}  // namespace vlmpatch
