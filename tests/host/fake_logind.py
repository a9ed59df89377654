#!/usr/bin/python3
# A stand-in for logind on a private system bus, for the host's session
# tests: the manager (GetSession, GetSessionByPID, PrepareForSleep) and one
# session "c1" (LockedHint, Active, Lock, Unlock). The tests drive it
# through the test-only interface org.tonvik.test.Logind at /org/tonvik/test.
# Usage: fake_logind.py [--locked] [--inactive]; prints "ready" once it
# owns org.freedesktop.login1.
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.login1"
MANAGER_PATH = "/org/freedesktop/login1"
MANAGER = "org.freedesktop.login1.Manager"
SESSION_ID = "c1"
SESSION_PATH = "/org/freedesktop/login1/session/c1"
SESSION = "org.freedesktop.login1.Session"
PROPERTIES = "org.freedesktop.DBus.Properties"
CONTROL = "org.tonvik.test.Logind"


class NoSuchSession(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.login1.NoSuchSession"


class Manager(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, MANAGER_PATH)

    @dbus.service.method(MANAGER, in_signature="s", out_signature="o")
    def GetSession(self, session_id):
        if session_id not in (SESSION_ID, "auto"):
            raise NoSuchSession("no session '%s'" % session_id)
        return dbus.ObjectPath(SESSION_PATH)

    @dbus.service.method(MANAGER, in_signature="u", out_signature="o")
    def GetSessionByPID(self, pid):
        return dbus.ObjectPath(SESSION_PATH)

    @dbus.service.signal(MANAGER, signature="b")
    def PrepareForSleep(self, start):
        pass


class Session(dbus.service.Object):
    def __init__(self, bus, locked, active):
        super().__init__(bus, SESSION_PATH)
        self.values = {
            "Id": dbus.String(SESSION_ID),
            "LockedHint": dbus.Boolean(locked),
            "Active": dbus.Boolean(active),
        }

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.values[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.values

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.signal(SESSION)
    def Lock(self):
        pass

    @dbus.service.signal(SESSION)
    def Unlock(self):
        pass

    def change(self, name, value):
        self.values[name] = dbus.Boolean(value)
        self.PropertiesChanged(SESSION, {name: self.values[name]}, [])


class Control(dbus.service.Object):
    def __init__(self, bus, manager, session):
        super().__init__(bus, "/org/tonvik/test")
        self.manager = manager
        self.session = session

    @dbus.service.method(CONTROL, in_signature="b")
    def SetLockedHint(self, locked):
        self.session.change("LockedHint", locked)

    @dbus.service.method(CONTROL, in_signature="b")
    def SetActive(self, active):
        self.session.change("Active", active)

    @dbus.service.method(CONTROL)
    def EmitLock(self):
        self.session.Lock()

    @dbus.service.method(CONTROL)
    def EmitUnlock(self):
        self.session.Unlock()

    @dbus.service.method(CONTROL, in_signature="b")
    def EmitPrepareForSleep(self, start):
        self.manager.PrepareForSleep(start)


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    manager = Manager(bus)
    session = Session(bus, "--locked" in sys.argv, "--inactive" not in sys.argv)
    keep = [manager, session, Control(bus, manager, session)]
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del keep, name


if __name__ == "__main__":
    main()
