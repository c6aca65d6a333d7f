// screencapture: photographs windows of a running program for the documentation.
//
//   screencapture.exe --caption TEXT --contains TEXT --out FILE.bmp [--press ok] [--timeout-ms N]
//
// Waits until a visible dialog window with the caption shows a control whose text contains the
// second text, then writes the screen area covered by every visible window with that caption (a
// progress window and the message box it owns, say) to a 24-bit BMP file. With --press ok the
// found window is then answered with OK. Exit code 0 on success, 1 when nothing was found in
// time, 2 for a bad command line, 3 when the file cannot be written.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPollMs = 20;

struct Options {
  std::wstring caption;
  std::wstring contains;
  std::wstring out;
  bool pressOk = false;
  DWORD timeoutMs = 60000;
};

struct Search {
  const Options* options;
  HWND found = nullptr;
  RECT area{};
  bool haveArea = false;
};

std::wstring TextOf(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  return text;
}

BOOL CALLBACK FindText(HWND child, LPARAM found) {
  auto* search = reinterpret_cast<Search*>(found);
  if (IsWindowVisible(child) &&
      TextOf(child).find(search->options->contains) != std::wstring::npos) {
    search->found = GetAncestor(child, GA_ROOT);
    return FALSE;
  }
  return TRUE;
}

bool HasCaption(HWND window, const std::wstring& caption) {
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  return IsWindowVisible(window) && std::wstring(className) == L"#32770" &&
         TextOf(window) == caption;
}

BOOL CALLBACK FindWindowWithText(HWND window, LPARAM found) {
  auto* search = reinterpret_cast<Search*>(found);
  if (HasCaption(window, search->options->caption)) {
    EnumChildWindows(window, FindText, found);
  }
  return search->found == nullptr;
}

BOOL CALLBACK CollectArea(HWND window, LPARAM found) {
  auto* search = reinterpret_cast<Search*>(found);
  RECT rect;
  if (HasCaption(window, search->options->caption) && GetWindowRect(window, &rect)) {
    if (search->haveArea) {
      UnionRect(&search->area, &search->area, &rect);
    } else {
      search->area = rect;
      search->haveArea = true;
    }
  }
  return TRUE;
}

bool WriteBitmap(const std::wstring& path, const RECT& area) {
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool written = false;
  if (bitmap != nullptr) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    const DWORD imageBytes = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + imageBytes;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
      DWORD done = 0;
      written = WriteFile(out, &file, sizeof(file), &done, nullptr) &&
                WriteFile(out, &info.bmiHeader, sizeof(info.bmiHeader), &done, nullptr) &&
                WriteFile(out, bits, imageBytes, &done, nullptr);
      CloseHandle(out);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return written;
}

bool Parse(int argc, wchar_t** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == L"--caption" && hasValue) {
      o.caption = argv[++i];
    } else if (a == L"--contains" && hasValue) {
      o.contains = argv[++i];
    } else if (a == L"--out" && hasValue) {
      o.out = argv[++i];
    } else if (a == L"--timeout-ms" && hasValue) {
      o.timeoutMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (a == L"--press" && hasValue && std::wstring(argv[i + 1]) == L"ok") {
      o.pressOk = true;
      ++i;
    } else {
      return false;
    }
  }
  return !o.caption.empty() && !o.contains.empty() && !o.out.empty();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fwprintf(stderr,
                  L"usage: screencapture --caption TEXT --contains TEXT --out FILE.bmp "
                  L"[--press ok] [--timeout-ms N]\n");
    return 2;
  }
  Search search{&options};
  const DWORD start = GetTickCount();
  while (search.found == nullptr && GetTickCount() - start < options.timeoutMs) {
    EnumWindows(FindWindowWithText, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
      Sleep(kPollMs);
    }
  }
  if (search.found == nullptr) {
    std::fwprintf(stderr, L"no window \"%ls\" showing \"%ls\"\n", options.caption.c_str(),
                  options.contains.c_str());
    return 1;
  }
  // Let the windows finish painting: a window that has just appeared is drawn by its own thread.
  RedrawWindow(search.found, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  EnumWindows(CollectArea, reinterpret_cast<LPARAM>(&search));
  if (!WriteBitmap(options.out, search.area)) {
    return 3;
  }
  std::wprintf(L"{\"left\":%ld,\"top\":%ld,\"right\":%ld,\"bottom\":%ld}\n", search.area.left,
               search.area.top, search.area.right, search.area.bottom);
  if (options.pressOk) {
    PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  }
  return 0;
}
