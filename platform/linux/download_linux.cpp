// HTTP downloads on Linux with libcurl.
//
// The body goes straight to the file through a large stdio buffer; progress
// comes from curl's transfer-info callback, which also watches for stalls
// (it runs about once a second even when nothing arrives). A status of 400
// or above fails the transfer before any of the error page is stored, and
// curl itself fails a body shorter than its Content-Length.
#include "platform/download.h"

#include <curl/curl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"

namespace platform {

namespace {

std::atomic<unsigned> stallLimitMs{kDefaultDownloadStallLimitMs};

struct Transfer {
  std::FILE* out = nullptr;
  DownloadProgressSink sink = nullptr;
  curl_off_t lastBytes = -1;
  std::chrono::steady_clock::time_point lastMove;
  bool stalled = false;
};

size_t writeBody(char* data, size_t size, size_t count, void* context) {
  Transfer* transfer = static_cast<Transfer*>(context);
  return std::fwrite(data, size, count, transfer->out) * size;
}

// Passes progress on and abandons the transfer after the stall limit.
int onTransferInfo(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  Transfer* transfer = static_cast<Transfer*>(context);
  auto clockNow = std::chrono::steady_clock::now();
  if (now != transfer->lastBytes) {
    transfer->lastBytes = now;
    transfer->lastMove = clockNow;
  } else if (clockNow - transfer->lastMove >= std::chrono::milliseconds(stallLimitMs.load())) {
    transfer->stalled = true;
    return 1;  // abort
  }
  if (transfer->sink) transfer->sink(static_cast<std::uint32_t>(now), static_cast<std::uint32_t>(total));
  return 0;
}

// Blanks and other bytes that may not stand in a URL are sent escaped, as
// the Windows service does ("Start VLM.exe" is one of the server's names).
std::string escapeUrl(const char* url) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(url); *p; ++p) {
    if (*p <= 0x20 || *p >= 0x7F || *p == '"' || *p == '<' || *p == '>' || *p == '\\' || *p == '^' || *p == '`' ||
        *p == '{' || *p == '|' || *p == '}') {
      out += '%';
      out += hex[*p >> 4];
      out += hex[*p & 15];
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out;
}

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

void setDownloadStallLimitMs(unsigned milliseconds) { stallLimitMs = milliseconds; }
unsigned downloadStallLimitMs() { return stallLimitMs.load(); }

bool downloadUrlToFile(const char* url, const char* path, DownloadProgressSink sink) {
  initialiseCurlOnce();
  Transfer transfer;
  transfer.sink = sink;
  transfer.lastMove = std::chrono::steady_clock::now();
  transfer.out = openStdioFile(path, "wb");
  if (!transfer.out) return false;
  std::vector<char> fileBuffer(1 << 20);
  std::setvbuf(transfer.out, fileBuffer.data(), _IOFBF, fileBuffer.size());

  CURL* curl = curl_easy_init();
  if (!curl) {
    std::fclose(transfer.out);
    return false;
  }
  long stallSeconds = static_cast<long>((stallLimitMs.load() + 999) / 1000);
  std::string escaped = escapeUrl(url);
  curl_easy_setopt(curl, CURLOPT_URL, escaped.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  // Plain web transfers only, also after a redirect: never file:// or others.
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#endif
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, stallSeconds > 0 ? stallSeconds : 1L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onTransferInfo);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  // Never a cached copy from a proxy in between.
  struct curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

  CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  // What the caller records next (an applied patch, a new version) must not
  // reach the disk before the file does.
  bool flushed = std::fflush(transfer.out) == 0 && ::fsync(fileno(transfer.out)) == 0;
  bool closed = std::fclose(transfer.out) == 0 && flushed;
  return result == CURLE_OK && closed && !transfer.stalled && status < 400;
}

}  // namespace platform
