"""Driving `qsxsim run` as a scripted console: commands go to its standard input (a pipe,
so the console reads plain lines), its output is collected line by line, and every
command is followed by `echo` with a fresh marker so that a command's output ends where
the marker shows."""

import os
import re
import signal
import subprocess
import threading
import time

import pytest

QSXSIM = os.environ.get("QSXSIM", "")
# What runs it, for a build this machine cannot start itself ("qemu-i386" for the 32-bit
# one), and options that go before the command ("--device-images FOLDER").
QSXSIM_RUNNER = os.environ.get("QSXSIM_RUNNER", "").split()
QSXSIM_OPTIONS = os.environ.get("QSXSIM_OPTIONS", "").split()

# A leak report (or any other sanitizer report) fails the run through its exit status.
ENV = dict(os.environ)
ENV.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0:exitcode=86")
ENV.setdefault("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1")


def require_qsxsim():
    if not QSXSIM or not os.access(QSXSIM, os.X_OK):
        pytest.fail("set QSXSIM to the built qsxsim program (ctest does)")


class Qsxsim:
    def __init__(self, *args, state=None):
        require_qsxsim()
        command = (QSXSIM_RUNNER + [QSXSIM] + QSXSIM_OPTIONS + ["run"] + (["--state", str(state)] if state else [])
                   + list(args))
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=ENV)
        self.lines = []
        self.errors = []
        self.cond = threading.Condition()
        self.ended = False
        self.count = 0
        self.readers = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines, True), daemon=True),
                        threading.Thread(target=self._pump, args=(self.proc.stderr, self.errors, False), daemon=True)]
        for r in self.readers:
            r.start()
        # What the start prints (and the adapters it plugs) comes before the first command.
        self.run("echo", timeout=60)

    def _pump(self, stream, sink, main):
        for raw in stream:
            with self.cond:
                sink.append(raw.decode(errors="replace").rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            if main:
                self.ended = True
            self.cond.notify_all()

    def output(self):
        with self.cond:
            return "\n".join(self.lines)

    def wait_for(self, pattern, since=0, timeout=10.0):
        """The index and match of the first output line from `since` on that matches."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(since, len(self.lines)):
                    m = rx.search(self.lines[i])
                    if m:
                        return i, m
                since = len(self.lines)
                left = deadline - time.monotonic()
                if self.ended or left <= 0:
                    raise AssertionError(f"no line matching {pattern!r}; output so far:\n"
                                         + "\n".join(self.lines) + "\nstderr:\n" + "\n".join(self.errors))
                self.cond.wait(left)

    def send(self, text):
        """Sends a line without waiting for it; the index its output starts at."""
        with self.cond:
            start = len(self.lines)
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()
        return start

    def run(self, text, timeout=30.0):
        """Runs a command and returns its output lines (and any notices printed meanwhile)."""
        self.count += 1
        marker = f"@@{self.count}@@"
        start = self.send(f"{text}\necho {marker}")
        end, _ = self.wait_for("^" + re.escape(marker) + "$", since=start, timeout=timeout)
        with self.cond:
            return self.lines[start:end]

    def rows(self):
        """The port lines of `ports` (notices printed meanwhile left out)."""
        return [line for line in self.run("ports") if re.match(r"^\S+ +\d+:\d+ ", line)]

    def row(self, port):
        """The `ports` line of this port."""
        for line in self.rows():
            if line.split()[0] == port:
                return line
        raise AssertionError(f"{port} is not listed")

    def error(self, command):
        """Runs a command that must fail; its error line."""
        out = self.run(command)
        errors = [line for line in out if line.startswith("error: ")]
        assert errors, (command, out)
        return errors[0]

    def settled(self):
        """Waits until no port is held open through its PTY (a session ends a moment
        after its program closed the PTY)."""
        deadline = time.monotonic() + 5
        while any(re.search(r"\b(open|busy)\b", line) for line in self.rows()):
            if time.monotonic() > deadline:
                raise AssertionError("a port stays open")
            time.sleep(0.02)

    def wait_row(self, port, pattern, timeout=5.0):
        """Asks `ports` until the port's line matches; the line."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.row(port)
            if re.search(pattern, line):
                return line
            if time.monotonic() > deadline:
                raise AssertionError(f"{port} never matched {pattern!r}: {line}")
            time.sleep(0.02)

    def quit(self, timeout=30.0):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        return self.finish(timeout)

    def finish(self, timeout=30.0):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("qsxsim did not end; output:\n" + self.output())
        for r in self.readers:
            r.join()
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.finish()

    def threads(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/task"))

    def fds(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))


@pytest.fixture
def qsxsim_factory():
    """Starts qsxsim runs; any still running at the end is killed."""
    started = []

    def start(*args, state=None):
        sim = Qsxsim(*args, state=state)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        if sim.proc.poll() is None:
            sim.kill()


def settle(check, timeout=5.0, what="condition"):
    """Waits for `check()` to hold, with a generous bound."""
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not hold within {timeout} s")
        time.sleep(0.02)


def four_port_run():
    """One run with a 4-port adapter (COM11-COM14) for a whole module, with `link(PORT)`
    giving the PTY link of a port; it must end cleanly (and, under AddressSanitizer,
    without a leak report). A module's fixture yields from it."""
    s = Qsxsim("--adapter", "7045")
    try:
        s.link = lambda port: re.search(rf"^  {port}  (\S+) -> ", s.output(), re.M).group(1)
        yield s
        assert s.quit() == 0, s.output() + "\n" + "\n".join(s.errors)
    finally:
        if s.proc.poll() is None:
            s.kill()
