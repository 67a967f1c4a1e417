#!/usr/bin/env python3
"""trelvanectl.exe and the README's VBScript under Wine, against the server
registered in the prefix, with a start post played over a pty linked as COM7.

    ctl_end_to_end.py <trelvane.exe> <trelvanectl.exe> <README.txt.in> <prefix> <pty_lines.so> <wine-run...>

1. No server registered: `status` says so; `open 7` fails with 1 and the
   class's error.
2. Registered: `open 9`, a port that does not exist, fails with 1 and says
   there is no COM9; `watch --open 7 --confirm` opens COM7 (the device reads
   the reset), reports the start number the device sends and confirms it
   (the device reads the fourth acknowledge), `status` then finds the server
   running, and Ctrl+C ends the watch, which closes the port.
   The server ends after the watch.
3. The README's check.vbs under Wine's cscript: on COM9 it fails with 1 and
   the driver's status, on COM7 it opens and closes the port (the device
   reads the reset); the server ends after each.
4. Unregistered again.
Exits 0 when everything holds; each difference is a line on standard error.
"""
import json
import os
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time

from pty_device import Port

BOUND = 60  # seconds: only a fault waits this long
# Start number 123: units 3, then tens 2 and hundreds 1, each pair bit-reversed
# and inverted, the set sent twice.
FRAME_123 = bytes.fromhex("3f7b3f7b")
ACKNOWLEDGE = "f0"
RESET = "00"


class Failures(list):
    def check(self, holds, what):
        if not holds:
            self.append(what)
        return holds


def run(command, env=None):
    """The status and the output lines of a command that ends by itself."""
    with tempfile.TemporaryFile() as out:
        # A file, not a pipe: a Wine process it starts (the server, the
        # desktop) would hold a pipe open after the command ended.
        status = subprocess.run(command, stdout=out, stderr=subprocess.DEVNULL, env=env, timeout=BOUND).returncode
        out.seek(0)
        return status, out.read().decode("utf-8", "replace").replace("\r", "").splitlines()


def records(lines):
    """The JSON records among output lines."""
    return [json.loads(line) for line in lines if line.startswith("{")]


def find(found, event):
    return next((record for record in found if record.get("event") == event), None)


class Watcher:
    """A `trelvanectl watch` whose JSON records are read as they come."""

    def __init__(self, command, env):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for raw in self.process.stdout:
            self.lines.put(raw.decode("utf-8", "replace").strip())
        self.lines.put(None)

    def wait_for(self, event):
        """The first record of the event, or None when the output ends or the bound passes first."""
        end = time.monotonic() + BOUND
        while True:
            try:
                line = self.lines.get(timeout=max(0, end - time.monotonic()))
            except queue.Empty:
                return None
            if line is None:
                return None
            if line.startswith("{"):
                record = json.loads(line)
                self.seen.append(record)
                if record.get("event") == event:
                    return record


def wait_until_gone(ctl, wine, env):
    """Whether the server ends within the bound (it does 5 s after its last client)."""
    end = time.monotonic() + BOUND
    while time.monotonic() < end:
        running = find(records(run(wine + [ctl, "--json", "status"], env)[1]), "running")
        if running is None or not running.get("running"):
            return True
        time.sleep(0.5)
    return False


def check_vbs(readme):
    """The README's check.vbs: the first indented block after the line that names it."""
    with open(readme, encoding="utf-8") as f:
        lines = f.read().splitlines()
    start = next(i for i, line in enumerate(lines) if "save as check.vbs" in line)
    start = next(i for i in range(start, len(lines)) if lines[i].startswith("  "))
    script = []
    for line in lines[start:]:
        if line and not line.startswith("  "):
            break
        script.append(line[2:])
    return "\r\n".join(script).strip() + "\r\n"


