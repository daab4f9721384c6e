#!/usr/bin/python3
# Walks one application's accessibility tree from outside, as a screen reader
# does: over the AT-SPI bus of the session bus in DBUS_SESSION_BUS_ADDRESS.
# Prints one JSON document: a list of the nodes that are showing, each with
# its role, name, description, states and depth.
#
#   atspi_walk.py APPLICATION-NAME
#
# Exit status 0 with the list, 3 when the application is not on the bus
# within 20 s (its bridge registers a moment after it starts).
import json
import sys
import time

import pyatspi


def find_application(name):
    deadline = time.monotonic() + 20
    while True:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            application = desktop.getChildAtIndex(i)
            if application is not None and application.name == name:
                return application
        if time.monotonic() > deadline:
            return None
        time.sleep(0.1)


def walk(node, depth, out):
    if node is None or depth > 60:
        return
    states = node.getState()
    if depth > 0 and not states.contains(pyatspi.STATE_SHOWING):
        return
    out.append({
        "role": node.getRoleName(),
        "name": node.name or "",
        "description": node.description or "",
        "states": sorted(pyatspi.stateToString(s) for s in states.getStates()),
        "depth": depth,
    })
    for i in range(node.childCount):
        walk(node.getChildAtIndex(i), depth + 1, out)


def main():
    application = find_application(sys.argv[1])
    if application is None:
        print(json.dumps({"error": "application not on the accessibility bus"}))
        return 3
    out = []
    walk(application, 0, out)
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
