#!/usr/bin/env python3
"""The device side of serial ports under Wine: pseudo-terminals linked as the
prefix's COM ports, with modem lines through the preloaded pty_lines library.

    pty_device.py <prefix> <pty_lines.so> <command...>

Runs the command (a Windows test program under wine-run) and serves the
requests it writes to its standard output, one a line, each starting with
"@device "; every answer is one line on its standard input. Any other line
of its output is passed on. Requests (N is the COM port number):
    open N                   a new pty linked as dosdevices/comN     -> ok
    send N HEX               the device sends the bytes              -> ok
    lines N CTS DSR RLSD RI  the device's lines, each 0 or 1         -> ok
    out N                    DTR and RTS as the port set them        -> DTR RTS
    recv N COUNT MS          up to COUNT bytes from the port, waiting
                             at most MS milliseconds in all          -> HEX or -
Exits with the command's status; 3 for a request it cannot serve.
"""
import os
import select
import subprocess
import sys
import tempfile
import termios
import time
import tty

INPUT_BITS = (termios.TIOCM_CTS, termios.TIOCM_DSR, termios.TIOCM_CAR, termios.TIOCM_RNG)


class Port:
    def __init__(self, prefix, lines_dir, number):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        name = os.ttyname(self.slave)
        self.pty = int(name.rsplit("/", 1)[1])
        self.lines_dir = lines_dir
        self.link = os.path.join(prefix, "dosdevices", "com%d" % number)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(name, self.link)
        self.set_lines(0)

    def path(self, direction):
        return os.path.join(self.lines_dir, "%d.%s" % (self.pty, direction))

    def set_lines(self, bits):
        temporary = self.path("in") + ".tmp"
        with open(temporary, "w") as f:
            f.write("%d\n" % bits)
        os.rename(temporary, self.path("in"))

    def out(self):
        try:
            with open(self.path("out")) as f:
                bits = int(f.read().strip() or 0)
        except FileNotFoundError:
            bits = 0
        return "%d %d" % (bool(bits & termios.TIOCM_DTR), bool(bits & termios.TIOCM_RTS))

    def recv(self, count, millis):
        data = b""
        end = time.monotonic() + millis / 1000.0
        while len(data) < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            data += os.read(self.master, count - len(data))
        return data.hex() or "-"

    def close(self):
        if os.path.islink(self.link):
            os.unlink(self.link)
        os.close(self.master)
        os.close(self.slave)


def serve(request, ports, prefix, lines_dir):
    words = request.split()
    kind, number = words[0], int(words[1])
    if kind == "open":
        if number in ports:
            ports.pop(number).close()
        ports[number] = Port(prefix, lines_dir, number)
        return "ok"
    port = ports[number]
    if kind == "send":
        os.write(port.master, bytes.fromhex(words[2]))
        return "ok"
    if kind == "lines":
        port.set_lines(sum(bit for bit, on in zip(INPUT_BITS, words[2:6]) if on == "1"))
        return "ok"
    if kind == "out":
        return port.out()
    if kind == "recv":
        return port.recv(int(words[2]), int(words[3]))
    raise ValueError("unknown request")


def main():
    prefix, library, command = sys.argv[1], sys.argv[2], sys.argv[3:]
    ports = {}
    with tempfile.TemporaryDirectory(prefix="pty-lines-") as lines_dir:
        env = dict(os.environ, LD_PRELOAD=library, TRELVANE_PTY_LINES=lines_dir)
        child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        status = None
        try:
            for raw in child.stdout:
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                if not line.startswith("@device "):
                    print(line, flush=True)
                    continue
                try:
                    answer = serve(line[len("@device "):], ports, prefix, lines_dir)
                except (KeyError, ValueError, IndexError, OSError) as error:
                    print("pty_device.py: cannot serve %r: %s" % (line, error), file=sys.stderr, flush=True)
                    child.kill()
                    status = 3
                    break
                child.stdin.write((answer + "\n").encode())
                child.stdin.flush()
        finally:
            child.stdin.close()
            code = child.wait()
            for port in ports.values():
                port.close()
    sys.exit(status if status is not None else code)


if __name__ == "__main__":
    main()
