#!/usr/bin/env python3
"""Runs a command on a pseudo-terminal, as a developer at a console would:
waits until its output shows a text, types keys, and waits for it to end.

usage: at_terminal.py OUTPUT TEXT KEYS -- COMMAND [ARG...]
  OUTPUT  file that gets everything the command wrote to the terminal
  TEXT    what to wait for; compared without spaces and terminal control
          sequences (Wine's console draws a space as a cursor movement)
  KEYS    typed once TEXT was seen, with Python escapes ("\\x03" is Ctrl-C)
Exits with the command's exit code; 124 when TEXT did not come or the command
did not end within 120 seconds (it is then killed)."""
import os
import pty
import re
import select
import signal
import sys
import time

CONTROL = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07|[\r\n\t ]")


def main():
    if len(sys.argv) < 6 or sys.argv[4] != "--":
        sys.stderr.write(__doc__)
        return 2
    output, text, keys = sys.argv[1], sys.argv[2], sys.argv[3]
    wanted = CONTROL.sub(b"", text.encode("utf-8"))
    keys = keys.encode("latin-1").decode("unicode_escape").encode("latin-1")
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execvp(sys.argv[5], sys.argv[5:])
        finally:
            os._exit(127)
    seen = b""
    typed = False
    code = None
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                block = os.read(fd, 65536)
            except OSError:
                block = b""
            seen += block
        if not typed and wanted in CONTROL.sub(b"", seen):
            os.write(fd, keys)
            typed = True
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            code = os.waitstatus_to_exitcode(status)
            break
    if code is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    with open(output, "wb") as f:
        f.write(seen)
    if not typed or code is None:
        return 124
    return code if code >= 0 else 128 - code


if __name__ == "__main__":
    sys.exit(main())
