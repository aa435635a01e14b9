"""QSXPORT in the terminal, as a person uses it: qsxsim runs in tmux, the test types keys
into it and reads the screen. COM12: is set to RS-422 and saved; after a restart on the
same state folder, and after the adapter is plugged again, COM12 runs RS-422, QSXPORT
shows it, and opening QSXPORT leaves the stored setting as it is."""

import os
import shutil
import subprocess
import time

import pytest

from conftest import ENV, QSXSIM, require_qsxsim

SESSION = "qsxtmux%d" % os.getpid()


def tmux(*args):
    return subprocess.run(["tmux", "-L", SESSION] + list(args), capture_output=True, text=True,
                          env=ENV, check=False)


def screen():
    return tmux("capture-pane", "-p", "-t", SESSION, "-S", "-200").stdout


def wait_for(text, seconds=30):
    end = time.time() + seconds
    while time.time() < end:
        if text in screen():
            return True
        time.sleep(0.1)
    return False


def at_prompt():
    """Whether the console is back: no dialog on the visible screen, the prompt last."""
    visible = tmux("capture-pane", "-p", "-t", SESSION).stdout
    lines = [l for l in visible.splitlines() if l.strip()]
    return "Velmir Configuration Utility" not in visible and bool(lines) and lines[-1].startswith("qsxsim>")


def keys(*names):
    for name in names:
        tmux("send-keys", "-t", SESSION, name)
        time.sleep(0.15)


def start(state):
    command = "%s run --state %s --adapter 7045; echo QSXSIM-EXITED-$?; sleep 60" % (QSXSIM, state)
    tmux("kill-server")
    result = tmux("new-session", "-d", "-s", SESSION, "-x", "100", "-y", "32", command)
    assert result.returncode == 0, result.stderr
    assert wait_for("qsxsim>"), screen()


def stop():
    keys("quit", "Enter")
    assert wait_for("QSXSIM-EXITED-0"), screen()
    tmux("kill-server")


@pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is installed by scripts/setup.sh")
def test_qsxport_in_the_terminal_saves_rs422_and_it_survives_a_restart(tmp_path):
    require_qsxsim()
    state = tmp_path / "state"
    start(state)
    try:
        keys("qsxport", "Enter")
        assert wait_for("Velmir Configuration Utility"), screen()
        assert wait_for("Velmir 7045 -- COM11:"), screen()
        # Nothing has the focus at first: Tab to the Ports box, the next port; Tab to
        # Interface, RS-422 is two down; Tab past Apply All Ports to Save.
        keys("Tab", "Down")
        assert wait_for("Velmir 7045 -- COM12:"), screen()
        keys("Tab", "Down", "Down")
        assert wait_for("RS-422"), screen()
        keys("Tab", "Tab", "Enter")
        assert wait_for("Saved Ok!!"), screen()
        # Close the message, Tab to Exit, leave; back at the console, list the ports. Keys
        # typed before the terminal front end has let go of the keyboard would be lost.
        keys("Enter", "Tab", "Enter")
        end = time.time() + 30
        while not at_prompt() and time.time() < end:
            time.sleep(0.1)
        assert at_prompt(), screen()
        keys("ports", "Enter")
        assert wait_for("RS-422"), screen()
        line = [l for l in screen().splitlines() if l.startswith("COM12 ")]
        assert line and "RS-422" in line[-1], screen()
    finally:
        stop()

    start(state)
    try:
        for attempt in ("restart", "replug"):
            if attempt == "replug":
                keys("unplug 1", "Enter", "plug 7045", "Enter")
                assert wait_for("adapter 2: "), screen()
            # The port runs what was saved, and QSXPORT shows it; leaving QSXPORT with F10
            # from its main dialog stores nothing over it.
            assert wait_for_port("COM12", "RS-422"), (attempt, screen())
            keys("qsxport", "Enter")
            assert wait_for("Velmir 7045 -- COM11:"), screen()
            # The Ports box's list opens with Alt+Down (the terminal's own sequence), or F4;
            # Down and Enter pick COM12: from it.
            keys("Tab", "M-Down" if attempt == "restart" else "F4")
            assert wait_for("COM14:"), (attempt, screen())
            keys("Down", "Enter")
            assert wait_for("Velmir 7045 -- COM12:"), screen()
            assert "COM14:" not in tmux("capture-pane", "-p", "-t", SESSION).stdout, "the list is closed"
            assert "[RS-422" in screen(), (attempt, screen())
            keys("F10")
            end = time.time() + 30
            while not at_prompt() and time.time() < end:
                time.sleep(0.1)
            assert at_prompt(), screen()
            assert wait_for_output(r"registry dump Drivers\USB\ClientDrivers\QSX_PORT\CONFIG\COM12:",
                                   lambda out: '"Interface"=dword:00000002' in out), (attempt, screen())
    finally:
        stop()


marks = iter(range(1, 1_000_000))


def wait_for_output(command, check, seconds=30):
    """Runs the console command until what it prints (after a fresh marker) passes
    `check`."""
    end = time.time() + seconds
    while time.time() < end:
        mark = "MARK-%d" % next(marks)
        keys("echo " + mark, "Enter", command, "Enter")
        time.sleep(0.3)
        lines = screen().splitlines()
        if mark in lines and check("\n".join(lines[len(lines) - 1 - lines[::-1].index(mark):])):
            return True
    return False


def wait_for_port(port, interface):
    """Lists the ports until `port` shows `interface`."""
    return wait_for_output("ports", lambda out: any(l.startswith(port + " ") and interface in l
                                                    for l in out.splitlines()))
