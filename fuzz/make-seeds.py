#!/usr/bin/env python3
"""Writes the committed seed corpora under fuzz/corpus/<target>/.

Each seed is a small, readable starting point in the input format that its
target's header comment describes. Run it again after changing a format:
    python3 fuzz/make-seeds.py
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# --- decoder: the receive buffer's bytes ------------------------------------

def record(bus, kind, slot, code, tail="0000000000000000"):
    """A 24-character event record: bus digit, kind, 3 free, slot, code, 16 free."""
    text = f"{bus}{kind}000{slot}{code}{tail}"
    assert len(text) == 24, text
    return text.encode()


def message(records, hs=10, free=b"S", count=None):
    n = len(records) if count is None else count
    return b"\r\n" + b"h" * hs + free + b"%X" % n + b"".join(records)


def decoder_seeds():
    write("decoder", "event-two-records", message([record(0, 3, 3, "00"), record(1, 8, 0, "7F")]))
    write("decoder", "clear-command", b"gggggggggg")
    write("decoder", "clear-behind-nul", b"\r\nhhhhhhhhhS1" + record(0, 0, 0, "01") + b"\0gggggggggg")
    write("decoder", "nine-g", b"ggggggggg")
    write("decoder", "eight-h-header", b"\r\nhhhhhhhhS1" + record(0, 0, 0, "01"))
    write("decoder", "battery-point", message([record(2, 2, 0, "08")]))
    write("decoder", "lower-case-hex", message([record(0, 0, 3, "7f"), record(0, "a", 3, "10")]))
    write("decoder", "kinds-2-3-overwrite",
          message([record(0, 0, 3, "82"), record(0, 8, 3, "82"), record(0, 3, 3, "52"), record(0, 2, 3, "0A"),
                   record(0, 3, 3, "04")]))
    fifteen = [record(i % 10, "0238ABCDEF1456"[i % 14], (i * 3) % 10, "%02X" % (i * 17 % 256)) for i in range(15)]
    write("decoder", "count-F", message(fifteen))
    write("decoder", "count-zero", message([record(0, 0, 0, "01")], count=0))
    write("decoder", "outside-table", message([record(8, 0, 0, "01"), record(0, 0, 9, "01"), record(0, 0, 0, "99"),
                                               record(0, 2, 0, "FF"), record("x", 0, 0, "01")]))
    write("decoder", "blanks-and-short",
          b"\r\nhhhhhhhhhhhhS \t3  " + record(1, 0, 1, "05")[:6] + b" " + record(1, 8, 1, "05") + b"\r\n")
    write("decoder", "text-ends-early", message([record(0, 0, 0, "01")], count=5))
    # Stretches of stream: several messages, noise and a clear command back
    # to back; a message cut short by the next header.
    write("decoder", "stream-burst",
          message([record(0, 3, 3, "00")]) + b"\r\n" + message([record(1, 0, 1, "05")]) + b"noise" +
          b"gggggggggg" + message([record(2, 8, 2, "7F"), record(3, 2, 0, "08")]))
    write("decoder", "stream-cut-short", message([record(0, 0, 0, "01"), record(0, 0, 0, "02")], count=4)[:-30] +
          message([record(4, 0, 4, "11")]))
    # A record that white space pushed back runs into the end of the text;
    # the next record's place still lies inside it.
    write("decoder", "record-pushed-back-to-the-end",
          b"\r\nhhhhhhhhhS3" + b"\x0c" * 20 + record(0, 0, 0, "01")[:10] + b" 1000000200")


# --- addresses: type choice, table seed, text --------------------------------

def addresses_seeds():
    type0, type6 = 0, 1
    raw = 3
    cases = [
        ("ckt-type-6", type6, b"0104130"), ("ckt-type-0", type0, b"0104130"),
        ("regular-type-0", type0, b"0104001"), ("battery", type6, b"0301148"),
        ("battery-wrong-slot", type6, b"0302148"), ("bus-9", type0, b"0904001"),
        ("eight-digits", type0, b"01041300"), ("six-digits", type0, b"010413"),
        ("point-150", type0, b"0104150"), ("point-151", type0, b"0104151"),
        ("letters", type0, b"01 4A30"), ("empty", type0, b""), ("four-digits", type0, b"0104"),
        ("twelve-chars", type6, b"010413000000"),
    ]
    for name, choice, text in cases:
        write("addresses", name, bytes([choice, 0x42]) + text)
    write("addresses", "any-type-code", bytes([raw]) + struct.pack("<i", -1) + bytes([7]) + b"0104130")


# --- composition: mode, then a direct check or a dialog session -------------

def piece(text):
    return bytes([len(text)]) + text


def composition_seeds():
    direct = [
        ("type0-canonical", 1, 0, b"01", b"01", b"001"),
        ("type0-short-texts", 1, 0, b"3", b"04", b"12"),
        ("ckt", 4, 2, b"01", b"04", b"130"),
        ("line-shorted", 3, 1, b"08", b"8", b"143"),
        ("battery", 2, 0, b"5", b"", b""),
        ("no-type", 0, 0, b"01", b"01", b"001"),
        ("type0-missing-slot-point", 1, 0, b"01", b"", b""),
        ("bus-zero", 2, 0, b"0", b"", b""),
        ("point-out-of-range", 3, 1, b"01", b"01", b"139"),
        ("pasted-texts", 1, 0, b"+1", b" 2", b"0007"),
        ("three-digit-bus", 1, 0, b"001", b"01", b"001"),
    ]
    for name, kind, rng, bus, slot, point in direct:
        write("composition", "direct-" + name, bytes([0, kind, rng]) + piece(bus) + piece(slot) + piece(point))
    radio_regular, radio_battery, radio_line, radio_ckt = b"\x00\x00\x00", b"\x00\x01\x00", b"\x00\x02\x00", b"\x00\x03\x00"
    ok, cancel = b"\x01", b"\x02"
    spin_up = lambda field: bytes([5, field])          # code 0: up
    spin_down = lambda field: bytes([5, field + 3])    # code 1: down
    type_text = lambda field, text: bytes([4, field]) + piece(text)
    sessions = [
        ("ok-without-type", ok),
        ("type0-ok", radio_regular + ok),
        ("battery-ok", radio_battery + ok),
        ("ckt-spins-ok", radio_ckt + spin_up(0) + spin_up(1) + spin_up(2) + spin_down(2) + ok),
        ("line-typed-ok", radio_line + type_text(0, b"7") + type_text(1, b"08") + type_text(2, b"142") + ok),
        ("type0-bad-then-fixed", radio_regular + type_text(2, b"128") + ok + type_text(2, b"127") + ok),
        ("cancel", radio_regular + cancel),
        ("pasted-long", radio_regular + type_text(0, b"0001") + ok + type_text(0, b"1") + ok),
        ("stray-messages", b"\x03\x39\x04" + b"\x06\x00\x01\x00\x00\x00" + b"\x07\x10\x00\x00\x00" + b"\x00" * 8 + radio_ckt + ok),
    ]
    for name, actions in sessions:
        write("composition", "dialog-" + name, b"\x01" + actions)


# --- zelmain: block mode, table seed, then calls -----------------------------
# A call: operation byte, flags, for codes 3, 5 and 7 a byte choosing the
# type and parameter codes, request length and bytes, address text (length
# and bytes), 4 TagValue bytes. Offsets of TagRequest on a 64-bit
# build: typeCode 12, paramCode 16.

RAW_CODES = 3 + 4 * 4  # for codes 3, 5 and 7: keep the request's own type and parameter codes


def call(op, request=b"", text=b"", value=b"\0\0\0\0", flags=0, choice=RAW_CODES):
    chosen = bytes([choice]) if op in (3, 5, 7) else b""
    return bytes([op, flags]) + chosen + bytes([len(request)]) + request + piece(text) + value


def tag_request(type_code=0, param=0):
    return b"\0" * 12 + struct.pack("<iI", type_code, param)


def open_request(name, enabled=1, timeout=100, line=(9600, 8, 0, 0)):
    return name.ljust(12, b"\0")[:12] + struct.pack("<II4H", enabled, timeout, *line)


def change_request(name, line=(19200, 8, 0, 0)):
    return name.ljust(16, b"\0")[:16] + struct.pack("<4H", *line)


def zelmain_seeds():
    fresh = b"\x00\x11"
    write("zelmain", "driver-info", fresh + call(14))
    write("zelmain", "validate-and-read", fresh + call(3, tag_request(6), b"0104130") +
          call(5, tag_request(), b"0104130") + call(5, tag_request(), b"0104151"))
    write("zelmain", "write-parameters", fresh + call(7, tag_request(param=70), value=b"\0\0\x34\x12") +
          call(7, tag_request(param=65), value=b"\0\0\x01\x00") + call(7, tag_request(param=97)) +
          call(7, tag_request(), value=b"\0\0\xff\xff", choice=2 * 4))
    write("zelmain", "open-refused", fresh + call(1, open_request(b"ttyS0")) + call(2) + call(12) + call(11))
    write("zelmain", "open-disabled", fresh + call(1, open_request(b"COM1", enabled=0)))
    write("zelmain", "open-unterminated-name", fresh + call(1, open_request(b"ABCDEFGHIJKL")))
    write("zelmain", "reopen-and-change", fresh + call(13) + call(15, change_request(b"ttyS9")) +
          call(15, change_request(b"0123456789ABCDE")) + call(15, change_request(b"NUL", (0, 0, 0, 0))))
    write("zelmain", "unsupported-codes", fresh + b"".join(call(op) for op in (0, 4, 6, 8, 9, 10, 17)))
    write("zelmain", "edit-tag-address", fresh + call(16) + call(16, flags=4))
    write("zelmain", "null-records", fresh + b"".join(call(op, flags=0x1F) for op in range(1, 17)))
    write("zelmain", "stale-port", b"\x01\x22" + struct.pack("<I", 0x1234) + b"COM3".ljust(12, b"\0") +
          struct.pack("<5H", 9600, 8, 0, 0, 0x4333) + call(12) + call(2) + call(13) + call(15, change_request(b"COM4")))
    write("zelmain", "large-code", fresh + bytes([0xF0]) + struct.pack("<I", 0xFFFFFFFF) + b"\0\0\0" + b"\0" * 4)


# --- modbus: a table seed byte, then a request ADU --------------------------

def adu(unit, pdu, transaction=1, protocol=0, length=None):
    return struct.pack(">HHHB", transaction, protocol, len(pdu) + 1 if length is None else length, unit) + pdu


def modbus_seeds():
    write("modbus", "input-registers", b"\x05" + adu(1, struct.pack(">BHH", 4, 2930, 3)))
    write("modbus", "holding-diagnostics", b"\x09" + adu(7, struct.pack(">BHH", 3, 20000, 5)))
    write("modbus", "discrete-inputs", b"\x11" + adu(1, struct.pack(">BHH", 2, 26, 125)))
    write("modbus", "write-registers", b"\x00" + adu(1, struct.pack(">BHHBHH", 0x10, 0, 2, 4, 1, 2)))
    write("modbus", "unknown-unit", b"\x00" + adu(9, struct.pack(">BHH", 4, 0, 1)))
    write("modbus", "outside-the-map", b"\x00" + adu(1, struct.pack(">BHH", 4, 17751, 1)))
    write("modbus", "too-many", b"\x00" + adu(1, struct.pack(">BHH", 3, 0, 126)))
    write("modbus", "protocol-1", b"\x00" + adu(1, struct.pack(">BHH", 4, 0, 1), protocol=1))
    # An exception answer's code sent as a request, known and unknown unit.
    write("modbus", "exception-code-as-function", b"\x00" + adu(1, bytes([0x84, 0x45, 0x01, 0x04, 0x45])))
    write("modbus", "exception-code-unknown-unit", b"\x00" + adu(0x3D, bytes([0x84, 0x45, 0x01, 0x04, 0x45])))
    write("modbus", "length-mismatch", b"\x00" + adu(1, struct.pack(">BHH", 4, 0, 1), length=9))
    write("modbus", "truncated", b"\x00\x00\x01\x00")


if __name__ == "__main__":
    for target in ("decoder", "addresses", "composition", "zelmain", "modbus"):
        shutil.rmtree(os.path.join(CORPUS, target), ignore_errors=True)
    decoder_seeds()
    addresses_seeds()
    composition_seeds()
    zelmain_seeds()
    modbus_seeds()
