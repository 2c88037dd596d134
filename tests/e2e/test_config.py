"""Where the configuration file is looked for and how the program reads it: a keyed
subcommand tells a present key (it goes on to the service) from none (the not-logged-in
error). The exact bytes that saving writes are checked by the unit tests."""

from __future__ import annotations

import os
import resource
import subprocess

import pytest

from conftest import qel_call, run_qel, skip_on_windows


NOT_LOGGED_IN = 'Error: not logged in. Run "qel login" (or set QEL_API_KEY).\n'


def logged_in(env, service) -> bool:
    e = dict(env)
    e["QEL_API_URL"] = service.url  # a key must never travel anywhere but here
    r = run_qel(["whoami"], e)
    assert r.returncode in (0, 1), r.stderr
    return r.stderr != NOT_LOGGED_IN


CONTENTS = [
    (b'{"api_key": "k"}', True),
    (b'{\n  "api_key": "k",\n  "api_url": "http://127.0.0.1:9/api/v1"\n}', True),
    (b'{"api_key": "   "}', True),  # a present, empty key
    (b'{"api_key": ""}', True),
    (b'["k", null]', True),
    (b'{"other": {"deep": [1, {"api_key": null}]}, "api_key": "k"}', True),
    (b'{"api_key": "k"} \t\r\n', True),
    (b"{}", False),
    (b"[null, null]", False),
    (b'{"api_url": "http://127.0.0.1:9"}', False),
    (b'{"Api_Key": "k"}', False),
    (b'["k"]', False),
    (b'["k", "u", "x"]', False),
    (b'{"api_key": "k", "api_key": "k"}', False),
    (b'{"api_key": 1}', False),
    (b'{"api_key": "k"}x', False),
    (b'\xef\xbb\xbf{"api_key": "k"}', False),
    (b'{"api_key": "k\xff"}', False),
    (b'"k"', False),
]


@pytest.mark.parametrize("content,present", CONTENTS, ids=lambda v: repr(v)[:40])
def test_reading_the_saved_key(env, quiet_service, config_file, content, present):
    config_file.parent.mkdir(parents=True)
    config_file.write_bytes(content)
    assert logged_in(env, quiet_service) == present


@skip_on_windows("the configuration lives in the roaming application-data folder; "
                 "XDG_CONFIG_HOME is a Linux rule")
def test_xdg_config_home_wins_when_absolute(env, quiet_service, home, tmp_path, config_file):
    xdg = tmp_path / "xdg"
    (xdg / "qel").mkdir(parents=True)
    (xdg / "qel" / "config.json").write_text('{"api_key": "k"}')
    e = dict(env)
    e["XDG_CONFIG_HOME"] = str(xdg)
    assert logged_in(e, quiet_service)
    assert not logged_in(env, quiet_service)  # without it, ~/.config is looked at

    config_file.parent.mkdir(parents=True)
    config_file.write_text('{"api_key": "k"}')
    e["XDG_CONFIG_HOME"] = "relative/xdg"  # not absolute: ignored
    assert logged_in(e, quiet_service)
    e["XDG_CONFIG_HOME"] = str(tmp_path / "empty-xdg")
    assert not logged_in(e, quiet_service)


def test_no_home_means_no_configuration(env, quiet_service):
    e = dict(env)
    del e["HOME"]
    assert not logged_in(e, quiet_service)


def run_small(args, env) -> subprocess.CompletedProcess:
    """run_qel for a run that might read without end: its memory is capped (unless a wrapper
    runs it) and it gets 20 s, so a fault fails the test instead of the machine."""
    def cap_memory():
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

    wrapped = bool(os.environ.get("QEL_COMMAND"))
    return subprocess.run(**qel_call(args, env), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=20, preexec_fn=None if wrapped else cap_memory)


@skip_on_windows("Wine itself aborts (an assertion of wine64) when the program opens a Linux "
                 "FIFO or device there; the platform test shows the check on a Windows pipe")
@pytest.mark.parametrize("make", [os.mkfifo, lambda p: os.symlink("/dev/zero", p)],
                         ids=["fifo", "link-to-dev-zero"])
def test_a_file_that_is_not_regular_reads_as_empty(env, quiet_service, config_file, make):
    # A FIFO without a writer would keep a reader waiting for ever, and a device may never
    # end; either reads as no configuration, and a key from the environment still works.
    config_file.parent.mkdir(parents=True)
    make(config_file)
    e = dict(env, QEL_API_URL=quiet_service.url)
    r = run_small(["whoami"], e)
    assert (r.returncode, r.stderr) == (1, NOT_LOGGED_IN)
    r = run_small(["whoami"], dict(e, QEL_API_KEY="test-key"))
    assert (r.returncode, r.stderr) == (0, ""), r.stderr


@pytest.mark.parametrize("size, present", [(1 << 20, True), ((1 << 20) + 1, False)],
                         ids=["1-MiB", "larger"])
def test_a_file_over_one_mib_reads_as_empty(env, quiet_service, config_file, size, present):
    # Two short texts never need more; a larger file is not read at all.
    content = b'{"api_key": "k"}'
    config_file.parent.mkdir(parents=True)
    config_file.write_bytes(content + b" " * (size - len(content)))
    assert logged_in(env, quiet_service) == present
