"""qel login: the device-code sign-in in the browser, and an API key checked and saved."""

from __future__ import annotations

import errno
import json
import os
import pty
import stat
import subprocess
from pathlib import Path

import pytest

from conftest import (OS_DISPLAY_NAME, URL_OPENER, URL_OPENER_ARGS, TerminalOutput, native,
                      qel_call, run_qel, skip_on_windows, start_qel, take_terminal)
from fake_service import DEFAULT_ACCOUNT, error_body

GREETING = "Logged in as ana@example.com (Business plan)."
EXPIRED = "Error: the request expired. Try again.\n"
UNEXPECTED = "Error: unexpected response from the server\n"


def compact(value) -> bytes:
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()


def expected_computer_name() -> str:
    try:
        name = Path("/etc/hostname").read_text(encoding="utf-8").strip()
    except (OSError, UnicodeDecodeError):
        pytest.skip("no readable /etc/hostname here")
    return name[:60] or "computer"


@pytest.fixture
def opener(stand_ins):
    """A stand-in URL opener that records the URL it was given."""
    stand_ins.place(URL_OPENER)
    return stand_ins


def read_record(opener) -> str:
    """The one URL the opener was given (it runs detached: its record may come later)."""
    (run,) = opener.wait_for_runs(URL_OPENER)
    assert run.args[:-1] == URL_OPENER_ARGS
    return run.args[-1]


@pytest.fixture
def device_env(env: dict, service) -> dict:
    e = dict(env)
    e["QEL_API_URL"] = service.url
    return e


def instructions(service, opened: bool) -> list[str]:
    lines = [
        "",
        "Open this page in your browser:",
        f"  {service.origin}/device",
        "and confirm the code:",
        "",
        "    WXYZ-1234",
        "",
    ]
    if opened:
        lines.append("(the browser was opened automatically)")
    lines.append("Waiting for approval...")
    return lines


def polls(service):
    return service.find("POST", "/auth/token")


# ---- device-code sign-in ------------------------------------------------------------


def test_device_sign_in_pending_then_approved(service, device_env, opener, config_file):
    device_env["COMPUTERNAME"] = None  # unset, also on Windows: /etc/hostname names it
    r = run_qel(["login"], device_env)
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"{GREETING}\nSaved in {native(config_file)}\n"
    assert r.stderr.split("\n") == instructions(service, opened=True) + [""]
    assert read_record(opener) == f"{service.origin}/device?code=WXYZ-1234"

    # The token is saved as given; the URL came from QEL_API_URL and is not saved.
    assert config_file.read_bytes() == b'{\n  "api_key": "qec_device_token"\n}'

    start, = service.find("POST", "/auth/device")
    assert start.body == compact(
        {"app": "qel", "client_name": f"qel - {expected_computer_name()} ({OS_DISPLAY_NAME})"})
    assert "authorization" not in start.headers
    assert len(polls(service)) == 2  # one pending answer, then the token
    for poll in polls(service):
        assert poll.body == compact({"device_code": "dev-code-1"})
        assert "authorization" not in poll.headers
    me, = service.find("GET", "/me")
    assert me.headers["authorization"] == "Bearer qec_device_token"
    assert [q.path for q in service.requests] == [
        "/auth/device", "/auth/token", "/auth/token", "/me"]


def test_without_an_opener_the_browser_line_is_left_out(service, device_env, stand_ins):
    stand_ins.place_broken(URL_OPENER)
    service.pending_polls = 0
    r = run_qel(["--json", "login"], device_env)
    assert r.returncode == 0, r.stderr
    assert r.stderr.split("\n") == instructions(service, opened=False) + [""]
    assert json.loads(r.stdout) == DEFAULT_ACCOUNT  # --json: the account alone


