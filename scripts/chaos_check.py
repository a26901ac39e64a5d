#!/usr/bin/python3
"""The chaos soak's checker (scripts/chaos.sh starts it).

It reads the gateway's outputs the way a site's subscriber and a PLC would,
with code of its own: paho-mqtt with a persistent session at QoS 1, and
Modbus TCP as raw frames. It knows the panels only from zelpanel's reports.

    chaos_check.py watch --broker-port P --modbus-port M --prefix X --points F... --control FIFO
    chaos_check.py burst --modbus-port M --clients N --seed S

`watch` takes commands, one a line, on the control FIFO:
    check ROUND RUN RESTARTED REPORT...   the panels are quiet: compare (one report per channel)
    end SECONDS KIND=COUNT...             print the table and exit (non-zero on any violation)
and answers each check on standard output (`check ROUND ok` or `check ROUND FAILED ...`).
"""
import argparse
import json
import queue
import random
import socket
import struct
import sys
import threading
import time

import paho.mqtt.client as mqtt

QUIET_DEADLINE = 60  # seconds a quiet check may wait for the outputs to settle


def log(text):
    print("%s chaos_check: %s" % (time.strftime("%H:%M:%S"), text), flush=True)


def read_report(path):
    """zelpanel's report: the table its messages leave (from all 0) and whether a clear was among them."""
    table, clear, sent = {}, False, 0
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "sent":
                sent += 1
                clear = clear or line.rstrip().endswith(" clear")
            elif words[0] == "expect":
                table[words[2]] = int(words[3])
    return {a: v for a, v in table.items() if v}, clear, sent


def register(address):
    return int(address[0:2]) * 2000 + int(address[2:4]) * 200 + int(address[4:7])


