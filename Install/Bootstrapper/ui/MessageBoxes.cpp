#include "ui/MessageBoxes.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "config/TextUtil.h"
#include "res/ResourceIds.h"
#include "sys/BootstrapLog.h"
#include "sys/LineFormat.h"
#include "sys/PlatformChecks.h"
#include "ui/MessageTable.h"

namespace {

constexpr std::int32_t kLowestMinimumMsi = 150;

void Show(const MessageContext& context, const wchar_t* text, UINT type) {
  ShowMessageBox(context.owner, text, context.caption, type);
}

// The answer of a box that nobody could see: the one that commits to nothing. The program's
// boxes are questions with Yes and No, and messages with OK.
int SafeAnswer(UINT type) { return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK; }

// printf rules, cut to what fits the 1024-character buffer.
std::wstring Printf(const wchar_t* format, std::initializer_list<linefmt::Arg> args) {
  std::wstring built;
  linefmt::FormatBounded(built, format, args, kMessageBufferSize);
  return built;
}

}  // namespace

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
  if (!IsInteractiveWindowStation()) {
    LogString(L"[Info] Message not shown (no interactive desktop): %s: %s\n", caption, text);
    return SafeAnswer(type);
  }
  return MessageBoxW(owner, text, caption, type);
}

void LoadMessage(HINSTANCE instance, UINT messageId, wchar_t* buffer, int capacity) {
  std::memset(buffer, 0, sizeof(wchar_t) * static_cast<std::size_t>(capacity));
  LoadTableString(instance, messageId, buffer, capacity);
}

void ShowCancelledMessage(const MessageContext& context) {
  const std::wstring message = LoadTableText(context.instance, IDS_CANCELLED);
  Show(context, message.c_str(), MB_OK | MB_ICONWARNING);
}

void ShowErrorMessage(const MessageContext& context, UINT messageId) {
  const std::wstring message = LoadTableText(context.instance, messageId);
  Show(context, message.c_str(), MB_OK | MB_ICONERROR);
}

void ShowOutOfMemoryMessage(const MessageContext& context) {
  // No allocation on this path: it is the one that reports that there is no memory. The buffer
  // holds the longest row a product may give it.
  wchar_t message[kMessageBufferSize];
  LoadMessage(context.instance, IDS_OUT_OF_MEMORY, message, kMessageBufferSize);
  Show(context, message, MB_OK | MB_ICONERROR);
}

void ShowUsageMessage(const MessageContext& context) {
  const std::wstring message = LoadTableText(context.instance, IDS_USAGE);
  ShowMessageBox(nullptr, message.c_str(), context.caption, MB_OK | MB_ICONINFORMATION);
}

void ShowNumberMessage(const MessageContext& context, UINT messageId, std::int32_t number) {
  std::wstring built = LoadTableText(context.instance, messageId);
  const std::size_t printfPlaceholder = built.find(L"%d");
  const std::size_t insertPlaceholder = built.find(L"%1");
  const std::size_t at = std::min(printfPlaceholder, insertPlaceholder);
  if (at != std::wstring::npos) {
    built.replace(at, 2, text::Decimal(number));
  }
  if (built.size() > kMessageBufferSize - 1) {
    built.resize(kMessageBufferSize - 1);
  }
  Show(context, built.c_str(), MB_OK | MB_ICONERROR);
}

int ShowFormattedMessage(const MessageContext& context, UINT messageId, const wchar_t* text,
                         UINT boxType) {
  const std::wstring message = LoadTableText(context.instance, messageId);
  const std::wstring built = Printf(message.c_str(), {linefmt::Arg::Text(text)});
  return ShowMessageBox(context.owner, built.c_str(), context.caption, boxType);
}

void ShowInvalidVersionMessage(const MessageContext& context, const wchar_t* versionText) {
  const std::wstring message = LoadTableText(context.instance, IDS_INVALID_MSI_VERSION);
  const std::wstring built = Printf(
      message.c_str(), {linefmt::Arg::Text(versionText),
                        linefmt::Arg::Number(static_cast<std::uint32_t>(kLowestMinimumMsi))});
  Show(context, built.c_str(), MB_OK | MB_ICONERROR);
}

void ShowTextMessage(const MessageContext& context, UINT messageId, const wchar_t* text) {
  const std::wstring message = LoadTableText(context.instance, messageId);
  DWORD_PTR arguments[1] = {reinterpret_cast<DWORD_PTR>(text != nullptr ? text : L"")};
  wchar_t* formatted = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      message.c_str(), 0, 0, reinterpret_cast<wchar_t*>(&formatted), 0,
      reinterpret_cast<va_list*>(arguments));
  if (length != 0 && formatted != nullptr) {
    Show(context, formatted, MB_OK | MB_ICONERROR);
    LocalFree(formatted);
    return;
  }
  if (formatted != nullptr) {
    LocalFree(formatted);
  }
  ShowOutOfMemoryMessage(context);
}

void ShowInstallerErrorMessage(const MessageContext& context, DWORD code, HMODULE msiModule) {
  switch (code) {
    case ERROR_INSTALL_USEREXIT:
    case ERROR_INSTALL_FAILURE:
    case ERROR_INSTALL_SUSPEND:
    case ERROR_SUCCESS_REBOOT_INITIATED:
    case ERROR_SUCCESS_REBOOT_REQUIRED:
    case ERROR_APPHELP_BLOCK:
      return;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      code = ERROR_INSTALL_PACKAGE_OPEN_FAILED;
      break;
    default:
      break;
  }
  wchar_t message[kMessageBufferSize];
  std::memset(message, 0, sizeof(message));
  if (msiModule != nullptr && code <= 0xFFFF &&
      LoadStringW(msiModule, static_cast<UINT>(code), message, kMessageBufferSize) > 0) {
    Show(context, message, MB_OK | MB_ICONERROR);
    return;
  }
  if (code == ERROR_UNKNOWN_PRODUCT) {
    ShowNumberMessage(context, IDS_UNKNOWN_PRODUCT, static_cast<std::int32_t>(code));
    return;
  }
  ShowNumberMessage(context, IDS_INSTALL_ERROR, static_cast<std::int32_t>(code));
}
