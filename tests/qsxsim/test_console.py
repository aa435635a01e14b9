"""qsxsim's console as a script drives it: help for every command, clear errors for bad
commands and arguments that change nothing, and the ways a run ends."""

import os
import re
import signal
import subprocess

from conftest import ENV, QSXSIM, require_qsxsim


def test_help_describes_every_command(qsxsim_factory):
    sim = qsxsim_factory()
    listing = sim.run("help")
    names = [line.split()[0] for line in listing[1:] if line.startswith("  ")]
    assert {"plug", "unplug", "adapters", "ports", "wire", "send", "modem", "inject", "framing",
            "console", "registry", "quit"} <= set(names)
    for name in names:
        out = sim.run(f"help {name}")
        assert out[0].startswith(f"usage: {name}"), out
        assert len(out) >= 2 and out[1].strip(), out
    assert sim.quit() == 0


def test_bad_commands_get_clear_errors_and_change_nothing(qsxsim_factory):
    sim = qsxsim_factory()
    registry = sim.run("registry")
    cases = [
        ("bogus", r"unknown command 'bogus'; 'help' lists the commands"),
        ("plug", r"too few arguments"),
        ("plug 7045 7045", r"too many arguments"),
        ("plug 70x5", r"unknown model '70x5'"),
        ("plug 7045:xs", r"unknown speed 'xs'"),
        ("plug 1234", r"no client driver took the adapter \(product 0x1234\)"),
        ("unplug", r"no adapter is plugged"),
        ("unplug 3", r"no adapter 3 is plugged"),
        ("unplug x", r"'x' is not an adapter number"),
        ("ports now", r"too many arguments"),
        ("wire COM11 loopback", r"no port COM11"),
        ("wire 1:0 loopback", r"no adapter 1 is plugged"),
        ("wire fred loopback", r"'fred' is not a port"),
        ("inject COM11 break", r"no port COM11"),
        ("console follow maybe", r"follow takes on or off"),
        ("console -3", r"'-3' is not a line count"),
        ("help nothing", r"no command 'nothing'"),
        (r"registry dump HKLM\No\Such", r"no key HKEY_LOCAL_MACHINE\\No\\Such"),
        (r'registry set HKLM\T V "open', r"a quote is not closed"),
        (r"registry set HKLM\T V dword:xyz", r'bad dword "xyz"'),
        (r"registry delete HKLM\No\Such", r"no key"),
        (r"registry delete HKLM", r"a root key cannot be deleted"),
        ("registry frobnicate", r"unknown registry command 'frobnicate'"),
        ("registry save", r"there is no state folder"),
    ]
    for command, expected in cases:
        assert re.search(expected, sim.error(command)), command
    # Errors that come from the arguments show the command's usage too.
    assert sim.run("plug")[1] == "usage: plug MODEL[:hs|:fs]"
    assert sim.run("adapters") == ["no adapter is plugged"]
    assert sim.run("registry") == registry
    assert sim.quit() == 0


def test_a_signal_ends_the_run_cleanly(qsxsim_factory):
    sim = qsxsim_factory("--adapter", "7020:fs")
    _, found = sim.wait_for(r"PTY links are in (\S+) ")
    links = found.group(1)
    sim.wait_for(r"^  COM12 ", timeout=30)
    assert sorted(os.listdir(links)) == ["COM11", "COM12"]
    sim.proc.send_signal(signal.SIGTERM)
    assert sim.finish() == 128 + signal.SIGTERM
    assert "adapter 1 unplugged" in sim.output()
    assert not os.path.exists(os.path.dirname(links))  # the temporary folder is gone


def test_end_of_input_quits_and_bad_arguments_are_refused():
    require_qsxsim()
    run = subprocess.run([QSXSIM, "run"], input="echo hello", capture_output=True, text=True,
                         env=ENV, timeout=30)
    assert run.returncode == 0
    assert run.stdout.splitlines()[-1] == "hello"  # a last line without a newline still runs
    for args, expected in [(["run", "--adapter", "7999x"], "unknown model '7999x'"),
                           (["run", "--adapter", "7045:xs"], "unknown speed"),
                           (["--registry", "/nonexistent.reg"], "File does not exist"),
                           (["frobnicate"], "frobnicate")]:
        bad = subprocess.run([QSXSIM] + args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             env=ENV, timeout=30)
        assert bad.returncode != 0, args
        assert expected in bad.stderr + bad.stdout, (args, bad.stderr)


def test_demo_holds_every_check():
    require_qsxsim()
    demo = subprocess.run([QSXSIM, "demo"], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          env=ENV, timeout=60)
    assert demo.returncode == 0, demo.stdout + demo.stderr
    assert re.search(r"^ +128 of 128 KiB back, +\d+ KiB/s$", demo.stdout, re.M), demo.stdout
    assert "[FAIL]" not in demo.stdout
    assert demo.stdout.rstrip().endswith("qsxsim: all checks held")


def test_typed_text_comes_back_escaped_and_short():
    """What the console prints back of a line never holds the line's control characters
    raw, is never the whole of a huge line, and a NUL is named as such."""
    require_qsxsim()
    huge = "x" * 100_000
    script = ("bogus\x1b[2Jcmd\tx\n"          # an escape sequence and a tab in the name
              + huge + "\n"                   # an unknown command of 100 KB
              + "echo a\x00b\n"               # a NUL inside a line: not run
              + "registry set HKLM\\T V\x07 1\n"  # a bell in a value name, echoed on success
              + "y" * (2 << 20) + "\n"           # a line past the bound: skipped, not kept
              + "echo done\n").encode()
    run = subprocess.run([QSXSIM, "run"], input=script, capture_output=True, env=ENV, timeout=60)
    assert run.returncode == 0, run.stderr
    out = run.stdout.decode()
    lines = out.splitlines()
    assert "error: unknown command 'bogus\\x1B[2Jcmd'; 'help' lists the commands" in lines
    huge_error = [l for l in lines if "unknown command 'xxx" in l]
    assert huge_error == ["error: unknown command '" + "x" * 64 + "... (100000 bytes)'; 'help' lists the commands"]
    assert "error: the line holds a NUL character (byte 7 of 8), so it is not run: echo a\\x00b" in lines
    assert "a" not in lines and "ab" not in lines  # the echo did not run
    assert "HKEY_LOCAL_MACHINE\\T: V\\x07 set" in lines
    assert ["error: a line longer than 1048576 bytes is skipped: " + "y" * 64 + "..." in l for l in lines].count(True) == 1
    assert lines[-1] == "done"
    # Nothing typed reached the output raw.
    assert not any(c in out for c in "\x00\x07\x1b")
    assert len(out) < 2000
