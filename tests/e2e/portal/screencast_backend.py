#!/usr/bin/python3
"""A desktop's ScreenCast portal backend, standing in for one in the tests.

It serves org.freedesktop.impl.portal.ScreenCast on the session bus for the
real portal front-end (xdg-desktop-portal), which finds it through the
tonvik-test.portal file. The user's side is scripted through files in the
directory given as the argument:

  node-id    the PipeWire node to hand out as the monitor's stream; without
             it Start fails (response 2), as when the screen is gone
  decline    when present, Start answers as a user who declines (response 1)
  backend.log  one line per call: "CreateSession", "SelectSources" with the
             options asked for ("types=1 multiple=0 cursor_mode=1
             persist_mode=2", then " restored monitor-0" when the front-end
             passed the restore data this backend gave out before), "Start",
             "Close"
  backend.ready  made once the bus name is ours

Run with Debian's python3-dbus and python3-gi.
"""
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BUS_NAME = "org.freedesktop.impl.portal.desktop.tonvik"
OBJECT_PATH = "/org/freedesktop/portal/desktop"
SCREEN_CAST = "org.freedesktop.impl.portal.ScreenCast"
SESSION = "org.freedesktop.impl.portal.Session"
PROPERTIES = "org.freedesktop.DBus.Properties"
MONITOR = 1
PERSIST_UNTIL_REVOKED = 2
RESTORE_DATA = "monitor-0"

directory = sys.argv[1]
log = open(os.path.join(directory, "backend.log"), "a", buffering=1)


def note(line):
    log.write(line + "\n")


class Session(dbus.service.Object):
    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        note("Close")
        self.remove_from_connection()

    @dbus.service.signal(SESSION, signature="a{sv}")
    def Closed(self, details):
        pass


class ScreenCast(dbus.service.Object):
    properties = {
        "AvailableSourceTypes": dbus.UInt32(MONITOR),
        "AvailableCursorModes": dbus.UInt32(1 | 2),
        "version": dbus.UInt32(4),
    }

    def __init__(self, bus):
        super().__init__(bus, OBJECT_PATH)
        self.bus = bus

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.properties[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties if interface == SCREEN_CAST else {}

    @dbus.service.method(SCREEN_CAST, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        note("CreateSession")
        Session(self.bus, session_handle)
        return dbus.UInt32(0), {}

    @dbus.service.method(SCREEN_CAST, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectSources(self, handle, session_handle, app_id, options):
        chosen = " ".join("%s=%d" % (key, int(options[key]))
                          for key in ("types", "multiple", "cursor_mode", "persist_mode") if key in options)
        restored = options.get("restore_data")
        if restored is not None and str(restored[2]) == RESTORE_DATA:
            chosen += " restored " + RESTORE_DATA
        note("SelectSources " + chosen)
        return dbus.UInt32(0), {}

    @dbus.service.method(SCREEN_CAST, in_signature="oossa{sv}", out_signature="ua{sv}")
    def Start(self, handle, session_handle, app_id, parent_window, options):
        note("Start")
        if os.path.exists(os.path.join(directory, "decline")):
            return dbus.UInt32(1), {}
        try:
            with open(os.path.join(directory, "node-id")) as file:
                node = int(file.read())
        except (OSError, ValueError):
            return dbus.UInt32(2), {}
        stream = dbus.Struct((dbus.UInt32(node), {"source_type": dbus.UInt32(MONITOR),
                                                  "size": dbus.Struct((64, 36), signature="ii")}),
                             signature="ua{sv}")
        restore = dbus.Struct(("tonvik-test", dbus.UInt32(1), dbus.String(RESTORE_DATA, variant_level=1)),
                              signature="suv")
        return dbus.UInt32(0), {
            "streams": dbus.Array([stream], signature="(ua{sv})"),
            "persist_mode": dbus.UInt32(PERSIST_UNTIL_REVOKED),
            "restore_data": restore,
        }


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(BUS_NAME, bus)
    backend = ScreenCast(bus)
    open(os.path.join(directory, "backend.ready"), "w").close()
    GLib.MainLoop().run()
    del name, backend


if __name__ == "__main__":
    main()
