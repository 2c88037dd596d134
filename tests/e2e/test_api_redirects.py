"""Redirects are followed by the client itself: limits, method changes, and the key never
travelling to the redirect's target."""

from __future__ import annotations

import json

import pytest

from conftest import USER_AGENT, run_qel
from fake_service import FakeService

ACCOUNT = {"name": "Moved", "email": "m@example.com"}


@pytest.fixture
def elsewhere():
    """A second recording server on another port: the target of cross-origin redirects."""
    s = FakeService().start()
    s.accept_any_key = True
    yield s
    s.stop()


def test_the_key_is_not_sent_to_another_origin(api_env, service, elsewhere):
    service.on("GET", "/me", status=302, headers={"Location": elsewhere.url + "/me"})
    result = run_qel(["whoami"], api_env)
    # Without the key the target refuses, which shows that it did not get one.
    assert result.stderr == "Error: Invalid API key. (unauthorized, HTTP 401)\n"
    (req,) = elsewhere.find("GET", "/me")
    assert "authorization" not in req.headers
    assert req.headers["accept"] == "application/json"
    assert req.headers["user-agent"] == USER_AGENT


def test_the_key_is_not_sent_even_to_the_same_origin(api_env, service):
    service.on("GET", "/me", status=301, headers={"Location": "/api/v1/me-moved"})
    service.on("GET", "/me-moved", json=ACCOUNT)
    result = run_qel(["--json", "whoami"], api_env)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == ACCOUNT
    first, second = service.find("GET")
    assert first.headers["authorization"] == "Bearer test-key"
    assert "authorization" not in second.headers


@pytest.mark.parametrize("location, path", [
    ("me2", "/me2"),
    ("../v1/./me2?x=1", "/me2?x=1"),
    ("?page=2", "/me?page=2"),
])
def test_relative_locations_resolve_against_the_request_url(api_env, service, location, path):
    service.on("GET", "/me", status=302, headers={"Location": location})
    service.on("GET", r".*", json=ACCOUNT)
    assert run_qel(["whoami"], api_env).returncode == 0
    assert [r.path for r in service.find("GET")] == ["/me", path]


def chain(service, replies: int, status: int = 302, method: str = "GET") -> None:
    service.on(method, "/me", status=status, headers={"Location": "/api/v1/hop1"})
    for i in range(1, replies):
        service.on("GET", f"/hop{i}", status=status, headers={"Location": f"/api/v1/hop{i + 1}"})
    service.on("GET", f"/hop{replies}", json=ACCOUNT)


def test_four_redirects_are_followed(api_env, service):
    chain(service, 4)
    assert run_qel(["whoami"], api_env).returncode == 0
    assert len(service.find("GET")) == 5


def test_the_fifth_redirect_reply_fails_the_request(api_env, service):
    chain(service, 5)
    result = run_qel(["whoami"], api_env)
    assert result.returncode == 1
    assert result.stderr == f"Error: Network error: {service.url}/hop4: Too Many Redirects\n"
    assert len(service.find("GET")) == 5


@pytest.mark.parametrize("status", [301, 302, 303])
def test_delete_becomes_get_after_301_to_303(api_env, service, status):
    service.add_transfer(id=4)
    service.on("DELETE", "/transfers/4", status=status, headers={"Location": "/api/v1/gone"})
    service.on("GET", "/gone", json={"deleted": True})
    result = run_qel(["--json", "delete", "4", "--yes"], api_env)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"deleted": True}
    (req,) = service.find("GET", "/gone")
    assert req.body == b"" and "content-length" not in req.headers


@pytest.fixture
def post_env(env, service, tmp_path, config_file):
    """Runs that POST: logout revokes a saved sign-in token with an empty body, login
    starts the device sign-in with a JSON one (no browser opener on PATH)."""
    config_file.parent.mkdir(parents=True)
    config_file.write_text(json.dumps({"api_key": "qec_saved"}))
    (tmp_path / "bin").mkdir()
    return dict(env, QEL_API_URL=service.url, PATH=str(tmp_path / "bin"))


POSTS = [(["logout"], "/auth/revoke"), (["login"], "/auth/device")]


