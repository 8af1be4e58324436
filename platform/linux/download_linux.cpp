// HTTP downloads on Linux with libcurl.
//
// The body goes to the file in writes of 1 MiB; progress comes from curl's
// transfer-info callback, which also watches for stalls (it runs about once
// a second even when nothing arrives). curl's own low-speed limit ends a
// transfer that trickles. A status of 400 or above fails the transfer before
// any of the error page is stored, and curl itself fails a body shorter than
// its Content-Length. No Accept-Encoding is sent, so the server sends the
// file as it stands.
#include "platform/download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"

namespace platform {

namespace {

// Hashes a download from its file, as the file grows, on a thread that
// takes only a processor nobody else wants (SCHED_IDLE). A large transfer
// is paced by the disk (Linux makes a writer wait once much unwritten data
// is in memory) and by the network, and ends by waiting for the disk; the
// hash is done in those gaps instead of taking a processor from the
// transfer, the server or the system's writing. It may fall behind by any
// amount and costs no memory for that: the bytes it has not read yet are
// in the file. When the transfer ends, the caller hashes what is left at
// its own priority, so a busy machine cannot hold the check back.
class HashFromTheFile {
 public:
  HashFromTheFile(Sha256* hash, int fd) : hash_(hash), fd_(fd), thread_([this] { run(); }) {}
  ~HashFromTheFile() { stopThread(); }
  HashFromTheFile(const HashFromTheFile&) = delete;
  HashFromTheFile& operator=(const HashFromTheFile&) = delete;

  // The file now holds its first `size` bytes.
  void grew(std::uint64_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    written_ = size;
    changed_.notify_all();
  }

  // Hashes the file's first `size` bytes to the end on the calling thread;
  // false when a read or the hash failed.
  bool finish(std::uint64_t size) {
    stopThread();
    while (ok_ && hashed_ < size) hashPiece(size);
    return ok_;
  }

  // The system's reason when a read failed; empty otherwise. After finish.
  const std::string& readError() const { return readError_; }

 private:
  static constexpr std::size_t kPiece = 1u << 20;

  void run() {
    sched_param idle{};
    // Where the system refuses, the thread runs at the priority it has.
    static_cast<void>(pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle));
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || written_ > hashed_; });
      if (stopping_ || !ok_) return;
      std::uint64_t upTo = written_;
      lock.unlock();
      hashPiece(upTo);
      lock.lock();
    }
  }

  // Hashes the next piece before upTo. hashed_ and the hash belong to the
  // thread until stopThread, then to the caller.
  void hashPiece(std::uint64_t upTo) {
    std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(upTo - hashed_, kPiece));
    if (buffer_.size() < length) buffer_.resize(kPiece);
    ssize_t got;
    do {
      got = ::pread(fd_, buffer_.data(), length, static_cast<off_t>(hashed_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) readError_ = "the file could not be read back: " + lastSystemError();
    if (got <= 0 || !hash_->update(buffer_.data(), static_cast<std::size_t>(got))) {
      ok_ = false;
      return;
    }
    hashed_ += static_cast<std::uint64_t>(got);
  }

  void stopThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

  Sha256* hash_;
  int fd_;
  std::vector<char> buffer_;
  std::uint64_t hashed_ = 0;
  bool ok_ = true;
  std::string readError_;
  std::uint64_t written_ = 0;  // under mutex_
  bool stopping_ = false;      // under mutex_
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
};

// Bytes go to the file in writes this large: many small writes make the
// transfer and the flush after it slower.
constexpr std::size_t kWriteBlock = 1u << 20;

struct Transfer {
  int out = -1;
  std::vector<char> block;  // bytes not yet written, fewer than kWriteBlock
  std::uint64_t inFile = 0;
  DownloadProgressSink sink = nullptr;
  unsigned stallMs = 0;
  curl_off_t lastBytes = -1;
  std::chrono::steady_clock::time_point lastMove;
  bool stalled = false;
  bool writeFailed = false;
  std::string writeError;  // the system's reason, taken where the write failed
  std::uint64_t maxBytes = kNoDownloadLimit;
  std::uint64_t bodyBytes = 0;
  bool tooLarge = false;
  HashFromTheFile* hash = nullptr;
};

