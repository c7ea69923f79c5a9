#!/usr/bin/env python3
"""The fault matrix: vantorel.exe under Wine in the situations that go wrong in real life.

    python3 tests/e2e/fault_matrix.py [--exe PATH] [--helpers DIR] [--tools DIR] [--prefix DIR]
                                      [--only NAME...] [--screenshots DIR] [-v]
    python3 tests/e2e/fault_matrix.py --list

Each row starts the real tool on a Wine desktop (see winedesk.py) in one fault situation and checks
its exit code and what it leaves shown or hidden:

  mutex-held-elsewhere   another program holds the mutex "Lumeko"
  no-desktop-tree        no desktop icon window tree at all
  no-taskbar-desktop     a second desktop with no taskbar window (Wine's null display driver)
  hidden-taskbar-desktop a second desktop whose only taskbar is the hidden one of a desktop without
                         shell (EnableShell=0, ShowSystray=0)
  quit-7-while-hidden    a WM_QUIT with code 7 posted after everything was hidden by the idle watcher
  wm-close               WM_CLOSE to the host window
  magnification-planted  a Magnification.dll that leaves marks when loaded, planted beside the .exe
  input-burst            500 clicks and key presses in 5 s

At the end it prints the matrix (case, expected, observed, PASS/FAIL) and the line
"N passed, N failed"; the exit code is non-zero when a row failed.

The cases reuse run_e2e's Ctx and Runner (the desktop, the probe, the tray checks). The helpers of
this file (tests/e2e/faults/: ondesk.exe, faultctl.exe, the marker DLL) are taken from --tools, from
the faults/ folder beside the other helpers when the build has them, or else compiled here into
build/faults-tools with the mingw-w64 cross compiler.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback
import unicodedata
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import run_e2e as e2e  # noqa: E402
from run_e2e import (  # noqa: E402
    HOST,
    LISTVIEW,
    LISTVIEW_TITLE,
    MSGBOX,
    MUTEX,
    NEUTRAL_X,
    NEUTRAL_Y,
    TEXT_SECOND_INSTANCE,
    TITLE_INFO,
    TITLE_INFO_GBK,
    TRAY_HOLDER_COLOUR,
    TRAY_Y,
    CaseFailure,
    Ctx,
)
from winedesk import BUILD, ROOT, TASKBAR, Background, DesktopError, Program, ProbeResult, winpath  # noqa: E402

FAULTS_SRC = ROOT / "tests" / "e2e" / "faults"
HAND_BUILT_TOOLS = BUILD / "faults-tools"
RUN_DIR = BUILD / "faults-run"
MARKER_DLL = "Magnification.dll"
MARK_FILE = "Magnification.loaded"
MARK_EVENT = "VantorelFaultsMagnificationLoaded"
GLOBAL_TIMEOUT = 900.0

# Idle times of the tool: it hides after more than 3 s without input and shows below 1 s; its idle
# watcher looks every 300 ms.
HIDE_AFTER_MS = 3000
IDLE_PERIOD_MS = 300


# ================================================================================================
# Helper programs of the fault matrix
# ================================================================================================

TOOL_SOURCES = {
    "ondesk.exe": ("ondesk.cpp", ["i686-w64-mingw32-g++", "-std=c++20", "-Os", "-static", "-s"], []),
    "faultctl.exe": ("faultctl.cpp", ["i686-w64-mingw32-g++", "-std=c++20", "-Os", "-static", "-s"], ["-lpsapi"]),
    MARKER_DLL: ("magmarker.cpp", ["i686-w64-mingw32-g++", "-std=c++20", "-Os", "-shared", "-static", "-s",
                                   "-Wl,--kill-at"], []),
}
WARNINGS = ["-Wall", "-Wextra", "-Wpedantic", "-Werror"]


def tools_complete(folder: Path, newer_than_sources: bool) -> bool:
    for name, (source, _, _) in TOOL_SOURCES.items():
        built = folder / name
        if not built.is_file():
            return False
        if newer_than_sources and built.stat().st_mtime < (FAULTS_SRC / source).stat().st_mtime:
            return False
    return True


def find_tools(explicit: str | None, helpers: Path, log) -> Path:
    """The folder with ondesk.exe, faultctl.exe and Magnification.dll: --tools, else the faults/
    folder of the helpers' build (when it is up to date), else build/faults-tools, compiled here
    when needed."""
    if explicit:
        folder = Path(explicit).resolve()
        if not tools_complete(folder, newer_than_sources=False):
            raise SystemExit(f"fault_matrix: {folder} lacks one of {', '.join(TOOL_SOURCES)}")
        return folder
    for folder in (helpers / "faults", HAND_BUILT_TOOLS):
        if tools_complete(folder, newer_than_sources=True):
            return folder
    HAND_BUILT_TOOLS.mkdir(parents=True, exist_ok=True)
    for name, (source, compiler, libraries) in TOOL_SOURCES.items():
        argv = [*compiler, *WARNINGS, "-o", str(HAND_BUILT_TOOLS / name), str(FAULTS_SRC / source), *libraries]
        log(f"  building {name}: {' '.join(argv)}")
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=300, check=False)
        if done.returncode != 0:
            raise SystemExit(f"fault_matrix: building {name} failed:\n{done.stderr.decode(errors='replace')}")
    return HAND_BUILT_TOOLS


# ================================================================================================
# Rows of the matrix
# ================================================================================================


@dataclass
class Fault:
    name: str
    expected: str
    func: Callable[["Ctx", "Observed"], None]
    timeout: float
    doc: str = ""


FAULTS: list[Fault] = []


def fault(name: str, expected: str, timeout: float = 60.0):
    def register(func: Callable[[Ctx, "Observed"], None]):
        FAULTS.append(Fault(name, expected, func, timeout, (func.__doc__ or "").strip()))
        return func

    return register


@dataclass
class Observed:
    """What a row saw, in the words of its matrix cell."""

    facts: list[str] = field(default_factory=list)

    def add(self, text: str) -> None:
        self.facts.append(text)

    def text(self) -> str:
        return "; ".join(self.facts)


@dataclass
class Row:
    name: str
    expected: str
    observed: str
    passed: bool
    seconds: float


# ================================================================================================
# Checks shared by the rows
# ================================================================================================


def runner_of(ctx: Ctx) -> "FaultRunner":
    return ctx.runner  # type: ignore[return-value]


def exit_code(ctx: Ctx, obs: Observed, program: Program, want: int, timeout: float = 10.0) -> None:
    got = program.wait_exit(min(timeout, ctx.remaining()))
    if got is None:
        obs.add(f"still running {timeout:.0f} s later")
        raise CaseFailure(f"{program.exe.name} still runs {timeout:.0f} s later (expected exit code {want})")
    obs.add(f"exit {got}" if got < 0x80000000 else f"exit 0x{got:08X}")
    ctx.check(got == want, f"exit code {got} (0x{got:08X}), expected {want}")


def slot_has_icon(ctx: Ctx, slot: int) -> bool:
    """Whether the notification area's slot shows an icon (the taskbar must be visible)."""
    background = ctx.tray_background()
    x = ctx.tray_slot_x(slot) - 8
    region = ctx.probe("region", str(x), str(TRAY_Y - 8), "16", "16", background)
    if not region.ok:
        raise CaseFailure(f"could not read the notification area: {region}")
    return region.number("differ") > 0


