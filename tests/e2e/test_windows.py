"""What only the Windows build does, run under Wine: the Send To shortcut in the APPDATA that
the system sets, the start without a subcommand in a shared console and in a console of its
own, where the programs it starts are looked for, the user-interface language, and the whole
Send To road with a file that the test then decrypts."""

from __future__ import annotations

import os
import pty
import re
import subprocess
from urllib.parse import quote

import pytest

from conftest import (TerminalOutput, native, qel_program, run_qel, run_qel_raw, skip_on_linux,
                      start_qel, take_terminal)
from test_install import ABSENT, ADDED, POINTS, REMOVED, lnkinfo, shortcut_bytes
from test_send_upload import decrypt_stream, key_of

pytestmark = skip_on_linux("the Windows build's own behaviour")

GREETING = "Logged in as ana@example.com (Business plan)."
HINT = "To send files: right click on them -> Send to -> Dropvale."


def sendto(paths, env, **run_args) -> tuple[subprocess.CompletedProcess, str, str]:
    """Runs the Send To road with files to its end (standard input at its end); gives the
    result, standard error as text and the link it printed."""
    r = run_qel_raw(["sendto", *paths], env, input=b"", capture_output=True, timeout=90,
                    **run_args)
    err = r.stderr.decode()
    links = re.findall(r"^http://127\.0\.0\.1:\d+/t/\d+#key=\S+$", err, re.MULTILINE)
    return r, err, links[0] if links else ""


# ---- the Send To shortcut ----------------------------------------------------------------


def test_install_twice_and_uninstall_twice_in_the_appdata_the_system_sets(env, roaming):
    # APPDATA as Wine sets it, from the registry: the test's roaming folder.
    link = roaming / "Microsoft" / "Windows" / "SendTo" / "Dropvale.lnk"
    program, folder = native(qel_program(env)), native(qel_program(env).parent)
    assert program.startswith("Z:\\") and program.endswith("\\qel.exe")
    for _ in range(2):
        r = run_qel(["install"], env)
        assert (r.returncode, r.stdout, r.stderr) == (0, ADDED.format(native(link)) + POINTS, "")
        assert link.read_bytes() == shortcut_bytes(program, folder)
    fields = lnkinfo(link)
    assert (fields["Local path"], fields["Working directory"],
            fields["Command line arguments"]) == (program, folder, "sendto")

    for expected in (REMOVED, ABSENT):
        r = run_qel(["uninstall"], env)
        assert (r.returncode, r.stdout, r.stderr) == (0, expected, "")
    assert not link.exists() and link.parent.is_dir()


# ---- the start without a subcommand --------------------------------------------------------


@pytest.mark.parametrize("args", [[], ["--json"]])
def test_started_through_pipes_without_a_subcommand_prints_the_help(api_env, service, args):
    # With pipes for its streams GetConsoleProcessList finds no console of its own: a shared
    # console, as when a shell starts it.
    r = run_qel(args, api_env)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("Send files with Dropvale from the command line")
    assert "Usage: qel [OPTIONS] [SUBCOMMAND]" in r.stdout
    assert service.requests == []  # the Send To flow did not run


def terminal_text(raw: bytes) -> str:
    """What a terminal shows, without the escapes Wine's console adds (cursor moves, cursor
    visibility, the window title) and without carriage returns."""
    text = raw.decode("utf-8", "replace")
    text = re.sub(r"\x1b\][^\x07\x1b]*\x07?", "", text)
    text = re.sub(r"\x1b\[[0-9;?]*[ -/]*[@-~]", "", text)
    return text.replace("\r", "")


def test_started_alone_in_a_console_runs_the_send_to_flow(api_env, service):
    # In a terminal of its own Wine gives the program a console to which it alone is attached
    # (GetConsoleProcessList reports 1), as after a double-click on qel.exe.
    master, slave = pty.openpty()
    terminal = TerminalOutput(master)
    try:
        proc = start_qel([], api_env, stdin=slave, stdout=slave, stderr=slave,
                         preexec_fn=take_terminal)
        os.close(slave)
        # Enter, once the prompt is shown and the console reads the keyboard (echo off).
        terminal.read_until(lambda: "Press Enter to close." in terminal_text(terminal.seen)
                            and not terminal.echoes(), timeout=60)
        os.write(master, b"\r")
        terminal.read_until(lambda: False, timeout=60)  # until the program closes the terminal
        proc.wait(timeout=30)
    finally:
        os.close(master)
    assert proc.returncode == 0
    assert terminal_text(terminal.seen).startswith(
        f"{GREETING}\n\n{HINT}\n\nPress Enter to close.")
    assert len(service.find("GET", "/me")) == 1


