#!/usr/bin/env python3
"""End-to-end tests of the real vantorel.exe under Wine.

    python3 tests/e2e/run_e2e.py [--exe PATH] [--only NAME...] [--keep] [--screenshots DIR] [-v]
    python3 tests/e2e/run_e2e.py --list
    python3 tests/e2e/run_e2e.py --run-tool [--layout LAYOUT]      (what scripts/run does)

Sets up a Wine virtual desktop with a taskbar (see winedesk.py), then runs the named cases, each
within its own time limit, and resets the shell between them. Prints one line per case
("PASS name (1.23 s)" or "FAIL name: reason") and ends with "N passed, N failed"; the exit code is
non-zero when a case failed.

A case is a function decorated with @case(name, ...) taking a Ctx. Ctx holds the helpers a case
needs: wait for a window state, trace it, start the tool, build a desktop tree with the fixture,
read and dismiss message boxes, check exit codes, take screenshots, drive the mouse with xdotool.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

from winedesk import BUILD, ROOT, TASKBAR, Background, Desktop, DesktopError, Program, ProbeResult  # noqa: E402

DEFAULT_EXE = BUILD / "win32" / "vantorel.exe"
DEFAULT_HELPERS = BUILD / "win32" / "tests" / "e2e"
DEFAULT_NATIVE = BUILD / "win32" / "tests" / "native" / "table_test.exe"

HOST = "VantorelHostWindow"
MSGBOX = "#32770"
LISTVIEW = "SysListView32"
LISTVIEW_TITLE = "FolderView"
MUTEX = "Lumeko"
TITLE_INFO = "信息："
TITLE_INFO_GBK = "D0C5CFA2A3BA"
TEXT_SECOND_INSTANCE = "本工具禁止多开"
MENU_SUSPEND = "关闭自动隐藏"
MENU_RESUME = "开启自动隐藏"
MENU_EXIT = "退出"
GBK = {MENU_SUSPEND: "B9D8B1D5D7D4B6AFD2FEB2D8", MENU_RESUME: "BFAAC6F4D7D4B6AFD2FEB2D8", MENU_EXIT: "CDCBB3F6"}

# The notification area of the 1024 x 768 desktop: the tray holder's icon sits in the last slot,
# each further icon 20 px to its left.
TRAY_Y = 758
TRAY_HOLDER_X = 1014
TRAY_PITCH = 20
TRAY_HOLDER_COLOUR = "40E040"

GLOBAL_TIMEOUT = 1500.0

# Where the pointer rests between cases: the empty desktop, away from the fixture's windows, the
# taskbar and the notification area.
NEUTRAL_X, NEUTRAL_Y = 300, 600

STATE_WORDS = {"1": "visible", "0": "hidden", "hidden": "hidden or gone", "exists": "present", "gone": "gone"}


class CaseFailure(Exception):
    pass


class CaseTimeout(CaseFailure):
    pass


@dataclass
class Case:
    name: str
    func: Callable[["Ctx"], None]
    timeout: float
    needs_exe: bool
    doc: str = ""


CASES: list[Case] = []


def case(name: str, timeout: float = 30.0, needs_exe: bool = True):
    """Registers a case. needs_exe: the case fails at once when the tool's executable is missing."""

    def register(func: Callable[["Ctx"], None]):
        CASES.append(Case(name, func, timeout, needs_exe, (func.__doc__ or "").strip()))
        return func

    return register


@dataclass
class Trace:
    """The visibility changes that `probe trace` saw: [(ms, state)], state "1", "0" or "none"."""

    changes: list[tuple[float, str]] = field(default_factory=list)
    end: float = 0.0

    @staticmethod
    def parse(text: str) -> "Trace":
        trace = Trace()
        for line in text.splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[0] == "at":
                trace.changes.append((float(parts[1]), parts[2]))
            elif len(parts) >= 2 and parts[0] == "end":
                trace.end = float(parts[1])
        return trace

    def states(self) -> list[str]:
        return [state for _, state in self.changes]

    def first(self, state: str) -> float | None:
        for at, s in self.changes:
            if s == state:
                return at
        return None

    def __str__(self) -> str:
        return " ".join(f"{at:.0f}ms:{s}" for at, s in self.changes) + f" end:{self.end:.0f}ms"


@dataclass
class MenuItem:
    position: int
    id: int
    state: int
    ansi_hex: str
    text: str


@dataclass
class Menu:
    """A popup menu as menuhook.dll read it, and its rectangle on the screen."""

    items: list[MenuItem]
    rect: list[int]

    @staticmethod
    def parse(text: str, rect: list[int]) -> "Menu":
        items = []
        for line in text.splitlines():
            parts = line.split(" ", 5)
            if parts[0] == "item" and len(parts) >= 5:
                items.append(MenuItem(int(parts[1]), int(parts[2]), int(parts[3], 16),
                                      "" if parts[4] == "-" else parts[4], parts[5] if len(parts) > 5 else ""))
        if len(rect) != 4:
            raise CaseFailure("the popup menu has no rectangle")
        return Menu(items, rect)

    def texts(self) -> list[str]:
        return [item.text for item in self.items]

    def index(self, text: str) -> int:
        for item in self.items:
            if item.text == text:
                return item.position
        raise CaseFailure(f"no menu item {text!r} in {self.texts()}")