// Writes the block's bytes to the file; false, with the system's reason in
// writeError, when the system refused.
bool writeBlock(Transfer& transfer) {
  for (std::size_t done = 0; done < transfer.block.size();) {
    ssize_t n = ::write(transfer.out, transfer.block.data() + done, transfer.block.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) transfer.writeError = lastSystemError();
    if (n == 0) transfer.writeError = "the system wrote no byte";
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  transfer.inFile += transfer.block.size();
  transfer.block.clear();
  // Only bytes in the file can be hashed.
  if (transfer.hash) transfer.hash->grew(transfer.inFile);
  return true;
}

size_t writeBody(char* data, size_t size, size_t count, void* context) {
  Transfer* transfer = static_cast<Transfer*>(context);
  std::uint64_t length = static_cast<std::uint64_t>(size) * count;
  // A body past the allowed size ends here, before a byte more is stored.
  if (length > transfer->maxBytes - transfer->bodyBytes) {
    transfer->tooLarge = true;
    return 0;
  }
  transfer->bodyBytes += length;
  for (std::uint64_t taken = 0; taken < length;) {
    std::size_t room = kWriteBlock - transfer->block.size();
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(room, length - taken));
    transfer->block.insert(transfer->block.end(), data + taken, data + taken + piece);
    taken += piece;
    if (transfer->block.size() == kWriteBlock && !writeBlock(*transfer)) {
      transfer->writeFailed = true;
      return 0;
    }
  }
  return static_cast<size_t>(length);
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

Status downloadUrlToFile(const char* url, const char* path, DownloadProgressSink sink, DownloadFailure* failure,
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
  // Read access too: the hash reads the bytes back from this same file.
  File out(static_cast<FileHandle>(::open(nativePath(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)));
  if (!out) {
    *failure = DownloadFailure::kCannotWrite;
    return downloadFailureStatus(*failure, lastSystemError());
  }
  transfer.out = static_cast<int>(out.get());
  transfer.block.reserve(kWriteBlock);
  std::unique_ptr<HashFromTheFile> hashing;
  if (check) {
    transfer.maxBytes = check->maxBytes;
    if (check->hash) hashing = std::make_unique<HashFromTheFile>(check->hash, transfer.out);
    transfer.hash = hashing.get();
  }

  CURL* curl = curl_easy_init();
  if (!curl) {
    *failure = DownloadFailure::kNoAnswer;
    return downloadFailureStatus(*failure, "");
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
  const bool transferred = result == CURLE_OK && !transfer.stalled && !transfer.tooLarge && status < 400;
  if (!transferred) {
    *failure = failureOf(result, status, transfer);
    return downloadFailureStatus(*failure, *failure == DownloadFailure::kCannotWrite ? transfer.writeError : "");
  }
  // What the caller records next (an applied patch, a new version) must not
  // reach the disk before the file does. Each reason is taken at its call.
  std::string why;
  if (!writeBlock(transfer)) {
    *failure = DownloadFailure::kCannotWrite;
    why = transfer.writeError;
  } else if (::fsync(transfer.out) != 0) {
    *failure = DownloadFailure::kNotOnDisk;
    why = lastSystemError();
  }
  // A failed file is thrown away: the rest of its hash is not needed.
  const bool hashed = !hashing || *failure != DownloadFailure::kNone || hashing->finish(transfer.inFile);
  if (!hashed) why = hashing->readError();
  hashing.reset();
  if (::close(static_cast<int>(out.release())) != 0 && *failure == DownloadFailure::kNone) {
    *failure = DownloadFailure::kNotOnDisk;
    why = lastSystemError();
  }
  if (*failure == DownloadFailure::kNone && !hashed) {
    *failure = DownloadFailure::kCannotWrite;  // the system's hash failed: nothing to check against
  }
  if (*failure != DownloadFailure::kNone) return downloadFailureStatus(*failure, why);
  return Status();
}

}  // namespace platform
