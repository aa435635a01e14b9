"""qsxsim's state folder: the registry it keeps across runs, the hive it refuses to touch
when it is damaged, and what a run that was killed leaves for the next one."""

import hashlib
import os
import re
import subprocess

from conftest import ENV, QSXSIM, require_qsxsim

PORT0 = r"HKLM\Drivers\USB\ClientDrivers\QSX_PORT\PORT0"


def test_settings_survive_a_restart(qsxsim_factory, tmp_path):
    first = qsxsim_factory(state=tmp_path)
    assert first.run(f"registry set {PORT0} Interface dword:2") == \
        [r"HKEY_LOCAL_MACHINE\Drivers\USB\ClientDrivers\QSX_PORT\PORT0: Interface set"]
    # Saved after the command, before anything else happens.
    hive = (tmp_path / "registry.reg").read_text()
    assert re.search(r'\[HKEY_LOCAL_MACHINE\\Drivers\\USB\\ClientDrivers\\QSX_PORT\\PORT0\]\n'
                     r'"Interface"=dword:00000002', hive)
    assert first.quit() == 0

    # The driver reads the saved setting at the next attach: every port (the later ones
    # have no key of their own) comes up RS-422.
    second = qsxsim_factory("--adapter", "7045", state=tmp_path)
    rows = second.rows()
    assert [r.split()[0] for r in rows] == ["COM11", "COM12", "COM13", "COM14"]
    assert all(r.split()[3] == "RS-422" for r in rows), rows
    assert second.quit() == 0


def test_a_killed_run_leaves_no_ports_behind(qsxsim_factory, tmp_path):
    first = qsxsim_factory("--adapter", "7045", state=tmp_path)
    # Started, and its registry with the bound ports saved.
    assert '"Name"="COM11:"' in (tmp_path / "registry.reg").read_text()

    # A second run on the same folder would save over the first one's registry.
    second = subprocess.run([QSXSIM, "run", "--state", str(tmp_path)], stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, env=ENV, timeout=30)
    assert second.returncode == 1
    assert f"the state folder {tmp_path} is in use by another qsxsim" in second.stderr

    first.kill()
    assert os.path.islink(tmp_path / "dev" / "COM11")  # left behind, pointing nowhere

    # The device manager starts with no adapter ports at boot: the new run's ports get
    # the same names again, and the stale links are replaced.
    third = qsxsim_factory("--adapter", "7045", state=tmp_path)
    assert [r.split()[:2] for r in third.rows()] == \
        [["COM11", "1:0"], ["COM12", "1:1"], ["COM13", "1:2"], ["COM14", "1:3"]]
    assert os.readlink(tmp_path / "dev" / "COM11").startswith("/dev/pts/")
    assert third.quit() == 0
    assert '"Name"="COM11:"' not in (tmp_path / "registry.reg").read_text()
    assert os.listdir(tmp_path / "dev") == []


def test_a_damaged_hive_is_refused_and_left_alone(tmp_path):
    require_qsxsim()
    hive = tmp_path / "registry.reg"
    cases = [
        b"garbage\n",
        b'REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers]\n"Half"="no end\n',
        b"\xff\xfe\x00",  # UTF-16 that ends in half a character
    ]
    for content in cases:
        hive.write_bytes(content)
        os.utime(hive, (1_000_000_000, 1_000_000_000))
        run = subprocess.run([QSXSIM, "run", "--state", str(tmp_path)], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, env=ENV, timeout=30)
        assert run.returncode == 1, content
        assert f"the saved registry cannot be loaded, so it is left as it is: {hive}" in run.stderr
        assert re.search(r"line \d+|half a character", run.stderr), run.stderr
        assert hive.read_bytes() == content
        assert hive.stat().st_mtime == 1_000_000_000


def refused(tmp_path):
    """Starts qsxsim on the folder, which must refuse the hive; its error output."""
    run = subprocess.run([QSXSIM, "run", "--state", str(tmp_path)], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, env=ENV, timeout=30)
    assert run.returncode == 1, run.stdout
    return run.stderr


