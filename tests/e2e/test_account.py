"""The account and transfer commands: whoami, list, info and delete, as text and JSON."""

from __future__ import annotations

import json
import os
import pty
import select
import subprocess
import termios
import time

import pytest

from conftest import WINDOWS, qel_call, run_qel, start_qel, take_terminal

# The keys of a terminal: Enter sends a carriage return (a Linux terminal turns it into a line
# feed); the end of input is Ctrl+D on Linux, Ctrl+Z and Enter on a Windows console.
ENTER = b"\r"
END_OF_INPUT = b"\x1a\r" if WINDOWS else b"\x04"


def ok(result) -> str:
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def lines(result) -> list[str]:
    return ok(result).split("\n")[:-1]


def run_in_terminal(args, env, answer: bytes) -> subprocess.CompletedProcess:
    """Runs qel with a terminal as standard input and, once it has asked its question on
    standard error (or ended), types `answer` into it: "\n" stands for the Enter key and
    "\x04" for the end-of-input key of the build's terminal."""
    keys = answer.replace(b"\n", ENTER).replace(b"\x04", END_OF_INPUT)
    master, slave = pty.openpty()
    try:
        proc = start_qel(args, env, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         preexec_fn=take_terminal)
        os.close(slave)
        asked = b""
        deadline = time.monotonic() + 60
        while not asked and proc.poll() is None and time.monotonic() < deadline:
            if select.select([proc.stderr], [], [], 0.05)[0]:
                asked = os.read(proc.stderr.fileno(), 4096)
                if not asked:
                    break
        # A Windows console takes the terminal (its echo goes off) only when the program
        # starts reading, and drops what was typed before.
        while (WINDOWS and termios.tcgetattr(master)[3] & termios.ECHO and proc.poll() is None
               and time.monotonic() < deadline):
            time.sleep(0.01)
        os.write(master, keys)
        out, err = proc.communicate(timeout=60)
    finally:
        os.close(master)
    return subprocess.CompletedProcess(args, proc.returncode, out.decode(), (asked + err).decode())


# ---- whoami --------------------------------------------------------------------------


def test_whoami_shows_the_account(api_env):
    assert lines(run_qel(["whoami"], api_env)) == [
        "Ana Pop <ana@example.com>",
        "Plan:               Business",
        "Max transfer size:  10.0 GB",
        "Transfers / month:  3 used of 100",
        "Volume / month:     1.0 MB used of 100.0 GB",
        "Expiry:             30 days",
        "Options:            password, preview",
    ]


def test_whoami_falls_back_for_every_missing_member(api_env, service):
    service.on("GET", "/me", json={})
    assert lines(run_qel(["whoami"], api_env)) == [
        "- <->",
        "Plan:               -",
        "Max transfer size:  unlimited",
        "Transfers / month:  - used of unlimited",
        "Volume / month:     0 B used of unlimited",
        "Expiry:             never",
        "Options:            -",
    ]


def test_whoami_reads_only_exact_kinds(api_env, service):
    service.on("GET", "/me", json={
        "name": 7, "email": None,
        "read_only": 1,
        "plan": {"name": "Free", "read_only": True},
        "limits": {"max_transfer_size": 1024.0, "monthly_transfers": 10.5,
                   "monthly_volume": -1, "expiry_days": 1},
        "usage": {"transfers_this_month": "2", "volume_this_month": -5},
        # Table order, whatever the reply's order; only true counts.
        "features": {"preview": True, "max_downloads": True, "self_destroy": 1,
                     "custom_expiry": "true", "download_stats": True,
                     "scheduled_send": True, "password_protection": False},
    })
    assert lines(run_qel(["whoami"], api_env)) == [
        "7 <->",
        "Plan:               Free",
        "Max transfer size:  unlimited",
        "Transfers / month:  2 used of unlimited",
        "Volume / month:     0 B used of unlimited",
        "Expiry:             1 days",
        "Options:            scheduled send, download limit, preview, download stats",
    ]


def test_whoami_counts_only_plain_whole_numbers(api_env, service):
    service.on("GET", "/me", body=b'{"limits": {"monthly_transfers": -0, "expiry_days": 1e1},'
                                  b' "usage": {"volume_this_month": 2048.0}}')
    out = lines(run_qel(["whoami"], api_env))
    assert out[3] == "Transfers / month:  - used of unlimited"
    assert out[4] == "Volume / month:     0 B used of unlimited"
    assert out[5] == "Expiry:             never"


def test_whoami_marks_a_read_only_account(api_env, service):
    service.on("GET", "/me", json={"read_only": True, "plan": {"name": "Old"},
                                   "limits": {"monthly_transfers": -1}, "features": []})
    out = lines(run_qel(["whoami"], api_env))
    assert out[1] == "Plan:               Old (read-only)"
    assert out[3] == "Transfers / month:  - used of unlimited"
    assert out[6] == "Options:            -"


# ---- list ----------------------------------------------------------------------------


