#!/usr/bin/env python3
"""varnel.exe and varnel-check.exe on a Windows console, as a user sees them.

Wine gives a program started on a terminal a console, and draws that console
on the terminal. Each case starts a program under Wine on a pseudo-terminal
(its controlling terminal, as a shell's would be) and reads what Wine draws
there through a small model of a terminal screen: the text the user reads, not
the bytes the program wrote.

    wine_console_test.py --wine WINE --varnel VARNEL.EXE --check CHECK.EXE
                         [--tests VARNEL_TESTS.EXE] CASE
"""

import argparse
import codecs
import fcntl
import os
import re
import select
import signal
import struct
import sys
import tempfile
import termios
import threading
import time
import types

BANNER = "Quenlo to Halvory Converter 0.9a by Orvek"
BLOCK = 8192

# ---------------------------------------------------------------------------
# A terminal screen: lines of cells, a cursor, and the escape sequences that
# Wine's console uses to draw (cursor moves, erasing, colours, the title).


def new_screen(columns):
    return types.SimpleNamespace(
        columns=columns, lines=[[]], row=0, column=0, pending="",
        frames=[])


def put(screen, char):
    if screen.column >= screen.columns:  # the terminal wraps the line
        screen.column = 0
        new_line(screen)
    line = screen.lines[screen.row]
    line.extend(" " * (screen.column + 1 - len(line)))
    line[screen.column] = char
    screen.column += 1


def new_line(screen):
    screen.row += 1
    if screen.row == len(screen.lines):
        screen.lines.append([])


def control(screen, final, parameters):
    numbers = [int(p) if p.isdigit() else 0 for p in parameters.split(";")]
    first = numbers[0] if numbers else 0
    line = screen.lines[screen.row]
    if final == "C":
        screen.column = min(screen.column + max(first, 1), screen.columns - 1)
    elif final == "D":
        screen.column = max(screen.column - max(first, 1), 0)
    elif final == "G":
        screen.column = max(first, 1) - 1
    elif final == "K":
        if first == 0:
            del line[screen.column:]
        elif first == 1:
            line[: screen.column + 1] = " " * min(len(line), screen.column + 1)
        else:
            line.clear()
    elif final == "X":
        end = min(len(line), screen.column + max(first, 1))
        line[screen.column:end] = " " * (end - screen.column)
    elif final in "Hf":
        # Rows count from the top of what is on the screen; this model
        # keeps the lines that scrolled away above it.
        top = max(0, len(screen.lines) - 24)
        screen.row = top + max(first, 1) - 1
        screen.column = (numbers[1] if len(numbers) > 1 else 1) - 1
        while screen.row >= len(screen.lines):
            screen.lines.append([])
    elif final == "J" and first == 2:
        top = max(0, len(screen.lines) - 24)
        for index in range(top, len(screen.lines)):
            screen.lines[index] = []
    # Colours (m), modes (h, l) and the rest change no text.


ESCAPE = re.compile(r"\x1b(?:\[([0-9;?]*)([@-~])|\][^\x07\x1b]*(?:\x07|\x1b\\)|[@-Z\\-_])")


INCOMPLETE = re.compile(r"\x1b(?:\[[0-9;?]*|\][^\x07\x1b]*\x1b?)?")


def feed(screen, text):
    text = screen.pending + text
    screen.pending = ""
    at = 0
    while at < len(text):
        char = text[at]
        if char == "\x1b":
            match = ESCAPE.match(text, at)
            if match is None and INCOMPLETE.fullmatch(text, at):
                screen.pending = text[at:]  # the rest comes later
                return
            if match is None:  # no sequence: the terminal drops the escape
                at += 1
                continue
            if match.group(2):
                control(screen, match.group(2), match.group(1).lstrip("?"))
            at = match.end()
            continue
        if char == "\r":
            screen.column = 0
        elif char == "\n":
            new_line(screen)
        elif char == "\b":
            screen.column = max(screen.column - 1, 0)
        elif char >= " ":
            put(screen, char)
        at += 1
    # The line the cursor is on after each piece: where a progress line is.
    screen.frames.append(shown(screen.lines[screen.row]))


def shown(line):
    return "".join(line).rstrip()


def screen_text(screen):
    lines = [shown(line) for line in screen.lines]
    while lines and not lines[-1]:
        lines.pop()
    return lines


# ---------------------------------------------------------------------------
# Running a program under Wine on a terminal.


