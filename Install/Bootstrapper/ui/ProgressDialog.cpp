#include "ui/ProgressDialog.h"

#include <commctrl.h>

#include <iterator>

#include "res/ResourceIds.h"
#include "ui/MessageTable.h"

namespace {

constexpr wchar_t kDialogProperty[] = L"Bootstrapper.ProgressDialog";

ProgressDialog* DialogOf(HWND window) {
  return static_cast<ProgressDialog*>(GetPropW(window, kDialogProperty));
}

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetPropW(window, kDialogProperty, reinterpret_cast<HANDLE>(lParam));
      return TRUE;
    case WM_COMMAND:
      // Escape arrives here as IDCANCEL through IsDialogMessageW. The hidden button has its own
      // id, so a click where it would be does nothing.
      if (wParam == IDCANCEL) {
        if (ProgressDialog* dialog = DialogOf(window)) {
          dialog->cancelled = true;
        }
        return TRUE;
      }
      return FALSE;
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(wParam) != GetDlgItem(window, IDC_CANCEL_BUTTON)) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_NCDESTROY:
      RemovePropW(window, kDialogProperty);
      return FALSE;
    default:
      return FALSE;
  }
}

// Centres the window on the desktop work area; divisions truncate toward zero, so a window wider
// than the work area gets a negative offset.
void CentreOnWorkArea(HWND window) {
  RECT windowRect;
  if (!GetWindowRect(window, &windowRect)) {
    return;
  }
  RECT work;
  if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
    work.left = 0;
    work.top = 0;
    work.right = GetSystemMetrics(SM_CXSCREEN);
    work.bottom = GetSystemMetrics(SM_CYSCREEN);
  }
  const int width = windowRect.right - windowRect.left;
  const int height = windowRect.bottom - windowRect.top;
  const int x = work.left + (work.right - width - work.left) / 2;
  const int y = work.top + (work.bottom - height - work.top) / 2;
  MoveWindow(window, x, y, width, height, TRUE);
}

int SetControlText(ProgressDialog& dialog, int controlId, const wchar_t* text) {
  if (!dialog.ready) {
    return -1;
  }
  if (dialog.cancelled) {
    return 1;
  }
  SetDlgItemTextW(dialog.window, controlId, text);
  return 0;
}

}  // namespace

bool ProgressDialog::Create(HINSTANCE moduleInstance, const wchar_t* titleText,
                            std::uint32_t uiLevel) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  instance = moduleInstance;
  owner = nullptr;
  quiet = (uiLevel & 0xF) == 2;
  title = titleText != nullptr ? titleText : L"";

  if (window == nullptr) {
    window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), owner, DialogProcedure,
                                reinterpret_cast<LPARAM>(this));
    if (window == nullptr) {
      return false;
    }
    SetWindowTextW(window, title.c_str());
    CentreOnWorkArea(window);

    SetDlgItemTextW(window, IDC_CANCEL_BUTTON, LoadTableText(instance, IDS_CANCEL).c_str());

    SetFocus(GetDlgItem(window, IDC_PROGRESS_BAR));
    ShowWindow(GetDlgItem(window, IDC_CANCEL_BUTTON), SW_HIDE);
    SetForegroundWindow(window);
    ShowWindow(GetDlgItem(window, IDC_PROGRESS_BAR), SW_SHOW);

    // Shared icon from the module: released with the module, never destroyed here.
    if (HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SETUP))) {
      SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    }
    if (!quiet) {
      ShowWindow(window, SW_SHOW);
    }
  }
  PumpMessages();
  ready = true;
  return true;
}

int ProgressDialog::SetMainText(const wchar_t* text) {
  return SetControlText(*this, IDC_MAIN_TEXT, text);
}

int ProgressDialog::SetDetailText(const wchar_t* text) {
  return SetControlText(*this, IDC_DETAIL_TEXT, text);
}

void ProgressDialog::SetProgressRange(std::uint32_t upperBound) {
  range = upperBound;
  position = 0;
  if (window != nullptr) {
    // The bound travels as a 32-bit value, unchanged even above 2,147,483,647.
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0,
                        static_cast<LPARAM>(upperBound));
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
  }
  PumpMessages();
}

void ProgressDialog::AdvanceProgress(std::uint32_t delta) {
  if (window != nullptr) {
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_DELTAPOS, static_cast<WPARAM>(delta), 0);
  }
  position += delta;
  PumpMessages();
}

bool ProgressDialog::Destroy() {
  if (window != nullptr) {
    DestroyWindow(window);
  }
  window = nullptr;
  instance = nullptr;
  owner = nullptr;
  ready = false;
  cancelled = false;
  range = 0;
  position = 0;
  return true;
}

void ProgressDialog::PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (window == nullptr || !IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}
