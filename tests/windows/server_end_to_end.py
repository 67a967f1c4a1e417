#!/usr/bin/env python3
"""The server's registration on both systems, and the server under Wine end
to end. Both systems are held to one expected registration
(registration.reg: the keys below HKEY_CLASSES_ROOT, with <server> and
<folder> for the program's path and folder), so they hold the same keys and
values as each other.

    server_end_to_end.py linux <expected.reg> <trelvane>
        "trelvane -RegServer" in a new TRELVANE_HOME: the store holds the
        expected keys and values, and "-UnregServer" removes them.

    server_end_to_end.py windows <expected.reg> <trelvane.exe> <client.exe>
                         <pty_device.py> <prefix> <pty_lines.so> <wine-run...>
        1. "trelvane.exe /RegServer" in the prefix: its keys, read back with
           "wine reg query", hold the expected keys and values;
        2. the client program, run by pty_device.py with a pty as COM7,
           activates the server by its ProgID and plays a start post; the
           server, started without standard error, traces the driver's
           events (TRELVANE_DEBUG, from the client's environment) to the
           user's log file;
        3. "trelvane.exe /UnregServer" removes every key of the server's own.
Exits 0 when everything holds; each difference is a line on standard error.
"""
import getpass
import os
import re
import subprocess
import sys
import tempfile

ROOTS = ("HKEY_CLASSES_ROOT\\", "HKEY_CURRENT_USER\\Software\\Classes\\")
# Keys that others share: registration creates them and leaves them.
SHARED = {"appid", "clsid", "typelib"}


def read_reg(path):
    """{key: {value name: data}} of a registry export, keys below the classes root."""
    keys, key = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line.startswith("["):
                key = line[1:-1]
                for root in ROOTS:
                    key = key[len(root):] if key.startswith(root) else key
                keys[key] = {}
            elif line.startswith(("@", '"')) and key is not None:
                name, data = re.match(r'^(@|"(?:[^"\\]|\\.)*")="((?:[^"\\]|\\.)*)"$', line).groups()
                unquote = lambda text: re.sub(r"\\(.)", r"\1", text)
                keys[key]["" if name == "@" else unquote(name[1:-1])] = unquote(data)
    return keys


# Where Wine's own calls write other data than Windows does, each known
# case: (key, value name) -> the data Wine writes. RegisterTypeLib writes
# the library's flags as its FLAGS; Wine's include LIBFLAG_FHASDISKIMAGE (8),
# which it sets on every library it loads from a file (docs/windows.md).
WINE_WRITES = {
    ("typelib\\{8c1371a5-f4ac-45c5-9ab2-80bd0516f66b}\\1.0\\flags", ""): "8",
}


def compare(expected, found, server, folder, differences=None):
    """The differences: every expected key with every expected value."""
    differences = differences or {}
    failures = []
    found = {key.lower(): {name.lower(): data for name, data in values.items()} for key, values in found.items()}
    for key, values in sorted(expected.items()):
        got = found.get(key.lower())
        if got is None:
            failures.append("missing key HKCR\\" + key)
            continue
        for name, data in values.items():
            data = data.replace("<server>", server).replace("<folder>", folder)
            data = differences.get((key.lower(), name.lower()), data)
            if got.get(name.lower()) != data:
                failures.append("HKCR\\%s, value %r: %r, expected %r" % (key, name or "@", got.get(name.lower()), data))
    return failures


def own_keys(expected):
    return [key for key in expected if key.lower() not in SHARED]


def linux(expected_file, trelvane):
    expected = read_reg(expected_file)
    with tempfile.TemporaryDirectory(prefix="trelvane-home-") as home:
        os.chmod(home, 0o700)
        env = dict(os.environ, TRELVANE_HOME=home)
        store = os.path.join(home, "registry", "classes.reg")
        if subprocess.run([trelvane, "-RegServer"], env=env).returncode != 0:
            return ["-RegServer failed"]
        failures = compare(expected, read_reg(store), trelvane, os.path.dirname(trelvane))
        if subprocess.run([trelvane, "-UnregServer"], env=env).returncode != 0:
            return failures + ["-UnregServer failed"]
        left = {key.lower() for key in read_reg(store)}
        failures += ["HKCR\\%s is left after -UnregServer" % key for key in own_keys(expected) if key.lower() in left]
    return failures


def reg_query(wine, key):
    """{key: {value name: data}} of a key and all below it; {} when it is missing."""
    run = subprocess.run(wine + ["reg", "query", "HKEY_CLASSES_ROOT\\" + key, "/s"], capture_output=True, text=True,
                         errors="replace")
    if run.returncode != 0:
        return {}
    # Wine's reg names the key asked for only when it has values of its own.
    keys, current = {key: {}}, None
    for line in run.stdout.splitlines():
        line = line.rstrip("\r")
        if line.startswith("HKEY_"):
            current = line.split("\\", 1)[1]
            keys[current] = {}
        elif line.startswith("    ") and current is not None:
            parts = line.strip().split("    ", 2)
            keys[current]["" if parts[0] == "(Default)" else parts[0]] = parts[2] if len(parts) > 2 else ""
    return keys


def windows(expected_file, server, client, pty_device, prefix, pty_lines, wine):
    expected = read_reg(expected_file)
    tops = sorted({key.split("\\")[0] for key in own_keys(expected) if key.count("\\") == 0} |
                  {"\\".join(key.split("\\")[:2]) for key in own_keys(expected) if key.count("\\") >= 1 and
                   key.split("\\")[0].lower() in SHARED})

    def registry():
        found = {}
        for top in tops:
            found.update(reg_query(wine, top))
        return found

    path = subprocess.run(wine + ["winepath", "-w", server], capture_output=True, text=True).stdout.strip()
    if subprocess.run(wine + [server, "/RegServer"]).returncode != 0:
        return ["/RegServer failed"]
    # The Linux store keeps the shared keys, which the system has anyway.
    failures = compare({key: values for key, values in expected.items() if key.lower() not in SHARED}, registry(),
                       path, path.rsplit("\\", 1)[0], WINE_WRITES)
    print("registration: %d keys compared" % len(expected), flush=True)

    log = os.path.join(prefix, "drive_c", "users", getpass.getuser(), "AppData", "Local", "Trelvane", "trelvane.log")
    if os.path.exists(log):
        os.unlink(log)
    env = dict(os.environ, TRELVANE_DEBUG="driver")
    if subprocess.run([sys.executable, pty_device, prefix, pty_lines] + wine + [client], env=env).returncode != 0:
        failures.append("the client program failed")
    traced = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ trelvane: driver: trace: event \d+ to 1 sink\(s\)$")
    try:
        with open(log, encoding="utf-8") as f:
            if not any(traced.match(line.rstrip("\r\n")) for line in f):
                failures.append("the server's log file holds no trace of an event")
    except FileNotFoundError:
        failures.append("the server wrote no log file: %s" % log)

    if subprocess.run(wine + [server, "/UnregServer"]).returncode != 0:
        return failures + ["/UnregServer failed"]
    left = {key.lower() for key in registry()}
    failures += ["HKCR\\%s is left after /UnregServer" % key for key in own_keys(expected) if key.lower() in left]
    return failures


def main():
    if sys.argv[1] == "linux":
        failures = linux(*sys.argv[2:4])
    else:
        failures = windows(*sys.argv[2:8], sys.argv[8:])
    for failure in failures:
        print("server_end_to_end.py: " + failure, file=sys.stderr)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