PAGE = {
    "data": [
        {"id": 12, "status": "active", "file_count": 3, "total_size": 1536,
         "download_count": 2, "expires_at": "2025-04-13T23:59:59Z", "title": "Holiday"},
        {"id": 123456789012, "status": "ședință", "file_count": 1, "total_size": 10,
         "download_count": 0, "expires_at": "2025-04-13"},
        {},
        {"id": "ab", "total_size": 1.5, "expires_at": 5, "title": "Ședință"},
    ],
    "total": 101,
}


def test_list_prints_a_table_and_the_page_line(api_env, service):
    service.on("GET", r"/transfers\?.*", json=PAGE)
    assert lines(run_qel(["list"], api_env)) == [
        "ID       STATUS   FILES       SIZE    DL  EXPIRES           TITLE",
        "12       active       3     1.5 KB     2  2025-04-13 23:59  Holiday",
        "123456789012 ședință      1       10 B     0  2025-04-13        ",
        "-        -            -        0 B     -  -                 ",
        "ab       -            -        0 B     -  -                 Ședință",
        "Page 1 of 3 (101 transfers)",
    ]
    (req,) = service.find("GET")
    assert req.path == "/transfers?status=all&page=1&per_page=50"


@pytest.mark.parametrize("args, total, page_line", [
    (["--per-page", "0"], 7, "Page 1 of 7 (7 transfers)"),
    (["--page", "9", "--per-page", "50"], 101, "Page 9 of 3 (101 transfers)"),
    ([], 0, "Page 1 of 1 (0 transfers)"),
    ([], None, "Page 1 of 1 (0 transfers)"),
    ([], "12", "Page 1 of 1 (0 transfers)"),
    (["--per-page", "10"], 100, "Page 1 of 10 (100 transfers)"),
    (["--per-page", "4294967295"], 18446744073709551615,
     "Page 1 of 4294967297 (18446744073709551615 transfers)"),
])
def test_list_page_count(api_env, service, args, total, page_line):
    reply = {"data": [{"id": 1}]}
    if total is not None:
        reply["total"] = total
    service.on("GET", r"/transfers\?.*", json=reply)
    assert lines(run_qel(["list", *args], api_env))[-1] == page_line


@pytest.mark.parametrize("kind", ["full", "closed-pipe"])
def test_list_ignores_output_that_cannot_be_written(api_env, service, kind):
    # Only the link of a new transfer is worth failing for; `qel list | head -1` stays quiet.
    service.add_transfer(title="a", status="active")
    if kind == "full":
        with open("/dev/full", "wb") as out:
            r = subprocess.run(**qel_call(["list"], api_env), stdin=subprocess.DEVNULL,
                               stdout=out, stderr=subprocess.PIPE)
    else:
        read_end, write_end = os.pipe()
        os.close(read_end)
        r = subprocess.run(**qel_call(["list"], api_env), stdin=subprocess.DEVNULL,
                           stdout=write_end, stderr=subprocess.PIPE)
        os.close(write_end)
    assert (r.returncode, r.stderr) == (0, b"")


def test_list_sends_its_values_unchanged(api_env, service):
    service.on("GET", r"/transfers\?.*", json={"data": []})
    run_qel(["list", "--status", "a b&c#d", "--page", "0", "--per-page", "0"], api_env)
    (req,) = service.find("GET")
    # The blank must be escaped to make a valid request line, and "#" so that it does not
    # cut off the rest of the query as a fragment; nothing else is touched.
    assert req.path == "/transfers?status=a%20b&c%23d&page=0&per_page=0"


@pytest.mark.parametrize("reply", [{"data": []}, {}, {"data": {"id": 1}}, [], {"data": None}])
def test_list_without_transfers(api_env, service, reply):
    service.on("GET", r"/transfers\?.*", json=reply)
    assert ok(run_qel(["list"], api_env)) == "No transfers.\n"


# ---- info ----------------------------------------------------------------------------


def full_transfer() -> dict:
    return {
        "id": 42, "title": "Report", "status": "active", "url": "https://x.example/t/42",
        "mode": "e2ee", "created_at": "2025-03-14T09:26:53Z",
        "expires_at": "2025-04-13T23:59:59Z", "download_count": 3, "max_downloads": 0,
        "recipient_email": "bob@example.com", "password_protected": True,
        "self_destroy": True,
        "files": [{"name": "a.txt", "size": 1280, "downloads": 2}, {"name": "b.bin"},
                  {"name": "big", "size": 10995116277760, "downloads": 1234}],
        "downloads": [{"at": f"2025-03-{d:02}T10:00:00Z", "ip": f"10.0.0.{d}"}
                      for d in range(25, 0, -1)],
    }


def test_info_shows_everything(api_env, service):
    service.on("GET", "/transfers/42", json=full_transfer())
    out = lines(run_qel(["info", "42"], api_env))
    assert out[:13] == [
        "Transfer #42 - Report",
        "Status:     active",
        "Link:       https://x.example/t/42  (end-to-end encrypted: the key is only in the "
        "link you got at upload)",
        "Created:    2025-03-14 09:26",
        "Expires:    2025-04-13 23:59",
        "Downloads:  3 of 0",
        "Recipient:  bob@example.com",
        "Options:    password, self-destroy",
        "Files:",
        "      1.2 KB    2 dl  a.txt",
        "         0 B    - dl  b.bin",
        "     10.0 TB  1234 dl  big",
        "Downloads (latest first):",
    ]
    # The first 20 in the reply's order.
    assert out[13:] == [f"  2025-03-{d:02} 10:00  10.0.0.{d}" for d in range(25, 5, -1)]


