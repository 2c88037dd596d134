"""Text from the service or the file system reaches the terminal without its control
characters: each of them (but line feed and tab) shows as U+FFFD, in every text output.
The --json output is escaped already and stays as it is; the program's own control output
(the Send To countdown's carriage returns) stays too."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

import pytest

from conftest import qel_call, run_qel, skip_on_windows
from fake_service import DEFAULT_ACCOUNT, error_body

NO_CONTROLS = skip_on_windows("Windows names cannot hold the control characters this case puts in a "
                              "file or folder name (Invalid name, os error 123)")

# A window title, a clear screen, a colour, a C1 control, carriage return, DEL and NUL.
HOSTILE = "A\x1b]0;pwned\x07B\x1b[2J\x1b[31mC\x9bD\rE\x7fF\x00G\tH"
SHOWN = "A\ufffd]0;pwned\ufffdB\ufffd[2J\ufffd[31mC\ufffdD\ufffdE\ufffdF\ufffdG\tH"
# The same for names in the file system, which hold no NUL.
NAME = "n\x1b]0;t\x07\x1b[2J\x9b"
NAME_SHOWN = "n\ufffd]0;t\ufffd\ufffd[2J\ufffd"


def assert_no_controls(text: str) -> None:
    for ch in text:
        assert ch in "\n\t" or not (ord(ch) < 0x20 or 0x7F <= ord(ch) <= 0x9F), repr(text)


@pytest.fixture
def bin_dir(tmp_path: Path) -> Path:
    """An empty PATH folder: no browser, clipboard or mail program to find."""
    d = tmp_path / "bin"
    d.mkdir()
    return d


def test_the_error_line(api_env, service):
    service.on("GET", "/me", status=400,
               json=error_body("c\x1b[0m", HOSTILE + "\nsecond line"))
    r = run_qel(["whoami"], api_env)
    assert r.returncode == 1
    assert r.stderr == f"Error: {SHOWN}\nsecond line (c\ufffd[0m, HTTP 400)\n"


@NO_CONTROLS
def test_a_file_name_in_the_error_line(api_env, tmp_path):
    r = run_qel(["send", tmp_path / NAME], api_env)
    assert r.returncode == 1
    assert r.stderr == f"Error: {tmp_path}/{NAME_SHOWN}: No such file or directory (os error 2)\n"


def test_whoami_list_and_info(api_env, service):
    service.accounts["test-key"] = dict(DEFAULT_ACCOUNT, name=HOSTILE, email="e\x1b[2J@x",
                                        plan={"name": HOSTILE})
    service.add_transfer(id=5, title=HOSTILE, status="act\x1bive", url="https://dl.test/\x1b[2J",
                         recipient_email=HOSTILE,
                         files=[{"name": HOSTILE, "size": 1, "downloads": 0}],
                         downloads=[{"at": "2025-01-01T00:00:00Z", "ip": "1.2.3.4\x1b[5m"}])

    whoami = run_qel(["whoami"], api_env)
    assert whoami.returncode == 0, whoami.stderr
    lines = whoami.stdout.split("\n")
    assert lines[0] == f"{SHOWN} <e\ufffd[2J@x>"
    assert lines[1] == f"Plan:               {SHOWN}"

    listed = run_qel(["list"], api_env)
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.split("\n")[1].startswith("5        act\ufffdive ")
    assert listed.stdout.split("\n")[1].endswith(SHOWN)

    info = run_qel(["info", "5"], api_env)
    assert info.returncode == 0, info.stderr
    assert f"Transfer #5 - {SHOWN}\n" in info.stdout
    assert "Link:       https://dl.test/\ufffd[2J  (end-to-end" in info.stdout
    assert f"Recipient:  {SHOWN}\n" in info.stdout
    assert f" dl  {SHOWN}\n" in info.stdout
    assert "  1.2.3.4\ufffd[5m\n" in info.stdout

    for r in (whoami, listed, info):
        assert_no_controls(r.stdout)


def test_json_output_stays_escaped(api_env, service):
    service.accounts["test-key"] = dict(DEFAULT_ACCOUNT, name=HOSTILE)
    r = run_qel(["--json", "whoami"], api_env)
    assert r.returncode == 0
    assert '"name": "A\\u001b]0;pwned\\u0007B\\u001b[2J\\u001b[31mC\x9bD\\rE\x7fF\\u0000G\\tH"' \
        in r.stdout
    assert json.loads(r.stdout)["name"] == HOSTILE


@NO_CONTROLS
@pytest.mark.parametrize("quiet", [False, True], ids=["text", "quiet"])
def test_send_output_and_warnings(api_env, service, tmp_path, quiet):
    folder = tmp_path / "up"
    folder.mkdir()
    (folder / "a.txt").write_bytes(b"abc")
    (folder / NAME).write_bytes(b"")  # skipped with a warning that names it
    service.on("POST", r"/transfers/\d+/finalize", json={
        "id": 1, "url": "https://dl.test/1\x1b[2J", "expires_at": "2025-04-13T23:59:59Z",
        "recipient_email": HOSTILE})

    r = run_qel(["send", folder, "--no-encrypt"] + (["--quiet"] if quiet else []), api_env)

    assert r.returncode == 0, r.stderr
    assert r.stderr.startswith(f"Warning: skipped empty file: {folder}/{NAME_SHOWN}\n")
    if quiet:
        assert r.stdout == "https://dl.test/1\ufffd[2J\n"
    else:
        assert r.stdout == ("Transfer #1 ready.\n"
                            "Link:    https://dl.test/1\ufffd[2J\n"
                            "Expires: 2025-04-13 23:59\n"
                            f"Email sent to {SHOWN}.\n")
    assert_no_controls(r.stderr)


@NO_CONTROLS
def test_sign_in_instructions_greeting_and_saved_path(env, service, bin_dir, tmp_path):
    config = tmp_path / "cfg\x1b[2J"
    env.update(QEL_API_URL=service.url, PATH=str(bin_dir), XDG_CONFIG_HOME=str(config))
    service.pending_polls = 0
    service.on("POST", "/auth/device", json={
        "device_code": "d", "user_code": "AB\x1b[2JCD", "verification_url": "http://x/\x1b]0;t\x07",
        "interval": 0, "expires_in": 600})
    service.on("GET", "/me", json=dict(DEFAULT_ACCOUNT, email=HOSTILE))

    r = run_qel(["login"], env)

    assert r.returncode == 0, r.stderr
    assert "\n  http://x/\ufffd]0;t\ufffd\n" in r.stderr
    assert "\n    AB\ufffd[2JCD\n" in r.stderr
    assert_no_controls(r.stderr)
    assert r.stdout == (f"Logged in as {SHOWN} (Business plan).\n"
                        f"Saved in {tmp_path}/cfg\ufffd[2J/qel/config.json\n")


@NO_CONTROLS
def test_install_names_the_shortcut_path(env, tmp_path):
    appdata = tmp_path / "Roaming\x1b[2J"
    r = run_qel(["install"], dict(env, APPDATA=str(appdata)))
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith('Added "Dropvale" to the Send to menu '
                               f"({tmp_path}/Roaming\ufffd[2J/Microsoft/Windows/SendTo/"
                               "Dropvale.lnk).\n")


def send_to(args, env) -> str:
    """Standard error of the Send To flow, decoded from bytes so that the countdown's
    carriage returns stay as they are."""
    r = subprocess.run(**qel_call(["sendto", *args], env), input=b"",
                       capture_output=True, timeout=60)
    return r.stderr.decode("utf-8")


@NO_CONTROLS
def test_send_to_flow_greeting_warning_link_and_error(api_env, service, bin_dir, tmp_path):
    env = dict(api_env, PATH=str(bin_dir))
    service.accounts["test-key"] = dict(DEFAULT_ACCOUNT, email=HOSTILE)
    greeted = send_to([], env)
    assert f"Logged in as {SHOWN} (Business plan).\n" in greeted
    assert_no_controls(greeted)

    folder = tmp_path / "up"
    folder.mkdir()
    (folder / "a.txt").write_bytes(b"abc")
    (folder / NAME).write_bytes(b"")
    service.on("POST", r"/transfers/\d+/finalize", json={
        "id": 1, "url": "https://dl.test/1\x1b[2J", "expires_at": "2025-04-13T23:59:59Z"})
    sent = send_to([folder], env)
    assert f"Warning: skipped empty file: {folder}/{NAME_SHOWN}\n" in sent
    assert "\nDone. Transfer #1 is active.\nhttps://dl.test/1\ufffd[2J#key=" in sent
    # The program's own control output (the bar's line erasing, the countdown's carriage
    # returns) stays; none of the service's or the file system's gets through.
    assert "\n\rThis window closes in 5 s. \rThis window closes in 4 s. " in sent
    for sequence in ("\x1b]", "\x07", "\x1b[2J", "\x9b"):
        assert sequence not in sent

    service.on("POST", "/transfers", status=400, json=error_body("c", HOSTILE))
    failed = send_to([folder], env)
    assert f"\nError: {SHOWN} (c, HTTP 400)\n" in failed
    assert_no_controls(failed)
