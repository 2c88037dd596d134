"""qel logout: a revocable key is revoked first, then the key leaves the configuration file."""

from __future__ import annotations

import json
import socket

import pytest

from conftest import native, run_qel
from fake_service import error_body


@pytest.fixture
def logout_env(env: dict, service) -> dict:
    e = dict(env)
    e["QEL_API_URL"] = service.url
    return e


def write_config(config_file, content) -> None:
    config_file.parent.mkdir(parents=True, exist_ok=True)
    config_file.write_text(content if isinstance(content, str) else json.dumps(content))


def closed_port_url() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/api/v1"


def test_no_file_means_not_logged_in(service, logout_env, config_file):
    r = run_qel(["logout"], logout_env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "Not logged in.\n", "")
    assert service.requests == []
    assert not config_file.parent.exists()  # nothing is created either


def test_revocable_key_is_revoked_and_the_url_kept(service, env, config_file):
    write_config(config_file, {"api_key": "qec_abc", "api_url": service.url + "/"})
    r = run_qel(["logout"], env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "Logged out.\n", "")
    revoke, = service.requests
    assert (revoke.method, revoke.path) == ("POST", "/auth/revoke")
    assert revoke.headers["authorization"] == "Bearer qec_abc"
    assert revoke.headers.get("content-length") == "0"
    assert revoke.body == b""
    assert config_file.read_bytes() == b'{\n  "api_url": "' + service.url.encode() + b'/"\n}'


@pytest.mark.parametrize(
    "script",
    [
        {"status": 401, "json": error_body("unauthorized", "Unknown key.")},
        {"status": 500, "json": error_body("server_error", "Broken.")},
        {"status": 200, "body": b"not json"},
        {"drop": True},
    ],
)
def test_revoke_outcome_is_ignored(service, logout_env, config_file, script):
    write_config(config_file, {"api_key": "qec_abc"})
    service.on("POST", "/auth/revoke", **script)
    r = run_qel(["logout"], logout_env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "Logged out.\n", "")
    assert len(service.find("POST", "/auth/revoke")) == 1
    assert not config_file.exists()
    assert config_file.parent.is_dir()  # the folder stays


def test_unreachable_service_still_logs_out(env, config_file):
    env["QEL_API_URL"] = closed_port_url()
    write_config(config_file, {"api_key": "qec_abc"})
    r = run_qel(["logout"], env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "Logged out.\n", "")
    assert not config_file.exists()


@pytest.mark.parametrize("key", ["plain-key", "QEC_abc", " qec_abc", "qec", ""])
def test_other_keys_are_never_sent(service, logout_env, config_file, key):
    write_config(config_file, {"api_key": key, "api_url": "http://127.0.0.1:9/x"})
    r = run_qel(["logout"], logout_env)
    assert (r.returncode, r.stdout) == (0, "Logged out.\n")
    assert service.requests == []
    assert json.loads(config_file.read_text()) == {"api_url": "http://127.0.0.1:9/x"}


def test_environment_key_is_neither_revoked_nor_touched(service, logout_env, config_file):
    logout_env["QEL_API_KEY"] = "qec_from_env"
    write_config(config_file, {"api_url": service.url})
    r = run_qel(["logout"], logout_env)
    assert (r.returncode, r.stdout) == (0, "Logged out.\n")
    assert service.requests == []
    assert json.loads(config_file.read_text()) == {"api_url": service.url}


@pytest.mark.parametrize("content", ["{not json", "", "[1, 2]", '{"api_key": 5}'])
def test_malformed_file_is_deleted(service, logout_env, config_file, content):
    write_config(config_file, content)
    r = run_qel(["logout"], logout_env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "Logged out.\n", "")
    assert not config_file.exists()
    assert service.requests == []


def test_twice_after_a_delete(service, logout_env, config_file):
    write_config(config_file, {"api_key": "qec_abc"})
    first = run_qel(["logout"], logout_env)
    second = run_qel(["logout"], logout_env)
    assert (first.stdout, second.stdout) == ("Logged out.\n", "Not logged in.\n")
    assert len(service.requests) == 1


def test_twice_when_the_url_remains(service, logout_env, config_file):
    write_config(config_file, {"api_key": "qec_abc", "api_url": service.url})
    first = run_qel(["logout"], logout_env)
    second = run_qel(["logout"], logout_env)
    assert (first.stdout, second.stdout) == ("Logged out.\n", "Logged out.\n")
    assert len(service.find("POST", "/auth/revoke")) == 1  # no key left the second time
    assert json.loads(config_file.read_text()) == {"api_url": service.url}


def test_file_that_cannot_be_deleted(service, logout_env, config_file):
    # A folder where the file should be: it exists, reads as empty, and cannot be unlinked.
    config_file.mkdir(parents=True)
    r = run_qel(["logout"], logout_env)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.startswith("Error: ")
    assert "(os error " in r.stderr
    assert native(config_file) not in r.stderr  # the system's text alone
    assert config_file.is_dir()
