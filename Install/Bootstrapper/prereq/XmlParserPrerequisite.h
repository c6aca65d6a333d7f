// MSXML 6: installed through the Windows Installer, from the package that matches the platform's
// bitness, when msxml6.dll is missing from the system folder.
#pragma once

struct RunState;

// True when msxml6.dll exists in the system folder this process sees.
bool IsXmlParserPresent();
// True for a 32-bit process on 64-bit Windows.
bool IsWow64();
// True on 64-bit Windows, whatever the process's own bitness.
bool IsWindows64Bit();

// Installs the parser when it is missing. 0: the run goes on; anything else ends the run with
// that result (the user has been told when there was something to tell).
unsigned long InstallXmlParserPrerequisite(RunState& state);