class Ctx:
    """What a case works with. Every wait is bounded by the case's own deadline."""

    def __init__(self, runner: "Runner", case: Case):
        self.runner = runner
        self.desk: Desktop = runner.desk
        self.case = case
        self.deadline = time.monotonic() + case.timeout
        self.programs: list[Program] = []
        self.fixtures: list[tuple[Background, str]] = []
        self.backgrounds: list[Background] = []
        self.notes: list[str] = []
        self.dirty: str | None = None
        self.shots = 0

    # --- Basics ---------------------------------------------------------------------------------

    @property
    def exe(self) -> Path:
        return self.runner.exe

    def remaining(self) -> float:
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise CaseTimeout(f"timed out after {self.case.timeout:.0f} s")
        return left

    def check(self, condition: bool, message: str) -> None:
        if not condition:
            raise CaseFailure(message)

    def note(self, text: str) -> None:
        self.notes.append(text)

    def mark_dirty(self, reason: str) -> None:
        """The shell needs a restart after this case (e.g. a tray icon left behind)."""
        self.dirty = reason

    def probe(self, *args: str, timeout: float = 15.0) -> ProbeResult:
        return self.desk.probe(*args, timeout=min(timeout, self.remaining() + 1.0))

    def _ms_budget(self, timeout_ms: float) -> tuple[str, float]:
        """A probe timeout that fits in the case's deadline, and the matching process timeout."""
        ms = max(0.0, min(timeout_ms, (self.remaining() - 1.0) * 1000.0))
        return str(int(ms)), ms / 1000.0 + 10.0

    # --- Windows ----------------------------------------------------------------------------------

    @staticmethod
    def _scope(cls: str, pid: int | None) -> list[str]:
        scope = ["--pid", str(pid)] if pid else []
        # Top-level classes are looked up among top-level windows only: that is much faster.
        if cls not in (LISTVIEW, "SHELLDLL_DefView", "Button", "Static"):
            scope.append("--top")
        return scope

    def state(self, cls: str, title: str = "-", pid: int | None = None) -> str:
        """ "1" (visible), "0" (exists, hidden) or "none"."""
        result = self.probe(*self._scope(cls, pid), "visible", cls, title)
        return result.lines[0] if result.lines else "?"

    def wait(self, cls: str, state: str, timeout_ms: float = 5000, title: str = "-",
             pid: int | None = None, what: str | None = None) -> float:
        """Waits until a window state holds (see probe.cpp); returns the milliseconds it took."""
        ms, timeout = self._ms_budget(timeout_ms)
        result = self.probe(*self._scope(cls, pid), "wait", cls, title, state, ms, timeout=timeout)
        if not result.ok:
            raise CaseFailure(f"{what or cls} did not become {STATE_WORDS.get(state, state)} within "
                              f"{int(timeout_ms)} ms ({result.get('timeout')})")
        return result.number("waited")

    def steady(self, cls: str, state: str, duration_ms: float, title: str = "-",
               pid: int | None = None, what: str | None = None) -> None:
        """Checks that a window state holds at every sample for the whole duration."""
        ms, timeout = self._ms_budget(duration_ms)
        result = self.probe(*self._scope(cls, pid), "steady", cls, title, state, ms, timeout=timeout)
        if not result.ok:
            raise CaseFailure(f"{what or cls} was not {STATE_WORDS.get(state, state)} throughout "
                              f"{int(duration_ms)} ms ({result.get('broke')})")

    def trace(self, cls: str, duration_ms: float, title: str = "-", interval_ms: int = 5,
              pid: int | None = None) -> Background:
        """Starts recording the visibility changes of a window; read them with trace_result."""
        job = self.desk.probe_background(*self._scope(cls, pid), "trace", cls, title, str(int(duration_ms)),
                                         str(interval_ms))
        self.backgrounds.append(job)
        if not job.wait_line(r"^at ", min(10.0, self.remaining())):
            raise CaseFailure(f"the trace of {cls} did not start: {job.output().strip()!r}")
        return job

    def trace_result(self, job: Background) -> Trace:
        if job.wait(self.remaining()) is None:
            raise CaseTimeout(f"the trace ({job.name}) did not end")
        return Trace.parse(job.output())

    def show(self, cls: str, title: str | None = None) -> None:
        self.probe(*self._scope(cls, None), "show", cls, *([title] if title else []))

    def hide(self, cls: str, title: str | None = None) -> None:
        self.probe(*self._scope(cls, None), "hide", cls, *([title] if title else []))

    # --- Message boxes --------------------------------------------------------------------------

    def msgbox(self, timeout_ms: float = 5000, pid: int | None = None) -> ProbeResult:
        """Waits for a visible message box and returns its description (title, text, buttons)."""
        ms, timeout = self._ms_budget(timeout_ms)
        result = self.probe(*(["--pid", str(pid)] if pid else []), "msgbox", ms, timeout=timeout)
        if not result.ok:
            raise CaseFailure(f"no message box appeared within {int(timeout_ms)} ms")
        return result

    def dismiss(self, timeout_ms: float = 5000, pid: int | None = None, how: str = "click") -> ProbeResult:
        """Presses OK on the visible message box (BM_CLICK, or WM_COMMAND IDOK with how="command")."""
        ms, timeout = self._ms_budget(timeout_ms)
        result = self.probe(*(["--pid", str(pid)] if pid else []), "dismiss", ms, how, timeout=timeout)
        if not result.ok:
            raise CaseFailure(f"could not dismiss a message box: {result}")
        return result

    def no_msgbox(self, duration_ms: float) -> None:
        self.steady(MSGBOX, "hidden", duration_ms, what="a message box")

    # --- Programs -------------------------------------------------------------------------------

    def start_tool(self, exe: Path | None = None, *args: str) -> Program:
        program = self.desk.start_program(exe or self.exe, *args)
        self.programs.append(program)
        return program

    def wait_host_window(self, program: Program, timeout_ms: float = 10000) -> float:
        return self.wait(HOST, "exists", timeout_ms, pid=program.win_pid, what="the host window")

    def expect_exit(self, program: Program, code: int, timeout: float = 10.0) -> float:
        """Waits for the program's end and checks its full 32-bit exit code; returns the seconds."""
        start = time.monotonic()
        got = program.wait_exit(min(timeout, self.remaining()))
        if got is None:
            raise CaseFailure(f"{program.exe.name} still runs {timeout:.0f} s later (expected exit code {code})")
        self.check(got == code, f"exit code {got} (0x{got:08X}), expected {code} (0x{code & 0xFFFFFFFF:08X})")
        return time.monotonic() - start

    def fixture(self, layout: str) -> Background:
        """Builds a desktop window tree (see fixture.cpp) and waits until it is there."""
        event = f"VantorelE2EStop{len(self.fixtures)}_{os.getpid()}"
        job = self.desk.start_wine(self.desk.helper("fixture.exe"), layout, "--stop", event, name="fixture-" + layout)
        self.fixtures.append((job, event))
        if not job.wait_line(r"^ready \d+", min(15.0, self.remaining())):
            raise CaseFailure(f"the fixture '{layout}' did not come up: {job.output().strip()!r}")
        return job

    def end_fixture(self, job: Background, event: str) -> None:
        if job.running():
            self.desk.probe("setevent", event, timeout=10)
            if job.wait(5.0) is None:
                job.kill()

    # --- Screen and input -----------------------------------------------------------------------

    def screenshot(self, name: str) -> Path | None:
        """Saves a PNG under --screenshots DIR (nothing without that option)."""
        if self.runner.shots_dir is None:
            return None
        self.shots += 1
        path = self.runner.shots_dir / f"{self.case.name}-{self.shots:02d}-{name}.png"
        return self.desk.screenshot(path)

    def wait_idle(self, min_ms: float, timeout_ms: float = 10000) -> float:
        """Waits until the desktop has had no input for min_ms; returns the idle time seen."""
        end = time.monotonic() + timeout_ms / 1000.0
        while True:
            idle = self.probe("idle").number("idle")
            if idle >= min_ms:
                return idle
            if time.monotonic() >= end:
                raise CaseFailure(f"the desktop never was idle for {min_ms:.0f} ms (idle {idle:.0f} ms)")
            time.sleep(min(0.2, max(0.01, (min_ms - idle) / 1000.0)))

    def xdotool(self, *args: str) -> str:
        return self.desk.xdotool(*args, timeout=min(10.0, self.remaining()))

    def settle_input(self, idle_ms: float = 1500) -> float:
        """Moves the pointer (input) and waits until idle_ms have passed without input. Every case
        with the tool starts so: long enough after the input that the idle watcher (which shows
        things below 1 s) has no reason to act, soon enough that it cannot hide anything (above 3 s)
        for a while after the tool's start. Returns the idle time seen."""
        self.xdotool("mousemove", str(NEUTRAL_X), str(NEUTRAL_Y))
        self.xdotool("mousemove", str(NEUTRAL_X + 1), str(NEUTRAL_Y + 1))
        return self.wait_idle(idle_ms)

    def tray_slot_x(self, slot: int) -> int:
        """The x of a notification icon's centre: slot 0 is the tray holder, 1 the next to its left."""
        return TRAY_HOLDER_X - TRAY_PITCH * slot

    def tray_background(self) -> str:
        """The colour of the taskbar's empty part, as RRGGBB (the taskbar must be visible)."""
        return self.probe("pixel", "600", str(TRAY_Y)).get("pixel", "")

    def wait_tray_icon(self, slot: int = 1, timeout_ms: float = 5000) -> float:
        """Waits until an icon is drawn in the notification area's slot (the taskbar must be visible);
        returns the milliseconds it took."""
        start = time.monotonic()
        x = self.tray_slot_x(slot) - 8
        while True:
            background = self.tray_background()
            region = self.probe("region", str(x), str(TRAY_Y - 8), "16", "16", background)
            if region.ok and region.number("differ") > 0:
                return (time.monotonic() - start) * 1000.0
            if (time.monotonic() - start) * 1000.0 >= timeout_ms:
                raise CaseFailure(f"no icon in notification slot {slot} within {int(timeout_ms)} ms")
            time.sleep(0.05)

    def open_tray_menu(self, slot: int = 1, timeout_ms: float = 5000) -> "Menu":
        """Right-clicks the notification icon in the slot and reads the popup menu that opens (through
        menuhook.dll in the tool's GUI thread)."""
        ms, _ = self._ms_budget(timeout_ms)
        job = self.desk.probe_background("--top", "menu", HOST, ms, "popup")
        self.backgrounds.append(job)
        if not job.wait_line(r"^hooked", min(10.0, self.remaining())):
            raise CaseFailure(f"could not hook the tool's GUI thread: {job.output().strip()!r}")
        self.xdotool("mousemove", str(self.tray_slot_x(slot)), str(TRAY_Y))
        self.xdotool("click", "3")
        if job.wait(float(ms) / 1000.0 + 5.0) is None or job.popen.returncode != 0:
            raise CaseFailure(f"no popup menu was opened: {job.output().strip()!r}")
        self.wait("#32768", "1", 3000, what="the popup menu")
        rect = self.probe("--top", "rect", "#32768").get("rect", "")
        return Menu.parse(job.output(), [int(v) for v in rect.split()])

    def click_menu_item(self, menu: "Menu", index: int) -> None:
        """Clicks an item of the open popup menu (Wine's menus take no keys from xdotool)."""
        left, top, right, bottom = menu.rect
        step = (bottom - top - 6) / max(1, len(menu.items))
        self.xdotool("mousemove", str((left + right) // 2), str(int(top + 3 + step * (index + 0.5))))
        self.xdotool("click", "1")

    # --- End of a case --------------------------------------------------------------------------

    def cleanup(self) -> list[str]:
        """Ends what the case started; returns what had to be ended by force."""
        forced = []
        for program in self.programs:
            if not program.ended():
                forced.append(f"{program.exe.name} (Windows PID {program.win_pid}) still ran")
                try:
                    program.kill()
                except DesktopError:
                    program.runner.kill()
            else:
                program.runner.wait(3.0)
                program.runner.kill()
        for job, event in self.fixtures:
            try:
                self.end_fixture(job, event)
            except DesktopError:
                job.kill()
        for job in self.backgrounds:
            if job.running():
                job.kill()
        return forced


class Runner:
    def __init__(self, args: argparse.Namespace):
        self.args = args
        self.exe: Path = Path(args.exe).resolve()
        self.native: Path = Path(args.native).resolve()
        self.shots_dir: Path | None = Path(args.screenshots).resolve() if args.screenshots else None
        self.desk = Desktop(
            helpers=Path(args.helpers).resolve(),
            prefix_dir=Path(args.prefix).resolve(),
            verbose=args.verbose,
            log=self.log,
        )
        self.passed = 0
        self.failed = 0
        self.print_lock = threading.Lock()
        self.finished = threading.Event()

    def log(self, text: str) -> None:
        with self.print_lock:
            print(text, flush=True)

    def reset_shell(self, ctx: Ctx | None = None) -> None:
        """Brings the desktop back to its starting state between cases; restarts it when a case left
        something behind that cannot be undone from outside."""
        desk = self.desk
        reasons = []
        if ctx is not None and ctx.dirty:
            reasons.append(ctx.dirty)
        if desk.trayholder is None or not desk.trayholder.running():
            reasons.append("the tray holder is gone")
        if not reasons:
            try:
                if desk.probe("--top", "visible", HOST).lines[:1] != ["none"]:
                    reasons.append("a host window is left")
                if desk.probe("--top", "visible", MSGBOX).lines[:1] == ["1"]:
                    reasons.append("a message box is left")
                if desk.probe("hasmutex", MUTEX).lines[:1] != ["0"]:
                    reasons.append(f"the mutex {MUTEX} is still held")
                desk.probe("--top", "show", TASKBAR)
                if not desk.probe("--top", "wait", TASKBAR, "-", "1", "3000").ok:
                    reasons.append("the taskbar does not show")
                else:
                    # A notification icon left by an ended program (a ghost) sits left of the holder's.
                    holder = desk.probe("find", TRAY_HOLDER_COLOUR, "900", "748", "124", "20")
                    ghost_x = TRAY_HOLDER_X - TRAY_PITCH - 8
                    background = desk.probe("pixel", "600", str(TRAY_Y)).get("pixel", "")
                    region = desk.probe("region", str(ghost_x), "750", "16", "16", background)
                    if not holder.ok:
                        reasons.append("the tray holder's icon is not in its place")
                    elif region.ok and region.number("differ") > 0:
                        reasons.append("an icon is left in the notification area")
                desk.probe("show", LISTVIEW, LISTVIEW_TITLE)
            except DesktopError as error:
                reasons.append(str(error))
        if reasons:
            if self.args.verbose:
                self.log(f"  restarting the shell: {'; '.join(reasons)}")
            desk.restart_shell()

    def run_case(self, c: Case) -> None:
        start = time.monotonic()
        ctx = Ctx(self, c)
        reason = None
        try:
            if c.needs_exe:
                if not self.exe.is_file():
                    raise CaseFailure(f"{self.exe} does not exist (build the win32 preset)")
                ctx.settle_input()
            c.func(ctx)
        except CaseFailure as failure:
            reason = str(failure)
        except DesktopError as error:
            reason = f"harness: {error}"
        except Exception as error:  # a bug in the case itself still ends as a failure line
            reason = f"{type(error).__name__}: {error}"
            if self.args.verbose:
                traceback.print_exc()
        try:
            forced = ctx.cleanup()
        except Exception as error:
            forced = [f"cleanup failed: {error}"]
        if forced:
            ctx.mark_dirty("; ".join(forced))
            if reason is None:
                reason = "left running: " + "; ".join(forced)
        seconds = time.monotonic() - start
        if reason is None:
            self.passed += 1
            extra = f" [{'; '.join(ctx.notes)}]" if ctx.notes and self.args.verbose else ""
            self.log(f"PASS {c.name} ({seconds:.2f} s){extra}")
        else:
            self.failed += 1
            self.log(f"FAIL {c.name}: {reason} ({seconds:.2f} s)")
            if ctx.notes:
                self.log(f"  notes: {'; '.join(ctx.notes)}")
            if reason.startswith("timed out") or reason.startswith("harness"):
                ctx.mark_dirty(reason)
        try:
            self.reset_shell(ctx)
        except DesktopError as error:
            self.log(f"  could not reset the shell ({error}); starting it again")
            self.desk.restart_shell()

    def summary(self) -> None:
        self.log(f"{self.passed} passed, {self.failed} failed")

    def select(self) -> list[Case]:
        if not self.args.only:
            return list(CASES)
        names = {c.name for c in CASES}
        unknown = [n for n in self.args.only if n not in names]
        if unknown:
            raise SystemExit(f"unknown case(s): {', '.join(unknown)}; --list shows them")
        return [c for c in CASES if c.name in self.args.only]

    def run(self) -> int:
        cases = self.select()
        deadline = time.monotonic() + self.args.timeout
        watchdog = threading.Thread(target=self._watchdog, args=(deadline, len(cases)), daemon=True)
        watchdog.start()
        done = 0
        try:
            start = time.monotonic()
            try:
                self.desk.start()
            except DesktopError as error:
                self.log(f"FAIL setup: {error}")
                self.failed = len(cases) or 1
                return 1
            self.log(f"desktop ready on display {self.desk.display} in {time.monotonic() - start:.1f} s "
                     f"(prefix {self.desk.prefix})")
            for c in cases:
                if time.monotonic() >= deadline:
                    self.log(f"FAIL {c.name}: the run's time limit of {self.args.timeout:.0f} s was reached")
                    self.failed += 1
                    continue
                try:
                    self.run_case(c)
                except DesktopError as error:
                    self.log(f"FAIL setup: the desktop could not be started again: {error}")
                    self.failed += len(cases) - done
                    done = len(cases)
                    break
                done += 1
            if self.args.keep:
                self.log(f"--keep: the desktop stays on DISPLAY={self.desk.display} "
                         f"WINEPREFIX={self.desk.prefix}; press Ctrl-C to end it")
                while True:
                    time.sleep(3600)
        except KeyboardInterrupt:
            self.log("interrupted")
            self.failed += len(cases) - done if done < len(cases) else 0
        finally:
            try:
                self.desk.stop()
            finally:
                with self.print_lock:
                    self.finished.set()
                self.summary()
        return 0 if self.failed == 0 else 1

    def _watchdog(self, deadline: float, count: int) -> None:
        """The last resort: past the run's time limit (plus a grace) everything is ended."""
        if self.finished.wait(timeout=max(0.0, deadline - time.monotonic()) + 120.0):
            return
        with self.print_lock:
            if self.finished.is_set():
                return
            print(f"FAIL run: the run's time limit of {self.args.timeout:.0f} s was exceeded; ending everything",
                  flush=True)
            try:
                self.desk.stop()
            except Exception:
                pass
            failed = max(self.failed, 1) + max(0, count - self.passed - self.failed - 1)
            print(f"{self.passed} passed, {failed} failed", flush=True)
            os._exit(1)


# ================================================================================================
# Cases
# ================================================================================================


@case("startup-no-desktop-tree", timeout=40)
def startup_no_desktop_tree(ctx: Ctx) -> None:
    """No desktop window tree: no message box, the host window stays hidden, the taskbar hides at
    once; a WM_QUIT with code 7 ends the tool with 7 and leaves the taskbar hidden."""
    ctx.check(ctx.state(TASKBAR) == "1", "the taskbar is not visible before the start")
    # Input just over 1 s before the start: the idle watcher neither shows (below 1 s) nor hides
    # (above 3 s) anything for the first 1.5 s or so, so a hide in that time is the start-up's own.
    ctx.settle_input(1100)
    host_trace = ctx.trace(HOST, 1500)
    box_trace = ctx.trace(MSGBOX, 1500)
    tool = ctx.start_tool()
    idle_at_start = ctx.probe("idle").number("idle")
    ctx.check(1000 <= idle_at_start < 2200, f"harness: the tool started {idle_at_start:.0f} ms after the last "
                                            "input, not 1.0-2.2 s")
    ctx.wait_host_window(tool)
    hidden_after = ctx.wait(TASKBAR, "0", 1000, what="the taskbar")
    idle = ctx.probe("idle").number("idle")
    ctx.note(f"taskbar hidden {hidden_after:.0f} ms after the host window was seen, idle {idle:.0f} ms")
    ctx.check(idle < 2900, f"the taskbar was hidden only after {idle:.0f} ms without input, not at the start")
    host = ctx.trace_result(host_trace)
    boxes = ctx.trace_result(box_trace)
    ctx.check("1" not in host.states(), f"the host window became visible: {host}")
    ctx.check(host.first("0") is not None, f"the host window never appeared in the trace: {host}")
    ctx.check("1" not in boxes.states(), f"a message box appeared: {boxes}")
    # More samples of the host window once it is up: still never visible.
    ctx.steady(HOST, "0", 1000, pid=tool.win_pid, what="the host window")
    ctx.check(ctx.state(TASKBAR) == "0", "the taskbar is visible again")
    ctx.screenshot("running")

    ctx.probe("--top", "quit", HOST, "7")
    ctx.mark_dirty("the tool ended by WM_QUIT leaves its notification icon")
    ctx.expect_exit(tool, 7, timeout=10)
    ctx.check(ctx.state(HOST) == "none", "the host window outlived the tool")
    ctx.steady(TASKBAR, "0", 500, what="the taskbar after the tool ended")
    ctx.screenshot("after-quit")


@case("quit-code-full-32-bits", timeout=30)
def quit_code_full_32_bits(ctx: Ctx) -> None:
    """The code of a WM_QUIT posted from outside is the exit code, all 32 bits of it."""
    code = 0xC0DE1234
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 3000, what="the taskbar")
    result = ctx.probe("--top", "quit", HOST, str(code))
    ctx.check(result.ok, f"could not post WM_QUIT: {result}")
    ctx.mark_dirty("the tool ended by WM_QUIT leaves its notification icon")
    ctx.expect_exit(tool, code, timeout=10)


@case("wm-close-ends-with-0", timeout=30)
def wm_close_ends_with_0(ctx: Ctx) -> None:
    """WM_CLOSE to the host window destroys it, and the tool ends with exit code 0."""
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 3000, what="the taskbar")
    result = ctx.probe("--top", "close", HOST)
    ctx.check(result.ok, f"could not post WM_CLOSE: {result}")
    ctx.expect_exit(tool, 0, timeout=10)
    ctx.check(ctx.state(HOST) == "none", "the host window outlived the tool")


