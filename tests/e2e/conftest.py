"""Shared fixtures: the qel command, a private HOME per test, and the stand-in service.

The same tests run against either build: the Linux binary, or the Windows qel.exe under Wine
(QEL_BUILD=windows, or a binary whose name ends in ".exe"). What differs between the builds
(paths, system error texts, the helper programs, the configuration folder) is written once
here with the build as a parameter."""

from __future__ import annotations

import fcntl
import os
import select
import shlex
import shutil
import subprocess
import termios
import time
from dataclasses import dataclass
from pathlib import Path, PurePath

import pytest

from fake_service import FakeService

ROOT = Path(__file__).resolve().parents[2]

# The command that runs qel: QEL_COMMAND (split like a shell would, so it can name a
# wrapper such as an emulator), else QEL_BINARY, else the default build's binary.
if os.environ.get("QEL_COMMAND"):
    QEL = shlex.split(os.environ["QEL_COMMAND"])
else:
    QEL = [os.environ.get("QEL_BINARY") or str(ROOT / "build" / "qel")]

BUILD = os.environ.get("QEL_BUILD") or ("windows" if QEL[-1].lower().endswith(".exe") else "linux")
WINDOWS = BUILD == "windows"
LINUX = not WINDOWS

# The program file itself, and the test programs built beside it (tests/ of the build folder).
BINARY = Path(QEL[-1])
TEST_PROGRAMS = Path(os.environ.get("QEL_TEST_PROGRAMS") or BINARY.resolve().parent / "tests")
EXE = ".exe" if WINDOWS else ""

if WINDOWS:
    # qel.exe runs under Wine; QEL_COMMAND may name the wine command in front of it.
    WINE = QEL[:-1] or [shutil.which("wine") or "wine"]
    QEL = WINE + [str(BINARY)]
    # One prefix and one wineserver for every test, apart from the unit tests' prefix, since
    # its user folders are pointed at per-test folders (wine_session below).
    WINEPREFIX = Path(os.environ.get("QEL_E2E_WINEPREFIX")
                      or BINARY.resolve().parent / "wineprefix-e2e")

# Variables of the user's session that must never leak into a test run.
_SCRUBBED_PREFIXES = ("QEL_", "XDG_", "LC_", "WINE")
_SCRUBBED = {
    "HOME", "APPDATA", "LANG", "LANGUAGE", "COMPUTERNAME", "HOSTNAME",
    "ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy",
    "NO_PROXY", "no_proxy", "NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE", "CI",
}


# ---- what differs by build ------------------------------------------------------------


def native(path) -> str:
    """A path of the test's file system as the build's system writes it: unchanged on Linux;
    on Windows the drive Z:, under which Wine shows the whole Linux file system."""
    text = os.fspath(path)
    if not WINDOWS:
        return text
    if text.startswith("/"):
        return "Z:" + text.replace("/", "\\")
    return text.replace("/", "\\")


# The system's texts for the failures the tests provoke, as "{message} (os error {code})".
_SYSTEM_ERRORS = {
    "not found": ("No such file or directory (os error 2)", "File not found. (os error 2)"),
    "is a folder": ("Is a directory (os error 21)", "Access denied. (os error 5)"),
    "not a folder": ("Not a directory (os error 20)", "Path not found. (os error 3)"),
    # A Linux named pipe, which Wine shows as a file that cannot be positioned.
    "seek on a pipe": ("Illegal seek (os error 29)", "Request not supported. (os error 50)"),
}


def system_error(kind: str) -> str:
    linux, windows = _SYSTEM_ERRORS[kind]
    return windows if WINDOWS else linux


def skip_on_windows(reason: str):
    """Marks a case that the Windows run cannot show, with the reason."""
    return pytest.mark.skipif(WINDOWS, reason=f"Windows build under Wine: {reason}")


def skip_on_linux(reason: str):
    return pytest.mark.skipif(LINUX, reason=f"Linux build: {reason}")


# The programs qel starts to copy the link and to open a URL, and the arguments it gives them.
CLIPBOARD_PROGRAMS = ["clip"] if WINDOWS else ["wl-copy", "xclip", "xsel"]
URL_OPENER = "rundll32" if WINDOWS else "xdg-open"
URL_OPENER_ARGS = ["url.dll,FileProtocolHandler"] if WINDOWS else []
USER_AGENT = f"qel/1.2.0 ({BUILD})"
OS_DISPLAY_NAME = "Windows" if WINDOWS else "Linux"