def test_token_is_saved_untrimmed_and_replaces_the_old_key(service, device_env, config_file):
    config_file.parent.mkdir(parents=True)
    config_file.write_text(json.dumps({"api_key": "old", "api_url": "http://127.0.0.1:9/x"}))
    service.pending_polls = 0
    service.device_token = " qec_spaced\t"
    r = run_qel(["login"], device_env)
    assert r.returncode == 0, r.stderr
    assert json.loads(config_file.read_text()) == {
        "api_key": " qec_spaced\t", "api_url": "http://127.0.0.1:9/x"}


def test_slow_down_then_approved(service, device_env):
    service.pending_polls = 0
    service.on("POST", "/auth/token", status=400, json=error_body("slow_down", "Slower."))
    r = run_qel(["login"], device_env)
    assert r.returncode == 0, r.stderr
    assert len(polls(service)) == 2


def test_network_failure_while_polling_is_retried(service, device_env):
    service.pending_polls = 0
    # Twice, since the client may resend at once on a fresh connection after the first.
    service.on("POST", "/auth/token", drop=True, times=2)
    r = run_qel(["login"], device_env)
    assert r.returncode == 0, r.stderr
    assert len(polls(service)) == 3


@pytest.mark.parametrize(
    "script",
    [
        {"status": 400, "json": error_body("slow_down", "Slower.")},
        {"drop": True, "times": 2},
        {"status": 503, "json": error_body("unavailable", "Busy.")},
    ],
)
def test_slowing_down_runs_into_a_near_deadline(service, device_env, script):
    # After the first poll at one second, only a pause of two seconds or more passes the
    # three-second deadline; a poll made a second later would get the token.
    service.pending_polls = 0
    service.device_expires_in = 3
    service.on("POST", "/auth/token", **script)
    r = run_qel(["login"], device_env)
    assert r.returncode == 1
    assert r.stderr.endswith(EXPIRED)
    assert service.find("GET", "/me") == []


@pytest.mark.parametrize(
    "status, code, message, error",
    [
        (403, "access_denied", "Denied.", "Error: the request was denied.\n"),
        (500, "access_denied", "Denied.", "Error: the request was denied.\n"),
        (400, "expired_token", "Too late.", EXPIRED),
        (401, "unauthorized", "Bad device.", "Error: Bad device. (unauthorized, HTTP 401)\n"),
        (429, "ip_blocked", "Blocked.", "Error: Blocked. (ip_blocked, HTTP 429)\n"),
    ],
)
def test_poll_refusals_end_the_sign_in_at_once(
        service, device_env, config_file, status, code, message, error):
    service.on("POST", "/auth/token", status=status, json=error_body(code, message))
    r = run_qel(["login"], device_env)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.endswith("Waiting for approval...\n" + error)
    assert len(polls(service)) == 1
    assert service.find("GET", "/me") == []
    assert not config_file.exists()


def test_deadline_passed_without_a_poll(service, device_env, config_file):
    service.device_expires_in = 0
    r = run_qel(["login"], device_env)
    assert r.returncode == 1
    assert r.stderr.endswith("Waiting for approval...\n" + EXPIRED)
    assert polls(service) == []
    assert not config_file.exists()


def test_absurd_interval_is_cut_by_the_deadline(service, device_env):
    service.on("POST", "/auth/device", json={
        "device_code": "d", "user_code": "U", "verification_url": "v",
        "interval": 18446744073709551615, "expires_in": 0})
    r = run_qel(["login"], device_env, timeout=30)
    assert r.returncode == 1
    assert r.stderr.endswith(EXPIRED)
    assert polls(service) == []


def test_huge_expires_in_does_not_break_the_sign_in(service, device_env):
    service.pending_polls = 0
    service.device_expires_in = 18446744073709551615
    r = run_qel(["login"], device_env)
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize(
    "reply",
    [
        {"user_code": "U", "verification_url": "v"},
        {"device_code": 12, "user_code": "U"},
        ["device_code"],
    ],
)
def test_start_reply_without_a_device_code(service, device_env, config_file, reply):
    service.on("POST", "/auth/device", json=reply)
    r = run_qel(["login"], device_env)
    assert r.returncode == 1
    assert r.stderr == UNEXPECTED  # no instructions, no poll
    assert polls(service) == []
    assert not config_file.exists()