@case("second-instance-refused", timeout=40)
def second_instance_refused(ctx: Ctx) -> None:
    """A second copy shows "本工具禁止多开" under the title "信息：" and ends with 0; the first runs on."""
    first = ctx.start_tool()
    ctx.wait_host_window(first)
    second = ctx.start_tool()
    box = ctx.msgbox(5000, pid=second.win_pid)
    ctx.check(box.get("title") == TITLE_INFO, f"message box title {box.get('title')!r}")
    ctx.check(box.get("title_ansi") == TITLE_INFO_GBK, f"title bytes {box.get('title_ansi')}")
    ctx.check(box.get("text") == TEXT_SECOND_INSTANCE, f"message box text {box.get('text')!r}")
    ctx.screenshot("second-instance-box")
    ctx.dismiss(5000, pid=second.win_pid)
    ctx.expect_exit(second, 0, timeout=10)
    ctx.check(not first.ended(), "the first copy ended too")
    first_host = ctx.state(HOST, pid=first.win_pid)
    ctx.check(first_host == "0", f"the first copy's host window is {first_host} (expected: there, hidden)")
    ctx.probe("--top", "close", HOST)
    ctx.expect_exit(first, 0, timeout=10)


@case("mutex-held-elsewhere", timeout=40)
def mutex_held_elsewhere(ctx: Ctx) -> None:
    """When another process holds the mutex "Lumeko", the tool refuses to run: the box, exit code 0,
    and the taskbar is left alone."""
    holder = ctx.desk.probe_background("mutex", MUTEX, "20000")
    ctx.backgrounds.append(holder)
    ctx.check(holder.wait_line(r"^created", 10) is not None, f"could not take the mutex: {holder.output()!r}")
    tool = ctx.start_tool()
    box = ctx.msgbox(5000, pid=tool.win_pid)
    ctx.check(box.get("text") == TEXT_SECOND_INSTANCE, f"message box text {box.get('text')!r}")
    ctx.check(box.get("title") == TITLE_INFO, f"message box title {box.get('title')!r}")
    ctx.dismiss(5000, pid=tool.win_pid)
    ctx.expect_exit(tool, 0, timeout=10)
    ctx.check(ctx.state(HOST, pid=tool.win_pid) == "none", "the refused tool's host window outlived it")
    ctx.check(ctx.state(TASKBAR) == "1", "the refused tool hid the taskbar")


