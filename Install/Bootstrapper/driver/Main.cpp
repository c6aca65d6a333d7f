#include "driver/RunSequence.h"
#include "sys/Win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  return static_cast<int>(RunSetup(instance, commandLine));
}