def holder_in_place(ctx: Ctx) -> bool:
    return ctx.probe("find", TRAY_HOLDER_COLOUR, "900", "748", "124", "20").ok


def expect_tray_slot(ctx: Ctx, obs: Observed, present: bool, timeout_ms: float = 3000) -> None:
    """Shows the taskbar if it is hidden, waits until the tool's slot (left of the tray holder's
    icon) holds an icon or is empty, and checks that the tray holder's icon is still drawn."""
    ctx.xdotool("mousemove", str(NEUTRAL_X), str(NEUTRAL_Y))  # no tooltip over the notification area
    if ctx.state(TASKBAR) != "1":
        ctx.show(TASKBAR)
        ctx.wait(TASKBAR, "1", 3000, what="the taskbar (shown by the probe to look at the notification area)")
    end = time.monotonic() + timeout_ms / 1000.0
    while True:
        has = slot_has_icon(ctx, 1)
        if has == present or time.monotonic() >= end:
            break
        time.sleep(0.05)
    holder = holder_in_place(ctx)
    obs.add(("tray icon present" if has else "no tray icon") + ("" if holder else " (holder icon missing)"))
    ctx.check(holder, "the tray holder's icon is not in its place: the notification area cannot be judged")
    ctx.check(has == present, "the tool's tray icon is " + ("missing" if present else "still there"))


def visible_top_level(ctx: Ctx) -> list[str]:
    """Class and title of every visible top-level window of the shell desktop."""
    listing = ctx.probe("--top", "list")
    found = []
    for line in listing.lines:
        match = re.search(r'class=(\S+) title="(.*)" visible=1 ', line)
        if match:
            found.append(f"{match.group(1)} {match.group(2)!r}")
    return sorted(found)


def wait_idle_hide(ctx: Ctx, obs: Observed, cls: str = TASKBAR, title: str = "-", what: str = "the taskbar",
                   timeout_ms: float = 6000) -> float:
    """Waits for the idle watcher's hide; checks that it came after 3 s and within two watcher
    periods (and the time for a probe call) after that. Returns the idle time at the hide."""
    ctx.wait(cls, "0", timeout_ms, title=title, what=f"{what} (hidden after 3 s without input)")
    idle = ctx.probe("idle").number("idle")
    obs.add(f"{what} hidden again at {idle / 1000:.1f} s idle")
    ctx.check(idle >= HIDE_AFTER_MS, f"{what} was hidden after only {idle:.0f} ms without input")
    ctx.check(idle <= HIDE_AFTER_MS + 2 * IDLE_PERIOD_MS + 1200,
              f"{what} was hidden only at {idle:.0f} ms without input")
    return idle


def nudge(ctx: Ctx) -> None:
    """A small mouse movement on the empty desktop: input, nowhere near anything clickable."""
    ctx.xdotool("mousemove", str(NEUTRAL_X + 7), str(NEUTRAL_Y + 3))
    ctx.xdotool("mousemove", str(NEUTRAL_X), str(NEUTRAL_Y))


# ================================================================================================
# A second desktop of the same window station (for the desktops without a taskbar)
# ================================================================================================


