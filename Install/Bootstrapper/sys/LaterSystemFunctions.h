// Types of the system functions that the program binds at run time although the headers it is
// compiled with (for Windows XP) do not declare them: they are newer than XP, or not declared
// for programs at all. Their types are written here by hand, once; LaterSystemFunctions.cpp,
// compiled for a later Windows, checks each against the system header's own declaration, so that
// a wrong parameter or a missing WINAPI fails the build. In the 32-bit program a missing WINAPI
// would otherwise call a __stdcall function as __cdecl and corrupt the stack on every call; the
// 64-bit program has one calling convention and could never show it.
#pragma once

#include "sys/Win32.h"

// Windows Vista: where a handle really leads, and an ordinal comparison of two texts.
using GetFinalPathNameByHandleFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
using CompareStringOrdinalFunction = int(WINAPI*)(LPCWSTR, int, LPCWSTR, int, BOOL);
// Windows 8 (and Vista or 7 with update KB2533623): the default library search.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
// Windows XP SP1.
using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCWSTR);
// RtlGenRandom, which advapi32 exports as SystemFunction036.
using GenerateRandomFunction = BOOLEAN(WINAPI*)(PVOID, ULONG);
