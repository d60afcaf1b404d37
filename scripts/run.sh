#!/usr/bin/env bash
# Runs the wizard against a tuning service of its own on this machine.
#
# Installs what is missing and builds, makes a private certificate authority and a
# certificate for 127.0.0.1/localhost on first use (kept in the user's state folder and
# reused), starts pelloran-service over HTTPS on a free loopback port, runs pelloran against
# it and stops the service when the wizard ends, however it ends. Arguments go to pelloran.
#
# Environment: PELLORAN_BUILD_DIR (default: build/ in the source tree) and
# XDG_STATE_HOME (default: ~/.local/state; the files live in its pelloran/ folder).
set -euo pipefail

say() { printf 'run.sh: %s\n' "$*" >&2; }

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${PELLORAN_BUILD_DIR:-$source_dir/build}
state_dir=${XDG_STATE_HOME:-$HOME/.local/state}/pelloran

# A wizard needs a screen. Say so before spending minutes on a build; --help and other
# arguments are answered by pelloran without one.
if (($# == 0)) && [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  cat >&2 <<'EOF'
The Pelloran wizard needs a graphical session, and this one has none
(neither DISPLAY nor WAYLAND_DISPLAY is set).

Run it from a desktop session, or over SSH with X forwarding (ssh -X), or
for a trial on a virtual screen:

    xvfb-run -a -s "-screen 0 1280x1024x24" ./scripts/run.sh
EOF
  exit 2
fi

"$source_dir/scripts/install-deps.sh" run

# A DISPLAY left over from an old login (ssh without X forwarding, a closed Xvfb) would
# only show up later as a toolkit error: check that the screen answers.
if [[ -z "${WAYLAND_DISPLAY:-}" ]] && (($# == 0)) && ! xdotool getdisplaygeometry >/dev/null 2>&1; then
  cat >&2 <<EOF
The Pelloran wizard needs a graphical session, and the display "$DISPLAY" does not answer.

Run it from a desktop session, or over SSH with X forwarding (ssh -X), or
for a trial on a virtual screen:

    xvfb-run -a -s "-screen 0 1280x1024x24" ./scripts/run.sh
EOF
  exit 2
fi

# A configured build folder reconfigures itself when it needs to.
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
  cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build_dir" -j"$(nproc)" --target pelloran pelloran-service

# --- certificate ------------------------------------------------------------------------
# ca.pem is what the wizard trusts; server.pem/server.key is what the service presents.
# ECDSA P-256: the cheapest handshake. Made once, kept; made again only when missing,
# unreadable, about to expire or of another key type.
certificate_usable() {
  [[ -r "$state_dir/ca.pem" && -r "$state_dir/server.pem" && -r "$state_dir/server.key" ]] &&
    openssl x509 -in "$state_dir/server.pem" -noout -checkend 86400 >/dev/null 2>&1 &&
    openssl x509 -in "$state_dir/server.pem" -noout -text 2>/dev/null | grep -q id-ecPublicKey &&
    openssl verify -CAfile "$state_dir/ca.pem" "$state_dir/server.pem" >/dev/null 2>&1
}

make_certificate() {
  local work
  work=$(mktemp -d "$state_dir/.new-certificate.XXXXXX")
  (
    set -e
    cd "$work"
    umask 077
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3650 -sha256 \
      -subj "/O=Pelloran local/CN=Pelloran local certificate authority" \
      -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" \
      -keyout ca.key -out ca.pem 2>/dev/null
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 \
      -subj "/O=Pelloran local/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
    printf '%s\n' "basicConstraints=critical,CA:FALSE" \
      "keyUsage=critical,digitalSignature" \
      "extendedKeyUsage=serverAuth" \
      "subjectAltName=IP:127.0.0.1,DNS:localhost" >server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
      -days 825 -sha256 -extfile server.ext -out server.pem 2>/dev/null
    chmod 644 ca.pem server.pem
  ) || { rm -rf "$work"; say "could not make a certificate in $state_dir"; exit 1; }
  # The key first and the trusted file last, so a run stopped half way is seen as unusable.
  local name
  for name in ca.key server.key server.pem ca.pem; do
    mv -f "$work/$name" "$state_dir/$name"
  done
  rm -rf "$work"
  say "made a private certificate authority and a certificate for 127.0.0.1 in $state_dir"
}

mkdir -p "$state_dir"
chmod 700 "$state_dir"
certificate_usable || make_certificate

# --- service ----------------------------------------------------------------------------
service_pid=
wizard_pid=
stop_all() {
  local pid
  for pid in $wizard_pid $service_pid; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in $wizard_pid $service_pid; do
    wait "$pid" 2>/dev/null || true
  done
  wizard_pid= service_pid=
}
trap stop_all EXIT
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap 'stop_all; exit 129' HUP

service_log=$state_dir/service.log
access_log=$state_dir/access.log
ready_file=$state_dir/service.ready
: >"$ready_file"
# Port 0: the service takes a free port and names it in its ready line.
# --pdeathsig: the service also goes when this script is killed outright (SIGKILL).
setpriv --pdeathsig TERM -- "$build_dir/pelloran-service" \
  --listen 127.0.0.1:0 --cert "$state_dir/server.pem" --key "$state_dir/server.key" \
  --access-log "$access_log" >"$ready_file" 2>"$service_log" </dev/null &
service_pid=$!
port=
for _ in $(seq 400); do
  # "pelloran-service: listening on https://127.0.0.1:PORT/..." once it accepts connections.
  port=$(sed -n 's|.*https://127\.0\.0\.1:\([0-9][0-9]*\)/.*|\1|p' "$ready_file" | head -n 1)
  [[ -n "$port" ]] && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.05
done
if [[ -z "$port" ]] || ! kill -0 "$service_pid" 2>/dev/null; then
  say "pelloran-service did not start; its output ($service_log):"
  cat "$ready_file" "$service_log" >&2
  exit 1
fi
say "tuning service on https://127.0.0.1:$port (log: $service_log, requests: $access_log)"

# --- wizard -----------------------------------------------------------------------------
export PELLORAN_SERVICE_URL="https://127.0.0.1:$port/authws/services/AuthenticationService?wsdl"
export PELLORAN_CA_FILE="$state_dir/ca.pem"
# In the background, so that a signal to this script is handled at once (by the traps).
"$build_dir/pelloran" "$@" </dev/null &
wizard_pid=$!
status=0
wait "$wizard_pid" || status=$?
wizard_pid=
exit "$status"
