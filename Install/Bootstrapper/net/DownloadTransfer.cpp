#include "net/DownloadTransfer.h"

#include <memory>
#include <new>

#include "net/InternetFunctions.h"
#include "payload/PayloadExtraction.h"

namespace {

// A buffer of `characters` wide characters, or null when there is no memory for it.
std::unique_ptr<wchar_t[]> AllocateText(std::size_t characters) {
  return std::unique_ptr<wchar_t[]>(new (std::nothrow) wchar_t[characters]());
}

// Gives a COM object's reference back when its owner goes, however the function is left.
struct ReleaseReference {
  void operator()(IUnknown* object) const { object->Release(); }
};

// The bytes a transfer delivers through its stream, read as they come.
class TransferSource final : public ByteSource {
 public:
  explicit TransferSource(IStream* stream) : stream_(stream) {}

  DWORD Read(void* buffer, DWORD capacity, DWORD& delivered) override {
    ULONG read = 0;
    const HRESULT result = stream_->Read(buffer, capacity, &read);
    delivered = read;
    if (FAILED(result)) {
      // A transfer that fails or is aborted half way is a failed transfer, not a short file.
      failure_ = result;
      delivered = 0;
      return ERROR_READ_FAULT;
    }
    return ERROR_SUCCESS;
  }

  HRESULT failure() const { return failure_; }

 private:
  IStream* stream_;
  HRESULT failure_ = S_OK;
};

}  // namespace

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) {
    return E_INVALIDARG;
  }
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBindStatusCallback)) {
    *object = static_cast<IBindStatusCallback*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CDownloadBindStatusCallback::AddRef() { return ++referenceCount_; }

ULONG STDMETHODCALLTYPE CDownloadBindStatusCallback::Release() {
  const std::uint32_t remaining = --referenceCount_;
  if (remaining == 0) {
    delete this;
  }
  return remaining;
}

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::OnStartBinding(DWORD, IBinding*) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::GetPriority(LONG*) { return S_OK; }

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::OnLowResource(DWORD) { return S_OK; }

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::OnProgress(ULONG progress, ULONG progressMax,
                                                                  ULONG statusCode,
                                                                  LPCWSTR statusText) {
  // Every range and advance pumps the dialog's queue; that is how Escape reaches the cancelled
  // flag while the transfer holds the thread. The counts are 32-bit and wrap like the bar does.
  switch (statusCode) {
    case BINDSTATUS_BEGINDOWNLOADDATA:
      dialog_.SetProgressRange(progressMax);
      lastProgress_ = 0;
      if (dialog_.IsCancelled()) {
        return E_ABORT;
      }
      [[fallthrough]];
    case BINDSTATUS_DOWNLOADINGDATA: {
      const std::uint32_t delta = static_cast<std::uint32_t>(progress) - lastProgress_;
      lastProgress_ = progress;
      if (delta != 0) {
        dialog_.AdvanceProgress(delta);
      }
      return dialog_.IsCancelled() ? E_ABORT : S_OK;
    }
    case BINDSTATUS_ENDDOWNLOADDATA: {
      // The bar ends at the maximum reported now, whatever the data events added up to.
      const std::uint32_t delta = static_cast<std::uint32_t>(progressMax) - lastProgress_;
      if (delta != 0) {
        dialog_.AdvanceProgress(delta);
      }
      return dialog_.IsCancelled() ? E_ABORT : S_OK;
    }
    case BINDSTATUS_CACHEFILENAMEAVAILABLE:
      if (statusText != nullptr) {
        try {
          cacheFile_ = statusText;
        } catch (const std::bad_alloc&) {
          // Only the log names the cache's copy; nothing may leave a COM call.
          cacheFile_.clear();
        }
      }
      return S_OK;
    default:
      return S_OK;
  }
}

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::OnStopBinding(HRESULT, LPCWSTR) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::GetBindInfo(DWORD* flags, BINDINFO*) {
  // Always from the server: an entry for the URL in the URL cache, which is the user's, is never
  // taken for the download. The rest stays as the download machinery prepared it.
  if (flags != nullptr) {
    *flags |= BINDF_GETNEWESTVERSION | BINDF_PRAGMA_NO_CACHE;
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*,
                                                                       STGMEDIUM*) {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDownloadBindStatusCallback::OnObjectAvailable(REFIID, IUnknown*) {
  return S_OK;
}

DWORD CanonicalizeDownloadUrl(const std::wstring& composedUrl, std::size_t composedCapacity,
                              std::wstring& canonicalUrl) {
  const auto canonicalize = InternetFunctions().internetCanonicalizeUrl;
  if (canonicalize == nullptr) {
    return ERROR_PROC_NOT_FOUND;
  }
  DWORD capacity = static_cast<DWORD>(2 * composedCapacity);
  std::unique_ptr<wchar_t[]> buffer = AllocateText(capacity);
  if (!buffer) {
    return ERROR_OUTOFMEMORY;
  }
  DWORD length = capacity;
  BOOL done = canonicalize(composedUrl.c_str(), buffer.get(), &length, 0);
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  if (!done && error == ERROR_INSUFFICIENT_BUFFER) {
    // The failed call reported the size it needs, terminator included; one more try with that.
    buffer.reset();
    capacity = length;
    if (capacity == 0) {
      return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer = AllocateText(capacity);
    if (!buffer) {
      return ERROR_OUTOFMEMORY;
    }
    length = capacity;
    done = canonicalize(composedUrl.c_str(), buffer.get(), &length, 0);
    error = done ? ERROR_SUCCESS : GetLastError();
  }
  // A failure that reports no error leaves the buffer as the call wrote it and counts as done.
  if (error != ERROR_SUCCESS) {
    return error;
  }
  buffer[capacity - 1] = L'\0';
  canonicalUrl = buffer.get();
  return ERROR_SUCCESS;
}

HRESULT DownloadToHeldFile(const wchar_t* url, ProgressDialog& dialog, const std::wstring& target,
                           HeldFile& hold, std::wstring& cacheFile) {
  hold.Release();
  cacheFile.clear();
  const auto open = InternetFunctions().urlOpenBlockingStream;
  if (open == nullptr) {
    return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  // The creator's reference, held for the whole transfer.
  const std::unique_ptr<CDownloadBindStatusCallback, ReleaseReference> callback(
      new (std::nothrow) CDownloadBindStatusCallback(dialog));
  if (!callback) {
    return E_OUTOFMEMORY;
  }
  IStream* opened = nullptr;
  HRESULT result = open(nullptr, url, &opened, 0, callback.get());
  // The transfer keeps the cache's copy in use until its stream goes, which is what keeps others
  // from putting other bytes in its place while they are read.
  std::unique_ptr<IStream, ReleaseReference> stream(opened);
  if (SUCCEEDED(result) && !stream) {
    result = E_UNEXPECTED;
  }
  if (SUCCEEDED(result)) {
    TransferSource source(stream.get());
    const DWORD written = WriteHeldFile(source, target, hold);
    result = FAILED(source.failure()) ? source.failure() : HRESULT_FROM_WIN32(written);
    if (FAILED(result)) {
      hold.Release();
    }
  }
  stream.reset();
  cacheFile = callback->cacheFile();
  return result;
}

void DeleteCachedCopy(const wchar_t* url) {
  if (const auto remove = InternetFunctions().deleteUrlCacheEntry) {
    remove(url);
  }
}
