"""QSXPORT in the terminal, as a person uses it: qsxsim runs in tmux, the test types keys
into it and reads the screen. COM12: is set to RS-422 and saved; after a restart on the
same state folder the setting is still stored."""

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
        # Ports box has the focus: the next port; Tab to Interface, RS-422 is two down;
        # Tab past Apply All Ports to Save.
        keys("Down")
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
        keys(r"registry dump Drivers\USB\ClientDrivers\QSX_PORT\CONFIG\COM12:", "Enter")
        assert wait_for('"Interface"=dword:00000002'), screen()
    finally:
        stop()
