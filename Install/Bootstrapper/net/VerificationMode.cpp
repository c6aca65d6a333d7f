#include "net/VerificationMode.h"

#include "net/SignatureVerification.h"
#include "sys/BootstrapLog.h"

unsigned long RunVerificationMode(const std::wstring& file) {
  // The first instance is running and owns bootstrap.log; the checks below still describe their
  // steps, but only on the debugger output.
  KeepLogOffFile();
  return static_cast<unsigned long>(VerifyFileSignature(file.c_str()));
}
