"""Ports of a simulated adapter reached from Linux through qsxsim's PTYs, with Python's
`serial` module as the Linux program: line settings reaching the adapter (data bits and
parity through the preload library, or the console's `framing`), bytes through a loopback
and a null-modem pair, the console as the far end of an external port, and an unplug
under a program that is streaming."""

import os
import re
import subprocess
import sys
import threading
import time

import pytest
import serial

from conftest import QSXSIM_RUNNER, Qsxsim, four_port_run, settle

# The lines run at their baud rate: the tests that move much data set one at which the
# line takes its bulk in well under a second.
# The rate the tests run their ports at. qemu-user (7.2), which runs the 32-bit build,
# carries no rate above 460800 between a program and the PTY.
FAST = int(os.environ.get("QSXSIM_FAST_BAUD", "4000000"))
BULK = 256 * 1024


@pytest.fixture(scope="module")
def sim():
    yield from four_port_run()


def pump(port, data, received, total):
    """Writes `data` from one thread while this one reads `total` bytes into `received`."""
    failure = []

    def write():
        try:
            port.write(data)
        except serial.SerialException as e:
            failure.append(e)

    writer = threading.Thread(target=write)
    writer.start()
    deadline = time.monotonic() + 30
    while len(received) < total and time.monotonic() < deadline:
        received += port.read(min(65536, total - len(received)))
    writer.join(30)
    assert not failure


def test_loopback_pty_carries_baud_and_stop_bits(sim):
    sim.run("wire COM11 loopback")
    with serial.Serial(sim.link("COM11"), 115200, bytesize=8, parity="N", stopbits=1, timeout=1):
        sim.wait_row("COM11", r"\b115200 8N1 +none +open\b")
    sim.wait_row("COM11", r"\bclosed\b")


# A Linux program under the preload library, in a process of its own: it opens the port
# at FAST baud 7E2, says what it reads back, and then follows the test's commands on its
# standard input, answering each with one line.
PROGRAM = r"""
import os, sys, termios, threading, serial
port = serial.Serial(sys.argv[1], int(sys.argv[2]), bytesize=7, parity="E", stopbits=2, timeout=1)

def line_bits():
    c = termios.tcgetattr(port.fd)[2]
    bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[c & termios.CSIZE]
    parity = "N" if not c & termios.PARENB else "O" if c & termios.PARODD else "E"
    return f"{bits}{parity}"

print("open", line_bits(), flush=True)
for command in sys.stdin:
    command = command.split()
    if command[0] == "pump":
        size = int(command[1])
        data = os.urandom(size)
        writer = threading.Thread(target=port.write, args=(data,))
        writer.start()
        received = bytearray()
        while len(received) < size:
            chunk = port.read(min(65536, size - len(received)))
            if not chunk:
                break
            received += chunk
        writer.join(30)
        print("pumped", len(received), bytes(received) == data, flush=True)
    elif command[0] == "parity":
        port.parity = command[1]
        print("set", line_bits(), flush=True)
    elif command[0] == "read":
        print("read", line_bits(), flush=True)
port.close()
"""


