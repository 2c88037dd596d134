"""`qel install` and `qel uninstall`: the Send To shortcut under a temporary APPDATA."""

from __future__ import annotations

import struct
import subprocess
from pathlib import Path

import pytest

from conftest import native, qel_program, run_qel, skip_on_windows, system_error

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


def shortcut_bytes(target: str, working_folder: str) -> bytes:
    """The Shell Link file that runs `target sendto`, laid out field by field: a header, a
    LinkInfo with the local path, the name, working folder, arguments and icon strings, and an
    environment-variable block holding the path once more."""
    def utf16(text: str) -> bytes:
        return text.encode("utf-16-le", "surrogatepass")

    def string_item(text: str) -> bytes:
        return struct.pack("<H", len(utf16(text)) // 2) + utf16(text)

    ansi = bytes(ord(c) if ord(c) < 0x80 else ord("?") for c in target) + b"\0"
    unicode = utf16(target) + b"\0\0"
    a, u = len(ansi), len(unicode)
    clsid = bytes.fromhex("0114020000000000C000000000000046")
    header = struct.pack("<I16sIIQQQIiIHHII", 0x4C, clsid, 0x2F6, 0x20, 0, 0, 0, 0, 0, 1, 0, 0,
                         0, 0)
    volume_id = struct.pack("<IIII", 0x11, 3, 0, 0x10) + b"\0"
    link_info = (struct.pack("<9I", 56 + a + u, 0x24, 1, 0x24, 53, 0, 53 + a, 54 + a, 54 + a + u)
                 + volume_id + ansi + b"\0" + unicode + b"\0\0")
    strings = b"".join(string_item(t) for t in ("Dropvale", working_folder, "sendto", target))
    environment = (struct.pack("<II", 0x314, 0xA0000001) + ansi[:260].ljust(260, b"\0")
                   + utf16(target)[:520].ljust(520, b"\0"))
    return header + link_info + strings + environment + struct.pack("<I", 0)


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
    r = run_qel(["install"], dict(env, APPDATA=native(appdata)))

    assert r.returncode == 0, r.stderr
    assert r.stdout == ADDED.format(native(shortcut_in(appdata))) + POINTS
    assert r.stderr == ""
    # The program as the system names it: on Windows a Z:\ path under Wine.
    program, folder = native(qel_program(env)), native(qel_program(env).parent)
    fields = lnkinfo(shortcut_in(appdata))
    assert fields["Local path"] == program
    assert fields["Description"] == "Dropvale"
    assert fields["Working directory"] == folder
    assert fields["Command line arguments"] == "sendto"
    assert fields["Icon location"] == program
    assert fields["Environment variables location"] == program
    assert shortcut_in(appdata).read_bytes() == shortcut_bytes(program, folder)


def test_install_twice_then_uninstall_twice(env, appdata):
    env = dict(env, APPDATA=native(appdata))
    link = shortcut_in(appdata)

    first = run_qel(["install"], env)
    data = link.read_bytes()
    second = run_qel(["install"], env)
    assert first.returncode == second.returncode == 0
    assert first.stdout == second.stdout == ADDED.format(native(link)) + POINTS
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
    r = run_qel(["install"], dict(env, APPDATA=native(appdata)))
    assert r.returncode == 0
    assert lnkinfo(link)["Command line arguments"] == "sendto"
    assert len(link.read_bytes()) < 5000


@skip_on_windows("Wine refuses FileDispositionInfoEx (ERROR_INVALID_PARAMETER), the request "
                 "that deletes a read-only file")
def test_uninstall_removes_a_read_only_shortcut(env, appdata):
    env = dict(env, APPDATA=native(appdata))
    assert run_qel(["install"], env).returncode == 0
    shortcut_in(appdata).chmod(0o444)
    r = run_qel(["uninstall"], env)
    assert (r.returncode, r.stdout) == (0, REMOVED)
    assert not shortcut_in(appdata).exists()


@pytest.mark.parametrize("command", ["install", "uninstall"])
def test_without_appdata_both_commands_fail(env, home, command):
    # Unset, also on Windows, where the system sets APPDATA itself.
    env = dict(env, APPDATA=None)
    r = run_qel([command], env, cwd=home)
    assert (r.returncode, r.stdout, r.stderr) == (1, "", "Error: APPDATA is not set\n")
    assert list(home.iterdir()) == []


def test_invalid_appdata_counts_as_unset(env, home):
    # On Windows an unpaired surrogate, the text UTF-16 cannot be.
    env = dict(env, APPDATA=native("/tmp/\udcff"))
    r = run_qel(["install"], env, cwd=home)
    assert (r.returncode, r.stderr) == (1, "Error: APPDATA is not set\n")


def test_empty_appdata_gives_a_relative_path(env, tmp_path):
    env = dict(env, APPDATA="")
    r = run_qel(["install"], env, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout == ADDED.format(native("Microsoft/Windows/SendTo/Dropvale.lnk")) + POINTS
    assert (tmp_path / "Microsoft/Windows/SendTo/Dropvale.lnk").is_file()
    r = run_qel(["uninstall"], env, cwd=tmp_path)
    assert (r.returncode, r.stdout) == (0, REMOVED)


def test_appdata_with_a_trailing_separator(env, appdata):
    r = run_qel(["install"], dict(env, APPDATA=native(f"{appdata}/")))
    assert r.returncode == 0
    assert r.stdout.startswith(
        f'Added "Dropvale" to the Send to menu ({native(f"{appdata}/Microsoft/")}')


def test_folder_that_cannot_be_created_gives_the_system_error_alone(env, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    r = run_qel(["install"], dict(env, APPDATA=native(blocker)))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"Error: {system_error('not a folder')}\n"


def test_file_that_cannot_be_written_names_the_shortcut(env, appdata):
    link = shortcut_in(appdata)
    link.mkdir(parents=True)  # a folder where the file should go
    r = run_qel(["install"], dict(env, APPDATA=native(appdata)))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"Error: {native(link)}: {system_error('is a folder')}\n"


def test_shortcut_that_cannot_be_deleted(env, appdata):
    link = shortcut_in(appdata)
    link.mkdir(parents=True)  # unlink refuses a folder
    r = run_qel(["uninstall"], dict(env, APPDATA=native(appdata)))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"Error: {system_error('is a folder')}\n"
    assert link.is_dir()
