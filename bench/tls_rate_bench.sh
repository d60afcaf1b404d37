#!/usr/bin/env bash
# Requests per second of pelloran-service against nginx answering `return 200`, both with the
# same certificate, each request a validateUser posted on a new TLS connection with a full
# handshake (neither server gives tickets or keeps sessions, which wrk would resume). Prints
# the median rates and the median of each round's ratio, for RSA-2048 and ECDSA P-256 at 8 and
# 32 connections. Prints the load average before and after; on a busy machine (a 1-minute
# load above 0.5 before the run) it prints the rates but leaves the ratios out: load from
# elsewhere comes and goes between the two runs of a round, and the ratios vary by a tenth.
#
#   bench/tls_rate_bench.sh [--busy-ok] [build folder, default build] [rounds, default 5] [seconds a round, default 5]
#
#   --busy-ok   print the ratios even on a busy machine
set -euo pipefail

busy_ok=0
arguments=()
for argument in "$@"; do
    if [[ $argument == --busy-ok ]]; then busy_ok=1; else arguments+=("$argument"); fi
done
set -- "${arguments[@]}"
build=$(realpath "${1:-build}")
rounds=${2:-5}
seconds=${3:-5}
service_binary="$build/pelloran-service"
for needed in "$service_binary" "$build/bench/service_bench"; do
    [[ -x $needed ]] || { echo "tls_rate_bench: $needed is not built" >&2; exit 1; }
done
for program in nginx wrk openssl; do
    command -v "$program" >/dev/null || [[ -x /usr/sbin/$program ]] ||
        { echo "tls_rate_bench: $program is missing (apt-get install nginx wrk)" >&2; exit 1; }
done
nginx_binary=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

"$build/bench/service_bench" --wrk-script >"$work/request.lua"

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_for_port() {
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "tls_rate_bench: nothing listens on port $1" >&2
    return 1
}

# Requests per second of one wrk round; failed requests count as none.
rate() {
    local url=$1 connections=$2 out
    out=$(wrk -t 2 -c "$connections" -d "${seconds}s" -s "$work/request.lua" "$url" 2>&1)
    awk '/^Requests\/sec:/ { print $2 }' <<<"$out" | grep . || { echo "$out" >&2; echo 0; }
    if grep -q "Non-2xx\|Socket errors" <<<"$out"; then
        grep "Non-2xx\|Socket errors" <<<"$out" | sed "s/^/  ($url, $connections connections) /" >&2
    fi
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

load_before=$(cut -d' ' -f1-3 </proc/loadavg)
show_ratios=$(awk -v load="${load_before%% *}" -v ok="$busy_ok" 'BEGIN { print (ok || load <= 0.5) ? 1 : 0 }')

echo "TLS rate: pelloran-service against nginx return 200, wrk posting validateUser with Connection: close"
echo "$(nproc) processors; median of $rounds rounds of ${seconds} s; nginx $("$nginx_binary" -v 2>&1 | sed 's/.*\///')"
echo "load average before: $load_before"
printf "%-11s %11s %14s %12s %7s\n" certificate connections "nginx req/s" "service req/s" ratio

for kind in rsa ecdsa; do
    mkdir -p "$work/$kind"
    if [[ $kind == rsa ]]; then key=(-newkey rsa:2048); label=RSA-2048; else key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256); label="ECDSA P-256"; fi
    openssl req -x509 "${key[@]}" -nodes -days 2 -sha256 -subj /CN=localhost \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        -keyout "$work/$kind/key.pem" -out "$work/$kind/cert.pem" 2>/dev/null

    nginx_port=$(free_port)
    mkdir -p "$work/$kind/nginx/logs"
    cat >"$work/$kind/nginx/nginx.conf" <<EOF
worker_processes auto;
pid $work/$kind/nginx/nginx.pid;
error_log $work/$kind/nginx/logs/error.log;
daemon off;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $work/$kind/nginx/body;
    server {
        listen 127.0.0.1:$nginx_port ssl;
        ssl_certificate $work/$kind/cert.pem;
        ssl_certificate_key $work/$kind/key.pem;
        ssl_protocols TLSv1.2 TLSv1.3; # as the service: 1.22 leaves 1.3 out by default
        ssl_session_cache off;
        ssl_session_tickets off;
        location / { return 200; }
    }
}
EOF
    "$nginx_binary" -p "$work/$kind/nginx" -c "$work/$kind/nginx/nginx.conf" -e "$work/$kind/nginx/logs/error.log" &
    nginx_pid=$!
    pids+=("$nginx_pid")
    service_port=$(free_port)
    "$service_binary" --listen "127.0.0.1:$service_port" --cert "$work/$kind/cert.pem" \
        --key "$work/$kind/key.pem" --no-session-tickets --access-log /dev/null >/dev/null 2>>"$work/service.err" &
    service_pid=$!
    pids+=("$service_pid")
    wait_for_port "$nginx_port"
    wait_for_port "$service_port"

    for connections in 8 32; do
        : >"$work/nginx.rates"
        : >"$work/service.rates"
        : >"$work/ratios"
        for _ in $(seq "$rounds"); do
            # Back to back, so that load from elsewhere hits both alike; the ratio is a round's.
            n=$(rate "https://127.0.0.1:$nginx_port/authws/services/AuthenticationService?wsdl" "$connections")
            s=$(rate "https://127.0.0.1:$service_port/authws/services/AuthenticationService?wsdl" "$connections")
            echo "$n" >>"$work/nginx.rates"
            echo "$s" >>"$work/service.rates"
            awk -v s="$s" -v n="$n" 'BEGIN { print (n > 0 ? s / n : 0) }' >>"$work/ratios"
        done
        ratio=-
        [[ $show_ratios == 1 ]] && ratio=$(printf %.2f "$(median <"$work/ratios")")
        printf "%-11s %11s %14.0f %12.0f %7s\n" "$label" "$connections" "$(median <"$work/nginx.rates")" \
            "$(median <"$work/service.rates")" "$ratio"
    done
    kill "$nginx_pid" "$service_pid"
    wait "$nginx_pid" "$service_pid" 2>/dev/null || true
    pids=()
done

echo "load average after: $(cut -d' ' -f1-3 </proc/loadavg)"
if [[ $show_ratios == 0 ]]; then
    echo "ratios left out: the 1-minute load was ${load_before%% *} before the run, above 0.5, so the" \
        "machine was busy; --busy-ok prints them anyway"
fi
