"""Prints, as JSON, what a screen reader finds in a running monitor, found by its process id: the
accessible name and the text of its listing box, with --focused the name of the control that
has the keyboard focus, or with --boxes the texts of its open message boxes (--press-ok also
presses OK on the first box). Exits 1 if nothing of that is (yet) there."""
import json
import sys

import pyatspi


def find_monitor(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for application in desktop:
        if application is not None and application.get_process_id() == pid:
            return application
    return None


def listing(monitor):
    box = pyatspi.findDescendant(monitor, lambda node: node.getRoleName() == "text")
    if box is None:
        return None
    # One call for the whole text (end offset -1): asking for the length first and the text after
    # would race the monitor's next refresh, and cut the text short when it grew in between.
    return {"name": box.name, "listing": box.queryText().getText(0, -1)}


def focused(monitor):
    control = pyatspi.findDescendant(
        monitor, lambda node: node.getState().contains(pyatspi.STATE_FOCUSED))
    return {"focused": control.name} if control is not None else None


def message_boxes(monitor, press_ok):
    boxes = [window for window in monitor
             if window is not None and window.getRole() in (pyatspi.ROLE_DIALOG,
                                                             pyatspi.ROLE_ALERT)]
    if not boxes:
        return None
    shown = []
    for box in boxes:
        labels = pyatspi.findAllDescendants(box, lambda node: node.getRole() == pyatspi.ROLE_LABEL)
        # Each name is asked for once: a box that closes meanwhile answers for its labels with
        # empty names, so a name read twice can be a text first and empty after.
        title = box.name
        texts = [name for name in (label.name for label in labels) if name]
        # A box closed after OK lingers on the bus for a moment, defunct. Asked after its texts,
        # the state tells whether they were read from a box still on screen.
        if not box.getState().contains(pyatspi.STATE_DEFUNCT):
            shown.append((box, {"title": title, "text": texts}))
    if not shown:
        return None
    if press_ok:
        ok = pyatspi.findDescendant(shown[0][0], lambda node: node.getRole() ==
                                    pyatspi.ROLE_PUSH_BUTTON and node.name.replace("&", "") == "OK")
        ok.queryAction().doAction(0)
    return {"boxes": [seen for _, seen in shown]}


def main():
    monitor = find_monitor(int(sys.argv[1]))
    if monitor is None:
        return 1
    options = sys.argv[2:]
    if "--boxes" in options:
        found = message_boxes(monitor, "--press-ok" in options)
    elif "--focused" in options:
        found = focused(monitor)
    else:
        found = listing(monitor)
    if found is None:
        return 1
    print(json.dumps(found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
