// Downloading one file from the patch server, with the status line and the
// upper progress bar following the transfer.
#pragma once

#include <cstdint>
#include <string>

#include "update/release_record.h"

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
// "The download failed: <why>." (the reasons of platform/download.h).
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
