// Interruptions of a run: Ctrl-C, a terminal that is closed, a supervisor's
// SIGTERM. Until catch_interruptions is called they end the program at once,
// as they end any program: nothing is on disk yet that could be left half
// written. From then on they are only noted, the program looks for them
// between its steps and at every failed read or write, removes what it has
// not finished, and then ends the way the interruption would have ended it.
#pragma once

namespace varnel {

// From now on, notes interruptions instead of ending the program: on POSIX
// systems SIGINT, SIGTERM, SIGHUP and SIGPIPE (those not ignored when the
// program started, as nohup ignores SIGHUP); on Windows Ctrl-C, Ctrl-Break and
// the closing of the console. Blocking reads and writes that a signal
// interrupts fail instead of carrying on; on Windows those of the thread that
// called this (the main thread, which does the program's I/O) are cancelled.
void catch_interruptions();

// Whether an interruption has been noted.
[[nodiscard]] bool interrupted();

// Ends the program as the noted interruption would have: on POSIX systems by
// the signal's default action (a shell then sees 128 + its number, 130 for
// Ctrl-C); on Windows with STATUS_CONTROL_C_EXIT, as the console's default.
[[noreturn]] void end_by_interruption();

// Waits until descriptor `fd` can be read (or written, `for_writing`) without
// blocking, or until an interruption: false then. A signal that comes at any
// moment, just before the wait included, ends it, so that none is missed by a
// read or write about to block on a pipe or a terminal. Where nothing is
// caught it only waits. On Windows, where a blocked call is cancelled
// instead, true at once.
[[nodiscard]] bool wait_until_ready(int fd, bool for_writing);

// Stops noting interruptions: from now on they end the program at once. The
// program's work is on disk by then; if an interruption was noted in the
// meantime, the program ends here, leaving it there.
void stop_catching_interruptions();

}  // namespace varnel
