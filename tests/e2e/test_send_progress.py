"""The progress bar of `qel send` in a terminal: redrawn in place on standard error, and kept
within the terminal's width, so that a narrow terminal shows no trail of old lines."""

from __future__ import annotations

import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import termios
import time

import pytest

from conftest import WINDOWS, qel_call

CHUNK = 8 * 1024 * 1024
CHUNK_PATH = r"/transfers/\d+/files/\d+/chunks/\d+"
CELLS = "\u2588\u2591"  # done, to do
ERASE = "\x1b[K"



def send_in_terminal(args, env, columns: int) -> tuple[int, str, str]:
    """Runs qel with standard error on a terminal of `columns` columns; returns the exit
    code, standard output and everything written to the terminal."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    seen = b""
    try:
        proc = subprocess.Popen(**qel_call(args, env), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if select.select([master], [], [], 0.05)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # the child has closed its end
                    break
                if not chunk:
                    break
                seen += chunk
            elif proc.poll() is not None:
                break
        out, _ = proc.communicate(timeout=60)
    finally:
        os.close(master)
    return proc.returncode, out.decode(), seen.decode("utf-8", "replace")


@pytest.fixture
def slow_upload(api_env, service, tmp_path):
    """A file of four chunks whose replies come slowly enough for the bar to be redrawn."""
    service.on("PUT", CHUNK_PATH, delay=0.1, times=None, json={"received": 1})
    path = tmp_path / "four.bin"
    path.write_bytes(os.urandom(3 * CHUNK + 1))
    return ["send", "--no-encrypt", "--parallel", "1", path]


@pytest.mark.skipif(WINDOWS, reason="Wine's console does not interpret the erase sequence: "
                    "it counts its characters as printed columns and wraps the line itself "
                    "(the console's width is tested by the unit tests)")
@pytest.mark.parametrize("columns", [40, 200])
def test_the_bar_stays_within_the_terminal_and_is_erased(api_env, slow_upload, columns):
    code, out, screen = send_in_terminal(slow_upload, api_env, columns)
    assert code == 0, screen
    assert out.startswith("Transfer #")
    rows = re.split(r"[\r\n]", screen.replace(ERASE, ""))
    bars = [p for p in rows if any(c in p for c in CELLS)]
    assert len(bars) >= 2, screen
    for row in rows:
        assert len(row) <= columns, f"{row!r} is wider than {columns} columns"
    for bar in bars:
        # One column stays free: a line that reaches the last one wraps on some terminals.
        assert len(bar) < columns, bar
    if columns >= 80:
        assert all(re.fullmatch(f"[{CELLS}]{{30}} .+/.+ .+/s ETA .+", b) for b in bars), bars
    # Each draw goes back to the start of its line and clears what is left of it, and the
    # last write erases the bar.
    draws = re.findall(f"\r[{CELLS}][^\r\n]*?" + re.escape(ERASE), screen)
    assert len(draws) == len(bars), screen
    assert screen.endswith("\r" + ERASE), repr(screen[-80:])
