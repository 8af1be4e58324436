// HTTP downloads on Windows: urlmon's URLDownloadToFileA with the launcher's
// one status callback object, CBSCallbackImpl.
//
// The callback's IBindStatusCallback slots, in order: QueryInterface, AddRef,
// Release (counts only; the object is never freed), OnStartBinding (keeps the
// binding so a stalled transfer can be abandoned), GetPriority (E_NOTIMPL),
// OnLowResource, OnProgress (passes bytes so far and total to the progress
// sink, and notes whether the request went out on a new connection),
// OnStopBinding, GetBindInfo (leaves the service's choices alone),
// OnDataAvailable, OnObjectAvailable. Besides itself it hands out one more
// interface, IHttpNegotiate, through which it sees the response: a status of
// 400 or above ends the transfer as a failure instead of storing the error
// page, and the Content-Length of a body sent as it stands is kept so a cut
// body counts as a failure. The service asks for compressed bodies
// (Accept-Encoding) and stores them decoded, so the length of an encoded
// body says nothing about the stored file and is not compared.
//
// A watchdog thread abandons a transfer that stalls or trickles (the limits
// of platform/download.h); once the service is done, the file is flushed to
// the disk before the download counts as whole. A request that dies
// unanswered on a connection kept open from an earlier transfer, as a
// server closes an idle connection, is sent again (diedOnKeptConnection).
#include "platform/download.h"

#include <urlmon.h>
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/status.h"

namespace platform {

namespace {

// What the response headers say about the body.
struct BodyFacts {
  long long contentLength = -1;  // -1: not sent, or not a plain number
  bool identity = true;          // sent as it stands (no Content-Encoding, or "identity")
};

std::wstring lowerTrimmed(const std::wstring& text) {
  std::size_t first = text.find_first_not_of(L" \t");
  std::size_t last = text.find_last_not_of(L" \t");
  std::wstring out = first == std::wstring::npos ? std::wstring() : text.substr(first, last - first + 1);
  for (auto& c : out) c = static_cast<wchar_t>(towlower(c));
  return out;
}

// A Content-Length value: up to 18 decimal digits and nothing else, or -1.
long long plainLength(const std::wstring& value) {
  if (value.empty() || value.size() > 18) return -1;
  long long length = 0;
  for (wchar_t c : value) {
    if (c < L'0' || c > L'9') return -1;
    length = length * 10 + (c - L'0');
  }
  return length;
}

// Reads the raw response headers line by line; a header counts only by its
// whole name at the start of a line (the status line has no colon).
BodyFacts bodyFactsOf(const wchar_t* headers) {
  BodyFacts facts;
  if (!headers) return facts;
  std::wstring text(headers);
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    std::size_t colon = line.find(L':');
    if (colon == std::wstring::npos) continue;
    std::wstring name = lowerTrimmed(line.substr(0, colon));
    std::wstring value = lowerTrimmed(line.substr(colon + 1));
    if (name == L"content-length") facts.contentLength = plainLength(value);
    if (name == L"content-encoding" && !value.empty() && value != L"identity") facts.identity = false;
  }
  return facts;
}

class CBSCallbackImpl;

// The response side of the same callback object.
class CHttpNegotiateImpl : public IHttpNegotiate {
 public:
  explicit CHttpNegotiateImpl(CBSCallbackImpl* owner) : owner_(owner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // No headers of ours. Asking for "Connection: close" here keeps no request
  // off a kept-alive connection: urlmon asks WinINet for kept connections on
  // every request, and WinINet then sends "Connection: Keep-Alive" in place
  // of the header it was given (so under Wine). A request that dies on a kept
  // connection is sent again instead (downloadUrlToFile).
  HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) override {
    if (additionalHeaders) *additionalHeaders = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnResponse(DWORD code, LPCWSTR headers, LPCWSTR, LPWSTR* additionalHeaders) override;

 private:
  CBSCallbackImpl* owner_;
};

class CBSCallbackImpl : public IBindStatusCallback {
 public:
  CBSCallbackImpl() : negotiate_(this) {}

