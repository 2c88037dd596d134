"""Interrupting an upload: the half-made transfer is deleted, the program says so and ends
with 130; a second interrupt ends it at once; an interrupt outside the upload ends the
program as it always did."""

from __future__ import annotations

import os
import pty
import signal
import subprocess
import time

import pytest

from conftest import WINDOWS, TerminalOutput, qel_call, take_terminal

CHUNK = 8 * 1024 * 1024
CHUNK_PATH = r"/transfers/\d+/files/\d+/chunks/\d+"
TRANSFER_PATH = r"/transfers/\d+"
FINALIZE_PATH = r"/transfers/\d+/finalize"
CANCELLED = "Upload cancelled; the transfer was deleted.\n"

# Under Wine a SIGINT reaches the program as a console Ctrl-C, as on Windows.


def wait_for(condition, timeout: float = 30) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def default_interrupts() -> None:
    # As from a terminal: a test runner started in the background may pass them on ignored.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


def start(args, env) -> subprocess.Popen:
    return subprocess.Popen(**qel_call(args, env), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            encoding="utf-8", errors="surrogateescape",
                            preexec_fn=default_interrupts)


def interrupted_upload(service, args, env, *signals, between=None):
    """Starts the upload, sends the signals once the first chunk has arrived (calling
    `between` before each further one), and returns the ended process and its output."""
    proc = start(args, env)
    try:
        assert wait_for(lambda: service.find("PUT")), "no chunk request arrived"
        for i, sig in enumerate(signals):
            if i > 0 and between is not None:
                between()
            proc.send_signal(sig)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    return proc, out, err


@pytest.fixture
def three_chunks(tmp_path):
    path = tmp_path / "big.bin"
    path.write_bytes(os.urandom(2 * CHUNK + 5))
    return path


@pytest.fixture
def held_chunks(service):
    """The stand-in holds every chunk, so the upload is surely under way when interrupted."""
    service.on("PUT", CHUNK_PATH, delay=60, times=None, json={"received": 1})


@pytest.mark.parametrize("command", ["send", "sendto"])
def test_an_interrupt_deletes_the_transfer_and_ends_with_130(api_env, service, three_chunks,
                                                             held_chunks, command):
    proc, out, err = interrupted_upload(service, [command, three_chunks], api_env,
                                        signal.SIGINT)
    assert proc.returncode == 130, err
    assert out == ""
    assert err.endswith(CANCELLED), err
    assert len(service.find("POST", "/transfers")) == 1
    assert len(service.find("DELETE", TRANSFER_PATH)) == 1
    assert not service.transfers, "the transfer is gone from the service"
    assert not service.find("POST", FINALIZE_PATH)


@pytest.mark.skipif(WINDOWS, reason="Windows has no SIGTERM; Wine ends the program itself")
def test_sigterm_cancels_the_upload_the_same_way(api_env, service, three_chunks, held_chunks):
    proc, _, err = interrupted_upload(service, ["send", three_chunks], api_env, signal.SIGTERM)
    assert (proc.returncode, err.splitlines()[-1:]) == (130, [CANCELLED.strip()])
    assert len(service.find("DELETE", TRANSFER_PATH)) == 1
    assert not service.find("POST", FINALIZE_PATH)


def test_a_failed_deletion_is_reported_and_not_repeated(api_env, service, three_chunks,
                                                        held_chunks):
    service.on("DELETE", TRANSFER_PATH, status=503,
               json={"error": {"code": "unavailable", "message": "Try later."}})
    proc, _, err = interrupted_upload(service, ["send", three_chunks], api_env, signal.SIGINT)
    (transfer,) = service.transfers.values()
    assert proc.returncode == 130
    assert err.endswith(f"Upload cancelled, but transfer #{transfer['id']} could not be "
                        "deleted: Try later. (unavailable, HTTP 503)\n"), err
    assert len(service.find("DELETE", TRANSFER_PATH)) == 1
    assert not service.find("POST", FINALIZE_PATH)


def test_a_second_interrupt_ends_the_program_at_once(api_env, service, three_chunks,
                                                     held_chunks):
    # The stand-in holds the deletion too: the program is still waiting for it when the
    # second interrupt comes, and ends there without another word.
    service.on("DELETE", TRANSFER_PATH, delay=60, json={"deleted": True})
    proc, _, err = interrupted_upload(
        service, ["send", three_chunks], api_env, signal.SIGINT, signal.SIGINT,
        between=lambda: wait_for(lambda: service.find("DELETE")))
    assert proc.returncode == 130
    assert len(service.find("DELETE", TRANSFER_PATH)) == 1
    assert "Upload cancelled" not in err
    assert not service.find("POST", FINALIZE_PATH)


@pytest.mark.skipif(WINDOWS, reason="Wine's console keeps the terminal in raw mode and "
                    "echoes by itself, so the terminal's echo setting shows nothing")
def test_an_interrupt_at_the_password_prompt_ends_the_program_as_before(api_env, service,
                                                                        tmp_path):
    # Before the upload starts, an interrupt ends the program by the signal itself, with the
    # terminal's echo restored, and nothing reaches the service.
    (tmp_path / "a.txt").write_text("a")
    master, slave = pty.openpty()

    terminal = TerminalOutput(master)

    def take_terminal_with_default_interrupts():
        default_interrupts()
        take_terminal()

    try:
        proc = subprocess.Popen(**qel_call(["send", "--ask-password", tmp_path / "a.txt"], api_env),
                                stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=take_terminal_with_default_interrupts)
        os.close(slave)
        terminal.read_until(lambda: b"Password for the transfer: " in terminal.seen
                            and not terminal.echoes())
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=60)
        echo_restored = terminal.echoes()
    finally:
        os.close(master)
    assert proc.returncode == -signal.SIGINT
    assert echo_restored
    assert not service.find("POST", "/transfers")