def test_a_saved_hive_that_is_not_whole_is_refused_and_left_alone(qsxsim_factory, tmp_path):
    first = qsxsim_factory(state=tmp_path)
    first.run(f"registry set {PORT0} Interface dword:2")
    assert first.quit() == 0
    hive = tmp_path / "registry.reg"
    saved = hive.read_bytes()
    lines = saved.splitlines(keepends=True)
    assert lines[-1].startswith(b"; end of the saved registry: ")
    port0 = next(i for i, l in enumerate(lines) if b"QSX_PORT\\PORT0]" in l)
    cases = [
        ("empty", b"", "the file is empty"),
        ("cut after a complete line", b"".join(lines[:port0 + 1]), "it was cut short"),
        ("cut before the end line", b"".join(lines[:-1]), "it was cut short"),
        ("cut inside the end line", saved[:-10], "it was cut short"),
        ("a value changed", saved.replace(b"dword:00000002", b"dword:00000003"),
         "its text does not match its end line"),
    ]
    for what, content, reason in cases:
        hive.write_bytes(content)
        os.utime(hive, (1_000_000_000, 1_000_000_000))
        digest = hashlib.sha256(content).hexdigest()
        error = refused(tmp_path)
        assert f"the saved registry cannot be loaded, so it is left as it is: {hive}: " in error, what
        assert reason in error, (what, error)
        assert hashlib.sha256(hive.read_bytes()).hexdigest() == digest, what
        assert hive.stat().st_mtime == 1_000_000_000, what
        assert sorted(os.listdir(tmp_path)) == ["dev", "lock", "registry.reg"], what

    # Whole again, it loads.
    hive.write_bytes(saved)
    second = qsxsim_factory(state=tmp_path)
    assert "Interface set" not in second.output()
    assert re.search(r'"Interface"=dword:00000002', "\n".join(second.run(f"registry dump {PORT0}")))
    assert second.quit() == 0


def test_a_hive_saved_before_the_end_line_is_read_and_kept(qsxsim_factory, tmp_path):
    first = qsxsim_factory(state=tmp_path)
    first.run(f"registry set {PORT0} Interface dword:2")
    assert first.quit() == 0
    hive = tmp_path / "registry.reg"
    # What an earlier qsxsim wrote: the same text without the second line and the end line.
    lines = hive.read_bytes().splitlines(keepends=True)
    old = lines[0] + b"".join(lines[2:-1])
    hive.write_bytes(old)

    second = qsxsim_factory("--adapter", "7045", state=tmp_path)
    kept = tmp_path / "registry.reg.unsealed"
    assert f"the saved registry {hive} has no end line" in second.output()
    assert f"kept as {kept}" in second.output()
    assert all(r.split()[3] == "RS-422" for r in second.rows())
    assert second.quit() == 0
    assert kept.read_bytes() == old
    assert hive.read_bytes().splitlines()[-1].startswith(b"; end of the saved registry: ")


def test_settings_stored_for_a_port_come_back_at_restart_and_replug(qsxsim_factory, tmp_path):
    """What the configuration utility stores for COM12: (its configuration key) is what
    the port has after a restart and after the adapter is plugged again: in its
    active-driver entry, where the driver and the utility read it, and on the adapter."""
    config = r"HKLM\Drivers\USB\ClientDrivers\QSX_PORT\CONFIG\COM12:"
    first = qsxsim_factory(state=tmp_path)
    first.run(f"registry set {config} Interface dword:2")
    first.run(f"registry set {config} FIFO dword:1")
    assert first.quit() == 0

    second = qsxsim_factory("--adapter", "7045", state=tmp_path)

    def check(attempt):
        row = second.row("COM12").split()
        assert row[3] == "RS-422" and row[4] == "on", (attempt, row)
        assert second.row("COM11").split()[3] == "RS-232", attempt
        text = "\n".join(second.run(r"registry dump HKLM\Drivers\Active"))
        block = text[text.index('"Name"="COM12:"'):].split("\n\n")[0]
        assert '"Interface"=dword:00000002' in block and '"FIFO"=dword:00000001' in block, (attempt, text)

    check("restart")
    second.run("unplug 1")
    second.run("plug 7045")
    check("replug")
    assert second.quit() == 0
