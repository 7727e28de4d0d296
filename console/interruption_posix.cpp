// Signals (Ctrl-C, a closed terminal, kill, a reader gone) on POSIX systems.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "console/interruption.h"

namespace varnel {

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

}  // namespace varnel
