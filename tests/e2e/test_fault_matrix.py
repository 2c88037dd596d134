"""Every stage of an upload against every fault the service or the network can show, as one
table. Each row states what the upload must do: succeed after its retries, or fail with the
exact text and exit code; how many requests reached the service for the stage; whether the
transfer was deleted. A transfer is only ever deleted after a worker failed, and never
finalised after a failure.

The upload is one file of three chunks sent by one worker, so the order of the requests, and
so the count of each stage's requests, is fixed."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field

import pytest

from conftest import WINDOWS, run_qel

MiB = 1024 * 1024
FILE_NAME = "big.bin"
FILE_SIZE = 16 * MiB + 1000  # three chunks: 8 MiB, 8 MiB, 1000 bytes
OVER_LIMIT = 10 * MiB + 1

# A qel run has at most five default waits of 2 s in one stage (but only one in this table)
# and otherwise retries at once; Wine starts a program more slowly.
TIMEOUT = 240 if WINDOWS else 120


@dataclass(frozen=True)
class Stage:
    method: str
    path: str  # the request path's pattern, after the API prefix

    def url(self, service) -> str:
        return service.url + self.path.replace(r"\d+", "1")


STAGES = {
    "create": Stage("POST", "/transfers"),
    "chunk-first": Stage("PUT", r"/transfers/\d+/files/0/chunks/0"),
    "chunk-middle": Stage("PUT", r"/transfers/\d+/files/0/chunks/1"),
    "chunk-last": Stage("PUT", r"/transfers/\d+/files/0/chunks/2"),
    "finalise": Stage("POST", r"/transfers/\d+/finalize"),
    "get-after-not-pending": Stage("GET", r"/transfers/\d+"),
    "delete-after-failure": Stage("DELETE", r"/transfers/\d+"),
}
# The stages an upload goes through when nothing fails, in order.
PATH = ["create", "chunk-first", "chunk-middle", "chunk-last", "finalise"]
CHUNKS = PATH[1:4]


@dataclass(frozen=True)
class Fault:
    reply: dict  # the stand-in's scripted reply (fake_service.Reply's fields)
    text: str  # the error text it makes, before a chunk's file name; "{url}" is the request's
    times: int | None = None  # how many requests it answers: None is every one


def error(code: str, message: str) -> dict:
    return {"error": {"code": code, "message": message}}


def cut_reply() -> bytes:
    """A reply whose body stops halfway, after which the connection closes."""
    return (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 64\r\n\r\n"
            b'{"id": 1, "url": ')


NOW = {"Retry-After": "0"}
FAULTS = {
    # The stand-in reads the request, then closes the connection without a byte of reply.
    "closed-before-reply": Fault(
        {"drop": True}, "Network error: {url}: Network Error: Empty reply from server", times=1),
    "closed-mid-reply": Fault(
        {"raw": cut_reply()},
        "Network error: {url}: Network Error: transfer closed with 47 bytes remaining to read",
        times=1),
    # Without Retry-After the one retry waits 2 s; with Retry-After 0 the refusal never ends,
    # so the retries run out.
    "500": Fault({"status": 500, "body": b"<h1>Oops</h1>"},
                 "The server answered with HTTP 500. (http_error, HTTP 500)", times=1),
    "500-retry-after-0": Fault({"status": 500, "headers": NOW},
                               "The server answered with HTTP 500. (http_error, HTTP 500)"),
    "503": Fault({"status": 503, "body": b"busy"},
                 "The server answered with HTTP 503. (http_error, HTTP 503)", times=1),
    "503-retry-after-0": Fault({"status": 503, "headers": NOW, "body": b"<html>busy</html>"},
                               "The server answered with HTTP 503. (http_error, HTTP 503)"),
    # Retry-After does not make a blocked address worth another attempt.
    "429-ip-blocked": Fault(
        {"status": 429, "headers": NOW, "json": error("ip_blocked", "Your address is blocked.")},
        "Your address is blocked. (ip_blocked, HTTP 429)"),
    "checksum-mismatch": Fault(
        {"status": 409, "headers": NOW, "json": error("checksum_mismatch", "Checksum differs.")},
        "Checksum differs. (checksum_mismatch, HTTP 409)"),
    "invalid-chunk-400": Fault(
        {"status": 400, "headers": NOW, "json": error("invalid_chunk", "Chunk refused.")},
        "Chunk refused. (invalid_chunk, HTTP 400)"),
    "200-empty": Fault(
        {"status": 200, "body": b""},
        "The server returned an unexpected response. (invalid_response, HTTP 200)"),
    "200-not-json": Fault(
        {"status": 200, "body": b"<html>OK</html>", "headers": {"Content-Type": "text/html"}},
        "The server returned an unexpected response. (invalid_response, HTTP 200)"),
    "200-over-10-mib": Fault(
        {"status": 200, "body": b" " * OVER_LIMIT},
        "Network error: {url}: Network Error: the reply body is larger than 10 MiB", times=1),
    # The upload's requests are not sent on to where a redirect points (a GET follows it).
    "redirect": Fault(
        {"status": 307, "headers": {"Location": "/api/v1/moved"}},
        "The server redirected the request to {origin}/api/v1/moved, which an upload does not "
        "follow. (http_error, HTTP 307)"),
}


@dataclass(frozen=True)
class Outcome:
    attempts: int  # requests of the stage that reached the service
    succeeds: bool


def ok(attempts: int) -> Outcome:
    return Outcome(attempts, True)


def fails(attempts: int) -> Outcome:
    return Outcome(attempts, False)


# A failure's text is the fault's (a chunk's behind the file name) with exit code 1. At the
# DELETE the upload fails with the chunk's own refusal whatever happens to the DELETE.
MATRIX = [
    # The create is not repeated without a reply: the transfer may exist already.
    ("create", "closed-before-reply", fails(1)),
    ("create", "closed-mid-reply", fails(1)),
    ("create", "500", ok(2)),
    ("create", "500-retry-after-0", fails(6)),
    ("create", "503", ok(2)),
    ("create", "503-retry-after-0", fails(6)),
    ("create", "429-ip-blocked", fails(1)),
    ("create", "checksum-mismatch", fails(6)),
    ("create", "invalid-chunk-400", fails(6)),
    ("create", "200-empty", fails(1)),
    ("create", "200-not-json", fails(1)),
    ("create", "200-over-10-mib", fails(1)),
    ("create", "redirect", fails(1)),
] + [
    # Chunks and the finalisation retry alike, a failure without a reply included.
    row
    for stage in CHUNKS + ["finalise"]
    for row in [
        (stage, "closed-before-reply", ok(2)),
        (stage, "closed-mid-reply", ok(2)),
        (stage, "500", ok(2)),
        (stage, "500-retry-after-0", fails(6)),
        (stage, "503", ok(2)),
        (stage, "503-retry-after-0", fails(6)),
        (stage, "429-ip-blocked", fails(1)),
        (stage, "checksum-mismatch", fails(6)),
        (stage, "invalid-chunk-400", fails(6)),
        (stage, "200-empty", fails(1)),
        (stage, "200-not-json", fails(1)),
        (stage, "200-over-10-mib", ok(2)),
        (stage, "redirect", fails(1)),
    ]
] + [
    # The GET that reads a transfer finalised already has one attempt.
    ("get-after-not-pending", "closed-before-reply", fails(1)),
    ("get-after-not-pending", "closed-mid-reply", fails(1)),
    ("get-after-not-pending", "500", fails(1)),
    ("get-after-not-pending", "500-retry-after-0", fails(1)),
    ("get-after-not-pending", "503", fails(1)),
    ("get-after-not-pending", "503-retry-after-0", fails(1)),
    ("get-after-not-pending", "429-ip-blocked", fails(1)),
    ("get-after-not-pending", "checksum-mismatch", fails(1)),
    ("get-after-not-pending", "invalid-chunk-400", fails(1)),
    ("get-after-not-pending", "200-empty", fails(1)),
    ("get-after-not-pending", "200-not-json", fails(1)),
    ("get-after-not-pending", "200-over-10-mib", fails(1)),
    ("get-after-not-pending", "redirect", ok(1)),
] + [
    ("delete-after-failure", fault, fails(1)) for fault in FAULTS
]

CHUNK_REFUSAL = {"status": 413, "json": error("too_large", "File too large.")}
CHUNK_REFUSAL_TEXT = "File too large. (too_large, HTTP 413)"
MOVED_URL = "https://dl.test/t/moved"


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    f = tmp_path_factory.mktemp("matrix") / FILE_NAME
    f.write_bytes(os.urandom(FILE_SIZE))
    return f


def expected_counts(stage: str, outcome: Outcome) -> dict:
    """How many requests each stage gets, given the faulted stage's own count."""
    counts = dict.fromkeys(STAGES, 0)
    if stage == "delete-after-failure":
        # The first chunk is refused for good; nothing follows but the one DELETE.
        counts.update({"create": 1, "chunk-first": 1})
    elif stage == "get-after-not-pending":
        counts.update(dict.fromkeys(PATH, 1))
    else:
        at = PATH.index(stage)
        for name in PATH[:at]:
            counts[name] = 1
        if outcome.succeeds:
            for name in PATH[at + 1:]:
                counts[name] = 1
        elif stage in CHUNKS:
            counts["delete-after-failure"] = 1
    counts[stage] = outcome.attempts
    return counts


