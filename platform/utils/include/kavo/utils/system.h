#pragma once
// Process-level services: flash storage and crash reporting.
#include <cstdint>
#include <string>

namespace kavo {
namespace utils {

// Writing the configuration to flash. There is no flash here: the call is counted and succeeds.
// The argument is accepted and ignored.
bool saveToFlashRaw(bool flag);
// Number of saveToFlashRaw calls in this process (tests).
uint64_t saveToFlashRawCount();

// On SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT writes a dump (signal, fault address,
// backtrace) to "/tmp/crash_<name>_<pid>.txt" under the test root, then lets the signal take its
// default action. A null or empty name takes the program's name. True when installed.
// (Sanitizer builds dump SIGABRT only and leave faults to the sanitizer's own report.)
bool InstallCrashDumpHandler(const char* name);
// Path of the dump that a crash of process `pid` would write ("" before installation).
std::string crashDumpPath(int pid);
// Ends the process at once through abort() (dumped when the handler is installed).
[[noreturn]] void forceCrash();

}  // namespace utils
}  // namespace kavo