def test_start_refused(service, device_env):
    service.on("POST", "/auth/device", status=503, json=error_body("down", "Down for now."))
    r = run_qel(["login"], device_env)
    assert r.returncode == 1
    assert r.stderr == "Error: Down for now. (down, HTTP 503)\n"
    assert polls(service) == []


def test_token_reply_without_access_token(service, device_env, config_file):
    service.pending_polls = 0
    service.on("POST", "/auth/token", json={"token_type": "bearer"})
    r = run_qel(["login"], device_env)
    assert r.returncode == 1
    assert r.stderr.endswith("Waiting for approval...\n" + UNEXPECTED)
    assert len(polls(service)) == 1
    assert service.find("GET", "/me") == []
    assert not config_file.exists()


def test_account_refused_after_approval_saves_nothing(service, device_env, config_file):
    service.pending_polls = 0
    service.on("GET", "/me", status=401, json=error_body("unauthorized", "Token unknown."))
    r = run_qel(["login"], device_env)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.endswith("Error: Token unknown. (unauthorized, HTTP 401)\n")
    assert not config_file.exists()


@pytest.mark.parametrize("complete", [None, "https://x.example/c?u=1"])
def test_missing_urls_print_blank_lines(service, device_env, opener, complete):
    service.pending_polls = 0
    reply = {"device_code": "d", "interval": 0}
    if complete is not None:
        reply["verification_url_complete"] = complete
    service.on("POST", "/auth/device", json=reply)
    r = run_qel(["login"], device_env)
    assert r.returncode == 0, r.stderr
    assert r.stderr.split("\n")[:8] == [
        "", "Open this page in your browser:", "  ", "and confirm the code:", "", "    ", "",
        "(the browser was opened automatically)"]
    assert read_record(opener) == (complete or "")  # with neither URL, the empty text
    assert polls(service)[0].body == compact({"device_code": "d"})


def test_complete_url_falls_back_to_the_page(service, device_env, opener):
    service.pending_polls = 0
    service.on("POST", "/auth/device", json={
        "device_code": "d", "user_code": "U", "verification_url": "https://x.example/dev a",
        "interval": 0})
    r = run_qel(["login"], device_env)
    assert r.returncode == 0, r.stderr
    assert read_record(opener) == "https://x.example/dev a"


@pytest.mark.parametrize(
    "computername, hostname, name",
    [
        ("DESK", "other", "DESK"),
        ("  \t", " box-7 ", "box-7"),
        (None, "  ", None),  # unset or blank in the environment: the file decides
        ("ș" * 70, None, "ș" * 60),
    ],
)
def test_client_name(service, device_env, computername, hostname, name):
    # None: unset, also on Windows, where the system sets COMPUTERNAME itself.
    device_env["COMPUTERNAME"] = computername
    device_env["HOSTNAME"] = hostname
    service.pending_polls = 0
    r = run_qel(["login"], device_env)
    assert r.returncode == 0, r.stderr
    start, = service.find("POST", "/auth/device")
    expected = name if name is not None else expected_computer_name()
    assert json.loads(start.body)["client_name"] == f"qel - {expected} ({OS_DISPLAY_NAME})"


# ---- login --key ----------------------------------------------------------------------


@pytest.fixture
def key_env(env: dict, service) -> dict:
    e = dict(env)
    e["QEL_API_URL"] = service.url
    return e


