"""The command runner frame: the configuration is loaded for every subcommand, and the
five subcommands that read the service stop at a missing key before anything else."""

from __future__ import annotations

import os

import pytest

from conftest import native, run_qel


NOT_LOGGED_IN = 'Error: not logged in. Run "qel login" (or set QEL_API_KEY).\n'

KEYED = [
    ["whoami"],
    ["list", "--status", "nonsense"],
    ["info", "5"],
    # would ask a question without --yes
    ["delete", "5"],
    # an invalid mode, a conflict that only the send command judges, and paths that do not
    # exist: none of them is looked at without a key
    ["send", "missing-file", "no-such-folder/", "--mode", "bogus", "--to", "x@example.com",
     "--parallel", "0", "--ask-password"],
    ["--json", "send", "missing-file"],
]


@pytest.mark.parametrize("args", KEYED, ids=lambda a: " ".join(a))
@pytest.mark.parametrize("key", [None, "", "   \t", "\u3000\u00a0", "\udcff"],
                         ids=["unset", "empty", "blanks", "unicode-space", "not-utf8"])
def test_no_key_stops_before_the_body(env, quiet_service, args, key, tmp_path):
    e = dict(env)
    e["QEL_API_URL"] = quiet_service.url
    if key is not None:
        e["QEL_API_KEY"] = key
    before = len(quiet_service.requests)
    r = run_qel(args, e, input="y\n", cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (1, "", NOT_LOGGED_IN)
    assert len(quiet_service.requests) == before
    assert not (tmp_path / "missing-file").exists()


@pytest.mark.parametrize("content", [b"not json", b"", b"\xef\xbb\xbf{}", b'{"api_key": 5}'])
def test_a_broken_configuration_reads_as_empty(env, config_file, content):
    config_file.parent.mkdir(parents=True)
    config_file.write_bytes(content)
    r = run_qel(["whoami"], env)
    assert (r.returncode, r.stderr) == (1, NOT_LOGGED_IN)
    assert config_file.read_bytes() == content  # reading never rewrites it


def test_a_folder_in_place_of_the_file_reads_as_empty(env, config_file):
    config_file.mkdir(parents=True)
    r = run_qel(["list"], env)
    assert (r.returncode, r.stderr) == (1, NOT_LOGGED_IN)


def test_the_parser_endings_read_no_configuration(env, config_file):
    # A FIFO without a writer: a run that opened it for reading would never end.
    config_file.parent.mkdir(parents=True)
    os.mkfifo(config_file)
    for args, code in (([], 0), (["--json"], 0), (["--version"], 0), (["help", "list"], 0),
                       (["whoami", "--help"], 0), (["sned"], 2), (["list", "--page", "x"], 2)):
        r = run_qel(args, env, timeout=20)
        assert r.returncode == code, args


@pytest.mark.parametrize("content", [None, b"not json", b'{"api_key": "saved-key"}'],
                         ids=["no-file", "not-json", "other-key-saved"])
def test_the_environment_key_is_used_whatever_the_file_holds(env, quiet_service, config_file,
                                                              content):
    if content is not None:
        config_file.parent.mkdir(parents=True)
        config_file.write_bytes(content)
    e = dict(env, QEL_API_URL=quiet_service.url, QEL_API_KEY=" test-key\t")
    before = len(quiet_service.requests)
    r = run_qel(["whoami"], e)
    assert (r.returncode, r.stderr) == (0, "")
    (req,) = quiet_service.requests[before:]
    assert req.headers["authorization"] == "Bearer test-key"


@pytest.mark.parametrize("args", [["install"], ["uninstall"], ["logout"], ["login", "--key", "k"]],
                         ids=lambda a: a[0])
def test_subcommands_without_a_key_need_none(env, quiet_service, args, tmp_path):
    e = dict(env)
    e["QEL_API_URL"] = quiet_service.url
    e["APPDATA"] = native(tmp_path / "Roaming")
    r = run_qel(args, e)
    assert r.returncode in (0, 1)
    assert "not logged in" not in r.stderr
