"""The command line through the real binary: exit codes and which stream gets what.

The parsed values themselves are checked by the unit tests; here a successful parse of a
subcommand that needs a key shows as the not-logged-in error (exit 1), a usage error as
exit 2 with the parser's message on standard error and nothing on standard output.
"""

from __future__ import annotations

import os
import subprocess

import pytest

from conftest import EXE, native, qel_program, run_qel, run_qel_raw

NOT_LOGGED_IN = 'Error: not logged in. Run "qel login" (or set QEL_API_KEY).\n'
# The parser's own texts name the program by its file name: qel, or qel.exe on Windows.
NAME = f"qel{EXE}"

PARSES = 1  # reaches the command runner, which stops at the missing key
USAGE = 2

CASES = [
    # values and ranges
    (["list"], PARSES),
    (["list", "--page", "4294967295"], PARSES),
    (["list", "--page", "+1", "--per-page", "0", "--status", "weird"], PARSES),
    (["list", "--page", "4294967296"], USAGE),
    (["list", "--page", "x"], USAGE),
    (["list", "--page", "0x10"], USAGE),
    (["list", "--page", "-1"], USAGE),
    (["list", "--page=-1"], USAGE),
    (["list", "--page", "1", "--page", "1"], USAGE),
    (["info", "0"], PARSES),
    (["info", "18446744073709551615"], PARSES),
    (["info", "18446744073709551616"], USAGE),
    (["info", "abc"], USAGE),
    (["info"], USAGE),
    (["info", "1", "2"], USAGE),
    (["delete", "7", "-y"], PARSES),
    (["delete", "7"], PARSES),
    (["-y", "delete", "7"], USAGE),
    # send: paths, conflicts, repeats, values beginning with "-"
    (["send"], USAGE),
    (["send", "a", "--title", "T", "b"], PARSES),
    (["send", "a", "--parallel", "0"], PARSES),
    (["send", "a", "--parallel", "100"], PARSES),
    (["send", "a", "--parallel", "-1"], USAGE),
    (["send", "a", "--max-downloads", "4294967296"], USAGE),
    (["send", "a", "--password", "p", "--ask-password"], USAGE),
    (["send", "a", "--ask-password", "--password", "p"], USAGE),
    (["send", "a", "--no-encrypt", "--mode", "e2ee"], USAGE),
    (["send", "a", "--mode", "e2ee", "--no-encrypt"], USAGE),
    (["send", "a", "--to", "x@example.com"], PARSES),
    (["send", "a", "--mode", "not-a-mode"], PARSES),
    (["send", "a", "--title", "x", "--title", "x"], USAGE),
    (["send", "a", "-q", "-q"], USAGE),
    (["send", "a", "--quiet=true"], USAGE),
    (["send", "a", "--title", "-x"], USAGE),
    (["send", "a", "--title=-x"], PARSES),
    (["send", "a", "--", "--title", "-q"], PARSES),
    (["-q", "send", "a"], USAGE),
    (["send", "a", "-V"], USAGE),
    (["send", "a", "--titel", "x"], USAGE),
    # --json on either side, once per command
    (["--json", "whoami"], PARSES),
    (["whoami", "--json"], PARSES),
    (["whoami", "--json", "--json"], USAGE),
    (["whoami", "extra"], USAGE),
    # whole, exact names
    (["Send", "a"], USAGE),
    (["sen", "a"], USAGE),
    (["sned"], USAGE),
    # text that is not valid UTF-8 is taken only as a path
    (["send", b"a\xff"], PARSES),
    (["send", "a", "--title", b"\xff"], USAGE),
    (["list", "--status", b"\xc3"], USAGE),
    ([b"\xff"], USAGE),
]


@pytest.mark.parametrize("args,outcome", CASES, ids=lambda v: repr(v) if isinstance(v, list) else None)
def test_parse_outcome(env, args, outcome, tmp_path):
    r = run_qel(args, env, cwd=tmp_path)
    assert r.returncode == outcome, r.stderr
    assert r.stdout == ""
    if outcome == PARSES:
        assert r.stderr == NOT_LOGGED_IN
    else:
        assert r.stderr.strip() and not r.stderr.startswith("Error:")
        r.stderr.encode("utf-8")  # the message itself is valid text


