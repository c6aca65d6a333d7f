// A library planted under the name of a system library (msi.dll, wintrust.dll, ...) beside
// setup.exe or in its current folder. It exports nothing the program wants; if it is ever loaded
// it leaves a marker named after itself in C:\planted-markers, which the test looks for.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(instance, path, MAX_PATH);
    const wchar_t* name = path;
    for (const wchar_t* c = path; *c != L'\0'; ++c) {
      if (*c == L'\\' || *c == L'/') {
        name = c + 1;
      }
    }
    CreateDirectoryW(L"C:\\planted-markers", nullptr);
    wchar_t marker[MAX_PATH] = L"C:\\planted-markers\\";
    lstrcatW(marker, name);
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, path, lstrlenW(path) * sizeof(wchar_t), &written, nullptr);
      CloseHandle(file);
    }
  }
  return TRUE;
}
