#include "console/interruption.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#else
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#endif

namespace varnel {

#if defined(_WIN32)

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

#else

namespace {

// SIGPIPE too: a reader that quits (a pager, `head`) ends the program as it
// ends any filter, but only after what it had not finished is removed.
constexpr std::array kSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
std::array<bool, kSignals.size()> caught{};

// Written by the handler, read by the program: the only thing the handler
// does, because it is the only thing a signal handler may safely do.
volatile std::sig_atomic_t noted_signal = 0;

extern "C" void note_signal(int signal) { noted_signal = signal; }

void take_default_action(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  (void)::sigemptyset(&action.sa_mask);
  (void)::sigaction(signal, &action, nullptr);
}

}  // namespace

void catch_interruptions() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    struct sigaction old {};
    if (::sigaction(kSignals[i], nullptr, &old) != 0 ||
        old.sa_handler == SIG_IGN) {
      continue;  // ignored by whoever started the program: it stays ignored
    }
    struct sigaction action {};
    action.sa_handler = note_signal;
    (void)::sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read or write blocked on a slow device gives up with
    // EINTR, so that the program can stop.
    action.sa_flags = 0;
    caught[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
  }
}

bool interrupted() { return noted_signal != 0; }

bool wait_until_ready(int fd, bool for_writing) {
  // The signals are held back from the test of the flag until the wait, which
  // lets them in again: one that comes in between is delivered in the wait.
  sigset_t held{};
  (void)::sigemptyset(&held);
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (caught[i]) {
      (void)::sigaddset(&held, kSignals[i]);
    }
  }
  sigset_t before{};
  (void)::sigprocmask(SIG_BLOCK, &held, &before);
  pollfd ready{fd, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  while (noted_signal == 0 && ::ppoll(&ready, 1, nullptr, &before) < 0 &&
         errno == EINTR) {
    // Another signal, not an interruption: wait on.
  }
  (void)::sigprocmask(SIG_SETMASK, &before, nullptr);
  // Any other failure of the wait is left for the read or write to meet.
  return noted_signal == 0;
}

void end_by_interruption() {
  const int signal = noted_signal;
  take_default_action(signal);
  sigset_t only{};
  (void)::sigemptyset(&only);
  (void)::sigaddset(&only, signal);
  (void)::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)::raise(signal);
  // Only reached if the default action did not end the program.
  ::_exit(128 + signal);
}

void stop_catching_interruptions() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (caught[i]) {
      take_default_action(kSignals[i]);
      caught[i] = false;
    }
  }
  if (noted_signal != 0) {
    end_by_interruption();
  }
}

#endif

}  // namespace varnel