# ---- the programs qel starts ---------------------------------------------------------------


def test_helpers_beside_qel_exe_win_and_the_current_folder_is_never_searched(
        api_env, service, stand_ins, programs, tmp_path):
    here = tmp_path / "current"
    here.mkdir()
    for name in ("clip", "rundll32"):
        stand_ins.place(name, folder=here)  # never started
        stand_ins.place(name)  # beside qel.exe: looked at first
    f = here / "report.txt"
    f.write_bytes(b"report")

    r, err, link = sendto([f], api_env, cwd=here)

    assert r.returncode == 0, err
    assert "The link was copied to the clipboard.\nOpening a new email with the link...\n" in err
    clips = stand_ins.runs("clip")
    assert [(c.program, c.args, c.input) for c in clips] == [
        (native(programs / "clip.exe"), [], link)]
    (mail,) = stand_ins.wait_for_runs("rundll32")
    assert mail.program == native(programs / "rundll32.exe")
    # The handler's entry and the mail link, each one argument.
    assert mail.args[0] == "url.dll,FileProtocolHandler"
    assert len(mail.args) == 2 and mail.args[1].startswith("mailto:?subject=Files%20sent")
    assert quote(link, safe="") in mail.args[1]


def test_path_is_searched_after_the_system_folder(api_env, service, stand_ins, tmp_path):
    on_path = tmp_path / "on-path"
    on_path.mkdir()
    stand_ins.place("clip", folder=on_path)  # Wine's system folder has no clip.exe
    stand_ins.place("rundll32", folder=on_path)  # a rundll32.exe beside qel.exe comes first
    env = dict(api_env, WINEPATH=native(on_path))  # put before the PATH that Wine sets
    f = tmp_path / "a.txt"
    f.write_bytes(b"a")

    r, err, link = sendto([f], env)

    assert r.returncode == 0, err
    assert [(c.program, c.input) for c in stand_ins.runs("clip")] == [
        (native(on_path / "clip.exe"), link)]
    # The one beside qel.exe cannot start, so no mail program opened (and the whole countdown
    # has passed since, time for a started stand-in to leave its record).
    assert "Opening a new email" not in err
    assert stand_ins.runs("rundll32") == []


# ---- the whole Send To road ----------------------------------------------------------------


def test_send_to_in_romanian_by_the_system_language_and_the_file_decrypts(
        api_env, service, stand_ins, tmp_path):
    for name in ("clip", "rundll32"):
        stand_ins.place(name)
    data = os.urandom(9 * 1024 * 1024)  # two chunks
    # An ASCII name: without the Romanian locale installed, Wine reads arguments as ASCII.
    f = tmp_path / "sedinta.bin"
    f.write_bytes(data)
    # QEL_LANG unset: the user-interface language decides, Romanian (0x0418) under this locale.
    env = dict(api_env, LC_ALL="ro_RO.UTF-8")

    r, err, link = sendto([f], env)

    assert r.returncode == 0, err
    assert err.startswith("Trimit 1 fi\u0219ier (9.0 MB), criptat end-to-end\n")
    assert err.endswith(
        "\nGata. Transferul #1 este activ.\n" + link + "\n"
        "Linkul a fost copiat \u00een clipboard.\n"
        "Se deschide un mail nou cu linkul...\n\n"
        + "".join(f"\rFereastra se \u00eenchide \u00een {n} s. " for n in range(5, 0, -1)) + "\n")
    (mail,) = stand_ins.wait_for_runs("rundll32")
    assert mail.args[1].startswith(
        "mailto:?subject=" + quote("Fi\u0219iere trimise prin Dropvale", safe="") + "&body=")

    (created,) = service.find("POST", "/transfers")
    assert b'"name":"sedinta.bin"' in created.body
    assert decrypt_stream(service.stored_file(1, 0), key_of(link)) == data
