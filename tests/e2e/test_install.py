"""`qel install` and `qel uninstall`: the Send To shortcut under a temporary APPDATA."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

import pytest

from conftest import QEL, run_qel

ADDED = 'Added "Dropvale" to the Send to menu ({}).\n'
POINTS = 'The shortcut points to this qel.exe; if you move it, run "qel install" again.\n'
REMOVED = 'Removed "Dropvale" from the Send to menu.\n'
ABSENT = '"Dropvale" was not in the Send to menu.\n'


@pytest.fixture
def appdata(tmp_path: Path) -> Path:
    a = tmp_path / "Roaming"
    a.mkdir()
    return a


def shortcut_in(appdata: Path) -> Path:
    return appdata / "Microsoft" / "Windows" / "SendTo" / "Dropvale.lnk"


def lnkinfo(path: Path) -> dict:
    """The fields that Debian's independent reader finds in the file."""
    out = subprocess.run(["lnkinfo", str(path)], capture_output=True, text=True, check=True)
    fields = {}
    for line in out.stdout.splitlines():
        if ":" in line:
            key, value = line.split(":", 1)
            fields[key.strip()] = value.strip()
    return fields


def test_install_writes_a_shortcut_an_independent_reader_understands(env, appdata):
    r = run_qel(["install"], dict(env, APPDATA=str(appdata)))

    assert r.returncode == 0, r.stderr
    assert r.stdout == ADDED.format(shortcut_in(appdata)) + POINTS
    assert r.stderr == ""
    program = os.path.realpath(QEL[0])
    fields = lnkinfo(shortcut_in(appdata))
    assert fields["Local path"] == program
    assert fields["Description"] == "Dropvale"
    assert fields["Working directory"] == os.path.dirname(program)
    assert fields["Command line arguments"] == "sendto"
    assert fields["Icon location"] == program
    assert fields["Environment variables location"] == program


def test_install_twice_then_uninstall_twice(env, appdata):
    env = dict(env, APPDATA=str(appdata))
    link = shortcut_in(appdata)

    first = run_qel(["install"], env)
    data = link.read_bytes()
    second = run_qel(["install"], env)
    assert first.returncode == second.returncode == 0
    assert first.stdout == second.stdout == ADDED.format(link) + POINTS
    assert link.read_bytes() == data

    r = run_qel(["uninstall"], env)
    assert (r.returncode, r.stdout, r.stderr) == (0, REMOVED, "")
    assert not link.exists()
    assert link.parent.is_dir()  # only the shortcut goes
    r = run_qel(["uninstall"], env)
    assert (r.returncode, r.stdout, r.stderr) == (0, ABSENT, "")


def test_install_replaces_an_older_file_completely(env, appdata):
    link = shortcut_in(appdata)
    link.parent.mkdir(parents=True)
    link.write_bytes(b"x" * 5000)
    r = run_qel(["install"], dict(env, APPDATA=str(appdata)))
    assert r.returncode == 0
    assert lnkinfo(link)["Command line arguments"] == "sendto"
    assert len(link.read_bytes()) < 5000


def test_uninstall_removes_a_read_only_shortcut(env, appdata):
    env = dict(env, APPDATA=str(appdata))
    assert run_qel(["install"], env).returncode == 0
    shortcut_in(appdata).chmod(0o444)
    r = run_qel(["uninstall"], env)
    assert (r.returncode, r.stdout) == (0, REMOVED)
    assert not shortcut_in(appdata).exists()


@pytest.mark.parametrize("command", ["install", "uninstall"])
def test_without_appdata_both_commands_fail(env, home, command):
    assert "APPDATA" not in env
    r = run_qel([command], env, cwd=home)
    assert (r.returncode, r.stdout, r.stderr) == (1, "", "Error: APPDATA is not set\n")
    assert list(home.iterdir()) == []


def test_invalid_appdata_counts_as_unset(env, home):
    env = dict(env)
    env["APPDATA"] = os.fsdecode(b"/tmp/\xff")
    r = run_qel(["install"], env, cwd=home)
    assert (r.returncode, r.stderr) == (1, "Error: APPDATA is not set\n")


def test_empty_appdata_gives_a_relative_path(env, tmp_path):
    env = dict(env, APPDATA="")
    r = run_qel(["install"], env, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == ADDED.format("Microsoft/Windows/SendTo/Dropvale.lnk") + POINTS
    assert (tmp_path / "Microsoft/Windows/SendTo/Dropvale.lnk").is_file()
    r = run_qel(["uninstall"], env, cwd=tmp_path)
    assert (r.returncode, r.stdout) == (0, REMOVED)


def test_appdata_with_a_trailing_separator(env, appdata):
    r = run_qel(["install"], dict(env, APPDATA=str(appdata) + "/"))
    assert r.returncode == 0
    assert r.stdout.startswith(f'Added "Dropvale" to the Send to menu ({appdata}/Microsoft/')


def test_folder_that_cannot_be_created_gives_the_system_error_alone(env, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    r = run_qel(["install"], dict(env, APPDATA=str(blocker)))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == "Error: Not a directory (os error 20)\n"


def test_file_that_cannot_be_written_names_the_shortcut(env, appdata):
    link = shortcut_in(appdata)
    link.mkdir(parents=True)  # a folder where the file should go
    r = run_qel(["install"], dict(env, APPDATA=str(appdata)))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"Error: {link}: Is a directory (os error 21)\n"


def test_shortcut_that_cannot_be_deleted(env, appdata):
    link = shortcut_in(appdata)
    link.mkdir(parents=True)  # unlink refuses a folder
    r = run_qel(["uninstall"], dict(env, APPDATA=str(appdata)))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == "Error: Is a directory (os error 21)\n"
    assert link.is_dir()
