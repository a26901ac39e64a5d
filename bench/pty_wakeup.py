"""How long a byte written to a pseudo-terminal takes to reach its reader,
on this machine, with nothing of the driver involved: run it beside a load
(for example `zel_modbus_bench --load 30 ZELHOST`) to tell the machine's
share of a reception delay from the gateway's.
Usage: pty_wakeup.py [SECONDS]   (default 10)"""
import os
import pty
import select
import sys
import threading
import time
import tty

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
give_up = 20.0  # a byte not read by then counts as this late
master, slave = pty.openpty()
tty.setraw(slave)
arrivals = []


def read_forever():
    while True:
        ready, _, _ = select.select([slave], [], [], 5)
        if ready:
            os.read(slave, 64)
            arrivals.append(time.monotonic())


threading.Thread(target=read_forever, daemon=True).start()
delays = []
end = time.monotonic() + seconds
while time.monotonic() < end:
    seen = len(arrivals)
    sent = time.monotonic()
    os.write(master, b"x")
    while len(arrivals) == seen and time.monotonic() - sent < give_up:
        time.sleep(0.0005)
    delays.append(arrivals[-1] - sent if len(arrivals) > seen else give_up)
    time.sleep(0.05)
delays.sort()
print("pty write -> read, %d bytes: p50 %.2f ms, p99 %.2f ms, max %.1f ms"
      % (len(delays), delays[len(delays) // 2] * 1e3, delays[int(len(delays) * 0.99)] * 1e3, delays[-1] * 1e3))
