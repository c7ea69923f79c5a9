"""End-to-end cases of the notification icon and its menu: the icon's arrival and removal (checked on
screenshots), where the menu opens, what a left click does (nothing), suspending and resuming
auto-hide, "退出" with the mutex it releases, and a refused second copy next to a running one.

The tray holder keeps one icon in the last slot; the tool's icon sits in the slot to its left.
"""

from __future__ import annotations

import math
import time

from casekit import (
    HOST,
    ID_EXIT,
    ID_TOGGLE,
    MSGBOX,
    SUCCESS,
    TITLE_INFO,
    TITLE_INFO_GBK,
    TRAY_Y,
    WM_LBUTTONDBLCLK,
    WM_LBUTTONUP,
    WM_RBUTTONUP,
    CaseFailure,
    Ctx,
    build_layout,
    differing_pixels,
    dismiss_and_wait_hidden,
    fresh_buttons,
    measured,
    pointer_away,
    post_command,
    post_tray,
    require_no_input,
    shell_timeline,
    shot,
    start_and_read_box,
    start_on_layout,
    start_timeline,
    tick_diff,
    timeline_result,
    tray_slot_crop,
)
from run_e2e import GBK, MENU_EXIT, MENU_RESUME, MENU_SUSPEND, MUTEX, TEXT_SECOND_INSTANCE, Menu, case
from winedesk import TASKBAR, Program

MENU = "#32768"
TOOLTIP = "tooltips_class32"
TOOLTIP_TEXT = "Vantorel"
TEXT_SECOND_INSTANCE_GBK = TEXT_SECOND_INSTANCE.encode("gbk").hex().upper()

# Spots of the empty desktop where a click closes an open menu; each used once per case, so that two
# clicks never make a double click on the background (which would start Wine's file manager).
CLOSE_SPOTS = [(300, 500), (180, 640), (420, 560), (240, 420), (360, 680), (120, 520)]


def icon_x(ctx: Ctx) -> int:
    return ctx.tray_slot_x(1)


def taskbar_top(ctx: Ctx) -> int:
    rect = ctx.probe("--top", "rect", TASKBAR).get("rect", "")
    ctx.check(len(rect.split()) == 4, f"the taskbar has no rectangle ({rect!r})")
    return int(rect.split()[1])


def start_plain(ctx: Ctx) -> Program:
    """The tool on a desktop without a tree (no message): started, the taskbar hidden by it, then shown
    from outside so that its icon can be seen and clicked."""
    tool = ctx.start_tool()
    ctx.wait_host_window(tool)
    ctx.wait(TASKBAR, "0", 3000, what="the taskbar (start-up hide)")
    ctx.show(TASKBAR)
    ctx.wait(TASKBAR, "1", 2000, what="the taskbar")
    ctx.wait_tray_icon(1)
    return tool


def point_at_icon(ctx: Ctx, x: int | None = None, y: int = TRAY_Y) -> None:
    """Moves the pointer onto the icon; that is input, so if the tool has hidden the taskbar by now it
    shows it again."""
    x = icon_x(ctx) if x is None else x
    # Two spots, so that the pointer moves even when it is on the icon already.
    ctx.xdotool("mousemove", str(x + 1), str(y))
    ctx.xdotool("mousemove", str(x), str(y))
    ctx.wait(TASKBAR, "1", 1500, what="the taskbar with the pointer on the icon")


def hook_menu(ctx: Ctx, timeout_ms: float):
    """Hooks the tool's GUI thread to read the next popup menu (see menuhook.cpp)."""
    job = ctx.desk.probe_background("--top", "menu", HOST, str(int(timeout_ms)), "popup")
    ctx.backgrounds.append(job)
    if not job.wait_line(r"^hooked", min(10.0, ctx.remaining())):
        raise CaseFailure(f"could not hook the tool's GUI thread: {job.output().strip()!r}")
    return job


def read_open_menu(ctx: Ctx, job) -> Menu:
    if job.wait(min(15.0, ctx.remaining())) is None or job.popen.returncode != 0:
        raise CaseFailure(f"no popup menu was opened: {job.output().strip()!r}")
    ctx.wait(MENU, "1", 3000, what="the popup menu")
    rect = ctx.probe("--top", "rect", MENU).get("rect", "")
    return Menu.parse(job.output(), [int(v) for v in rect.split()])


