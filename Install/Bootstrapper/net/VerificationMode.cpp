#include "net/VerificationMode.h"

#include "net/SignatureVerification.h"
#include "payload/HeldFile.h"
#include "sys/BootstrapLog.h"

unsigned long RunVerificationMode(const std::wstring& file) {
  // The first instance is running and owns bootstrap.log; the checks below still describe their
  // steps, but only on the debugger output.
  KeepLogOffFile();
  // Checked through a hold of its own, so that the bytes checked are the ones held; a file that
  // cannot be held is still checked by its path, and the first instance holds it anyway.
  HeldFile held;
  held.Take(file.c_str());
  return static_cast<unsigned long>(VerifyFileSignature(file.c_str(), held.handle()));
}
