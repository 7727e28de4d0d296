#!/usr/bin/env python3
"""varnel.exe and varnel-check.exe on the host's files, as Wine shows them.

A folder reached through two drive letters (subst, a mapped network drive
and its UNC path) has other names and another drive number under each, and is
still one folder. Wine maps a drive letter through a symbolic link in its
prefix's dosdevices folder; each case maps a free letter to a scratch folder
that Wine also shows under Z:, names one file both ways, and checks that the
programs refuse to write the file they read.

Wine's files are the host's, with Unix permission bits and Unix links, which
a Windows program does not see as such: a replaced file's bits are never
widened, and a link that leads nowhere is not replaced by a file.

    wine_names_test.py --wine WINE --varnel VARNEL.EXE --check CHECK.EXE CASE
"""

import argparse
import contextlib
import os
import stat
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


# A block of 0x01 at address 0 and its record: 8192 ones sum to 0 modulo
# 256, so the header is the all-zero block's, 0B 00 00 00 00 00 20 00 DF.
ONES = b"\x01" * BLOCK
ONES_RECORD = bytes([0x0B, 0, 0, 0, 0, 0, 0x20, 0, 0xDF]) + ONES
# The worked record of the format: a block of zeros at address 0.
ZERO_RECORD = bytes([0x0B, 0, 0, 0, 0, 0, 0x20, 0, 0xDF]) + bytes(BLOCK)


def write(path, data, mode=None):
    with open(path, "wb") as file:
        file.write(data)
    if mode is not None:
        os.chmod(path, mode)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def replace_under(options, directory, program):
    """The command of `program` that replaces out in the folder sub: its
    words, the output's name, the old file and the new one."""
    write(os.path.join(directory, "in.fls"), ONES)
    write(os.path.join(directory, "rec.hy"), ONES_RECORD)
    if program == "varnel":
        return ([options.varnel, "0", "in.fls", "sub/out.hy"], "out.hy",
                ZERO_RECORD, ONES_RECORD)
    return ([options.check, "-q", "-o", "sub/out.fls", "rec.hy"], "out.fls",
            b"o" * 100, ONES)


def never_widened(options, directory, program):
    """A replaced file keeps no more than its Unix permission bits gave, in a
    folder that others may read or write to as in a private one: Wine would
    turn the old file's ACL, given to the new one, into wider bits."""
    words, output, old, new = replace_under(options, directory, program)
    folder = os.path.join(directory, "sub")
    os.mkdir(folder)
    # Where nothing was, the new file has what any new file has: read and
    # write for all, less the umask.
    umask = os.umask(0)
    os.umask(umask)
    status, _, _ = run(options, words[0], words[1:], directory)
    path = os.path.join(folder, output)
    expect("the status", status, 0)
    expect("the mode of a new file", f"{stat.S_IMODE(os.stat(path).st_mode):o}",
           f"{0o666 & ~umask:o}")
    for folder_mode in (0o755, 0o777, 0o700):
        for old_mode in (0o600, 0o640, 0o644):
            print(f"folder {folder_mode:o}, old file {old_mode:o}")
            os.chmod(folder, folder_mode)
            os.remove(path)
            write(path, old, old_mode)
            status, _, err = run(options, words[0], words[1:], directory)
            expect("standard error", err, "")
            expect("the status", status, 0)
            if read(path) != new:
                fail("not the new file")
            mode = stat.S_IMODE(os.stat(path).st_mode)
            print(f"mode: {mode:o}")
            if mode & ~old_mode:
                fail(f"{mode:o} is wider than {old_mode:o}")
            expect("the folder", sorted(os.listdir(folder)), [output])


def never_widened_varnel(options, directory):
    never_widened(options, directory, "varnel")


def never_widened_check(options, directory):
    never_widened(options, directory, "check")


def dangling_link(options, directory, program):
    """A Unix link that leads nowhere, at the output's name: Wine shows it
    as no file at all. It stays the link it was, and nothing is made where
    it leads: a Windows program cannot tell where that is."""
    words, output, _, _ = replace_under(options, directory, program)
    folder = os.path.join(directory, "sub")
    os.mkdir(folder)
    path = os.path.join(folder, output)
    os.symlink("nowhere", path)
    status, out, err = run(options, words[0], words[1:], directory)
    if program == "varnel":
        expect("the message", out,
               f"{BANNER}\r\n\r\nError writing destination file "
               f"\"sub/{output}\".\r\n\r\n")
        expect("the status", status, 0)
    else:
        expect("standard error", err,
               f"varnel-check: error writing \"sub/{output}\": File exists"
               "\r\n")
        expect("the status", status, 2)
    if not os.path.islink(path) or os.readlink(path) != "nowhere":
        fail("the link was replaced")
    expect("the folder", sorted(os.listdir(folder)), [output])


def dangling_link_varnel(options, directory):
    dangling_link(options, directory, "varnel")


def dangling_link_check(options, directory):
    dangling_link(options, directory, "check")


CASES = {
    "drive-letters-varnel": drive_letters_varnel,
    "drive-letters-check": drive_letters_check,
    "never-widened-varnel": never_widened_varnel,
    "never-widened-check": never_widened_check,
    "dangling-link-varnel": dangling_link_varnel,
    "dangling-link-check": dangling_link_check,
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