def open_menu_at(ctx: Ctx, x: int | None = None, y: int = TRAY_Y, split: bool = False) -> tuple[Menu, int, int]:
    """Right-clicks the icon at (x, y) and reads the menu; with split, the button is held down a while
    first and the menu must not open before it is released. Returns the menu and the pointer."""
    x = icon_x(ctx) if x is None else x
    job = hook_menu(ctx, 6000)
    point_at_icon(ctx, x, y)
    if split:
        ctx.xdotool("mousedown", "3")
        try:
            ctx.steady(MENU, "hidden", 500, what="a popup menu while the right button is down")
        finally:
            ctx.xdotool("mouseup", "3")
    else:
        ctx.xdotool("click", "3")
    return read_open_menu(ctx, job), x, y


def close_menu(ctx: Ctx, spot: int) -> None:
    x, y = CLOSE_SPOTS[spot]
    ctx.xdotool("mousemove", str(x), str(y))
    ctx.xdotool("click", "1")
    ctx.wait(MENU, "hidden", 3000, what="the popup menu after a click elsewhere")


def check_menu(ctx: Ctx, menu: Menu, toggle_caption: str) -> None:
    ctx.check(menu.texts() == [toggle_caption, MENU_EXIT], f"menu items {menu.texts()}")
    ctx.check([item.id for item in menu.items] == [ID_TOGGLE, ID_EXIT],
              f"menu item ids {[item.id for item in menu.items]}, expected {[ID_TOGGLE, ID_EXIT]}")
    for item in menu.items:
        ctx.check(item.ansi_hex == GBK[item.text], f"the bytes of {item.text!r} are {item.ansi_hex}")


def choose(ctx: Ctx, menu: Menu, caption: str) -> None:
    ctx.click_menu_item(menu, menu.index(caption))
    ctx.wait(MENU, "hidden", 3000, what="the popup menu after choosing an item")


def wait_slot_like(ctx: Ctx, reference: bytes, slot: int, name: str, timeout_s: float = 3.0) -> int:
    """Waits until a notification slot looks as in the reference crop again; returns the differing
    pixel count seen last (0 on success)."""
    end = time.monotonic() + timeout_s
    while True:
        now = tray_slot_crop(ctx, shot(ctx, name), slot)
        differ = differing_pixels(reference, now)
        if differ == 0 or time.monotonic() >= end:
            return differ
        ctx.remaining()
        time.sleep(0.2)


def mutex_held(ctx: Ctx) -> bool:
    return ctx.probe("hasmutex", MUTEX).lines[:1] == ["1"]


# --- The icon -------------------------------------------------------------------------------------


@case("tray-icon-appears", timeout=60)
def tray_icon_appears(ctx: Ctx) -> None:
    """After start-up the icon is in the slot left of the tray holder's (screenshots before and after
    differ there, and only there among the three last slots); hovering it shows the tooltip "Vantorel";
    after WM_CLOSE the slot looks as before the start."""
    fresh_buttons(ctx)
    ctx.check(ctx.state(TASKBAR) == "1", "the taskbar is not visible before the start")
    before = shot(ctx, "tray-icon-before")
    tool = start_plain(ctx)
    after = shot(ctx, "tray-icon-after")
    changed = differing_pixels(tray_slot_crop(ctx, before, 1), tray_slot_crop(ctx, after, 1))
    ctx.check(changed >= 40, f"only {changed} of 256 pixels changed in the icon's slot")
    ctx.check(tray_slot_crop(ctx, before, 0) == tray_slot_crop(ctx, after, 0), "the tray holder's icon changed")
    ctx.check(tray_slot_crop(ctx, before, 2) == tray_slot_crop(ctx, after, 2), "a second icon appeared")
    measured(ctx, f"{changed} of 256 pixels of the slot at ({icon_x(ctx)}, {TRAY_Y}) changed by the icon")

    point_at_icon(ctx)
    ctx.wait(TOOLTIP, "1", 5000, what="a tooltip over the icon")
    # The tooltip keeps its text to itself (no window title): WM_GETTEXT, as `probe list` sends it.
    listing = ctx.probe("--top", "list").lines
    shown = [line for line in listing if f"class={TOOLTIP} " in line and "visible=1" in line]
    ctx.check(any(f'title="{TOOLTIP_TEXT}"' in line for line in shown), f"the visible tooltips: {shown}")
    measured(ctx, f"tooltip over the icon: {shown[0].split(' visible=')[0].split(' ', 1)[1]}")
    pointer_away(ctx)

    ctx.probe("--top", "close", HOST)
    ctx.expect_exit(tool, 0, timeout=10)
    ctx.show(TASKBAR)
    ctx.wait(TASKBAR, "1", 2000, what="the taskbar")
    left = wait_slot_like(ctx, tray_slot_crop(ctx, before, 1), 1, "tray-icon-closed")
    ctx.check(left == 0, f"{left} pixels of the icon's slot still differ from before the start")


