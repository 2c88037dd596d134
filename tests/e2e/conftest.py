"""Shared fixtures: the qel command, a private HOME per test, and the stand-in service."""

from __future__ import annotations

import os
import shlex
import subprocess
from pathlib import Path

import pytest

from fake_service import FakeService

ROOT = Path(__file__).resolve().parents[2]

# The command that runs qel: QEL_COMMAND (split like a shell would, so it can name a
# wrapper such as an emulator), else QEL_BINARY, else the default build's binary.
if os.environ.get("QEL_COMMAND"):
    QEL = shlex.split(os.environ["QEL_COMMAND"])
else:
    QEL = [os.environ.get("QEL_BINARY") or str(ROOT / "build" / "qel")]

# Variables of the user's session that must never leak into a test run.
_SCRUBBED_PREFIXES = ("QEL_", "XDG_", "LC_")
_SCRUBBED = {
    "HOME", "APPDATA", "LANG", "LANGUAGE", "COMPUTERNAME", "HOSTNAME",
    "ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy",
    "NO_PROXY", "no_proxy", "NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE", "CI",
}


@pytest.fixture
def home(tmp_path: Path) -> Path:
    h = tmp_path / "home"
    h.mkdir()
    return h


@pytest.fixture
def env(home: Path) -> dict:
    """A clean environment whose HOME is the test's own folder."""
    e = {
        k: v
        for k, v in os.environ.items()
        if k not in _SCRUBBED and not k.startswith(_SCRUBBED_PREFIXES)
    }
    e["HOME"] = str(home)
    e["TERM"] = "dumb"
    return e


@pytest.fixture
def config_file(home: Path) -> Path:
    return home / ".config" / "qel" / "config.json"


@pytest.fixture
def service():
    s = FakeService().start()
    yield s
    s.stop()


@pytest.fixture(scope="module")
def quiet_service():
    """One stand-in service for a whole test file, for tests that only need one to answer
    (starting one per test is slow). Requests of earlier tests stay in its record."""
    s = FakeService().start()
    yield s
    s.stop()


@pytest.fixture
def api_env(env: dict, service: FakeService) -> dict:
    """The clean environment, pointed at the stand-in service with a valid key."""
    e = dict(env)
    e["QEL_API_URL"] = service.url
    e["QEL_API_KEY"] = "test-key"
    return e


def run_qel(args, env, input=None, timeout=60, cwd=None) -> subprocess.CompletedProcess:
    """Runs qel; stdout and stderr come back as text (undecodable bytes kept as escapes).
    Standard input is empty unless `input` is given."""
    return subprocess.run(
        QEL + [os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in args],
        env=env,
        input=input if input is not None else "",
        capture_output=True,
        text=True,
        encoding="utf-8",
        errors="surrogateescape",
        timeout=timeout,
        cwd=cwd,
    )