def address_of(reg):
    return "%02d%02d%03d" % (reg // 2000, reg % 2000 // 200, reg % 200)


class Modbus:
    """Function 04 over a plain socket, frames built here."""

    def __init__(self, port):
        self.port, self.sock, self.tid = port, None, 0

    def read(self, unit, start, count):
        if self.sock is None:
            self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=3)
        self.tid = (self.tid + 1) & 0xFFFF
        self.sock.sendall(struct.pack(">HHHBBHH", self.tid, 0, 6, unit, 4, start, count))
        head = self._take(9)
        tid, proto, length, got_unit, function, size = struct.unpack(">HHHBBB", head)
        if function != 4:
            raise AssertionError("exception %d for unit %d at %d+%d" % (size, unit, start, count))
        if (tid, proto, got_unit, size, length) != (self.tid, 0, unit, 2 * count, 3 + 2 * count):
            raise AssertionError("malformed answer %r to unit %d, %d+%d" % (head, unit, start, count))
        return list(struct.unpack(">%dH" % count, self._take(size)))

    def _take(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("connection closed")
            data += chunk
        return data

    def close(self):
        if self.sock is not None:
            self.sock.close()
        self.sock = None

    def table(self, unit):
        """Every point register of the unit that is not 0, and LINE, KNOWN."""
        points = {}
        for bus in range(9):
            for slot in range(9):
                first = bus * 2000 + slot * 200
                values = self.read(unit, first, 125) + self.read(unit, first + 125, 26)
                points.update({address_of(first + i): v for i, v in enumerate(values) if v})
        diag = self.read(unit, 20000, 7)
        return points, diag[5], diag[6]


class Watch:
    def __init__(self, a):
        self.a = a
        self.channels = len(a.points)
        self.named = []  # per channel: the addresses the points file names
        for path in a.points:
            with open(path) as f:
                self.named.append([line.split(",")[0] for line in f if line[:1].isdigit()])
        self.lock = threading.Lock()
        self.events = {}  # (run, channel) -> {seq: (address, old, new)}
        self.runs = []  # in the order first seen
        self.messages = self.duplicates = self.invented = self.events_checked = 0
        self.quiet = {1: 0, 0: 0}  # channels compared at quiet points, by KNOWN
        self.violations = []
        self.client = mqtt.Client(client_id=a.client_id, clean_session=False)
        self.client.on_connect = self.on_connect
        self.client.on_message = self.on_message
        self.client.reconnect_delay_set(1, 2)
        self.client.connect_async("127.0.0.1", a.broker_port, keepalive=30)
        self.client.loop_start()
        self.modbus = Modbus(a.modbus_port)

    def on_connect(self, client, userdata, flags, rc):
        client.subscribe(self.a.prefix + "/+/events", qos=1)
        print("mqtt connected (session present: %d)" % flags.get("session present", 0), flush=True)

    def violation(self, text):
        with self.lock:
            self.violations.append(text)
        log("VIOLATION: " + text)

    def on_message(self, client, userdata, msg):
        try:
            e = json.loads(msg.payload)
            key, seq = (e["run"], e["channel"]), e["seq"]
            change = (e["address"], e["old"], e["new"])
        except (ValueError, KeyError, TypeError):
            self.violation("an event that is not the documented JSON: %r" % msg.payload[:200])
            return
        with self.lock:
            self.messages += 1
            if e["run"] not in self.runs:
                self.runs.append(e["run"])
            seen = self.events.setdefault(key, {})
            if seq in seen:
                self.duplicates += 1
                if seen[seq] != change:
                    self.violations.append("run %s channel %d seq %d twice with other changes: %r, %r"
                                           % (key + (seq, seen[seq], change)))
            else:
                seen[seq] = change

    def replay(self, run, channel):
        """The table the run's events give, from all 0; counts gaps and changes whose `old` does not follow."""
        with self.lock:
            seen = dict(self.events.get((run, channel), {}))
        table, lost, invented = {}, [], []
        for seq in range(1, max(seen, default=0) + 1):
            if seq not in seen:
                lost.append(seq)
                continue
            address, old, new = seen[seq]
            if table.get(address, 0) != old:
                invented.append((seq, address, table.get(address, 0), old))
            table[address] = new
        return {a: v for a, v in table.items() if v}, lost, invented, set(a for a, _, _ in seen.values())

    def retained(self):
        """The retained topics under the prefix, from a fresh clean session."""
        got, subscribed = {}, threading.Event()
        c = mqtt.Client(client_id="", clean_session=True)
        c.on_connect = lambda c, u, f, rc: c.subscribe(self.a.prefix + "/#", qos=1)
        c.on_subscribe = lambda *args: subscribed.set()
        c.on_message = lambda c, u, m: m.retain and got.__setitem__(m.topic[len(self.a.prefix) + 1:], m.payload.decode())
        c.connect("127.0.0.1", self.a.broker_port, keepalive=10)
        c.loop_start()
        try:
            if not subscribed.wait(5):
                raise IOError("no subscription")
            last = -1
            while last != len(got):  # the retained messages come at once after the subscription
                last = len(got)
                time.sleep(0.4)
        finally:
            c.loop_stop()
            c.disconnect()
        return got

    def check(self, rnd, run, restarted, reports):
        """Waits for the outputs to settle on the panels' tables; returns the problems left at the deadline."""
        deadline = time.monotonic() + QUIET_DEADLINE
        while True:
            try:
                problems = self.compare(run, restarted, reports)
            except (OSError, AssertionError) as why:
                problems = ["cannot read the outputs: %s" % why]
                self.modbus.close()
            if not problems or time.monotonic() > deadline:
                return problems
            time.sleep(1)

    def compare(self, run, restarted, reports):
        problems = []
        retained = self.retained()
        if retained.get("status") != "online":
            return ["status is %r" % retained.get("status")]
        checked, known = 0, []
        for ch in range(1, self.channels + 1):
            expected, clear, sent = read_report(reports[ch - 1])
            where = "channel %d" % ch
            points = {t.split("/")[2]: int(v) for t, v in retained.items() if t.startswith("%d/point/" % ch) and v}
            points = {a: v for a, v in points.items() if v}
            known_topic = retained.get("%d/diag/KNOWN" % ch)
            line = retained.get("%d/line" % ch)
            mb_points, mb_line, mb_known = self.modbus.table(ch)
            events, lost, invented, changed = self.replay(run, ch)
            known.append(mb_known)
            checked += sum(1 for _ in changed)
            if lost:
                problems.append("%s: run %s lost seq %s" % (where, run, lost[:10]))
            if invented:
                problems.append("%s: run %s changes whose old value does not follow: %s" % (where, run, invented[:5]))
            if line != "up" or mb_line != 0:
                problems.append("%s: line %r, Modbus LINE %d with the panel quiet and its port there" % (where, line, mb_line))
            if known_topic != str(mb_known):
                problems.append("%s: diag/KNOWN %r but Modbus KNOWN %d" % (where, known_topic, mb_known))
            # Every output agrees with the others, known or not.
            for name, table in (("retained points", points), ("Modbus registers", mb_points)):
                if table != events:
                    problems.append("%s: %s differ from the run's events: %s" % (where, name, diff(events, table)))
            known_points = [a for a in self.named[ch - 1] if retained.get("%d/known/%s" % (ch, a)) == "1"]
            if mb_known == 1:
                if not clear:
                    problems.append("%s: KNOWN 1, but the panel sent no clear since its line came" % where)
                if events != expected:
                    problems.append("%s: the run's events differ from the panel's report (%d messages): %s"
                                    % (where, sent, diff(expected, events)))
                if len(known_points) != len(self.named[ch - 1]):
                    problems.append("%s: KNOWN 1 but %d of %d named points not known"
                                    % (where, len(self.named[ch - 1]) - len(known_points), len(self.named[ch - 1])))
            else:
                if clear and restarted == "0":
                    problems.append("%s: the panel's clear came, the gateway ran on, and KNOWN stays 0" % where)
                claimed = [a for a in known_points if a not in changed]
                if claimed:
                    problems.append("%s: KNOWN 0, yet known/ says 1 for points without an event: %s" % (where, claimed[:5]))
        if not problems:
            self.events_checked += checked
            for k in known:
                self.quiet[k] += 1
        return problems

    def serve(self):
        commands = queue.Queue()

        def reader():
            with open(self.a.control) as f:
                for line in f:
                    commands.put(line.split())
            commands.put(["end"])

        threading.Thread(target=reader, daemon=True).start()
        while True:
            words = commands.get()
            if not words:
                continue
            if words[0] == "check":
                rnd, run, restarted, reports = words[1], words[2], words[3], words[4:]
                problems = self.check(rnd, run, restarted, reports)
                for p in problems:
                    self.violation("round %s: %s" % (rnd, p))
                print("check %s %s" % (rnd, "ok" if not problems else "FAILED %d" % len(problems)), flush=True)
            elif words[0] == "end":
                return self.end(words[1:])

    def end(self, words):
        seconds = words[0] if words else "?"
        faults = dict(w.split("=", 1) for w in words[1:])
        unnamed = int(faults.pop("unnamed", 0))
        lost = 0
        with self.lock:
            keys = list(self.events)
        for run, ch in keys:
            _, gaps, invented, _ = self.replay(run, ch)
            lost += len(gaps)
            self.invented += len(invented)
            if gaps or invented:
                self.violation("run %s channel %d: lost seq %s, changes not following %s" % (run, ch, gaps[:10], invented[:5]))
        self.client.loop_stop()
        rows = [("seconds", seconds), ("messages (events received)", self.messages),
                ("runs of the gateway seen", len(self.runs)), ("events checked at quiet points", self.events_checked),
                ("channels compared with the report (KNOWN 1)", self.quiet[1]),
                ("channels compared while unknown (KNOWN 0)", self.quiet[0])]
        rows += [("faults: " + k, v) for k, v in sorted(faults.items())]
        rows += [("faults the gateway's log did not name", unnamed), ("lost", lost), ("invented", self.invented),
                 ("duplicates", self.duplicates), ("violations", len(self.violations))]
        print("| what | count |\n|---|---|")
        for name, value in rows:
            print("| %s | %s |" % (name, value))
        return 1 if self.violations or unnamed else 0


def diff(want, got):
    keys = sorted(set(want) | set(got))
    bad = ["%s want %d got %d" % (k, want.get(k, 0), got.get(k, 0)) for k in keys if want.get(k, 0) != got.get(k, 0)]
    return "%d points: %s" % (len(bad), ", ".join(bad[:6]))


def burst(a):
    """A crowd of Modbus clients at once: each answer well formed (the gateway may be away: refused is fine)."""
    rng = random.Random(a.seed)
    failures, answered = [], [0]

    def client(n):
        m = Modbus(a.modbus_port)
        r = random.Random(rng.random())
        try:
            for _ in range(a.reads):
                # A slot's points, or the diagnostic tags: inside the map, never an exception.
                first = r.randint(0, 8) * 2000 + r.randint(0, 8) * 200 if r.random() < 0.9 else 20000
                start = first + r.randint(0, 150 if first < 20000 else 6)
                last = first + (150 if first < 20000 else 6)
                m.read(r.randint(1, a.units), start, r.randint(1, min(125, last - start + 1)))
                answered[0] += 1
        except AssertionError as why:
            failures.append(str(why))
        except ConnectionError:
            pass  # the gateway restarting, or this client replaced by a newer one
        except OSError as why:
            failures.append(str(why))
        finally:
            m.close()

    threads = [threading.Thread(target=client, args=(n,)) for n in range(a.clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("modbus burst: %d clients, %d answers, %d malformed" % (a.clients, answered[0], len(failures)))
    for f in failures[:5]:
        print("  " + f)
    return 1 if failures else 0


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="command", required=True)
    w = sub.add_parser("watch")
    w.add_argument("--broker-port", type=int, required=True)
    w.add_argument("--modbus-port", type=int, required=True)
    w.add_argument("--prefix", required=True)
    w.add_argument("--points", nargs="+", required=True)
    w.add_argument("--control", required=True)
    w.add_argument("--client-id", default="zelchaos-checker")
    b = sub.add_parser("burst")
    b.add_argument("--modbus-port", type=int, required=True)
    b.add_argument("--clients", type=int, default=20)
    b.add_argument("--reads", type=int, default=20)
    b.add_argument("--units", type=int, default=4)
    b.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    sys.exit(Watch(a).serve() if a.command == "watch" else burst(a))


if __name__ == "__main__":
    main()
