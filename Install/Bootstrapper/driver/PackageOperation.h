// The single call into the Windows Installer: bind msi.dll, set the UI level, let the XML parser
// install itself, read the package's identity, choose the command line and install, upgrade,
// administratively install or remove the product. The result becomes the exit code.
#pragma once

struct RunState;

// Binds msi.dll into the run's table unless that is bound already.
void RunPackageOperation(RunState& state);

// Reads ProductCode and ProductVersion from the local package through the database view.
void ReadPackageIdentity(RunState& state, const wchar_t* localPackage);
