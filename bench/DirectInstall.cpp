// The benchmark's reference installation: what a product's installation costs without the
// bootstrapper, a silent first-time installation of a package that is already on disk.
//
//   directinstall.exe <package> [properties]
//
// Its exit code is MsiInstallProductW's result.
#include <windows.h>
// msi.h builds on the types that windows.h declares.
#include <msi.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    return ERROR_INVALID_PARAMETER;
  }
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  return static_cast<int>(MsiInstallProductW(argv[1], argc > 2 ? argv[2] : L""));
}