def test_info_falls_back_and_leaves_lines_out(api_env, service):
    service.on("GET", "/transfers/5", json={})
    assert lines(run_qel(["info", "5"], api_env)) == [
        "Transfer #- - (no title)",
        "Status:     -",
        "Link:       -",
        "Created:    -",
        "Expires:    -",
        "Downloads:  -",
        "Files:",
    ]


def test_info_reads_only_exact_kinds(api_env, service):
    service.on("GET", "/transfers/5", json={
        "id": 5, "title": "", "mode": "E2EE", "url": "u", "max_downloads": -1,
        "recipient_email": 3, "password_protected": "true", "self_destroy": True,
        "files": [], "downloads": [],
    })
    assert lines(run_qel(["info", "5"], api_env)) == [
        "Transfer #5 - ",
        "Status:     -",
        "Link:       u",
        "Created:    -",
        "Expires:    -",
        "Downloads:  -",
        "Options:    self-destroy",
        "Files:",
    ]


def test_info_of_an_unknown_transfer(api_env):
    result = run_qel(["info", "999"], api_env)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr == "Error: Transfer not found. (not_found, HTTP 404)\n"


def test_info_path_holds_the_id_in_decimal(api_env, service):
    service.on("GET", r"/transfers/\d+", json={})
    run_qel(["info", "18446744073709551615"], api_env)
    assert service.find("GET")[0].path == "/transfers/18446744073709551615"


# ---- delete --------------------------------------------------------------------------

QUESTION = "Delete transfer #7 and its files? [y/N] "


def test_delete_without_a_terminal_needs_yes(api_env, service):
    service.add_transfer(id=7)
    result = run_qel(["delete", "7"], api_env, input="yes\n")
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr == "Error: add --yes to delete without confirmation\n"
    assert service.find("DELETE") == []


def test_delete_with_yes_asks_nothing(api_env, service):
    service.add_transfer(id=7)
    assert ok(run_qel(["delete", "7", "--yes"], api_env)) == "Transfer #7 deleted.\n"
    (req,) = service.find("DELETE")
    assert req.path == "/transfers/7"


def test_delete_with_yes_and_json_prints_the_reply(api_env, service):
    service.add_transfer(id=7)
    assert ok(run_qel(["delete", "-y", "7", "--json"], api_env)) == (
        '{\n  "deleted": true,\n  "id": 7\n}\n')


@pytest.mark.parametrize("answer", [b"y\n", b"Y\n", b"yes\n", b"  yes \t\n", b"\xc2\xa0yes\n"])
def test_delete_confirmed_in_the_terminal(api_env, service, answer):
    service.add_transfer(id=7)
    result = run_in_terminal(["delete", "7"], api_env, answer)
    assert result.returncode == 0, result.stderr
    assert result.stderr == QUESTION
    assert result.stdout == "Transfer #7 deleted.\n"
    assert len(service.find("DELETE")) == 1


@pytest.mark.parametrize("answer", [b"YES\n", b"Yes\n", b"n\n", b"\n", b"yess\n", b"\x04",
                                    b"\xffy\n"])
def test_delete_declined_in_the_terminal(api_env, service, answer):
    service.add_transfer(id=7)
    result = run_in_terminal(["--json", "delete", "7"], api_env, answer)
    assert result.returncode == 0, result.stderr
    assert result.stderr == QUESTION
    assert result.stdout == "Cancelled.\n"
    assert service.find("DELETE") == []


def test_delete_failure_after_the_question(api_env, service):
    result = run_in_terminal(["delete", "7"], api_env, b"y\n")
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr == QUESTION + "Error: Transfer not found. (not_found, HTTP 404)\n"


def test_delete_without_a_key_asks_nothing(env, service):
    env["QEL_API_URL"] = service.url
    result = run_in_terminal(["delete", "7"], env, b"y\n")
    assert result.returncode == 1
    assert result.stderr == ('Error: not logged in. Run "qel login" (or set QEL_API_KEY).\n')
    assert service.find() == []


# ---- JSON ----------------------------------------------------------------------------


@pytest.mark.parametrize("args, method, path", [
    (["whoami"], "GET", "/me"),
    (["list"], "GET", r"/transfers\?.*"),
    (["info", "3"], "GET", "/transfers/3"),
])
def test_json_prints_the_reply_exactly(api_env, service, args, method, path):
    reply = {"z": [1, {"b": None, "a": "é\n"}], "a": {}, "m": [], "f": 1.5, "n": -2}
    service.on(method, path, json=reply)
    out = ok(run_qel([*args, "--json"], api_env))
    assert out == json.dumps(reply, indent=2, sort_keys=True, ensure_ascii=False) + "\n"
