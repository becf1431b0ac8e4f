#!/usr/bin/env bash
# Brenvik through a real caching proxy, and the publisher's guide's server
# snippets as the servers themselves read them.
#
#   tests/proxy/through_cache.sh BRENVIK BRENVIK_CATALOGUE
#
# nginx serves a signed release with the guide's snippet
# (docs/servers/nginx.conf) on 127.0.0.1, squid sits in front of it with a
# cache of its own, and brenvik runs with http_proxy pointing at squid:
#   new version   the publisher publishes a new version folder and a new,
#                 re-signed catalogue: the next run ends verified with it
#   fixed file    a file replaced in place on the server, while the proxy
#                 still holds the old one and the folder's copy is damaged:
#                 the run ends verified with the new file
#   bare server   a server that sends no Cache-Control at all (a default
#                 configuration), whose catalogue the proxy keeps by its own
#                 rules: a new version still arrives
# Then Apache httpd and lighttpd each start with their snippet
# (docs/servers/apache.conf, docs/servers/lighttpd.conf), and the headers
# of the catalogue, its signature and a version folder's file are checked,
# as they are for nginx.
#
# Installs nothing: exits 77 (skipped) with the reason when nginx, squid or
# signify is missing; a missing Apache httpd or lighttpd skips only its own
# check. Every server started is stopped on exit; every wait is bounded.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 BRENVIK BRENVIK_CATALOGUE" >&2; exit 2; }
brenvik=$(realpath "$1")
catalogue_tool=$(realpath "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
servers=$root/docs/servers
# shellcheck source=tests/support/nginx_conf.sh
. "$root/tests/support/nginx_conf.sh"

log() { printf '%s\n' "$*"; }
fail() { log "FAILED: $*" >&2; exit 1; }
skip() { log "SKIPPED: $*"; exit 77; }

# The publisher's guide quotes each snippet as it is, so what publishers copy
# is what the servers below are checked with.
guide=$(cat "$root/docs/publishing.md")
for snippet in "$servers"/*.conf; do
  [[ "$guide" == *"$(cat "$snippet")"* ]] ||
    fail "docs/publishing.md does not quote ${snippet#"$root"/} as it is"
done

# A program from the system's sbin folders too, which an ordinary user's
# PATH may leave out.
find_program() {
  PATH=$PATH:/usr/sbin:/sbin command -v "$1" 2>/dev/null || true
}
nginx_bin=$(find_program nginx)
squid_bin=$(find_program squid)
apache_bin=$(find_program apache2)
lighttpd_bin=$(find_program lighttpd)
signify_bin=$(find_program signify-openbsd)
[ -n "$nginx_bin" ] || skip "nginx is not installed (Debian package nginx-light; scripts/install-deps installs it)"
[ -n "$squid_bin" ] || skip "squid is not installed (Debian package squid; scripts/install-deps installs it)"
[ -n "$signify_bin" ] || skip "signify-openbsd is not installed (scripts/install-deps installs it)"
[ -x "$brenvik" ] || fail "no program at $brenvik"

# ------------------------------------------------------------------ scratch space and cleanup
work=$(mktemp -d "${TMPDIR:-/tmp}/brenvik-proxy.XXXXXX")
# Servers that drop root for another user must reach the release.
chmod 755 "$work"
pids=()
# stop PID: asks the server to stop, waits up to 5 s, then kills it.
stop() {
  kill -0 "$1" 2>/dev/null || return 0
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
# shellcheck disable=SC2317  # called through the trap
cleanup() {
  # A second signal must not cut the cleanup short.
  trap '' INT TERM HUP
  for pid in ${pids[@]+"${pids[@]}"}; do stop "$pid"; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Only the proxy this script names, for every run.
unset HTTP_PROXY HTTPS_PROXY https_proxy ALL_PROXY all_proxy NO_PROXY no_proxy

# The code of any HTTP answer from URL (000: none), straight to the server.
answer_code() {
  curl -s -o /dev/null --noproxy '*' --max-time 2 -w '%{http_code}' "$1" 2>/dev/null || true
}

# launch NAME PROBE_URL COMMAND...: starts COMMAND in the background and
# waits up to 10 s until PROBE_URL gets an answer; false when the server
# ends first (a port taken, say) or never answers.
launch() {
  local name=$1 probe=$2 pid
  shift 2
  "$@" >"$work/$name.out" 2>&1 &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 1
    if [ "$(answer_code "$probe")" != 000 ]; then
      # Still running: the answer was not from another program on the port.
      sleep 0.2
      kill -0 "$pid" 2>/dev/null && return 0
      return 1
    fi
    sleep 0.1
  done
  stop "$pid"
  return 1
}

# on_free_port NAME START_FUNCTION: calls START_FUNCTION PORT with random
# ports until one works (at most 10); sets port.
on_free_port() {
  for _ in $(seq 10); do
    port=$((20000 + RANDOM % 40000))
    if "$2" "$port"; then return 0; fi
  done
  log "the last try's output:" >&2
  cat "$work/$1.out" "$work/$1"/*.log "$work/$1"/logs/*.log 2>/dev/null >&2 || true
  fail "$1 did not start"
}

# ------------------------------------------------------------------ the releases
www=$work/www
keys=$work/keys
mkdir -p "$www" "$keys"
"$signify_bin" -G -n -p "$keys/release.pub" -s "$keys/release.sec" -c "test release key" ||
  fail "signify could not make a key pair"

# Every change the publisher makes gets a time of its own, an hour after the
# one before, starting two days ago: servers' validators count whole seconds
# (nginx's ETag is the time and the size), and a test is quicker than any
# publisher. The age also lets a proxy keep a file without Cache-Control.
clock=$(($(date +%s) - 2 * 86400))
stamp() {
  clock=$((clock + 3600))
  touch -d "@$clock" "$@"
}

# publish BASE VERSION: a version folder of fresh files under $www/BASE,
# its catalogue and the catalogue's signature, as the guide says.
publish() {
  local base=$www/$1 version=$2
  mkdir -p "$base/$version/Data"
  head -c 70001 /dev/urandom >"$base/$version/Install.exe"
  head -c 300000 /dev/urandom >"$base/$version/Data/one.cab"
  printf 'Version %s\n' "$version" >"$base/$version/read me.txt"
  find "$base/$version" -type f -exec touch -d "@$((clock + 3600))" {} +
  sign "$1" "$version"
}

# sign BASE VERSION: writes and signs the catalogue of BASE's VERSION.
sign() {
  local base=$www/$1
  "$catalogue_tool" "$base/$2" --version "$2" --output "$base/FileList.txt" ||
    fail "the catalogue tool failed on $base/$2"
  "$signify_bin" -S -s "$keys/release.sec" -m "$base/FileList.txt" ||
    fail "signify could not sign $base/FileList.txt"
  # A list of mirrors (none that answers: the checks below read only its
  # headers), signed as the catalogue is.
  printf '# no mirrors here\n' >"$base/Mirrors.txt"
  "$signify_bin" -S -s "$keys/release.sec" -m "$base/Mirrors.txt" ||
    fail "signify could not sign $base/Mirrors.txt"
  stamp "$base/FileList.txt" "$base/FileList.txt.sig" "$base/Mirrors.txt" "$base/Mirrors.txt.sig"
  chmod -R a+rX "$base"
}

publish Orvcd 1.0
publish Bare 1.0

# ------------------------------------------------------------------ nginx with the guide's snippet, squid before it
start_nginx() {
  local dir=$work/nginx
  rm -rf "$dir"
  mkdir -p "$dir/tmp"
  nginx_conf "$dir" "
  access_log $dir/access.log;
  server {
    listen 127.0.0.1:$1;
    root $www;
    # Everything but the guide's folder, such as Bare/, as nginx sends it
    # by default: ETag and Last-Modified, no Cache-Control.
    location / { }
    include $servers/nginx.conf;
  }" >"$dir/nginx.conf"
  launch nginx "http://127.0.0.1:$1/" "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log"
}
on_free_port nginx start_nginx
nginx_url=http://127.0.0.1:$port/
log "nginx serving $www at $nginx_url"

squid_user=""
if [ "$(id -u)" -eq 0 ]; then
  # Squid started as root serves as another user, who must own its files.
  squid_user=proxy
  id "$squid_user" >/dev/null 2>&1 || squid_user=nobody
fi
start_squid() {
  local dir=$work/squid
  rm -rf "$dir"
  mkdir -p "$dir/cache"
  # Caching as a proxy does by default: what a server lets it keep, and a
  # file without Cache-Control for a share of its age since Last-Modified.
  cat >"$dir/squid.conf" <<EOF
http_port 127.0.0.1:$1
${squid_user:+cache_effective_user $squid_user}
pid_filename $dir/squid.pid
cache_dir ufs $dir/cache 32 4 16
coredump_dir $dir
cache_log $dir/cache.log
access_log stdio:$dir/access.log
cache_store_log none
netdb_filename none
icp_port 0
htcp_port 0
visible_hostname brenvik-test-proxy
shutdown_lifetime 0 seconds
acl to_loopback dst 127.0.0.1
http_access allow localhost to_loopback
http_access deny all
refresh_pattern . 0 20% 4320
EOF
  [ -z "$squid_user" ] || chown -R "$squid_user" "$dir"
  timeout 30 "$squid_bin" -N -z -f "$dir/squid.conf" >"$dir/init.log" 2>&1 || return 1
  launch squid "http://127.0.0.1:$1/" "$squid_bin" -N -d 1 -f "$dir/squid.conf"
}
on_free_port squid start_squid
proxy_url=http://127.0.0.1:$port/
log "squid caching in front of it at $proxy_url"

# ------------------------------------------------------------------ helpers for the runs
# run_brenvik CASE BASE FOLDER: one run through the proxy, in CASE's own
# working folder; its output in $work/CASE.log.
run_brenvik() {
  local cwd=$work/cwd-$1 status=0
  mkdir -p "$cwd"
  (cd "$cwd" && http_proxy=$proxy_url timeout 120 "$brenvik" --text --yes --no-install \
    --publisher-key "$keys/release.pub" --server "$nginx_url$2/" --folder "$3") \
    </dev/null >"$work/$1.log" 2>&1 || status=$?
  return "$status"
}

# ends_verified CASE BASE FOLDER: runs brenvik and fails the test unless
# it ends verified with exactly the files of BASE's current version.
ends_verified() {
  local version status=0 seen
  version=$(current_version "$2")
  seen=$(wc -l <"$work/squid/access.log")
  run_brenvik "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    log "--- the end of brenvik's output (exit status $status):" >&2
    tail -n 25 "$work/$1.log" >&2
    log "--- what squid answered in this run:" >&2
    tail -n "+$((seen + 1))" "$work/squid/access.log" | awk '{ print $4, $7 }' >&2
    if tail -n "+$((seen + 1))" "$work/squid/access.log" | grep -q '_HIT/'; then
      log "(a *_HIT is a copy from squid's cache, given without asking the server)" >&2
    fi
    fail "$1: brenvik did not end verified through the proxy"
  fi
  if ! diff -r "$www/$2/$version" "$3" >&2; then
    log "--- what squid answered in this run:" >&2
    tail -n "+$((seen + 1))" "$work/squid/access.log" | awk '{ print $4, $7 }' >&2
    fail "$1: the run ended verified, but not with the server's version $version"
  fi
  grep -q "$nginx_url$2/FileList.txt" "$work/squid/access.log" ||
    fail "$1: the catalogue did not go through the proxy"
}

# The version the server's catalogue names (its first line that is no comment).
current_version() { sed -n '/^#/d; /^$/d; s/\r$//; p' "$www/$1/FileList.txt" | head -n 1; }

# proxy_serves_old URL FILE: whether the proxy answers URL with FILE's bytes.
proxy_serves_old() {
  curl -s --max-time 10 -x "$proxy_url" "$1" | cmp -s - "$2"
}

# ------------------------------------------------------------------ the cases through the proxy
log "new version: 1.0 through the proxy, then 2.0 published and signed"
ends_verified new-version Orvcd "$work/dl-new/"
cp "$www/Orvcd/FileList.txt.sig" "$work/old.sig"
publish Orvcd 2.0
ends_verified new-version Orvcd "$work/dl-new/"
log "  ends verified with 2.0"

log "fixed file: Install.exe of 2.0 replaced in place, the folder's copy damaged"
cp "$www/Orvcd/2.0/Install.exe" "$work/old-Install.exe"
head -c 70001 /dev/urandom >"$www/Orvcd/2.0/Install.exe"
stamp "$www/Orvcd/2.0/Install.exe"
sign Orvcd 2.0
proxy_serves_old "${nginx_url}Orvcd/2.0/Install.exe" "$work/old-Install.exe" ||
  fail "fixed file: the proxy does not hold the old Install.exe, so this case proves nothing"
printf 'damaged' | dd of="$work/dl-new/Install.exe" bs=1 seek=1000 conv=notrunc status=none
ends_verified fixed-file Orvcd "$work/dl-new/"
log "  ends verified with the new Install.exe"

log "bare server: no Cache-Control, a catalogue hours old kept by the proxy"
ends_verified bare-server Bare "$work/dl-bare/"
cp "$www/Bare/FileList.txt" "$work/old-FileList.txt"
publish Bare 2.0
proxy_serves_old "${nginx_url}Bare/FileList.txt" "$work/old-FileList.txt" ||
  fail "bare server: the proxy does not hold the old catalogue, so this case proves nothing"
ends_verified bare-server Bare "$work/dl-bare/"
log "  ends verified with 2.0"

# ------------------------------------------------------------------ each server's snippet and its headers
# header_of URL NAME [CURL OPTIONS...]: the value of header NAME in the
# answer to a GET of URL, straight from the server.
header_of() {
  local url=$1 name=$2
  shift 2
  curl -s --noproxy '*' --max-time 10 -o /dev/null -D - "$@" "$url" |
    tr -d '\r' | sed -n "s/^$name: *//Ip" | tail -n 1
}

