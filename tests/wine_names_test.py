#!/usr/bin/env python3
"""varnel.exe and varnel-check.exe given one file by two drive letters.

A folder reached through two drive letters (subst, a mapped network drive
and its UNC path) has other names and another drive number under each, and is
still one folder. Wine maps a drive letter through a symbolic link in its
prefix's dosdevices folder; each case maps a free letter to a scratch folder
that Wine also shows under Z:, names one file both ways, and checks that the
programs refuse to write the file they read.

    wine_names_test.py --wine WINE --varnel VARNEL.EXE --check CHECK.EXE CASE
"""

import argparse
import contextlib
import os
import subprocess
import sys
import tempfile

BANNER = "Quenlo to Halvory Converter 0.9a by Orvek"
BLOCK = 8192


def fail(message):
    print("FAILED:", message, file=sys.stderr)
    sys.exit(1)


def prefix():
    return os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")


@contextlib.contextmanager
def drive_letter_for(folder):
    """A drive letter that no other mapping of the prefix uses, mapped to
    `folder` for as long as the block runs: its name, such as "Q:"."""
    devices = os.path.join(prefix(), "dosdevices")
    for letter in "qrstuvwxy":
        link = os.path.join(devices, letter + ":")
        try:
            os.symlink(folder, link)
        except FileExistsError:
            continue  # taken, by the prefix or another test
        try:
            yield letter.upper() + ":"
        finally:
            os.unlink(link)
        return
    fail(f"no free drive letter in {devices}")


def z_name(path):
    """How a program under Wine names a file of the host: through Z:."""
    return "Z:" + path.replace("/", "\\")


def run(options, program, arguments, directory):
    """Runs PROGRAM under Wine in `directory`, its output read through
    pipes: its status, standard output and standard error."""
    environment = dict(os.environ, WINEDEBUG="-all", LC_ALL="C.UTF-8")
    done = subprocess.run([options.wine, program, *arguments], cwd=directory,
                          stdin=subprocess.DEVNULL, capture_output=True,
                          env=environment, timeout=120, check=False)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def expect(what, got, wanted):
    print(f"{what}: {got!r}")
    if got != wanted:
        fail(f"{what}: expected {wanted!r}")


def numbered_image(blocks):
    """Blocks of the bytes 0 to 255 over and over."""
    return bytes(range(256)) * (blocks * BLOCK // 256)


def drive_letters_varnel(options, directory):
    """The image by a mapped letter, the record file by Z: and the same
    name: refused, the image untouched. Through the letter alone, the
    conversion works."""
    image = numbered_image(2)
    with open(os.path.join(directory, "src2.fls"), "wb") as file:
        file.write(image)
    with drive_letter_for(directory) as letter:
        source = letter + "\\src2.fls"
        same = z_name(os.path.join(directory, "src2.fls"))
        status, out, err = run(options, options.varnel, ["0", source, same],
                               directory)
        expect("the message", out,
               f"{BANNER}\r\n\r\nCannot create destination file "
               f"\"{same}\": it is the source file.\r\n\r\n")
        expect("standard error", err, "")
        expect("the status", status, 0)
        with open(os.path.join(directory, "src2.fls"), "rb") as file:
            if file.read() != image:
                fail("the image changed")

        status, out, _ = run(options, options.varnel,
                             ["0", source, letter + "\\out.hy"], directory)
        expect("a conversion through the letter", out,
               f"{BANNER}\r\n\r\nOutput written to \"{letter}\\out.hy\"."
               "\r\n\r\n")
        if os.path.getsize(os.path.join(directory, "out.hy")) != 2 * (BLOCK + 9):
            fail("no record file of two records")


def drive_letters_check(options, directory):
    """The record file by a mapped letter, the image by Z: and the same
    name: refused with status 2, the record file untouched."""
    with open(os.path.join(directory, "in.fls"), "wb") as file:
        file.write(numbered_image(2))
    status, _, _ = run(options, options.varnel, ["0", "in.fls", "r1.hy"],
                       directory)
    with open(os.path.join(directory, "r1.hy"), "rb") as file:
        records = file.read()
    if status != 0 or len(records) != 2 * (BLOCK + 9):
        fail(f"no record file to start from (status {status})")
    with drive_letter_for(directory) as letter:
        same = z_name(os.path.join(directory, "r1.hy"))
        status, out, err = run(options, options.check,
                               ["-o", same, letter + "\\r1.hy"], directory)
        # varnel-check writes each backslash of a name as two.
        escaped = same.replace("\\", "\\\\")
        expect("standard error", err,
               f"varnel-check: \"{escaped}\" is the record file itself\r\n")
        expect("standard output", out, "")
        expect("the status", status, 2)
        with open(os.path.join(directory, "r1.hy"), "rb") as file:
            if file.read() != records:
                fail("the record file changed")


CASES = {
    "drive-letters-varnel": drive_letters_varnel,
    "drive-letters-check": drive_letters_check,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine", required=True)
    parser.add_argument("--varnel", required=True)
    parser.add_argument("--check", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()
    options.varnel = os.path.abspath(options.varnel)
    options.check = os.path.abspath(options.check)
    with tempfile.TemporaryDirectory() as directory:
        CASES[options.case](options, os.path.realpath(directory))
    print("passed")


if __name__ == "__main__":
    main()