  // Per download: forget the last transfer's response and binding.
  void startDownload(DownloadProgressSink sink, std::uint64_t limit) {
    progressSink = sink;
    maxBytes = limit;
    responseCode = 0;
    contentLength = -1;
    identityBody = true;
    receivedBytes = 0;
    lastMoveTicks = GetTickCount();
    abandonedAs = DownloadFailure::kNone;
    requestSent = false;
    newConnection = false;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback)) {
      *object = static_cast<IBindStatusCallback*>(this);
    } else if (IsEqualIID(riid, IID_IHttpNegotiate)) {
      *object = static_cast<IHttpNegotiate*>(&negotiate_);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount; }
  ULONG STDMETHODCALLTYPE Release() override { return --refCount; }
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* newBinding) override {
    EnterCriticalSection(&bindingGuard_);
    if (newBinding) newBinding->AddRef();
    binding_ = newBinding;
    LeaveCriticalSection(&bindingGuard_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG status, LPCWSTR) override {
    // The service says when it opens a connection and when the request goes
    // out; a request sent without a connection opened for it went out on a
    // connection kept from an earlier transfer.
    if (status == BINDSTATUS_CONNECTING) newConnection = true;
    if (status == BINDSTATUS_SENDINGREQUEST) requestSent = true;
    if (progress != receivedBytes) {
      receivedBytes = progress;
      lastMoveTicks = GetTickCount();
    }
    // A body past the allowed size ends here: the service stops the
    // transfer when the callback asks it to.
    if (progress > maxBytes) {
      abandonedAs = DownloadFailure::kTooLarge;
      return E_ABORT;
    }
    if (progressSink) progressSink(progress, progressMax);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override {
    releaseBinding();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  // Called by the watchdog: abandons the transfer for the reason given.
  void abandon(DownloadFailure why) {
    abandonedAs = why;
    EnterCriticalSection(&bindingGuard_);
    if (binding_) binding_->Abort();
    LeaveCriticalSection(&bindingGuard_);
  }

  void releaseBinding() {
    EnterCriticalSection(&bindingGuard_);
    if (binding_) binding_->Release();
    binding_ = nullptr;
    LeaveCriticalSection(&bindingGuard_);
  }

  void initialiseGuard() { InitializeCriticalSection(&bindingGuard_); }

  ULONG refCount = 0;
  DownloadProgressSink progressSink = nullptr;
  std::uint64_t maxBytes = kNoDownloadLimit;
  volatile DWORD responseCode = 0;
  volatile long long contentLength = -1;
  volatile bool identityBody = true;
  std::atomic<ULONG> receivedBytes{0};
  std::atomic<DWORD> lastMoveTicks{0};
  std::atomic<DownloadFailure> abandonedAs{DownloadFailure::kNone};
  std::atomic<bool> requestSent{false};
  std::atomic<bool> newConnection{false};

 private:
  CHttpNegotiateImpl negotiate_;
  CRITICAL_SECTION bindingGuard_;
  IBinding* binding_ = nullptr;
};

HRESULT CHttpNegotiateImpl::QueryInterface(REFIID riid, void** object) { return owner_->QueryInterface(riid, object); }
ULONG CHttpNegotiateImpl::AddRef() { return owner_->AddRef(); }
ULONG CHttpNegotiateImpl::Release() { return owner_->Release(); }

HRESULT CHttpNegotiateImpl::OnResponse(DWORD code, LPCWSTR headers, LPCWSTR, LPWSTR* additionalHeaders) {
  if (additionalHeaders) *additionalHeaders = nullptr;
  BodyFacts facts = bodyFactsOf(headers);
  owner_->responseCode = code;
  owner_->contentLength = facts.contentLength;
  owner_->identityBody = facts.identity;
  // An error page is no file of ours: end the transfer here.
  return code >= 400 ? E_ABORT : S_OK;
}

// The one instance, set up during static initialisation and never freed.
CBSCallbackImpl* bindStatusCallback = [] {
  CBSCallbackImpl* callback = new CBSCallbackImpl;
  callback->initialiseGuard();
  return callback;
}();

struct Watchdog {
  HANDLE done;
  DownloadLimits limits;
};

// Bytes received by a moment of the transfer.
struct Sample {
  DWORD ticks;
  ULONG bytes;
};

// Wakes up to four times a second and abandons a transfer that has moved no
// byte for the stall limit, or fewer bytes over the last low-speed window
// than the low-speed rate asks for.
DWORD WINAPI watchTransfer(void* context) {
  Watchdog* watchdog = static_cast<Watchdog*>(context);
  const DownloadLimits& limits = watchdog->limits;
  DWORD tick = 250;
  if (limits.stallMs / 4 + 1 < tick) tick = limits.stallMs / 4 + 1;
  if (limits.lowSpeedWindowMs / 4 + 1 < tick) tick = limits.lowSpeedWindowMs / 4 + 1;
  // The oldest sample kept is the newest one that lies a whole window back.
  std::deque<Sample> samples{{GetTickCount(), 0}};
  while (WaitForSingleObject(watchdog->done, tick) == WAIT_TIMEOUT) {
    DWORD now = GetTickCount();
    ULONG bytes = bindStatusCallback->receivedBytes.load();
    if (now - bindStatusCallback->lastMoveTicks.load() >= limits.stallMs) {
      bindStatusCallback->abandon(DownloadFailure::kStalled);
      break;
    }
    // A count that goes back (the service started over) starts the window anew.
    if (bytes < samples.back().bytes) samples.clear();
    samples.push_back({now, bytes});
    while (samples.size() >= 2 && now - samples[1].ticks >= limits.lowSpeedWindowMs) samples.pop_front();
    DWORD span = now - samples.front().ticks;
    if (span < limits.lowSpeedWindowMs) continue;
    unsigned long long moved = bytes - samples.front().bytes;
    unsigned long long needed = static_cast<unsigned long long>(limits.lowSpeedBytesPerSecond) * span / 1000u;
    if (moved < needed) {
      bindStatusCallback->abandon(DownloadFailure::kTooSlow);
      break;
    }
  }
  return 0;
}

long long fileSizeOf(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The service writes the file and closes it without a flush: what the caller
// records next (an applied patch, a new version) must not reach the disk
// before the file does. Others may go on reading or writing it meanwhile.
// False, with the system's reason in *why, when it cannot be flushed.
bool flushToDisk(const char* path, std::string* why) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = lastSystemError();
    return false;
  }
  bool flushed = FlushFileBuffers(file) != 0;
  if (!flushed) *why = lastSystemError();
  CloseHandle(file);
  return flushed;
}

// Feeds the stored file to the hash in one read through it; false, with the
// system's reason in *why when it gave one, when that fails.
bool hashStoredFile(const char* path, Sha256* hash, std::string* why) {
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = "the file could not be read back: " + lastSystemError();
    return false;
  }
  std::vector<unsigned char> buffer(1 << 20);
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      *why = "the file could not be read back: " + lastSystemError();
      ok = false;
      break;
    }
    if (got == 0) break;
    if (!hash->update(buffer.data(), got)) {
      ok = false;
      break;
    }
  }
  CloseHandle(file);
  return ok;
}

