// The progress window, created from the dialog template of the built resources on a real display:
// what its controls show, how Escape reaches it through the message queue, a quiet window that
// is never shown, and where it is placed on a work area smaller than itself.
#include "ui/ProgressDialog.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "res/ResourceIds.h"
#include "support/TestSupport.h"
#include "sys/Win32.h"

namespace {

using testing_support::Row;

HINSTANCE Module() { return GetModuleHandleW(nullptr); }

std::wstring ControlText(const ProgressDialog& dialog, int id) {
  wchar_t text[512] = {};
  GetDlgItemTextW(dialog.window, id, text, 512);
  return text;
}

// Destroys the dialog however the test ends.
struct DialogUnderTest {
  ProgressDialog dialog;
  ~DialogUnderTest() { dialog.Destroy(); }
};

TEST(ProgressDialog, CreatedFromTheTemplateWithTitleTextsAndHiddenCancelButton) {
  DialogUnderTest test;
  ProgressDialog& dialog = test.dialog;
  ASSERT_TRUE(dialog.Create(Module(), L"Windows Installer Wrapper", 5));
  ASSERT_NE(dialog.window, nullptr);
  EXPECT_TRUE(dialog.ready);
  EXPECT_FALSE(dialog.quiet);
  EXPECT_TRUE(IsWindowVisible(dialog.window));

  wchar_t title[256] = {};
  GetWindowTextW(dialog.window, title, 256);
  EXPECT_STREQ(title, L"Windows Installer Wrapper");
  // Every control of the template is there; the button carries string 14 but stays hidden.
  for (int id :
       {IDC_DIALOG_ICON, IDC_CANCEL_BUTTON, IDC_MAIN_TEXT, IDC_PROGRESS_BAR, IDC_DETAIL_TEXT}) {
    EXPECT_NE(GetDlgItem(dialog.window, id), nullptr) << id;
  }
  HWND button = GetDlgItem(dialog.window, IDC_CANCEL_BUTTON);
  EXPECT_FALSE(IsWindowVisible(button));
  EXPECT_FALSE(Row(IDS_CANCEL).empty());
  EXPECT_EQ(ControlText(dialog, IDC_CANCEL_BUTTON), Row(IDS_CANCEL));
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog.window, IDC_PROGRESS_BAR)));
  EXPECT_NE(SendMessageW(dialog.window, WM_GETICON, ICON_BIG, 0), 0);
  // No close box: the window has no system menu.
  EXPECT_EQ(GetWindowLongW(dialog.window, GWL_STYLE) & WS_SYSMENU, 0);

  EXPECT_EQ(dialog.SetMainText(L"Please wait while 'Corvell Vesk' is initialized..."), 0);
  EXPECT_EQ(dialog.SetDetailText(L"Updating 2008 SP1 CRT"), 0);
  EXPECT_EQ(ControlText(dialog, IDC_MAIN_TEXT),
            L"Please wait while 'Corvell Vesk' is initialized...");
  EXPECT_EQ(ControlText(dialog, IDC_DETAIL_TEXT), L"Updating 2008 SP1 CRT");

  // A second creation keeps the window and only refreshes the record.
  HWND first = dialog.window;
  ASSERT_TRUE(dialog.Create(Module(), L"Another title", 5));
  EXPECT_EQ(dialog.window, first);
  EXPECT_EQ(dialog.title, L"Another title");
}

TEST(ProgressDialog, TextOperationsAnswerMinusOneWithoutAWindow) {
  ProgressDialog dialog;
  EXPECT_EQ(dialog.SetMainText(L"early"), -1);
  EXPECT_EQ(dialog.SetDetailText(L"early"), -1);
  ASSERT_TRUE(dialog.Create(Module(), L"Title", 3));
  dialog.SetProgressRange(100);
  ASSERT_TRUE(dialog.Destroy());
  EXPECT_EQ(dialog.window, nullptr);
  EXPECT_FALSE(dialog.ready);
  EXPECT_EQ(dialog.range, 0u);
  EXPECT_EQ(dialog.SetMainText(L"late"), -1);
  EXPECT_EQ(dialog.SetDetailText(L"late"), -1);
  // Title and quiet flag outlive the window.
  EXPECT_EQ(dialog.title, L"Title");
}

