"""A Wine virtual desktop with a taskbar and a notification area, for running vantorel.exe.

Used by run_e2e.py (the end-to-end tests) and by scripts/run (through run_e2e.py --run-tool).

What a session sets up, in order:
  1. an X display: its own Xvfb (display number chosen by Xvfb through -displayfd), or the user's;
  2. an isolated Wine prefix (created once with wineboot and kept, with the registry keys that put
     every program on one virtual desktop named "shell");
  3. a persistent wineserver, then `explorer /desktop=shell,1024x768` (the desktop, its taskbar and
     notification area);
  4. trayholder.exe, which keeps one notification icon for the whole session.

Everything the session starts is ended by its PID; `wineserver -k` ends what is left in the prefix.
Windows programs are started and watched through probe.exe (see probe.cpp for its commands).
"""

from __future__ import annotations

import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build"
DESKTOP_NAME = "shell"
SCREEN_W, SCREEN_H = 1024, 768
TASKBAR = "Shell_TrayWnd"


class DesktopError(Exception):
    """The desktop could not be set up or a helper misbehaved."""


def winpath(path: Path | str) -> str:
    """The Windows path of a Unix path through Wine's Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class ProbeResult:
    """What one probe.exe run printed: its lines, and the first value of each key."""

    def __init__(self, args: list[str], rc: int, text: str, seconds: float):
        self.args = args
        self.rc = rc
        self.text = text
        self.seconds = seconds
        self.lines = [line.rstrip("\r") for line in text.splitlines() if line.strip()]
        self.values: dict[str, str] = {}
        for line in self.lines:
            key, _, value = line.partition(" ")
            self.values.setdefault(key, value)

    @property
    def ok(self) -> bool:
        return self.rc == 0

    def get(self, key: str, default: str | None = None) -> str | None:
        return self.values.get(key, default)

    def all(self, key: str) -> list[str]:
        return [line.partition(" ")[2] for line in self.lines if line.partition(" ")[0] == key]

    def number(self, key: str) -> float:
        value = self.values.get(key)
        if value is None:
            raise DesktopError(f"probe {' '.join(self.args)}: no '{key}' in output: {self.text.strip()!r}")
        return float(value.split()[0])

    def __str__(self) -> str:
        return f"probe {' '.join(self.args)} -> rc {self.rc}: {' | '.join(self.lines)}"


class Background:
    """A Wine program running in the background, its stdout going to a file."""

    def __init__(self, desk: "Desktop", name: str, popen: subprocess.Popen, out_path: Path):
        self.desk = desk
        self.name = name
        self.popen = popen
        self.out_path = out_path

    @property
    def pid(self) -> int:
        return self.popen.pid

    def output(self) -> str:
        try:
            return self.out_path.read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def result(self) -> ProbeResult:
        rc = self.popen.poll()
        return ProbeResult([self.name], -1 if rc is None else rc, self.output(), 0.0)

    def running(self) -> bool:
        return self.popen.poll() is None

    def wait_line(self, pattern: str, timeout: float) -> re.Match | None:
        """Waits until a line of its output matches the regular expression."""
        regex = re.compile(pattern, re.MULTILINE)
        deadline = time.monotonic() + timeout
        while True:
            match = regex.search(self.output())
            if match or time.monotonic() >= deadline:
                return match
            if not self.running():
                return regex.search(self.output())
            time.sleep(0.01)

    def wait(self, timeout: float) -> int | None:
        try:
            return self.popen.wait(timeout=max(0.0, timeout))
        except subprocess.TimeoutExpired:
            return None

    def kill(self) -> None:
        self.desk.end_process(self.popen)


class Program:
    """A Windows program started through `probe start`, which keeps a handle on it and prints its
    Windows PID at once and its full 32-bit exit code when it ends."""

    def __init__(self, desk: "Desktop", exe: Path, runner: Background):
        self.desk = desk
        self.exe = exe
        self.runner = runner
        self.win_pid: int | None = None
        self.started_at = time.monotonic()

    def wait_started(self, timeout: float = 10.0) -> int:
        match = self.runner.wait_line(r"^pid (\d+)", timeout)
        if not match:
            raise DesktopError(f"{self.exe.name} did not start: {self.runner.output().strip()!r}")
        self.win_pid = int(match.group(1))
        return self.win_pid

    def ended(self) -> bool:
        return re.search(r"^exit \d+", self.runner.output(), re.MULTILINE) is not None

    def wait_exit(self, timeout: float) -> int | None:
        """The full exit code once the program has ended, None if it still runs after the timeout."""
        match = self.runner.wait_line(r"^exit (\d+)", timeout)
        if match:
            self.runner.wait(5.0)
            return int(match.group(1))
        if not self.runner.running():
            raise DesktopError(f"the probe watching {self.exe.name} ended early: {self.runner.output().strip()!r}")
        return None

    def kill(self) -> None:
        """Ends the program by its Windows PID (TerminateProcess), then its watcher by its Unix PID."""
        if self.win_pid is not None and not self.ended():
            self.desk.probe("kill", str(self.win_pid), timeout=10.0)
        self.runner.wait(3.0)
        self.runner.kill()


class Desktop:
    def __init__(
        self,
        helpers: Path,
        prefix_dir: Path,
        use_user_display: bool = False,
        verbose: bool = False,
        log=print,
    ):
        self.helpers = helpers
        self.prefix_dir = prefix_dir
        self.prefix = prefix_dir / "prefix"
        self.logs = prefix_dir / "logs"
        self.use_user_display = use_user_display
        self.verbose = verbose
        self.log = log
        self.display: str | None = None
        self.xvfb: subprocess.Popen | None = None
        self.explorer: subprocess.Popen | None = None
        self.trayholder: Background | None = None
        self.lock_file = None
        self.procs: list[subprocess.Popen] = []
        self.procs_lock = threading.Lock()
        self.counter = 0
        self.env: dict[str, str] = {}

    # --- Processes --------------------------------------------------------------------------------

    def _track(self, popen: subprocess.Popen) -> subprocess.Popen:
        with self.procs_lock:
            self.procs = [p for p in self.procs if p.poll() is None]
            self.procs.append(popen)
        return popen

    def end_process(self, popen: subprocess.Popen | None, grace: float = 2.0) -> None:
        """Ends one process that this session started, by its PID: SIGTERM, then SIGKILL."""
        if popen is None or popen.poll() is not None:
            return
        try:
            os.kill(popen.pid, signal.SIGTERM)
            popen.wait(timeout=grace)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.kill(popen.pid, signal.SIGKILL)
                popen.wait(timeout=5)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass

    def end_all(self) -> None:
        with self.procs_lock:
            procs = list(self.procs)
        for popen in procs:
            self.end_process(popen, grace=0.5)

    def _log_path(self, name: str) -> Path:
        self.counter += 1
        self.logs.mkdir(parents=True, exist_ok=True)
        safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", name)[:60]
        return self.logs / f"{self.counter:04d}-{safe}.log"

    def _spawn(self, argv: list[str], name: str, session: bool = True) -> tuple[subprocess.Popen, Path]:
        out_path = self._log_path(name)
        with open(out_path, "wb") as out:
            popen = subprocess.Popen(
                argv,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=subprocess.STDOUT,
                env=self.env,
                start_new_session=session,
            )
        return self._track(popen), out_path

    def _run_quiet(self, argv: list[str], name: str, timeout: float) -> int:
        """Runs a command with its output to a log file (never to a pipe: the first Wine process of a
        prefix hands its streams to the services it starts, and a pipe would never close)."""
        popen, out_path = self._spawn(argv, name)
        try:
            return popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.end_process(popen)
            raise DesktopError(f"{' '.join(argv)} took more than {timeout:.0f} s (log {out_path})")

    # --- Wine programs --------------------------------------------------------------------------

    def helper(self, name: str) -> Path:
        path = self.helpers / name
        if not path.is_file():
            raise DesktopError(f"helper {path} is missing (build the win32 preset)")
        return path

    def probe(self, *args: str, timeout: float = 15.0) -> ProbeResult:
        """Runs probe.exe with the arguments and waits for it (at most timeout seconds)."""
        argv = ["wine", str(self.helper("probe.exe")), *args]
        start = time.monotonic()
        popen = self._track(
            subprocess.Popen(
                argv,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
                env=self.env,
                start_new_session=True,
            )
        )
        try:
            out, _ = popen.communicate(timeout=timeout)
            rc = popen.returncode
        except subprocess.TimeoutExpired:
            self.end_process(popen)
            out, rc = b"", -9
            raise DesktopError(f"probe {' '.join(args)} did not answer within {timeout:.1f} s")
        result = ProbeResult(list(args), rc, out.decode("utf-8", errors="replace"), time.monotonic() - start)
        if self.verbose:
            self.log(f"    {result} ({result.seconds:.2f} s)")
        return result

    def probe_background(self, *args: str) -> Background:
        """Starts probe.exe in the background (for traces and long waits), output to a file."""
        popen, out_path = self._spawn(["wine", str(self.helper("probe.exe")), *args], "probe-" + "-".join(args[:2]))
        return Background(self, "probe " + " ".join(args), popen, out_path)

    def start_program(self, exe: Path, *args: str) -> Program:
        """Starts a Windows program through `probe start` and returns once its PID is known."""
        popen, out_path = self._spawn(
            ["wine", str(self.helper("probe.exe")), "start", winpath(exe), *args], "start-" + exe.name
        )
        program = Program(self, exe, Background(self, "start " + exe.name, popen, out_path))
        program.wait_started()
        if self.verbose:
            self.log(f"    started {exe.name}: Windows PID {program.win_pid}, Unix PID of its watcher {popen.pid}")
        return program

    def start_wine(self, exe: Path, *args: str, name: str | None = None) -> Background:
        """Starts `wine exe args` in the background, output to a file."""
        popen, out_path = self._spawn(["wine", str(exe), *args], name or exe.name)
        return Background(self, exe.name, popen, out_path)

    def run_wine(self, exe: Path, *args: str, timeout: float = 60.0) -> tuple[int | None, str]:
        """Runs `wine exe args` to its end; returns (exit code modulo 256 or None on timeout, output)."""
        job = self.start_wine(exe, *args)
        rc = job.wait(timeout)
        if rc is None:
            job.kill()
        return rc, job.output()

    def xdotool(self, *args: str, timeout: float = 10.0) -> str:
        done = subprocess.run(
            ["xdotool", *args],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            env=self.env,
            timeout=timeout,
            check=False,
        )
        if done.returncode != 0:
            raise DesktopError(f"xdotool {' '.join(args)}: {done.stderr.decode(errors='replace').strip()}")
        return done.stdout.decode(errors="replace")

    def desktop_window(self) -> str | None:
        """The X window id of the Wine virtual desktop, None while there is none."""
        try:
            done = subprocess.run(["xdotool", "search", "--name", f"^{DESKTOP_NAME} - Wine desktop$"],
                                  stdin=subprocess.DEVNULL, capture_output=True, env=self.env, timeout=10,
                                  check=False)
        except subprocess.TimeoutExpired:
            return None
        found = done.stdout.decode(errors="replace").split()
        return found[0] if found else None

    def screenshot(self, path: Path) -> Path:
        """Saves a PNG of the virtual desktop (the whole screen on its own Xvfb)."""
        path.parent.mkdir(parents=True, exist_ok=True)
        window = (self.desktop_window() or "root") if self.use_user_display else "root"
        done = subprocess.run(
            ["import", "-window", window, str(path)],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            env=self.env,
            timeout=30,
            check=False,
        )
        if done.returncode != 0 or not path.is_file():
            raise DesktopError(f"screenshot {path}: {done.stderr.decode(errors='replace').strip()}")
        return path

    # --- Set-up and tear-down -------------------------------------------------------------------

    def _base_env(self) -> dict[str, str]:
        env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
        env.update(
            WINEPREFIX=str(self.prefix),
            WINEARCH="win32",
            WINEDEBUG="-all",
            # No Mono or Gecko: their install prompts would be message boxes of their own.
            WINEDLLOVERRIDES="mscoree,mshtml=",
            # Code page 936, as on a Chinese Windows: the program's texts are GBK.
            LC_ALL="zh_CN.UTF-8",
            LANG="zh_CN.UTF-8",
        )
        return env

    def _lock(self) -> None:
        self.prefix_dir.mkdir(parents=True, exist_ok=True)
        self.lock_file = open(self.prefix_dir / "lock", "w")
        try:
            fcntl.flock(self.lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise DesktopError(f"{self.prefix_dir} is in use by another run (lock {self.prefix_dir / 'lock'})")

    def _start_xvfb(self) -> None:
        read_fd, write_fd = os.pipe()
        try:
            self.xvfb = self._track(
                subprocess.Popen(
                    ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{SCREEN_W}x{SCREEN_H}x24",
                     "-nolisten", "tcp", "-noreset"],
                    stdin=subprocess.DEVNULL,
                    stdout=open(self._log_path("xvfb"), "wb"),
                    stderr=subprocess.STDOUT,
                    pass_fds=(write_fd,),
                    start_new_session=True,
                )
            )
            os.close(write_fd)
            write_fd = -1
            number = b""
            deadline = time.monotonic() + 20
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.xvfb.poll() is not None:
                    raise DesktopError("Xvfb did not start")
                ready, _, _ = select.select([read_fd], [], [], remaining)
                if ready:
                    chunk = os.read(read_fd, 16)
                    if not chunk:
                        raise DesktopError("Xvfb did not report its display")
                    number += chunk
            self.display = ":" + number.decode().strip()
        finally:
            os.close(read_fd)
            if write_fd >= 0:
                os.close(write_fd)

    def _registry_ready(self) -> bool:
        try:
            text = (self.prefix / "user.reg").read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return False
        return (
            f'"Desktop"="{DESKTOP_NAME}"' in text
            and f'"{DESKTOP_NAME}"="{SCREEN_W}x{SCREEN_H}"' in text
        )

    def _prepare_prefix(self) -> None:
        fresh = not (self.prefix / "drive_c" / "windows").is_dir()
        if fresh:
            self.log(f"  creating the Wine prefix {self.prefix} (once, about 15 s)")
            shutil.rmtree(self.prefix, ignore_errors=True)
            self._run_quiet(["wineboot", "-i"], "wineboot", timeout=300)
        if fresh or not self._registry_ready():
            for argv in (
                ["wine", "reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", DESKTOP_NAME, "/f"],
                ["wine", "reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", DESKTOP_NAME,
                 "/d", f"{SCREEN_W}x{SCREEN_H}", "/f"],
            ):
                if self._run_quiet(argv, "reg-add", timeout=120) != 0:
                    raise DesktopError(f"{' '.join(argv)} failed")
            # A clean start: no process of the set-up stays on a desktop of its own.
            self.wineserver_kill()

    def wineserver_kill(self) -> None:
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30, check=False)

    def _start_shell(self) -> None:
        """wineserver -p, the explorer desktop with its taskbar, and the tray holder."""
        # wineserver -p puts itself in the background and stays until `wineserver -k`.
        self._run_quiet(["wineserver", "-p"], "wineserver", timeout=30)
        # The explorer started here hands the desktop to a process of its own and ends; the desktop's
        # X window tells when it is there (a Wine program started before that would start a second one).
        self.explorer, _ = self._spawn(["wine", "explorer", f"/desktop={DESKTOP_NAME},{SCREEN_W}x{SCREEN_H}"],
                                       "explorer")
        deadline = time.monotonic() + 60
        while not self.desktop_window():
            if time.monotonic() >= deadline:
                raise DesktopError("the Wine desktop window did not appear")
            time.sleep(0.1)
        shown = self.probe("--top", "wait", TASKBAR, "-", "1", "20000", timeout=40)
        if not shown.ok:
            raise DesktopError(f"the desktop's taskbar did not appear: {shown}")
        acp = self.probe("acp")
        if acp.get("acp") != "936":
            raise DesktopError(f"the ANSI code page is {acp.get('acp')}, not 936 (is LC_ALL=zh_CN.UTF-8 honoured?)")
        self.trayholder = self.start_wine(self.helper("trayholder.exe"), name="trayholder")
        if not self.trayholder.wait_line(r"^ready \d+", 30):
            raise DesktopError(f"trayholder.exe did not add its icon: {self.trayholder.output().strip()!r}")

    def start(self) -> None:
        self._lock()
        shutil.rmtree(self.logs, ignore_errors=True)
        self.env = self._base_env()
        if self.use_user_display:
            self.display = os.environ.get("DISPLAY")
            if not self.display:
                raise DesktopError("DISPLAY is not set")
        else:
            self._start_xvfb()
        self.env["DISPLAY"] = self.display
        # A wineserver left over from an earlier run that was cut short.
        self.wineserver_kill()
        self._prepare_prefix()
        self._start_shell()

    def restart_shell(self) -> None:
        """After an abnormal end: everything in the prefix ended, a new desktop and tray holder."""
        self.end_all_wine()
        self._start_shell()

    def end_all_wine(self) -> None:
        """Ends every Wine process this session started (by PID), then the rest with wineserver -k."""
        keep = self.xvfb
        with self.procs_lock:
            procs = [p for p in self.procs if p is not keep]
        for popen in procs:
            self.end_process(popen, grace=0.5)
        self.wineserver_kill()
        self.explorer = None
        self.trayholder = None

    def stop(self) -> None:
        try:
            if self.env:
                self.end_all_wine()
        finally:
            self.end_process(self.xvfb)
            self.xvfb = None
            if self.lock_file is not None:
                self.lock_file.close()
                self.lock_file = None