class Program:
    """PROGRAM on a port, with the preload library."""

    def __init__(self, link):
        shim = os.environ.get("QSXTTY", "")
        if not shim or not os.path.exists(shim):
            pytest.fail("set QSXTTY to the built libqsxtty.so (ctest does)")
        env = dict(os.environ, LD_PRELOAD=shim)
        self.proc = subprocess.Popen([sys.executable, "-c", PROGRAM, link, str(FAST)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)

    def answer(self, command=None):
        if command:
            self.proc.stdin.write(command + "\n")
            self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        assert line, "the program ended: " + self.proc.stderr.read()
        return line.split()

    def close(self):
        self.proc.stdin.close()
        assert self.proc.wait(30) == 0, self.proc.stderr.read()


def test_program_sets_data_bits_and_parity_through_the_preload_library(sim):
    sim.run("wire COM11 loopback")
    sim.run("framing COM11 pty")
    program = Program(sim.link("COM11"))
    try:
        # The port takes 7E2 from the program alone, and the program reads back what it
        # set, although the PTY itself keeps 8 bits without parity.
        assert program.answer() == ["open", "7E"]
        sim.wait_row("COM11", rf"\b{FAST} 7E2 +none +open\b")
        assert "COM11: 7E (stop bits from the PTY), set by the program on the PTY" in sim.run("framing COM11")
        assert program.answer(f"pump {BULK}") == ["pumped", str(BULK), "True"]

        # A change of parity alone is a set that the C library refuses on a bare PTY.
        assert program.answer("parity O") == ["set", "7O"]
        sim.wait_row("COM11", rf"\b{FAST} 7O2\b")
        # The latest choice wins: the console over the program, and the program's next
        # setting over the console; the program reads back what the port uses.
        sim.run("framing COM11 8N")
        sim.wait_row("COM11", rf"\b{FAST} 8N2\b")
        assert program.answer("read") == ["read", "8N"]
        assert program.answer("parity E") == ["set", "7E"]
        sim.wait_row("COM11", rf"\b{FAST} 7E2\b")
    finally:
        program.close()
    # Once nobody holds the PTY, the program's choice is gone and the console's is back.
    sim.wait_row("COM11", r"\bclosed\b")
    settle(lambda: "COM11: 8N (stop bits from the PTY)" in sim.run("framing COM11"),
           what="the console's framing back after the program closed the PTY")
    sim.run("framing COM11 pty")


def test_framing_command_sets_what_a_program_without_the_library_cannot(sim):
    sim.run("wire COM11 loopback")
    link = sim.link("COM11")
    # Without the preload library only baud rate and stop bits travel through the PTY;
    # data bits and parity come from the port's framing on the console. (The rate is one
    # the PTY does not have yet: without the library, the C library refuses a set whose
    # only change is data bits or parity.)
    with serial.Serial(link, 19200, bytesize=7, parity="E", stopbits=2, timeout=1) as port:
        sim.wait_row("COM11", r"\b19200 8N2\b")
        assert "COM11: 7E (stop bits from the PTY)" in sim.run("framing COM11 7E")
        sim.wait_row("COM11", r"\b19200 7E2\b")
        port.xonxoff = True
        sim.wait_row("COM11", r"\bxon/xoff\b")
        port.xonxoff = False
        port.baudrate = FAST
        sim.wait_row("COM11", rf"\b{FAST} 7E2 +none\b")
        # Stop bits given on the console win over the PTY's.
        assert "COM11: 7E1" in sim.run("framing COM11 7E1")
        sim.wait_row("COM11", rf"\b{FAST} 7E1\b")

        data = os.urandom(BULK)
        received = bytearray()
        pump(port, data, received, BULK)
        assert len(received) == BULK
        assert bytes(received) == data
    sim.run("framing COM11 pty")


def test_null_modem_ptys_carry_both_directions(sim):
    sim.run("wire COM12 null-modem COM13")
    assert re.search(r"\bnull-modem:COM13\b", sim.row("COM12"))
    size = 256 * 1024
    with serial.Serial(sim.link("COM12"), FAST, timeout=1) as a, \
            serial.Serial(sim.link("COM13"), FAST, timeout=1) as b:
        # Both bridges must have their ports open before bytes flow: opening a port empties
        # what its receive ring already holds.
        sim.wait_row("COM12", r"\bopen\b")
        sim.wait_row("COM13", r"\bopen\b")
        sent = {"a": os.urandom(size), "b": os.urandom(size)}
        got = {"a": bytearray(), "b": bytearray()}  # what each end read
        readers = [threading.Thread(target=lambda: read_all(a, got["a"], size)),
                   threading.Thread(target=lambda: read_all(b, got["b"], size))]
        for r in readers:
            r.start()
        writers = [threading.Thread(target=a.write, args=(sent["a"],)),
                   threading.Thread(target=b.write, args=(sent["b"],))]
        for w in writers:
            w.start()
        for t in writers + readers:
            t.join(60)
        assert bytes(got["b"]) == sent["a"]
        assert bytes(got["a"]) == sent["b"]

        # A reader that is busy for a while holds its peer's writes back (more than every
        # buffer on the way holds), and loses nothing.
        data = os.urandom(2 * size)
        done = {}

        def write():
            a.write(data)
            done["write"] = time.monotonic()

        writer = threading.Thread(target=write)
        writer.start()
        time.sleep(1.0)  # the busy reader
        reading = time.monotonic()
        late = bytearray()
        read_all(b, late, len(data))
        writer.join(30)
        assert done["write"] > reading, "the writer did not wait for the reader"
        assert bytes(late) == data


def read_all(port, into, size):
    deadline = time.monotonic() + 30
    while len(into) < size and time.monotonic() < deadline:
        into += port.read(size - len(into))


def test_console_is_the_far_end_of_an_external_port(sim):
    sim.run("wire COM14 external")
    # At a rate where the line takes the whole line in one go, it shows in one piece;
    # under emulation the bridge may take it in two looks, each shown as it came.
    with serial.Serial(sim.link("COM14"), FAST, timeout=2) as port:
        sim.wait_row("COM14", r"\bopen\b")
        start = len(sim.lines)
        port.write(b"ping\r\n")
        pieces = []
        while "".join(pieces) != r"ping\r\n":
            at, m = sim.wait_for(r'^COM14 => "(.*)"$', since=start)
            pieces.append(m.group(1))
            start = at + 1
        assert len(pieces) == 1 or QSXSIM_RUNNER, pieces
        assert "COM14: 7 bytes in" in sim.run(r'send COM14 "pong\x21\r\n"')
        assert port.read(7) == b"pong!\r\n"
        # One report with both; the bridge may see them in one look or in two.
        start = sim.send("inject COM14 framing break")
        sim.wait_for(r"^COM14: line status: (.*, )?framing error\b", since=start)
        sim.wait_for(r"^COM14: line status: (.*, )?break$", since=start)


def test_bad_port_commands_get_clear_errors(sim):
    sim.run("wire COM14 external")
    # The earlier tests' sessions end a moment after their programs closed the PTYs; the
    # snapshot must not catch one of them half-way.
    sim.settled()
    before = sim.rows()
    cases = [
        ("wire COM11 sideways", r"^error: unknown wiring 'sideways'$"),
        ("wire COM11 null-modem COM11", r"cannot be its own null-modem peer"),
        ("wire COM11 null-modem", r"null-modem needs the other port"),
        ("wire 1:9 loopback", r"adapter 1 has ports 0 to 3"),
        ("send COM11 hello", r"COM11 is not wired external"),
        ("send COM14 bad\\q", r"unknown escape \\q"),
        ("send COM14 \\x4", r"\\x takes two hex digits"),
        ("modem COM14 rts", r"unknown modem line 'rts'"),
        ("inject COM11 lightning", r"unknown kind 'lightning'"),
        ("framing COM11 9X", r"'9X' is not a framing"),
        ("framing COM11 7E3", r"'7E3' is not a framing"),
        ("unplug 1 2", r"too many arguments"),
    ]
    for command, expected in cases:
        assert re.search(expected, sim.error(command)), command
    assert sim.rows() == before


def test_unplug_under_a_streaming_program_ends_it_and_leaves_nothing(sim):
    sim.settled()
    threads, fds = sim.threads(), sim.fds()
    out = "\n".join(sim.run("plug 7045"))
    link, pts = re.search(r"^  COM15  (\S+) -> (\S+)$", out, re.M).groups()
    sim.run("wire COM15 loopback")
    port = serial.Serial(link, FAST, timeout=0.2)
    ended = {}
    moved = [0]

    def writer():
        try:
            while True:
                port.write(b"x" * 4096)
        except serial.SerialException as e:
            ended["write"] = (time.monotonic(), e)

    def reader():
        try:
            while True:
                moved[0] += len(port.read(4096))
        except serial.SerialException as e:
            ended["read"] = (time.monotonic(), e)

    workers = [threading.Thread(target=writer), threading.Thread(target=reader)]
    for w in workers:
        w.start()
    settle(lambda: moved[0] > 64 * 1024, what="streaming through COM15")
    start = time.monotonic()
    sim.send("unplug 2")
    for w in workers:
        w.join(5)
    assert not any(w.is_alive() for w in workers), "a program call hangs on the unplugged port"
    assert set(ended) == {"write", "read"}
    for what, (when, _) in ended.items():
        assert when - start < 1.0, f"{what} ended {when - start:.2f} s after the unplug"
    sim.wait_for(r"^adapter 2 unplugged$")
    assert not os.path.lexists(link)
    port.close()
    assert not os.path.exists(pts)
    # The first adapter's ports and bridges stay; everything of the second one went.
    settle(lambda: sim.threads() == threads and sim.fds() == fds,
           what=f"threads {sim.threads()} (was {threads}) and fds {sim.fds()} (was {fds}) back")
    assert [line.split()[0] for line in sim.rows()] == ["COM11", "COM12", "COM13", "COM14"]
