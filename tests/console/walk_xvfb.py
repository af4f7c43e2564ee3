#!/usr/bin/env python3
"""The console under an X server, driven as a user would with xdotool and read back with xclip,
against a peer on a socat pseudo-terminal pair:

  walk_xvfb.py PATH/TO/corvantel        (run under xvfb-run; needs socat, xdotool, xclip and libX11)

Copy, paste and keys; then the cable is pulled (socat goes, with its links) and plugged in again under
the same name. What only the picture shows (the lamps, the status line, a disabled button) is read
back from the window's pixels. Every wait is on a condition with a deadline; the walk takes a few
seconds."""

import ctypes
import ctypes.util
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DEADLINE = 60.0  # seconds for any one condition (generous: a sanitizer build starts slowly)


class WalkFailed(Exception):
    pass


def wait_for(what, condition, deadline=DEADLINE, pause=0.05):
    end = time.monotonic() + deadline
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > end:
            raise WalkFailed("timed out waiting for " + what)
        time.sleep(pause)


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, timeout=DEADLINE, **kw)


class Peer:
    """The far end of the console's line."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.received = b""

    def write(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.fd], [], 1.0)
            try:
                view = view[os.write(self.fd, view):]
            except BlockingIOError:
                pass

    def pump(self):
        while select.select([self.fd], [], [], 0)[0]:
            try:
                chunk = os.read(self.fd, 4096)
            except BlockingIOError:
                break
            if not chunk:
                break
            self.received += chunk

    def take(self, what, count):
        """Waits for `count` more bytes and returns exactly them."""
        def arrived():
            self.pump()
            return len(self.received) >= count
        wait_for(what, arrived)
        data, self.received = self.received[:count], self.received[count:]
        return data


def key(*keys):
    # XTEST keys go to the window that has the focus, as a user's would.
    run("xdotool", "key", "--clearmodifiers", *keys)


def clipboard():
    result = subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, timeout=DEADLINE)
    return result.stdout if result.returncode == 0 else None


def set_clipboard(data):
    # xclip stays behind as the selection's owner until another program takes it.
    subprocess.run(["xclip", "-i", "-selection", "clipboard"], input=data, check=True, timeout=DEADLINE)


class Screen:
    """Reads back what the window shows, through Xlib (the lamps and the status line are pictures)."""

    def __init__(self):
        x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XGetImage.restype = ctypes.c_void_p
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XGetPixel.restype = ctypes.c_ulong
        x.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        x.XDestroyImage.argtypes = [ctypes.c_void_p]
        self.x = x
        self.display = x.XOpenDisplay(None)
        if not self.display:
            raise WalkFailed("cannot open the X display")

    def pixels(self, window, left, top, width, height):
        """The (r, g, b) of every pixel in a rectangle of the window, row by row."""
        all_planes, z_pixmap = (1 << 64) - 1, 2
        image = self.x.XGetImage(self.display, window, left, top, width, height, all_planes, z_pixmap)
        if not image:
            raise WalkFailed("cannot read the window's picture")
        try:
            values = [self.x.XGetPixel(image, i, j) for j in range(height) for i in range(width)]
        finally:
            self.x.XDestroyImage(image)
        return [((v >> 16) & 255, (v >> 8) & 255, v & 255) for v in values]


def visible(title):
    """The ids of the shown windows called `title` (a search can fail while windows come and go)."""
    return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title], capture_output=True,
                          timeout=DEADLINE).stdout.split()


def find_window(title):
    return wait_for("the %r window" % title, lambda: visible(title))[0]


def answer_dialog(title, answer):
    """Waits for the dialog called `title`, gives it the keyboard and `answer`, then waits for it to go."""
    found = find_window(title)
    run("xdotool", "windowfocus", "--sync", found)
    key(answer)

    wait_for("the %r dialog to close" % title, lambda: not visible(title))


def lamp_lit(picture, kind):
    """True when a lamp's picture shows its lit colour (the dark glyph is a dim shade of it)."""
    if kind == "green":
        return any(g > 170 and r < 120 and b < 120 for r, g, b in picture)
    return any(r > 200 and g < 90 and b < 90 for r, g, b in picture)


