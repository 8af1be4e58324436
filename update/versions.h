// Version records and the names on the patch server.
//
// "patch.hpl" (published, fetched every run): update/patch_list.h. The
//   launcher takes latestPatch and its own platform's two versions from it.
// "cver.v" (beside the launcher), 8 bytes, little-endian:
//   0 launcherVersion u32 | 4 clientVersion u32
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/patch_list.h"

namespace update {

struct LauncherVersions {
  std::uint32_t latestPatch;
  std::uint32_t latestLauncher;
  std::uint32_t latestClient;
  std::uint32_t launcherVersion;
  std::uint32_t clientVersion;
};

// Used by the update worker alone; no lock.
extern LauncherVersions launcherVersions;

// Back to all zeros, as at start-up (tests run many passes in one process).
void resetLauncherVersions();

// The patch servers, as base URLs, in the order given; the one home of the
// list (update/download.h says how downloads go through it).
//
// The build setting VLM_PATCH_HOST lists one or more hosts, "host[:port]"
// each, separated by ","; each gives the base URL "http://" + host +
// "/vlm/patch", so a setting of one host means what it always meant. The
// setting is read once. In builds for tests and demos (VLM_TEST_HOOKS), the
// environment variable VLM_PATCH_BASE_URL, when it holds at least one entry,
// replaces the whole list with its own: whole base URLs separated by ",",
// read at every call so a test or a demo can point the build at servers of
// its own; a release build ignores the environment.
//
// Both lists are read by one rule (splitPatchServerList): blanks around an
// entry are dropped; an empty entry (a trailing comma, ",,", blanks only) is
// skipped; an entry that repeats an earlier one is skipped, since it would
// only try the same server twice. The order is kept. A release build's list
// is never empty (the build refuses an empty or malformed VLM_PATCH_HOST).
std::vector<std::string> patchBaseUrls();
// The entries of a comma-separated list, by the rule above.
std::vector<std::string> splitPatchServerList(const std::string& list);
// The base URLs of a VLM_PATCH_HOST setting: "http://<host>/vlm/patch" for
// each entry of the list.
std::vector<std::string> baseUrlsOfPatchHosts(const std::string& hosts);

// The first server's base URL and its patch list's URL ("/patch.hpl"
// added): with a single server, the patch server.
std::string patchBaseUrl();
std::string patchListUrl();

// Reads the published numbers from a patch list file: latestPatch and this
// platform's launcher and client versions. False when it cannot be opened
// (the fields are then unchanged). A list shorter than 12 bytes is read as
// far as it goes and the trace says so, with its length:
// "The patch list is short: <n> of 12 bytes; ...".
bool readPatchList(const char* path);

// Download target of the new client executable, beside the launcher.
constexpr const char* kNewClientName = "Kelda.bin";

// "cver.v" is written whole under this name beside it, then put in place.
constexpr const char* kVersionFileTempName = "cver.v.new";

// Reads "%s\cver.v"; creates it with the current values when it is missing.
// False only when it can be neither read nor created.
bool readVersionFile();
// Writes "%s\cver.v" with the current values. The new file replaces the old
// one whole, so a failed write never leaves half a record. Callers ignore
// the outcome: the next run simply tries the update again.
bool writeVersionFile();

}  // namespace update