class SideDesktop:
    """A Wine desktop next to the shell's, managed by an explorer of its own.

    It is created by `explorer /desktop=NAME,WxH[,driver] faultctl hold EVENT`: the explorer sets
    the desktop up, then starts the keeper on it, which stays (as the desktop's user) until its
    event is set; then the desktop has no user left and its explorer ends by itself. Nothing else
    attaches to the desktop before the keeper is there, so no second explorer is ever started for
    it. Programs and probes run on it through ondesk.exe."""

    def __init__(self, ctx: Ctx, name: str, size: str, driver: str | None, values: dict[str, int]):
        self.ctx = ctx
        self.desk = ctx.desk
        self.tools = runner_of(ctx).tools
        self.name = name
        self.size = size
        self.driver = driver
        self.values = values
        self.event = f"VantorelFaultsKeep_{name}_{os.getpid()}"
        self.explorer: Background | None = None
        self.owner: int | None = None

    def _reg(self, *args: str) -> None:
        rc = self.desk._run_quiet(["wine", "reg", "add", *args, "/f"], "reg-add", timeout=60)
        if rc != 0:
            raise DesktopError(f"wine reg add {' '.join(args)} failed")

    def configure(self) -> None:
        """The registry values of the desktop (once per run)."""
        done = runner_of(self.ctx).configured
        if self.name in done:
            return
        self._reg(r"HKCU\Software\Wine\Explorer\Desktops", "/v", self.name, "/d", self.size)
        for value, data in self.values.items():
            self._reg(rf"HKCU\Software\Wine\Explorer\Desktops\{self.name}", "/v", value, "/t", "REG_DWORD",
                      "/d", str(data))
        done.add(self.name)

    def seen(self, event: str) -> bool:
        result = self.ctx.desk.probe_like([str(self.tools / "faultctl.exe"), "seen", event], timeout=15)
        return result.lines[:1] == ["1"]

    def start(self) -> None:
        self.configure()
        option = f"/desktop={self.name},{self.size}" + (f",{self.driver}" if self.driver else "")
        self.explorer = self.desk.start_wine(Path("explorer"), option, winpath(self.tools / "faultctl.exe"), "hold",
                                             self.event, str(int(self.ctx.case.timeout * 1000) + 60000),
                                             name=f"explorer-{self.name}")
        self.ctx.backgrounds.append(self.explorer)
        end = time.monotonic() + min(30.0, self.ctx.remaining())
        while not self.seen(self.event):
            if time.monotonic() >= end:
                raise CaseFailure(f"the desktop {self.name} did not come up: {self.explorer.output().strip()!r}")
            time.sleep(0.1)
        info = self.faultctl("desktop")
        if info.get("name") != self.name:
            raise CaseFailure(f"the keeper runs on desktop {info.get('name')!r}, not {self.name!r}")
        self.owner = int(info.number("owner"))

    def run(self, exe: Path, *args: str, timeout: float = 15.0) -> ProbeResult:
        argv = [str(self.tools / "ondesk.exe"), self.name, winpath(exe), *args]
        return self.desk.probe_like(argv, timeout=min(timeout, self.ctx.remaining() + 1.0))

    def probe(self, *args: str, timeout: float = 15.0) -> ProbeResult:
        return self.run(self.desk.helper("probe.exe"), *args, timeout=timeout)

    def faultctl(self, *args: str) -> ProbeResult:
        return self.run(self.tools / "faultctl.exe", *args)

    def state(self, cls: str, title: str = "-", pid: int | None = None) -> str:
        scope = (["--pid", str(pid)] if pid else []) + ["--top"]
        result = self.probe(*scope, "visible", cls, title)
        return result.lines[0] if result.lines else "?"

    def wait(self, cls: str, state: str, timeout_ms: int, pid: int | None = None, what: str | None = None) -> float:
        scope = (["--pid", str(pid)] if pid else []) + ["--top"]
        ms = int(max(0, min(timeout_ms, (self.ctx.remaining() - 1.0) * 1000)))
        result = self.probe(*scope, "wait", cls, "-", state, str(ms), timeout=ms / 1000.0 + 10.0)
        if not result.ok:
            raise CaseFailure(f"{what or cls} on desktop {self.name} did not become "
                              f"{e2e.STATE_WORDS.get(state, state)} within {timeout_ms} ms")
        return result.number("waited")

    def steady(self, cls: str, state: str, duration_ms: int, what: str | None = None) -> None:
        ms = int(max(0, min(duration_ms, (self.ctx.remaining() - 1.0) * 1000)))
        result = self.probe("--top", "steady", cls, "-", state, str(ms), timeout=ms / 1000.0 + 10.0)
        if not result.ok:
            raise CaseFailure(f"{what or cls} on desktop {self.name} was not "
                              f"{e2e.STATE_WORDS.get(state, state)} throughout {duration_ms} ms "
                              f"({result.get('broke')})")

    def start_program(self, exe: Path) -> Program:
        popen, out_path = self.desk._spawn(
            ["wine", str(self.tools / "ondesk.exe"), self.name, winpath(self.desk.helper("probe.exe")), "start",
             winpath(exe)], f"start-{self.name}-{exe.name}")
        program = Program(self.desk, exe, Background(self.desk, f"start {exe.name} on {self.name}", popen, out_path))
        self.ctx.programs.append(program)
        program.wait_started()
        return program

    def stop(self) -> str | None:
        """Releases the keeper and waits until the desktop's explorer has ended (ends it by its
        Windows PID if it stays). Returns what went wrong, None when all went well."""
        problem = None
        try:
            self.desk.probe("setevent", self.event, timeout=10)
            if self.owner is not None:
                gone = self.desk.probe("exitcode", str(self.owner), "15000", timeout=25)
                if not gone.ok:
                    self.desk.probe("kill", str(self.owner), timeout=10)
                    problem = f"the explorer of desktop {self.name} did not end once its keeper left"
        except DesktopError as error:
            problem = f"desktop {self.name} could not be ended: {error}"
        if self.explorer is not None and self.explorer.wait(10.0) is None:
            self.explorer.kill()
        if problem:
            self.ctx.mark_dirty(problem)
        return problem


# ================================================================================================
# The rows
# ================================================================================================


@fault("mutex-held-elsewhere",
       'box "本工具禁止多开", title "信息："; exit 0; taskbar visible throughout; no tray icon', timeout=50)
