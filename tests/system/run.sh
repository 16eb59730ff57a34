#!/usr/bin/env bash
# Runs one system test module with a session bus and a runtime folder of its own: the
# accessibility bus keeps its socket in the runtime folder (else in ~/.cache, where two suites
# running at once would take each other's), and the session bus starts it on demand.
set -euo pipefail
XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_RUNTIME_DIR
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
dbus-run-session -- /usr/bin/python3 -W error::ResourceWarning "$@"
