// Fetching one URL into one local file over plain HTTP, synchronously, with
// progress reports. Windows: urlmon's URLDownloadToFileA with the launcher's
// status callback object; Linux: libcurl.
//
// What both sides promise:
//  - the transfer runs on the calling thread and returns when it is over;
//  - progress reports (bytes so far, total bytes or 0 while the size is not
//    known) reach the sink on the calling thread during the transfer;
//  - no cached copy is used: the server is asked every time;
//  - success only when the server answered with a status below 400, the
//    whole body was stored (all of Content-Length, when the server sent one
//    for a body without a content encoding; an encoded body is decoded and
//    its length is not that of the stored file) and the file has reached
//    the disk;
//  - a transfer that moves no byte for the stall limit is abandoned, and so
//    is one that brings fewer than the low-speed rate on average over the
//    low-speed window (a server that trickles a byte now and then would
//    otherwise keep the window waiting for days);
//  - no transfer fails because the server closed a connection kept open
//    from an earlier transfer just as the request arrived (servers and
//    proxies close idle kept connections): Linux opens a new connection for
//    every transfer; Windows, whose service keeps connections, sends a
//    request that died unanswered on a kept connection again on a new one;
//  - on failure, *failure (when given) says why, and the Status returned
//    gives describeDownloadFailure's text followed by the system's own
//    reason where the system gave one, taken at the call that failed ("the
//    local file could not be written: No space left on device").
// The file at path is created or cut to zero first; after a failure it may
// hold part of the body, so callers download to a name of their own and move
// the file into place only on success.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/crypto.h"
#include "platform/status.h"

namespace platform {

using DownloadProgressSink = void (*)(std::uint32_t progress, std::uint32_t maximum);

// The limits that end a transfer that does not move. Tests shorten them.
struct DownloadLimits {
  // No byte for this long: abandoned.
  unsigned stallMs;
  // Fewer than lowSpeedBytesPerSecond on average over lowSpeedWindowMs:
  // abandoned. Linux counts the window in whole seconds (rounded up).
  unsigned lowSpeedBytesPerSecond;
  unsigned lowSpeedWindowMs;
};
constexpr DownloadLimits kDefaultDownloadLimits = {60000, 1024, 60000};

namespace download_limits_detail {
inline std::atomic<unsigned> stallMs{kDefaultDownloadLimits.stallMs};
inline std::atomic<unsigned> lowSpeedBytesPerSecond{kDefaultDownloadLimits.lowSpeedBytesPerSecond};
inline std::atomic<unsigned> lowSpeedWindowMs{kDefaultDownloadLimits.lowSpeedWindowMs};
}  // namespace download_limits_detail

// The limits for the next transfers (a transfer reads them once, at its start).
inline void setDownloadLimits(const DownloadLimits& limits) {
  download_limits_detail::stallMs = limits.stallMs;
  download_limits_detail::lowSpeedBytesPerSecond = limits.lowSpeedBytesPerSecond;
  download_limits_detail::lowSpeedWindowMs = limits.lowSpeedWindowMs;
}
inline DownloadLimits downloadLimits() {
  return {download_limits_detail::stallMs.load(), download_limits_detail::lowSpeedBytesPerSecond.load(),
          download_limits_detail::lowSpeedWindowMs.load()};
}

// Why a transfer failed.
enum class DownloadFailure {
  kNone,
  kCannotWrite,  // the local file could not be created or written
  kNoAnswer,     // no connection, or no HTTP answer
  kRefused,      // the server answered with a status of 400 or above
  kCut,          // the body ended before all of its length had come
  kStalled,      // no byte for the stall limit
  kTooSlow,      // below the low-speed rate for the low-speed window
  kNotOnDisk,    // the file could not be made to reach the disk
  kTooLarge,     // the body passed the size the caller allows
};

// A short text for the trace.
inline const char* describeDownloadFailure(DownloadFailure failure) {
  switch (failure) {
    case DownloadFailure::kNone:
      return "no failure";
    case DownloadFailure::kCannotWrite:
      return "the local file could not be written";
    case DownloadFailure::kNoAnswer:
      return "the server could not be reached or gave no answer";
    case DownloadFailure::kRefused:
      return "the server refused the file";
    case DownloadFailure::kCut:
      return "the transfer was cut before the whole file had come";
    case DownloadFailure::kStalled:
      return "the server stopped sending";
    case DownloadFailure::kTooSlow:
      return "the transfer was too slow";
    case DownloadFailure::kNotOnDisk:
      return "the file could not be made to reach the disk";
    case DownloadFailure::kTooLarge:
      return "the server sent more than the release allows";
  }
  return "unknown failure";
}

// The failure's text with the system's reason after it, when there is one.
inline Status downloadFailureStatus(DownloadFailure failure, const std::string& systemReason) {
  std::string text = describeDownloadFailure(failure);
  if (!systemReason.empty()) text += ": " + systemReason;
  return Status::failure(text);
}

// What a caller knows of a file before it comes (a signed release names the
// size and SHA-256 of every file):
//  - maxBytes: the transfer ends as soon as the body passes it (kTooLarge),
//    so an endless body costs no more than that;
//  - hash, when given: fed every byte of the stored body before the call
//    returns true. Linux feeds it as the bytes arrive; Windows, where the
//    system's call writes the file itself, reads the file back once right
//    after the transfer.
constexpr std::uint64_t kNoDownloadLimit = ~std::uint64_t{0};
struct DownloadCheck {
  std::uint64_t maxBytes = kNoDownloadLimit;
  Sha256* hash = nullptr;
};

// Fetches url into the file at path; ok when the whole file was stored.
Status downloadUrlToFile(const char* url, const char* path, DownloadProgressSink sink,
                         DownloadFailure* failure = nullptr, const DownloadCheck* check = nullptr);

}  // namespace platform
