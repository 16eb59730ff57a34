#!/usr/bin/env bash
# Runs one system test module with a session bus and a runtime folder of its own: the
# accessibility bus keeps its socket in the runtime folder (else in ~/.cache, where two suites
# running at once would take each other's), and the session bus starts it on demand.
#
# run.sh [--unprivileged] MODULE.py: with --unprivileged, a run started as root goes on as the
# user nobody, from copies of the tests and programs in a folder that nobody can reach (the
# checkout may lie in root's home), so that file permissions apply as they do to a user.
set -euo pipefail
here=$(dirname "$(realpath "$0")")

if [ "${1:-}" = --unprivileged ]; then
    shift
    if [ "$(id -u)" -eq 0 ]; then
        stage=$(mktemp -d)
        trap 'rm -rf "$stage"' EXIT
        chmod 755 "$stage"
        cp "$here"/*.py "$here/run.sh" "$stage/"
        for program in PROSTREVAN STATION_OWNER STATION_SCAN; do
            cp "${!program}" "$stage/"
            export "$program=$stage/$(basename "${!program}")"
        done
        install -d -o nobody -g nogroup "$stage/home"
        # Where an X server started by an ordinary user puts its socket.
        install -d -m 1777 /tmp/.X11-unix
        status=0
        setpriv --reuid=nobody --regid=nogroup --clear-groups \
            env HOME="$stage/home" "$stage/run.sh" "$stage/$(basename "$1")" || status=$?
        exit "$status"
    fi
fi

XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_RUNTIME_DIR
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
dbus-run-session -- /usr/bin/python3 -W error::ResourceWarning "$@"
