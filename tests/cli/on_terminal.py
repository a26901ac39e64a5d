"""Runs a command on a pseudo-terminal of 80 by 24 characters, as a person at
a console would, and with --enter TEXT presses Enter once its output shows
TEXT. Its output goes to standard output as text: a console that draws with
escape sequences (Wine's does, moving the cursor over each space) is shown
as the characters it drew. The exit status is the command's.
Usage: on_terminal.py [--enter TEXT] COMMAND [ARG...]"""
import fcntl
import os
import pty
import re
import select
import struct
import sys
import termios

# Cursor forward N: N spaces; any other control sequence: nothing.
SEQUENCE = re.compile(rb"\x1b\[([0-9;?]*)([A-Za-z])")


def shown(data):
    def draw(match):
        if match.group(2) == b"C":
            return b" " * int(match.group(1) or b"1")
        return b""
    return SEQUENCE.sub(draw, data).replace(b"\r\n", b"\n").replace(b"\r", b"")


text, command = None, sys.argv[1:]
if command[:1] == ["--enter"]:
    text, command = command[1].encode(), command[2:]
pid, terminal = pty.fork()
if pid == 0:
    fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    os.execvp(command[0], command)
raw, pressed = b"", text is None
written = 0
while True:
    ready, _, _ = select.select([terminal], [], [], 0.1)
    if ready:
        try:
            data = os.read(terminal, 4096)
        except OSError:  # the command ended and its terminal hung up
            break
        if not data:
            break
        raw += data
    # A sequence cut by the read is drawn when the rest has come.
    cut = raw.rfind(b"\x1b")
    complete = raw if cut < 0 or SEQUENCE.match(raw, cut) else raw[:cut]
    text_so_far = shown(complete)
    sys.stdout.buffer.write(text_so_far[written:])
    sys.stdout.flush()
    written = len(text_so_far)
    if not pressed and text in text_so_far:
        os.write(terminal, b"\r")  # what a terminal's Enter key sends
        pressed = True
sys.stdout.buffer.write(shown(raw)[written:])
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
