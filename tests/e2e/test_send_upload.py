"""`qel send` against the stand-in service: what goes over the wire, the encrypted stream,
retries and failures of the upload."""

from __future__ import annotations

import base64
import hashlib
import json
import os
import re
import struct
import subprocess
import threading
import time

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from conftest import native, qel_call, run_qel, system_error

MiB = 1024 * 1024
CHUNK = 8 * MiB
LABEL = b"Dropvale e2ee v3 file key"
CHUNK_PATH = r"/transfers/\d+/files/\d+/chunks/\d+"


def key_of(link: str) -> bytes:
    m = re.fullmatch(r".*#key=([A-Za-z0-9_-]{43})", link)
    assert m, link
    return base64.urlsafe_b64decode(m.group(1) + "=")


def decrypt_stream(stream: bytes, transfer_key: bytes) -> bytes:
    """Opens an encrypted file stream as a download would, independently of qel."""
    assert stream[:4] == b"QEL3"
    salt = stream[4:20]
    file_key = HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=LABEL).derive(transfer_key)
    aead = AESGCM(file_key)
    records = []
    at = 20
    while at < len(stream):
        (length,) = struct.unpack(">I", stream[at:at + 4])
        records.append(stream[at + 4:at + 4 + length])
        at += 4 + length
    assert at == len(stream), "records end exactly at the end of the stream"
    plain = b""
    for index, record in enumerate(records):
        last = index == len(records) - 1
        aad = b"QEL3" + salt + struct.pack(">Q", index) + (b"\x01" if last else b"\x00")
        plain += aead.decrypt(record[:12], record[12:], aad)
    return plain


def create_body(service) -> dict:
    (create,) = service.find("POST", "/transfers")
    return json.loads(create.body)


