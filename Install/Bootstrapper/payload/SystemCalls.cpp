#include "payload/SystemCalls.h"

PayloadSystemCallTable& PayloadSystemCalls() {
  static PayloadSystemCallTable table;
  return table;
}
