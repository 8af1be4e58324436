// HTTP downloads on Windows: urlmon's URLDownloadToFileA with the launcher's
// one status callback object, CBSCallbackImpl.
//
// The callback's IBindStatusCallback slots, in order: QueryInterface, AddRef,
// Release (counts only; the object is never freed), OnStartBinding (keeps the
// binding so a stalled transfer can be abandoned), GetPriority (E_NOTIMPL),
// OnLowResource, OnProgress (passes bytes so far and total to the progress
// sink), OnStopBinding, GetBindInfo (leaves the service's choices alone),
// OnDataAvailable, OnObjectAvailable. Besides itself it hands out one more
// interface, IHttpNegotiate, through which it sees the response: a status of
// 400 or above ends the transfer as a failure instead of storing the error
// page, and the Content-Length is kept so a cut body counts as a failure.
#include "platform/download.h"

#include <urlmon.h>
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

namespace {

std::atomic<unsigned> stallLimitMs{kDefaultDownloadStallLimitMs};

// Reads "Content-Length: n" from raw response headers; -1 when absent.
long long contentLengthOf(const wchar_t* headers) {
  if (!headers) return -1;
  std::wstring text(headers);
  for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
  std::size_t at = text.find(L"content-length:");
  if (at == std::wstring::npos) return -1;
  return _wcstoi64(text.c_str() + at + 15, nullptr, 10);
}

class CBSCallbackImpl;

// The response side of the same callback object.
class CHttpNegotiateImpl : public IHttpNegotiate {
 public:
  explicit CHttpNegotiateImpl(CBSCallbackImpl* owner) : owner_(owner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
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
  void startDownload(DownloadProgressSink sink) {
    progressSink = sink;
    responseCode = 0;
    contentLength = -1;
    receivedBytes = 0;
    lastMoveTicks = GetTickCount();
    stalled = false;
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
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG, LPCWSTR) override {
    if (progress != receivedBytes) {
      receivedBytes = progress;
      lastMoveTicks = GetTickCount();
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

  // Called by the watchdog: abandons the transfer when no byte came for the
  // stall limit. True when it did.
  bool abortIfStalled(unsigned limitMs) {
    if (GetTickCount() - lastMoveTicks < limitMs) return false;
    stalled = true;
    EnterCriticalSection(&bindingGuard_);
    if (binding_) binding_->Abort();
    LeaveCriticalSection(&bindingGuard_);
    return true;
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
  volatile DWORD responseCode = 0;
  volatile long long contentLength = -1;
  volatile ULONG receivedBytes = 0;
  volatile DWORD lastMoveTicks = 0;
  volatile bool stalled = false;

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
  owner_->responseCode = code;
  owner_->contentLength = contentLengthOf(headers);
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
  unsigned limitMs;
};

// Wakes four times a second and abandons a stalled transfer.
DWORD WINAPI watchTransfer(void* context) {
  Watchdog* watchdog = static_cast<Watchdog*>(context);
  DWORD tick = watchdog->limitMs / 4 < 250 ? (watchdog->limitMs / 4 + 1) : 250;
  while (WaitForSingleObject(watchdog->done, tick) == WAIT_TIMEOUT) {
    if (bindStatusCallback->abortIfStalled(watchdog->limitMs)) break;
  }
  return 0;
}

long long fileSizeOf(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

void setDownloadStallLimitMs(unsigned milliseconds) { stallLimitMs = milliseconds; }
unsigned downloadStallLimitMs() { return stallLimitMs.load(); }

bool downloadUrlToFile(const char* url, const char* path, DownloadProgressSink sink) {
  DeleteUrlCacheEntryA(url);  // fetch from the server, never a cached copy
  bindStatusCallback->startDownload(sink);
  Watchdog watchdog{CreateEventA(nullptr, TRUE, FALSE, nullptr), stallLimitMs.load()};
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

  if (result != S_OK || bindStatusCallback->stalled) return false;
  if (bindStatusCallback->responseCode >= 400) return false;
  long long expected = bindStatusCallback->contentLength;
  if (expected >= 0 && fileSizeOf(path) != expected) return false;
  return true;
}

}  // namespace platform
