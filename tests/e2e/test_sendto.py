"""The Send To flow: `qel sendto` with and without files, sign-in, errors, both languages.

Standard input is always at its end, so the closing wait for Enter returns at once. The
clipboard and mail programs are stand-ins that record how they were called, placed where
the build looks for them first."""

from __future__ import annotations

import json
import os
import pty
import subprocess
from pathlib import Path
from urllib.parse import quote

import pytest

from conftest import (CLIPBOARD_PROGRAMS, LINUX, URL_OPENER, URL_OPENER_ARGS, native, qel_call, run_qel,
                      run_qel_raw, skip_on_windows, start_qel, system_error)

GREETING_EN = "Logged in as ana@example.com (Business plan)."
GREETING_RO = "Conectat ca ana@example.com (plan Business)."
HINT_EN = "To send files: right click on them -> Send to -> Dropvale."
HINT_RO = "Pentru a trimite fișiere: click dreapta pe ele -> Trimite către -> Dropvale."
PROMPT_EN = "\nPress Enter to close."
PROMPT_RO = "\nApasă Enter pentru a închide."

@pytest.fixture
def flow_env(api_env: dict) -> dict:
    return api_env


def files(tmp_path: Path, **contents: bytes) -> list[Path]:
    folder = tmp_path / "files"
    folder.mkdir(exist_ok=True)
    out = []
    for name, data in contents.items():
        p = folder / name
        p.write_bytes(data)
        out.append(p)
    return out


def test_send_with_files_prints_link_copies_it_opens_mail_and_counts_down(
        flow_env, service, stand_ins, tmp_path):
    for name in CLIPBOARD_PROGRAMS + [URL_OPENER]:
        stand_ins.place(name)
    paths = files(tmp_path, a=b"abc", b=b"hello")

    # Bytes, not text: text mode would turn the countdown's carriage returns into newlines.
    r = run_qel_raw(["sendto", *paths], flow_env, input=b"", capture_output=True, timeout=60)

    assert r.returncode == 0, r.stderr
    assert r.stdout == b""
    err = r.stderr.decode()
    assert "\x1b]0;" not in err  # standard error is not a terminal
    assert err.startswith("Sending 2 files (8 B), end-to-end encrypted\n")
    done = err.index("\nDone. Transfer #1 is active.\n") + len("\nDone. Transfer #1 is active.\n")
    link, rest = err[done:].split("\n", 1)
    assert link.startswith(service.origin + "/t/1#key=")
    assert rest == (
        "The link was copied to the clipboard.\n"
        "Opening a new email with the link...\n"
        "\n"
        "\rThis window closes in 5 s. \rThis window closes in 4 s. \rThis window closes in 3 s. "
        "\rThis window closes in 2 s. \rThis window closes in 1 s. \n"
    )

    # The first clipboard program took the link, without a line end; the next was not tried.
    first, *others = CLIPBOARD_PROGRAMS
    assert [(run.args, run.input) for run in stand_ins.runs(first)] == [([], link)]
    for name in others:
        assert stand_ins.runs(name) == []

    # The mail link goes to the URL opener as one argument.
    (mail,) = stand_ins.wait_for_runs(URL_OPENER)
    assert mail.args[:-1] == URL_OPENER_ARGS
    url = mail.args[-1]
    # The stand-in's expiry (dated from today, e.g. 2025-04-13T23:59:59Z) as the mail
    # writes it: 13.04.2025.
    year, month, day = service.transfers[1]["expires_at"][:10].split("-")
    body = ("Hello,\r\n\r\nHere are the files, sent with Dropvale (2 files, 8 B):\r\n" + link
            + f"\r\n\r\nThe link is valid until {day}.{month}.{year}.\r\n")
    assert url == ("mailto:?subject=" + quote("Files sent with Dropvale", safe="")
                   + "&body=" + quote(body, safe=""))

    created = json.loads(service.find("POST", "/transfers")[0].body)
    assert created["mode"] == "e2ee"
    assert [f["name"] for f in created["files"]] == ["a", "b"]