TEST(ProgressDialog, EscapeThroughTheQueueCancelsAndFreezesTheTexts) {
  DialogUnderTest test;
  ProgressDialog& dialog = test.dialog;
  ASSERT_TRUE(dialog.Create(Module(), L"Title", 5));
  ASSERT_EQ(dialog.SetDetailText(L"Downloading package 'CorvellVesk5.msi'"), 0);

  // A click where the hidden button would be is not a cancellation.
  PostMessageW(dialog.window, WM_COMMAND, MAKEWPARAM(IDC_CANCEL_BUTTON, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog.window, IDC_CANCEL_BUTTON)));
  dialog.AdvanceProgress(1);
  EXPECT_FALSE(dialog.IsCancelled());

  // The key goes to the control with the focus, as typed keys do; the pump of the next progress
  // update lets the dialog manager turn it into IDCANCEL.
  HWND focus = GetDlgItem(dialog.window, IDC_PROGRESS_BAR);
  PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  EXPECT_FALSE(dialog.IsCancelled());
  dialog.AdvanceProgress(1);
  EXPECT_TRUE(dialog.IsCancelled());

  EXPECT_EQ(dialog.SetDetailText(L"Verifying digital signature of 'CorvellVesk5.msi'"), 1);
  EXPECT_EQ(dialog.SetMainText(L"anything"), 1);
  EXPECT_EQ(ControlText(dialog, IDC_DETAIL_TEXT), L"Downloading package 'CorvellVesk5.msi'");
  EXPECT_TRUE(dialog.IsCancelled());

  // Only destruction clears the flag.
  dialog.Destroy();
  EXPECT_FALSE(dialog.IsCancelled());
}

TEST(ProgressDialog, WaitCursorEverywhereButOverTheButton) {
  DialogUnderTest test;
  ProgressDialog& dialog = test.dialog;
  ASSERT_TRUE(dialog.Create(Module(), L"Title", 5));
  HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
  HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);

  SetCursor(arrow);
  HWND text = GetDlgItem(dialog.window, IDC_MAIN_TEXT);
  EXPECT_EQ(SendMessageW(dialog.window, WM_SETCURSOR, reinterpret_cast<WPARAM>(text),
                         MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
            TRUE);
  EXPECT_EQ(GetCursor(), wait);

  SetCursor(arrow);
  HWND button = GetDlgItem(dialog.window, IDC_CANCEL_BUTTON);
  EXPECT_EQ(SendMessageW(dialog.window, WM_SETCURSOR, reinterpret_cast<WPARAM>(button),
                         MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
            FALSE);
  EXPECT_NE(GetCursor(), wait);
}

TEST(ProgressDialog, QuietDialogIsNeverShownYetTakesEveryUpdate) {
  // Only the low four bits of the level count.
  for (std::uint32_t level : {2u, 0x1002u}) {
    DialogUnderTest test;
    ProgressDialog& dialog = test.dialog;
    ASSERT_TRUE(dialog.Create(Module(), L"Title", level));
    EXPECT_TRUE(dialog.quiet);
    EXPECT_FALSE(IsWindowVisible(dialog.window));

    EXPECT_EQ(dialog.SetMainText(L"main"), 0);
    EXPECT_EQ(dialog.SetDetailText(L"detail"), 0);
    EXPECT_EQ(ControlText(dialog, IDC_MAIN_TEXT), L"main");
    EXPECT_EQ(ControlText(dialog, IDC_DETAIL_TEXT), L"detail");

    HWND bar = GetDlgItem(dialog.window, IDC_PROGRESS_BAR);
    dialog.SetProgressRange(1000);
    dialog.AdvanceProgress(250);
    dialog.AdvanceProgress(250);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 500);
    EXPECT_EQ(dialog.position, 500u);
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 1000);

    // A range above the largest signed 32-bit value reaches the bar as the same 32 bits.
    dialog.SetProgressRange(0x90000000u);
    EXPECT_EQ(dialog.range, 0x90000000u);
    EXPECT_EQ(dialog.position, 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0)), 0x90000000u);
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_FALSE(IsWindowVisible(dialog.window));
  }
}

// Restores the desktop work area however the test ends.
struct WorkAreaChange {
  RECT saved{};
  WorkAreaChange() { SystemParametersInfoW(SPI_GETWORKAREA, 0, &saved, 0); }
  ~WorkAreaChange() { SystemParametersInfoW(SPI_SETWORKAREA, 0, &saved, 0); }
  bool Set(RECT area) { return SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0) != FALSE; }
};

TEST(ProgressDialog, CentredOnAWorkAreaSmallerThanItselfWithTruncatingDivision) {
  ProgressDialog measure;
  ASSERT_TRUE(measure.Create(Module(), L"Title", 2));
  RECT size;
  GetWindowRect(measure.window, &size);
  measure.Destroy();
  const int width = size.right - size.left;
  const int height = size.bottom - size.top;

  // Work areas that leave -101 and -41 pixels: halved toward zero that is -50 and -20 (a floor
  // division would give -51 and -21).
  WorkAreaChange change;
  const RECT area{100, 60, 100 + width - 101, 60 + height - 41};
  ASSERT_TRUE(change.Set(area));
  RECT check;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &check, 0));
  ASSERT_TRUE(EqualRect(&check, &area)) << "the work area could not be set";

  DialogUnderTest test;
  ASSERT_TRUE(test.dialog.Create(Module(), L"Title", 2));
  RECT placed;
  GetWindowRect(test.dialog.window, &placed);
  EXPECT_EQ(placed.left, 100 - 50);
  EXPECT_EQ(placed.top, 60 - 20);
  EXPECT_EQ(placed.right - placed.left, width);
  EXPECT_EQ(placed.bottom - placed.top, height);
}

}  // namespace
