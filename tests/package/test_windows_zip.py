"""The Windows release zip that scripts/build-windows.sh writes into the Windows build folder
(QEL_BUILD_DIR, else build-windows/): the stripped qel.exe and a README for Windows users."""

from __future__ import annotations

import os
import re
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QEL_BUILD_DIR") or ROOT / "build-windows")


@pytest.fixture(scope="module")
def version() -> str:
    cache = (BUILD / "CMakeCache.txt").read_text()
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache, re.M).group(1)


@pytest.fixture(scope="module")
def release(version) -> zipfile.ZipFile:
    with zipfile.ZipFile(BUILD / f"qel-{version}-windows-x86_64.zip") as z:
        assert z.testzip() is None
        yield z


def test_the_zip_holds_the_stripped_program_and_the_readme_alone(release):
    assert sorted(release.namelist()) == ["README-windows.txt", "qel.exe"]
    program = release.read("qel.exe")
    assert program == (BUILD / "qel.exe").read_bytes()
    # A PE program for x86-64 whose symbol table was stripped (the COFF header's pointer to
    # it and its count are zero).
    pe = int.from_bytes(program[0x3C:0x40], "little")
    assert program[:2] == b"MZ" and program[pe:pe + 6] == b"PE\0\0\x64\x86"
    assert program[pe + 12:pe + 20] == bytes(8)


def test_the_readme_tells_a_windows_user_what_they_need(release, version):
    text = release.read("README-windows.txt").decode("utf-8")
    assert "\n" not in text.replace("\r\n", "")  # Windows line ends throughout
    assert text.startswith(f"qel {version} for Windows\r\n")
    for needed in ("Dropvale", "Windows 10", "x86-64", "PATH", "qel install", "qel uninstall",
                   r"%APPDATA%\qel\config.json", "QEL_API_KEY", "QEL_API_URL"):
        assert needed in text, needed