def test_a_link_that_cannot_be_shown_fails_the_flow_and_deletes_the_transfer(
        flow_env, service, stand_ins, tmp_path):
    # The console is where the link is shown; when it cannot be written there, nobody has
    # the key, so the transfer is deleted and the link goes nowhere else either.
    for name in [*CLIPBOARD_PROGRAMS, URL_OPENER]:
        stand_ins.place(name)
    with open("/dev/full", "wb") as full:
        r = subprocess.run(**qel_call(["sendto", *files(tmp_path, a=b"abc")], flow_env),
                           input=b"", stdout=subprocess.PIPE, stderr=full, timeout=60)
    assert r.returncode == 1
    assert r.stdout == b""
    assert len(service.find("POST", "/transfers/1/finalize")) == 1
    assert len(service.find("DELETE", "/transfers/1")) == 1
    assert 1 not in service.transfers
    for name in [*CLIPBOARD_PROGRAMS, URL_OPENER]:
        assert stand_ins.runs(name) == []


def test_failing_clipboard_and_no_mail_program_only_leave_out_their_lines(
        flow_env, stand_ins, tmp_path):
    for name in CLIPBOARD_PROGRAMS:
        stand_ins.place(name, exit_code=1)  # every clipboard program fails
    stand_ins.place_broken(URL_OPENER)  # and the URL opener cannot be started
    r = run_qel_raw(["sendto", *files(tmp_path, a=b"abc")], flow_env, input=b"",
                    capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    err = r.stderr.decode()
    link = err.split("\nDone. Transfer #1 is active.\n", 1)[1].split("\n", 1)[0]
    # Straight from the link to the countdown, which still runs to its end.
    after = err.split(link + "\n", 1)[1]
    assert after.startswith("\n\rThis window closes in 5 s. ")
    assert after.endswith("\rThis window closes in 1 s. \n")
    assert [len(stand_ins.runs(n)) for n in CLIPBOARD_PROGRAMS] == [1] * len(CLIPBOARD_PROGRAMS)


def test_without_files_greets_and_explains(flow_env, service):
    r = run_qel(["sendto"], flow_env)
    assert r.returncode == 0
    assert r.stdout == ""
    assert r.stderr == f"{GREETING_EN}\n\n{HINT_EN}\n{PROMPT_EN}"
    assert len(service.find("GET", "/me")) == 1


# Without QEL_LANG the user-interface language decides: on Linux the locale variables in the
# order the C library reads them for messages; under Wine, which derives the Windows language
# from the locale, LC_ALL alone (LANG or LC_MESSAGES alone give English there).
@pytest.mark.parametrize("variables, romanian", [
    ({"QEL_LANG": "RO-ro"}, True),
    ({"QEL_LANG": "romana", "LANG": "en_US.UTF-8"}, True),
    ({"LC_ALL": "ro_RO.UTF-8"}, True),
    ({"LANG": "ro_RO.UTF-8"}, LINUX),
    ({"LC_ALL": "", "LC_MESSAGES": "RO", "LANG": "en_US.UTF-8"}, LINUX),
    ({"LC_ALL": "en_US.UTF-8", "LANG": "ro_RO.UTF-8"}, False),
    ({"QEL_LANG": "", "LANG": "ro_RO.UTF-8"}, False),
    ({"QEL_LANG": "", "LC_ALL": "ro_RO.UTF-8"}, False),
    ({"QEL_LANG": "en", "LC_ALL": "ro_RO.UTF-8"}, False),
    ({"QEL_LANG": "r"}, False),
    ({}, False),
], ids=lambda v: str(v) if isinstance(v, bool) else " ".join(f"{k}={x}" for k, x in v.items()))
def test_language_choice(flow_env, variables, romanian):
    env = dict(flow_env, **variables)
    r = run_qel(["sendto"], env)
    assert r.returncode == 0
    if romanian:
        assert r.stderr == f"{GREETING_RO}\n\n{HINT_RO}\n{PROMPT_RO}"
    else:
        assert r.stderr == f"{GREETING_EN}\n\n{HINT_EN}\n{PROMPT_EN}"


@skip_on_windows("Wine's console re-renders what the program writes on the terminal: it wraps "
                 "each write in its own cursor escapes and drops the bell ending the title")
def test_window_title_when_stderr_is_a_terminal(flow_env):
    master, slave = pty.openpty()
    p = start_qel(["sendto"], flow_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                  stderr=slave)
    os.close(slave)
    out = b""
    try:
        while True:  # read while it runs, until its side of the terminal is closed
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO once the program has closed the terminal
                break
            if not chunk:
                break
            out += chunk
    finally:
        os.close(master)
        p.wait(timeout=60)
    assert p.returncode == 0
    assert out.startswith(b"\x1b]0;Dropvale\x07" + GREETING_EN.encode())


def test_rejected_key_signs_in_saves_token_and_greets(flow_env, service, stand_ins, config_file):
    stand_ins.place(URL_OPENER)
    service.pending_polls = 0
    env = dict(flow_env, QEL_API_KEY="expired-key")

    r = run_qel(["sendto"], env)

    assert r.returncode == 0, r.stderr
    assert r.stderr.startswith("You are not connected to Dropvale.\n")
    assert "WXYZ-1234" in r.stderr
    # Once after the sign-in, once for the start without files.
    assert r.stderr.endswith(f"{GREETING_EN}\n\n{GREETING_EN}\n\n{HINT_EN}\n{PROMPT_EN}")
    assert json.loads(config_file.read_text())["api_key"] == service.device_token
    me = service.find("GET", "/me")
    assert [m.headers["authorization"] for m in me] == [
        "Bearer expired-key", f"Bearer {service.device_token}"]
    (opened,) = stand_ins.wait_for_runs(URL_OPENER)
    assert opened.args == URL_OPENER_ARGS + [f"{service.origin}/device?code=WXYZ-1234"]


def test_sign_in_in_romanian_without_any_key(flow_env, service, stand_ins, config_file):
    stand_ins.place(URL_OPENER)
    service.pending_polls = 0
    env = dict(flow_env, QEL_LANG="ro")
    del env["QEL_API_KEY"]

    r = run_qel(["sendto"], env)

    assert r.returncode == 0, r.stderr
    assert r.stderr.startswith("Nu ești conectat la Dropvale.\n")
    assert ("\nDeschide în browser pagina:\n"
            f"  {service.origin}/device\n"
            "și confirmă codul:\n"
            "\n    WXYZ-1234\n\n"
            "(browserul s-a deschis automat)\n"
            "Aștept confirmarea...\n") in r.stderr
    assert r.stderr.endswith(f"{GREETING_RO}\n\n{GREETING_RO}\n\n{HINT_RO}\n{PROMPT_RO}")
    assert json.loads(config_file.read_text())["api_key"] == service.device_token


def test_sign_in_is_saved_before_a_failed_upload(flow_env, service, tmp_path, config_file):
    service.pending_polls = 0
    service.on("POST", "/transfers", status=404,
               json={"error": {"code": "plan_limit", "message": "Plan limit reached."}})
    env = dict(flow_env, QEL_API_KEY="expired-key")

    r = run_qel(["sendto", *files(tmp_path, a=b"abc")], env)

    assert r.returncode == 1
    assert r.stderr.endswith(
        "Sending 1 file (3 B), end-to-end encrypted\n"
        "\nError: Plan limit reached. (plan_limit, HTTP 404)\n" + PROMPT_EN)
    assert json.loads(config_file.read_text())["api_key"] == service.device_token


@pytest.mark.parametrize("lang, expected", [
    ("en", "Warning: skipped empty file: {empty}\n"
           "Sending 1 file (3 B), end-to-end encrypted\n"
           "\nError: Plan limit reached. (plan_limit, HTTP 404)\n" + PROMPT_EN),
    ("ro", "Atenție: skipped empty file: {empty}\n"
           "Trimit 1 fișier (3 B), criptat end-to-end\n"
           "\nEroare: Plan limit reached. (plan_limit, HTTP 404)\n" + PROMPT_RO),
], ids=["en", "ro"])
def test_failed_upload_shows_the_error_and_ends_with_1(flow_env, service, tmp_path, lang,
                                                       expected):
    service.on("POST", "/transfers", status=404,
               json={"error": {"code": "plan_limit", "message": "Plan limit reached."}})
    a, empty = files(tmp_path, a=b"abc", empty=b"")

    r = run_qel(["sendto", a, empty], dict(flow_env, QEL_LANG=lang))

    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == expected.format(empty=native(empty))


def test_a_create_left_unanswered_on_a_kept_alive_connection_is_made_once(flow_env, service,
                                                                        tmp_path):
    # /me is answered and its connection kept; the create goes over it and gets nothing
    # back. A second copy would be answered, and a second transfer would exist.
    service.on("POST", "/transfers", drop=True)

    r = run_qel(["sendto", *files(tmp_path, a=b"abc")], flow_env)

    assert r.returncode == 1
    (me,) = service.find("GET", "/me")
    (create,) = service.find("POST", "/transfers")
    assert create.peer == me.peer, "the create went over the kept-alive connection"
    assert r.stderr == ("Sending 1 file (3 B), end-to-end encrypted\n"
                        f"\nError: Network error: {service.url}/transfers: Network Error: "
                        "Empty reply from server\n" + PROMPT_EN)
    assert service.find("PUT") == []


def test_two_files_in_romanian_use_the_plural(flow_env, service, tmp_path):
    service.on("POST", "/transfers", status=404,
               json={"error": {"code": "plan_limit", "message": "Plan limit reached."}})
    r = run_qel(["sendto", *files(tmp_path, a=b"abc", b=b"de")], dict(flow_env, QEL_LANG="ro"))
    assert r.returncode == 1
    assert r.stderr.startswith("Trimit 2 fișiere (5 B), criptat end-to-end\n")


def test_other_failures_of_the_key_check_do_not_start_a_sign_in(flow_env, service, tmp_path):
    service.on("GET", "/me", status=403,
               json={"error": {"code": "forbidden", "message": "Account suspended."}})
    a, empty = files(tmp_path, a=b"abc", empty=b"")

    r = run_qel(["sendto", a, empty], flow_env)

    assert r.returncode == 1
    # The collection's warning is dropped: only the error is shown.
    assert r.stderr == "\nError: Account suspended. (forbidden, HTTP 403)\n" + PROMPT_EN
    assert service.find("POST", "/auth/device") == []


def test_unreachable_service_is_an_error_without_sign_in(env):
    env = dict(env, QEL_API_URL="http://127.0.0.1:1/api/v1", QEL_API_KEY="k")
    r = run_qel(["sendto"], env)
    assert r.returncode == 1
    assert r.stderr.startswith("\nError: Network error: ")
    assert r.stderr.endswith(PROMPT_EN)
    assert "not connected" not in r.stderr


def test_collection_failure_comes_before_any_request(flow_env, service, tmp_path):
    missing = tmp_path / "missing.txt"
    r = run_qel(["sendto", missing], flow_env)
    assert r.returncode == 1
    assert r.stderr == (f"\nError: {native(missing)}: {system_error('not found')}\n"
                        + PROMPT_EN)
    assert service.requests == []


def test_failed_save_after_sign_in_is_an_error(flow_env, service, config_file):
    service.pending_polls = 0
    config_file.parent.parent.mkdir(parents=True, exist_ok=True)
    config_file.parent.write_text("not a folder")
    r = run_qel(["sendto"], dict(flow_env, QEL_API_KEY="expired-key"))
    assert r.returncode == 1
    assert "\nError: cannot create " in r.stderr
    assert GREETING_EN not in r.stderr
    assert r.stderr.endswith(PROMPT_EN)

