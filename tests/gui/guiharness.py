"""Runs the window in a private X display and drives it as a screen-reader
user would: through AT-SPI (find by role and name, press, read texts), with
emulated adapters and the local S3 test store behind it.

Every process is started here and ended here by the id recorded at its
start; each also gets SIGTERM when this Python process dies, so a test that
is killed leaves nothing running.

Use:
    desktop = Desktop(work_dir)      # Xvfb, session bus, accessibility bus
    desktop.start()
    store = fixtures.LocalStore(work_dir)   # optional: the catalogue's store
    store.start()
    window = desktop.start_program(program, folder, emulator=..., store=store)
    window.press("Enter")
    ...
    desktop.stop()
"""

import ctypes
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
CLOUD_TEST_DIR = os.path.join(SOURCE_ROOT, "tests", "cloud")

# Locale language numbers that configs.ini stores for the window's language.
LANGUAGE_ENGLISH = 31
LANGUAGE_CHINESE = 25

SCREEN_WIDTH = 1024
SCREEN_HEIGHT = 768
START_TIMEOUT_S = 20
ACCESSIBILITY_CALL_TIMEOUT_MS = 10000
ACCESSIBILITY_STARTUP_TIMEOUT_MS = 20000

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def die_with_parent():
    # Runs in the child between fork and exec.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
    os.setpgid(0, 0)


class HarnessError(Exception):
    pass


