"""The scripts a user runs by hand: scripts/stand-in.sh, and scripts/setup.sh without root."""

from __future__ import annotations

import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import threading
from datetime import datetime, timezone
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
QEL = os.environ.get("QEL_BINARY") or str(ROOT / "build" / "qel")


def clean_env(**extra) -> dict:
    """This environment without the user's qel, configuration folder and proxy settings."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("QEL_", "XDG_")) and not k.lower().endswith("_proxy")}
    env.update(extra)
    return env


# ---- stand-in.sh ---------------------------------------------------------------------


def test_stand_in_prints_the_lines_that_point_qel_at_it_and_stops_cleanly_on_ctrl_c(tmp_path):
    # Its own session, so that the interrupt reaches it as a terminal's Ctrl-C does: the
    # whole process group gets SIGINT.
    stand_in = subprocess.Popen(["bash", str(ROOT / "scripts" / "stand-in.sh")],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=clean_env(), start_new_session=True)
    watchdog = threading.Timer(60, os.killpg, (stand_in.pid, signal.SIGKILL))
    watchdog.start()
    try:
        shown = []
        while not shown or not shown[-1].strip().startswith("qel login --key"):
            line = stand_in.stdout.readline()
            assert line, f"the stand-in ended early: {''.join(shown)}{stand_in.stderr.read()}"
            shown.append(line)
        to_paste = [line.strip() for line in shown
                    if line.strip().startswith(("export QEL_API_URL=", "qel login"))]
        assert len(to_paste) == 2, shown

        # What a user does in another shell: paste the two lines, then send a file.
        bin_dir = tmp_path / "bin"
        bin_dir.mkdir()
        (bin_dir / "qel").symlink_to(Path(QEL).resolve())
        (tmp_path / "report.txt").write_text("quarterly numbers\n")
        env = clean_env(PATH=f"{bin_dir}:{os.environ['PATH']}", HOME=str(tmp_path / "home"),
                        XDG_CONFIG_HOME=str(tmp_path / "config"))
        session = subprocess.run(
            ["sh", "-ec", "\n".join(to_paste + ["qel send report.txt", "qel list"])],
            cwd=tmp_path, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
            timeout=60)
        assert session.returncode == 0, session.stdout + session.stderr
        assert "Logged in as" in session.stdout
        # Dated from today: what was just sent does not expire in the past.
        expires = re.search(r"^Expires: (\d{4}-\d\d-\d\d) ", session.stdout, re.M)
        assert expires, session.stdout
        assert expires.group(1) > datetime.now(timezone.utc).strftime("%Y-%m-%d")
        assert re.search(r"^2 +active +1 ", session.stdout, re.M), "qel list shows it"
    finally:
        os.killpg(stand_in.pid, signal.SIGINT)
        out, err = stand_in.communicate(timeout=30)
        watchdog.cancel()
    assert stand_in.returncode == 0
    assert err == "", "no traceback on Ctrl-C"


# ---- setup.sh without root -------------------------------------------------------------

FAKE_DPKG_QUERY = """#!/bin/sh
# dpkg-query -W -f='${Status}' PACKAGE: installed unless named in FAKE_MISSING.
for p in $FAKE_MISSING; do
  if [ "$p" = "$3" ]; then echo "dpkg-query: no packages found matching $3" >&2; exit 1; fi
done
printf 'install ok installed'
"""

RECORDER = """#!/bin/sh
echo "{name} $*" >>"$CALLS"
"""


@pytest.fixture
def setup_run():
    """Runs a copy of scripts/setup.sh as a user without root, with a PATH of its own: a
    dpkg-query that reports the packages named as missing, a recording apt-get, and a
    recording sudo when asked for. Gives (result, calls)."""
    folder = Path(tempfile.mkdtemp(prefix="qel-setup-"))
    folder.chmod(0o755)  # the unprivileged user reads the script and writes the record

    def run(missing: list[str], with_sudo: bool):
        bin_dir = folder / "bin"
        shutil.rmtree(bin_dir, ignore_errors=True)
        bin_dir.mkdir()
        for tool in ("grep", "id"):
            (bin_dir / tool).symlink_to(shutil.which(tool))
        (bin_dir / "dpkg-query").write_text(FAKE_DPKG_QUERY)
        tools = ["apt-get"] + (["sudo"] if with_sudo else [])
        for tool in tools:
            (bin_dir / tool).write_text(RECORDER.format(name=tool))
        for tool in ["dpkg-query"] + tools:
            (bin_dir / tool).chmod(0o755)
        shutil.copy(ROOT / "scripts" / "setup.sh", folder / "setup.sh")
        calls = folder / "calls"
        calls.write_text("")
        calls.chmod(0o666)

        command = ["/bin/bash", str(folder / "setup.sh")]
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            command = [shutil.which("setpriv"), f"--reuid={nobody.pw_uid}",
                       f"--regid={nobody.pw_gid}", "--clear-groups"] + command
        env = {"PATH": str(bin_dir), "CALLS": str(calls), "FAKE_MISSING": " ".join(missing),
               "HOME": str(folder)}
        result = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=60)
        return result, calls.read_text().splitlines()

    yield run
    shutil.rmtree(folder)


def test_setup_without_root_or_sudo_names_the_missing_packages_and_installs_nothing(setup_run):
    r, calls = setup_run(["libssl-dev", "cmake", "dpkg-dev"], with_sudo=False)
    assert r.returncode == 1
    assert calls == [], "apt-get is not run without root"
    assert r.stdout == ""
    assert "command not found" not in r.stderr
    assert "These Debian packages are missing: cmake libssl-dev dpkg-dev" in r.stderr
    assert "  apt-get install cmake libssl-dev dpkg-dev\n" in r.stderr


@pytest.mark.parametrize("with_sudo", [False, True])
def test_setup_with_nothing_missing_does_nothing_with_or_without_sudo(setup_run, with_sudo):
    r, calls = setup_run([], with_sudo=with_sudo)
    assert (r.returncode, r.stdout, r.stderr, calls) == (0, "", "", [])


def test_setup_without_root_installs_the_missing_packages_through_sudo(setup_run):
    r, calls = setup_run(["ninja-build", "file"], with_sudo=True)
    assert r.returncode == 0, r.stderr
    assert calls[0] == "sudo apt-get update"
    assert calls[1].startswith("sudo ") and calls[1].endswith(
        " apt-get install -y --no-install-recommends ninja-build file"), calls
    assert len(calls) == 2