@case("tray-menu-toggle", timeout=45)
def tray_menu_toggle(ctx: Ctx) -> None:
    """Right-clicking the tray icon opens a menu "关闭自动隐藏" / "退出" (GBK captions); choosing the
    first item turns it into "开启自动隐藏", and choosing that turns it back."""
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 3000, what="the taskbar")
    ctx.show(TASKBAR)  # to see the icon; the tool hides it again only after 3 s without input
    ctx.wait_tray_icon(1)
    menu = ctx.open_tray_menu()
    ctx.screenshot("menu")
    ctx.check(menu.texts() == [MENU_SUSPEND, MENU_EXIT], f"menu items {menu.texts()}")
    for item in menu.items:
        ctx.check(item.ansi_hex == GBK[item.text], f"the bytes of {item.text!r} are {item.ansi_hex}")
    ctx.click_menu_item(menu, menu.index(MENU_SUSPEND))
    ctx.wait("#32768", "hidden", 3000, what="the popup menu")
    menu = ctx.open_tray_menu()
    ctx.check(menu.texts() == [MENU_RESUME, MENU_EXIT], f"menu items after suspending: {menu.texts()}")
    ctx.click_menu_item(menu, menu.index(MENU_RESUME))
    ctx.wait("#32768", "hidden", 3000, what="the popup menu")
    menu = ctx.open_tray_menu()
    ctx.check(menu.texts() == [MENU_SUSPEND, MENU_EXIT], f"menu items after resuming: {menu.texts()}")
    ctx.click_menu_item(menu, menu.index(MENU_EXIT))
    ctx.expect_exit(tool, 0, timeout=10)


