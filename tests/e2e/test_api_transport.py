"""The service client against the stand-in: request headers, reply bodies and the error
texts that reach the user."""

from __future__ import annotations

import gzip
import json
import socket

import pytest

from conftest import USER_AGENT, run_qel

TEN_MIB = 10 * 1024 * 1024


def whoami_json(api_env):
    return run_qel(["--json", "whoami"], api_env)


def fails_with(result, text: str) -> None:
    assert result.returncode == 1, result
    assert result.stdout == ""
    assert result.stderr == f"Error: {text}\n"


# ---- requests ------------------------------------------------------------------------


def test_get_and_delete_carry_the_common_headers_and_no_body(api_env, service):
    service.add_transfer(id=7)
    assert run_qel(["whoami"], api_env).returncode == 0
    assert run_qel(["delete", "7", "--yes"], api_env).returncode == 0
    for req in service.find():
        assert req.method in ("GET", "DELETE")
        h = req.headers
        assert h["accept"] == "application/json"
        assert h["authorization"] == "Bearer test-key"
        assert h["user-agent"] == USER_AGENT
        assert h["accept-encoding"] == "gzip"
        assert "content-length" not in h and "content-type" not in h
        assert "transfer-encoding" not in h and "expect" not in h
        assert req.body == b""


def test_post_with_and_without_a_json_body(env, service, config_file, tmp_path):
    # logout revokes a saved sign-in token with an empty POST; login starts with a JSON one.
    config_file.parent.mkdir(parents=True)
    config_file.write_text(json.dumps({"api_key": "qec_saved", "api_url": service.url}))
    assert run_qel(["logout"], env).returncode == 0
    (tmp_path / "bin").mkdir()
    env.update(QEL_API_URL=service.url, PATH=str(tmp_path / "bin"))
    service.pending_polls = 0
    assert run_qel(["login"], env).returncode == 0

    (revoke,) = service.find("POST", "/auth/revoke")
    assert revoke.headers["content-length"] == "0" and revoke.body == b""
    assert "content-type" not in revoke.headers
    assert revoke.headers["authorization"] == "Bearer qec_saved"

    (start,) = service.find("POST", "/auth/device")
    assert start.headers["content-type"] == "application/json"
    assert start.headers["content-length"] == str(len(start.body))
    assert start.body.startswith(b'{"app":"qel","client_name":"qel - ')
    assert "authorization" not in start.headers  # a client without a key sends none
    for req in (revoke, start):
        assert req.headers["accept"] == "application/json"
        assert req.headers["user-agent"] == USER_AGENT
        assert "expect" not in req.headers and "transfer-encoding" not in req.headers


def test_key_is_sent_as_given_and_the_base_url_loses_its_trailing_slashes(api_env, service):
    api_env["QEL_API_URL"] = service.url + "///"
    api_env["QEL_API_KEY"] = "k"
    service.accept_any_key = True
    assert run_qel(["whoami"], api_env).returncode == 0
    (req,) = service.find("GET")
    assert req.path == "/me"
    assert req.headers["authorization"] == "Bearer k"


def test_requests_of_one_run_share_a_connection(api_env, service):
    # Four redirects and the final reply: five requests over one kept-alive connection.
    service.on("GET", "/me", status=302, headers={"Location": "/api/v1/hop1"})
    for i in range(1, 4):
        service.on("GET", f"/hop{i}", status=302, headers={"Location": f"/api/v1/hop{i + 1}"})
    service.on("GET", "/hop4", json={"name": "N"})
    assert run_qel(["whoami"], api_env).returncode == 0
    assert len(service.find("GET")) == 5
    assert service.connections() == 1


def test_a_whole_upload_runs_over_one_connection_with_one_worker(api_env, service, tmp_path):
    for i in range(6):
        (tmp_path / f"f{i}.txt").write_bytes(b"x" * (1000 + i))
    result = run_qel(["send", "--parallel", "1", *sorted(tmp_path.glob("f*.txt"))], api_env)
    assert result.returncode == 0, result.stderr
    assert len(service.find("PUT")) == 6
    assert service.connections() == 1


# ---- replies -------------------------------------------------------------------------


@pytest.mark.parametrize("encoding", ["gzip", "x-gzip"])
def test_gzip_replies_are_decoded(api_env, service, encoding):
    account = {"name": "Zip", "email": "z@example.com"}
    service.on("GET", "/me", body=gzip.compress(json.dumps(account).encode()),
               headers={"Content-Encoding": encoding})
    result = whoami_json(api_env)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == account


def test_a_body_of_exactly_ten_mib_is_read(api_env, service):
    body = b'"' + b"a" * (TEN_MIB - 2) + b'"'
    service.on("GET", "/me", body=body)
    result = whoami_json(api_env)
    assert result.returncode == 0, result.stderr[:300]
    assert result.stdout == body.decode() + "\n"


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip-bomb"])
def test_a_successful_body_over_ten_mib_is_a_network_error(api_env, service, compressed):
    body = b" " * (TEN_MIB + 1) + b"{}"
    headers = {}
    if compressed:  # the limit applies to the decoded body
        body = gzip.compress(b" " * (3 * TEN_MIB) + b"{}")
        headers = {"Content-Encoding": "gzip"}
    service.on("GET", "/me", body=body, headers=headers)
    result = run_qel(["whoami"], api_env)
    assert result.returncode == 1
    assert result.stderr.startswith(f"Error: Network error: {service.url}/me: ")
    assert "10 MiB" in result.stderr


def test_a_refusal_with_an_unreadable_body_keeps_its_status(api_env, service):
    service.on("GET", "/me", status=503, body=b" " * (TEN_MIB + 5),
               headers={"Retry-After": "0"})
    fails_with(run_qel(["whoami"], api_env),
               "The server answered with HTTP 503. (http_error, HTTP 503)")


