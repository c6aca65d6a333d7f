// The runtime library's default handler for an exception that nothing caught prints the
// exception's demangled type to standard error, which a GUI program does not have, and brings
// the whole C++ demangler (about a fifth of the program) with it. The program catches what it
// throws, so reaching this handler is a fault: it ends the process as plainly as possible.
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