def mutex_held_elsewhere(ctx: Ctx, obs: Observed) -> None:
    """Another program holds the mutex "Lumeko": the tool says "本工具禁止多开", ends with 0 and
    leaves everything as it was; it adds no notification icon."""
    holder = ctx.desk.probe_background("mutex", MUTEX, "30000")
    ctx.backgrounds.append(holder)
    ctx.check(holder.wait_line(r"^created", 10) is not None, f"could not take the mutex: {holder.output()!r}")
    ctx.check(ctx.state(TASKBAR) == "1", "the taskbar is not visible before the start")
    taskbar = ctx.trace(TASKBAR, 4000)
    tool = ctx.start_tool()
    box = ctx.msgbox(5000, pid=tool.win_pid)
    obs.add(f"box {box.get('text')!r}, title {box.get('title')!r}")
    ctx.check(box.get("text") == TEXT_SECOND_INSTANCE, f"message box text {box.get('text')!r}")
    ctx.check(box.get("title") == TITLE_INFO, f"message box title {box.get('title')!r}")
    ctx.check(box.get("title_ansi") == TITLE_INFO_GBK, f"title bytes {box.get('title_ansi')}")
    # While the box is up the tool has got as far as it will: no icon of its own yet.
    ctx.xdotool("mousemove", str(NEUTRAL_X), str(NEUTRAL_Y))
    icon_with_box = slot_has_icon(ctx, 1)
    ctx.screenshot("refusal-box")
    ctx.dismiss(5000, pid=tool.win_pid)
    exit_code(ctx, obs, tool, 0)
    trace = ctx.trace_result(taskbar)
    hidden_at = trace.first("0")
    obs.add("taskbar visible throughout" if hidden_at is None else f"taskbar hidden at {hidden_at:.0f} ms")
    ctx.check(hidden_at is None and trace.states()[:1] == ["1"], f"the refused tool touched the taskbar: {trace}")
    ctx.check(ctx.state(HOST, pid=tool.win_pid) == "none", "the refused tool's host window outlived it")
    ctx.check(not icon_with_box, "the refused tool had a tray icon while its box was up")
    expect_tray_slot(ctx, obs, present=False)
    ctx.screenshot("after-refusal")


@fault("no-desktop-tree",
       "no message box; taskbar hidden at once; a click shows it, 3 s idle hides it; WM_CLOSE: exit 0",
       timeout=50)
def no_desktop_tree(ctx: Ctx, obs: Observed) -> None:
    """No desktop icon window tree: no discovery message, the taskbar goes at once, the watchers work
    as usual, and WM_CLOSE ends the tool with 0."""
    ctx.check(ctx.state("Progman") == "none" and ctx.state("WorkerW") == "none",
              "the desktop already has a Progman or WorkerW window")
    boxes = ctx.trace(MSGBOX, 2500)
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    hidden = ctx.wait(TASKBAR, "0", 1500, what="the taskbar")
    obs.add(f"taskbar hidden {hidden:.0f} ms after the host window")
    trace = ctx.trace_result(boxes)
    obs.add("no message box" if "1" not in trace.states() else "a message box appeared")
    ctx.check("1" not in trace.states(), f"a message box appeared: {trace}")
    ctx.check(ctx.state(HOST, pid=tool.win_pid) == "0", "the host window is not there, hidden")
    # One left click on the empty desktop (a single click: no double click can open anything).
    ctx.xdotool("mousemove", "520", "300")
    ctx.xdotool("click", "1")
    shown = ctx.wait(TASKBAR, "1", 1000, what="the taskbar after a click")
    obs.add(f"click showed it in {shown:.0f} ms")
    wait_idle_hide(ctx, obs)
    ctx.screenshot("hidden-again")
    ctx.check(not tool.ended(), "the tool ended by itself")
    ctx.check(ctx.probe("--top", "close", HOST).ok, "could not post WM_CLOSE")
    exit_code(ctx, obs, tool, 0)


@fault("no-taskbar-desktop",
       "desktop without Shell_TrayWnd: no message box; runs past an idle hide and input; WM_CLOSE: exit 0",
       timeout=90)
def no_taskbar_desktop(ctx: Ctx, obs: Observed) -> None:
    """A desktop with no taskbar window at all. Under Wine 8 that is a desktop of the null display
    driver (`explorer /desktop=NAME,WxH,null`): its explorer makes no Shell_TrayWnd, whereas every
    desktop of the X11 driver has one, shell or not. The tool finds nothing to hide but the pointer;
    it must run, sit through an idle hide and a show (the input time is the window station's, so
    the mouse on the shell's desktop counts), and end with 0 on WM_CLOSE."""
    side = SideDesktop(ctx, "faultnull", "800x600", "null", {})
    try:
        side.start()
        taskbars = side.faultctl("taskbars").number("taskbars")
        obs.add(f"{taskbars:.0f} taskbar windows on the desktop")
        ctx.check(taskbars == 0, f"the null-driver desktop has {taskbars:.0f} taskbar windows")
        tool = side.start_program(ctx.exe)
        side.wait(HOST, "exists", 10000, pid=tool.win_pid, what="the host window")
        side.steady(MSGBOX, "hidden", 1500, what="a message box")
        obs.add("host window up, no message box")
        ctx.check(side.state(HOST, pid=tool.win_pid) == "0", "the host window is visible")
        # Through an idle hide (pointer only) ...
        ctx.wait_idle(HIDE_AFTER_MS + 2 * IDLE_PERIOD_MS + 300, timeout_ms=8000)
        ctx.check(not tool.ended(), "the tool ended during the idle hide")
        # ... and a show, then another idle hide.
        nudge(ctx)
        ctx.xdotool("click", "1")
        ctx.wait_idle(HIDE_AFTER_MS + 2 * IDLE_PERIOD_MS + 300, timeout_ms=8000)
        ctx.check(not tool.ended(), "the tool ended after input")
        obs.add("alive after idle hide, input and idle hide")
        ctx.check(side.faultctl("taskbars").number("taskbars") == 0, "a taskbar window appeared on the desktop")
        ctx.check(side.probe("--top", "close", HOST).ok, "could not post WM_CLOSE")
        exit_code(ctx, obs, tool, 0)
    finally:
        problem = side.stop()
    ctx.check(problem is None, problem or "")


