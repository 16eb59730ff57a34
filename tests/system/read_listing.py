"""Prints, as JSON, what a screen reader finds in a running monitor, found by its process id: the
accessible name and the text of its listing box. Exits 1 if it is not (yet) there."""
import json
import sys

import pyatspi


def find_monitor(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for application in desktop:
        if application is not None and application.get_process_id() == pid:
            return application
    return None


def main():
    monitor = find_monitor(int(sys.argv[1]))
    if monitor is None:
        return 1
    box = pyatspi.findDescendant(monitor, lambda node: node.getRoleName() == "text")
    if box is None:
        return 1
    text = box.queryText()
    print(json.dumps({"name": box.name, "listing": text.getText(0, text.characterCount)}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