// Whether the service's result is the system's word that the disk is full
// or would not take the file: the service then reports the system's error
// as its result (a Win32 error as an HRESULT, or the storage layer's own).
bool isWriteFailure(HRESULT result) {
  if (result == STG_E_MEDIUMFULL || result == STG_E_WRITEFAULT || result == STG_E_CANTSAVE) return true;
  if (HRESULT_FACILITY(result) != FACILITY_WIN32) return false;
  DWORD code = HRESULT_CODE(result);
  return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL || code == ERROR_WRITE_FAULT;
}

// The system's text for an HRESULT the service returned.
std::string textOfResult(HRESULT result) {
  SetLastError(HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : static_cast<DWORD>(result));
  return lastSystemError();
}

// Why the transfer failed, or kNone when the service stored a whole body;
// *why gets the system's reason where the service passed one on.
DownloadFailure failureOf(HRESULT result, const char* path, std::string* why) {
  DownloadFailure abandoned = bindStatusCallback->abandonedAs.load();
  if (abandoned != DownloadFailure::kNone) return abandoned;
  DWORD code = bindStatusCallback->responseCode;
  if (code >= 400) return DownloadFailure::kRefused;
  if (result != S_OK && isWriteFailure(result)) {
    *why = textOfResult(result);
    return DownloadFailure::kCannotWrite;
  }
  if (result != S_OK) return code == 0 ? DownloadFailure::kNoAnswer : DownloadFailure::kCut;
  // Only a body sent as it stands has the length of the stored file.
  long long expected = bindStatusCallback->contentLength;
  if (bindStatusCallback->identityBody && expected >= 0 && fileSizeOf(path) != expected) return DownloadFailure::kCut;
  // Reports may come coarsely: the stored file itself must keep the bound.
  std::uint64_t limit = bindStatusCallback->maxBytes;
  long long stored = fileSizeOf(path);
  if (stored >= 0 && static_cast<std::uint64_t>(stored) > limit) return DownloadFailure::kTooLarge;
  return DownloadFailure::kNone;
}