# --- The menu -------------------------------------------------------------------------------------


@case("tray-menu-position", timeout=70)
def tray_menu_position(ctx: Ctx) -> None:
    """The menu opens when the right button is released over the icon (not while it is down), right
    aligned at pointer x − 5; with the pointer higher up (the shell's notification posted for it) its
    top-right corner is exactly at (x − 5, y − 5). Saves build/screenshots/tray-menu.png."""
    fresh_buttons(ctx)
    tool = start_plain(ctx)
    bar_top = taskbar_top(ctx)
    spot = 0
    sizes = set()
    for x, y, split in ((icon_x(ctx), TRAY_Y, True), (icon_x(ctx) - 5, TRAY_Y - 4, False),
                        (icon_x(ctx) + 5, TRAY_Y + 4, False)):
        menu, x, y = open_menu_at(ctx, x, y, split=split)
        left, top, right, bottom = menu.rect
        if split:
            check_menu(ctx, menu, MENU_SUSPEND)
            ctx.xdotool("mousemove", str((left + right) // 2), str(top + 2))  # off the icon: no tooltip
            shot(ctx, "tray-menu")
        ctx.check(right == x - 5, f"menu {menu.rect} for the pointer at ({x}, {y}): right edge {right}, "
                                  f"expected {x - 5}")
        # Below y − 5 there is no room (the taskbar), so the menu goes up until it is above the taskbar.
        ctx.check(y - 5 + (bottom - top) > bar_top and bottom <= bar_top,
                  f"menu {menu.rect} for the pointer at ({x}, {y}) overlaps the taskbar at {bar_top}")
        sizes.add((right - left, bottom - top))
        measured(ctx, f"pointer ({x}, {y}) -> menu {menu.rect}")
        close_menu(ctx, spot)
        spot += 1

    for x, y in ((600, 300), (420, 180)):
        ctx.xdotool("mousemove", str(x), str(y))
        post_tray(ctx, WM_RBUTTONUP)
        ctx.wait(MENU, "1", 3000, what="the popup menu for the posted notification")
        rect = [int(v) for v in ctx.probe("--top", "rect", MENU).get("rect", "").split()]
        ctx.check(len(rect) == 4, "the popup menu has no rectangle")
        left, top, right, bottom = rect
        ctx.check((right, top) == (x - 5, y - 5),
                  f"menu {rect} for the pointer at ({x}, {y}): top-right corner ({right}, {top}), "
                  f"expected ({x - 5}, {y - 5})")
        sizes.add((right - left, bottom - top))
        measured(ctx, f"pointer ({x}, {y}), notification posted -> menu {rect}")
        close_menu(ctx, spot)
        spot += 1
    ctx.check(len(sizes) == 1, f"the menu's size varied: {sizes}")

    menu, _, _ = open_menu_at(ctx)
    choose(ctx, menu, MENU_EXIT)
    ctx.expect_exit(tool, 0, timeout=10)


@case("tray-left-click-opens-nothing", timeout=70)
def tray_left_click_opens_nothing(ctx: Ctx) -> None:
    """A left click or double click on the icon (and the matching notifications posted) begins no
    menu, opens no window and no message box; a right click on the same spot then does open the menu."""
    fresh_buttons(ctx)
    tool = start_plain(ctx)
    actions = [
        ("a left click", lambda: ctx.xdotool("click", "1")),
        ("a left double click", lambda: ctx.xdotool("click", "--repeat", "2", "--delay", "80", "1")),
        ("a posted WM_LBUTTONUP", lambda: post_tray(ctx, WM_LBUTTONUP)),
        ("a posted WM_LBUTTONDBLCLK", lambda: post_tray(ctx, WM_LBUTTONDBLCLK)),
    ]
    for what, action in actions:
        job = hook_menu(ctx, 3000)
        point_at_icon(ctx)
        action()
        ctx.steady(MENU, "hidden", 1200, what=f"a popup menu after {what}")
        ctx.check(ctx.state(HOST, pid=tool.win_pid) == "0", f"the host window showed after {what}")
        ctx.check(ctx.state(MSGBOX) != "1", f"a message box opened after {what}")
        if job.wait(min(10.0, ctx.remaining())) is None:
            raise CaseFailure("the menu hook did not end")
        ctx.check(job.popen.returncode == 1 and "popup" not in job.output(),
                  f"the tool began a popup menu after {what}: {job.output().strip()!r}")
    ctx.check(not tool.ended(), "the tool ended")
    menu, _, _ = open_menu_at(ctx)
    check_menu(ctx, menu, MENU_SUSPEND)
    choose(ctx, menu, MENU_EXIT)
    ctx.expect_exit(tool, 0, timeout=10)


@case("tray-suspend-stops-auto-hide", timeout=90)
def tray_suspend_stops_auto_hide(ctx: Ctx) -> None:
    """"关闭自动隐藏" shows the list view and the taskbar and keeps them through 4 s without input; the
    next menu offers "开启自动隐藏" (GBK), which brings the 3 s hide back, with the click watcher now
    ticking every 500 ms. Given while everything is hidden and no input comes, the command shows
    everything by itself."""
    fresh_buttons(ctx)
    tool, _ = start_on_layout(ctx, "progman", SUCCESS)
    dismiss_and_wait_hidden(ctx, tool)

    menu, _, _ = open_menu_at(ctx)  # the pointer on the icon is input: the watchers show everything
    check_menu(ctx, menu, MENU_SUSPEND)
    choose(ctx, menu, MENU_SUSPEND)
    ctx.check(ctx.state("SysListView32", "FolderView") == "1", "the list view is hidden after suspending")
    ctx.check(ctx.state(TASKBAR) == "1", "the taskbar is hidden after suspending")
    pointer_away(ctx)
    tl = timeline_result(ctx, shell_timeline(ctx, 4500))
    require_no_input(ctx, tl, "the suspended idle time")
    for index in (0, 1):
        ctx.check(tl.changes[index] == [(0, "1")], f"{tl.names[index]} changed while suspended: {tl}")
    ctx.check(tl.idle_at_end() >= 4000, f"only {tl.idle_at_end()} ms without input while suspended")
    measured(ctx, f"suspended: nothing hidden in {tl.idle_at_end()} ms without input")

    menu, _, _ = open_menu_at(ctx)
    check_menu(ctx, menu, MENU_RESUME)
    choose(ctx, menu, MENU_RESUME)
    tl = timeline_result(ctx, shell_timeline(ctx, 4500))
    require_no_input(ctx, tl, "the idle time after resuming")
    hides = []
    for index in (0, 1):
        gone = tl.first(index, "0")
        ctx.check(gone is not None, f"{tl.names[index]} was not hidden after resuming: {tl}")
        idle = gone - tl.last_input_before(gone)
        ctx.check(3000 <= idle <= 3400, f"{tl.names[index]} hidden {idle} ms after the last input: {tl}")
        hides.append(gone)
    measured(ctx, f"resumed: hidden {min(hides) - tl.inputs[0]} ms after the last input (the click on the item)")

    # Both watchers start again at the resume: the idle one every 300 ms, the click one every 500 ms.
    # Their ticks, counted from the resume, are found from the hide (an idle tick). A click placed
    # 30 ms after an idle tick and 120–220 ms before a click tick is shown at that click tick: not
    # within 50 ms (the period before suspending), and before the idle watcher's next tick.
    resumed = tl.tick(tl.inputs[0])
    hide_tick = tl.tick(min(hides))
    origin = (hide_tick - 300 * round(tick_diff(hide_tick, resumed) / 300)) % 2**32
    started = shell_timeline(ctx, 2600)
    now = started.tick_now()
    m = max(0, math.ceil((tick_diff(now, origin) + 80 - 30) / 300))
    while True:
        since = 300 * m + 30
        click_tick = 500 * math.ceil(since / 500)
        if 120 <= click_tick - since <= 220:
            break
        m += 1
    target = (origin + since) % 2**32
    time.sleep(max(0, tick_diff(target, now)) / 1000.0)  # placing the click, not waiting for a state
    ctx.xdotool("click", "1")
    tl = timeline_result(ctx, started)
    at = tl.first_input_after(0)
    ctx.check(at is not None, f"the click was not recorded: {tl}")
    shown = min(tl.first(index, "1") or 10**9 for index in (0, 1))
    ctx.check(shown < 10**9, f"nothing was shown after the click: {tl}")
    expected = tl.at_tick((origin + click_tick) % 2**32)
    idle_next = tl.at_tick((origin + 300 * math.ceil(tick_diff(tl.tick(at), origin) / 300)) % 2**32)
    measured(ctx, f"after resuming: click at {tick_diff(tl.tick(at), origin)} ms after the resume, shown "
                  f"{shown - at} ms later, {expected - shown} ms before the click tick expected, "
                  f"{idle_next - shown} ms before the idle watcher's next tick")
    ctx.check(shown - at >= 80, f"shown {shown - at} ms after the click: the click watcher still ticks every 50 ms")
    ctx.check(abs(shown - expected) <= 25 and idle_next - shown >= 40,
              f"shown {shown - at} ms after the click, not at the 500 ms click tick ({expected - at} ms after it; "
              f"idle tick at {idle_next - at} ms): {tl}")
    ctx.check(shown - at <= 500 + 25, f"shown {shown - at} ms after the click, beyond one 500 ms click period")

    # The command itself shows everything: given while all is hidden and nothing moves.
    ctx.wait_idle(3500)
    ctx.wait(TASKBAR, "0", 1000, what="the taskbar 3.5 s after the click")
    started = shell_timeline(ctx, 1500)
    post_command(ctx, ID_TOGGLE)
    tl = timeline_result(ctx, started)
    require_no_input(ctx, tl, "the posted command")
    for index in (0, 1):
        ctx.check(tl.initial(index) == "0" and tl.state_at(index, tl.end) == "1",
                  f"{tl.names[index]} was not shown by the command: {tl}")
    ctx.probe("--top", "close", HOST)
    ctx.expect_exit(tool, 0, timeout=10)


@case("tray-exit-restores-and-releases", timeout=90)
def tray_exit_restores_and_releases(ctx: Ctx) -> None:
    """"退出" from the menu ends the tool with 0, leaves the list view and the taskbar shown, removes
    the icon (the slot looks as before the start) and releases the mutex: the next start runs normally.
    That one, given "退出" while all is hidden and nothing moves, shows both itself and ends with 0."""
    fresh_buttons(ctx)
    ctx.check(ctx.state(TASKBAR) == "1", "the taskbar is not visible before the start")
    empty = tray_slot_crop(ctx, shot(ctx, "tray-exit-before"), 1)
    build_layout(ctx, "progman")
    tool, _ = start_and_read_box(ctx, SUCCESS)
    dismiss_and_wait_hidden(ctx, tool)
    ctx.check(mutex_held(ctx), f"the mutex {MUTEX} is not held while the tool runs")

    menu, _, _ = open_menu_at(ctx)
    check_menu(ctx, menu, MENU_SUSPEND)
    choose(ctx, menu, MENU_EXIT)
    ctx.expect_exit(tool, 0, timeout=10)
    ctx.check(not mutex_held(ctx), f"the mutex {MUTEX} outlived the tool")
    pointer_away(ctx)
    tl = timeline_result(ctx, shell_timeline(ctx, 1500))
    for index in (0, 1):
        ctx.check(tl.changes[index] == [(0, "1")], f"{tl.names[index]} is not shown after 退出: {tl}")
    left = wait_slot_like(ctx, empty, 1, "tray-exit-after-menu")
    ctx.check(left == 0, f"{left} pixels of the icon's slot differ from before the start after 退出")

    # The next start: the discovery message, not the refusal.
    again, _ = start_and_read_box(ctx, SUCCESS)
    dismiss_and_wait_hidden(ctx, again)
    ctx.check(mutex_held(ctx), f"the second start does not hold the mutex {MUTEX}")
    started = shell_timeline(ctx, 1500)
    post_command(ctx, ID_EXIT)
    tl = timeline_result(ctx, started)
    require_no_input(ctx, tl, "the posted 退出")
    for index in (0, 1):
        ctx.check(tl.initial(index) == "0" and tl.state_at(index, tl.end) == "1",
                  f"{tl.names[index]} was not shown by 退出: {tl}")
    ctx.expect_exit(again, 0, timeout=10)
    ctx.check(not mutex_held(ctx), f"the mutex {MUTEX} outlived the second start")
    left = wait_slot_like(ctx, empty, 1, "tray-exit-after-command")
    ctx.check(left == 0, f"{left} pixels of the icon's slot differ from before the start after the second 退出")


@case("tray-second-instance-leaves-first", timeout=70)
def tray_second_instance_leaves_first(ctx: Ctx) -> None:
    """A second copy shows "本工具禁止多开" (GBK) under "信息：", adds no icon, changes neither the
    taskbar nor the first copy's window and ends with 0; the first copy's icon is unchanged and its
    menu still works."""
    fresh_buttons(ctx)
    first = start_plain(ctx)
    before = shot(ctx, "tray-second-before")
    started = start_timeline(ctx, 2500, [(TASKBAR, "-"), (HOST, "-")], ["the taskbar", "the first host window"])
    second = ctx.start_tool()
    box = ctx.msgbox(2000, pid=second.win_pid)
    ctx.check(box.get("title") == TITLE_INFO and box.get("title_ansi") == TITLE_INFO_GBK,
              f"message box title {box.get('title')!r} ({box.get('title_ansi')})")
    ctx.check(box.get("text") == TEXT_SECOND_INSTANCE and box.get("text_ansi") == TEXT_SECOND_INSTANCE_GBK,
              f"message box text {box.get('text')!r} ({box.get('text_ansi')})")
    buttons = box.all("button")
    ctx.check(len(buttons) == 1 and buttons[0].split(" ")[0] == "1", f"message box buttons {buttons}")
    during = shot(ctx, "tray-second-box")
    ctx.dismiss(3000, pid=second.win_pid)
    ctx.expect_exit(second, 0, timeout=10)
    tl = timeline_result(ctx, started)
    ctx.check(tl.changes[0] == [(0, "1")], f"the taskbar changed while the second copy ran: {tl}")
    ctx.check(tl.changes[1] == [(0, "0")], f"the first copy's window changed: {tl}")
    after = shot(ctx, "tray-second-after")
    for name, picture in (("while the box was open", during), ("after the second copy ended", after)):
        ctx.check(tray_slot_crop(ctx, picture, 1) == tray_slot_crop(ctx, before, 1),
                  f"the first copy's icon changed {name}")
        ctx.check(tray_slot_crop(ctx, picture, 2) == tray_slot_crop(ctx, before, 2), f"a second icon appeared {name}")
    ctx.check(not first.ended(), "the first copy ended")
    ctx.check(mutex_held(ctx), f"the mutex {MUTEX} is no longer held by the first copy")

    menu, _, _ = open_menu_at(ctx)
    check_menu(ctx, menu, MENU_SUSPEND)
    choose(ctx, menu, MENU_EXIT)
    ctx.expect_exit(first, 0, timeout=10)
