#!/usr/bin/env bash
# Brenvik against a server that offers HTTP/2 over HTTPS: the downloads go
# as HTTP/2 streams, several of them on one connection, and the run still
# holds no more connections than its default of 4.
#
#   tests/transfer/http2_multiplex_test.sh BRENVIK BRENVIK_CATALOGUE
#
# nginx serves a release of 40 small files over HTTPS with HTTP/2 on
# 127.0.0.1, with a certificate made for this test and trusted for its run
# alone (SSL_CERT_FILE). Its access log names, for each request, the
# connection it came on, its number on that connection and its protocol;
# the test reads brenvik's requests from it.
#
# Needs nginx, openssl and curl (scripts/install-deps installs them). When
# one is missing the test fails under CI (CI set) and is skipped (exit
# status 77) elsewhere. The temporary folder and nginx go away on every exit.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 BRENVIK BRENVIK_CATALOGUE" >&2; exit 2; }
brenvik=$(realpath "$1")
catalogue_tool=$(realpath "$2")
# shellcheck source=tests/support/nginx_conf.sh
. "$(dirname "$0")/../support/nginx_conf.sh"

log() { printf '%s\n' "$*"; }
fail() { log "FAILED: $*" >&2; exit 1; }
missing() {
  if [ -n "${CI:-}" ]; then fail "$1 is not installed, so HTTP/2 cannot be checked (scripts/install-deps installs it)"; fi
  log "SKIPPED: $1 is not installed (scripts/install-deps installs it)"
  exit 77
}

# A program from the system's sbin folders too, which an ordinary user's
# PATH may leave out.
find_program() { PATH=$PATH:/usr/sbin:/sbin command -v "$1" 2>/dev/null || true; }
nginx_bin=$(find_program nginx)
openssl_bin=$(find_program openssl)
[ -n "$nginx_bin" ] || missing "nginx (Debian package nginx-light)"
[ -n "$openssl_bin" ] || missing "openssl (Debian package openssl)"
command -v curl >/dev/null 2>&1 || missing "curl (Debian package curl)"
[ -x "$brenvik" ] || fail "no program at $brenvik"
[ -x "$catalogue_tool" ] || fail "no catalogue tool at $catalogue_tool"

# ------------------------------------------------------------------ scratch space and cleanup
work=$(mktemp -d "${TMPDIR:-/tmp}/brenvik-h2.XXXXXX")
# nginx's worker may run as another user: it must reach the release.
chmod 755 "$work"
nginx_pid=""
# shellcheck disable=SC2317  # called through the trap
cleanup() {
  trap '' INT TERM HUP
  if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Straight to the server, whatever the environment says.
unset HTTP_PROXY http_proxy HTTPS_PROXY https_proxy ALL_PROXY all_proxy NO_PROXY no_proxy

# ------------------------------------------------------------------ the certificate and the release
"$openssl_bin" req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -keyout "$work/key.pem" -out "$work/cert.pem" \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >"$work/openssl.log" 2>&1 ||
  { cat "$work/openssl.log" >&2; fail "openssl could not make a certificate"; }

file_count=40
release=$work/www/rel
mkdir -p "$release/1.0"
for i in $(seq -w 1 "$file_count"); do head -c 4096 /dev/urandom >"$release/1.0/file_$i.bin"; done
"$catalogue_tool" "$release/1.0" --version 1.0 --output "$release/FileList.txt" ||
  fail "the catalogue tool failed"
chmod -R a+rX "$work/www"

# ------------------------------------------------------------------ nginx over HTTPS with HTTP/2
access_log=$work/nginx/access.log
start_nginx() {
  local dir=$work/nginx
  rm -rf "$dir"
  mkdir -p "$dir/tmp"
  nginx_conf "$dir" "
  log_format streams '\$connection \$connection_requests \$server_protocol \$status \$request_uri';
  access_log $access_log streams;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$1 ssl http2;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    root $work/www;
    location / { }
  }" >"$dir/nginx.conf"
  "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" >"$dir/stdout.log" 2>&1 &
  nginx_pid=$!
  for _ in $(seq 100); do
    kill -0 "$nginx_pid" 2>/dev/null || { wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""; return 1; }
    if [ "$(curl -s -o /dev/null --max-time 2 --cacert "$work/cert.pem" -w '%{http_version}' \
      "https://127.0.0.1:$1/rel/FileList.txt" 2>/dev/null)" = 2 ]; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}
port=""
for _ in $(seq 10); do
  candidate=$((20000 + RANDOM % 40000))
  if start_nginx "$candidate"; then port=$candidate; break; fi
  if [ -n "$nginx_pid" ]; then kill -KILL "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  nginx_pid=""
done
if [ -z "$port" ]; then
  cat "$work/nginx/error.log" "$work/nginx/stdout.log" >&2 2>/dev/null || true
  fail "nginx did not start serving HTTP/2 over HTTPS"
fi
log "nginx serves HTTP/2 over HTTPS at https://127.0.0.1:$port/"

# ------------------------------------------------------------------ the run
skip=$(wc -l <"$access_log")
mkdir -p "$work/cwd"
status=0
(cd "$work/cwd" && SSL_CERT_FILE=$work/cert.pem timeout 120 "$brenvik" --text --yes --no-install \
  --server "https://127.0.0.1:$port/rel/" --folder "$work/dl") </dev/null >"$work/brenvik.log" 2>&1 ||
  status=$?
tail -n "+$((skip + 1))" "$access_log" >"$work/requests.log"

# What the server saw, for every failure below.
show() {
  log "--- the end of brenvik's output (exit status $status):" >&2
  tail -n 20 "$work/brenvik.log" >&2
  log "--- nginx's log of the run (connection, request on it, protocol, status, path):" >&2
  cat "$work/requests.log" >&2
}

[ "$status" -eq 0 ] || { show; fail "brenvik exited with status $status"; }
diff -r "$release/1.0" "$work/dl" >&2 || { show; fail "the folder does not hold the release's files as they are"; }

read -r files not_h2 connections most < <(awk '
  $5 ~ /^\/rel\/1\.0\// { files++; if ($3 != "HTTP/2.0" || $4 != 200) not_h2++ }
  !($1 in seen) { seen[$1]; connections++ }
  $2 > most { most = $2 }
  END { printf "%d %d %d %d\n", files, not_h2, connections, most }' "$work/requests.log")
log "brenvik: $files file requests on $connections connection(s), at most $most on one"

[ "$files" -eq "$file_count" ] ||
  { show; fail "nginx saw $files requests for the $file_count files, not one each"; }
[ "$not_h2" -eq 0 ] || { show; fail "$not_h2 file requests were not answered over HTTP/2 with 200"; }
[ "$most" -gt 1 ] || { show; fail "no connection carried more than one request: nothing was multiplexed"; }
[ "$connections" -le 4 ] ||
  { show; fail "brenvik held $connections connections; the default allows 4"; }
log "all checks passed"
