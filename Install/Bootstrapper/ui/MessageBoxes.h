// Every message box of the run: a text from the string table, perhaps with one value put in,
// shown in a standard box. The routines decide nothing; callers choose message and value.
#pragma once

#include <cstdint>

#include "sys/Win32.h"

struct MessageContext {
  HINSTANCE instance = nullptr;  // module whose string table holds the message
  HWND owner = nullptr;          // the progress dialog's window while it exists, else none
  const wchar_t* caption = L"";  // the application title, or a step's own caption
};

// A text built from a message by the printf rules, and the installer's own messages, are cut to
// one less than this; the "Out of Memory" message, which allocates nothing, is read into a buffer
// of this size, which holds the longest row the build allows. Every other message row is read
// whole (LoadTableText).
constexpr int kMessageBufferSize = 1024;

// Every message box of the program is shown through this. Where nobody can answer (the window
// station is not interactive) it shows nothing: the caption and text go to the log and the box's
// safe answer is returned: No to a question, OK to a message.
int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

// String 24, warning icon.
void ShowCancelledMessage(const MessageContext& context);
// A message as stored, error icon.
void ShowErrorMessage(const MessageContext& context, UINT messageId);
// String 12, error icon.
void ShowOutOfMemoryMessage(const MessageContext& context);
// String 35, information icon, never an owner.
void ShowUsageMessage(const MessageContext& context);
// The message with `number` in signed decimal in place of its one placeholder ("%d" or "%1").
void ShowNumberMessage(const MessageContext& context, UINT messageId, std::int32_t number);
// The message with `text` put in for "%s" (printf rules); returns the button pressed.
int ShowFormattedMessage(const MessageContext& context, UINT messageId, const wchar_t* text,
                         UINT boxType);
// String 25 with the rejected text and the lowest accepted version, 150.
void ShowInvalidVersionMessage(const MessageContext& context, const wchar_t* versionText);
// The message with `text` put in for "%1" (FormatMessageW rules); "Out of Memory" when that fails.
void ShowTextMessage(const MessageContext& context, UINT messageId, const wchar_t* text);
// The Windows Installer's own text for `code` from msi.dll, with the program's fallbacks; nothing
// for the codes that mean the user already knows (cancelled, failed with the engine's own UI,
// restart pending).
void ShowInstallerErrorMessage(const MessageContext& context, DWORD code, HMODULE msiModule);

// Loads a string-table row of `instance` into `buffer` of `capacity` characters; the buffer is
// cleared first so that a missing row reads as empty text. For what must not allocate and for
// setting rows read into a setting's buffer; a message is read whole with LoadTableText.
void LoadMessage(HINSTANCE instance, UINT messageId, wchar_t* buffer, int capacity);