@case("tray-menu-exit", timeout=40)
def tray_menu_exit(ctx: Ctx) -> None:
    """Clicking "退出" ends the tool with 0, removes its tray icon and leaves the taskbar shown."""
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 3000, what="the taskbar")
    ctx.show(TASKBAR)
    ctx.wait_tray_icon(1)
    menu = ctx.open_tray_menu()
    ctx.click_menu_item(menu, menu.index(MENU_EXIT))
    ctx.expect_exit(tool, 0, timeout=10)
    ctx.steady(TASKBAR, "1", 500, what="the taskbar after 退出")
    background = ctx.tray_background()
    region = ctx.probe("region", str(ctx.tray_slot_x(1) - 8), str(TRAY_Y - 8), "16", "16", background)
    ctx.check(region.ok and region.number("differ") == 0, "the tool's icon stays in the notification area")
    ctx.screenshot("after-exit")


@case("exit-command-shows-everything", timeout=45)
def exit_command_shows_everything(ctx: Ctx) -> None:
    """The "退出" command, given while the tool has hidden everything and no input comes (so no
    watcher shows anything), shows the taskbar again and ends the tool with 0."""
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 3000, what="the taskbar")
    ctx.show(TASKBAR)
    ctx.wait_tray_icon(1)
    menu = ctx.open_tray_menu()
    exit_id = menu.items[menu.index(MENU_EXIT)].id
    # Close the menu without choosing: a click on the empty desktop, far from anything.
    ctx.xdotool("mousemove", "300", "500")
    ctx.xdotool("click", "1")
    ctx.wait("#32768", "hidden", 3000, what="the popup menu")
    # The clicks showed everything; after 3 s without input the tool hides it again by itself.
    ctx.wait(TASKBAR, "0", 6000, what="the taskbar (hidden after 3 s without input)")
    ctx.check(ctx.probe("idle").number("idle") >= 3000, "the taskbar was hidden before 3 s without input")
    ctx.probe("--top", "post", HOST, "-", "0x0111", str(exit_id), "0")  # WM_COMMAND
    shown = ctx.wait(TASKBAR, "1", 2000, what="the taskbar after the exit command")
    ctx.note(f"taskbar shown {shown:.0f} ms after the exit command")
    ctx.expect_exit(tool, 0, timeout=10)
    ctx.check(ctx.state(TASKBAR) == "1", "the taskbar is hidden after the tool ended")


