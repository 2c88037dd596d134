"""`qel send`: option checks, the password prompt, warnings, the summary and the three
output forms."""

from __future__ import annotations

import json
import os
import re
import subprocess
from contextlib import contextmanager

import pytest

from conftest import WINDOWS, qel_call, native, run_qel, run_qel_raw, system_error

KEY_LINE = "The key is in the link (after #). Anyone with this link can download the files."
LINK = re.compile(r"http://127\.0\.0\.1:\d+/t/1#key=[A-Za-z0-9_-]{43}")


@pytest.fixture
def one_file(tmp_path):
    f = tmp_path / "hello.txt"
    f.write_bytes(b"hello")
    return f


def create_body(service) -> dict:
    (create,) = service.find("POST", "/transfers")
    return json.loads(create.body)


def shown_expiry(service) -> str:
    """The stand-in's expiry of transfer 1 (dated from today) as the summary shows it:
    date and minutes of the service's own text, e.g. 2025-04-13T23:59:59Z as 2025-04-13 23:59."""
    expires_at = service.transfers[1]["expires_at"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT23:59:59Z", expires_at), expires_at
    return expires_at[:10] + " 23:59"


def test_text_output_in_e2ee(api_env, service, one_file):
    r = run_qel(["send", one_file], api_env)
    assert r.returncode == 0, r.stderr
    assert r.stderr == "Sending 1 file (5 B), end-to-end encrypted\n", "no bar off a terminal"
    lines = r.stdout.split("\n")
    assert lines[0] == "Transfer #1 ready."
    assert lines[1].startswith("Link:    ") and LINK.fullmatch(lines[1][9:]), lines[1]
    assert lines[2:] == [f"Expires: {shown_expiry(service)}", KEY_LINE, ""]


def test_text_output_with_recipient_and_plural(api_env, service, tmp_path):
    folder = tmp_path / "docs"
    folder.mkdir()
    (folder / "a").write_bytes(b"a" * 1024)
    (folder / "b").write_bytes(b"b" * 512)
    (folder / "empty").write_bytes(b"")
    r = run_qel(["send", folder, "--no-encrypt", "--to", "ana@example.com"], api_env)
    assert r.returncode == 0, r.stderr
    assert r.stderr == (f"Warning: skipped empty file: {native(folder / 'empty')}\n"
                        "Sending 2 files (1.5 KB)\n")
    url = service.transfers[1]["url"]
    assert r.stdout == (f"Transfer #1 ready.\nLink:    {url}\nExpires: {shown_expiry(service)}\n"
                        "Email sent to ana@example.com.\n")
    assert create_body(service)["recipient_email"] == "ana@example.com"
    assert create_body(service)["mode"] == "preview_download"


def test_quiet_prints_the_link_alone_and_warnings_still(api_env, service, tmp_path):
    folder = tmp_path / "docs"
    folder.mkdir()
    (folder / "a").write_bytes(b"a")
    (folder / "empty").write_bytes(b"")
    r = run_qel(["send", folder, "-q"], api_env)
    assert r.returncode == 0, r.stderr
    assert LINK.fullmatch(r.stdout.rstrip("\n")) and r.stdout.count("\n") == 1
    assert r.stderr == f"Warning: skipped empty file: {native(folder / 'empty')}\n"


@pytest.mark.parametrize("extra", [[], ["--quiet"]])
def test_json_output_adds_the_link(api_env, service, one_file, extra):
    r = run_qel(["--json", "send", one_file, *extra], api_env)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    out = json.loads(r.stdout)
    assert LINK.fullmatch(out["link"])
    assert out["id"] == 1 and out["status"] == "active"
    assert r.stdout.startswith('{\n  "')  # pretty form


@pytest.mark.parametrize("transfer", [None, [1, 2], "text", 5, {"link": "old", "id": 9}])
def test_json_output_of_odd_transfers(api_env, service, one_file, transfer):
    service.on("POST", r"/transfers/\d+/finalize", json=transfer,
               body=b"null" if transfer is None else None)
    r = run_qel(["send", one_file, "--json", "--no-encrypt"], api_env)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    if isinstance(transfer, dict):
        assert out == {"link": "", "id": 9}, "a link the service sent is replaced"
    else:
        assert out == {"link": ""}


def test_json_of_a_transfer_without_url_in_e2ee(api_env, service, one_file):
    service.on("POST", r"/transfers/\d+/finalize", json={"id": 1})
    r = run_qel(["send", one_file, "--json"], api_env)
    assert r.returncode == 0, r.stderr
    assert re.fullmatch(r"#key=[A-Za-z0-9_-]{43}", json.loads(r.stdout)["link"])


MODE_TEXT = "--mode must be e2ee, preview_download, preview_watermark or preview_only"
TO_TEXT = ("--to needs --no-encrypt: with end-to-end encryption the server cannot email a "
           "working link. Send the link yourself, or add --no-encrypt.")


@pytest.mark.parametrize("args,error", [
    (["--mode", "E2EE"], MODE_TEXT),
    (["--mode", "preview"], MODE_TEXT),
    (["--mode", "bogus", "--schedule", "x"], MODE_TEXT),
    (["--to", "a@b.c"], TO_TEXT),
    (["--to", "a@b.c", "--mode", "e2ee"], TO_TEXT),
    (["--schedule", ""], "--schedule needs --to"),
    (["--no-encrypt", "--schedule", "2030-01-01"], "--schedule needs --to"),
])
def test_option_checks_fail_before_any_request(api_env, service, one_file, args, error):
    r = run_qel(["send", one_file, *args], api_env)
    assert r.returncode == 1
    assert r.stderr == f"Error: {error}\n"
    assert r.stdout == ""
    assert service.requests == []


def test_accepted_combinations_and_the_options_object(api_env, service, one_file):
    r = run_qel(["send", one_file, "--to", "x@y.z", "--mode", "preview_watermark", "--schedule",
                 "2030-01-01T08:00", "--title", "", "--password", "", "--message", " m ",
                 "--lang", "ro", "--expires", "2030/05/01", "--self-destroy", "--quiet"], api_env)
    assert r.returncode == 0, r.stderr
    body = create_body(service)
    del body["files"]
    assert body == {"recipient_email": "x@y.z", "mode": "preview_watermark",
                    "scheduled_at": "2030-01-01T08:00", "title": "", "message": " m ",
                    "lang": "ro", "expires_at": "2030/05/01", "self_destroy": True}


@pytest.mark.parametrize("answer,expected", [("s3cret pw\n", "s3cret pw"), ("\n", None), ("", None)])
def test_ask_password_reads_a_line_of_standard_input(api_env, service, one_file, answer, expected):
    r = run_qel(["send", one_file, "--ask-password", "--quiet"], api_env, input=answer)
    assert r.returncode == 0, r.stderr
    assert "Password" not in r.stdout + r.stderr, "no prompt when input is not a terminal"
    assert create_body(service).get("password") == expected


def test_ask_password_line_longer_than_one_mib_is_refused(api_env, service, one_file):
    r = run_qel(["send", one_file, "--ask-password"], api_env,
                input="p" * ((1 << 20) + 1) + "\n")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == "Error: the input line is longer than 1 MiB\n"
    assert service.requests == []


def test_password_is_asked_before_the_files_are_looked_at(api_env, service, tmp_path):
    missing = tmp_path / "missing.txt"
    r = run_qel(["send", missing, "--ask-password"], api_env, input="pw\n")
    assert r.returncode == 1
    assert r.stderr == f"Error: {native(missing)}: {system_error('not found')}\n"
    assert service.requests == []


def test_collection_failure_prints_no_warnings(api_env, service, tmp_path):
    folder = tmp_path / "docs"
    folder.mkdir()
    (folder / "empty").write_bytes(b"")
    r = run_qel(["send", folder], api_env)
    assert r.returncode == 1
    assert r.stderr == "Error: no files to send\n"
    assert service.requests == []


def test_not_logged_in(env, service, one_file):
    env = dict(env, QEL_API_URL=service.url)
    r = run_qel(["send", one_file, "--mode", "bogus"], env)
    assert r.returncode == 1
    assert r.stderr == 'Error: not logged in. Run "qel login" (or set QEL_API_KEY).\n'
    assert service.requests == []


@pytest.mark.parametrize("extra", [[], ["--quiet"], ["--json"]])
def test_progress_bar_on_a_terminal_is_erased_at_the_end(api_env, service, tmp_path, extra):
    import os
    import pty
    import subprocess

    if WINDOWS and not extra:
        pytest.skip("Windows build under Wine: its console re-renders what the program writes "
                    "on the terminal (cursor escapes of its own, carriage returns dropped)")
    f = tmp_path / "f.bin"
    f.write_bytes(os.urandom(3 * 1024 * 1024))
    master, slave = pty.openpty()
    try:
        p = run_qel_raw(["send", f, *extra], api_env, stdin=subprocess.DEVNULL,
                        stdout=subprocess.PIPE, stderr=slave, timeout=60)
        os.close(slave)
        slave = -1
        seen = b""
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:  # the terminal's other end is closed
                break
            if not data:
                break
            seen += data
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)
    assert p.returncode == 0
    text = seen.decode()
    if extra:
        assert text == "", "--quiet and --json keep the terminal free of summary and bar"
        return
    summary = "Sending 1 file (3.0 MB), end-to-end encrypted\r\n"
    assert text.startswith(summary), text
    bar = text[len(summary):]
    assert re.fullmatch(r"\r█{30} 3\.00 MiB/3\.00 MiB [0-9.]+ [KMG]?i?B/s ETA 0s\x1b\[K\r\x1b\[K", bar), bar
    assert p.stdout.decode().startswith("Transfer #1 ready.\n")


