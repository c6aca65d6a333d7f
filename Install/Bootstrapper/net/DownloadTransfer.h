// The transfer core shared by every download of the run (the product package from BASEURL and
// the engine update from UPDATELOCATION): URL canonicalisation, and a synchronous download whose
// progress events drive the dialog's bar and carry the user's cancellation back into the transfer.
// The bytes are taken from the transfer itself and written by the run into its own folder: the
// copy that the URL cache keeps on the way lies in a folder of the user's, where another process
// could put other bytes in its place the moment the transfer lets go of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "payload/HeldFile.h"
#include "sys/Win32.h"
#include "ui/ProgressDialog.h"
// After the one include of <windows.h>, which it needs.
#include <urlmon.h>

// The progress callback of one transfer. It lives on the heap with one reference held by its
// creator for the whole transfer, so that the references the download machinery takes and drops
// never destroy it; the creator's Release at the end does.
class CDownloadBindStatusCallback : public IBindStatusCallback {
 public:
  explicit CDownloadBindStatusCallback(ProgressDialog& dialog) : dialog_(dialog) {}
  virtual ~CDownloadBindStatusCallback() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD reserved, IBinding* binding) override;
  HRESULT STDMETHODCALLTYPE GetPriority(LONG* priority) override;
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD reserved) override;
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                                       LPCWSTR statusText) override;
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR error) override;
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) override;
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format,
                                            STGMEDIUM* medium) override;
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID iid, IUnknown* object) override;

  // Where the URL cache keeps its copy, as the transfer reported it; empty when it did not.
  const std::wstring& cacheFile() const { return cacheFile_; }

 private:
  ProgressDialog& dialog_;
  std::wstring cacheFile_;
  std::uint32_t referenceCount_ = 1;  // the creator's reference
  std::uint32_t lastProgress_ = 0;    // byte count of the previous progress event
};

// InternetCanonicalizeUrlW of `composedUrl` with no flags, first into a buffer of twice
// `composedCapacity` characters, and once more into the size the call asks for when that was too
// small. 0 with `canonicalUrl` set; ERROR_OUTOFMEMORY when no buffer could be had; otherwise the
// error of the call.
DWORD CanonicalizeDownloadUrl(const std::wstring& composedUrl, std::size_t composedCapacity,
                              std::wstring& canonicalUrl);

// URLOpenBlockingStreamW of `url` with a new progress callback for `dialog`, the bytes it
// delivers written to `target` in the run's own folder, and that file held in `hold`, confirmed
// against what was received (see WriteHeldFile). `cacheFile` receives the path of the URL cache's
// copy as the transfer reported it (empty when it reported none). The transfer's HRESULT when it
// failed; otherwise S_OK, or the Windows error of writing or holding the file as an HRESULT, in
// which case nothing is held.
HRESULT DownloadToHeldFile(const wchar_t* url, ProgressDialog& dialog, const std::wstring& target,
                           HeldFile& hold, std::wstring& cacheFile);

// The downloaded copy of `url` leaves the URL cache; a failure is of no consequence.
void DeleteCachedCopy(const wchar_t* url);
