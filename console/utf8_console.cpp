#include "console/utf8_console.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstdlib>
#endif

namespace varnel {

#if defined(_WIN32)

namespace {

UINT console_code_page = 0;

void restore_console_code_page() {
  (void)::SetConsoleOutputCP(console_code_page);
}

// Ctrl-C and the like end the program without running what exit runs; this
// is called first, unless the program catches them itself.
BOOL WINAPI restore_before_ending(DWORD) {
  restore_console_code_page();
  return FALSE;  // on to the next handler, which ends the program
}

}  // namespace

void use_utf8_console() {
  // 0 when the process has no console (run from a service, say).
  const UINT current = ::GetConsoleOutputCP();
  if (current == 0 || current == CP_UTF8) {
    return;
  }
  // Without the switch the names come out in the console's legacy code page,
  // wrong but harmless; without the restore the console would stay switched.
  if (::SetConsoleOutputCP(CP_UTF8) != 0) {
    console_code_page = current;
    if (std::atexit(restore_console_code_page) != 0 ||
        ::SetConsoleCtrlHandler(restore_before_ending, TRUE) == 0) {
      restore_console_code_page();
    }
  }
}

#else

void use_utf8_console() {}

#endif

}  // namespace varnel
