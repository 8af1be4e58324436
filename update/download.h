// Downloading one file from the patch server, with the status line and the
// upper progress bar following the transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "update/release_record.h"

namespace update {

// What the download shows; lastProgressTicks is set to 0 at the start of
// every download so that its first report is shown at once.
struct DownloadProgress {
  std::int32_t lastProgressTicks;
};
extern DownloadProgress downloadProgress;

constexpr std::int32_t kProgressGateMs = 120;
constexpr std::size_t kDisplayNameBytes = 60;
// What a download's own temporary name adds to its local path.
constexpr const char* kPartialDownloadSuffix = ".part";

// Fetches url into localPath. The file reaches localPath only whole: the
// transfer goes to localPath + ".part" and is moved into place on success,
// so a failed, cut or refused transfer leaves the file that was there (or
// nothing) and never an error page. True when the file was stored. A
// failure is logged as "Error downloading : <url>", then
// "The download failed: <why>." (the reasons of platform/download.h, with
// the system's own reason after them where it gave one: "The download
// failed: the local file could not be written: No space left on device.").
//
// With expected (from the signed release), the file must be exactly that:
// the transfer stops as soon as the body passes expected->size, and a file
// whose size or SHA-256 differs is deleted and counts as a failed download
// ("The download failed: <path>: SHA-256 ..., the release says ...").
bool downloadFile(const char* url, const char* localPath, const update::FileDigest* expected = nullptr);

// The same for a file whose content nothing names yet (the patch list, the
// release record): only its size is bounded, and a body past maxBytes ends
// the transfer as a failed download.
bool downloadFileUpTo(const char* url, const char* localPath, std::uint64_t maxBytes);

// Several patch servers (patchBaseUrls(), update/versions.h).
//
// The list keeps the build's order for the whole run: nothing is shuffled,
// so every launcher asks the first server first. Each download begins at
// the server that served the last good download of this run (the first of
// the list when the run begins) and goes on through the list in order,
// wrapping round, until one server serves the file: whole, within its
// bound, and (with a digest) exactly the file the signed release names.
// That server then begins the next download. So a dead first server costs
// one failed attempt per run, not one per file, and a server that failed
// one file is still asked again, after the others, for the next.
//
// Every attempt is a whole download with its own trace lines ("Starting
// download of: <url>", which names the server; on failure "Error
// downloading : <url>" and the reason). Before the next server is tried the
// trace says "<what>: <base URL> failed; trying the next patch server:
// <base URL>", and when every server of a list of several failed,
// "<what>: every patch server failed." Only then does the download fail,
// and the caller takes its failure path as with a single server. With a
// single server nothing of this shows: one attempt, the trace as before.

// A new run: the first server of the list begins the next download. In a
// list of several the trace names them once, in order: "Patch servers:
// <base URL>, <base URL>".
void beginPatchServerRun();

// The base URL of the server that begins the next download.
std::string currentPatchServer();

// Runs attempt with each server's base URL in the order above until one
// attempt returns true; that server then begins the next download. False
// when every server failed (no attempt at all when the list is empty,
// which the trace says). `what` names the attempt in the trace.
bool tryPatchServers(const std::string& what, const std::function<bool(const std::string& baseUrl)>& attempt);

// downloadFile and downloadFileUpTo of "<base URL>/<name>" through
// tryPatchServers: the file `name` from the first server that serves it.
bool downloadFromPatchServers(const std::string& name, const char* localPath,
                              const update::FileDigest* expected = nullptr);
bool downloadFromPatchServersUpTo(const std::string& name, const char* localPath, std::uint64_t maxBytes);

// Shows a progress report in the upper bar, at most one per 120 ms; a report
// that comes sooner is dropped. The bar value is progress / maximum * 100 in
// double precision, rounded to a float and cut toward zero (29 of 100 gives
// 29); 0 when the maximum is 0.
void reportDownloadProgress(std::uint32_t progress, std::uint32_t maximum);

// The bar value for a report.
std::uint32_t progressPercent(std::uint32_t progress, std::uint32_t maximum);

// The name the status line shows for a local path: the path less the
// launcher's directory and one separator, or the whole path when it lies
// elsewhere; at most 59 characters.
std::string downloadDisplayName(const char* localPath);

}  // namespace update