def run_on_terminal(arguments, directory, columns, piped_output=False,
                    limit=120.0, watch=None, lines=None):
    """Runs WINE with `arguments` in `directory`, its standard input and error
    on a pseudo-terminal `columns` wide, standard output there too or, with
    `piped_output`, on a pipe read 512 bytes every 10 ms: 115 KiB in some
    2.3 s. With `lines`, the pipe's reader closes it once that many lines
    came through, as `| head -n LINES` does. `watch`, when given, is called
    with the screen and the terminal's near side each time the screen
    changes, to type on it. Returns the screen, the exit status and what came
    through the pipe."""
    near, far = os.openpty()
    fcntl.ioctl(far, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    pipe_read, pipe_write = os.pipe() if piped_output else (None, None)
    if piped_output:
        # A pipe of one page, so that the reader's pace is the program's.
        fcntl.fcntl(pipe_write, fcntl.F_SETPIPE_SZ, 4096)
    environment = dict(os.environ, WINEDEBUG="-all", LC_ALL="C.UTF-8")
    child = os.fork()
    if child == 0:
        try:
            os.chdir(directory)
            os.setsid()
            fcntl.ioctl(far, termios.TIOCSCTTY, 0)
            os.dup2(far, 0)
            os.dup2(pipe_write if piped_output else far, 1)
            os.dup2(far, 2)
            os.closerange(3, 1 << 16)
            for number in range(1, signal.NSIG):
                try:
                    signal.signal(number, signal.SIG_DFL)
                except (OSError, ValueError):
                    pass
            os.execve(arguments[0], arguments, environment)
        finally:
            os._exit(127)
    os.close(far)
    if piped_output:
        os.close(pipe_write)
    screen = new_screen(columns)
    decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
    output = b""
    reading = {near} | ({pipe_read} if piped_output else set())
    deadline = time.monotonic() + limit
    while reading and time.monotonic() < deadline:
        ready, _, _ = select.select(list(reading), [], [], 0.5)
        for fd in ready:
            try:
                data = os.read(fd, 4096 if fd == near else 512)
            except OSError:  # EIO: the terminal's far side is closed
                data = b""
            if not data:
                reading.discard(fd)
            elif fd == near:
                feed(screen, decoder.decode(data))
                if watch:
                    watch(screen, near)
            else:
                output += data
                if lines is not None and output.count(b"\n") >= lines:
                    output = b"".join(
                        line + b"\n" for line in output.split(b"\n")[:lines])
                    reading.discard(fd)
                    os.close(pipe_read)
                    pipe_read = None
                    continue
                time.sleep(0.01)
    if reading:
        os.killpg(child, signal.SIGKILL)
        fail(f"still running after {limit} s:", screen_text(screen))
    _, status = os.waitpid(child, 0)
    os.close(near)
    if pipe_read is not None:
        os.close(pipe_read)
    return screen, os.waitstatus_to_exitcode(status), output


def fail(message, lines=()):
    print("FAILED:", message, file=sys.stderr)
    for line in lines:
        print("  |" + line, file=sys.stderr)
    sys.exit(1)


def expect_screen(screen, expected, why):
    lines = screen_text(screen)
    print(f"{why}: the terminal shows")
    for line in lines:
        print("  |" + line)
    if lines != expected:
        fail(f"{why}: expected", expected)


def expect_fits(screen, lines, why):
    """No progress line reached the terminal's last column. (One that
    wrapped would also have left its start on the screen, above.)"""
    for line in lines:
        if len(line) > screen.columns - 1:
            fail(f"{why}: {len(line)} columns of {screen.columns}: {line}")


def progress_lines(screen, pattern):
    return [frame for frame in screen.frames if re.fullmatch(pattern, frame)]


def numbered_image(blocks):
    """Blocks of the bytes 0 to 255 over and over."""
    return bytes(range(256)) * (blocks * BLOCK // 256)


# ---------------------------------------------------------------------------
# The cases.


def names_varnel(options, directory):
    """File names in several scripts, in the messages on the console."""
    with open(os.path.join(directory, "prüfung-图像.fls"), "wb") as image:
        image.write(numbered_image(2))
    screen, status, _ = run_on_terminal(
        [options.wine, options.varnel, "270000", "prüfung-图像.fls", "Ωmega.hy"],
        directory, 80)
    expect_screen(screen, [BANNER, "", 'Output written to "Ωmega.hy".'],
                  "a conversion")
    if status != 0 or os.path.getsize(os.path.join(directory, "Ωmega.hy")) != 2 * (BLOCK + 9):
        fail(f"status {status}, or no record file of two records")

    screen, status, _ = run_on_terminal(
        [options.wine, options.varnel, "0", "нет-файла.fls", "Ωmega.hy"],
        directory, 80)
    expect_screen(screen,
                  [BANNER, "", 'Cannot open source file "нет-файла.fls".', "",
                   'varnel: "нет-файла.fls": No such file or directory'],
                  "a missing image, and the reason on the console")


def names_check(options, directory):
    """varnel-check's report and errors name the files as given."""
    with open(os.path.join(directory, "prüfung-图像.fls"), "wb") as image:
        image.write(numbered_image(2))
    run_on_terminal([options.wine, options.varnel, "270000",
                     "prüfung-图像.fls", "Ωmega.hy"], directory, 80)
    screen, status, _ = run_on_terminal(
        [options.wine, options.check, "-o", "zurück-图像.fls", "Ωmega.hy"],
        directory, 80)
    expect_screen(screen, [
        '"Ωmega.hy": valid', "records: 2", "data bytes: 16384",
        "run 1: 270000 to 273FFF (2 records)",
        "start address for varnel: 270000",
        'image written to "zurück-图像.fls"'], "a restore")
    if status != 0:
        fail(f"status {status}")
    screen, status, _ = run_on_terminal(
        [options.wine, options.check, "нет-файла.hy"], directory, 80)
    expect_screen(screen, ['varnel-check: cannot open "нет-файла.hy": '
                           'No such file or directory'],
                  "a missing record file")


# "  1.2 MiB of 16.0 MiB  7%": the rate is dropped in a terminal 30 columns
# wide.
NUMBER = r"\d+(?:\.\d+)? (?:B|KiB|MiB|GiB)"


def read_slowly(path, into):
    """Reads the FIFO at `path` to its end, 64 KiB every 10 ms."""
    with open(path, "rb", buffering=0) as fifo:
        while data := fifo.read(65536):
            into.append(len(data))
            time.sleep(0.01)


def progress_varnel(options, directory):
    """A conversion stretched to some 2.6 s by a slow reader of its record
    file (a FIFO): its progress line fits the terminal, and is gone when the
    message comes."""
    with open(os.path.join(directory, "in.fls"), "wb") as image:
        image.write(numbered_image(2048))  # 16 MiB
    os.mkfifo(os.path.join(directory, "out.hy"))
    read = []
    reader = threading.Thread(
        target=read_slowly, args=(os.path.join(directory, "out.hy"), read),
        daemon=True)
    reader.start()
    screen, status, _ = run_on_terminal(
        [options.wine, options.varnel, "0", "in.fls", "out.hy"], directory, 30)
    reader.join(10)
    if sum(read) != 2048 * (BLOCK + 9):
        fail(f"{sum(read)} bytes of records")
    seen = progress_lines(screen, rf"  {NUMBER} of 16\.0 MiB  \d+%")
    print(f"{len(seen)} progress lines seen, the first ones: {seen[:3]}")
    if not seen:
        fail(f"no progress line fitted to 30 columns; status {status}",
             screen_text(screen))
    expect_fits(screen, seen, "the conversion")
    # The banner is longer than the terminal is wide: it wraps.
    expect_screen(screen, [BANNER[:30], BANNER[30:], "",
                           'Output written to "out.hy".'], "at the end")
    if status != 0:
        fail(f"status {status}")


def progress_check(options, directory):
    """varnel-check --list with its listing on a pipe read slowly and its
    progress line on the terminal: the line fits, and is gone at the end."""
    with open(os.path.join(directory, "in.fls"), "wb") as image:
        image.truncate(4096 * BLOCK)
    run_on_terminal([options.wine, options.varnel, "0", "in.fls", "rec.hy"],
                    directory, 80)
    screen, status, listing = run_on_terminal(
        [options.wine, options.check, "--list", "rec.hy"], directory, 30,
        piped_output=True)
    # 4096 records of 8201 bytes: 32.04 MiB.
    seen = progress_lines(screen, rf"  {NUMBER} of 32\.0 MiB  \d+%")
    print(f"{len(seen)} progress lines seen, the first ones: {seen[:3]}")
    if not seen:
        fail("no progress line fitted to 30 columns", screen.frames[-20:])
    expect_fits(screen, seen, "the check")
    expect_screen(screen, [], "at the end")
    if status != 0 or not listing.endswith(
            b"start address for varnel: 000000\r\n"):
        fail(f"status {status}, or the listing ends in {listing[-80:]!r}")


def reason_varnel(options, directory):
    """A failure message on the console is followed by the system's reason,
    on standard error; standard output, when it is a pipe, holds the message
    alone, byte for byte as ever."""
    os.mkdir(os.path.join(directory, "dd"))
    with open(os.path.join(directory, "in.fls"), "wb") as image:
        image.write(numbered_image(1))
    message = 'Cannot create destination file "dd".'
    reason = 'varnel: "dd": Is a directory'
    screen, status, _ = run_on_terminal(
        [options.wine, options.varnel, "0", "in.fls", "dd"], directory, 80)
    expect_screen(screen, [BANNER, "", message, "", reason], "on the console")
    if status != 0:
        fail(f"status {status}")
    screen, status, output = run_on_terminal(
        [options.wine, options.varnel, "0", "in.fls", "dd"], directory, 80,
        piped_output=True)
    expect_screen(screen, [reason], "standard output on a pipe")
    if status != 0 or output != f"{BANNER}\r\n\r\n{message}\r\n\r\n".encode():
        fail(f"status {status}, or standard output {output!r}")


def interrupt_check(options, directory):
    """Ctrl-C typed while varnel-check --list shows its progress line (its
    listing on a pipe read slowly): the program ends as Ctrl-C ends it, and
    the console is left clean, the cursor at the start of the line."""
    with open(os.path.join(directory, "in.fls"), "wb") as image:
        image.truncate(4096 * BLOCK)
    run_on_terminal([options.wine, options.varnel, "0", "in.fls", "rec.hy"],
                    directory, 80)
    typed = []

    def type_ctrl_c_once_shown(screen, near):
        if not typed and re.fullmatch(rf"  {NUMBER} of 32\.0 MiB.*",
                                      screen.frames[-1]):
            os.write(near, b"\x03")
            typed.append(screen.frames[-1])

    screen, status, _ = run_on_terminal(
        [options.wine, options.check, "--list", "rec.hy"], directory, 80,
        piped_output=True, watch=type_ctrl_c_once_shown)
    if not typed:
        fail("no progress line to interrupt", screen.frames[-20:])
    print(f"Ctrl-C typed at {typed[0]!r}")
    expect_screen(screen, [], "after Ctrl-C")
    if screen.column != 0:
        fail(f"the cursor is at column {screen.column}")
    # Wine hands on the low byte of 0xC000013A, as the status of a process.
    if status != 0xC000013A & 0xFF:
        fail(f"status {status:#x}, not Ctrl-C's")


def closed_pipe_check(options, directory):
    """varnel-check --list into a Unix pipe whose reader takes one line and
    closes it, as `| head -n 1` does: the write that fails says that the
    reader is gone, and the program ends as quietly as SIGPIPE ends it
    elsewhere, with status 2 and nothing on the console."""
    with open(os.path.join(directory, "in.fls"), "wb") as image:
        image.truncate(4096 * BLOCK)
    run_on_terminal([options.wine, options.varnel, "0", "in.fls", "big.hy"],
                    directory, 80)
    screen, status, listing = run_on_terminal(
        [options.wine, options.check, "--list", "big.hy"], directory, 80,
        piped_output=True, lines=1)
    expect_screen(screen, [], "the console")
    if status != 2 or listing != b"record offset address length checksum\r\n":
        fail(f"status {status}, or the listing {listing[:80]!r}")


def console_output(options, directory):
    """The in-process test of write_text on a console, which needs a console
    that takes output: one on a terminal."""
    screen, status, _ = run_on_terminal(
        [options.wine, options.tests,
         "--gtest_filter=ConsoleOutput.WindowsConsoleShowsTheCharacters",
         "--gtest_color=no"],
        directory, 80)
    lines = screen_text(screen)
    print("\n".join(lines))
    if status != 0 or "[  PASSED  ] 1 test." not in lines:
        fail(f"status {status}, or the test did not pass")


CASES = {
    "closed-pipe-check": closed_pipe_check,
    "console-output": console_output,
    "interrupt-check": interrupt_check,
    "names-varnel": names_varnel,
    "names-check": names_check,
    "progress-varnel": progress_varnel,
    "progress-check": progress_check,
    "reason-varnel": reason_varnel,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine", required=True)
    parser.add_argument("--varnel", required=True)
    parser.add_argument("--check", required=True)
    parser.add_argument("--tests", help="varnel_tests.exe")
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()
    options.varnel = os.path.abspath(options.varnel)
    options.check = os.path.abspath(options.check)
    if options.tests:
        options.tests = os.path.abspath(options.tests)
    with tempfile.TemporaryDirectory() as directory:
        CASES[options.case](options, directory)
    print("passed")


if __name__ == "__main__":
    main()
