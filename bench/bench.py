"""Measures qel send against a local nginx sink, with curl and openssl speed beside it.

For each configuration: wall time, throughput, user+sys CPU seconds per GiB and peak RSS,
each the median of --runs runs, as /usr/bin/time -v reports them. The runs of all
configurations take turns, so a change in the machine's load falls on all of them alike.

The CPU floor of an end-to-end-encrypted upload at N workers is what its parts cost on
their own, measured in the same run: AES-256-GCM and SHA-256 over 8 MiB blocks (openssl
speed) plus the CPU that curl -Z spends to send the same bytes at the same parallelism.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

GIB = 1 << 30
MIB = 1 << 20
CHUNK = 8 * MIB

NGINX_CONF = """
worker_processes 8;
daemon off;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {tmp}/body;
  proxy_temp_path {tmp}/proxy;
  fastcgi_temp_path {tmp}/fastcgi;
  uwsgi_temp_path {tmp}/uwsgi;
  scgi_temp_path {tmp}/scgi;
  client_max_body_size 64m;
  keepalive_requests 100000;
  server {{
    listen 127.0.0.1:{port};
    default_type application/json;
    location = /api/v1/transfers {{ return 201 '{{"id":1,"status":"pending"}}'; }}
    location ~ ^/api/v1/transfers/1/files/ {{ return 200 '{{"received":true}}'; }}
    location = /api/v1/transfers/1/finalize {{
      return 200 '{{"id":1,"status":"active","url":"http://127.0.0.1:{port}/t/1","expires_at":"2030-01-01T00:00:00Z"}}';
    }}
    location / {{ return 404 '{{"error":{{"code":"not_found","message":"no"}}}}'; }}
  }}
}}
"""


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def timed(cmd: list[str], env: dict | None = None) -> dict:
    """Runs cmd under /usr/bin/time -v; returns wall, cpu and rss."""
    proc = subprocess.run(["/usr/bin/time", "-v"] + cmd, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"command failed ({proc.returncode}): {' '.join(cmd)}\n{proc.stderr[-2000:]}")
    out = proc.stderr

    def field(name: str) -> str:
        m = re.search(rf"{re.escape(name)}: (.+)", out)
        return m.group(1).strip() if m else "0"

    wall = field("Elapsed (wall clock) time (h:mm:ss or m:ss)")
    parts = [float(p) for p in wall.split(":")]
    seconds = 0.0
    for p in parts:
        seconds = seconds * 60 + p
    return {
        "wall": seconds,
        "cpu": float(field("User time (seconds)")) + float(field("System time (seconds)")),
        "rss": int(field("Maximum resident set size (kbytes)")) * 1024,
    }


def medians_in_turns(runs: int, configs: list[tuple[list[str], dict | None]]) -> list[dict]:
    """Runs each configuration `runs` times, one round of all at a time; the medians."""
    samples: list[list[dict]] = [[] for _ in configs]
    for _ in range(runs):
        for i, (cmd, env) in enumerate(configs):
            samples[i].append(timed(cmd, env))
    return [{k: statistics.median(s[k] for s in runs_of) for k in runs_of[0]}
            for runs_of in samples]


def openssl_seconds_per_gib(args: list[str], processes: int = 1) -> float:
    """CPU seconds per GiB of an openssl speed algorithm over 8 MiB blocks.

    One process: openssl speed's own figure. Several at once (-multi): the bytes that all
    of them processed over the CPU time that they used, as /usr/bin/time counts it; that is
    what a GiB costs a processor while the others are busy too."""
    multi = ["-multi", str(processes)] if processes > 1 else []
    proc = subprocess.run(["/usr/bin/time", "-f", "%U %S", "openssl", "speed"] + multi +
                          ["-bytes", str(CHUNK), "-seconds", "2"] + args,
                          capture_output=True, text=True, check=True)
    if processes == 1:
        line = [l for l in proc.stdout.splitlines() if l.strip()][-1]
        kbytes_per_s = float(line.split()[-1].rstrip("k"))  # openssl reports 1000-byte units
        return GIB / (kbytes_per_s * 1000)
    # Each process reports its count of blocks on standard error.
    blocks = sum(int(m) for m in re.findall(r"^\+R:(\d+):", proc.stderr, re.M))
    user, system = (float(x) for x in proc.stderr.strip().splitlines()[-1].split())
    return (user + system) / (blocks * CHUNK / GIB)


def load() -> str:
    return " ".join(f"{x:.1f}" for x in os.getloadavg())


def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / GIB
    return f"{os.cpu_count()} cores, {cpu}, {mem:.0f} GiB RAM, {os.uname().sysname} {os.uname().release}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--qel", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--workers", default="1,4,8")
    args = ap.parse_args()
    workers = [int(w) for w in args.workers.split(",")]
    qel = str(Path(args.qel).resolve())
    size = args.size_mib * MIB
    gib = size / GIB

    tmp = Path(tempfile.mkdtemp(prefix="qel-bench-"))
    nginx = None
    try:
        port = free_port()
        (tmp / "nginx.conf").write_text(NGINX_CONF.format(tmp=tmp, port=port))
        nginx = subprocess.Popen(["nginx", "-c", str(tmp / "nginx.conf")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)

        data = tmp / "data.bin"
        with open(data, "wb") as f:
            left = size
            while left:
                n = min(left, 64 * MIB)
                f.write(os.urandom(n))
                left -= n
        chunks = tmp / "chunks"
        chunks.mkdir()
        subprocess.run(["split", "-b", str(CHUNK), "-d", "-a", "4", str(data), str(chunks / "c")],
                       check=True)
        chunk_files = sorted(chunks.iterdir())

        env = dict(os.environ, HOME=str(tmp), QEL_API_KEY="bench",
                   QEL_API_URL=f"http://127.0.0.1:{port}/api/v1")
        for k in list(env):
            if k.lower().endswith("_proxy"):
                del env[k]

        load_before = load()
        configs = []  # (name, workers, command, environment)
        for mode, flags in (("e2ee", []), ("plain", ["--no-encrypt"])):
            for n in workers:
                cmd = [qel, "send", "--quiet", "--parallel", str(n)] + flags + [str(data)]
                configs.append((f"qel send {mode}", n, cmd, env))
        for n in workers:
            cfg = tmp / f"curl-{n}.cfg"
            with open(cfg, "w") as f:
                for i, c in enumerate(chunk_files):
                    f.write(f'upload-file = "{c}"\n')
                    f.write(f'url = "http://127.0.0.1:{port}/api/v1/transfers/1/files/0/chunks/{i}"\n')
                    f.write('output = "/dev/null"\n')
            cmd = ["curl", "-s", "-S", "-Z", "--parallel-max", str(n), "-H", "Expect:", "-K", str(cfg)]
            configs.append(("curl -Z (same chunks)", n, cmd, None))
        # Warm the page cache and the sink once before anything is counted.
        for _, _, cmd, e in configs:
            timed(cmd, e)
        medians = medians_in_turns(args.runs, [(cmd, e) for _, _, cmd, e in configs])
        rows = [(name, n, m) for (name, n, _, _), m in zip(configs, medians)]

        def crypto_cost(processes: int) -> tuple[float, float]:
            return tuple(statistics.median(openssl_seconds_per_gib(["-evp", alg], processes)
                                           for _ in range(args.runs))
                         for alg in ("aes-256-gcm", "sha256"))

        aes, sha = crypto_cost(1)
        busy = {n: crypto_cost(n) if n > 1 else (aes, sha) for n in workers}
        load_after = load()

        print(f"Machine: {machine()}")
        print(f"Data: {args.size_mib} MiB of random bytes, {len(chunk_files)} chunks of 8 MiB; "
              f"median of {args.runs} runs; sink: nginx on 127.0.0.1")
        print(f"Load average (1, 5, 15 min): {load_before} before, {load_after} after")
        print()
        print("| command | workers | wall s | MiB/s | CPU s/GiB | peak RSS MiB |")
        print("|---|---:|---:|---:|---:|---:|")
        by = {}
        for name, n, m in rows:
            by[(name, n)] = m
            print(f"| {name} | {n} | {m['wall']:.2f} | {size / MIB / m['wall']:.0f} | "
                  f"{m['cpu'] / gib:.2f} | {m['rss'] / MIB:.1f} |")
        print()
        print(f"openssl speed, 8 MiB blocks: AES-256-GCM {aes:.3f} s/GiB, SHA-256 {sha:.3f} s/GiB")
        for n in workers:
            if n > 1:
                print(f"  the same with {n} processes at once: AES-256-GCM {busy[n][0]:.3f} s/GiB, "
                      f"SHA-256 {busy[n][1]:.3f} s/GiB each")
        print("floor = AES-256-GCM + SHA-256 (one process) + curl -Z CPU s/GiB at the same "
              "parallelism")
        print("busy floor = the same with the AES-256-GCM and SHA-256 of N processes at once")
        print()
        print("| workers | e2ee MiB/s | e2ee CPU s/GiB | floor s/GiB | e2ee/floor | busy floor | "
              "e2ee/busy floor | e2ee/curl throughput | plain/curl throughput | "
              "e2ee peak RSS MiB | RSS bound MiB |")
        print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for n in workers:
            c = by[("curl -Z (same chunks)", n)]
            e = by[("qel send e2ee", n)]
            p = by[("qel send plain", n)]
            floor = aes + sha + c["cpu"] / gib
            busy_floor = sum(busy[n]) + c["cpu"] / gib
            cpu = e["cpu"] / gib
            print(f"| {n} | {size / MIB / e['wall']:.0f} | {cpu:.2f} | {floor:.2f} | "
                  f"{cpu / floor:.2f} | {busy_floor:.2f} | {cpu / busy_floor:.2f} | "
                  f"{c['wall'] / e['wall']:.2f} | "
                  f"{c['wall'] / p['wall']:.2f} | {e['rss'] / MIB:.1f} | {16 + n * 8.1:.1f} |")
    finally:
        if nginx:
            nginx.terminate()
            nginx.wait()
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