# ---- Wine -------------------------------------------------------------------------------


@pytest.fixture(scope="session", autouse=True)
def wine_session():
    """Starts the prefix's one wineserver (scripts/wine-session.sh), then points the roaming
    application-data folder and APPDATA at the variable QEL_TEST_APPDATA, which each test sets
    to a folder of its own."""
    if not WINDOWS:
        yield
        return
    e = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "LC_"))}
    e.update(QEL_WINEPREFIX=str(WINEPREFIX), WINEPREFIX=str(WINEPREFIX), WINEDEBUG="-all",
             LC_CTYPE="C.UTF-8")
    subprocess.run([str(ROOT / "scripts" / "wine-session.sh"), "start"], env=e, check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    for key, value in (
            (r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders",
             "AppData"),
            (r"HKCU\Volatile Environment", "APPDATA")):
        subprocess.run(WINE + ["reg", "add", key, "/v", value, "/t", "REG_EXPAND_SZ",
                               "/d", "%QEL_TEST_APPDATA%", "/f"],
                       env=e, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    yield


def _has_surrogates(text: str) -> bool:
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def _launch_file(folder: Path, ops: list, argv: list) -> Path:
    """The file that tests/stand_in/windows/launch.cpp reads: UTF-16LE items, each ended by
    a NUL, so values Wine would not pass on (unpaired surrogates) arrive unchanged."""
    items = [x for op in ops for x in op] + ["run"] + argv
    folder.mkdir(exist_ok=True)
    path = folder / f"launch-{time.monotonic_ns()}.bin"
    path.write_bytes("".join(i + "\0" for i in items).encode("utf-16-le", "surrogatepass"))
    return path


def _windows_command(argv: list, env: dict) -> tuple[list, dict]:
    """The command line and Linux environment that run qel.exe under Wine as the test means:
    the test's own copy of qel.exe, and a Windows parent in between whenever the environment
    holds what Wine owns or cannot carry (a chosen APPDATA or COMPUTERNAME, unpaired
    surrogates in a value or an argument)."""
    e = {k: v for k, v in env.items() if v is not None}
    program = str(qel_program(e))
    # The Linux PATH only serves to run Wine; Windows programs get Wine's own PATH.
    e["PATH"] = os.environ.get("PATH", "/usr/bin:/bin")
    ops = [("unset", name) for name, value in env.items() if value is None and name != "APPDATA"]
    if "APPDATA" not in e:
        ops.append(("unset", "APPDATA"))
    elif e["APPDATA"] != e.get("QEL_TEST_APPDATA"):
        ops.append(("set", "APPDATA", e.pop("APPDATA")))
    if "COMPUTERNAME" in e:
        ops.append(("set", "COMPUTERNAME", e.pop("COMPUTERNAME")))
    for name in [n for n, v in e.items() if _has_surrogates(v)]:
        ops.append(("set", name, e.pop(name)))
    if not ops and not any(_has_surrogates(a) for a in argv):
        return WINE + [program] + argv, e
    launch_file = _launch_file(Path(program).parent, ops, [native(program)] + argv)
    return WINE + [str(TEST_PROGRAMS / "qel-test-launch.exe"), native(launch_file)], e


def command(args, env) -> tuple[list, dict]:
    """The command line and environment of one run of qel with `args`: a path object stands
    for a path as the build's system writes it, bytes for an argument that is not text. A
    variable whose value is None is unset, also one that the system would set itself."""
    argv = []
    for a in args:
        if isinstance(a, bytes):
            argv.append(os.fsdecode(a))
        elif isinstance(a, PurePath):
            argv.append(native(a))
        else:
            argv.append(str(a))
    if WINDOWS:
        return _windows_command(argv, env)
    present = {k: v for k, v in env.items() if v is not None}
    return QEL[:-1] + [str(qel_program(env))] + argv, present


def qel_program(env) -> Path:
    """The program file that runs with `env`: the build's own on Linux; on Windows the test's
    copy, beside which its stand-ins lie. QEL_TEST_PROGRAM names another."""
    if env.get("QEL_TEST_PROGRAM"):
        return Path(env["QEL_TEST_PROGRAM"])
    return BINARY.resolve()


def qel_call(args, env) -> dict:
    """subprocess.run's or Popen's `args` and `env` for one run of qel (see `command`)."""
    argv, e = command(args, env)
    return {"args": argv, "env": e}


def start_qel(args, env, **popen_args) -> subprocess.Popen:
    """Starts qel as a child process with the given streams (subprocess.Popen's arguments)."""
    argv, e = command(args, env)
    return subprocess.Popen(argv, env=e, **popen_args)


def run_qel_raw(args, env, **run_args) -> subprocess.CompletedProcess:
    """Runs qel with subprocess.run's own arguments, for tests that need bytes or their own
    streams."""
    argv, e = command(args, env)
    return subprocess.run(argv, env=e, **run_args)


def take_terminal() -> None:
    """For preexec_fn: makes the child's standard input its controlling terminal, as a console
    window would be (Wine's console in a terminal waits for one)."""
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class TerminalOutput:
    """What a child writes to a pseudo-terminal, collected from its far end as it comes."""

    def __init__(self, master: int):
        self.master = master
        self.seen = b""

    def read_until(self, done, timeout: float = 30) -> None:
        """Reads until `done()` holds, the child closes its end, or `timeout` seconds pass."""
        deadline = time.monotonic() + timeout
        while not done() and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.05)[0]:
                try:
                    data = os.read(self.master, 4096)
                except OSError:  # the child has closed its end
                    return
                if not data:
                    return
                self.seen += data

    def echoes(self) -> bool:
        return bool(termios.tcgetattr(self.master)[3] & termios.ECHO)


def run_qel(args, env, input=None, timeout=60, cwd=None) -> subprocess.CompletedProcess:
    """Runs qel; stdout and stderr come back as text (undecodable bytes kept as escapes).
    Standard input is empty unless `input` is given."""
    return run_qel_raw(
        args, env,
        input=input if input is not None else "",
        capture_output=True,
        text=True,
        encoding="utf-8",
        errors="surrogateescape",
        timeout=timeout,
        cwd=cwd,
    )


# ---- the programs qel starts ------------------------------------------------------------


@dataclass
class Run:
    """One run of a stand-in program, as the recorder wrote it down."""
    program: str  # the copy that ran, as its system names it
    args: list
    input: str
    ended: bool


class StandIns:
    """Stand-ins for the programs qel starts (clipboard tools, URL openers, hostname): copies
    of the recorder (tests/stand_in), placed where the build looks first: on Linux the only
    folder of PATH, on Windows the folder of the test's own qel.exe. Each run leaves a record
    in the records folder, which the test's environment names."""

    def __init__(self, folder: Path, records: Path):
        self.folder = folder
        self.records = records

    def place(self, name: str, exit_code: int = 0, stdout: bytes | None = None,
              folder: Path | None = None) -> Path:
        """Places the stand-in `name` (in `folder` instead, for a test of where qel looks)."""
        recorder = TEST_PROGRAMS / f"qel-test-recorder{EXE}"
        if not recorder.is_file():
            raise FileNotFoundError(f"the recorder is not built: {recorder}")
        target = (folder or self.folder) / f"{name}{EXE}"
        target.unlink(missing_ok=True)
        _link_or_copy(recorder, target)
        if exit_code:
            (self.records / f"{name}.exit").write_text(str(exit_code))
        if stdout is not None:
            (self.records / f"{name}.stdout").write_bytes(stdout)
        return target

    def place_broken(self, name: str) -> None:
        """Makes `name` a program that cannot start: on Windows an empty file in the first
        folder looked at (which hides the system's own program of that name); on Linux the
        name is simply not found."""
        target = self.folder / f"{name}{EXE}"
        target.unlink(missing_ok=True)
        if WINDOWS:
            target.write_bytes(b"")

    def runs(self, name: str) -> list[Run]:
        found = []
        for record in sorted(self.records.glob(f"{name}.*.record")):
            run_id = record.name[len(name) + 1:-len(".record")]
            if "." in run_id:
                continue
            fields = _parse_record(record.read_bytes())
            found.append(Run(program=fields["self"][0].decode("utf-8", "surrogateescape"),
                             args=[a.decode("utf-8", "surrogateescape") for a in fields["arg"]],
                             input=b"".join(fields["input"]).decode("utf-8", "surrogateescape"),
                             ended=(self.records / f"{name}.{run_id}.done").exists()))
        return sorted(found, key=lambda r: r.args)

    def wait_for_runs(self, name: str, count: int = 1, timeout: float = 30) -> list[Run]:
        """The runs of `name` once `count` of them are recorded (detached programs may still be
        starting), or whatever is there after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while len(self.runs(name)) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.runs(name)


def _link_or_copy(source: Path, target: Path) -> None:
    try:
        os.link(source, target)
    except OSError:  # another file system
        shutil.copyfile(source, target)
    target.chmod(0o755)


def _parse_record(data: bytes) -> dict:
    fields = {"self": [], "arg": [], "input": []}
    at = 0
    while at < len(data):
        line_end = data.index(b"\n", at)
        key, size = data[at:line_end].split(b" ")
        start = line_end + 1
        fields[key.decode()].append(data[start:start + int(size)])
        at = start + int(size) + 1
    return fields


# ---- fixtures ----------------------------------------------------------------------------


@pytest.fixture
def home(tmp_path: Path) -> Path:
    h = tmp_path / "home"
    h.mkdir()
    return h


@pytest.fixture
def roaming(tmp_path: Path) -> Path:
    """The test's roaming application-data folder (used by the Windows build)."""
    return tmp_path / "AppData" / "Roaming"


@pytest.fixture
def programs(tmp_path: Path) -> Path:
    """The test's folder of programs: PATH on Linux, the folder of qel.exe on Windows."""
    return tmp_path / "programs"


@pytest.fixture
def env(home: Path, roaming: Path, programs: Path, tmp_path: Path) -> dict:
    """A clean environment whose HOME is the test's own folder, whose configuration folder is
    the test's own, and whose only helper programs are the stand-ins the test places."""
    e = {
        k: v
        for k, v in os.environ.items()
        if k not in _SCRUBBED and not k.startswith(_SCRUBBED_PREFIXES)
    }
    e["HOME"] = str(home)
    e["TERM"] = "dumb"
    records = tmp_path / "stand-in-records"
    records.mkdir()
    programs.mkdir()
    e["QEL_TEST_RECORDER_DIR"] = native(records)
    if WINDOWS:
        # Wine needs a UTF-8 locale, or non-ASCII arguments and names turn into garbage; its
        # console in a terminal reads the keyboard only when LANG (or LC_ALL) names one too.
        e.update(WINEPREFIX=str(WINEPREFIX), WINEDEBUG="-all", LANG="C.UTF-8", LC_CTYPE="C.UTF-8")
        # The roaming folder must exist: Wine does not give a missing one.
        roaming.mkdir(parents=True)
        e["QEL_TEST_APPDATA"] = e["APPDATA"] = native(roaming)
        program = programs / "qel.exe"
        _link_or_copy(BINARY, program)
        e["QEL_TEST_PROGRAM"] = str(program)
        # As on Linux, whose PATH here holds no URL opener, no URL opener starts unless the
        # test places one: Wine's own rundll32 would hand URLs to the desktop's browser and
        # may outlive qel with its standard streams.
        StandIns(programs, records).place_broken(URL_OPENER)
    else:
        e["PATH"] = str(programs)
    return e


@pytest.fixture
def stand_ins(env: dict, programs: Path, tmp_path: Path) -> StandIns:
    return StandIns(programs, tmp_path / "stand-in-records")


@pytest.fixture
def config_file(home: Path, roaming: Path) -> Path:
    if WINDOWS:
        return roaming / "qel" / "config.json"
    return home / ".config" / "qel" / "config.json"


@pytest.fixture
def service():
    s = FakeService().start()
    yield s
    s.stop()


@pytest.fixture(scope="module")
def quiet_service():
    """One stand-in service for a whole test file, for tests that only need one to answer
    (starting one per test is slow). Requests of earlier tests stay in its record."""
    s = FakeService().start()
    yield s
    s.stop()


@pytest.fixture
def api_env(env: dict, service: FakeService) -> dict:
    """The clean environment, pointed at the stand-in service with a valid key."""
    e = dict(env)
    e["QEL_API_URL"] = service.url
    e["QEL_API_KEY"] = "test-key"
    return e
