"""Runs a command on a pseudo-terminal, as a person at a console would, and
presses Enter once its output shows TEXT. Its output goes to standard
output; the exit status is the command's.
Usage: on_terminal.py TEXT COMMAND [ARG...]"""
import os
import pty
import select
import sys

text, command = sys.argv[1].encode(), sys.argv[2:]
pid, terminal = pty.fork()
if pid == 0:
    os.execv(command[0], command)
seen, pressed = b"", False
while True:
    ready, _, _ = select.select([terminal], [], [], 0.1)
    if ready:
        try:
            data = os.read(terminal, 4096)
        except OSError:  # the command ended and its terminal hung up
            break
        if not data:
            break
        seen += data
        sys.stdout.buffer.write(data.replace(b"\r\n", b"\n"))
        sys.stdout.flush()
    if not pressed and text in seen:
        os.write(terminal, b"\n")
        pressed = True
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