@fault("hidden-taskbar-desktop",
       "desktop without shell, its Shell_TrayWnd hidden: runs through input and idle, exit 0 on WM_CLOSE, "
       "no taskbar visible afterwards",
       timeout=90)
def hidden_taskbar_desktop(ctx: Ctx, obs: Observed) -> None:
    """A desktop of the X11 driver without shell (EnableShell=0, ShowSystray=0): it shows no taskbar,
    but its explorer still makes a hidden Shell_TrayWnd, which the tool finds. The tool runs through
    an idle hide and a show and ends with 0 on WM_CLOSE; afterwards no taskbar is visible there."""
    side = SideDesktop(ctx, "faultbare", "800x600", None, {"EnableShell": 0, "ShowSystray": 0})
    try:
        side.start()
        before = side.state(TASKBAR)
        obs.add(f"taskbar window before: {e2e.STATE_WORDS.get(before, before)}")
        ctx.check(before in ("0", "none"), f"the desktop without shell shows a taskbar ({before})")
        tool = side.start_program(ctx.exe)
        side.wait(HOST, "exists", 10000, pid=tool.win_pid, what="the host window")
        side.steady(MSGBOX, "hidden", 1500, what="a message box")
        obs.add("host window up, no message box")
        ctx.wait_idle(HIDE_AFTER_MS + 2 * IDLE_PERIOD_MS + 300, timeout_ms=8000)
        nudge(ctx)
        # What the show makes of the hidden taskbar window is recorded, not judged: the tool shows
        # what it found.
        shown = side.probe("--top", "wait", TASKBAR, "-", "1", "1500", timeout=15)
        obs.add("taskbar window shown by the tool after input" if shown.ok
                else "taskbar window still hidden after input")
        ctx.screenshot("after-input")
        ctx.wait_idle(HIDE_AFTER_MS + 2 * IDLE_PERIOD_MS + 300, timeout_ms=8000)
        ctx.check(not tool.ended(), "the tool ended after input")
        ctx.check(side.probe("--top", "close", HOST).ok, "could not post WM_CLOSE")
        exit_code(ctx, obs, tool, 0)
        side.wait(TASKBAR, "hidden", 3000, what="the taskbar window after the tool's end")
        after = side.state(TASKBAR)
        obs.add(f"taskbar window after the end: {e2e.STATE_WORDS.get(after, after)}")
        ctx.screenshot("after-end")
    finally:
        problem = side.stop()
    ctx.check(problem is None, problem or "")


@fault("quit-7-while-hidden",
       "exit 7; tray icon gone; taskbar and list view left hidden", timeout=60)
def quit_7_while_hidden(ctx: Ctx, obs: Observed) -> None:
    """With a desktop tree, once the idle watcher has hidden the list view and the taskbar, a WM_QUIT
    with code 7 from outside: exit code 7, the tray icon goes, both stay hidden."""
    ctx.fixture("progman")
    taskbar = ctx.trace(TASKBAR, 8000)
    tool = ctx.start_tool()
    box = ctx.msgbox(5000, pid=tool.win_pid)
    ctx.check(box.get("text") == "Success!", f"discovery message {box.get('text')!r}")
    # OK pressed with WM_COMMAND: a BM_CLICK would count as input under Wine and show everything
    # again right after the start-up hide.
    ctx.dismiss(5000, pid=tool.win_pid, how="command")
    ctx.wait_host_window(tool)
    try:
        ctx.wait(TASKBAR, "0", 2000, what="the taskbar (hidden at start-up)")
    except CaseFailure as failure:
        raise CaseFailure(f"{failure}; trace {ctx.trace_result(taskbar)}")
    ctx.wait(LISTVIEW, "0", 2000, title=LISTVIEW_TITLE, what="the list view (hidden at start-up)")
    # The icon is there while the tool runs (the probe shows the taskbar to look).
    expect_tray_slot(ctx, obs, present=True, timeout_ms=5000)
    # Input shows everything; 3 s later the idle watcher hides it all again.
    nudge(ctx)
    ctx.wait(LISTVIEW, "1", 1500, title=LISTVIEW_TITLE, what="the list view after input")
    wait_idle_hide(ctx, obs)
    ctx.wait(LISTVIEW, "0", 1000, title=LISTVIEW_TITLE, what="the list view (hidden with the taskbar)")
    ctx.screenshot("all-hidden")
    ctx.check(ctx.probe("--top", "quit", HOST, "7").ok, "could not post WM_QUIT")
    exit_code(ctx, obs, tool, 7)
    ctx.check(ctx.state(HOST) == "none", "the host window outlived the tool")
    ctx.steady(TASKBAR, "0", 700, what="the taskbar after the quit")
    ctx.steady(LISTVIEW, "0", 300, title=LISTVIEW_TITLE, what="the list view after the quit")
    obs.add("taskbar and list view left hidden")
    ctx.screenshot("after-quit")
    expect_tray_slot(ctx, obs, present=False)
    ctx.screenshot("tray-after-quit")