def _native_table_test(ctx: Ctx, *args: str) -> tuple[int | None, str]:
    if not ctx.runner.native.is_file():
        raise CaseFailure(f"{ctx.runner.native} does not exist (the win32 build makes it)")
    return ctx.desk.run_wine(ctx.runner.native, *args, timeout=min(120.0, ctx.remaining()))


@case("native-table", timeout=150, needs_exe=False)
def native_table(ctx: Ctx) -> None:
    """tests/native's table_test.exe: every case "ok", exit code 0."""
    rc, output = _native_table_test(ctx)
    ctx.check(rc is not None, "table_test.exe did not end within its time limit")
    oks = re.findall(r"^ok (\S+)", output, re.MULTILINE)
    fails = re.findall(r"^FAIL .*$", output, re.MULTILINE)
    ctx.note(f"{len(oks)} native cases ok")
    ctx.check(not fails, "; ".join(fails[:5]) + (f" (+{len(fails) - 5} more)" if len(fails) > 5 else ""))
    ctx.check(rc == 0, f"exit code {rc}, expected 0; output: {output.strip()[-400:]!r}")
    ctx.check(len(oks) > 0, f"no 'ok' line in the output: {output.strip()[-400:]!r}")


@case("native-unbalanced-entry", timeout=90, needs_exe=False)
def native_unbalanced_entry(ctx: Ctx) -> None:
    """table_test.exe unbalanced-entry: a FATAL: line and exit code 3."""
    rc, output = _native_table_test(ctx, "unbalanced-entry")
    ctx.check(rc is not None, "table_test.exe unbalanced-entry did not end within its time limit")
    ctx.check(re.search(r"^FATAL:", output, re.MULTILINE) is not None,
              f"no 'FATAL:' line; output: {output.strip()[-400:]!r}")
    ctx.check(rc == 3, f"exit code {rc}, expected 3")


