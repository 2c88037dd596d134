"""Fixtures for the TLS tests: the command that runs the test copy of qel, a clean
environment, server certificates issued by the test root, and https stand-ins.

The command is picked as tests/e2e/conftest.py picks it: QEL_COMMAND (split like a shell
would, so it can name a wrapper such as Wine's), else QEL_BINARY, else the default build's
test copy. The stand-in service and the recording proxy are the end-to-end tests' own."""

from __future__ import annotations

import os
import shlex
import ssl
import subprocess
import sys
import warnings
from dataclasses import dataclass
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from fake_service import FakeService  # noqa: E402

import certs  # noqa: E402

if os.environ.get("QEL_COMMAND"):
    QEL = shlex.split(os.environ["QEL_COMMAND"])
else:
    QEL = [os.environ.get("QEL_BINARY") or str(ROOT / "build" / "qel_tls_test")]

# The system the copy was built for, as its user agent names it.
SYSTEM = "windows" if QEL[-1].lower().endswith(".exe") else "linux"

_SCRUBBED_PREFIXES = ("QEL_", "XDG_", "LC_", "SSL_")
_SCRUBBED = {
    "HOME", "APPDATA", "LANG", "LANGUAGE", "CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE",
    "ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy",
    "NO_PROXY", "no_proxy",
}


@pytest.fixture
def env(tmp_path: Path) -> dict:
    """A clean environment with a HOME of the test's own and the key the stand-in takes."""
    home = tmp_path / "home"
    home.mkdir()
    e = {k: v for k, v in os.environ.items()
         if k not in _SCRUBBED and not k.startswith(_SCRUBBED_PREFIXES)}
    e.update(HOME=str(home), TERM="dumb", QEL_API_KEY="test-key")
    return e


def run_qel(args, env, cwd=None) -> subprocess.CompletedProcess:
    return subprocess.run(QEL + [str(a) for a in args], env=env, input="", capture_output=True,
                          text=True, encoding="utf-8", errors="surrogateescape", timeout=120,
                          cwd=cwd)


@dataclass
class Certs:
    """Server certificates (cert, key) for 127.0.0.1 and localhost."""
    ec: tuple[Path, Path]  # ECDSA P-256 key, issued by the test root
    rsa: tuple[Path, Path]  # RSA 2048 key, issued by the test root
    other_name: tuple[Path, Path]  # issued by the test root for another host only
    expired: tuple[Path, Path]
    not_yet_valid: tuple[Path, Path]
    self_signed: tuple[Path, Path]
    unknown_issuer: tuple[Path, Path]  # issued by a root the copy does not hold


@pytest.fixture(scope="session")
def server_certs(tmp_path_factory) -> Certs:
    folder = tmp_path_factory.mktemp("certs")
    root = certs.load_test_root()
    now = certs.utc_now()
    stranger = certs.make_authority("another root", now - 365 * certs.DAY, now + 365 * certs.DAY)
    return Certs(
        ec=certs.issue(folder, "ec", root),
        rsa=certs.issue(folder, "rsa", root, key_type="rsa"),
        other_name=certs.issue(folder, "other-name", root, dns=("other.example",), ips=()),
        expired=certs.issue(folder, "expired", root, not_before=now - 30 * certs.DAY,
                            not_after=now - certs.DAY),
        not_yet_valid=certs.issue(folder, "not-yet-valid", root,
                                  not_before=now + certs.DAY, not_after=now + 30 * certs.DAY),
        self_signed=certs.issue(folder, "self-signed", None),
        unknown_issuer=certs.issue(folder, "unknown-issuer", stranger),
    )


def server_context(cert: tuple[Path, Path], *, version: ssl.TLSVersion | None = None,
                   ciphers: str | None = None, group: str | None = None) -> ssl.SSLContext:
    """A server context with the given certificate; `version` makes it speak only that
    version, `ciphers` limits its TLS 1.2 (and older) suites, `group` its one ECDHE group."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*cert)
    if version is not None:
        with warnings.catch_warnings():  # old versions are deprecated: that is the point
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = version
            context.maximum_version = version
    if ciphers is not None:
        context.set_ciphers(ciphers)
    if group is not None:
        context.set_ecdh_curve(group)
    return context


@pytest.fixture
def https_service():
    """Starts stand-in services over TLS with a given server context; stops them after."""
    started = []

    def start(context: ssl.SSLContext) -> FakeService:
        s = FakeService().start(tls=context)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()