@fault("wm-close", "exit 0; host window gone; tray icon gone", timeout=40)
def wm_close(ctx: Ctx, obs: Observed) -> None:
    """WM_CLOSE to the host window: the tool ends with 0 and takes its tray icon away."""
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 2000, what="the taskbar (hidden at start-up)")
    expect_tray_slot(ctx, obs, present=True, timeout_ms=5000)
    ctx.check(ctx.probe("--top", "close", HOST).ok, "could not post WM_CLOSE")
    exit_code(ctx, obs, tool, 0)
    gone = ctx.state(HOST) == "none"
    obs.add("host window gone" if gone else "host window left")
    ctx.check(gone, "the host window outlived the tool")
    expect_tray_slot(ctx, obs, present=False)
    ctx.screenshot("after-close")


def start_with_module_trace(ctx: Ctx, exe: Path) -> tuple[Program, Path]:
    """Starts the tool through `probe start` with Wine's loader trace on, the trace in its own file."""
    desk = ctx.desk
    out_path = desk._log_path("start-traced-" + exe.name)
    trace_path = out_path.with_suffix(".trace")
    env = dict(desk.env)
    env["WINEDEBUG"] = "-all,+pid,+module"
    with open(out_path, "wb") as out, open(trace_path, "wb") as err:
        popen = desk._track(subprocess.Popen(
            ["wine", str(desk.helper("probe.exe")), "start", winpath(exe)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env, start_new_session=True))
    program = Program(desk, exe, Background(desk, "start " + exe.name, popen, out_path))
    ctx.programs.append(program)
    program.wait_started()
    return program, trace_path


@fault("magnification-planted",
       f"{MARKER_DLL} beside the .exe never loaded (no mark, no module, no event); looked up in system32 only",
       timeout=60)
def magnification_planted(ctx: Ctx, obs: Observed) -> None:
    """A Magnification.dll that marks every load, beside the .exe: the tool looks for the library in
    the system directory only, so the planted one is never loaded (after start-up, a show and an
    idle hide). A control run first shows that the DLL does leave its mark when a program loads it
    the ordinary way."""
    tools = runner_of(ctx).tools
    folder = RUN_DIR / f"planted-{os.getpid()}"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    try:
        planted_run(ctx, obs, tools, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def planted_run(ctx: Ctx, obs: Observed, tools: Path, folder: Path) -> None:
    exe = folder / "vantorel.exe"
    shutil.copy2(ctx.exe, exe)
    shutil.copy2(tools / MARKER_DLL, folder / MARKER_DLL)
    shutil.copy2(tools / "faultctl.exe", folder / "faultctl.exe")
    mark = folder / MARK_FILE

    # Control: a program in the same folder that loads it with the ordinary search order.
    control = ctx.desk.probe_like([str(folder / "faultctl.exe"), "loadlib", MARKER_DLL], timeout=15)
    ctx.check(control.get("loaded") == "1" and mark.is_file(),
              f"the marker DLL left no mark when loaded on purpose: {control} (mark {mark.is_file()})")
    mark.unlink()
    obs.add("control load marks")

    tool, trace_path = start_with_module_trace(ctx, exe)

    def no_mark(when: str) -> None:
        loaded = ctx.desk.probe_like([str(tools / "faultctl.exe"), "modules", str(tool.win_pid), MARKER_DLL])
        event = ctx.desk.probe_like([str(tools / "faultctl.exe"), "seen", MARK_EVENT]).lines[:1] == ["1"]
        ctx.check(loaded.ok and loaded.number("modules") > 0, f"could not list the tool's modules: {loaded}")
        text = mark.read_text(errors="replace").strip() if mark.is_file() else ""
        ctx.check(not text, f"{when}: the planted DLL was loaded: {text!r}")
        ctx.check(loaded.get("loaded") == "0", f"{when}: {MARKER_DLL} is among the tool's modules: {loaded}")
        ctx.check(not event, f"{when}: the planted DLL's event exists")

    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 2000, what="the taskbar (hidden at start-up)")
    no_mark("after start-up")
    nudge(ctx)
    ctx.wait(TASKBAR, "1", 1500, what="the taskbar after input")
    no_mark("after a show")
    wait_idle_hide(ctx, obs)
    no_mark("after an idle hide")
    obs.add("no mark after start-up, show, idle hide")
    ctx.check(ctx.probe("--top", "close", HOST).ok, "could not post WM_CLOSE")
    exit_code(ctx, obs, tool, 0)
    ctx.check(not mark.is_file(), "the planted DLL was loaded: " +
              (repr(mark.read_text(errors="replace")) if mark.is_file() else ""))
    # Wine's loader trace: the tool did ask for the library, in the system directory only.
    prefix = f"{tool.win_pid:04x}:"
    lookup = re.compile(r'looking for L"Magnification\.dll" in L"(.*)"$', re.IGNORECASE)
    searched = []
    for line in trace_path.read_text(errors="replace").splitlines():
        match = lookup.search(line.strip())
        if line.startswith(prefix) and match:
            searched.append(match.group(1).replace("\\\\", "\\"))
    ctx.check(bool(searched), f"the tool never asked for {MARKER_DLL} (no loader trace line)")
    wrong = [path for path in searched if path.lower().rstrip("\\") != r"c:\windows\system32"]
    ctx.check(not wrong, f"the tool looked for {MARKER_DLL} outside the system directory: {wrong}")
    obs.add(f"looked up {len(searched)}x, in {searched[0]} only")


def burst_spots() -> list[tuple[int, int]]:
    """Click spots on the empty desktop above the taskbar, each far from the one before (no two
    clicks in a row can make a double click)."""
    columns = [80, 400, 720, 240, 560, 880, 160, 480, 800, 320, 640, 960]
    rows = [80, 380, 680, 230, 530, 130, 430, 630, 280, 580]
    return [(columns[i % len(columns)], rows[(i * 7) % len(rows)]) for i in range(len(columns) * len(rows))]


@fault("input-burst",
       "500 clicks and key presses in 5 s: taskbar shown throughout and at the end, hidden ~3 s later; "
       "tool alive, no stray window; WM_CLOSE: exit 0", timeout=90)
def input_burst(ctx: Ctx, obs: Observed) -> None:
    """250 left clicks (each far from the last) and 250 presses of Shift within 5 s: the tool keeps
    up, shows everything throughout and at the end, hides it again about 3 s after the last input,
    and still ends normally."""
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 2000, what="the taskbar (hidden at start-up)")
    before = visible_top_level(ctx)
    spots = burst_spots()
    events = 500
    duration = 5.0
    chunks = 50  # one xdotool run every 100 ms, each with 5 clicks and 5 key presses 10 ms apart
    pairs = events // chunks // 2
    taskbar = ctx.trace(TASKBAR, (duration + 2.5) * 1000, interval_ms=5)
    start = time.monotonic()
    sent = 0
    for chunk in range(chunks):
        # Pacing of the burst itself: chunk k starts k/50 of the 5 s after the first.
        delay = start + chunk * duration / chunks - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        argv = []
        for i in range(pairs):
            x, y = spots[(chunk * pairs + i) % len(spots)]
            # xdotool's own delays (100 ms after a click, 12 ms in a key stroke) would stretch the
            # burst far beyond 5 s: 1 ms each, and a 10 ms pause between the pairs instead.
            argv += ["mousemove", str(x), str(y), "click", "--delay", "1", "1", "key", "--delay", "1", "shift",
                     "sleep", "0.01"]
        ctx.xdotool(*argv)
        sent += 2 * pairs
    took = time.monotonic() - start
    ctx.xdotool("mousemove", str(NEUTRAL_X), str(NEUTRAL_Y))
    obs.add(f"{sent} events in {took:.1f} s")
    ctx.check(took <= duration + 1.5, f"the burst took {took:.1f} s")
    ctx.check(not tool.ended(), "the tool ended during the burst")
    at_end = ctx.state(TASKBAR)
    obs.add(f"taskbar {'shown' if at_end == '1' else 'not shown'} at the end")
    ctx.check(at_end == "1", f"the taskbar is not shown right after the burst ({at_end})")
    trace = ctx.trace_result(taskbar)
    first_shown = trace.first("1")
    ctx.check(first_shown is not None, f"the taskbar never showed during the burst: {trace}")
    hidden_during = [at for at, state in trace.changes if state != "1" and at > first_shown]
    ctx.check(not hidden_during, f"the taskbar was hidden during the burst: {trace}")
    obs.add(f"shown {first_shown:.0f} ms into it, never hidden during it")
    ctx.screenshot("after-burst")
    wait_idle_hide(ctx, obs)
    ctx.check(not tool.ended(), "the tool ended after the burst")
    ctx.check(ctx.state(HOST, pid=tool.win_pid) == "0", "the host window is gone or visible")
    after = visible_top_level(ctx)
    stray = [w for w in after if w not in before and not w.startswith(TASKBAR)]
    obs.add("no stray window" if not stray else f"stray windows {stray}")
    ctx.check(not stray, f"windows opened during the burst: {stray}")
    ctx.check(ctx.probe("--top", "close", HOST).ok, "could not post WM_CLOSE")
    exit_code(ctx, obs, tool, 0)