# ================================================================================================
# scripts/run: the tool on a virtual desktop, with screenshots before and after its start-up
# ================================================================================================


def run_tool(args: argparse.Namespace) -> int:
    exe = Path(args.exe).resolve()
    if not exe.is_file():
        print(f"run: {exe} does not exist", file=sys.stderr)
        return 1
    use_user_display = bool(os.environ.get("DISPLAY")) and not args.own_display
    desk = Desktop(
        helpers=Path(args.helpers).resolve(),
        prefix_dir=(BUILD / "wine-run").resolve(),
        use_user_display=use_user_display,
        verbose=args.verbose,
        log=lambda text: print(text, flush=True),
    )
    before = BUILD / "run-before.png"
    after = BUILD / "run-after.png"
    code = 1
    try:
        desk.start()
        where = f"your display {desk.display}" if use_user_display else f"a hidden display {desk.display}"
        print(f"run: Wine desktop on {where}", flush=True)
        if args.layout != "none":
            fixture = desk.start_wine(desk.helper("fixture.exe"), args.layout, name="fixture")
            if not fixture.wait_line(r"^ready", 15):
                raise DesktopError(f"the fixture did not come up: {fixture.output().strip()!r}")
        desk.screenshot(before)
        print(f"run: screenshot before start-up: {before}", flush=True)
        tool = desk.start_program(exe)
        print(f"run: {exe.name} started (Windows PID {tool.win_pid})", flush=True)
        if args.layout != "none" and not use_user_display:
            # On the hidden display nobody can press OK on the discovery message.
            box = desk.probe("--pid", str(tool.win_pid), "dismiss", "10000")
            if box.ok:
                print(f"run: pressed OK on \"{box.get('text')}\"", flush=True)
        host = desk.probe("--top", "--pid", str(tool.win_pid), "wait", "VantorelHostWindow", "-", "exists",
                          "60000" if use_user_display else "10000", timeout=90)
        if not host.ok:
            print("run: the tool's window did not appear", flush=True)
        # Pressing OK is input, so the tool may show things again for a moment before hiding them for
        # good: the screenshot waits until the taskbar has stayed hidden for a while.
        hidden = None
        end = time.monotonic() + 10
        while time.monotonic() < end:
            hidden = desk.probe("--top", "steady", TASKBAR, "-", "0", "700")
            if hidden.ok:
                break
            time.sleep(0.1)
        print("run: the taskbar is hidden" if hidden and hidden.ok else "run: the taskbar is still visible",
              flush=True)
        desk.screenshot(after)
        print(f"run: screenshot after start-up: {after}", flush=True)
        if use_user_display:
            print("run: the tool runs; choose 退出 in its tray menu to end it (Ctrl-C ends everything)", flush=True)
            while not tool.ended():
                tool.wait_exit(3600)
        else:
            desk.probe("--top", "close", "VantorelHostWindow")
            if tool.wait_exit(10) is None:
                tool.kill()
        if tool.ended():
            exit_code = tool.wait_exit(1)
            print(f"run: {exe.name} ended with exit code {exit_code}", flush=True)
        code = 0
    except DesktopError as error:
        print(f"run: {error}", file=sys.stderr)
    except KeyboardInterrupt:
        print("run: interrupted", flush=True)
    finally:
        desk.stop()
    return code


