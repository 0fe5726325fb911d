#!/usr/bin/python3
"""Drives Korvane through the desktop accessibility bus, as a screen reader would.

Run inside a private session bus (dbus-run-session). Starts its own X server
(Xvfb), the accessibility bus launcher and Korvane, then:
  - finds each named control of the main window and of the configuration
    dialog by its accessible name and role;
  - types a value into "Input", moves the grid selection to another cell and
    reads that cell's new text back through the accessibility interface.
Every wait is bounded. Exit status: 0 passed, 1 failed, 77 cannot run here
(the reason is printed on a line starting with "SKIP:").
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
STEP = 20.0  # seconds any single wait may take
children = []
failures = []


def say(text):
    print(text, flush=True)


def skip(reason):
    say("SKIP: " + reason)
    raise SystemExit(SKIP)


def check(ok, what):
    say(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        failures.append(what)
    return ok


def wait_for(what, probe, timeout=STEP, interval=0.1):
    """Returns probe()'s first true value, or None once `timeout` has passed."""
    end = time.monotonic() + timeout
    while True:
        pump_events()
        try:
            value = probe()
        except Exception:  # the tree changes under our feet while windows appear
            value = None
        if value:
            return value
        if time.monotonic() >= end:
            say("gave up waiting for " + what)
            return None
        time.sleep(interval)


def pump_events():
    """Delivers the accessibility events that have arrived (GLib main context)."""
    try:
        from gi.repository import GLib
    except ImportError:
        return
    context = GLib.MainContext.default()
    while context.iteration(False):
        pass


def start(argv, **kw):
    p = subprocess.Popen(argv, **kw)
    children.append(p)
    return p


