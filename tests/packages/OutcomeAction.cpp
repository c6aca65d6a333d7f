// A Windows Installer custom action that ends the installation with the result a test chooses:
// the number in the environment variable VESK_CA_RESULT (0 when it is not set), which reaches the
// installer because it inherits the environment of the program under test.
#include <windows.h>

#include <msi.h>

#include <cwchar>

extern "C" __declspec(dllexport) UINT __stdcall ChosenOutcome(MSIHANDLE) {
  wchar_t value[32] = {};
  GetEnvironmentVariableW(L"VESK_CA_RESULT", value, 32);
  return static_cast<UINT>(std::wcstoul(value, nullptr, 10));
}