@contextmanager
def unwritable(kind: str):
    """A standard output that takes nothing: a full disk, or a pipe whose reader is gone."""
    if kind == "full":
        with open("/dev/full", "wb") as full:
            yield full
        return
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        yield write_end
    finally:
        os.close(write_end)


def send_into(kind, args, env) -> subprocess.CompletedProcess:
    with unwritable(kind) as out:
        return subprocess.run(**qel_call(["send", *args], env), stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.PIPE, text=True, timeout=60)


# The system's text differs between systems; the rest of the message does not.
LOST = r"Error: cannot write the link: .+ \(os error \d+\)\. "


@pytest.mark.parametrize("kind", ["full", "closed-pipe"])
@pytest.mark.parametrize("form", [["-q"], [], ["--json"]], ids=["quiet", "text", "json"])
def test_an_e2ee_link_that_cannot_be_written_fails_and_the_transfer_is_deleted(
        api_env, service, one_file, kind, form):
    # The link holds the only copy of the key: a transfer whose link is lost can never be
    # opened, so it goes.
    r = send_into(kind, [one_file, *form], api_env)
    assert r.returncode == 1
    summary = "Sending 1 file (5 B), end-to-end encrypted\n" if form == [] else ""
    assert r.stderr.startswith(summary)
    assert re.fullmatch(LOST + r"Transfer #1 was deleted: its key was only in the link\.\n",
                        r.stderr[len(summary):]), r.stderr
    assert len(service.find("POST", "/transfers/1/finalize")) == 1
    assert len(service.find("DELETE", "/transfers/1")) == 1
    assert 1 not in service.transfers


def test_a_link_without_a_key_that_cannot_be_written_fails_and_the_transfer_stays(
        api_env, service, one_file):
    # Without end-to-end encryption the transfer stays usable: its link is in the account.
    r = send_into("full", [one_file, "--no-encrypt", "-q"], api_env)
    assert r.returncode == 1
    assert re.fullmatch(LOST + r"Transfer #1 is active\.\n", r.stderr), r.stderr
    assert service.find("DELETE") == []
    assert service.transfers[1]["status"] == "active"


def test_a_link_whose_deletion_fails_too_says_so(api_env, service, one_file):
    service.on("DELETE", "/transfers/1", status=503, json={
        "error": {"code": "unavailable", "message": "Busy."}})
    r = send_into("full", [one_file, "-q"], api_env)
    assert r.returncode == 1
    assert re.fullmatch(LOST + r"Transfer #1 could not be deleted, though its key was only in "
                        r"the link: Busy\. \(unavailable, HTTP 503\)\n", r.stderr), r.stderr