# check_headers SERVER BASE_URL: the catalogue, the list of mirrors and their
# signatures must not be
# kept by caches, a version folder's files may be kept long, and a file
# resumes: a strong ETag and a byte range.
check_headers() {
  local server=$1 url=$2 value max_age etag
  for name in FileList.txt FileList.txt.sig Mirrors.txt Mirrors.txt.sig; do
    value=$(header_of "$url$name" Cache-Control)
    [ "$value" = no-cache ] || fail "$server: $name has Cache-Control '$value', not 'no-cache'"
  done
  value=$(header_of "${url}2.0/Data/one.cab" Cache-Control)
  max_age=$(sed -n 's/.*max-age=\([0-9]*\).*/\1/p' <<<"$value")
  [ "${max_age:-0}" -ge 86400 ] ||
    fail "$server: a version folder's file has Cache-Control '$value', not a long max-age"
  etag=$(header_of "${url}2.0/Data/one.cab" ETag)
  [[ "$etag" == \"*\" ]] || fail "$server: a version folder's file has no strong ETag ('$etag')"
  value=$(curl -s --noproxy '*' --max-time 10 -o /dev/null -w '%{http_code}' -r 10- \
    -H "If-Range: $etag" "${url}2.0/Data/one.cab")
  [ "$value" = 206 ] || fail "$server: a range with If-Range of the ETag got $value, not 206"
  [ -z "$(header_of "${url}2.0/Data/one.cab" Content-Encoding -H 'Accept-Encoding: gzip')" ] ||
    fail "$server: a version folder's file went out compressed"
  log "$server: the snippet's headers are right"
}

check_headers nginx "${nginx_url}Orvcd/"

start_apache() {
  local dir=$work/apache modules=/usr/lib/apache2/modules user_lines=""
  rm -rf "$dir"
  mkdir -p "$dir/logs"
  if [ "$(id -u)" -eq 0 ]; then
    # httpd refuses to serve as root.
    user_lines="User nobody
Group $(id -gn nobody)"
  fi
  cat >"$dir/httpd.conf" <<EOF
ServerRoot $dir
ServerName 127.0.0.1
Listen 127.0.0.1:$1
PidFile $dir/httpd.pid
ErrorLog $dir/logs/error.log
Mutex file:$dir/logs default
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule mime_module $modules/mod_mime.so
LoadModule env_module $modules/mod_env.so
LoadModule headers_module $modules/mod_headers.so
LoadModule deflate_module $modules/mod_deflate.so
LoadModule filter_module $modules/mod_filter.so
TypesConfig /dev/null
$user_lines
# Compression on for the whole server, as many are: the snippet must keep
# the release out of it.
AddOutputFilterByType DEFLATE application/octet-stream text/plain
DocumentRoot $www
<Directory $www>
    Require all granted
</Directory>
Include $servers/apache.conf
EOF
  launch apache "http://127.0.0.1:$1/" "$apache_bin" -d "$dir" -f "$dir/httpd.conf" -DFOREGROUND
}

start_lighttpd() {
  local dir=$work/lighttpd
  rm -rf "$dir"
  mkdir -p "$dir"
  cat >"$dir/lighttpd.conf" <<EOF
server.document-root = "$www"
server.bind = "127.0.0.1"
server.port = $1
server.errorlog = "$dir/error.log"
include "$servers/lighttpd.conf"
EOF
  "$lighttpd_bin" -tt -f "$dir/lighttpd.conf" >"$dir/check.log" 2>&1 || {
    cat "$dir/check.log" >&2
    fail "lighttpd: its snippet does not load"
  }
  launch lighttpd "http://127.0.0.1:$1/" "$lighttpd_bin" -D -f "$dir/lighttpd.conf"
}

if [ -n "$apache_bin" ] && [ -e /usr/lib/apache2/modules/mod_headers.so ]; then
  on_free_port apache start_apache
  check_headers "Apache httpd" "http://127.0.0.1:$port/Orvcd/"
else
  log "Apache httpd: skipped, not installed (Debian package apache2)"
fi
if [ -n "$lighttpd_bin" ]; then
  on_free_port lighttpd start_lighttpd
  check_headers lighttpd "http://127.0.0.1:$port/Orvcd/"
else
  log "lighttpd: skipped, not installed (Debian package lighttpd)"
fi
log "all cases passed"
