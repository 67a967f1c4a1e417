#!/usr/bin/python3
"""Watches the start post through the driver on the session bus: prints every
event and confirms every start number it is sent.

    dbus_watch.py [PORT]

With PORT, opens COM<PORT> first and closes it again on Ctrl-C; without, it
watches the driver as it is. Needs python3-dbus and python3-gi; the bus starts
the driver on the first call (docs/dbus.md).
"""
import signal
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

NAME = "org.trelvane.Tarvik1"
PATH = "/org/trelvane/Tarvik"
IFACE = "org.trelvane.Tarvik1"


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else None
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    driver = dbus.Interface(bus.get_object(NAME, PATH), IFACE)
    loop = GLib.MainLoop()

    def on_event(*args, member=None):
        print(member, *args, flush=True)
        if member == "StartNumberRequest":
            try:
                driver.StartNumberOK(args[0])
                print("confirmed", int(args[0]), flush=True)
            except dbus.exceptions.DBusException as error:
                # Refused: a newer number came in meanwhile.
                print("not confirmed:", error.get_dbus_message(), flush=True)

    bus.add_signal_receiver(on_event, dbus_interface=IFACE, path=PATH, member_keyword="member")

    if port is not None:
        status = driver.Open(port)
        if status != 0:
            print(f"COM{port} did not open (status {status})", file=sys.stderr)
            return 1
    else:
        print("watching the driver, port", int(driver.Get(IFACE, "PortNumber", dbus_interface=dbus.PROPERTIES_IFACE)))

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    loop.run()
    if port is not None:
        driver.Close()
    # Our hold on the driver ends when we leave the bus; Release says so at once.
    driver.Release()
    return 0


if __name__ == "__main__":
    sys.exit(main())