@pytest.mark.parametrize("args, path", POSTS, ids=["empty-body", "json-body"])
@pytest.mark.parametrize("status", [301, 302, 303])
def test_post_becomes_get_without_a_body_after_301_to_303(post_env, service, args, path,
                                                          status):
    service.on("POST", path, status=status, headers={"Location": "/api/v1/moved"})
    service.on("GET", "/moved", json={"device_code": "d", "interval": 0, "expires_in": 0})
    run_qel(args, post_env)
    (req,) = service.find("GET", "/moved")
    assert req.body == b""
    for name in ("content-length", "content-type", "transfer-encoding", "authorization"):
        assert name not in req.headers
    assert req.headers["accept"] == "application/json"


@pytest.mark.parametrize("args, path", POSTS, ids=["empty-body", "json-body"])
@pytest.mark.parametrize("status", [307, 308])
def test_post_is_not_followed_on_307_and_308(post_env, service, args, path, status):
    service.on("POST", path, status=status, headers={"Location": "/api/v1/moved"})
    run_qel(args, post_env)
    assert service.find(path="/moved") == []
    assert [r.method for r in service.find()] == ["POST"]


@pytest.mark.parametrize("status", [307, 308])
def test_delete_is_not_followed_on_307_and_308(api_env, service, status):
    service.add_transfer(id=4)
    service.on("DELETE", "/transfers/4", status=status, headers={"Location": "/api/v1/gone"},
               body=b"")
    result = run_qel(["delete", "4", "--yes"], api_env)
    # The redirect reply itself is the outcome: a successful reply that is not JSON.
    assert result.stderr == ("Error: The server returned an unexpected response. "
                             "(invalid_response, HTTP 200)\n")
    assert service.find(path="/gone") == []


@pytest.mark.parametrize("status", [307, 308])
def test_get_is_followed_on_307_and_308(api_env, service, status):
    chain(service, 2, status=status)
    assert run_qel(["whoami"], api_env).returncode == 0


@pytest.mark.parametrize("status, headers", [(300, {"Location": "/api/v1/x"}), (302, {})])
def test_other_3xx_replies_are_handed_over_as_they_are(api_env, service, status, headers):
    service.on("GET", "/me", status=status, headers=headers, json=ACCOUNT)
    result = run_qel(["--json", "whoami"], api_env)
    assert result.returncode == 0
    assert json.loads(result.stdout) == ACCOUNT
    assert len(service.find()) == 1


UPLOAD_REQUESTS = {
    "create": ("POST", "/transfers"),
    "chunk": ("PUT", r"/transfers/\d+/files/0/chunks/0"),
    "finalize": ("POST", r"/transfers/\d+/finalize"),
}


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
@pytest.mark.parametrize("name", list(UPLOAD_REQUESTS))
def test_a_redirected_upload_request_fails_instead_of_passing_for_done(api_env, service,
                                                                      tmp_path, name, status):
    # The redirect and its target both answer with JSON that could pass for the service's
    # own answer: taken for it, the transfer would be reported ready without its data.
    method, path = UPLOAD_REQUESTS[name]
    looks_done = {"id": 9, "status": "active", "url": "https://dl.test/9", "received": 1}
    service.on(method, path, status=status, headers={"Location": "/api/v1/elsewhere"},
               json=looks_done)
    for any_method in ("GET", "POST", "PUT"):
        service.on(any_method, "/elsewhere", json=looks_done, times=None)
    f = tmp_path / "f.txt"
    f.write_bytes(b"x")

    r = run_qel(["send", f], api_env)

    assert r.returncode == 1
    assert r.stdout == ""
    failed = "f.txt: " if name == "chunk" else ""
    assert r.stderr.endswith(
        f"Error: {failed}The server redirected the request to {service.url}/elsewhere, which "
        f"an upload does not follow. (http_error, HTTP {status})\n"), r.stderr
    assert service.find(path="/elsewhere") == []
    assert len(service.find(method, path)) == 1, "not retried"
    # Only a chunk's failure deletes the transfer; nothing runs after the failed request.
    assert len(service.find("DELETE")) == (1 if name == "chunk" else 0)
    later = {"create": "PUT", "chunk": "POST"}.get(name)
    if later == "PUT":
        assert service.find("PUT") == []
    elif later == "POST":
        assert service.find("POST", r"/transfers/\d+/finalize") == []
