"""A stand-in for rtkit (org.freedesktop.RealtimeKit1) on a private bus.

    /usr/bin/python3 rtkit_standin.py BUS_ADDRESS [--refuse]

Checks each MakeThreadRealtime as rtkit does (the thread belongs to the
caller, the priority is at most MaxRealtimePriority, the caller's
RLIMIT_RTTIME is at most RTTimeUSecMax), then grants it with SCHED_RR where
it may (as root) and prints "grant TID PRIORITY", or "refuse TID PRIORITY
WHY"; "ready" once the name is owned. --refuse refuses every request.
"""
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.RealtimeKit1"
MAX_PRIORITY = 20
RTTIME_MAX_US = 200000


def rttime_limits(pid):
    with open("/proc/%d/limits" % pid) as f:
        for line in f:
            if line.startswith("Max realtime timeout"):
                return [None if v == "unlimited" else int(v) for v in line.split()[3:5]]
    return [None, None]


class RealtimeKit(dbus.service.Object):
    def __init__(self, bus, refuse):
        super().__init__(bus, "/org/freedesktop/RealtimeKit1")
        self.bus, self.refuse = bus, refuse

    def report(self, *words):
        print(" ".join(str(w) for w in words), flush=True)

    @dbus.service.method(NAME, in_signature="tu", sender_keyword="sender")
    def MakeThreadRealtime(self, tid, priority, sender=None):
        pid = int(self.bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "GetConnectionUnixProcessID", "s", (sender,)))
        why = None
        if self.refuse:
            why = "refusing"
        elif not os.path.exists("/proc/%d/task/%d" % (pid, tid)):
            why = "foreign-thread"
        elif not 0 < priority <= MAX_PRIORITY:
            why = "priority"
        elif any(v is None or v > RTTIME_MAX_US for v in rttime_limits(pid)):
            why = "rttime"
        if why:
            self.report("refuse", tid, priority, why)
            raise dbus.exceptions.DBusException("not granted", name="org.freedesktop.DBus.Error.AccessDenied")
        try:
            os.sched_setscheduler(tid, os.SCHED_RR | os.SCHED_RESET_ON_FORK, os.sched_param(priority))
        except OSError:
            pass  # not root: recorded only
        self.report("grant", tid, priority)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        values = {"MaxRealtimePriority": dbus.Int32(MAX_PRIORITY), "MinNiceLevel": dbus.Int32(-15),
                  "RTTimeUSecMax": dbus.Int64(RTTIME_MAX_US)}
        if interface != NAME or prop not in values:
            raise dbus.exceptions.DBusException(prop, name="org.freedesktop.DBus.Error.InvalidArgs")
        return values[prop]


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(sys.argv[1])
    name = dbus.service.BusName(NAME, bus)  # noqa: F841 (owned while alive)
    RealtimeKit(bus, "--refuse" in sys.argv[2:])
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