def test_round_trip_decrypts_every_file_byte_for_byte(api_env, service, tmp_path):
    folder = tmp_path / "data"
    folder.mkdir()
    contents = {
        "a_one": os.urandom(1),
        "b_exact": os.urandom(CHUNK),
        "c_over": os.urandom(CHUNK + 1),
        "d_big": os.urandom(20 * MiB),
    }
    for name, data in contents.items():
        (folder / name).write_bytes(data)

    r = run_qel(["send", folder, "--quiet", "--parallel", "8"], api_env, timeout=120)
    assert r.returncode == 0, r.stderr
    link = r.stdout.rstrip("\n")
    assert r.stdout == link + "\n"
    transfer_key = key_of(link)

    body = create_body(service)
    assert body["mode"] == "e2ee"
    assert [(f["name"], f["size"], f["chunks"]) for f in body["files"]] == [
        ("data_a_one", 1, 1), ("data_b_exact", CHUNK, 1), ("data_c_over", CHUNK + 1, 2),
        ("data_d_big", 20 * MiB, 3)]
    (tid,) = list(service.transfers)
    for index, (name, data) in enumerate(contents.items()):
        stream = service.stored_file(tid, index)
        chunks = -(-len(data) // CHUNK)
        assert len(stream) == 20 + 32 * chunks + len(data)
        assert decrypt_stream(stream, transfer_key) == data, name

    # The key leaves the program only in the link.
    text_key = link.split("#key=")[1].encode()
    for req in service.requests:
        blob = req.path.encode() + b"".join(
            f"{n}:{v}".encode() for n, v in req.raw_headers) + req.body
        assert text_key not in blob and transfer_key not in blob, req.path
        if req.method == "PUT":
            assert req.headers["content-type"] == "application/octet-stream"
            assert req.headers["x-chunk-sha256"] == hashlib.sha256(req.body).hexdigest()
    assert len(service.find("POST", r"/transfers/\d+/finalize")) == 1


def test_records_are_bound_to_their_place(api_env, service, tmp_path):
    """Two chunks swapped, or the last one dropped, no longer open."""
    f = tmp_path / "two.bin"
    data = os.urandom(CHUNK + 10)
    f.write_bytes(data)
    r = run_qel(["send", f, "--quiet"], api_env, timeout=60)
    assert r.returncode == 0, r.stderr
    key = key_of(r.stdout.strip())
    (tid,) = list(service.transfers)
    first, second = service.chunks[(tid, 0, 0)], service.chunks[(tid, 0, 1)]
    assert decrypt_stream(first + second, key) == data
    from cryptography.exceptions import InvalidTag
    with pytest.raises(InvalidTag):
        decrypt_stream(first, key)  # cut off after a complete record


def test_create_body_is_exact_compact_json(api_env, service, tmp_path):
    f = tmp_path / "hello.txt"
    f.write_bytes(b"hello")
    r = run_qel(["send", f, "--no-encrypt", "--title", "T\u00e9", "--expires", "2030-05-01",
                 "--max-downloads", "0", "--quiet"], api_env)
    assert r.returncode == 0, r.stderr
    (create,) = service.find("POST", "/transfers")
    assert create.body == (
        '{"expires_at":"2030-05-01T23:59:59","files":[{"chunks":1,"name":"hello.txt","size":5}],'
        '"max_downloads":0,"mode":"preview_download","title":"T\u00e9"}').encode()
    assert r.stdout == service.transfers[1]["url"] + "\n", "no key in other modes"
    assert service.stored_file(1, 0) == b"hello", "other modes send the file's own bytes"


@pytest.mark.parametrize("status,code", [(503, None), (409, "checksum_mismatch"), (400, "invalid_chunk")])
def test_chunk_retries_send_the_same_body_and_digest(api_env, service, tmp_path, status, code):
    f = tmp_path / "f.bin"
    data = os.urandom(3000)
    f.write_bytes(data)
    reply = {"json": {"error": {"code": code, "message": "again"}}} if code else {}
    service.on("PUT", CHUNK_PATH, status=status, headers={"Retry-After": "0"}, times=2, **reply)
    r = run_qel(["send", f, "--quiet"], api_env)
    assert r.returncode == 0, r.stderr
    puts = service.find("PUT", CHUNK_PATH)
    assert len(puts) == 3
    assert len({p.body for p in puts}) == 1, "sealed once: one nonce for all attempts"
    assert len({p.headers["x-chunk-sha256"] for p in puts}) == 1
    assert decrypt_stream(service.stored_file(1, 0), key_of(r.stdout.strip())) == data


def test_a_chunk_left_unanswered_on_a_kept_alive_connection_counts_as_one_attempt(
        api_env, service, tmp_path):
    # The first PUT goes over the create's kept-alive connection, which closes without a
    # reply; every later attempt is refused. Six attempts in all, each sent once.
    f = tmp_path / "f.bin"
    f.write_bytes(os.urandom(3000))
    service.on("PUT", CHUNK_PATH, drop=True)
    service.on("PUT", CHUNK_PATH, status=503, headers={"Retry-After": "0"}, times=None)
    r = run_qel(["send", f, "--parallel", "1"], api_env)
    assert r.returncode == 1
    assert r.stderr.endswith("Error: f.bin: The server answered with HTTP 503. "
                             "(http_error, HTTP 503)\n"), r.stderr
    (create,) = service.find("POST", "/transfers")
    puts = service.find("PUT", CHUNK_PATH)
    assert puts[0].peer == create.peer, "the first attempt went over the kept-alive connection"
    assert len(puts) == 6
    assert len(service.find("DELETE", r"/transfers/1")) == 1


def peak_memory_mib(args, env) -> tuple[int, float]:
    """Runs qel to its end; its exit code and its peak resident memory."""
    proc = subprocess.Popen(**qel_call(args, env), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_maxrss / 1024


def test_large_chunk_replies_are_checked_without_being_built(api_env, service, tmp_path):
    # Every chunk is answered with 10 MiB of [{},{},...], well-formed JSON within the limit.
    # Built as trees, eight at a time, they took well over 2 GiB; only checked, the upload
    # stays a small fraction of the bound below.
    body = b"[" + b"{}," * ((10 * MiB - 4) // 3) + b"{}]"
    service.on("PUT", CHUNK_PATH, body=body, times=None)
    folder = tmp_path / "many"
    folder.mkdir()
    for i in range(16):
        (folder / f"f{i:02}").write_bytes(os.urandom(MiB))
    code, peak = peak_memory_mib(["send", folder, "--quiet", "--parallel", "8"], api_env)
    assert code == 0
    assert len(service.find("PUT", CHUNK_PATH)) == 16
    assert peak < 1024, f"peak resident memory {peak:.0f} MiB"


def test_large_refusals_are_read_without_being_built(api_env, service, tmp_path):
    # The same 10 MiB body as a refusal: only "error" with "code" and "message" is kept of
    # it. Eight chunks under way are refused together (the delay holds them in flight).
    body = b"[" + b"{}," * ((10 * MiB - 4) // 3) + b"{}]"
    service.on("PUT", CHUNK_PATH, status=422, body=body, delay=1.0, times=None)
    folder = tmp_path / "many"
    folder.mkdir()
    for i in range(8):
        (folder / f"f{i:02}").write_bytes(os.urandom(MiB))
    code, peak = peak_memory_mib(["send", folder, "--quiet", "--parallel", "8"], api_env)
    assert code == 1
    assert len(service.find("PUT", CHUNK_PATH)) == 8
    assert len(service.find("DELETE", r"/transfers/1")) == 1
    assert peak < 1024, f"peak resident memory {peak:.0f} MiB"


def test_refused_chunk_deletes_the_transfer_once(api_env, service, tmp_path):
    folder = tmp_path / "pics"
    folder.mkdir()
    for name in "abc":
        (folder / name).write_bytes(os.urandom(100))
    service.on("PUT", r"/transfers/\d+/files/1/chunks/0", status=413,
               json={"error": {"code": "too_large", "message": "File too large."}})
    r = run_qel(["send", folder, "--parallel", "1"], api_env)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.endswith("Error: pics_b: File too large. (too_large, HTTP 413)\n"), r.stderr
    assert len(service.find("DELETE", r"/transfers/1")) == 1
    assert service.find("POST", r"/transfers/\d+/finalize") == []
    assert [p.path for p in service.find("PUT")] == [
        "/transfers/1/files/0/chunks/0", "/transfers/1/files/1/chunks/0"], "no job after the failure"


def swap_for_pipe(f):
    os.unlink(f)
    os.mkfifo(f)


@pytest.mark.parametrize("change, failure", [
    (lambda f: os.truncate(f, 10), "failed to fill whole buffer (was the file changed during upload?)"),
    # A named pipe in its place must not leave the upload waiting for a writer.
    (swap_for_pipe, system_error("seek on a pipe")),
], ids=["cut-short", "replaced-by-pipe"])
def test_a_file_changed_during_the_upload_fails_the_upload(api_env, service, tmp_path,
                                                            change, failure):
    f = tmp_path / "shrinks.bin"
    f.write_bytes(os.urandom(CHUNK + 100))
    # The first chunk's reply is held back long enough to cut the file short meanwhile.
    service.on("PUT", r"/transfers/\d+/files/0/chunks/0", status=200, json={"ok": True}, delay=3)
    result = {}
    runner = threading.Thread(
        target=lambda: result.update(r=run_qel(["send", f, "--parallel", "1"], api_env)))
    runner.start()
    deadline = time.monotonic() + 60
    while not service.find("PUT") and time.monotonic() < deadline:
        time.sleep(0.01)
    change(f)
    runner.join()
    r = result["r"]
    assert r.returncode == 1
    assert r.stderr.endswith(f"Error: {native(f)}: {failure}\n"), r.stderr
    assert len(service.find("DELETE", r"/transfers/1")) == 1
    assert service.find("POST", r"/transfers/\d+/finalize") == []


def test_unreadable_file_fails_with_its_path(api_env, service, tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    f = tmp_path / "locked.txt"
    f.write_bytes(b"secret")
    f.chmod(0)
    r = run_qel(["send", f], api_env)
    assert r.returncode == 1
    assert r.stderr.endswith(f"Error: {f}: Permission denied (os error 13)\n"), r.stderr
    assert len(service.find("DELETE", r"/transfers/1")) == 1


def test_create_without_a_reply_is_not_repeated(api_env, service, tmp_path):
    f = tmp_path / "f.txt"
    f.write_bytes(b"x")
    service.on("POST", "/transfers", drop=True, times=None)
    r = run_qel(["send", f], api_env)
    assert r.returncode == 1
    assert "Error: Network error: " in r.stderr
    assert len(service.find("POST", "/transfers")) == 1
    assert service.find("PUT") == []


def test_refused_create_is_retried_then_reported(api_env, service, tmp_path):
    f = tmp_path / "f.txt"
    f.write_bytes(b"x")
    service.on("POST", "/transfers", status=503, headers={"Retry-After": "0"}, times=None)
    r = run_qel(["send", f], api_env)
    assert r.returncode == 1
    assert r.stderr.endswith("Error: The server answered with HTTP 503. (http_error, HTTP 503)\n")
    assert len(service.find("POST", "/transfers")) == 6


def test_unusable_transfer_id(api_env, service, tmp_path):
    f = tmp_path / "f.txt"
    f.write_bytes(b"x")
    service.on("POST", "/transfers", status=201, json={"id": "7"})
    r = run_qel(["send", f], api_env)
    assert r.returncode == 1
    assert r.stderr.endswith("Error: unexpected response from the server\n")
    assert [q.method for q in service.requests] == ["POST"]


def test_finalise_dropped_then_answered(api_env, service, tmp_path):
    f = tmp_path / "f.txt"
    f.write_bytes(b"x")
    service.on("POST", r"/transfers/\d+/finalize", drop=True, times=1)
    r = run_qel(["send", f, "--quiet"], api_env, timeout=60)
    assert r.returncode == 0, r.stderr
    assert len(service.find("POST", r"/transfers/\d+/finalize")) == 2


def test_transfer_not_pending_reads_the_transfer(api_env, service, tmp_path):
    f = tmp_path / "f.txt"
    f.write_bytes(b"x")
    service.on("POST", r"/transfers/\d+/finalize", status=409,
               json={"error": {"code": "transfer_not_pending", "message": "Done already."}})
    service.on("GET", r"/transfers/1", json={"id": 1, "url": "https://dl.test/elsewhere"})
    r = run_qel(["send", f, "--quiet", "--no-encrypt"], api_env)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "https://dl.test/elsewhere\n"
    assert len(service.find("POST", r"/transfers/\d+/finalize")) == 1
    assert len(service.find("GET", r"/transfers/1")) == 1
    assert service.find("DELETE") == []