def main():
    console_program = os.path.abspath(sys.argv[1])
    for tool in ("socat", "xdotool", "xclip"):
        if not shutil.which(tool):
            raise WalkFailed(tool + " is not installed")
    work = tempfile.mkdtemp(prefix="cv-walk-")
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), TMPDIR=work)
    env.pop("QT_QPA_PLATFORM", None)
    if "ASAN_OPTIONS" in env:
        # The X keyboard library copies a keymap name with strndup from a buffer that is not
        # NUL-terminated: legal, but the strict string check reports it at start-up. Later options win.
        env["ASAN_OPTIONS"] += ":strict_string_checks=0"
    line_path = os.path.join(work, "console-line")
    peer_path = os.path.join(work, "peer-line")

    def plug_in():
        # socat replaces links left behind; the console's end is always found under the same path.
        line = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + line_path, "pty,raw,echo=0,link=" + peer_path],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("the socat pair", lambda: os.path.exists(line_path) and os.path.exists(peer_path))
        return line

    socat = None
    console = None
    started = time.monotonic()
    try:
        socat = plug_in()
        peer = Peer(peer_path)
        # The save dialog starts in the working folder.
        console = subprocess.Popen([console_program, "--connect", line_path, "38400"], env=env, cwd=work,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        def shown():
            if console.poll() is not None:
                raise WalkFailed("the console ended at start")
            return visible("CV2")
        window = wait_for("the console's window", shown)[0]
        run("xdotool", "windowfocus", "--sync", window)
        # A click in the terminal pane gives it the keyboard focus.
        run("xdotool", "mousemove", "--window", window, "60", "60", "click", "1")

        # The port is open once a typed key reaches the peer.
        def typed_key_arrives():
            key("z")
            time.sleep(0.1)
            peer.pump()
            return b"z" in peer.received
        wait_for("the console's port to open", typed_key_arrives, pause=0)
        time.sleep(0.1)
        peer.pump()
        peer.received = b""

        # 300 numbered lines arrive; Ctrl+Shift+A, Ctrl+Shift+C copies lines 1 to 300.
        lines = [b"line %d" % i for i in range(1, 301)]
        log = b"".join(l + b"\r\n" for l in lines)  # everything the console has received
        peer.write(log)
        expected = b"\n".join(lines)

        def copied_all():
            key("ctrl+shift+a")
            key("ctrl+shift+c")
            return clipboard() == expected
        wait_for("lines 1 to 300 on the clipboard", copied_all, pause=0.1)

        # The selection is also the primary selection, which the middle button pastes.
        primary = subprocess.run(["xclip", "-o", "-selection", "primary"], capture_output=True,
                                 timeout=DEADLINE).stdout
        if primary != expected:
            raise WalkFailed("the primary selection holds %r..." % primary[:40])
        run("xdotool", "click", "2")
        pasted = b"\r".join(lines)
        got = peer.take("the middle button's paste", len(pasted))
        if got != pasted:
            raise WalkFailed("the middle button pasted %r..." % got[:40])

        # Two lines pasted with Ctrl+Shift+V reach the peer as typed lines, each ended by CR.
        set_clipboard(b"first\nsecond\n")
        wait_for("the clipboard to hold the two lines", lambda: clipboard() == b"first\nsecond\n")
        key("ctrl+shift+v")
        got = peer.take("the pasted lines", len(b"first\rsecond\r"))
        if got != b"first\rsecond\r":
            raise WalkFailed("paste reached the peer as %r" % got)

        # Ctrl+C still goes to the controller.
        key("ctrl+c")
        got = peer.take("Ctrl+C", 1)
        if got != b"\x03":
            raise WalkFailed("Ctrl+C reached the peer as %r" % got)

        # Where things are: the panel is on the right, its bottom buttons anchored to the bottom edge.
        size = run("xdotool", "getwindowgeometry", "--shell", window).stdout.decode()
        geometry = dict(line.split("=", 1) for line in size.split())
        width, height = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
        panel = width - 172
        window_id = int(window)
        screen = Screen()

        def click(x, y):
            run("xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1")

        def click_panel(x, y):
            click(panel + x, y)

        def status_picture():
            return screen.pixels(window_id, panel + 8, 180, 156, 60)

        def read_picture():
            return screen.pixels(window_id, panel + 8, 304, 75, 25)

        def lamps():
            return (lamp_lit(screen.pixels(window_id, panel + 40, 136, 25, 25), "green"),
                    lamp_lit(screen.pixels(window_id, panel + 8, 136, 25, 25), "red"))

        def save_through_dialog(name):
            """Saves as `name` in the working folder; returns what was saved."""
            found = find_window("Save As")
            run("xdotool", "windowfocus", "--sync", found)
            # The name replaces the proposed one once the file name field has the keyboard: the field,
            # copied back, then holds it. A bare name that no file starts with brings up no completion
            # list, which would take the Return.
            def typed():
                key("ctrl+a")
                run("xdotool", "type", "--delay", "5", name)
                key("ctrl+a")
                key("ctrl+c")
                return clipboard() == name.encode()
            wait_for("the name in the file name field", typed, pause=0.1)
            key("Return")
            path = os.path.join(work, name)
            wait_for("the log saved as " + name, lambda: os.path.exists(path) and os.path.getsize(path) > 0)
            run("xdotool", "windowfocus", "--sync", window)
            with open(path, "rb") as f:
                return f.read()

        def shows_at_end(text):
            def copied():
                key("ctrl+shift+a")
                key("ctrl+shift+c")
                got = clipboard()
                return got is not None and got.endswith(text)
            return copied

        # Readings flow until the green Rx lamp is seen lit; the last one is on screen before the cable
        # is pulled.
        open_status = status_picture()
        read_enabled = read_picture()
        readings = iter(range(1, 100000))

        def rx_lamp_lit():
            line = b"reading %d\r\n" % next(readings)
            peer.write(line)
            nonlocal log
            log += line
            return lamps()[0]
        wait_for("the Rx lamp to light", rx_lamp_lit, pause=0.02)
        peer.write(b"last before the loss\r\n")
        log += b"last before the loss\r\n"
        wait_for("the last line before the loss on screen", shows_at_end(b"last before the loss"), pause=0.1)
        shown_before_loss = log

        def pull_cable(how):
            """The far end goes, and with it the device node; returns how long the window took to show it."""
            pulled = time.monotonic()
            how()
            socat.wait(timeout=DEADLINE)
            os.close(peer.fd)
            # Killed, socat leaves its links behind; ended, it takes them away.
            for link in (line_path, peer_path):
                if os.path.lexists(link):
                    os.unlink(link)
            wait_for("the command buttons to disable",
                     lambda: console.poll() is None and read_picture() != read_enabled)
            # The lamps went dark and the status line changed with the same handling, the lamps without
            # holding the last activity.
            if lamps() != (False, False):
                raise WalkFailed("a lamp is still lit when the loss is shown")
            if status_picture() == open_status:
                raise WalkFailed("the status line still shows the port open")
            return time.monotonic() - pulled

        # Readings flow on while the cable is pulled: what was under way may be lost with the far end.
        wait_for("the Rx lamp to light before the pull", rx_lamp_lit, pause=0.02)
        noticed = pull_cable(socat.kill)

        # "Connect COM" can be clicked: the open fails, as the device is not there, and is reported.
        click_panel(8 + 37, 104 + 12)
        answer_dialog("Corvantel", "Return")
        run("xdotool", "windowfocus", "--sync", window)

        # "Save log" is still enabled and writes every byte that came in before the loss.
        click_panel(8 + 37, height - 56)
        kept = save_through_dialog("before.txt")
        if not (kept.startswith(shown_before_loss) and log.startswith(kept) and kept.endswith(b"\r\n")):
            raise WalkFailed("the log saved after the loss is not what came in before it")
        log = kept
        # The window still takes keys: the whole screen, up to the last line that came in, is copied.
        wait_for("the log to be copied after the loss", shows_at_end(log.split(b"\r\n")[-2]), pause=0.1)

        # The adapter comes back under the same name. The user clicks "Connect COM" (the console may
        # have opened it already: then the click only raises the lines again).
        socat = plug_in()
        peer = Peer(peer_path)
        click_panel(8 + 37, 104 + 12)
        wait_for("the port to be open again", lambda: status_picture() == open_status)
        if read_picture() != read_enabled:
            raise WalkFailed('"Read" does not look enabled after the return')
        peer.write(b"back again\r\n")
        log += b"back again\r\n"
        wait_for("a line after the return on screen", shows_at_end(b"back again"), pause=0.1)
        key("h", "i")
        if peer.take("keys typed after the return", 2) != b"hi":
            raise WalkFailed("keys typed after the return did not arrive")
        wait_for("the Rx lamp to light again", rx_lamp_lit, pause=0.02)
        wait_for("the last reading on screen", shows_at_end(log.split(b"\r\n")[-2]), pause=0.1)

        # Pulled once more while a paste goes out (the red Tx lamp lit), and plugged in again: the paste
        # stops, what went out is its beginning, and the console takes the port back by itself.
        paste = b"".join(b"paste line %04d\n" % i for i in range(300))
        set_clipboard(paste)
        wait_for("the clipboard to hold the paste", lambda: clipboard() == paste)
        key("ctrl+shift+v")
        wait_for("the paste to light the Tx lamp", lambda: lamps()[1], pause=0.01)
        peer.pump()
        pull_cable(socat.terminate)
        if not paste.replace(b"\n", b"\r").startswith(peer.received):
            raise WalkFailed("the paste cut by the loss went out as %r..." % peer.received[:40])
        socat = plug_in()
        peer = Peer(peer_path)
        wait_for("the port to be reopened without a click", lambda: status_picture() == open_status)
        key("o", "k")
        if peer.take("keys typed after the second return", 2) != b"ok":
            raise WalkFailed("keys typed after the second return did not arrive")
        peer.write(b"back once more\r\n")
        log += b"back once more\r\n"
        wait_for("a line after the second return on screen", shows_at_end(b"back once more"), pause=0.1)

        # The log with times holds the port's events in the status line's words, and every line.
        def visible_windows():
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "corvantel"],
                                   capture_output=True, timeout=DEADLINE).stdout.split()
            return len(found)
        before_menu = visible_windows()
        run("xdotool", "mousemove", "--window", window, "60", "60", "click", "3")
        wait_for("the terminal's context menu", lambda: visible_windows() > before_menu)
        # The menu's last entries: "Emulation", "Show log as hex...", "Save log with times...".
        key("Up", "Up", "Up", "Return")
        records = [r.split(b"  ", 1)[1] for r in save_through_dialog("times.txt").split(b"\n") if r]
        events = [r for r in records if r.startswith(b"[") and r != b"[Closed]"]
        opened = b"[Open %s, 38400]" % line_path.encode()
        lost = re.compile(rb"\[Lost %s \(device removed\) at \d\d:\d\d:\d\d, waiting for it\]$"
                          % re.escape(line_path.encode()))
        if len(events) != 5 or events[0::2] != [opened] * 3 or not all(lost.match(e) for e in events[1::2]):
            raise WalkFailed("the port's events read %r" % events)
        texts = [r for r in records if not r.startswith(b"[")]
        if texts != log.split(b"\r\n")[:-1]:
            raise WalkFailed("the log with times holds other lines than came in")

        # "Close", "Save changes?" Yes, then Cancel in the save dialog: the window and its log stay.
        expected = b"\n".join(log.split(b"\r\n")[:-1])
        click_panel(91 + 37, height - 56)
        answer_dialog("Confirm", "y")
        answer_dialog("Save As", "Escape")
        if console.poll() is not None:
            raise WalkFailed("the window closed although the save was cancelled")
        set_clipboard(b"stale")
        run("xdotool", "windowfocus", "--sync", window)
        wait_for("the log to be copied again after the cancelled save", copied_all, pause=0.1)

        if visible("Corvantel"):
            raise WalkFailed("an error is being reported")
        if console.poll() is not None:
            raise WalkFailed("the console ended early: " + console.stderr.read().decode(errors="replace"))
        print("walk passed in %.1f s (the loss was shown %.2f s after the cable was pulled)"
              % (time.monotonic() - started, noticed))
        return 0
    except Exception:
        # What was on the screen and what the console said (a sanitizer's report among it) tell why.
        names = [subprocess.run(["xdotool", "getwindowname", w], capture_output=True, timeout=DEADLINE).stdout.strip()
                 for w in subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."], capture_output=True,
                                         timeout=DEADLINE).stdout.split()]
        print("windows shown: %r; files: %r" % (names, sorted(os.listdir(work))), file=sys.stderr)
        if console:
            if console.poll() is None:
                console.send_signal(signal.SIGTERM)
            try:
                console.wait(timeout=DEADLINE)
            except subprocess.TimeoutExpired:
                console.kill()
            sys.stderr.write(console.stderr.read().decode(errors="replace")[-8000:])
        raise
    finally:
        if console and console.poll() is None:
            console.send_signal(signal.SIGTERM)
            try:
                console.wait(timeout=5)
            except subprocess.TimeoutExpired:
                console.kill()
        if socat and socat.poll() is None:
            socat.terminate()
            socat.wait(timeout=5)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (WalkFailed, subprocess.SubprocessError) as failure:
        said = getattr(failure, "stderr", None)
        print("walk failed: %s%s" % (failure, " (%s)" % said.decode(errors="replace").strip() if said else ""),
              file=sys.stderr)
        sys.exit(1)
