// Binding system functions at run time. Functions that Windows XP lacks, and whole libraries
// that a system may miss, are looked up when needed so that their absence is an ordinary
// negative answer rather than a failure to start.
#pragma once

#include "sys/Win32.h"

// Looks up `name` in `module` as a function of the type of `target`. The cast goes through
// void* so that function pointer types never have to be converted into each other directly.
template <typename Function>
bool BindProc(HMODULE module, const char* name, Function& target) {
  FARPROC address = module != nullptr ? GetProcAddress(module, name) : nullptr;
  void* untyped = reinterpret_cast<void*>(address);
  target = reinterpret_cast<Function>(untyped);
  return target != nullptr;
}

// Loads a library that belongs to the system from the system folder only, never from the
// executable's folder or the current folder, where someone else may have put a file of that name.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

// Takes the executable's folder and the current folder out of the search for libraries that the
// process, or a system library on its behalf, loads by name later: the default search becomes
// the system folder where the system can do that, and the current folder is dropped in any
// case. Called first thing in the run; functions a system lacks are simply not called.
void RestrictLibrarySearchToSystemFolder();

// A module loaded at run time, freed exactly once.
using ModuleHandle = SystemOwned<HMODULE, &FreeLibrary>;
