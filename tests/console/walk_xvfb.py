#!/usr/bin/env python3
"""The console under an X server, driven as a user would with xdotool and read back with xclip,
against a peer on a socat pseudo-terminal pair:

  walk_xvfb.py PATH/TO/corvantel        (run under xvfb-run; needs socat, xdotool and xclip)

Every wait is on a condition with a deadline; the walk takes a few seconds."""

import os
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


def answer_dialog(title, answer):
    """Waits for the dialog called `title`, gives it the keyboard and `answer`, then waits for it to go."""
    found = run("xdotool", "search", "--sync", "--onlyvisible", "--name", "^%s$" % title).stdout.split()[0]
    run("xdotool", "windowfocus", "--sync", found)
    key(answer)

    def gone():
        return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                              capture_output=True, timeout=DEADLINE).returncode != 0
    wait_for("the %r dialog to close" % title, gone)


def main():
    console_program = sys.argv[1]
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
    socat = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + line_path, "pty,raw,echo=0,link=" + peer_path],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    console = None
    started = time.monotonic()
    try:
        wait_for("the socat pair", lambda: os.path.exists(line_path) and os.path.exists(peer_path))
        peer = Peer(peer_path)
        console = subprocess.Popen([console_program, "--connect", line_path, "38400"], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        window = run("xdotool", "search", "--sync", "--onlyvisible", "--name", "^CV2$").stdout.split()[0]
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
        peer.write(b"".join(l + b"\r\n" for l in lines))
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

        # "Close", "Save changes?" Yes, then Cancel in the save dialog: the window and its log stay.
        size = run("xdotool", "getwindowgeometry", "--shell", window).stdout.decode()
        geometry = dict(line.split("=", 1) for line in size.split())
        width, height = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
        # The button sits in the right-hand panel, anchored to the window's bottom edge.
        run("xdotool", "mousemove", "--window", window, str(width - 172 + 91 + 37), str(height - 56), "click", "1")
        answer_dialog("Confirm", "y")
        answer_dialog("Save As", "Escape")
        if console.poll() is not None:
            raise WalkFailed("the window closed although the save was cancelled")
        set_clipboard(b"stale")
        run("xdotool", "windowfocus", "--sync", window)
        wait_for("the log to be copied again after the cancelled save", copied_all, pause=0.1)

        if console.poll() is not None:
            raise WalkFailed("the console ended early: " + console.stderr.read().decode(errors="replace"))
        print("walk passed in %.1f s" % (time.monotonic() - started))
        return 0
    finally:
        if console and console.poll() is None:
            console.send_signal(signal.SIGTERM)
            try:
                console.wait(timeout=5)
            except subprocess.TimeoutExpired:
                console.kill()
        socat.terminate()
        socat.wait(timeout=5)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (WalkFailed, subprocess.SubprocessError) as failure:
        print("walk failed: %s" % failure, file=sys.stderr)
        sys.exit(1)
