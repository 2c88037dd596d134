"""Soak: many sends in one process against the stand-in service, then the figures.

Makes a few small folders and one holding a 17 MiB file (three 8 MiB chunks), starts the
stand-in on 127.0.0.1, and has the soak driver send them SENDS times in one process
(every 40th send is the one with the large file). Passes when every send gave its link,
every transfer is complete, the driver exited cleanly (LeakSanitizer reports a leak through
the exit status), the open descriptors after the last send are as many as after the first,
and the stand-in accepted fewer connections than it got requests (connections are reused
within a send).

    python3 soak.py [--sends N] DRIVER
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from fake_service import FakeService  # noqa: E402

MIB = 1024 * 1024
CHUNK = 8 * MIB
LARGE_EVERY = 40


def chunk_count(size: int) -> int:
    return max(1, -(-size // CHUNK))


def make_folders(base: Path) -> tuple[list[Path], Path]:
    small = []
    for k in range(4):
        folder = base / f"small-{k}"
        (folder / "sub" / "deeper").mkdir(parents=True)
        files = {"readme.txt": 300 + k, "empty.txt": 0, "sub/photo.jpg": 64 * 1024 + k,
                 "sub/deeper/notes.md": 5000 + k, f"extra-{k}.bin": 1024 * (k + 1)}
        for name, size in files.items():
            (folder / name).write_bytes(os.urandom(size))
        small.append(folder)
    large = base / "large"
    large.mkdir()
    (large / "video.bin").write_bytes(os.urandom(17 * MIB))
    (large / "info.txt").write_bytes(b"three chunks and one\n")
    return small, large


class CountingService(FakeService):
    """The stand-in, also counting the TCP connections it accepted."""

    def start(self, *args, **kwargs) -> "CountingService":
        super().start(*args, **kwargs)
        self.accepted = 0
        accept = self.server.get_request
        count_lock = threading.Lock()

        def counted():
            connection = accept()
            with count_lock:
                self.accepted += 1
            return connection

        self.server.get_request = counted
        return self


def main() -> int:
    parser = argparse.ArgumentParser(description="qel soak: many sends in one process")
    parser.add_argument("--sends", type=int, default=200)
    parser.add_argument("driver")
    args = parser.parse_args()
    if args.sends < 1:
        parser.error("--sends must be at least 1")

    with tempfile.TemporaryDirectory(prefix="qel-soak-") as tmp:
        base = Path(tmp)
        small, large = make_folders(base)
        plan = [large if i % LARGE_EVERY == 0 else small[i % len(small)]
                for i in range(args.sends)]
        home = base / "home"
        home.mkdir()
        report_file = base / "report.json"

        service = CountingService().start()
        try:
            env = {k: v for k, v in os.environ.items()
                   if not k.startswith(("QEL_", "XDG_")) and "proxy" not in k.lower()}
            env.update(HOME=str(home), QEL_API_URL=service.url, QEL_API_KEY="test-key")
            started = time.monotonic()
            run = subprocess.run([args.driver, str(report_file), *map(str, plan)], env=env,
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                 errors="replace", timeout=3600)
            elapsed = time.monotonic() - started
        finally:
            service.stop()

        report = json.loads(report_file.read_text()) if report_file.exists() else {}
        links = run.stdout.splitlines()
        requests = service.find()
        transfers = list(service.transfers.values())
        # Empty files are skipped with a warning; every other file is at least one chunk.
        chunks = {folder: sum(chunk_count(f.stat().st_size)
                              for f in folder.rglob("*") if f.is_file() and f.stat().st_size)
                  for folder in [*small, large]}
        expected_puts = sum(chunks[folder] for folder in plan)

        print(f"soak: {args.sends} sends ({plan.count(large)} with a 17 MiB file) "
              f"in {elapsed:.1f} s")
        print(f"soak: open descriptors after the first send {report.get('fds_after_first')}, "
              f"after the last {report.get('fds_after_last')} (lowest "
              f"{report.get('fds_lowest')}, highest {report.get('fds_highest')})")
        print(f"soak: {len(requests)} requests over {service.accepted} accepted connections "
              f"({service.connections()} client addresses)")

        problems = []
        if run.returncode != 0:
            problems.append(f"the driver exited with {run.returncode}:\n{run.stderr[-20000:]}")
        if len(links) != args.sends or not all("#key=" in link for link in links):
            problems.append(f"{len(links)} links printed for {args.sends} sends")
        if len(transfers) != args.sends or any(t["status"] != "active" for t in transfers):
            problems.append("not every transfer was created and finalised once")
        if len(service.find("PUT")) != expected_puts:
            problems.append(f"{len(service.find('PUT'))} chunks uploaded, {expected_puts} "
                            "expected")
        if report.get("failed") != 0 or report.get("sends") != args.sends:
            problems.append(f"driver report: {report}")
        elif report["fds_after_last"] != report["fds_after_first"]:
            problems.append("open descriptors grew between the first and the last send")
        # Each send's client creates the transfer and finalises it over the same connection.
        if service.accepted > len(requests) - args.sends:
            problems.append("connections are not reused within a send")

        for problem in problems:
            print(f"soak: FAILED: {problem}")
        print("soak: passed" if not problems else "soak: failed")
        return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
