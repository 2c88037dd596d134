"""The Debian package and the install rule: what they put where, the dependencies the package
declares, and that dpkg installs, runs and removes it in a throwaway root.

The package is written by CPack from the build folder (QEL_BUILD_DIR, else build/) into a
temporary folder, so the build folder's own package is left alone."""

from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QEL_BUILD_DIR") or ROOT / "build")


def run(*cmd, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kwargs)


def checked(*cmd, **kwargs) -> str:
    r = run(*cmd, **kwargs)
    assert r.returncode == 0, f"{' '.join(map(str, cmd))}: {r.stdout}{r.stderr}"
    return r.stdout


def project_version() -> str:
    cache = (BUILD / "CMakeCache.txt").read_text()
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache, re.M).group(1)


VERSION = project_version()
ARCH = checked("dpkg", "--print-architecture").strip()


@pytest.fixture(scope="module")
def deb(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("cpack")
    checked("cpack", "-G", "DEB", "--config", BUILD / "CPackConfig.cmake", "-B", out)
    debs = sorted(out.glob("*.deb"))
    assert [d.name for d in debs] == [f"qel_{VERSION}_{ARCH}.deb"]
    return debs[0]


@pytest.fixture(scope="module")
def unpacked(deb, tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("unpacked")
    checked("dpkg-deb", "-x", deb, root)
    return root


def field(deb: Path, name: str) -> str:
    return checked("dpkg-deb", "-f", deb, name).rstrip("\n")


def depends(deb: Path) -> set[str]:
    """The package names in Depends, each alternative of an "a | b" included."""
    return {alternative.split()[0]
            for item in field(deb, "Depends").split(",") if item.strip()
            for alternative in item.split("|")}


def test_control_fields(deb):
    assert field(deb, "Package") == "qel"
    assert field(deb, "Version") == VERSION
    assert field(deb, "Architecture") == ARCH
    assert re.fullmatch(r"[^<>]+ <[^<>@\s]+@[^<>@\s]+>", field(deb, "Maintainer"))
    summary, *body = field(deb, "Description").split("\n")
    assert summary.strip() and body, "a one-line summary and a longer text"


def test_the_package_holds_the_program_alone(deb):
    entries = [line.split() for line in checked("dpkg-deb", "-c", deb).splitlines()]
    assert sorted(e[5] for e in entries) == ["./usr/", "./usr/bin/", "./usr/bin/qel"]
    mode, owner = next(e[:2] for e in entries if e[5] == "./usr/bin/qel")
    assert (mode, owner) == ("-rwxr-xr-x", "root/root")


def owning_package(library: Path) -> str:
    """The installed package that ships a library file, looked up under both its names on
    a merged /usr (/lib/x/libz.so.1 and /usr/lib/x/libz.so.1)."""
    text = str(library)
    other = text[len("/usr"):] if text.startswith("/usr/") else "/usr" + text
    for path in (text, other, str(library.resolve())):
        r = run("dpkg", "-S", path)
        if r.returncode == 0:
            return r.stdout.split(":")[0].split(",")[0].strip()
    raise AssertionError(f"no installed package ships {library}")


def test_depends_names_the_package_of_every_library_the_program_links(deb, unpacked):
    program = unpacked / "usr" / "bin" / "qel"
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", checked("readelf", "-d", program))
    assert any(n.startswith("libcurl.") for n in needed), needed
    assert any(n.startswith("libcrypto.") for n in needed), needed
    found = dict(re.findall(r"^\s*(\S+) => (/\S+)", checked("ldd", program), re.M))
    declared = depends(deb)
    for library in needed:
        package = owning_package(Path(found[library]))
        assert package in declared, f"{library} comes from {package}, not in Depends {declared}"


def test_dpkg_installs_runs_and_removes_it_in_a_throwaway_root(deb, tmp_path):
    root = tmp_path / "root"
    admin = root / "var" / "lib" / "dpkg"
    (admin / "info").mkdir(parents=True)
    (admin / "updates").mkdir()
    (admin / "status").touch()
    dpkg = ["dpkg", f"--root={root}", "--force-not-root"]

    # The empty root has none of the dependencies: dpkg refuses, naming them all, as it does
    # on a system that lacks them until `apt-get -f install` brings them in.
    refused = run(*dpkg, "-i", deb)
    assert refused.returncode != 0
    for name in depends(deb):
        assert f"qel depends on {name}" in refused.stderr, refused.stderr

    checked(*dpkg, "--force-depends", "-i", deb)
    program = root / "usr" / "bin" / "qel"
    assert checked(program, "--version") == f"qel {VERSION}\n"
    assert "/usr/bin/qel" in checked(*dpkg, "-L", "qel").split("\n")

    checked(*dpkg, "-r", "qel")
    assert not program.exists() and not (root / "usr").exists()


def test_cmake_install_puts_qel_alone_in_bin_under_the_prefix(tmp_path):
    prefix = tmp_path / "prefix"
    checked("cmake", "--install", BUILD, "--prefix", prefix)
    installed = sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*") if not p.is_dir())
    assert installed == ["bin/qel"]
    assert checked(prefix / "bin" / "qel", "--version") == f"qel {VERSION}\n"
