"""Helpers shared by cases_autohide.py and cases_tray.py.

- Timelines: timeline.exe records the desktop's last input time and the visibility of some windows on
  one clock (GetTickCount, the clock the tool measures idle time with), so a case can say how long
  the tool took from an input, or from the last one, to a change.
- Start-up on a desktop window tree: the fixture, the discovery message and its dismissal.
- Screenshot crops, for comparing a spot of the screen before and after something.
"""

from __future__ import annotations

import re
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

import run_e2e
from run_e2e import (  # noqa: F401  (re-exported for the case modules)
    HOST,
    LISTVIEW,
    LISTVIEW_TITLE,
    MSGBOX,
    NEUTRAL_X,
    NEUTRAL_Y,
    TITLE_INFO,
    TITLE_INFO_GBK,
    TRAY_Y,
    CaseFailure,
    Ctx,
)
from winedesk import BUILD, TASKBAR, Background, Program, ProbeResult

SHOTS = BUILD / "screenshots"

# The two windows the tool hides and shows (the pointer cannot be observed under Wine).
SHELL = [(LISTVIEW, LISTVIEW_TITLE), (TASKBAR, "-")]
SHELL_NAMES = ["the list view", "the taskbar"]

SUCCESS = "Success!"
WIN10_SUCCESS = "WIN10 Success!"

# The tool's menu command identifiers and its notification callback (WM_APP + 100, icon id 100).
ID_TOGGLE = 20001
ID_EXIT = 20002
WM_COMMAND = 0x0111
TRAY_CALLBACK = 0x8064
TRAY_ICON_ID = 100
WM_LBUTTONUP = 0x0202
WM_LBUTTONDBLCLK = 0x0203
WM_RBUTTONUP = 0x0205


def measured(ctx: Ctx, text: str) -> None:
    """A measured figure: kept with the case's notes and printed in the run's output at once."""
    ctx.note(text)
    ctx.runner.log(f"  {ctx.case.name}: {text}")


# --- Timelines --------------------------------------------------------------------------------------


@dataclass
class Timeline:
    """What timeline.exe saw, in milliseconds from its start (negative: before it)."""

    names: list[str]
    start_tick: int = 0
    inputs: list[int] = field(default_factory=list)  # inputs[0]: the last input before the start
    changes: list[list[tuple[int, str]]] = field(default_factory=list)  # per window, the first at 0
    end: int = 0
    samples: int = 0

    @staticmethod
    def parse(text: str, names: list[str]) -> "Timeline":
        start = None
        timeline = Timeline(names, changes=[[] for _ in names])

        def rel(tick: str) -> int:
            # Ticks are 32-bit and may wrap: the difference is read as signed.
            return ((int(tick) - start + 2**31) % 2**32) - 2**31

        ended = False
        for line in text.splitlines():
            parts = line.split()
            if not parts:
                continue
            if parts[0] == "start":
                start = int(parts[1])
                timeline.start_tick = start
            elif start is None:
                continue
            elif parts[0] == "input":
                timeline.inputs.append(rel(parts[1]))
            elif parts[0] == "at" and len(parts) == 4:
                timeline.changes[int(parts[2])].append((rel(parts[1]), parts[3]))
            elif parts[0] == "end":
                timeline.end = rel(parts[1])
                timeline.samples = int(parts[2])
                ended = True
        if start is None or not ended or not timeline.inputs or any(not c for c in timeline.changes):
            raise CaseFailure(f"timeline.exe gave an incomplete record: {text.strip()[-300:]!r}")
        return timeline

    def tick(self, at: int) -> int:
        """The GetTickCount value of a time of this timeline (to compare with other timelines)."""
        return (self.start_tick + at) % 2**32

    def at_tick(self, tick: int) -> int:
        return tick_diff(tick, self.start_tick)

    def initial(self, index: int) -> str:
        return self.changes[index][0][1]

    def state_at(self, index: int, at: float) -> str:
        state = self.changes[index][0][1]
        for when, s in self.changes[index]:
            if when > at:
                break
            state = s
        return state

    def first(self, index: int, state: str, after: float = -1e9) -> int | None:
        for when, s in self.changes[index]:
            if when >= after and s == state:
                return when
        return None

    def first_not(self, index: int, state: str, after: float = -1e9) -> int | None:
        for when, s in self.changes[index]:
            if when >= after and s != state:
                return when
        return None

    def inputs_after(self, after: float) -> list[int]:
        return [t for t in self.inputs[1:] if t > after]

    def first_input_after(self, after: float) -> int | None:
        later = self.inputs_after(after)
        return later[0] if later else None

    def last_input_before(self, before: float) -> int:
        last = self.inputs[0]
        for t in self.inputs:
            if t <= before:
                last = t
        return last

    def idle_at_end(self) -> int:
        return self.end - self.inputs[-1]

    def __str__(self) -> str:
        parts = [f"inputs {self.inputs}"]
        for name, changes in zip(self.names, self.changes):
            parts.append(f"{name}: " + " ".join(f"{t}:{s}" for t, s in changes))
        parts.append(f"end {self.end} ({self.samples} samples)")
        return "; ".join(parts)


