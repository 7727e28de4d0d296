// Console events (Ctrl-C, Ctrl-Break, a closed console) on Windows.
#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "console/interruption.h"

namespace varnel {

namespace {

std::atomic<bool> noted{false};
// While set, the main thread may be blocked on I/O that must give up.
std::atomic<bool> catching{false};
// A real handle to the main thread (GetCurrentThread's is no handle to give
// another thread), taken when catching starts.
HANDLE main_thread = nullptr;

// Between two cancellations: a read or write the main thread was only about
// to start when the event came is cancelled by the next one.
constexpr DWORD kCancelAgainMs = 10;

BOOL WINAPI note_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  noted = true;
  // Runs on a thread of its own, which Windows starts for each event. A read
  // or write of the main thread's that is blocked (a pipe nobody reads, a
  // stalled share) fails with ERROR_OPERATION_ABORTED, and the main thread
  // finds the note. Until it ends the program or stops catching, each read or
  // write it starts is cancelled too: what is left to do is removing what it
  // had not finished.
  while (catching) {
    (void)::CancelSynchronousIo(main_thread);
    ::Sleep(kCancelAgainMs);
  }
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    return TRUE;
  }
  // Windows ends the process as soon as this returns, or after some five
  // seconds: meanwhile the main thread, no longer blocked, ends it itself.
  ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void catch_interruptions() {
  if (main_thread == nullptr &&
      ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(),
                        ::GetCurrentProcess(), &main_thread, THREAD_TERMINATE,
                        FALSE, 0) == 0) {
    main_thread = nullptr;  // blocked I/O then waits as it would
  }
  catching = true;
  (void)::SetConsoleCtrlHandler(note_console_event, TRUE);
}

bool interrupted() { return noted; }

bool wait_until_ready(int, bool) { return true; }

void end_by_interruption() {
  // The status a console program ends with when Ctrl-C ends it; exit, not
  // ExitProcess, so that the console is put back as it was.
  std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}

void stop_catching_interruptions() {
  // Before the note is looked at: an event that comes later leaves the main
  // thread's I/O alone, and ends the program once the handler is gone.
  catching = false;
  (void)::SetConsoleCtrlHandler(note_console_event, FALSE);
  if (noted) {
    end_by_interruption();
  }
}

}  // namespace varnel
