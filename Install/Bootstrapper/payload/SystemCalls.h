// The system calls of payload extraction that tests need to steer: a volume's free space cannot
// be made to be exactly a chosen number of bytes, so the query goes through this table.
#pragma once

#include "sys/Win32.h"

struct PayloadSystemCallTable {
  decltype(&::GetDiskFreeSpaceExW) getDiskFreeSpaceEx = &::GetDiskFreeSpaceExW;
};

// The table in use; tests replace entries and put them back.
PayloadSystemCallTable& PayloadSystemCalls();