def stage_counts(service) -> dict:
    counts = {}
    for name, stage in STAGES.items():
        counts[name] = len(service.find(stage.method, stage.path))
    return counts


@pytest.mark.parametrize("stage, fault, outcome", [
    pytest.param(stage, fault, outcome, id=f"{stage}-{fault}") for stage, fault, outcome in MATRIX
])
def test_fault(api_env, service, big_file, stage, fault, outcome):
    target = STAGES[stage]
    scripted = FAULTS[fault]
    if stage == "get-after-not-pending":
        service.on("POST", STAGES["finalise"].path, status=409,
                   json=error("transfer_not_pending", "Finalised already."))
    if stage == "delete-after-failure":
        service.on("PUT", STAGES["chunk-first"].path, **CHUNK_REFUSAL)
    service.on(target.method, target.path, times=scripted.times, **scripted.reply)
    # Where a GET follows the redirect, it finds the transfer there.
    service.on("GET", "/moved", json={"id": 1, "status": "active", "url": MOVED_URL})

    r = run_qel(["send", big_file, "--quiet", "--parallel", "1"], api_env, timeout=TIMEOUT)

    assert stage_counts(service) == expected_counts(stage, outcome)
    if outcome.succeeds:
        assert r.returncode == 0, r.stderr
        assert r.stderr == ""
        link = MOVED_URL if fault == "redirect" else service.transfers[1]["url"]
        assert re.fullmatch(re.escape(link) + r"#key=[A-Za-z0-9_-]{43}\n", r.stdout), r.stdout
        return

    if stage == "delete-after-failure":
        text = f"{FILE_NAME}: {CHUNK_REFUSAL_TEXT}"
    else:
        text = scripted.text.format(url=target.url(service), origin=service.origin)
        if stage in CHUNKS:
            text = f"{FILE_NAME}: {text}"
    assert (r.returncode, r.stdout, r.stderr) == (1, "", f"Error: {text}\n")
    if fault == "redirect":
        assert service.find(path="/moved") == [], "the upload's request was not sent on"
