# Steps shared by scripts/demo and the figures scripts under bench/. Each appends the pids of
# what it starts to the caller's `pids` array; the caller stops them.

# stop_started: stops what was started, the latest first, so that the host removes its monitor
# while the X server still runs.
stop_started() {
  local i pid
  for (( i=${#pids[@]}-1; i>=0; i-- )); do
    pid=${pids[$i]}
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  pids=()
}

# start_x_server WORKDIR: a private X server for the demo and the figures scripts, stopped by
# the caller. As root, Xorg with the dummy
# video driver, whose free outputs take virtual monitors; otherwise Xvfb, where the host
# mirrors its only monitor. Exports DISPLAY and makes the session look like plain X11.
start_x_server() {
  local work=$1
  : >"$work/display"
  if [ "$(id -u)" -eq 0 ]; then
    echo "== starting a private X server (Xorg, dummy video driver)" >&2
    Xorg -displayfd 3 -config "$PWD/scripts/xorg-dummy.conf" -noreset -nolisten tcp \
      -logfile "$work/Xorg.log" 3>"$work/display" >"$work/xserver.out" 2>&1 &
  else
    # Xorg takes a configuration of ours only from root.
    echo "== starting a private X server (Xvfb: not root, so the phone mirrors the main monitor)" >&2
    Xvfb -displayfd 3 -screen 0 1280x800x24 +extension RANDR -nolisten tcp -noreset \
      3>"$work/display" >"$work/xserver.out" 2>&1 &
  fi
  pids+=($!)
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  if [ ! -s "$work/display" ]; then
    echo "the X server did not start:" >&2
    cat "$work/xserver.out" >&2
    return 1
  fi
  export DISPLAY=":$(head -1 "$work/display")"
  unset WAYLAND_DISPLAY
  export XDG_SESSION_TYPE=x11
  echo "   DISPLAY=$DISPLAY" >&2
}

# start_host_and_pair WORKDIR HOST-ARGS...: lumenbrook-host on loopback with a fresh state
# directory (secrets there too, never in the user's keyring), its log in WORKDIR/host.log,
# accepting the pairing by itself; then the reference phone pairs with it (state in
# WORKDIR/phone.json). Sets `host_pid`, `phone` and `state`.
start_host_and_pair() {
  local work=$1
  shift
  echo "== starting the host on loopback (state in a fresh temporary directory)" >&2
  build/bin/lumenbrook-host --state-dir "$work/host" --secrets files --port 0 \
    --advertised-host 127.0.0.1 --name "Demo computer" --pair --auto-confirm "$@" \
    >"$work/host.out" 2>"$work/host.log" </dev/null &
  host_pid=$!
  pids+=($host_pid)

  # The host prints the pairing-code text on a line of its own once it listens.
  local code=""
  for _ in $(seq 100); do
    code=$(grep -m1 '^LUMENBROOK-PAIR-1:' "$work/host.out" || true)
    [ -n "$code" ] && break
    if ! kill -0 "$host_pid" 2>/dev/null; then
      echo "the host stopped before it could pair:" >&2
      cat "$work/host.log" >&2
      return 1
    fi
    sleep 0.1
  done
  if [ -z "$code" ]; then
    echo "the host printed no pairing code within 10 s:" >&2
    cat "$work/host.log" >&2
    return 1
  fi
  echo "== pairing code: $code" >&2

  phone=(build/bin/lumenbrook-phone)
  state="$work/phone.json"
  echo "== pairing the reference phone" >&2
  "${phone[@]}" pair "$code" --state "$state" --name "Demo phone" --yes
}