def test_key_from_a_pipe_is_trimmed_checked_and_saved(service, key_env, config_file):
    r = run_qel(["login", "--key"], key_env, input=" \u3000test-key \r\nsecond line\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"{GREETING}\nSaved in {native(config_file)}\n"
    assert r.stderr == ""  # no prompt when standard input is not a terminal
    me, = service.find("GET", "/me")
    assert me.headers["authorization"] == "Bearer test-key"
    assert json.loads(config_file.read_text()) == {"api_key": "test-key"}


def test_key_value_with_blanks(service, key_env, config_file):
    r = run_qel(["--json", "login", "--key", "\ttest-key  "], key_env)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout) == DEFAULT_ACCOUNT
    assert service.find("GET", "/me")[0].headers["authorization"] == "Bearer test-key"
    assert json.loads(config_file.read_text()) == {"api_key": "test-key"}


@pytest.mark.parametrize(
    "args, stdin",
    [
        (["login", "--key", "   "], "test-key\n"),  # blanks are a value: no prompt
        (["login", "--key"], ""),
        (["login", "--key"], " \t\r\n"),
        (["login", "--key="], "\n"),
    ],
)
def test_no_key_given(service, key_env, config_file, args, stdin):
    r = run_qel(args, key_env, input=stdin)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == "Error: no key given\n"
    assert service.requests == []
    assert not config_file.exists()


def test_key_from_a_pipe_that_is_not_text(service, key_env, config_file):
    r = run_qel(["login", "--key"], key_env, input="test-key\udcff\n")  # the byte 0xFF
    assert r.returncode == 1
    assert r.stderr == "Error: stream did not contain valid UTF-8\n"
    assert service.requests == []
    assert not config_file.exists()


@pytest.mark.parametrize("source", ["dev-zero", "long-line"])
def test_a_key_line_longer_than_one_mib_is_refused(service, key_env, config_file, source):
    # Input that never ends its line, or ends it too late, is not read without end.
    if source == "dev-zero":
        with open("/dev/zero", "rb") as zero:
            r = subprocess.run(**qel_call(["login", "--key"], key_env), stdin=zero,
                               capture_output=True, text=True, timeout=30)
    else:
        r = run_qel(["login", "--key"], key_env, input="k" * ((1 << 20) + 1) + "\n", timeout=30)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == "Error: the input line is longer than 1 MiB\n"
    assert service.requests == []
    assert not config_file.exists()


def test_refused_key_keeps_the_old_one(service, key_env, config_file):
    config_file.parent.mkdir(parents=True)
    old = '{"api_key": "old-key"}'
    config_file.write_text(old)
    r = run_qel(["login", "--key", "wrong"], key_env)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == "Error: Invalid API key. (unauthorized, HTTP 401)\n"
    assert config_file.read_text() == old


def test_a_failed_save_prints_nothing(service, key_env, config_file):
    config_file.parent.parent.mkdir(parents=True, exist_ok=True)
    config_file.parent.write_text("a file where the folder should be")
    r = run_qel(["login", "--key", "test-key"], key_env)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.startswith(f"Error: cannot create {native(config_file.parent)}: ")
    assert "(os error " in r.stderr
    assert len(service.find("GET", "/me")) == 1


@pytest.fixture
def small_disk(tmp_path: Path):
    """A file system of 64 KiB, where this machine lets the test mount one (as root, as CI
    runs)."""
    point = tmp_path / "small"
    point.mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(point)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {r.stderr.strip()}")
    yield point
    subprocess.run(["umount", "-l", str(point)], check=False)


def fill(folder: Path) -> None:
    with open(folder / "filler", "wb", buffering=0) as f:
        try:
            while True:
                f.write(bytes(4096))
        except OSError as e:
            assert e.errno == errno.ENOSPC


@skip_on_windows("the small file system is given as XDG_CONFIG_HOME, the Linux build's rule "
                 "for the configuration folder")
