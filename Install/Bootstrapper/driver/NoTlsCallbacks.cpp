// The program has no thread-local storage directory, so the loader runs no code of ours before the
// entry point and no TLS callback at all, on every Windows from XP on.
//
// The C runtime's start-up object asks for four symbols that only its TLS support object defines;
// that object also defines the TLS directory (_tls_used) with two callbacks: one that runs the
// dynamic initialisers of native thread-local variables, and one that runs the destructors that
// threads registered for their keys. Defining the four symbols here, in an object that is linked
// before the runtime's libraries are searched, keeps that object out of the link, and with it the
// directory and the .tls section. What this gives up:
//  - Native thread-local variables: the compiler implements thread_local with emulated TLS
//    (TlsAlloc), which needs no directory. Anything that still wanted the loader's TLS would
//    refer to _tls_index, which nothing defines now, and fail to link rather than fail to run.
//  - Key destructors at thread exit (the C++ runtime's per-thread exception record, emulated TLS
//    blocks): the registration becomes a no-op. The program runs on one thread, whose memory the
//    process's end returns anyway.
// The compatibility tests fail if a TLS directory or a .tls section comes back.
#include "sys/Win32.h"

extern "C" {

// Read by the start-up code, which calls it for the main thread when it is not null.
extern const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback;
const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

// Written by the start-up code only to pull the TLS support object into the link.
int __mingw_initltsdrot_force = 0;
int __mingw_initltsdyn_force = 0;
int __mingw_initltssuo_force = 0;

}  // extern "C"
