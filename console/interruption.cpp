#include "console/interruption.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#else
#include <signal.h>
#include <unistd.h>

#include <array>
#include <csignal>
#endif

namespace varnel {

#if defined(_WIN32)

namespace {

std::atomic<bool> noted{false};

BOOL WINAPI note_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      noted = true;
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      noted = true;
      // Windows ends the process as soon as this returns, or after a few
      // seconds: meanwhile the program removes what it had not finished and
      // ends itself.
      ::Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void catch_interruptions() {
  // Runs on a thread of its own, which Windows starts for each event.
  (void)::SetConsoleCtrlHandler(note_console_event, TRUE);
}

bool interrupted() { return noted; }

void end_by_interruption() {
  // The status a console program ends with when Ctrl-C ends it; exit, not
  // ExitProcess, so that the console is put back as it was.
  std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}

void stop_catching_interruptions() {
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