def tick_diff(a: int, b: int) -> int:
    """a − b for two GetTickCount values (32 bits, wrapping), read as signed."""
    return ((a - b + 2**31) % 2**32) - 2**31


def host_ms() -> float:
    """This machine's clock that Wine's GetTickCount follows (CLOCK_MONOTONIC_RAW), in ms. Only used
    to place an input at a chosen tick; every figure checked comes from timeline.exe's own record."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000.0


@dataclass
class Started:
    job: Background
    names: list[str]
    start_tick: int
    offset: float  # host_ms() − tick, as seen when the start line arrived (a few ms late at most)

    def tick_now(self) -> int:
        return int(host_ms() - self.offset)


def start_timeline(ctx: Ctx, duration_ms: float, windows: list[tuple[str, str]],
                   names: list[str] | None = None) -> Started:
    """Starts timeline.exe in the background and returns once it samples."""
    if ctx.remaining() < duration_ms / 1000.0 + 5.0:
        raise CaseFailure(f"no time left in the case for a {duration_ms:.0f} ms timeline")
    argv = [str(int(duration_ms))]
    for cls, title in windows:
        argv += [cls, title]
    job = ctx.desk.start_wine(ctx.desk.helper("timeline.exe"), *argv, name="timeline")
    ctx.backgrounds.append(job)
    # The start line is watched closely: when it arrives is what ties the tick count to host_ms().
    deadline = time.monotonic() + min(15.0, ctx.remaining())
    start = None
    while start is None:
        start = re.search(r"^start (\d+)$", job.output(), re.MULTILINE)
        if start is None:
            if time.monotonic() >= deadline or not job.running():
                raise CaseFailure(f"timeline.exe did not start: {job.output().strip()!r}")
            time.sleep(0.001)
    offset = host_ms() - int(start.group(1))
    if not job.wait_line(r"^end |^at \d+ %d " % (len(windows) - 1), min(15.0, ctx.remaining())):
        raise CaseFailure(f"timeline.exe did not start sampling: {job.output().strip()!r}")
    return Started(job, names or [f"{cls} {title}" for cls, title in windows], int(start.group(1)), offset)


def timeline_result(ctx: Ctx, started: Started) -> Timeline:
    if started.job.wait(ctx.remaining()) is None:
        raise run_e2e.CaseTimeout("the timeline did not end")
    return Timeline.parse(started.job.output(), started.names)


def shell_timeline(ctx: Ctx, duration_ms: float, extra: list[tuple[str, str]] | None = None,
                   extra_names: list[str] | None = None) -> Started:
    """A timeline of the list view (index 0), the taskbar (1) and any further windows (2, ...)."""
    return start_timeline(ctx, duration_ms, SHELL + (extra or []), SHELL_NAMES + (extra_names or []))


def require_no_input(ctx: Ctx, tl: Timeline, what: str) -> None:
    """The case relies on no input arriving; one that did voids the observation."""
    if tl.inputs_after(0):
        raise CaseFailure(f"input arrived at {tl.inputs_after(0)} ms during {what}: the observation is void")


# --- Mouse buttons ----------------------------------------------------------------------------------


def read_buttons(ctx: Ctx) -> dict[str, int]:
    """The desktop's asynchronous state of the mouse buttons (see buttons.cpp); reading it clears the
    "pressed since the last query" bits, so only while the tool is not running."""
    rc, output = ctx.desk.run_wine(ctx.desk.helper("buttons.exe"), timeout=min(20.0, ctx.remaining()))
    match = re.search(r"left ([0-9A-F]{4}) right ([0-9A-F]{4})", output)
    if rc != 0 or match is None:
        raise CaseFailure(f"buttons.exe failed: rc {rc}, {output.strip()!r}")
    return {"1": int(match.group(1), 16), "3": int(match.group(2), 16)}


def fresh_buttons(ctx: Ctx) -> None:
    """Both mouse buttons up and no press pending, before the tool starts. Under Wine a click that
    closes a popup menu leaves the left button down in the desktop's asynchronous state until the
    next click: the click watcher of every later copy would see a press at each tick. A click where
    the pointer rests (the empty desktop) puts such a button up again."""
    state = read_buttons(ctx)
    stuck = [button for button, bits in state.items() if bits & 0x8000]
    if not stuck:
        return
    for button in stuck:
        ctx.xdotool("click", button)
    read_buttons(ctx)  # the presses just made
    after = read_buttons(ctx)
    ctx.check(all(bits == 0 for bits in after.values()), f"the mouse buttons stay pressed: {after}")
    measured(ctx, f"button(s) {stuck} were left down by an earlier case; released with a click")
    ctx.wait_idle(1500)


# --- Start-up on a desktop tree ---------------------------------------------------------------------


def check_discovery_box(ctx: Ctx, box: ProbeResult, text: str) -> None:
    """The discovery message: title "信息：" in GBK, the text, one OK button."""
    ctx.check(box.get("title") == TITLE_INFO, f"message box title {box.get('title')!r}, expected {TITLE_INFO!r}")
    ctx.check(box.get("title_ansi") == TITLE_INFO_GBK,
              f"message box title bytes {box.get('title_ansi')}, expected {TITLE_INFO_GBK} (GBK)")
    ctx.check(box.get("text") == text, f"message box text {box.get('text')!r}, expected {text!r}")
    ctx.check(box.get("text_ansi") == text.encode("ascii").hex().upper(),
              f"message box text bytes {box.get('text_ansi')}")
    buttons = box.all("button")
    ctx.check(len(buttons) == 1 and buttons[0].split(" ")[0] == "1",
              f"message box buttons {buttons}, expected only OK (id 1)")


def build_layout(ctx: Ctx, layout: str) -> None:
    """A desktop tree from the fixture, its list view up, the taskbar visible."""
    ctx.fixture(layout)
    ctx.wait(LISTVIEW, "1", 5000, title=LISTVIEW_TITLE, what="the fixture's list view")
    ctx.check(ctx.state(TASKBAR) == "1", "the taskbar is not visible before the start")


def start_and_read_box(ctx: Ctx, text: str) -> tuple[Program, ProbeResult]:
    """Starts the tool and waits for its discovery message (left open)."""
    tool = ctx.start_tool()
    box = ctx.msgbox(8000, pid=tool.win_pid)
    check_discovery_box(ctx, box, text)
    return tool, box


def start_on_layout(ctx: Ctx, layout: str, text: str) -> tuple[Program, ProbeResult]:
    """Builds the desktop tree, starts the tool and waits for its discovery message (left open)."""
    build_layout(ctx, layout)
    return start_and_read_box(ctx, text)


def dismiss_and_wait_hidden(ctx: Ctx, tool: Program) -> None:
    """Presses OK and waits until the list view and the taskbar are hidden for good. (Wine records the
    box's closing as input, so the idle watcher shows them again at once and hides them 3 s later.)"""
    ctx.dismiss(5000, pid=tool.win_pid)
    ctx.wait_idle(3500, timeout_ms=8000)
    ctx.wait(LISTVIEW, "0", 1000, title=LISTVIEW_TITLE, what="the list view (3.5 s after OK)")
    ctx.wait(TASKBAR, "0", 1000, what="the taskbar (3.5 s after OK)")


def post_command(ctx: Ctx, identifier: int) -> None:
    result = ctx.probe("--top", "post", HOST, "-", str(WM_COMMAND), str(identifier), "0")
    ctx.check(result.ok, f"could not post WM_COMMAND {identifier}: {result}")


def post_tray(ctx: Ctx, mouse_message: int) -> None:
    """Posts the tool's notification callback as the shell does for a mouse event over its icon."""
    result = ctx.probe("--top", "post", HOST, "-", str(TRAY_CALLBACK), str(TRAY_ICON_ID), str(mouse_message))
    ctx.check(result.ok, f"could not post the notification callback: {result}")


# --- Screenshots ------------------------------------------------------------------------------------


def shot(ctx: Ctx, name: str) -> Path:
    """A screenshot under build/screenshots/ (always taken, unlike ctx.screenshot)."""
    return ctx.desk.screenshot(SHOTS / f"{name}.png")


def crop(path: Path, x: int, y: int, w: int, h: int) -> bytes:
    """The RGB bytes of a rectangle of a screenshot."""
    done = subprocess.run(["convert", str(path), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8", "rgb:-"],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=30, check=False)
    if done.returncode != 0 or len(done.stdout) != w * h * 3:
        raise CaseFailure(f"could not crop {path}: {done.stderr.decode(errors='replace').strip()}")
    return done.stdout


def differing_pixels(a: bytes, b: bytes) -> int:
    return sum(1 for i in range(0, len(a), 3) if a[i:i + 3] != b[i:i + 3])


def tray_slot_crop(ctx: Ctx, path: Path, slot: int) -> bytes:
    """The 16 x 16 square of a notification slot (0: the tray holder, 1: next to its left, ...)."""
    return crop(path, ctx.tray_slot_x(slot) - 8, TRAY_Y - 8, 16, 16)


def pointer_away(ctx: Ctx) -> None:
    """The pointer off the notification area, and no icon's tooltip left over it."""
    ctx.xdotool("mousemove", str(NEUTRAL_X), str(NEUTRAL_Y))
    ctx.wait("tooltips_class32", "hidden", 5000, what="the notification area's tooltip")
