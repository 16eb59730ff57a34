# Sourced, not run: helpers for the scripts that run the monitor in a virtual X server.

# Starts `pids` empty; when the calling script exits, stops every process in it and removes the
# folders given here.
clean_up_at_exit() {
    pids=()
    folders_to_remove=("$@")
    trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
          rm -rf "${folders_to_remove[@]}"' EXIT
}

# Starts Xvfb on a free display with openbox managing it, exports DISPLAY, and appends both
# processes' ids to the caller's array `pids`.
start_virtual_display() {
    local size=$1 announced number
    exec {announced}<> <(:)
    # -noreset: else the server resets when its last client leaves (an xprop below that runs
    # before openbox connects), and cuts off openbox connecting meanwhile.
    Xvfb -displayfd "$announced" -screen 0 "$size" -nolisten tcp -noreset 2>/dev/null &
    pids+=($!)
    read -r -u "$announced" number
    exec {announced}<&-
    export DISPLAY=":$number"
    unset QT_QPA_PLATFORM WAYLAND_DISPLAY
    openbox --sm-disable >/dev/null 2>&1 &
    pids+=($!)
    until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do sleep 0.05; done
}