def load_case_modules() -> None:
    """Cases may also live in tests/e2e/cases_*.py; each takes `case`, `Ctx` and the rest from this module."""
    import importlib

    sys.modules.setdefault("run_e2e", sys.modules[__name__])
    for path in sorted(Path(__file__).resolve().parent.glob("cases_*.py")):
        importlib.import_module(path.stem)


def main() -> int:
    load_case_modules()
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=str(DEFAULT_EXE), help="the tool (default %(default)s)")
    parser.add_argument("--helpers", default=str(DEFAULT_HELPERS), help="probe/fixture/trayholder (default %(default)s)")
    parser.add_argument("--native", default=str(DEFAULT_NATIVE), help="table_test.exe (default %(default)s)")
    parser.add_argument("--prefix", default=str(BUILD / "wine-e2e"), help="Wine prefix folder (default %(default)s)")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run only these cases")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("--keep", action="store_true", help="leave the desktop up after the cases (Ctrl-C ends it)")
    parser.add_argument("--screenshots", metavar="DIR", help="save PNGs of the desktop at named points")
    parser.add_argument("--timeout", type=float, default=GLOBAL_TIMEOUT, help="time limit of the whole run, s")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every probe call")
    parser.add_argument("--run-tool", action="store_true", help="scripts/run: start the tool with screenshots")
    parser.add_argument("--layout", default="none", help="--run-tool: a fixture layout to start first")
    parser.add_argument("--own-display", action="store_true", help="--run-tool: use a hidden Xvfb even with DISPLAY")
    args = parser.parse_args()

    if args.list:
        for c in CASES:
            print(f"{c.name:28} {c.doc.splitlines()[0] if c.doc else ''}")
        return 0

    # SIGTERM ends the run like Ctrl-C: everything started is ended.
    def on_sigterm(_signum, _frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_sigterm)
    if args.run_tool:
        return run_tool(args)
    return Runner(args).run()


if __name__ == "__main__":
    sys.exit(main())
