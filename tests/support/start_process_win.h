// Starting a Windows process for a test, with the one retry Wine needs.
#pragma once

#include <windows.h>

#include <cstdio>

namespace testsupport {

// CreateProcessA with the given program, command line, inheritance and start-up data. Under Wine
// a start now and then fails with ERROR_INTERNAL_ERROR before the program runs at all (about once
// in a few thousand starts): it is made again, up to three times in all, and said so on standard
// error. Returns CreateProcessA's result, with its error in GetLastError.
inline BOOL start_process(const char* program, char* command_line, BOOL inherit,
                          STARTUPINFOA* startup, PROCESS_INFORMATION* process) {
  for (int attempt = 1;; ++attempt) {
    if (::CreateProcessA(program, command_line, nullptr, nullptr, inherit, 0, nullptr, nullptr,
                         startup, process)) {
      return TRUE;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 3) return FALSE;
    std::fprintf(stderr, "CreateProcessA %s failed with error %lu; starting it again\n",
                 program != nullptr ? program : command_line, static_cast<unsigned long>(error));
    ::Sleep(50);
  }
}

}  // namespace testsupport
