// HTTP downloads on Linux with libcurl.
//
// The body goes straight to the file through a large stdio buffer; progress
// comes from curl's transfer-info callback, which also watches for stalls
// (it runs about once a second even when nothing arrives). curl's own
// low-speed limit ends a transfer that trickles. A status of 400 or above
// fails the transfer before any of the error page is stored, and curl itself
// fails a body shorter than its Content-Length. No Accept-Encoding is sent,
// so the server sends the file as it stands.
#include "platform/download.h"

#include <curl/curl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"

namespace platform {

namespace {

// Hashes a download's bytes on a thread of its own. A large transfer's
// thread spends much of its time waiting: for the network, and for the
// disk, which Linux makes a writer wait for once much unwritten data is in
// memory; the hash is done in that time instead of after every piece. The
// bytes are copied into slots of their own, so curl's buffer is free again
// at once. Sixty-four slots of up to 512 KiB (32 MiB at most, for the
// download's length only) let the hash fall well behind and catch up while
// the transfer waits; eight made the transfer wait for the hash about as
// often as hashing inline did.
class HashOnItsOwnThread {
 public:
  explicit HashOnItsOwnThread(Sha256* hash) : hash_(hash), thread_([this] { run(); }) {}
  ~HashOnItsOwnThread() { finish(); }
  HashOnItsOwnThread(const HashOnItsOwnThread&) = delete;
  HashOnItsOwnThread& operator=(const HashOnItsOwnThread&) = delete;

  // Queues a copy of the bytes; waits while every slot is full.
  void add(const char* data, std::size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queued_ < kSlots; });
    Slot& slot = slots_[(first_ + queued_) % kSlots];
    slot.bytes.assign(data, data + size);
    ++queued_;
    changed_.notify_all();
  }

  // Waits until every queued byte is hashed and ends the thread; false when
  // the hash failed.
  bool finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    return ok_;
  }

 private:
  static constexpr std::size_t kSlots = 64;
  struct Slot {
    std::vector<char> bytes;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return queued_ > 0 || ending_; });
      if (queued_ == 0) return;
      Slot& slot = slots_[first_];
      lock.unlock();
      if (ok_ && !hash_->update(slot.bytes.data(), slot.bytes.size())) ok_ = false;
      lock.lock();
      first_ = (first_ + 1) % kSlots;
      --queued_;
      changed_.notify_all();
    }
  }

  Sha256* hash_;
  Slot slots_[kSlots];
  std::size_t first_ = 0, queued_ = 0;
  bool ending_ = false;
  bool ok_ = true;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
};

struct Transfer {
  std::FILE* out = nullptr;
  DownloadProgressSink sink = nullptr;
  unsigned stallMs = 0;
  curl_off_t lastBytes = -1;
  std::chrono::steady_clock::time_point lastMove;
  bool stalled = false;
  bool writeFailed = false;
  std::uint64_t maxBytes = kNoDownloadLimit;
  std::uint64_t bodyBytes = 0;
  bool tooLarge = false;
  HashOnItsOwnThread* hash = nullptr;
};

size_t writeBody(char* data, size_t size, size_t count, void* context) {
  Transfer* transfer = static_cast<Transfer*>(context);
  std::uint64_t length = static_cast<std::uint64_t>(size) * count;
  // A body past the allowed size ends here, before a byte more is stored.
  if (length > transfer->maxBytes - transfer->bodyBytes) {
    transfer->tooLarge = true;
    return 0;
  }
  transfer->bodyBytes += length;
  if (transfer->hash) transfer->hash->add(data, static_cast<std::size_t>(length));
  size_t written = std::fwrite(data, size, count, transfer->out);
  if (written != count) transfer->writeFailed = true;
  return written * size;
}

// Passes progress on and abandons the transfer after the stall limit.
int onTransferInfo(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  Transfer* transfer = static_cast<Transfer*>(context);
  auto clockNow = std::chrono::steady_clock::now();
  if (now != transfer->lastBytes) {
    transfer->lastBytes = now;
    transfer->lastMove = clockNow;
  } else if (clockNow - transfer->lastMove >= std::chrono::milliseconds(transfer->stallMs)) {
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

// Why curl_easy_perform failed, in the terms of the contract.
DownloadFailure failureOf(CURLcode result, long status, const Transfer& transfer) {
  if (transfer.tooLarge) return DownloadFailure::kTooLarge;
  if (transfer.stalled) return DownloadFailure::kStalled;
  if (transfer.writeFailed || result == CURLE_WRITE_ERROR) return DownloadFailure::kCannotWrite;
  if (status >= 400 || result == CURLE_HTTP_RETURNED_ERROR) return DownloadFailure::kRefused;
  // The low-speed limit ends a transfer with this code; before an answer
  // came it is the connection's time limit instead.
  if (result == CURLE_OPERATION_TIMEDOUT && status > 0) return DownloadFailure::kTooSlow;
  if (result == CURLE_PARTIAL_FILE || result == CURLE_RECV_ERROR) return DownloadFailure::kCut;
  return DownloadFailure::kNoAnswer;
}

long wholeSecondsAtLeastOne(unsigned milliseconds) {
  long seconds = static_cast<long>((milliseconds + 999u) / 1000u);
  return seconds > 0 ? seconds : 1L;
}

}  // namespace

bool downloadUrlToFile(const char* url, const char* path, DownloadProgressSink sink, DownloadFailure* failure,
                       const DownloadCheck* check) {
  DownloadFailure ignored;
  if (!failure) failure = &ignored;
  *failure = DownloadFailure::kNone;
  initialiseCurlOnce();
  const DownloadLimits limits = downloadLimits();
  Transfer transfer;
  transfer.sink = sink;
  transfer.stallMs = limits.stallMs;
  transfer.lastMove = std::chrono::steady_clock::now();
  std::unique_ptr<HashOnItsOwnThread> hashing;
  if (check) {
    transfer.maxBytes = check->maxBytes;
    if (check->hash) hashing = std::make_unique<HashOnItsOwnThread>(check->hash);
    transfer.hash = hashing.get();
  }
  transfer.out = openStdioFile(path, "wb");
  if (!transfer.out) {
    *failure = DownloadFailure::kCannotWrite;
    return false;
  }
  std::vector<char> fileBuffer(1 << 20);
  std::setvbuf(transfer.out, fileBuffer.data(), _IOFBF, fileBuffer.size());

  CURL* curl = curl_easy_init();
  if (!curl) {
    std::fclose(transfer.out);
    *failure = DownloadFailure::kNoAnswer;
    return false;
  }
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
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, wholeSecondsAtLeastOne(limits.stallMs));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(limits.lowSpeedBytesPerSecond));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, wholeSecondsAtLeastOne(limits.lowSpeedWindowMs));
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
  const bool hashed = !hashing || hashing->finish();
  if (result != CURLE_OK || transfer.stalled || transfer.tooLarge || status >= 400) {
    *failure = failureOf(result, status, transfer);
    return false;
  }
  if (!closed) {
    *failure = DownloadFailure::kNotOnDisk;
    return false;
  }
  if (!hashed) {
    *failure = DownloadFailure::kCannotWrite;  // the system's hash failed: nothing to check against
    return false;
  }
  return true;
}

}  // namespace platform