def main():
    server, ctl, readme, prefix, pty_lines = sys.argv[1:6]
    wine = sys.argv[6:]
    failures = Failures()
    with tempfile.TemporaryDirectory(prefix="pty-lines-") as lines_dir:
        env = dict(os.environ, LD_PRELOAD=pty_lines, TRELVANE_PTY_LINES=lines_dir)
        com9 = os.path.join(prefix, "dosdevices", "com9")
        if os.path.lexists(com9):
            os.unlink(com9)

        # 1. Nothing registered.
        subprocess.run(wine + [server, "/UnregServer"], stderr=subprocess.DEVNULL)
        status, lines = run(wine + [ctl, "--json", "status"], env)
        registered = find(records(lines), "registered")
        failures.check(status == 0 and registered and registered["registered"] is False,
                       "status without a registration: %d %r" % (status, lines))
        status, lines = run(wine + [ctl, "--json", "open", "7"], env)
        error = find(records(lines), "error")
        failures.check(status == 1 and error and "0x80040154" in error["message"],
                       "open without a registration: %d %r" % (status, lines))

        # 2. Registered.
        if not failures.check(subprocess.run(wine + [server, "/RegServer"]).returncode == 0, "/RegServer failed"):
            return failures
        status, lines = run(wine + [ctl, "--json", "open", "9"], env)
        error = find(records(lines), "error")
        failures.check(status == 1 and error and error["message"].startswith("COM9 did not open") and
                       error["advice"].startswith("there is no COM9"), "open 9: %d %r" % (status, lines))

        port = Port(prefix, lines_dir, 7)
        try:
            watcher = Watcher(wine + [ctl, "--json", "watch", "--open", "7", "--confirm"], env)
            opened = watcher.wait_for("opened")
            failures.check(opened and opened["port"] == 7, "watch did not open COM7: %r" % watcher.seen)
            failures.check(port.recv(1, BOUND * 1000) == RESET, "no reset on opening")
            os.write(port.master, FRAME_123)
            failures.check(port.recv(3, BOUND * 1000) == ACKNOWLEDGE * 3, "the frame's bytes not acknowledged")
            request = watcher.wait_for("StartNumberRequest")
            failures.check(request and request["start_number"] == 123, "no start number 123: %r" % watcher.seen)
            confirmed = watcher.wait_for("confirmed")
            failures.check(confirmed and confirmed["number"] == 123, "123 not confirmed: %r" % watcher.seen)
            failures.check(port.recv(1, BOUND * 1000) == ACKNOWLEDGE, "no fourth acknowledge")

            status, lines = run(wine + [ctl, "--json", "status"], env)
            running = find(records(lines), "running")
            failures.check(status == 0 and running and running["running"] is True and running["pid"] > 0,
                           "status while watching: %d %r" % (status, lines))

            # Wine turns SIGINT into the console's Ctrl+C.
            watcher.process.send_signal(signal.SIGINT)
            closed = watcher.wait_for("closed")
            failures.check(closed is not None, "Ctrl+C did not close the port: %r" % watcher.seen)
            try:
                failures.check(watcher.process.wait(BOUND) == 0, "watch ended with %r" % watcher.process.returncode)
            except subprocess.TimeoutExpired:
                watcher.process.kill()
                failures.append("watch did not end after Ctrl+C")

        finally:
            port.close()

        failures.check(wait_until_gone(ctl, wine, env), "the server did not end after trelvanectl's watch")

        # 3. The README's VBScript under cscript.
        with tempfile.NamedTemporaryFile("w", suffix=".vbs", delete=False, newline="") as script:
            script.write(check_vbs(readme))
        port = Port(prefix, lines_dir, 7)
        try:
            path = subprocess.run(wine + ["winepath", "-w", script.name], capture_output=True, text=True).stdout.strip()
            status, lines = run(wine + ["cscript", "//nologo", path, "9"], env)
            failures.check(status == 1 and "COM9 did not open: status 1" in lines, "check.vbs 9: %d %r" % (status, lines))
            failures.check(wait_until_gone(ctl, wine, env), "the server did not end after check.vbs 9")
            status, lines = run(wine + ["cscript", "//nologo", path, "7"], env)
            failures.check(status == 0 and lines == ["COM7 opened", "COM7 closed"], "check.vbs 7: %d %r" % (status, lines))
            failures.check(port.recv(1, BOUND * 1000) == RESET, "no reset on opening by check.vbs")
            failures.check(wait_until_gone(ctl, wine, env), "the server did not end after check.vbs 7")
        finally:
            port.close()
            os.unlink(script.name)
    if subprocess.run(wine + [server, "/UnregServer"]).returncode != 0:
        failures.append("/UnregServer failed")
    return failures


if __name__ == "__main__":
    found = main()
    for failure in found:
        print("ctl_end_to_end.py: " + failure, file=sys.stderr)
    sys.exit(1 if found else 0)