@pytest.mark.parametrize("status, text", [
    (200, None),
    (500, "The server answered with HTTP 500. (http_error, HTTP 500)"),
])
def test_a_connection_lost_in_the_middle_of_the_body(api_env, service, status, text):
    service.on("GET", "/me", status=status, body=b'{"name":',
               headers={"Content-Length": "500"}, close=True)
    result = run_qel(["whoami"], api_env)
    if text is None:
        assert result.returncode == 1
        assert result.stderr.startswith(f"Error: Network error: {service.url}/me: ")
    else:
        fails_with(result, text)


@pytest.mark.parametrize("body", [
    b"",
    b"<html>hello</html>",
    b'{"name": "x"} and more',
    b"[" * 100_000 + b"]" * 100_000,
    b'{"a":' * 100_000 + b"1" + b"}" * 100_000,
], ids=["empty", "html", "trailing", "deep-array", "deep-object"])
def test_a_successful_reply_that_is_not_json(api_env, service, body):
    service.on("GET", "/me", body=body)
    fails_with(run_qel(["whoami"], api_env),
               "The server returned an unexpected response. (invalid_response, HTTP 200)")


def test_an_empty_204_is_an_unexpected_response(api_env, service):
    service.add_transfer(id=3)
    service.on("DELETE", "/transfers/3", status=204, body=b"")
    fails_with(run_qel(["delete", "3", "--yes"], api_env),
               "The server returned an unexpected response. (invalid_response, HTTP 200)")


def test_any_json_document_is_accepted(api_env, service):
    service.on("GET", "/me", body=b" [1, 2] ")
    result = whoami_json(api_env)
    assert result.returncode == 0
    assert result.stdout == "[\n  1,\n  2\n]\n"


def test_non_utf8_bytes_become_replacement_characters(api_env, service):
    service.on("GET", "/me", body=b'{"name": "Ana \xff", "email": "a@x"}')
    result = run_qel(["whoami"], api_env)
    assert result.returncode == 0
    assert result.stdout.splitlines()[0] == "Ana \ufffd <a@x>"


# ---- errors --------------------------------------------------------------------------


@pytest.mark.parametrize("reply, text", [
    (dict(status=401, json={"error": {"code": "unauthorized", "message": "Invalid API key."}}),
     "Invalid API key. (unauthorized, HTTP 401)"),
    (dict(status=404, json={"code": "not_found", "message": "top level only"}),
     "The server answered with HTTP 404. (http_error, HTTP 404)"),
    (dict(status=400, json={"error": "text"}),
     "The server answered with HTTP 400. (http_error, HTTP 400)"),
    (dict(status=400, json={"error": {"code": 5, "message": "Kept."}}),
     "Kept. (http_error, HTTP 400)"),
    (dict(status=400, json={"error": {"code": "", "message": ""}}), " (, HTTP 400)"),
    (dict(status=503, body=b"<html>down</html>", headers={"Retry-After": "120"}),
     "The server answered with HTTP 503. (http_error, HTTP 503)"),
    (dict(status=429, json={"error": {"code": "ip_blocked", "message": "Blocked."}}),
     "Blocked. (ip_blocked, HTTP 429)"),
])
def test_refusals_reach_the_user_as_one_error_line(api_env, service, reply, text):
    service.on("GET", "/me", **reply)
    fails_with(run_qel(["whoami"], api_env), text)


def test_a_wrong_key_is_refused_by_the_service(api_env, service):
    api_env["QEL_API_KEY"] = "wrong"
    fails_with(run_qel(["whoami"], api_env), "Invalid API key. (unauthorized, HTTP 401)")


def test_no_reply_is_a_network_error_with_the_url(api_env, service):
    service.on("GET", "/me", drop=True)
    result = run_qel(["whoami"], api_env)
    assert result.returncode == 1
    assert result.stderr.startswith(f"Error: Network error: {service.url}/me: ")


@pytest.mark.parametrize("raw", [
    b"garbage instead of a status line\r\n\r\n",
    b"HTTP/1.1 2x0 OK\r\nContent-Length: 2\r\n\r\n{}",
    b"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n{}",
    b"HTTP/1.1 200 OK\r\nContent-Len",
], ids=["no-status-line", "bad-status", "bad-length", "cut-head"])
def test_a_malformed_reply_head_is_a_network_error(api_env, service, raw):
    service.on("GET", "/me", raw=raw, times=None)
    result = run_qel(["whoami"], api_env)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith(f"Error: Network error: {service.url}/me: Bad Reply: ")


def test_a_key_with_a_line_break_is_never_sent(api_env, service):
    api_env["QEL_API_KEY"] = "test-key\r\nX-Injected: 1"
    result = run_qel(["whoami"], api_env)
    assert result.returncode == 1
    assert result.stderr == (f"Error: Network error: {service.url}/me: Bad Header: the value of "
                             "Authorization holds a line break\n")
    assert service.find() == []


def test_a_closed_port_fails_to_connect(api_env):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    api_env["QEL_API_URL"] = f"http://127.0.0.1:{port}/api"
    result = run_qel(["whoami"], api_env)
    assert result.returncode == 1
    assert result.stderr.startswith(
        f"Error: Network error: http://127.0.0.1:{port}/api/me: Connection Failed")


@pytest.mark.parametrize("url", ["ftp://127.0.0.1:1/api", "127.0.0.1:1/api", "no-scheme"])
def test_a_malformed_base_url_fails_at_the_first_request(api_env, url):
    api_env["QEL_API_URL"] = url
    result = run_qel(["whoami"], api_env)
    assert result.returncode == 1
    assert result.stderr.startswith(f"Error: Network error: {url}/me: ")
