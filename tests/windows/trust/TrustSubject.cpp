// A small program that does nothing: the test builds sign copies of it in various ways, so that
// signature checks have real PE files to look at.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