// One transfer by the service, watched by the watchdog; the service's result.
HRESULT transferOnce(const char* url, const char* path, DownloadProgressSink sink, std::uint64_t maxBytes) {
  DeleteUrlCacheEntryA(url);  // fetch from the server, never a cached copy
  bindStatusCallback->startDownload(sink, maxBytes);
  Watchdog watchdog{CreateEventA(nullptr, TRUE, FALSE, nullptr), downloadLimits()};
  HANDLE watcher = watchdog.done ? CreateThread(nullptr, 0, watchTransfer, &watchdog, 0, nullptr) : nullptr;

  HRESULT result = URLDownloadToFileA(nullptr, url, path, 0, bindStatusCallback);

  if (watchdog.done) SetEvent(watchdog.done);
  if (watcher) {
    WaitForSingleObject(watcher, INFINITE);
    CloseHandle(watcher);
  }
  if (watchdog.done) CloseHandle(watchdog.done);
  bindStatusCallback->releaseBinding();
  DeleteUrlCacheEntryA(url);  // the service's own copy is of no further use
  return result;
}

// Whether the last transfer failed because the connection it was sent on,
// one kept open from an earlier transfer, closed before any answer came.
// Servers and proxies close idle kept connections, and the close can cross
// the next request. The service does not send the request again when the
// server resets the connection rather than closing it (under Wine it then
// fails with "connection aborted"), but it drops that connection, so a GET
// sent again goes out on another one. (The Linux launcher opens a new
// connection for every transfer and never meets this.) Anything else (an
// answer, a refused connection, the watchdog, the disk) is the transfer's
// outcome.
bool diedOnKeptConnection(HRESULT result) {
  return result != S_OK && !isWriteFailure(result) &&
         bindStatusCallback->abandonedAs.load() == DownloadFailure::kNone && bindStatusCallback->responseCode == 0 &&
         bindStatusCallback->requestSent.load() && !bindStatusCallback->newConnection.load();
}

}  // namespace

Status downloadUrlToFile(const char* url, const char* path, DownloadProgressSink sink, DownloadFailure* failure,
                         const DownloadCheck* check) {
  DownloadFailure ignored;
  if (!failure) failure = &ignored;
  std::uint64_t maxBytes = check ? check->maxBytes : kNoDownloadLimit;
  // Each attempt that dies on a kept connection uses up one of the few the
  // service keeps; one whose request went out on a new connection is final.
  constexpr int kMaxAttempts = 3;
  HRESULT result = transferOnce(url, path, sink, maxBytes);
  for (int attempt = 1; attempt < kMaxAttempts && diedOnKeptConnection(result); ++attempt) {
    result = transferOnce(url, path, sink, maxBytes);
  }

  std::string why;
  *failure = failureOf(result, path, &why);
  if (*failure == DownloadFailure::kNone && !flushToDisk(path, &why)) *failure = DownloadFailure::kNotOnDisk;
  if (*failure == DownloadFailure::kNone && check && check->hash && !hashStoredFile(path, check->hash, &why))
    *failure = DownloadFailure::kCannotWrite;
  if (*failure != DownloadFailure::kNone) return downloadFailureStatus(*failure, why);
  return Status();
}

}  // namespace platform
