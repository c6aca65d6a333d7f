// The one progress window of the run: an icon, a main text, a detail line and a progress bar.
// The Escape key is the user's only way to cancel; it sets the cancelled flag, which the next
// text update or download progress event turns into the end of the run.
#pragma once

#include <cstdint>
#include <string>

#include "sys/Win32.h"

struct ProgressDialog {
  HINSTANCE instance = nullptr;  // holds the template, the icon and the button's text
  HWND window = nullptr;         // null before creation and after destruction
  HWND owner = nullptr;          // always null: the dialog has no owner
  std::wstring title;
  bool ready = false;          // text operations do nothing until creation has completed
  bool cancelled = false;      // set by Escape, cleared only by Destroy
  std::uint32_t range = 0;     // upper bound of the bar; the lower bound is 0
  std::uint32_t position = 0;  // sum of the advances since the range was set
  bool quiet = false;          // created but never shown (silent runs)

  // Creates (or, when the window exists, refreshes) the dialog and shows it unless the UI level
  // is silent. False when the window cannot be created; the run then goes on without it.
  bool Create(HINSTANCE moduleInstance, const wchar_t* titleText, std::uint32_t uiLevel);

  // Set the main text or the detail line: -1 when the dialog is not ready, 1 when the user has
  // cancelled (the text is then left as it was), 0 when the text was set. They do not pump.
  int SetMainText(const wchar_t* text);
  int SetDetailText(const wchar_t* text);

  // Progress bar updates; each pumps the message queue afterwards, which is how the Escape key
  // reaches the dialog while a long operation runs on this thread.
  void SetProgressRange(std::uint32_t upperBound);
  void AdvanceProgress(std::uint32_t delta);

  bool IsCancelled() const { return cancelled; }

  // Destroys the window; the title and the quiet flag keep their values.
  bool Destroy();

  // Dispatches what is waiting in the queue through IsDialogMessageW; never waits.
  void PumpMessages();
};
