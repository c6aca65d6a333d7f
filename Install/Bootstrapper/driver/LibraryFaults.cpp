// The C++ library reports misuse of its containers (a position past the end, a null pointer for a
// string, a string longer than it can ever be) by throwing logic_error and its kin, whose
// message text makes the library bring a second and a third string implementation along: about
// 50 KB of the program. The program catches only std::bad_alloc, so it gives these helpers its own
// meaning here, and the library's own definitions are never linked:
//  - a request for more than a container can hold is memory that cannot be had: std::bad_alloc,
//    which the run turns into ERROR_OUTOFMEMORY as for any failed allocation;
//  - every other report is a fault of the program, which ends the process, as an exception that
//    nothing catches would.
// All of them are defined, so that no reference can pull in the library's object, whose
// definitions would then clash with these at link time.
#include <cstdlib>
#include <new>
#include <string>

namespace std {

void __throw_bad_alloc() { throw std::bad_alloc(); }
void __throw_bad_array_new_length() { throw std::bad_array_new_length(); }
void __throw_length_error(const char*) { throw std::bad_alloc(); }

void __throw_bad_exception() { std::abort(); }
void __throw_bad_cast() { std::abort(); }
void __throw_bad_typeid() { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_domain_error(const char*) { std::abort(); }
void __throw_invalid_argument(const char*) { std::abort(); }
void __throw_out_of_range(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
void __throw_runtime_error(const char*) { std::abort(); }
void __throw_range_error(const char*) { std::abort(); }
void __throw_overflow_error(const char*) { std::abort(); }
void __throw_underflow_error(const char*) { std::abort(); }

}  // namespace std
