"""qsxsim's state folder: the registry it keeps across runs, the hive it refuses to touch
when it is damaged, and what a run that was killed leaves for the next one."""

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
