// The Windows Installer API, bound at run time from msi.dll: older systems may lack it, and a
// missing library or entry point is an ordinary failure of the run, never a start failure.
#pragma once

#include "sys/Win32.h"

// The declarations of the installer 3.0 source-list functions, which the run binds at run time
// when the system has them (Windows XP SP3 does).
#ifndef _WIN32_MSI
#define _WIN32_MSI 300
#endif
#include <msi.h>
#include <msiquery.h>

struct MsiBindings {
  HMODULE module = nullptr;

  decltype(&::MsiSetInternalUI) MsiSetInternalUI = nullptr;
  decltype(&::MsiInstallProductW) MsiInstallProductW = nullptr;
  decltype(&::MsiApplyPatchW) MsiApplyPatchW = nullptr;
  decltype(&::MsiReinstallProductW) MsiReinstallProductW = nullptr;
  decltype(&::MsiQueryProductStateW) MsiQueryProductStateW = nullptr;
  decltype(&::MsiOpenDatabaseW) MsiOpenDatabaseW = nullptr;
  decltype(&::MsiDatabaseOpenViewW) MsiDatabaseOpenViewW = nullptr;
  decltype(&::MsiViewExecute) MsiViewExecute = nullptr;
  decltype(&::MsiViewFetch) MsiViewFetch = nullptr;
  decltype(&::MsiRecordGetStringW) MsiRecordGetStringW = nullptr;
  decltype(&::MsiCloseHandle) MsiCloseHandle = nullptr;
  decltype(&::MsiEnableLogW) MsiEnableLogW = nullptr;
  decltype(&::MsiGetProductPropertyW) MsiGetProductPropertyW = nullptr;
  decltype(&::MsiOpenProductW) MsiOpenProductW = nullptr;

  bool bound() const { return module != nullptr; }
};

// Loads msi.dll and resolves all fourteen entry points. Returns 0, or the Windows error of the
// load (ERROR_PROC_NOT_FOUND for a missing entry point); on failure nothing stays loaded.
DWORD BindMsi(MsiBindings& bindings);

// Frees msi.dll if it is loaded and clears the table.
void UnbindMsi(MsiBindings& bindings);