def wait_until(predicate, timeout_s, interval_s=0.02, what="condition"):
    """Polls predicate until it returns something true; returns that value."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError("timed out after %.1f s waiting for %s" % (timeout_s, what))
        time.sleep(interval_s)


def remove_blocks_keyed_on(folder):
    """Removes the shared memory blocks and semaphores keyed on the files of a
    folder about to be deleted. The program ends on SIGTERM without detaching
    its single-instance block, which then outlives it, keyed on the inode of
    a file here. Once the folder is gone the file system hands that inode to
    a new file, and a later program (of any test) would meet the dead block
    under its own name."""
    ipc_remove = 0
    project_id = ord("Q")
    for entry in os.scandir(folder):
        key = _libc.ftok(os.fsencode(entry.path), project_id)
        if key == -1:
            continue
        memory = _libc.shmget(key, 0, 0)
        if memory != -1:
            _libc.shmctl(memory, ipc_remove, None)
        semaphore = _libc.semget(key, 0, 0)
        if semaphore != -1:
            _libc.semctl(semaphore, 0, ipc_remove)


def end_process(process, name, grace_s=5):
    """Ends one process this harness started, by its id."""
    if process is None or process.poll() is not None:
        return
    try:
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=grace_s)
    except subprocess.TimeoutExpired:
        sys.stderr.write("harness: %s (pid %d) ignored SIGTERM; killing it\n" % (name, process.pid))
        process.kill()
        process.wait()


def _has_ended(pid):
    # A process that is not our child stays a zombie until its parent (or
    # init) collects it; it has ended all the same.
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (OSError, IndexError):
        return True


def _end_pid(pid, name, grace_s=5):
    """Ends a process that was started on our behalf (not our child)."""
    if not pid:
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + grace_s
    while time.monotonic() < deadline:
        if _has_ended(pid):
            return
        time.sleep(0.02)
    sys.stderr.write("harness: %s (pid %d) ignored SIGTERM; killing it\n" % (name, pid))
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def _children_of(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
            return [int(child) for child in children.read().split()]
    except OSError:
        return []


def write_configs(folder, language, extra=None):
    """configs.ini as the program keeps it in its working folder."""
    os.makedirs(folder, exist_ok=True)
    lines = ["[General]", "Language=%d" % language, "CloudDefaultIndex=0"]
    for key, value in (extra or {}).items():
        lines.append("%s=%s" % (key, value))
    with open(os.path.join(folder, "configs.ini"), "w") as file:
        file.write("\n".join(lines) + "\n")


# ---------------------------------------------------------------------------
# The private desktop: X display, session bus, accessibility bus, registry.

class Desktop:
    def __init__(self, work_dir):
        self.work_dir = work_dir
        self.xvfb = None
        self.session_bus = None
        self.launcher = None
        self.launcher_children = []
        self.registry_pid = None
        self.display = None
        self.environment = None
        self.programs = []
        self.pyatspi = None
        self.log_path = os.path.join(work_dir, "desktop.log")
        self._log = None
        self.temporary = None

    # -- start and stop ------------------------------------------------------

    def start(self):
        os.makedirs(self.work_dir, exist_ok=True)
        self._log = open(self.log_path, "ab")
        home = os.path.join(self.work_dir, "home")
        runtime = os.path.join(self.work_dir, "runtime")
        # Short: socket paths in it are limited to 107 bytes.
        self.temporary = tempfile.mkdtemp(prefix="brivane-gui-")
        temporary = self.temporary
        for folder in (home, runtime):
            os.makedirs(folder, exist_ok=True)
        os.chmod(runtime, 0o700)
        environment = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_ACCESSIBILITY",
                     "AT_SPI_BUS_ADDRESS", "SESSION_MANAGER", "DBUS_SYSTEM_BUS_ADDRESS"):
            environment.pop(name, None)
        environment.update({
            "HOME": home,
            "XDG_RUNTIME_DIR": runtime,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "GSETTINGS_BACKEND": "memory",
            # The program's single-instance guard keys its shared memory and
            # socket on files in the temporary folder: a private one keeps
            # the programs of parallel tests (and a user's) apart.
            "TMPDIR": temporary,
            "NO_AT_BRIDGE": "0",
        })
        self.environment = environment
        try:
            self._start_xvfb()
            self._start_session_bus()
            self._start_accessibility()
        except Exception:
            self.stop()
            raise
        # pyatspi connects when it is imported, and a Python process that
        # cannot reach the bus aborts: import it only now.
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS",
                     "XDG_RUNTIME_DIR"):
            os.environ[name] = self.environment[name]
        import pyatspi  # noqa: E402 (deliberately late)
        # The accessibility library gives up on a call after 800 ms and then
        # reports the object as offering no interface at all. A sanitizer
        # build on a loaded machine answers slower than that while an update
        # floods its main thread with progress, so wait as long as a person
        # would.
        pyatspi.setTimeout(ACCESSIBILITY_CALL_TIMEOUT_MS, ACCESSIBILITY_STARTUP_TIMEOUT_MS)
        self.pyatspi = pyatspi

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             "%dx%dx24" % (SCREEN_WIDTH, SCREEN_HEIGHT), "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=self._log, stderr=self._log,
            env=self.environment, preexec_fn=die_with_parent)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + START_TIMEOUT_S
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            readable, _, _ = select.select([read_end], [], [], 0.5)
            if readable:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
            elif self.xvfb.poll() is not None:
                break
        os.close(read_end)
        if not number.strip().isdigit():
            raise HarnessError("Xvfb did not start (see %s)" % self.log_path)
        self.display = ":" + number.decode().strip()
        self.environment["DISPLAY"] = self.display

    def _start_session_bus(self):
        socket_path = os.path.join(self.environment["XDG_RUNTIME_DIR"], "bus")
        self.session_bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile",
             "--address=unix:path=" + socket_path, "--print-address=1"],
            stdout=subprocess.PIPE, stderr=self._log, env=self.environment,
            preexec_fn=die_with_parent)
        readable, _, _ = select.select([self.session_bus.stdout], [], [], START_TIMEOUT_S)
        address = self.session_bus.stdout.readline().decode().strip() if readable else ""
        if not address:
            raise HarnessError("the session bus did not start (see %s)" % self.log_path)
        self.environment["DBUS_SESSION_BUS_ADDRESS"] = address

    def _start_accessibility(self):
        from gi.repository import Gio, GLib

        # The launcher starts the accessibility bus and publishes its address
        # on the X root window, where Qt's bridge finds it.
        self.launcher = subprocess.Popen(
            ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
            stdout=self._log, stderr=self._log, env=self.environment,
            preexec_fn=die_with_parent)
        session = Gio.DBusConnection.new_for_address_sync(
            self.environment["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

        def accessibility_address():
            try:
                reply = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                          "GetAddress", None, GLib.VariantType("(s)"),
                                          Gio.DBusCallFlags.NO_AUTO_START, 2000, None)
                return reply.unpack()[0]
            except GLib.Error:
                return None

        address = wait_until(accessibility_address, START_TIMEOUT_S, 0.05,
                             "the accessibility bus")
        session.close_sync(None)
        self.environment["AT_SPI_BUS_ADDRESS"] = address
        self.launcher_children = _children_of(self.launcher.pid)

        bus = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "StartServiceByName", GLib.Variant("(su)", ("org.a11y.atspi.Registry", 0)),
                      GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 10000, None)
        reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                              GLib.Variant("(s)", ("org.a11y.atspi.Registry",)),
                              GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 5000, None)
        self.registry_pid = reply.unpack()[0]
        bus.close_sync(None)

    def stop(self):
        for program in list(self.programs):
            program.stop()
        _end_pid(self.registry_pid, "at-spi2-registryd")
        self.registry_pid = None
        end_process(self.launcher, "at-spi-bus-launcher")
        for pid in self.launcher_children:
            _end_pid(pid, "accessibility bus")
        self.launcher_children = []
        end_process(self.session_bus, "session bus")
        end_process(self.xvfb, "Xvfb")
        self.launcher = self.session_bus = self.xvfb = None
        if self._log:
            self._log.close()
            self._log = None
        if self.temporary:
            remove_blocks_keyed_on(self.temporary)
            shutil.rmtree(self.temporary, ignore_errors=True)
            self.temporary = None

    # -- programs --------------------------------------------------------------

    def start_program(self, program_path, work_dir, emulator=None, store=None, admin=False,
                      extra_env=None, language=LANGUAGE_ENGLISH, configs=None):
        """Starts the window in work_dir (configs.ini written there) and waits
        until its frame is reachable."""
        write_configs(work_dir, language, configs)
        environment = dict(self.environment)
        environment.pop("AT_SPI_BUS_ADDRESS", None)  # Qt finds the bus as a desktop's would
        for name in ("BRIVANE_EMULATOR", "BRIVANE_ADMIN", "BRIVANE_STORE_CONFIG", "no_proxy",
                     "NO_PROXY", "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"):
            environment.pop(name, None)
        environment.update({
            "QT_QPA_PLATFORM": "xcb",
            "QT_QUICK_BACKEND": "software",
            "BRIVANE_SETTINGS_COPY_DIR": os.path.join(work_dir, "settings-copies"),
            # Seconds since start on each line of the program's log.
            "QT_MESSAGE_PATTERN": "[%{time process}] %{if-category}%{category}: %{endif}%{message}",
        })
        if emulator:
            environment["BRIVANE_EMULATOR"] = emulator
        if store:
            environment.update(store.environment())
        else:
            # No store: an empty credentials file, so the real store is never asked.
            empty = os.path.join(work_dir, "no-store.ini")
            open(empty, "w").close()
            environment["BRIVANE_STORE_CONFIG"] = empty
        if admin:
            environment["BRIVANE_ADMIN"] = "1"
        environment.update(extra_env or {})
        window = Window(self, program_path, work_dir, environment)
        self.programs.append(window)
        window.start()
        return window


# ---------------------------------------------------------------------------
# One running program and its window.

class Window:
    def __init__(self, desktop, program_path, work_dir, environment):
        self.desktop = desktop
        self.pyatspi = desktop.pyatspi
        self.program_path = program_path
        self.work_dir = work_dir
        self.environment = environment
        self.process = None
        self.application = None
        self.frame = None
        self.log_path = os.path.join(work_dir, "program.log")
        self._log = None

    def start(self):
        self._log = open(self.log_path, "ab")
        started = time.monotonic()
        self.process = subprocess.Popen([self.program_path], cwd=self.work_dir,
                                        env=self.environment, stdout=self._log,
                                        stderr=self._log, preexec_fn=die_with_parent)
        self.application = wait_until(self._find_application, START_TIMEOUT_S, 0.05,
                                      "the program on the accessibility bus (log: %s)"
                                      % self.log_path)
        self.frame = wait_until(
            lambda: self._first_showing(self.application, "frame"), START_TIMEOUT_S, 0.05,
            "the program's window")
        self.start_seconds = time.monotonic() - started

    def _find_application(self):
        if self.process.poll() is not None:
            raise HarnessError("the program exited with %d before its window appeared (log: %s)"
                               % (self.process.returncode, self.log_path))
        desktop = self.pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            application = desktop.getChildAtIndex(index)
            try:
                if application is not None and application.get_process_id() == self.process.pid:
                    return application
            except Exception:  # an application that left meanwhile
                continue
        return None

    def _first_showing(self, root, role):
        return self.pyatspi.findDescendant(
            root, lambda node: node.getRoleName() == role and self._showing(node))

    def stop(self):
        if self.process:
            end_process(self.process, "brivane-firmware-tool")
        if self in self.desktop.programs:
            self.desktop.programs.remove(self)
        if self._log:
            self._log.close()
            self._log = None

    def exited(self):
        return self.process.poll() is not None

    def log(self):
        with open(self.log_path, "rb") as file:
            return file.read().decode(errors="replace")

    # -- finding ---------------------------------------------------------------

    def _showing(self, node):
        try:
            return node.getState().contains(self.pyatspi.STATE_SHOWING)
        except Exception:
            return False

    def find_all(self, role=None, name=None, showing=True, root=None):
        """Accessible objects below root (default: the application). StackView
        keeps hidden pages in the tree, so only showing ones count by default."""
        matches = []

        def visit(node):
            try:
                count = node.childCount
            except Exception:
                return
            for index in range(count):
                try:
                    child = node.getChildAtIndex(index)
                except Exception:
                    continue
                if child is None:
                    continue
                try:
                    role_name = child.getRoleName()
                    child_name = child.name
                except Exception:
                    continue
                if ((role is None or role_name == role) and (name is None or child_name == name)
                        and (not showing or self._showing(child))):
                    matches.append(child)
                if not showing or self._showing(child):
                    visit(child)

        visit(root or self.application)
        return matches

    def find(self, role, name=None, showing=True, root=None):
        found = self.find_all(role, name, showing, root)
        return found[0] if found else None

    def wait_for(self, role, name=None, timeout_s=10, showing=True):
        return wait_until(lambda: self.find(role, name, showing), timeout_s, 0.02,
                          "%s %r to be shown" % (role, name))

    def wait_gone(self, role, name=None, timeout_s=10):
        wait_until(lambda: self.find(role, name) is None, timeout_s, 0.02,
                   "%s %r to disappear" % (role, name))

    def names(self, role):
        return [node.name for node in self.find_all(role)]

    def describe(self):
        """Every showing object as 'role "name" [description]', for failure messages."""
        lines = []
        for node in self.find_all():
            try:
                lines.append('%s "%s"%s' % (node.getRoleName(), node.name,
                                             " [%s]" % node.description
                                             if node.description else ""))
            except Exception:
                continue
        return "\n".join(lines)

    # -- acting ----------------------------------------------------------------

    def press_object(self, node, action_name="Press"):
        action = node.queryAction()
        names = [action.getName(index) for index in range(action.nActions)]
        if action_name not in names:
            raise HarnessError("%s %r offers no %s action (only %s)"
                               % (node.getRoleName(), node.name, action_name, names))
        action.doAction(names.index(action_name))

    def press(self, name, role="push button", timeout_s=10):
        node = self.wait_for(role, name, timeout_s)
        self.press_object(node)
        return node

    def extents(self, node):
        box = node.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        return box.x, box.y, box.width, box.height

    def centre(self, node):
        x, y, width, height = self.extents(node)
        return x + width // 2, y + height // 2

    def xdotool(self, *arguments):
        subprocess.run(["xdotool"] + [str(argument) for argument in arguments],
                       env=self.desktop.environment, check=True, timeout=20,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def click(self, node, hold_s=0.0):
        """A mouse click at the centre of node, as a pointer user makes it."""
        x, y = self.centre(node)
        self.click_at(x, y, hold_s)

    def click_at(self, x, y, hold_s=0.0):
        # One xdotool call: the server handles the move before the press.
        # (mousemove --sync waits for a motion event, which never comes when
        # the pointer is already there.)
        if hold_s <= 0:
            self.xdotool("mousemove", x, y, "click", "1")
        else:
            self.xdotool("mousemove", x, y, "mousedown", "1")
            time.sleep(hold_s)
            self.xdotool("mouseup", "1")

    def drag(self, start, end, steps=12, step_s=0.04):
        """Presses at start, moves in steps to end and releases, as a hand would."""
        self.xdotool("mousemove", start[0], start[1], "mousedown", "1")
        time.sleep(0.15)
        for step in range(1, steps + 1):
            x = start[0] + (end[0] - start[0]) * step // steps
            y = start[1] + (end[1] - start[1]) * step // steps
            self.xdotool("mousemove", x, y)
            time.sleep(step_s)
        time.sleep(0.15)
        self.xdotool("mouseup", "1")

    def key(self, *keys):
        """Keys go to the window under the pointer when no window manager runs."""
        x, y, width, height = self.extents(self.frame)
        self.xdotool("mousemove", x + width // 2, y + 8)
        for key in keys:
            self.xdotool("key", key)

    # -- messages ----------------------------------------------------------------

    def tool_tip(self):
        """(text, colour) of the shared message tip, or None when none shows."""
        # The tip's popup is a tool tip too, named with its rich text; the
        # message is the one that says its colour.
        for node in self.find_all("tool tip"):
            try:
                if node.description:
                    return node.name, node.description.lower()
            except Exception:
                continue
        return None

    def watch_messages(self, duration_s, interval_s=0.02, stop_when=None):
        """Samples the message tip; returns [(start s, end s, text, colour)] of
        each message shown, times from the call."""
        shown = []
        current = None
        started = time.monotonic()
        while True:
            now = time.monotonic() - started
            tip = self.tool_tip()
            if tip != (current[2:] if current else None):
                if current:
                    shown.append((current[0], now, current[2], current[3]))
                current = (now, None) + tip if tip else None
            if now >= duration_s or (stop_when and stop_when(shown, current)):
                break
            time.sleep(interval_s)
        if current:
            shown.append((current[0], None, current[2], current[3]))
        return shown

    # -- pictures ----------------------------------------------------------------

    def screenshot(self, path, settle_s=0.15, attempts=20, still=True):
        """The window as a PNG, taken once two frames in a row are identical
        (a page transition must not be caught half-way); still=False takes
        it at once (a running update never stands still)."""
        x, y, width, height = self.extents(self.frame)
        previous = None
        for _ in range(attempts if still else 0):
            pixels = self._grab(x, y, width, height)
            if pixels == previous:
                break
            previous = pixels
            time.sleep(settle_s)
        self._grab(x, y, width, height, path)
        from pictures import Picture  # pictures.py needs this module first
        return Picture(path)

    def _grab(self, x, y, width, height, png_path=None):
        target = png_path or "ppm:-"
        result = subprocess.run(
            ["import", "-silent", "-window", "root", "-crop", "%dx%d+%d+%d" % (width, height, x, y),
             "+repage", target], env=self.desktop.environment, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, timeout=30)
        if result.returncode != 0:
            raise HarnessError("import failed: %s" % result.stderr.decode(errors="replace"))
        return result.stdout


def make_work_dir(build_dir, name):
    """A fresh folder for one test program's files, kept after the run for
    inspection; screenshots go beside it."""
    root = os.path.join(build_dir, "gui-test-runs")
    os.makedirs(root, exist_ok=True)
    folder = os.path.join(root, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder
