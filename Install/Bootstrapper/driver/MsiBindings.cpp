#include "driver/MsiBindings.h"

#include "sys/RunTimeBinding.h"

DWORD BindMsi(MsiBindings& bindings) {
  UnbindMsi(bindings);
  HMODULE module = LoadSystemLibrary(L"msi.dll");
  if (module == nullptr) {
    return LastErrorOr(ERROR_MOD_NOT_FOUND);
  }
  MsiBindings bound;
  bound.module = module;
  const bool complete = BindProc(module, "MsiSetInternalUI", bound.MsiSetInternalUI) &&
                        BindProc(module, "MsiInstallProductW", bound.MsiInstallProductW) &&
                        BindProc(module, "MsiApplyPatchW", bound.MsiApplyPatchW) &&
                        BindProc(module, "MsiReinstallProductW", bound.MsiReinstallProductW) &&
                        BindProc(module, "MsiQueryProductStateW", bound.MsiQueryProductStateW) &&
                        BindProc(module, "MsiOpenDatabaseW", bound.MsiOpenDatabaseW) &&
                        BindProc(module, "MsiDatabaseOpenViewW", bound.MsiDatabaseOpenViewW) &&
                        BindProc(module, "MsiViewExecute", bound.MsiViewExecute) &&
                        BindProc(module, "MsiViewFetch", bound.MsiViewFetch) &&
                        BindProc(module, "MsiRecordGetStringW", bound.MsiRecordGetStringW) &&
                        BindProc(module, "MsiCloseHandle", bound.MsiCloseHandle) &&
                        BindProc(module, "MsiEnableLogW", bound.MsiEnableLogW) &&
                        BindProc(module, "MsiGetProductPropertyW", bound.MsiGetProductPropertyW) &&
                        BindProc(module, "MsiOpenProductW", bound.MsiOpenProductW);
  if (!complete) {
    FreeLibrary(module);
    return ERROR_PROC_NOT_FOUND;
  }
  bindings = bound;
  return ERROR_SUCCESS;
}

void UnbindMsi(MsiBindings& bindings) {
  if (bindings.module != nullptr) {
    FreeLibrary(bindings.module);
  }
  bindings = MsiBindings{};
}
