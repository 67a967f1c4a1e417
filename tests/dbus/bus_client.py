#!/usr/bin/python3
"""A bus client of the driver for the tests, driven line by line on standard
input; it prints one JSON object per line for every answer and every signal
of the driver's object (PropertiesChanged included), in the order received.

Commands:
  call METHOD [JSON-ARGS]    {"reply": [...]} or {"error": NAME, "message": TEXT}
  typed METHOD SIG JSON-ARGS the same, with the arguments of that signature
  get PROPERTY / getall      {"reply": [value]} / {"reply": [{name: value}]}
  set PROPERTY SIG JSON      Properties.Set with a value of that signature
  iface NAME METHOD          a call of METHOD on another interface
  watch-name                 {"name-gone": true} once the driver's name has no owner
  pid                        {"pid": the process id of the name's owner}
  quit
"""
import json
import os
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

NAME = "org.trelvane.Tarvik1"
PATH = "/org/trelvane/Tarvik"
IFACE = "org.trelvane.Tarvik1"


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt32, dbus.Byte)):
        return int(value)
    if isinstance(value, dbus.Double):
        return float(value)
    if isinstance(value, dbus.String):
        return str(value)
    if isinstance(value, dbus.Dictionary):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(v) for v in value]
    return value


def emit(obj):
    sys.stdout.write(json.dumps(obj, sort_keys=True) + "\n")
    sys.stdout.flush()


def typed(signature, values):
    converters = {"i": dbus.Int32, "n": dbus.Int16, "b": dbus.Boolean, "d": dbus.Double, "s": dbus.String}
    return [converters[code](value) for code, value in zip(signature, values)]


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    loop = GLib.MainLoop()

    def on_signal(*args, member=None, interface=None):
        if interface == "org.freedesktop.DBus.Properties":
            emit({"properties": plain(args[1]), "invalidated": plain(args[2])})
        else:
            emit({"signal": member, "args": plain(list(args))})

    bus.add_signal_receiver(on_signal, path=PATH, member_keyword="member", interface_keyword="interface")

    def call(interface, method, args, signature=None):
        try:
            proxy = bus.get_object(NAME, PATH)
            result = proxy.get_dbus_method(method, interface)(*args, signature=signature)
            if result is None:
                result = []
            elif not isinstance(result, tuple):
                result = [result]
            emit({"reply": plain(list(result))})
        except dbus.exceptions.DBusException as error:
            emit({"error": error.get_dbus_name(), "message": error.get_dbus_message()})

    def on_name_owner(owner):
        if owner == "":
            emit({"name-gone": True})

    def command(line):
        words = line.split(" ", 3)
        verb = words[0]
        if verb == "call":
            call(IFACE, words[1], json.loads(" ".join(words[2:])) if len(words) > 2 else [])
        elif verb == "typed":
            call(IFACE, words[1], typed(words[2], json.loads(words[3])), words[2])
        elif verb == "get":
            call("org.freedesktop.DBus.Properties", "Get", [IFACE, words[1]])
        elif verb == "getall":
            call("org.freedesktop.DBus.Properties", "GetAll", [IFACE])
        elif verb == "set":
            value = typed(words[2], [json.loads(words[3])])[0]
            call("org.freedesktop.DBus.Properties", "Set", [IFACE, words[1], value], "ssv")
        elif verb == "iface":
            call(words[1], words[2], [])
        elif verb == "watch-name":
            bus.watch_name_owner(NAME, on_name_owner)
        elif verb == "pid":
            emit({"pid": int(bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                               "GetConnectionUnixProcessID", "s", (NAME,)))})
        elif verb == "quit":
            loop.quit()

    # Read unbuffered: a line left in a buffer would wait for the next input.
    pending = [b""]

    def on_input(source, condition):
        data = os.read(sys.stdin.fileno(), 4096)
        if not data:
            loop.quit()
            return False
        pending[0] += data
        *lines, pending[0] = pending[0].split(b"\n")
        for line in lines:
            command(line.decode().strip())
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
    emit({"ready": bus.get_unique_name()})
    loop.run()


if __name__ == "__main__":
    main()