def test_version(env):
    for flag in ("--version", "-V"):
        r = run_qel([flag], env)
        assert (r.returncode, r.stdout, r.stderr) == (0, "qel 1.2.0\n", "")


def test_no_subcommand_prints_the_top_level_help(env):
    bare = run_qel([], env)
    assert bare.returncode == 0 and bare.stderr == ""
    assert "Usage: qel" in bare.stdout
    assert "Send files with Dropvale from the command line" in bare.stdout
    for name in ("login", "logout", "install", "uninstall", "whoami", "send", "list", "info",
                 "delete", "help", "--json", "--version", "--help"):
        assert name in bare.stdout
    assert "sendto" not in bare.stdout
    assert run_qel(["--json"], env).stdout == bare.stdout
    for args in (["--help"], ["-h"], ["help"]):
        r = run_qel(args, env)
        assert (r.returncode, r.stderr) == (0, "")
        assert r.stdout.rstrip("\n") == bare.stdout.rstrip("\n").replace(
            "Usage: qel ", f"Usage: {NAME} ")


def test_help_of_a_subcommand(env):
    r = run_qel(["help", "send"], env)
    assert (r.returncode, r.stderr) == (0, "")
    assert f"Usage: {NAME} send" in r.stdout
    assert "Upload files and folders and print the download link" in r.stdout
    for option in ("--json", "--parallel", "-q,--quiet", "--ask-password", "PATHS"):
        assert option in r.stdout
    assert run_qel(["send", "--help"], env).stdout == r.stdout
    hidden = run_qel(["sendto", "--help"], env)
    assert hidden.returncode == 0 and "--json" in hidden.stdout
    assert run_qel(["help", "sendto"], env).stdout == hidden.stdout
    unknown = run_qel(["help", "sned"], env)
    assert unknown.returncode == 2 and unknown.stdout == "" and "'send'" in unknown.stderr


def test_mistyped_names_get_a_suggestion(env):
    r = run_qel(["sned"], env)
    assert r.returncode == 2 and r.stdout == ""
    assert "sned" in r.stderr and "'send'" in r.stderr
    r = run_qel(["list", "--per-pgae", "3"], env)
    assert r.returncode == 2 and "'--per-page'" in r.stderr


def test_usage_line_names_the_program_by_its_file_name(env, tmp_path):
    link = tmp_path / f"other-name{EXE}"
    os.symlink(qel_program(env), link)
    env = dict(env, QEL_TEST_PROGRAM=str(link))
    r = run_qel(["--help"], env)
    assert f"Usage: other-name{EXE} [OPTIONS]" in r.stdout
    bare = run_qel([], env)
    assert "Usage: qel [OPTIONS]" in bare.stdout  # the top-level help of a fresh definition


def test_a_closed_standard_output_is_no_failure(env):
    for args in ([], ["--version"], ["help", "send"]):
        read_end, write_end = os.pipe()
        os.close(read_end)
        r = run_qel_raw(args, env, stdout=write_end, stderr=subprocess.PIPE,
                        stdin=subprocess.DEVNULL)
        os.close(write_end)
        assert r.returncode == 0, args
        assert r.stderr == b""


def test_sendto_ends_with_the_flow_s_result_and_ignores_json(env, tmp_path):
    # A path that cannot be read fails the flow before any request; the flow writes its own
    # error, and main adds nothing.
    missing = tmp_path / "missing.txt"
    e = dict(env, QEL_API_KEY="k", QEL_API_URL="http://127.0.0.1:9/api/v1")
    plain = run_qel(["sendto", missing], e)
    assert (plain.returncode, plain.stdout) == (1, "")
    assert native(missing) in plain.stderr and not plain.stderr.startswith("Error: ")
    for args in (["--json", "sendto", missing], ["sendto", missing, "--json"]):
        r = run_qel(args, e)
        assert (r.returncode, r.stdout, r.stderr) == (1, "", plain.stderr), args
