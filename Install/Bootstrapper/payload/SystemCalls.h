// The system calls of payload extraction that tests need to steer: a volume's free space cannot
// be made to be exactly a chosen number of bytes, and no timing makes another process write to a
// payload in the instant between its writer closing and its hold being taken; so these go
// through this table.
#pragma once

#include "sys/Win32.h"

struct PayloadSystemCallTable {
  decltype(&::GetDiskFreeSpaceExW) getDiskFreeSpaceEx = &::GetDiskFreeSpaceExW;
  // Closes the writer of a payload that is to be held.
  decltype(&::CloseHandle) closeWriter = &::CloseHandle;
};

// The table in use; tests replace entries and put them back.
PayloadSystemCallTable& PayloadSystemCalls();
