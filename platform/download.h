// Fetching one URL into one local file over plain HTTP, synchronously, with
// progress reports. Windows: urlmon's URLDownloadToFileA with the launcher's
// status callback object; Linux: libcurl.
//
// What both sides promise:
//  - the transfer runs on the calling thread and returns when it is over;
//  - progress reports (bytes so far, total bytes or 0 while the size is not
//    known) reach the sink on the calling thread during the transfer;
//  - no cached copy is used: the server is asked every time;
//  - success only when the server answered with a status below 400 and the
//    whole body (all of Content-Length, when the server sent one) was stored;
//  - a transfer that moves no byte for the stall limit is abandoned.
// The file at path is created or cut to zero first; after a failure it may
// hold part of the body, so callers download to a name of their own and move
// the file into place only on success.
#pragma once

#include <cstdint>

namespace platform {

using DownloadProgressSink = void (*)(std::uint32_t progress, std::uint32_t maximum);

constexpr unsigned kDefaultDownloadStallLimitMs = 60000;

// How long a transfer may go without receiving a byte. Tests shorten it.
void setDownloadStallLimitMs(unsigned milliseconds);
unsigned downloadStallLimitMs();

// Fetches url into the file at path; true when the whole file was stored.
bool downloadUrlToFile(const char* url, const char* path, DownloadProgressSink sink);

}  // namespace platform
