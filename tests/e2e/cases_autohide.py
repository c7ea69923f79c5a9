"""End-to-end cases of the auto-hide behaviour: the discovery message that start-up waits for, the
start-up hide, and how the idle and click watchers hide and show the desktop list view and the
taskbar. Each runs on both desktop trees a real shell can have: the list view under Progman, and
under a top-level WorkerW.

Delays are measured by timeline.exe from the input time the system recorded (GetLastInputInfo) to the
first sample that shows the change, on one clock.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import Callable

from casekit import (
    HOST,
    LISTVIEW,
    LISTVIEW_TITLE,
    MSGBOX,
    NEUTRAL_X,
    NEUTRAL_Y,
    SUCCESS,
    TRAY_Y,
    Started,
    WIN10_SUCCESS,
    Ctx,
    build_layout,
    dismiss_and_wait_hidden,
    fresh_buttons,
    measured,
    require_no_input,
    shell_timeline,
    shot,
    start_and_read_box,
    start_on_layout,
    start_timeline,
    tick_diff,
    timeline_result,
)
from run_e2e import case
from winedesk import TASKBAR

# The watchers' periods and thresholds, with the margins Wine's scheduling needs.
SHOW_AFTER_INPUT_MS = 500      # the idle watcher ticks every 300 ms and shows below 1 s of idle
SHOW_AFTER_CLICK_MS = 200      # the click watcher ticks every 50 ms
HIDE_AFTER_IDLE_MIN_MS = 3000  # hides above 3 s of idle ...
HIDE_AFTER_IDLE_MAX_MS = 3400  # ... at the first idle tick after that
IDLE_PERIOD_MS = 300
IDLE_GRID_TOLERANCE_MS = 25    # how late Wine may run a timer tick

LAYOUTS = {"progman": SUCCESS, "workerw": WIN10_SUCCESS}

# Where the pointer goes for the "mouse move" input and stays for the clicks: the empty desktop,
# clear of the fixture's windows, the taskbar and the spots other cases click.
MOVE_X, MOVE_Y = NEUTRAL_X + 40, NEUTRAL_Y


def _region_empty(ctx: Ctx, slot: int, background: str) -> bool:
    x = ctx.tray_slot_x(slot) - 8
    region = ctx.probe("region", str(x), str(TRAY_Y - 8), "16", "16", background)
    return region.ok and region.number("differ") == 0


def startup_waits_for_message(ctx: Ctx, layout: str, take_shots: bool = False) -> None:
    ctx.check(ctx.state(TASKBAR) == "1", "the taskbar is not visible before the start")
    background = ctx.tray_background()
    ctx.check(_region_empty(ctx, 1, background), "notification slot 1 is taken before the start")
    build_layout(ctx, layout)
    if take_shots:
        shot(ctx, "desktop-before")
    tool, box = start_and_read_box(ctx, LAYOUTS[layout])

    # While the message is open, start-up waits: nothing is hidden, no icon is added, and no watcher
    # runs either, though the desktop goes past 3 s without input (the idle watcher would hide).
    idle = ctx.probe("idle").number("idle")
    duration = max(2500.0, 3700.0 - idle)
    started = shell_timeline(ctx, duration, [(MSGBOX, "-"), (HOST, "-")], ["the message box", "the host window"])
    checks = 0
    while started.job.running():
        ctx.check(_region_empty(ctx, 1, background), "a notification icon appeared while the message was open")
        checks += 1
        time.sleep(0.1)
    tl = timeline_result(ctx, started)
    require_no_input(ctx, tl, "the open message")
    ctx.check(checks >= 5, f"only {checks} looks at the notification area while the message was open")
    for index, name in enumerate(tl.names[:3]):
        ctx.check(tl.changes[index] == [(0, "1")], f"{name} did not stay visible while the message was open: {tl}")
    ctx.check(tl.first_not(3, "0") is None, f"the host window was not there hidden throughout: {tl}")
    ctx.check(tl.idle_at_end() > 3300, f"only {tl.idle_at_end()} ms without input by the end of the observation")
    ctx.check(not tool.ended(), "the tool ended while its message was open")
    measured(ctx, f"start-up held {tl.end} ms by the open message ({tl.idle_at_end()} ms without input), "
                  f"{checks} notification-area looks")

    # OK (BM_CLICK). Wine records the box's going as input, just as it closes (a click on OK would be
    # input too): the start-up hide is followed at once by the idle watcher's show, and the list view
    # and the taskbar are hidden for good 3 s later. With no further input they stay hidden.
    started = shell_timeline(ctx, 6500, [(MSGBOX, "-")], ["the message box"])
    ctx.dismiss(5000, pid=tool.win_pid)
    tl = timeline_result(ctx, started)
    closed = tl.first_not(2, "1")
    ctx.check(closed is not None, f"the message box did not close: {tl}")
    stray = [t for t in tl.inputs_after(0) if abs(t - closed) > 50]
    ctx.check(not stray, f"input at {stray} ms besides the box's closing: the observation is void ({tl})")
    finals = []
    for index in (0, 1):
        name = tl.names[index]
        ctx.check(tl.state_at(index, tl.end) == "0", f"{name} is not hidden at the end: {tl}")
        final = [t for t, state in tl.changes[index] if state == "0"][-1]
        ctx.check(final >= closed, f"{name} was hidden before the message closed: {tl}")
        idle = final - tl.last_input_before(final)
        if final - closed > 1000:  # shown again by the closing's input: hidden after 3 s without input
            ctx.check(HIDE_AFTER_IDLE_MIN_MS <= idle <= HIDE_AFTER_IDLE_MAX_MS,
                      f"{name} hidden {idle} ms after the last input: {tl}")
        ctx.check(tl.end - final >= 2000, f"{name} hidden for only {tl.end - final} ms of the observation: {tl}")
        finals.append((final - closed, idle, tl.end - final))
    first_hide = tl.first(1, "0", after=closed)
    measured(ctx, f"after OK: taskbar first hidden {first_hide - closed if first_hide is not None else '?'} ms after the "
                  f"box closed; hidden for good {finals[0][0]}/{finals[1][0]} ms after it (list view/taskbar), "
                  f"{finals[0][1]}/{finals[1][1]} ms after the last input; then hidden for "
                  f"{min(f[2] for f in finals)} ms without input")
    if take_shots:
        shot(ctx, "desktop-hidden")

    # Start-up went on after the message: the icon is in the notification area now.
    ctx.show(TASKBAR)
    ctx.wait_tray_icon(1)
    ctx.probe("--top", "close", HOST)
    ctx.expect_exit(tool, 0, timeout=10)


@case("autohide-startup-progman", timeout=70)
def autohide_startup_progman(ctx: Ctx) -> None:
    """DefView under Progman: "Success!" under "信息：" (GBK), one OK; start-up waits for it (list view
    and taskbar visible, no icon, no watcher past 3 s idle); OK hides both, and they stay hidden.
    Saves build/screenshots/desktop-before.png and desktop-hidden.png."""
    fresh_buttons(ctx)
    startup_waits_for_message(ctx, "progman", take_shots=True)


@case("autohide-startup-workerw", timeout=60)
def autohide_startup_workerw(ctx: Ctx) -> None:
    """DefView under a top-level WorkerW (after an empty one): "WIN10 Success!", the same waiting
    start-up, the same hide after OK."""
    fresh_buttons(ctx)
    startup_waits_for_message(ctx, "workerw")


# --- Reactions to input ---------------------------------------------------------------------------


@dataclass
class Reaction:
    shown_ms: int        # from the input to the first window seen visible
    hidden_idle_ms: int  # from the last input to the first window seen hidden again
    input_tick: int      # GetTickCount values, comparable across timelines
    shown_tick: int
    hidden_tick: int


def react(ctx: Ctx, what: str, action: Callable[[Started], None], limit_ms: float) -> Reaction:
    """From hidden: performs the input, checks that both windows show within limit_ms of it and hide
    again after 3 s without input."""
    started = shell_timeline(ctx, 4500)
    action(started)
    tl = timeline_result(ctx, started)
    for index in (0, 1):
        ctx.check(tl.initial(index) == "0", f"{tl.names[index]} was not hidden before the {what}: {tl}")
    at = tl.first_input_after(0)
    ctx.check(at is not None, f"the {what} reached no one: no input recorded ({tl})")
    shown = []
    gones = []
    hidden = []
    for index in (0, 1):
        visible = tl.first(index, "1")
        ctx.check(visible is not None, f"{tl.names[index]} did not show after the {what}: {tl}")
        ctx.check(visible >= at, f"{tl.names[index]} showed before the {what}: {tl}")
        shown.append(visible)
        gone = tl.first_not(index, "1", after=visible)
        ctx.check(gone is not None, f"{tl.names[index]} was still visible {tl.end - at} ms after the {what}: {tl}")
        ctx.check(tl.state_at(index, gone) == "0", f"{tl.names[index]} went away instead of hiding: {tl}")
        gones.append(gone)
        hidden.append(gone - tl.last_input_before(gone))
        ctx.check(tl.first(index, "1", after=gone) is None, f"{tl.names[index]} came back without input: {tl}")
    delay = max(shown) - at
    ctx.check(delay <= limit_ms, f"shown {delay} ms after the {what} (limit {limit_ms:.0f} ms): {tl}")
    for idle in hidden:
        ctx.check(HIDE_AFTER_IDLE_MIN_MS <= idle <= HIDE_AFTER_IDLE_MAX_MS,
                  f"hidden again after {idle} ms without input, expected {HIDE_AFTER_IDLE_MIN_MS}–"
                  f"{HIDE_AFTER_IDLE_MAX_MS} ms: {tl}")
    measured(ctx, f"{what}: visible {shown[0] - at}/{shown[1] - at} ms after it (list view/taskbar), hidden "
                  f"again {hidden[0]}/{hidden[1]} ms after the last input")
    return Reaction(delay, max(hidden), tl.tick(at), tl.tick(min(shown)), tl.tick(min(gones)))


def next_on_grid(grid_tick: int, tick: int) -> int:
    """The first tick of the idle watcher at or after `tick`, its ticks falling on grid_tick + k·300."""
    return (grid_tick + IDLE_PERIOD_MS * math.ceil(tick_diff(tick, grid_tick) / IDLE_PERIOD_MS)) % 2**32


def click_after_idle_tick(ctx: Ctx, started: Started, grid_tick: int, button: str) -> None:
    """Clicks some 30 ms after one of the idle watcher's ticks, so that its next tick is about 270 ms
    away: a show well before that can only come from the click watcher."""
    now = started.tick_now()
    target = next_on_grid(grid_tick, (now + 80) % 2**32) + 30
    time.sleep(max(0, tick_diff(target, now)) / 1000.0)  # placing the click, not waiting for a state
    ctx.xdotool("click", button)


def reacts_to_input(ctx: Ctx, layout: str) -> None:
    tool, _ = start_on_layout(ctx, layout, LAYOUTS[layout])
    dismiss_and_wait_hidden(ctx, tool)
    # A start with no input since before the message: nothing shows on its own.
    ctx.steady(TASKBAR, "0", 600, what="the taskbar")

    move = react(ctx, "mouse move", lambda _: ctx.xdotool("mousemove", str(MOVE_X), str(MOVE_Y)),
                 SHOW_AFTER_INPUT_MS)
    key = react(ctx, "key (shift)", lambda _: ctx.xdotool("key", "shift"), SHOW_AFTER_INPUT_MS)
    # Everything so far was the idle watcher's doing: its ticks lie on one 300 ms grid.
    idle_ticks = [move.shown_tick, move.hidden_tick, key.shown_tick, key.hidden_tick]

    # Clicks where the pointer is, on the empty desktop; 3 s apart, so never a double click.
    grid = key.hidden_tick
    clicks = []
    told = 0
    for what, button in (("left click", "1"), ("right click", "3"), ("left click", "1")):
        r = react(ctx, what, lambda started, b=button, g=grid: click_after_idle_tick(ctx, started, g, b),
                  SHOW_AFTER_CLICK_MS)
        idle_next = next_on_grid(grid, r.input_tick)
        lead = tick_diff(idle_next, r.input_tick)
        if lead >= 120:
            told += 1
            ahead = tick_diff(idle_next, r.shown_tick)
            ctx.check(ahead >= 40, f"the {what} at tick {r.input_tick} was shown at {r.shown_tick}, not before the "
                                   f"idle watcher's next tick at {idle_next}: no click watcher at work")
        clicks.append((r.shown_ms, lead))
        idle_ticks.append(r.hidden_tick)
        grid = r.hidden_tick
    ctx.check(told >= 2, f"only {told} of 3 clicks landed early in an idle watcher period ({clicks})")
    measured(ctx, "click-to-visible " + ", ".join(f"{shown} ms (idle watcher {lead} ms away)" for shown, lead in clicks))
    offsets = [((tick_diff(t, idle_ticks[0]) + IDLE_PERIOD_MS // 2) % IDLE_PERIOD_MS) - IDLE_PERIOD_MS // 2
               for t in idle_ticks]
    ctx.check(max(abs(o) for o in offsets) <= IDLE_GRID_TOLERANCE_MS,
              f"the idle watcher's shows and hides are off a 300 ms grid by {offsets} ms")
    measured(ctx, f"idle watcher events off the 300 ms grid by {offsets} ms")
    ctx.check(ctx.state("#32768") != "1", "a click on the empty desktop opened a menu")
    ctx.probe("--top", "close", HOST)
    ctx.expect_exit(tool, 0, timeout=10)


@case("autohide-input-progman", timeout=90)
def autohide_input_progman(ctx: Ctx) -> None:
    """Progman tree, after the start-up hide: a mouse move and a key show the list view and the
    taskbar within 0.5 s, a left or right click within 200 ms; each time they hide again 3.0–3.4 s
    after the last input."""
    fresh_buttons(ctx)
    reacts_to_input(ctx, "progman")


@case("autohide-input-workerw", timeout=90)
def autohide_input_workerw(ctx: Ctx) -> None:
    """WorkerW tree: the same reactions to a mouse move, a key and clicks, the same 3 s re-hide."""
    fresh_buttons(ctx)
    reacts_to_input(ctx, "workerw")


@case("autohide-ok-click-is-input", timeout=60)
def autohide_ok_click_is_input(ctx: Ctx) -> None:
    """OK pressed with the mouse is input: right after the start-up hide the watchers show the list
    view and the taskbar again, and they hide only 3 s after that click."""
    fresh_buttons(ctx)
    tool, _ = start_on_layout(ctx, "workerw", WIN10_SUCCESS)
    rect = ctx.probe("--pid", str(tool.win_pid), "rect", "Button").get("rect", "")
    ctx.check(len(rect.split()) == 4, f"no OK button on the message box ({rect!r})")
    left, top, right, bottom = (int(v) for v in rect.split())
    started = shell_timeline(ctx, 5000, [(MSGBOX, "-")], ["the message box"])
    ctx.xdotool("mousemove", str((left + right) // 2), str((top + bottom) // 2))
    ctx.xdotool("click", "1")
    tl = timeline_result(ctx, started)
    closed = tl.first_not(2, "1")
    ctx.check(closed is not None, f"the click did not close the message box: {tl}")
    click = tl.last_input_before(closed)
    ctx.check(click > 0, f"no input recorded for the click on OK: {tl}")
    for index in (0, 1):
        name = tl.names[index]
        ctx.check(tl.state_at(index, tl.end) == "0", f"{name} is not hidden 5 s after the click on OK: {tl}")
        gone = [t for t, state in tl.changes[index] if state == "0"][-1]
        last_input = tl.last_input_before(gone)
        ctx.check(last_input - click < 100, f"further input after the click on OK: {tl}")
        # Hidden for good only after 3 s without input, counted from the click on OK ...
        ctx.check(HIDE_AFTER_IDLE_MIN_MS <= gone - last_input <= HIDE_AFTER_IDLE_MAX_MS,
                  f"{name} hidden for good {gone - last_input} ms after the last input: {tl}")
        # ... and visible from shortly after the box closed until then.
        ctx.check(tl.first_not(index, "1", after=closed + 400) == gone,
                  f"{name} was not visible from 400 ms after OK until it was hidden for good: {tl}")
        ctx.check(tl.state_at(index, closed + 400) == "1", f"{name} not visible 400 ms after OK: {tl}")
        first_hide = tl.first(index, "0", after=closed)
        again = tl.first(index, "1", after=first_hide) if first_hide is not None and first_hide < gone else None
        seen = (f"start-up hide {first_hide - closed} ms after the box closed, shown again {again - first_hide} ms later"
                if again is not None else "the start-up hide too short to sample")
        measured(ctx, f"{name}: {seen}; hidden for good {gone - last_input} ms after the click on OK")
    ctx.probe("--top", "close", HOST)
    ctx.expect_exit(tool, 0, timeout=10)


@case("autohide-both-trees-prefers-workerw", timeout=60)
def autohide_both_trees_prefers_workerw(ctx: Ctx) -> None:
    """With both trees on the desktop the WorkerW one wins ("WIN10 Success!"): only its list view is
    hidden and shown; the Progman tree's list view is left alone."""
    fresh_buttons(ctx)
    tool, _ = start_on_layout(ctx, "both", WIN10_SUCCESS)
    windows = [(f"{LISTVIEW}@WorkerW", LISTVIEW_TITLE), (f"{LISTVIEW}@Progman", LISTVIEW_TITLE), (TASKBAR, "-")]
    names = ["the WorkerW list view", "the Progman list view", "the taskbar"]
    started = start_timeline(ctx, 6000, windows, names)
    ctx.dismiss(5000, pid=tool.win_pid)
    tl = timeline_result(ctx, started)
    ctx.check(tl.state_at(0, tl.end) == "0" and tl.state_at(2, tl.end) == "0",
              f"the WorkerW list view and the taskbar are not hidden 6 s after OK: {tl}")
    ctx.check(tl.changes[1] == [(0, "1")], f"the Progman list view changed at start-up: {tl}")
    ctx.check(tl.idle_at_end() >= 2000, f"input came late during the start-up ({tl})")
    started = start_timeline(ctx, 1500, windows, names)
    ctx.xdotool("mousemove", str(MOVE_X), str(MOVE_Y))
    tl = timeline_result(ctx, started)
    at = tl.first_input_after(0)
    ctx.check(at is not None, f"the mouse move was not recorded: {tl}")
    for index in (0, 2):
        shown = tl.first(index, "1")
        ctx.check(tl.initial(index) == "0" and shown is not None and shown - at <= SHOW_AFTER_INPUT_MS,
                  f"{names[index]} did not show on input: {tl}")
    ctx.check(tl.changes[1] == [(0, "1")], f"the Progman list view changed on input: {tl}")
    ctx.probe("--top", "close", HOST)
    ctx.expect_exit(tool, 0, timeout=10)