# ================================================================================================
# Running the matrix
# ================================================================================================


def display_width(text: str) -> int:
    """Terminal columns of a text: CJK characters take two."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def pad(text: str, width: int) -> str:
    return text + " " * max(0, width - display_width(text))


def wrap(text: str, width: int) -> list[str]:
    """Word wrap by display width; a word longer than the width is cut."""
    lines: list[str] = []
    line = ""
    for word in text.split():
        while display_width(word) > width:
            room = width - display_width(line) - (1 if line else 0)
            if room <= 0:
                lines.append(line)
                line = ""
                continue
            head, cut = "", 0
            while cut < len(word) and display_width(head + word[cut]) <= room:
                head += word[cut]
                cut += 1
            line = (line + " " + head) if line else head
            lines.append(line)
            line, word = "", word[cut:]
        candidate = (line + " " + word) if line else word
        if display_width(candidate) <= width:
            line = candidate
        else:
            lines.append(line)
            line = word
    if line or not lines:
        lines.append(line)
    return lines


class FaultRunner(e2e.Runner):
    def __init__(self, args: argparse.Namespace, tools: Path):
        super().__init__(args)
        self.tools = tools
        self.rows: list[Row] = []
        self.configured: set[str] = set()
        desk = self.desk

        def probe_like(argv: list[str], timeout: float = 15.0) -> ProbeResult:
            """Runs one of this file's console helpers (stdout read like the probe's)."""
            popen = desk._track(subprocess.Popen(["wine", *argv], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                                 stderr=subprocess.DEVNULL, env=desk.env, start_new_session=True))
            start = time.monotonic()
            try:
                out, _ = popen.communicate(timeout=max(1.0, timeout))
            except subprocess.TimeoutExpired:
                desk.end_process(popen)
                raise DesktopError(f"{' '.join(Path(a).name for a in argv[:3])} did not answer within {timeout:.1f} s")
            result = ProbeResult([Path(argv[0]).name, *argv[1:]], popen.returncode,
                                 out.decode("utf-8", errors="replace"), time.monotonic() - start)
            if args.verbose:
                self.log(f"    {result} ({result.seconds:.2f} s)")
            return result

        desk.probe_like = probe_like  # type: ignore[attr-defined]

    def run_fault(self, f: Fault) -> None:
        start = time.monotonic()
        obs = Observed()
        c = e2e.Case(f.name, lambda ctx: f.func(ctx, obs), f.timeout, True, f.doc)
        ctx = Ctx(self, c)
        reason = None
        try:
            if not self.exe.is_file():
                raise CaseFailure(f"{self.exe} does not exist (build the win32 preset)")
            ctx.settle_input()
            c.func(ctx)
        except CaseFailure as failure:
            reason = str(failure)
        except DesktopError as error:
            reason = f"harness: {error}"
        except Exception as error:  # a bug in the row itself still ends as a failure
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
        observed = obs.text()
        if reason is None:
            self.passed += 1
            self.log(f"PASS {f.name} ({seconds:.2f} s)")
        else:
            self.failed += 1
            observed = (observed + "; " if observed else "") + "FAILED: " + reason
            self.log(f"FAIL {f.name}: {reason} ({seconds:.2f} s)")
            if ctx.notes:
                self.log(f"  notes: {'; '.join(ctx.notes)}")
            ctx.mark_dirty(reason)  # after a failure the shell starts afresh
        self.rows.append(Row(f.name, f.expected, observed, reason is None, seconds))
        try:
            self.reset_shell(ctx)
        except DesktopError as error:
            self.log(f"  could not reset the shell ({error}); starting it again")
            self.desk.restart_shell()

    def run_matrix(self, faults: list[Fault]) -> int:
        deadline = time.monotonic() + self.args.timeout
        watchdog = threading.Thread(target=self._watchdog, args=(deadline, len(faults)), daemon=True)
        watchdog.start()
        done = 0
        try:
            start = time.monotonic()
            try:
                self.desk.start()
            except DesktopError as error:
                self.log(f"FAIL setup: {error}")
                self.failed = len(faults) or 1
                return 1
            self.log(f"desktop ready on display {self.desk.display} in {time.monotonic() - start:.1f} s "
                     f"(prefix {self.desk.prefix}, helpers {self.tools})")
            for f in faults:
                if time.monotonic() >= deadline:
                    self.failed += 1
                    self.rows.append(Row(f.name, f.expected, "not run: the run's time limit was reached", False, 0))
                    continue
                try:
                    self.run_fault(f)
                except DesktopError as error:
                    self.log(f"FAIL setup: the desktop could not be started again: {error}")
                    for rest in faults[done:]:
                        if all(row.name != rest.name for row in self.rows):
                            self.rows.append(Row(rest.name, rest.expected, f"not run: {error}", False, 0))
                            self.failed += 1
                    done = len(faults)
                    break
                done += 1
        except KeyboardInterrupt:
            self.log("interrupted")
            for rest in faults[done:]:
                if all(row.name != rest.name for row in self.rows):
                    self.rows.append(Row(rest.name, rest.expected, "not run: interrupted", False, 0))
                    self.failed += 1
        finally:
            try:
                self.desk.stop()
            finally:
                with self.print_lock:
                    self.finished.set()
                self.print_matrix()
                self.summary()
        return 0 if self.failed == 0 else 1

    def print_matrix(self) -> None:
        widths = {"case": 24, "expected": 44, "observed": 56, "result": 9}
        header = ["case", "expected", "observed", "result"]

        def cells(values: list[str]) -> list[str]:
            wrapped = [wrap(v, widths[h]) for h, v in zip(header, values)]
            height = max(len(w) for w in wrapped)
            lines = []
            for i in range(height):
                parts = [pad(w[i] if i < len(w) else "", widths[h]) for h, w in zip(header, wrapped)]
                lines.append("| " + " | ".join(parts) + " |")
            return lines

        rule = "+-" + "-+-".join("-" * widths[h] for h in header) + "-+"
        out = [rule, *cells(["case", "expected", "observed", "PASS/FAIL"]), rule]
        for row in self.rows:
            out += cells([row.name, row.expected, row.observed, "PASS" if row.passed else "FAIL"])
            out.append(rule)
        with self.print_lock:
            print("\n".join(out), flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=str(e2e.DEFAULT_EXE), help="the tool (default %(default)s)")
    parser.add_argument("--helpers", default=str(e2e.DEFAULT_HELPERS),
                        help="probe/fixture/trayholder (default %(default)s)")
    parser.add_argument("--tools", help=f"ondesk.exe, faultctl.exe, {MARKER_DLL} (default: the helpers' faults/ "
                                        f"folder if built, else compiled into {HAND_BUILT_TOOLS})")
    parser.add_argument("--prefix", default=str(BUILD / "wine-faults"), help="Wine prefix folder (default %(default)s)")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run only these rows")
    parser.add_argument("--list", action="store_true", help="list the rows and exit")
    parser.add_argument("--screenshots", metavar="DIR", default=str(RUN_DIR / "shots"),
                        help="PNGs of the desktop at named points (default %(default)s)")
    parser.add_argument("--timeout", type=float, default=GLOBAL_TIMEOUT, help="time limit of the whole run, s")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every probe call")
    args = parser.parse_args()
    args.native = str(e2e.DEFAULT_NATIVE)
    args.keep = False

    if args.list:
        for f in FAULTS:
            print(f"{f.name:24} {f.expected}")
        return 0
    selected = FAULTS
    if args.only:
        names = {f.name for f in FAULTS}
        unknown = [n for n in args.only if n not in names]
        if unknown:
            raise SystemExit(f"unknown row(s): {', '.join(unknown)}; --list shows them")
        selected = [f for f in FAULTS if f.name in args.only]

    def on_sigterm(_signum, _frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_sigterm)
    tools = find_tools(args.tools, Path(args.helpers).resolve(), print)
    if args.screenshots and Path(args.screenshots).resolve() == (RUN_DIR / "shots").resolve():
        shutil.rmtree(args.screenshots, ignore_errors=True)
    return FaultRunner(args, tools).run_matrix(selected)


if __name__ == "__main__":
    sys.exit(main())