def stop_children():
    for p in reversed(children):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def start_x_server():
    """An X server of our own on a free display; other tests may run theirs at the same time."""
    import select
    first = 100 + os.getpid() % 800
    for display in range(first, first + 8):
        if os.path.exists("/tmp/.X%d-lock" % display):
            continue
        read_end, write_end = os.pipe()
        # -noreset: without it the server resets whenever its last client leaves
        # (the bus launcher's probe of the display), and a client connecting in
        # that moment is refused.
        server = start(["Xvfb", ":%d" % display, "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                        "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        os.close(write_end)
        # The number comes with a line feed once the server listens; read up to it
        # before closing, or the server dies of SIGPIPE. An early end means the
        # display was taken after all: try the next one.
        text, end = b"", time.monotonic() + STEP
        while not text.endswith(b"\n") and time.monotonic() < end:
            ready, _, _ = select.select([read_end], [], [], max(0.0, end - time.monotonic()))
            chunk = os.read(read_end, 32) if ready else b""
            if not chunk:
                break
            text += chunk
        os.close(read_end)
        if text.strip() == str(display).encode() and server.poll() is None:
            return ":%d" % display
        if server.poll() is None:
            server.terminate()
            server.wait()
    skip("Xvfb did not start")


def name_has_owner(name):
    out = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                          "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name],
                         capture_output=True, text=True, timeout=5)
    return out.returncode == 0 and "boolean true" in out.stdout


def descendants(root):
    """Every accessible below root (breadth first)."""
    found, queue = [], [root]
    while queue:
        node = queue.pop(0)
        for i in range(node.childCount):
            child = node.getChildAtIndex(i)
            if child is not None:
                found.append(child)
                # A table's cells are reached through its table interface.
                if child.getRoleName() != "table":
                    queue.append(child)
    return found


def spoken_name(acc):
    """The name a screen reader says. Qt names a combo box after its current text
    and points it at its label with a labelled-by relation: the label names it."""
    import pyatspi
    if acc.getRoleName() == "combo box":
        for relation in acc.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY and relation.getNTargets() > 0:
                return relation.getTarget(0).name
    return acc.name


def find(root, name, roles):
    return [a for a in descendants(root) if a.getRoleName() in roles and spoken_name(a) == name]


def showing(acc):
    import pyatspi
    return acc.getState().contains(pyatspi.STATE_SHOWING)


EDIT = {"text", "entry"}
COMBO = {"combo box"}
BUTTON = {"push button"}
CHECK = {"check box"}
RADIO = {"radio button"}
FIELD = {"label", "text", "entry", "static"}

MAIN_CONTROLS = [
    ("Start Register", EDIT), ("Length", EDIT), ("Variable Type", COMBO), ("Display As", COMBO),
    ("Status", EDIT), ("Port", FIELD, "InActive"), ("Mode", FIELD, "Slave - Binary"), ("Address", COMBO),
    ("Page", FIELD, "1"),
    ("Next Page", BUTTON), ("Previous Page", BUTTON), ("Save Page", BUTTON),
    ("Next Block", BUTTON), ("Previous Block", BUTTON), ("Input", EDIT), ("Rewrite", BUTTON),
    ("Poll On/Off", BUTTON), ("Polling", CHECK), ("Read", BUTTON), ("Write", BUTTON),
    ("Change Values", CHECK), ("Low Limit", EDIT), ("High Limit", EDIT), ("Increment", EDIT),
    ("Registers", {"table"}),
]
CONFIG_CONTROLS = [
    ("Port Active", CHECK), ("Com Port", COMBO), ("BaudRate", COMBO), ("Data Bits", COMBO),
    ("Parity", COMBO), ("Stop Bits", COMBO), ("Binary/RTU", RADIO), ("ASCII", RADIO),
    ("Master", RADIO), ("Slave", RADIO), ("Poll Time 1-30 Sec", EDIT), ("Response Time mSec", EDIT),
    ("Function 6 For Single Registers", CHECK), ("Exit", BUTTON),
] + [("Address %d" % k, EDIT) for k in range(1, 6)] + [("Address %d" % k, RADIO) for k in range(1, 6)]


def text_of(acc):
    try:
        return acc.queryText().getText(0, -1)
    except NotImplementedError:
        return None


def check_controls(window, table, where):
    """Each entry: (name, roles) or (name, roles, the text the control shows)."""
    nodes = descendants(window)
    for name, roles, *shown in table:
        hits = [a for a in nodes if a.getRoleName() in roles and spoken_name(a) == name]
        if shown:  # a display field shows its text as its description
            hits = [a for a in hits if shown[0] in (text_of(a), a.description)]
        check(len(hits) >= 1, "%s: %s (%s)%s" % (where, name, "/".join(sorted(roles)),
                                                  " showing %r" % shown[0] if shown else ""))


def cell_text(table, row, col):
    cell = table.queryTable().getAccessibleAt(row, col)
    return cell.name if cell is not None else None


def click(acc):
    """A left click in the middle of the accessible, through the X server."""
    import pyatspi
    x, y, w, h = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(x + w // 2, y + h // 2, "b1c")


def main(korvane):
    for tool in ("Xvfb", "dbus-send"):
        if subprocess.run(["sh", "-c", "command -v " + tool], capture_output=True).returncode != 0:
            skip(tool + " is not installed")
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        skip("no session bus: run this under dbus-run-session")
    launcher = "/usr/libexec/at-spi-bus-launcher"
    if not os.access(launcher, os.X_OK):
        skip("at-spi-bus-launcher is missing (package at-spi2-core)")

    display = start_x_server()
    os.environ["DISPLAY"] = display
    start([launcher, "--launch-immediately"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_for("the accessibility bus", lambda: name_has_owner("org.a11y.Bus")):
        skip("the accessibility bus (org.a11y.Bus) did not come up")
    try:
        import pyatspi
    except ImportError:
        skip("python3-pyatspi is not installed")

    env = dict(os.environ)
    env.update({"QT_QPA_PLATFORM": "xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_ACCESSIBILITY": "1",
                "DISPLAY": display})
    for key in list(env):
        if key.startswith("KORVANE_COM"):
            del env[key]
    log = tempfile.TemporaryFile()
    program = start([korvane], env=env, stdout=log, stderr=subprocess.STDOUT, cwd=tempfile.gettempdir())

    def korvane_app():
        if program.poll() is not None:
            log.seek(0)
            say(log.read().decode(errors="replace"))
            raise SystemExit("korvane ended early with status %d" % program.returncode)
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.get_process_id() == program.pid:
                return app
        return None

    app = wait_for("Korvane on the accessibility bus", korvane_app)
    if app is None:
        skip("Korvane did not appear on the accessibility bus")

    # Listen before anything changes: the bridge sends only events someone asked for.
    announced = []

    def on_name_change(event):
        try:
            if event.source.getRoleName() == "table cell" and event.source.name == "4321":
                announced.append(event.source.description)
        except Exception:
            pass

    pyatspi.Registry.registerEventListener(on_name_change, "object:property-change:accessible-name")

    main_window = wait_for("the main window", lambda: next(
        (w for w in app if w is not None and w.name.startswith("STELMOR - KORVANE")), None))
    if not check(main_window is not None, "main window found by its title"):
        return
    check_controls(main_window, MAIN_CONTROLS, "main window")

    # Value entry: the text typed into "Input" is stored into the cell the selection moves to.
    inputs = find(main_window, "Input", EDIT)
    grids = find(main_window, "Registers", {"table"})
    if check(bool(inputs) and bool(grids), "Input and the register grid found"):
        entry, grid = inputs[0], grids[0]
        entry.queryEditableText().setTextContents("4321")
        check(entry.queryText().getText(0, -1) == "4321", "Input holds the typed value")
        check(cell_text(grid, 3, 2) == "0", "cell row 3 column 2 reads 0 before")
        click(grid.queryTable().getAccessibleAt(3, 2))
        changed = wait_for("the cell to change", lambda: cell_text(grid, 3, 2) == "4321")
        check(bool(changed), "cell row 3 column 2 reads 4321 after the selection moved there")
        heard = wait_for("the name change of that cell", lambda: announced)
        check(bool(heard) and heard[0] == "Register 23", "value entry announced the changed cell: %r" % heard)
        cell = grid.queryTable().getAccessibleAt(3, 2)
        check(cell.description == "Register 23", "the cell says which register it shows: %r" % cell.description)

    # The configuration dialog, opened from the menu bar.
    items = find(main_window, "Configure", {"menu item", "menu"})
    if check(bool(items), "menu command Configure found"):
        action = items[0].queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        action.doAction(0)
        say("Configure actions: %s" % names)
        dialog = wait_for("the Configuration dialog", lambda: next(
            (w for w in app if w is not None and w.name == "Configuration" and showing(w)), None))
        if check(dialog is not None, "Configuration dialog shown"):
            check_controls(dialog, CONFIG_CONTROLS, "configuration")

    if failures:
        log.seek(0)
        say("korvane output:\n" + log.read().decode(errors="replace"))


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    status = 0
    try:
        main(sys.argv[1])
        status = 1 if failures else 0
    except SystemExit as e:
        status = e.code if isinstance(e.code, int) else 1
        if not isinstance(e.code, int):
            check(False, str(e.code))
    finally:
        stop_children()
    say("%d check(s) failed" % len(failures) if failures else ("skipped" if status == SKIP else "all checks passed"))
    sys.exit(status)