def test_a_full_disk_keeps_the_saved_key(service, key_env, small_disk):
    env = dict(key_env, XDG_CONFIG_HOME=str(small_disk))
    config = small_disk / "qel" / "config.json"
    config.parent.mkdir(mode=0o700)
    old = b'{\n  "api_key": "old-key",\n  "api_url": "http://127.0.0.1:9/api/v1"\n}'
    config.write_bytes(old)
    fill(small_disk)
    # More than the block that emptying the old file would free.
    key = "k" * 6000
    service.accounts[key] = dict(DEFAULT_ACCOUNT)

    r = run_qel(["login", "--key", key], env)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == f"Error: cannot write {config}: No space left on device (os error 28)\n"
    assert config.read_bytes() == old
    assert sorted(p.name for p in config.parent.iterdir()) == ["config.json"]

    # With room again the same sign-in is saved, and the file is still the user's alone.
    (small_disk / "filler").unlink()
    r = run_qel(["login", "--key", key], env)
    assert r.returncode == 0, r.stderr
    assert json.loads(config.read_text()) == {
        "api_key": key, "api_url": "http://127.0.0.1:9/api/v1"}
    assert stat.S_IMODE(config.stat().st_mode) == 0o600
    assert sorted(p.name for p in config.parent.iterdir()) == ["config.json"]


@skip_on_windows("Wine refuses to replace a Linux FIFO with a file (Access denied)")
def test_a_fifo_in_place_of_the_file_is_replaced(service, key_env, config_file):
    # Written in place, the file would be opened for writing and wait for a reader for ever.
    config_file.parent.mkdir(parents=True)
    os.mkfifo(config_file)
    r = run_qel(["login", "--key", "test-key"], key_env, timeout=20)
    assert r.returncode == 0, r.stderr
    assert json.loads(config_file.read_text()) == {"api_key": "test-key"}


def test_unreachable_service(key_env, config_file):
    key_env["QEL_API_URL"] = "http://127.0.0.1:9/api/v1"
    r = run_qel(["login", "--key", "k"], key_env)
    assert r.returncode == 1
    assert r.stderr.startswith("Error: Network error: ")
    assert not config_file.exists()


def test_environment_url_is_used_but_not_saved(service, key_env, config_file):
    config_file.parent.mkdir(parents=True)
    saved_url = "http://127.0.0.1:9/somewhere/api/v1"
    config_file.write_text(json.dumps({"api_key": "old", "api_url": saved_url}))
    key_env["QEL_API_KEY"] = "env-key"  # overridden in later runs, but replaced in the file
    r = run_qel(["login", "--key", "test-key"], key_env)
    assert r.returncode == 0, r.stderr
    assert len(service.find("GET", "/me")) == 1
    assert json.loads(config_file.read_text()) == {"api_key": "test-key", "api_url": saved_url}


@skip_on_windows("Wine's console shows what a program writes to the console on the terminal "
                 "only when standard output or error is that terminal; here both are pipes")
def test_key_prompt_on_the_terminal_without_echo(service, key_env, config_file):
    # The terminal is the child's controlling one, as a console would be.
    master, slave = pty.openpty()
    terminal = TerminalOutput(master)
    try:
        proc = start_qel(["login", "--key"], key_env, stdin=slave, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, preexec_fn=take_terminal)
        os.close(slave)
        terminal.read_until(lambda: b"API key: " in terminal.seen and not terminal.echoes())
        os.write(master, b"  test-key \r")
        out, err = proc.communicate(timeout=60)
        terminal.read_until(lambda: False)
        echo_restored = terminal.echoes()
    finally:
        os.close(master)
    assert proc.returncode == 0, err
    assert out.decode() == f"{GREETING}\nSaved in {native(config_file)}\n"
    assert err == b""
    assert terminal.seen.startswith(b"API key: ")
    assert b"test-key" not in terminal.seen  # typed without echo
    assert echo_restored
    assert service.find("GET", "/me")[0].headers["authorization"] == "Bearer test-key"
    assert json.loads(config_file.read_text()) == {"api_key": "test-key"}
