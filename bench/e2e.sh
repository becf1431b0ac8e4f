#!/usr/bin/env bash
# End-to-end benchmark: brenvik against common download tools on the same
# release, served by nginx on 127.0.0.1, all measured in the same run.
#
#   bench/e2e.sh [--quick] [--reps N] [--only CASES] [--rate-kib N]
#                [--scale-sizes N,M,...] [--strict]
#   bench/e2e.sh --serve [--quick] [--rate-kib N]
#
# The download cases time these tools, each into a fresh, empty folder
# (large, small, mixed and latency the first four; h2 and limited those
# their entries below name):
#   brenvik         brenvik --text --yes --no-install --server URL --folder DIR
#   curl-parallel   curl --parallel --parallel-max 4 with a config file of
#                   url/output pairs, then md5sum -c
#   wget            wget -i URLS (one connection, kept alive), then md5sum -c
#   aria2c          aria2c -j4 -x1 with an md5 checksum per file, which it
#                   checks as it goes (checked once before timing: a wrong sum
#                   must make it fail)
#   curl-multiplex  curl --parallel at its defaults (no --parallel-max), which
#                   over HTTP/2 carries every transfer on one connection, then
#                   md5sum -c
#   aria2c-split    aria2c -j4 -x4 -s4 -k1M: each file split over up to 4
#                   connections, checked as aria2c is
#
# Cases (ratio = brenvik / the other tool, smaller is better):
#   large     8 files of 64 MiB
#   small     2000 files of 16 KiB
#   mixed     200 files of 64 KiB and 2 of 16 MiB
#   latency   the mixed release through a latency front (bench/latency_proxy):
#             every chunk reaches the other side 10 ms after it was sent, both
#             ways, so each request costs a 20 ms round trip and each new
#             connection one more; every tool goes through it
#   h2        the mixed release over HTTPS with HTTP/2 (nginx's second port,
#             a certificate made for the run and trusted for it alone:
#             SSL_CERT_FILE for brenvik, --cacert for curl), through a latency
#             front as latency's; brenvik, curl-multiplex and curl-parallel.
#             Reported also: what nginx's access log shows of each tool's last
#             run (protocol, requests, connections)
#   limited   2 files of 24 MiB through a latency front as latency's that caps
#             each connection at 977 KiB/s (about 1 MB/s) and all of them
#             together at 7813 KiB/s (about 8 MB/s, the line); brenvik,
#             aria2c, aria2c-split and curl-parallel. Reported also: the
#             line's limit, the release's bytes over the line's rate
#   recheck   the complete large folder again: brenvik  vs  md5sum -c
#   resume    not a race: one brenvik run continues a download that stopped
#             with 6 of 8 files of 8 MiB in the folder, through a latency
#             front that caps each connection at --rate-kib (default 1024
#             KiB/s). Brenvik fetches the two missing files at once on two
#             connections, so the link's rate is 2 x the cap. The run has a
#             pseudo-terminal (util-linux script, with its output's timing),
#             so brenvik draws its live statistics line
#             "D kB of T kB done, R kB/s, EDT: HH:MM:SS" about every 100 ms;
#             every line drawn is read back with the time it appeared.
#             Reported: how many lines, the largest rate shown against the
#             link's rate, how many lines gave no estimate (empty or
#             "00:00:00") from 2 s after the first downloaded bytes showed in
#             D while more than 1 MiB was left, and a sample of the lines;
#             the folder is checked with md5sum -c afterwards
#   maxrate   not a race: brenvik with --max-rate 1M fetches a release of
#             12 files of 512 KiB (6 MiB) over loopback, and once more
#             without the limit. Reported: the limited run's time (target
#             5.5 to 7.5 s: 6 MiB at 1 MiB/s), and its peak memory and CPU
#             time beside the unlimited run's (limited, they must not grow)
#   scale     not run unless chosen (--only scale): releases of many small
#             files (280 bytes each; 20,000 and 80,000 files, or
#             --scale-sizes), brenvik against curl-parallel only. Reported:
#             each size's ratio, and how the time grows with the file count
#             (the time for the largest size over the time for the smallest,
#             against the ratio of their file counts)
# and for every case the peak resident memory of every run.
#
# Targets: brenvik against curl-parallel <= 0.55 x on large, <= 0.9 x on
# small, <= 0.6 x on mixed and <= 0.9 x on latency; on latency also
# brenvik <= 0.35 x wget; on h2 brenvik <= 1.0 x
# curl-multiplex; on limited brenvik <= 0.35 x aria2c; recheck <= 1.1 x
# md5sum; brenvik's peak memory < 64 MiB; on resume, the largest rate shown
# <= 2.0 x the link's rate, no line without an estimate, and at least one
# line drawn. On scale:
# brenvik <= 1.0 x curl-parallel at every size, the time for the largest size
# <= 1.15 x (its file count / the smallest size's) x the time for the
# smallest (4.6 x for 80,000 against 20,000), and brenvik's peak memory
# <= 128 MiB.
#
# --quick       smaller cases (8 x 16 MiB, 500 x 16 KiB, 100 x 64 KiB +
#               2 x 4 MiB, limited with 2 x 6 MiB, resume with 8 x 4 MiB,
#               scale with 2,000 and 8,000 files), one repetition
# --reps N      repetitions per case (default 5, or 1 with --quick); the median
#               of each tool counts; the tools take turns going first (resume
#               runs once)
# --only CASES  a comma-separated subset of large,small,mixed,latency,h2,
#               limited,recheck,resume,scale (recheck needs large, which then
#               runs once, untimed, when not chosen)
# --scale-sizes N,M,...  the file counts of the scale case (default
#               20000,80000; add 200000 for a release of 200,000 files)
# --rate-kib N  the latency and h2 fronts also cap each direction of each
#               connection at N KiB/s (a rate-capped link); resume's front is
#               capped at N (default 1024)
# --strict      exit 3 when a target is missed
# --serve       make the releases, start the server and the latency fronts,
#               print the commands to run against them, and wait for Ctrl-C or
#               SIGTERM (for profiling by hand)
#
# Environment:
#   BRENVIK_BUILD          folder holding brenvik, brenvik-catalogue and
#                          latency_proxy (default: build/ of this checkout;
#                          built when missing, and latency_proxy also when
#                          older than its source)
#   BRENVIK_BENCH_TMP      where the releases and the downloads go (default: $TMPDIR or /tmp)
#   BRENVIK_BENCH_ARGS     more arguments for every brenvik run, e.g. "--connections 16"
#   BRENVIK_BENCH_PROFILE  a command put in front of every brenvik run, e.g.
#                          "strace -c -f -o /tmp/strace.txt" (timings then mean little)
#
# All tools fetch from the same nginx (h2 from its HTTPS port), which serves
# from the page cache, and write into the same filesystem. Nothing is left behind: the temporary
# folder, the server and the latency fronts go away on every exit.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

reps=""
quick=0
strict=0
serve=0
rate_kib=""
scale_sizes=""
only=large,small,mixed,latency,h2,limited,recheck,resume,maxrate
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --reps) [ $# -ge 2 ] || { echo "e2e.sh: --reps needs a number" >&2; exit 2; }
            reps=$2; shift ;;
    --reps=*) reps=${1#--reps=} ;;
    --rate-kib) [ $# -ge 2 ] || { echo "e2e.sh: --rate-kib needs a number" >&2; exit 2; }
                rate_kib=$2; shift ;;
    --rate-kib=*) rate_kib=${1#--rate-kib=} ;;
    --strict) strict=1 ;;
    --serve) serve=1 ;;
    --only) [ $# -ge 2 ] || { echo "e2e.sh: --only needs a list of cases" >&2; exit 2; }
            only=$2; shift ;;
    --only=*) only=${1#--only=} ;;
    --scale-sizes) [ $# -ge 2 ] || { echo "e2e.sh: --scale-sizes needs a list" >&2; exit 2; }
                   scale_sizes=$2; shift ;;
    --scale-sizes=*) scale_sizes=${1#--scale-sizes=} ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "e2e.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$reps" ] || { if [ "$quick" = 1 ]; then reps=1; else reps=5; fi; }
case "$reps" in ''|*[!0-9]*|0) echo "e2e.sh: --reps takes a positive number" >&2; exit 2 ;; esac
case "$rate_kib" in *[!0-9]*|0) echo "e2e.sh: --rate-kib takes a positive number" >&2; exit 2 ;; esac
IFS=, read -r -a cases <<<"$only"
[ ${#cases[@]} -gt 0 ] || { echo "e2e.sh: --only needs at least one case" >&2; exit 2; }
for c in "${cases[@]}"; do
  case "$c" in large|small|mixed|latency|h2|limited|recheck|resume|maxrate|scale) ;; *) echo "e2e.sh: unknown case $c" >&2; exit 2 ;; esac
done
chosen() { [ "$serve" = 1 ] || [[ ",$only," == *",$1,"* ]]; }

if [ "$quick" = 1 ]; then
  large_count=8;  large_mib=16
  small_count=500; small_kib=16
  mixed_count=100; mixed_kib=64; mixed_big_count=2; mixed_big_mib=4
  limited_count=2; limited_mib=6
  resume_mib=4
  scale_sizes=${scale_sizes:-2000,8000}
else
  large_count=8;  large_mib=64
  small_count=2000; small_kib=16
  mixed_count=200; mixed_kib=64; mixed_big_count=2; mixed_big_mib=16
  limited_count=2; limited_mib=24
  resume_mib=8
  scale_sizes=${scale_sizes:-20000,80000}
fi
IFS=, read -r -a scale_counts <<<"$scale_sizes"
for n in "${scale_counts[@]}"; do
  case "$n" in ''|*[!0-9]*|0) echo "e2e.sh: --scale-sizes takes positive numbers" >&2; exit 2 ;; esac
done
scale_bytes=280
# The scale case's releases, one per size, smallest first.
mapfile -t scale_counts < <(printf '%s\n' "${scale_counts[@]}" | sort -n -u)
scale_cases=()
for n in "${scale_counts[@]}"; do scale_cases+=("scale$n"); done
delay_ms=10  # each way: a 20 ms round trip
# resume: 8 files, 6 of them already in the folder; the two missing ones
# come at once, one per connection, each at the front's cap.
resume_count=8; resume_present=6; resume_connections=2
resume_rate_kib=${rate_kib:-1024}
# limited: about 1 MB/s per connection, about 8 MB/s for the whole line.
limited_rate_kib=977 limited_line_kib=7813

log() { printf '%s\n' "$*" >&2; }
die() { log "e2e.sh: $*"; exit 1; }

# ------------------------------------------------------------------ tools
need_packages=()
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || need_packages+=(nginx-light)
command -v wget >/dev/null 2>&1 || need_packages+=(wget)
command -v curl >/dev/null 2>&1 || need_packages+=(curl)
command -v aria2c >/dev/null 2>&1 || need_packages+=(aria2)
[ -x /usr/bin/time ] || need_packages+=(time)
command -v openssl >/dev/null 2>&1 || need_packages+=(openssl)
command -v md5sum >/dev/null 2>&1 || need_packages+=(coreutils)
command -v script >/dev/null 2>&1 || need_packages+=(bsdutils)
if [ ${#need_packages[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # Installing nginx must not start the system's own server on port 80.
  made_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod 755 /usr/sbin/policy-rc.d
    made_policy=1
  fi
  log "installing: ${need_packages[*]}"
  $sudo apt-get update -qq
  if ! $sudo apt-get install -y -qq --no-install-recommends "${need_packages[@]}" >&2; then
    # Some releases carry only the plain nginx package.
    need_packages=("${need_packages[@]/nginx-light/nginx}")
    $sudo apt-get install -y -qq --no-install-recommends "${need_packages[@]}" >&2
  fi
  [ "$made_policy" = 1 ] && $sudo rm -f /usr/sbin/policy-rc.d
fi
nginx_bin=$(command -v nginx 2>/dev/null || echo /usr/sbin/nginx)

build=${BRENVIK_BUILD:-$root/build}
build=$(cd "$(dirname "$build")" && pwd)/$(basename "$build")
targets=()
[ -x "$build/brenvik" ] || targets+=(brenvik)
[ -x "$build/brenvik-catalogue" ] || targets+=(brenvik-catalogue)
if chosen latency || chosen h2 || chosen limited || chosen resume; then
  # A front older than its source may lack an option the cases use.
  if [ ! -x "$build/latency_proxy" ] || [ "$root/bench/latency_proxy.cpp" -nt "$build/latency_proxy" ]; then
    targets+=(latency_proxy)
  fi
fi
if [ ${#targets[@]} -gt 0 ]; then
  log "building ${targets[*]} in $build"
  [ -f "$build/build.ninja" ] || { "$root/scripts/install-deps"; cmake -S "$root" -B "$build" -G Ninja >&2; }
  cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >&2
fi
brenvik=$build/brenvik
catalogue_tool=$build/brenvik-catalogue
proxy_bin=$build/latency_proxy
# Word splitting is wanted: the variable holds a list of arguments.
read -r -a extra_args <<<"${BRENVIK_BENCH_ARGS:-}"

# ------------------------------------------------------------------ scratch space and cleanup
base=${BRENVIK_BENCH_TMP:-${TMPDIR:-/tmp}}
mkdir -p "$base"
work=$(mktemp -d "$base/brenvik-e2e.XXXXXX")
# Brenvik keeps its own settings (the speed limit) in its state folder:
# the runs here keep theirs in the work folder, never in the user's.
export XDG_STATE_HOME=$work/state
nginx_pid=""
front_pids=()  # every latency front started
proxy_pid=""   # the latency case's front
# stop PID SIGNAL: sends SIGNAL, waits up to 5 s, then kills.
stop() {
  [ -n "$1" ] && kill -0 "$1" 2>/dev/null || return 0
  kill "-$2" "$1" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
# shellcheck disable=SC2317  # called through the trap
cleanup() {
  for pid in ${front_pids[@]+"${front_pids[@]}"}; do stop "$pid" TERM; done
  stop "$nginx_pid" QUIT
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# nginx's workers may run as another user: they must be able to read the release.
chmod 755 "$work"

# ------------------------------------------------------------------ the releases
version=PellixInstall_1.1
srv=$work/srv

# make_release NAME COUNT:BYTES...: for each group, COUNT files of BYTES
# random bytes each (group i's files are named fI_NNNN.bin), and the
# release's FileList.txt made by our own catalogue tool, and from it
# NAME.md5, the check list for md5sum.
make_release() {
  local name=$1 dir=$srv/$1/$version group=0 count bytes total=0
  shift
  mkdir -p "$dir"
  for batch in "$@"; do
    count=${batch%%:*} bytes=${batch#*:}
    head -c $((count * bytes)) /dev/urandom |
      (cd "$dir" && split -b "$bytes" -d -a 6 --additional-suffix=.bin - "f${group}_")
    group=$((group + 1)) total=$((total + count))
  done
  [ "$(find "$dir" -type f | wc -l)" -eq "$total" ] || die "release $name: wrong file count"
  "$catalogue_tool" "$dir" --version "$version" --output "$srv/$name/FileList.txt"
  # Data line 0 is the version, 1 the scratch need, then name<TAB|:>md5<TAB|:>size.
  awk -v sums="$srv/$name.md5" '
    /^$/ || /^#/ { next }
    { n++ }
    n <= 2 { next }
    { split($0, f, /[\t:]/); print f[2] "  " f[1] > sums }' "$srv/$name/FileList.txt"
  [ "$(wc -l < "$srv/$name.md5")" -eq "$total" ] || die "release $name: catalogue has the wrong row count"
}

# tool_inputs KEY RELEASE BASE_URL: the other tools' lists for RELEASE as
# served at BASE_URL: KEY.urls (wget), KEY.curl (curl's config), KEY.aria2
# (aria2c's input, with each file's digest).
tool_inputs() {
  local key=$1 release=$2 url=$3$2/$version/
  awk -v base="$url" -v urls="$srv/$key.urls" -v curl="$srv/$key.curl" -v aria="$srv/$key.aria2" '
    {
      print base $2 > urls
      printf "url = \"%s%s\"\noutput = \"%s\"\n", base, $2, $2 > curl
      printf "%s%s\n  out=%s\n  checksum=md5=%s\n", base, $2, $2, $1 > aria
    }' "$srv/$release.md5"
}

release_of() { case "$1" in latency|h2) echo mixed ;; recheck) echo large ;; *) echo "$1" ;; esac; }
resume_bytes=$((resume_mib * 1024 * 1024))

# Room for the releases, one tool's copy at a time and the re-check's folder.
need_kib=0
if chosen large || chosen recheck; then need_kib=$((need_kib + 3 * large_count * large_mib * 1024)); fi
if chosen small; then need_kib=$((need_kib + 2 * small_count * (small_kib + 4))); fi
if chosen mixed || chosen latency || chosen h2; then
  need_kib=$((need_kib + 2 * (mixed_count * (mixed_kib + 4) + mixed_big_count * mixed_big_mib * 1024)))
fi
if chosen limited; then need_kib=$((need_kib + 2 * limited_count * limited_mib * 1024)); fi
if chosen resume; then need_kib=$((need_kib + 2 * resume_count * resume_mib * 1024)); fi
if chosen maxrate; then need_kib=$((need_kib + 2 * 6 * 1024)); fi
if chosen scale; then  # every small file takes a block of its own
  for n in "${scale_counts[@]}"; do need_kib=$((need_kib + 2 * n * 4)); done
fi
free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
[ "$free_kib" -gt $((need_kib + need_kib / 4)) ] ||
  die "$base has $((free_kib / 1024)) MiB free; the benchmark needs about $((need_kib * 5 / 4 / 1024)) MiB"

log "making the releases in $work"
if chosen large || chosen recheck; then
  make_release large "$large_count:$((large_mib * 1024 * 1024))"
fi
if chosen small; then make_release small "$small_count:$((small_kib * 1024))"; fi
if chosen mixed || chosen latency || chosen h2; then
  make_release mixed "$mixed_count:$((mixed_kib * 1024))" \
    "$mixed_big_count:$((mixed_big_mib * 1024 * 1024))"
fi
if chosen limited; then make_release limited "$limited_count:$((limited_mib * 1024 * 1024))"; fi
if chosen resume; then make_release resume "$resume_count:$resume_bytes"; fi
if chosen maxrate; then make_release maxrate "12:$((512 * 1024))"; fi
if chosen scale; then
  for n in "${scale_counts[@]}"; do make_release "scale$n" "$n:$scale_bytes"; done
fi
chmod -R a+rX "$srv"

# h2's certificate, made for this run and trusted by its runs alone; it goes
# with the work folder.
cert=""
if chosen h2; then
  mkdir -p "$work/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" \
    -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >"$work/tls/openssl.log" 2>&1 ||
    { cat "$work/tls/openssl.log" >&2; die "openssl could not make the certificate"; }
  cert=$work/tls/cert.pem
fi

# ------------------------------------------------------------------ the server and the latency front
# Any release answers the start-up probe.
probe=$(cd "$srv" && find . -mindepth 2 -maxdepth 2 -name FileList.txt | head -n 1)
probe=${probe#./}
# start_nginx PORT [TLS_PORT]: nginx serving the releases on PORT, and with
# TLS_PORT over HTTPS with HTTP/2 there too (h2), logging each request's
# connection, its count on that connection and its protocol.
start_nginx() {
  local port=$1 tls_port=${2:-} conf=$work/nginx/nginx.conf user_line="" tls_server=""
  mkdir -p "$work/nginx/tmp"
  [ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
  if [ -n "$tls_port" ]; then
    tls_server="
  log_format h2 '\$connection \$connection_requests \$server_protocol \$status \$request_uri';
  server {
    listen 127.0.0.1:$tls_port ssl http2;
    ssl_certificate $cert;
    ssl_certificate_key $work/tls/key.pem;
    access_log $h2_log h2;
    root $srv;
    location / { }
  }"
  fi
  cat > "$conf" <<EOF
$user_line
daemon off;
master_process on;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 60;
  keepalive_requests 1000000;
  default_type application/octet-stream;
  types { }
  client_body_temp_path $work/nginx/tmp/body;
  proxy_temp_path $work/nginx/tmp/proxy;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  server {
    listen 127.0.0.1:$port;
    root $srv;
    location / { }
  }$tls_server
}
EOF
  "$nginx_bin" -p "$work/nginx" -c "$conf" -e "$work/nginx/error.log" \
    >"$work/nginx/stdout.log" 2>&1 &
  nginx_pid=$!
  for _ in $(seq 50); do
    if ! kill -0 "$nginx_pid" 2>/dev/null; then
      wait "$nginx_pid" 2>/dev/null || true
      nginx_pid=""
      return 1
    fi
    if wget -q -O /dev/null "http://127.0.0.1:$port/$probe" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

h2_log=$work/nginx/h2-access.log
port="" tls_port=""
for _ in $(seq 20); do
  candidate=$((20000 + RANDOM % 40000))
  if start_nginx "$candidate" ${cert:+$((candidate + 1))}; then
    port=$candidate
    [ -z "$cert" ] || tls_port=$((candidate + 1))
    break
  fi
  stop "$nginx_pid" KILL; nginx_pid=""
done
[ -n "$port" ] || { cat "$work/nginx/error.log" >&2 2>/dev/null || true; die "nginx did not start"; }
log "nginx (pid $nginx_pid) serving $srv on 127.0.0.1:$port${tls_port:+, and over HTTPS with HTTP/2 on $tls_port}"
plain_url=http://127.0.0.1:$port/

# start_front NAME SCHEME TO_PORT RATE_KIB [LINE_KIB]: a latency front before
# nginx's TO_PORT, which speaks SCHEME (http or https: the front passes TCP
# through, TLS and all), capped at RATE_KIB KiB/s per connection and
# direction and at LINE_KIB KiB/s for all connections together from the
# server (empty: no cap); sets front_pid and front_url. The front picks its
# own port and prints it.
start_front() {
  local name=$1 scheme=$2 to_port=$3 rate=$4 line=${5:-} front_port trust=()
  [ "$scheme" = http ] || trust=(--ca-certificate="$cert")
  "$proxy_bin" --listen 127.0.0.1:0 --to "127.0.0.1:$to_port" --delay-ms "$delay_ms" \
    ${rate:+--rate-kib "$rate"} ${line:+--line-kib "$line"} >"$work/$name.port" 2>"$work/$name.log" &
  front_pid=$!
  front_pids+=("$front_pid")
  for _ in $(seq 50); do
    [ -s "$work/$name.port" ] && break
    kill -0 "$front_pid" 2>/dev/null || break
    sleep 0.1
  done
  front_port=$(head -n 1 "$work/$name.port")
  [ -n "$front_port" ] || { cat "$work/$name.log" >&2; die "the latency front $name did not start"; }
  front_url=$scheme://127.0.0.1:$front_port/
  wget -q -O /dev/null ${trust[@]+"${trust[@]}"} "$front_url$probe" ||
    die "nothing comes through the latency front $name"
  log "latency front $name (pid $front_pid) on 127.0.0.1:$front_port: ${delay_ms} ms each way${rate:+, $rate KiB/s per connection}${line:+, $line KiB/s for the line}"
}

proxy_url=""
if chosen latency; then
  start_front proxy http "$port" "$rate_kib"
  proxy_pid=$front_pid proxy_url=$front_url
fi
# h2 goes through a front as latency's to nginx's HTTPS port; it must really
# get HTTP/2 there.
h2_url=""
if chosen h2; then
  start_front h2-front https "$tls_port" "$rate_kib"
  h2_url=$front_url
  [ "$(curl -s -o /dev/null --cacert "$cert" --http2 -w '%{http_version}' "$h2_url$probe")" = 2 ] ||
    die "HTTP/2 was not negotiated through the h2 front"
fi
limited_url=""
if chosen limited; then
  start_front limited-front http "$port" "$limited_rate_kib" "$limited_line_kib"
  limited_url=$front_url
fi
# resume has a front of its own: it is always capped, the latency case only
# with --rate-kib.
resume_url=""
if chosen resume; then
  start_front resume-front http "$port" "$resume_rate_kib"
  resume_url=$front_url
fi

# url_of CASE: the base URL CASE's tools fetch from.
url_of() {
  case "$1" in
    latency) echo "$proxy_url" ;;
    h2) echo "$h2_url" ;;
    limited) echo "$limited_url" ;;
    *) echo "$plain_url" ;;
  esac
}

scale_inputs=()
if chosen scale; then scale_inputs=("${scale_cases[@]}"); fi
for c in large small mixed latency h2 limited ${scale_inputs[@]+"${scale_inputs[@]}"}; do
  case_name=$c
  [[ "$c" == scale* ]] && case_name=scale
  if chosen "$case_name"; then tool_inputs "$c" "$(release_of "$c")" "$(url_of "$c")"; fi
done

# Read every file once so that every tool is served from the page cache.
find "$srv" -type f -path "*/$version/*" -exec cat {} + >/dev/null

# ------------------------------------------------------------------ one timed run
now() { date +%s.%N; }
elapsed=""   # seconds of the last run
peak_kib=""  # peak resident set of the last run, KiB

# timed LOG CMD...: runs CMD under /usr/bin/time with its output in LOG;
# fails when CMD fails.
timed() {
  local logfile=$1; shift
  local started status=0
  # Each run starts with the earlier runs' writes on disk, so one tool does
  # not pay for another's (or its own previous run's) writeback.
  sync
  started=$(now)
  /usr/bin/time -f %M -o "$logfile.rss" "$@" >"$logfile" 2>&1 </dev/null || status=$?
  elapsed=$(awk -v a="$started" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
  peak_kib=$(tail -n 1 "$logfile.rss")
  return "$status"
}

# run_ours RELEASE BASE_URL FOLDER: brenvik in a fresh working folder (it
# writes FileList.txt and OrvBrenvik.ini there); over https it trusts the
# run's certificate.
run_ours() {
  local release=$1 url=$2 folder=$3 cwd status=0 trust=()
  [[ "$url" != https:* ]] || trust=(env "SSL_CERT_FILE=$cert")
  cwd=$(mktemp -d "$work/cwd.XXXXXX")
  pushd "$cwd" >/dev/null
  # shellcheck disable=SC2086  # the profiler is a command line
  timed "$work/brenvik.log" ${BRENVIK_BENCH_PROFILE:-} ${trust[@]+"${trust[@]}"} "$brenvik" \
    --text --yes --no-install --server "$url$release/" --folder "$folder" \
    ${extra_args[@]+"${extra_args[@]}"} || status=$?
  popd >/dev/null
  rm -rf "$cwd"
  return "$status"
}

# The options every aria2c run takes: md5 checked as it goes, nothing kept
# from before.
aria2_options=(--no-conf -q --check-integrity=true --allow-overwrite=true
               --auto-file-renaming=false --file-allocation=none)

# run_tool TOOL CASE FOLDER: one timed download of CASE's release into FOLDER;
# over https every tool trusts the run's certificate.
# shellcheck disable=SC2016  # the inner shells expand their own arguments
run_tool() {
  local tool=$1 name=$2 folder=$3 release url curl_trust=() trust=()
  release=$(release_of "$name")
  url=$(url_of "$name")
  [[ "$url" != https:* ]] || { curl_trust=(--cacert "$cert"); trust=(--ca-certificate="$cert"); }
  case "$tool" in
    brenvik) run_ours "$release" "$url" "$folder" ;;
    curl-parallel|curl-multiplex)
      local parallel=(--parallel)
      [ "$tool" = curl-multiplex ] || parallel+=(--parallel-max 4)
      timed "$work/$tool.log" bash -c \
        'curl "${@:4}" -s -S --fail --create-dirs --output-dir "$2" -K "$1" &&
         cd "$2" && md5sum -c --quiet "$3"' _ "$srv/$name.curl" "$folder" "$srv/$release.md5" \
        "${parallel[@]}" ${curl_trust[@]+"${curl_trust[@]}"} ;;
    wget)
      timed "$work/$tool.log" bash -c \
        'wget "${@:4}" -q -i "$1" -P "$2" && cd "$2" && md5sum -c --quiet "$3"' _ \
        "$srv/$name.urls" "$folder" "$srv/$release.md5" ${trust[@]+"${trust[@]}"} ;;
    aria2c)
      timed "$work/$tool.log" aria2c "${aria2_options[@]}" -j4 -x1 ${trust[@]+"${trust[@]}"} \
        -d "$folder" -i "$srv/$name.aria2" ;;
    aria2c-split)
      timed "$work/$tool.log" aria2c "${aria2_options[@]}" -j4 -x4 -s4 -k1M \
        ${trust[@]+"${trust[@]}"} -d "$folder" -i "$srv/$name.aria2" ;;
  esac
}

# The folder must really hold the release: a fast run that fetched nothing is no win.
check_folder() {  # check_folder TOOL RELEASE FOLDER
  (cd "$3" && md5sum -c --quiet "$srv/$2.md5") >/dev/null 2>&1 ||
    die "$1 exited 0 but its folder does not match the catalogue of $2"
  local extra
  extra=$(find "$3" -type f ! -name '*.bin' | head -n 3)
  [ -z "$extra" ] || die "$1 left in its folder: $extra"
}

failed() {  # failed TOOL CASE
  log "$1 failed on case $2; the end of its output:"
  tail -n 30 "$work/$1.log" >&2
  exit 1
}

# aria2c's time counts only if it really checks: with the options of the
# timed runs (one connection per file, or split), one file must pass against
# its own digest and fail (exit status 32, a checksum mismatch) against
# another.
aria2_checks() {
  local release=$1 sum first status split
  read -r sum first < "$srv/$release.md5"
  for split in "-x1" "-x4 -s4 -k1M"; do
    for digest in "$sum" 0123456789abcdef0123456789abcdef; do
      printf '%s%s/%s/%s\n  out=%s\n  checksum=md5=%s\n' "$plain_url" "$release" "$version" \
        "$first" "$first" "$digest" >"$work/one.aria2"
      status=0
      # shellcheck disable=SC2086  # split is a list of options
      aria2c "${aria2_options[@]}" -j4 $split -d "$work/one" -i "$work/one.aria2" \
        >/dev/null 2>&1 || status=$?
      rm -rf "$work/one" "$work/one.aria2"
      if [ "$digest" = "$sum" ] && [ "$status" -ne 0 ]; then
        die "aria2c $split failed on a file with its right md5 (exit status $status)"
      elif [ "$digest" != "$sum" ] && [ "$status" -ne 32 ]; then
        die "aria2c $split did not reject a file with a wrong md5 (exit status $status): its times would not include a check"
      fi
    done
  done
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A times peaks
record() {  # record CASE TOOL: the last run's time and peak memory
  times[$1/$2]+="$elapsed "
  [ "${peaks[$1/$2]:-0}" -ge "$peak_kib" ] || peaks[$1/$2]=$peak_kib
  printf '  %-11s rep %-2s %-14s %8.3f s   peak %7d KiB\n' "$1" "$rep" "$2" "$elapsed" "$peak_kib" >&2
}

tools=(brenvik curl-parallel wget aria2c)
# The scale case races curl-parallel alone: the others take minutes on
# tens of thousands of files and add nothing to how brenvik grows. h2 races
# curl, which multiplexes; limited the tools that can split a file over
# connections or not.
tools_of() {
  case "$1" in
    scale*) echo brenvik curl-parallel ;;
    h2) echo brenvik curl-multiplex curl-parallel ;;
    limited) echo brenvik aria2c aria2c-split curl-parallel ;;
    *) echo "${tools[@]}" ;;
  esac
}
proxy_cpu_s=0
proxy_wall_s=0
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# What nginx's h2 log shows of each tool's last run.
declare -A h2_seen
h2_log_lines() { if [ -f "$h2_log" ]; then wc -l <"$h2_log"; else echo 0; fi; }
# h2_usage TOOL SKIP: the requests after the log's first SKIP lines, their
# protocols, the connections they came on and the most one connection carried.
h2_usage() {
  h2_seen[$1]=$(tail -n "+$(($2 + 1))" "$h2_log" | awk '
    { n++; protocol[$3]++; if (!($1 in seen)) { seen[$1]; connections++ } }
    $2 > most { most = $2 }
    END {
      for (p in protocol) list = list (list == "" ? "" : ", ") p " x " protocol[p]
      printf "%d requests (%s) on %d connection(s), at most %d on one", n, list, connections, most
    }')
}

# download_case CASE: every tool in every repetition, a fresh folder each
# run; the order turns by one tool per repetition.
download_case() {
  local name=$1 release folder last ticks skip
  release=$(release_of "$name")
  [ "$name" = latency ] && ticks=$(cpu_ticks "$proxy_pid")
  local case_tools
  read -r -a case_tools <<<"$(tools_of "$name")"
  for rep in $(seq "$reps"); do
    local first=$(((rep - 1) % ${#case_tools[@]}))
    for tool in "${case_tools[@]:first}" "${case_tools[@]:0:first}"; do
      folder=$work/dl-$tool
      rm -rf "$folder"; mkdir -p "$folder"
      skip=$(h2_log_lines)
      run_tool "$tool" "$name" "$folder" || failed "$tool" "$name"
      record "$name" "$tool"
      if [ "$name" = h2 ]; then h2_usage "$tool" "$skip"; fi
      [ "$name" = latency ] && proxy_wall_s=$(awk -v a="$proxy_wall_s" -v b="$elapsed" 'BEGIN { print a + b }')
      case "$tool" in brenvik|aria2c*) check_folder "$tool" "$release" "$folder" ;; esac
      last=$([ "$rep" -eq "$reps" ] && echo 1 || echo 0)
      if [ "$name" = large ] && [ "$tool" = brenvik ] && [ "$last" = 1 ]; then
        mv "$folder" "$work/complete-large"
      else
        rm -rf "$folder"
      fi
    done
  done
  if [ "$name" = latency ]; then
    proxy_cpu_s=$(awk -v a="$ticks" -v b="$(cpu_ticks "$proxy_pid")" -v hz="$(getconf CLK_TCK)" \
      'BEGIN { printf "%.2f", (b - a) / hz }')
  fi
}

# What a re-check must leave alone: every file's name, inode and change time
# (which, unlike the modification time, no download can set back).
folder_state() { find "$1" -type f -printf '%P %i %C@\n' | sort; }

recheck_case() {  # both brenvik and md5sum check the complete large folder
  local folder=$work/complete-large before
  before=$(folder_state "$folder")
  for rep in $(seq "$reps"); do
    local order="brenvik md5sum"
    [ $((rep % 2)) -eq 0 ] && order="md5sum brenvik"
    for tool in $order; do
      if [ "$tool" = brenvik ]; then
        run_ours large "$plain_url" "$folder" || failed brenvik recheck
        record recheck brenvik
        # A re-check fetches nothing: every file is the one that was there.
        [ "$(folder_state "$folder")" = "$before" ] ||
          die "re-check: brenvik rewrote files of a complete folder"
      else
        # shellcheck disable=SC2016  # the inner shell expands its own arguments
        timed "$work/md5sum.log" bash -c 'cd "$1" && md5sum -c --quiet "$2"' _ \
          "$folder" "$srv/large.md5" || failed md5sum recheck
        record recheck md5sum
      fi
    done
  done
}

# ------------------------------------------------------------------ resume: what the statistics line says
resume_rows=50 resume_columns=160  # the pseudo-terminal's size

# resume_case: the folder as a stopped run would have left it (the first
# resume_present files of the catalogue), then one brenvik run through the
# capped front in a pseudo-terminal. script logs what the terminal received
# (resume.typescript) and when (resume.timing); resume_lines reads the
# statistics lines from them into resume.lines.
resume_case() {
  local folder=$work/dl-resume cwd command started status=0 rep=1
  rm -rf "$folder"; mkdir -p "$folder"
  head -n "$resume_present" "$srv/resume.md5" | while read -r _ name; do
    cp "$srv/resume/$version/$name" "$folder/"
  done
  cwd=$(mktemp -d "$work/cwd.XXXXXX")
  # One command line for script's shell, every word quoted for it except the
  # profiler, which is a command line of its own.
  command=$(printf '%q ' env TERM=xterm LINES=$resume_rows COLUMNS=$resume_columns \
    /usr/bin/time -f %M -o "$work/resume.rss")
  command+="${BRENVIK_BENCH_PROFILE:-} "
  command+=$(printf '%q ' "$brenvik" --text --yes --no-install --server "${resume_url}resume/" \
    --folder "$folder" ${extra_args[@]+"${extra_args[@]}"})
  sync
  started=$(now)
  (cd "$cwd" && script -q -e -T "$work/resume.timing" -O "$work/resume.typescript" \
    -c "stty rows $resume_rows cols $resume_columns 2>/dev/null; exec $command") \
    </dev/null >/dev/null 2>&1 || status=$?
  elapsed=$(awk -v a="$started" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
  peak_kib=$(tail -n 1 "$work/resume.rss" 2>/dev/null || echo 0)
  rm -rf "$cwd"
  # What the screen showed, for a reader: every terminal command a line break.
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]/\n/g; s/\x1b[78]/\n/g; s/\r//g' "$work/resume.typescript" |
    sed '/^$/d' >"$work/brenvik.log"
  [ "$status" -eq 0 ] || failed brenvik resume
  [[ "$peak_kib" =~ ^[0-9]+$ ]] || peak_kib=0
  record resume brenvik
  check_folder brenvik resume "$folder"
  rm -rf "$folder"
  resume_lines >"$work/resume.lines"
}

# resume_lines: every statistics line the terminal received, as
# "SECONDS<TAB>LINE", SECONDS from the start of the run to the arrival of the
# chunk that completed the line. The lines are found in what the terminal
# received, where terminal commands delimit them.
resume_lines() {
  LC_ALL=C awk -v timing="$work/resume.timing" '
    BEGIN { RS = "\001" }
    { data = data (NR > 1 ? RS : "") $0 }
    END {
      # The log opens with a line of its own; the timing counts what follows.
      data = substr(data, index(data, "\n") + 1)
      RS = "\n"
      while ((getline row < timing) > 0) {
        split(row, f, " ")
        at += f[1]; upto += f[2]
        n++; when[n] = at; end[n] = upto
      }
      data = substr(data, 1, upto)
      # Save and restore cursor (ESC 7, ESC 8) end in a digit: made letters
      # of the same length, they cannot join the number that follows.
      gsub("\033" "7", "\033s", data)
      gsub("\033" "8", "\033u", data)
      pattern = "[0-9]+ kB of [0-9]+ kB done, [0-9]+ kB/s, EDT: [0-9:]*"
      k = 1
      while (match(data, pattern)) {
        last = offset + RSTART + RLENGTH - 1
        while (k < n && end[k] < last) k++
        printf "%.3f\t%s\n", when[k], substr(data, RSTART, RLENGTH)
        offset = last
        data = substr(data, RSTART + RLENGTH)
      }
    }' "$work/resume.typescript"
}

# resume_report: the verdicts on resume.lines (see the header) and a sample
# of the lines; sets missed (so not in a subshell).
resume_report() {
  local link_kib=$((resume_connections * resume_rate_kib))
  local present_kib=$((resume_present * resume_bytes / 1024))
  local lines largest judged late start ratio verdict
  read -r lines largest judged late start < <(awk -F '\t' -v present="$present_kib" '
    {
      split($2, w, " ")  # D kB of T kB done, R kB/s, EDT: E
      t[NR] = $1; done[NR] = w[1]; total[NR] = w[4]; edt[NR] = w[10]
      if (w[7] + 0 > largest) largest = w[7] + 0
      # Downloading shows once done passes what the folder held.
      if (start == "" && w[1] + 0 > present) start = $1
    }
    END {
      if (start == "") start = NR ? t[1] : 0
      for (i = 1; i <= NR; i++) {
        if (t[i] < start + 2 || total[i] - done[i] <= 1024) continue
        judged++
        if (edt[i] == "" || edt[i] == "00:00:00") late++
      }
      printf "%d %d %d %d %.2f\n", NR, largest, judged, late, start
    }' "$work/resume.lines")

  echo "$(describe resume): $lines statistics lines in $(median_of resume/brenvik) s"
  ratio=$(awk -v r="$largest" -v l="$link_kib" 'BEGIN { printf "%.2f", r / l }')
  verdict=ok
  if [ "$largest" -eq 0 ]; then
    verdict="MISSED (no rate shown)"
  elif awk -v r="$ratio" 'BEGIN { exit !(r > 2.0) }'; then
    verdict=MISSED
  fi
  [ "$verdict" = ok ] || missed=1
  echo "  largest rate shown $largest kB/s, the link's $link_kib kB/s ($resume_connections x $resume_rate_kib): ratio $ratio (target <= 2.0) $verdict"
  verdict=ok
  if [ "$judged" -eq 0 ]; then
    verdict="MISSED (no line to judge: too little to download at this rate)"
  elif [ "$late" -gt 0 ]; then
    verdict=MISSED
  fi
  [ "$verdict" = ok ] || missed=1
  echo "  estimate empty or 00:00:00 with more than 1 MiB left, from 2 s after downloading showed (at $start s): $late of $judged lines (target 0) $verdict"
  [ "$lines" -gt 0 ] || return 0
  echo "  sample (seconds since the run started, line):"
  awk -F '\t' -v n="$lines" '
    BEGIN { pick[1]; pick[int(n / 4)]; pick[int(n / 2)]; pick[int(3 * n / 4)]; pick[n] }
    NR in pick { printf "  %7.2f  %s\n", $1, $2 }' "$work/resume.lines"
}

# maxrate_case: brenvik with and without --max-rate 1M, the order turning
# each repetition; the times, peaks and CPU seconds go to maxrate_* lists.
maxrate_runs=() maxrate_peaks=() maxrate_cpu=() free_runs=() free_peaks=() free_cpu=()
maxrate_case() {
  local folder=$work/dl-maxrate limited
  for rep in $(seq "$reps"); do
    for limited in $([ $((rep % 2)) -eq 1 ] && echo "yes no" || echo "no yes"); do
      rm -rf "$folder"; mkdir -p "$folder"
      local saved=(${extra_args[@]+"${extra_args[@]}"})
      # The limit is given either way: a given one is kept for later runs.
      extra_args+=(--max-rate "$([ "$limited" = yes ] && echo 1M || echo 0)")
      BRENVIK_BENCH_PROFILE="/usr/bin/time -f %U+%S -o $work/maxrate.cpu" \
        run_ours maxrate "$plain_url" "$folder" || failed brenvik maxrate
      extra_args=(${saved[@]+"${saved[@]}"})
      check_folder brenvik maxrate "$folder"
      local cpu
      cpu=$(tail -n 1 "$work/maxrate.cpu" | awk -F+ '{ printf "%.2f", $1 + $2 }')
      if [ "$limited" = yes ]; then
        maxrate_runs+=("$elapsed"); maxrate_peaks+=("$peak_kib"); maxrate_cpu+=("$cpu")
      else
        free_runs+=("$elapsed"); free_peaks+=("$peak_kib"); free_cpu+=("$cpu")
      fi
      printf '  %-11s rep %-2s %-14s %8.3f s   peak %7d KiB   cpu %s s\n' maxrate "$rep" \
        "$([ "$limited" = yes ] && echo "--max-rate 1M" || echo "no limit")" "$elapsed" \
        "$peak_kib" "$cpu" >&2
    done
  done
  rm -rf "$folder"
}

median_list() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

maxrate_report() {
  local time verdict=ok
  time=$(median_list "${maxrate_runs[@]}")
  awk -v t="$time" 'BEGIN { exit !(t < 5.5 || t > 7.5) }' && { verdict=MISSED; missed=1; }
  echo "maxrate: 6 MiB with --max-rate 1M took $time s (target 5.5 to 7.5 s) $verdict"
  echo "  limited: peak $(median_list "${maxrate_peaks[@]}") KiB, CPU $(median_list "${maxrate_cpu[@]}") s;" \
    "no limit: $(median_list "${free_runs[@]}") s, peak $(median_list "${free_peaks[@]}") KiB," \
    "CPU $(median_list "${free_cpu[@]}") s (medians)"
}

# scale_report: each size's ratio against curl-parallel, the growth from the
# smallest size to the largest against the growth of the file count, and
# brenvik's peak memory; sets missed (so not in a subshell).
scale_report() {
  local c small large growth target verdict peak=0
  for c in "${scale_cases[@]}"; do
    line="$(describe "$c"): "
    ratio "$c" curl-parallel 1.0
    echo "$line"
    [ "${peaks[$c/brenvik]}" -gt "$peak" ] && peak=${peaks[$c/brenvik]}
  done
  if [ ${#scale_cases[@]} -ge 2 ]; then
    small=${scale_counts[0]} large=${scale_counts[-1]}
    growth=$(awk -v a="$(median_of "scale$small/brenvik")" -v b="$(median_of "scale$large/brenvik")" \
      'BEGIN { printf "%.2f", b / a }')
    target=$(awk -v a="$small" -v b="$large" 'BEGIN { printf "%.2f", 1.15 * b / a }')
    verdict=ok
    awk -v g="$growth" -v t="$target" 'BEGIN { exit !(g > t) }' && { verdict=MISSED; missed=1; }
    echo "scale: brenvik's time for $large files / for $small files: $growth (target <= $target) $verdict"
  fi
  verdict=ok
  [ "$peak" -gt $((128 * 1024)) ] && { verdict=MISSED; missed=1; }
  echo "scale: brenvik's peak memory $(awk -v k="$peak" 'BEGIN { printf "%.1f", k / 1024 }') MiB (target <= 128) $verdict"
}

if [ "$serve" = 1 ]; then
  cat <<EOF

Serving until Ctrl-C (or SIGTERM). Base URLs for --server:
  ${plain_url}large/   ($large_count x $large_mib MiB)
  ${plain_url}small/   ($small_count x $small_kib KiB)
  ${plain_url}mixed/   ($mixed_count x $mixed_kib KiB + $mixed_big_count x $mixed_big_mib MiB)
  ${proxy_url}mixed/   (the same through the latency front: ${delay_ms} ms each way${rate_kib:+, $rate_kib KiB/s per connection})
  ${h2_url}mixed/   (the same over HTTPS with HTTP/2 through a latency front as that one; its certificate: $cert)
  ${limited_url}limited/   ($limited_count x $limited_mib MiB through a latency front: ${delay_ms} ms each way, $limited_rate_kib KiB/s per connection, $limited_line_kib KiB/s for the line)
  ${resume_url}resume/   ($resume_count x $resume_mib MiB through a latency front: ${delay_ms} ms each way, $resume_rate_kib KiB/s per connection)
For example, from an empty working folder:
  $brenvik --text --yes --no-install --server ${proxy_url}mixed/ --folder \$PWD/dl
  SSL_CERT_FILE=$cert $brenvik --text --yes --no-install --server ${h2_url}mixed/ --folder \$PWD/dl
The other tools, through the latency front:
  curl --parallel --parallel-max 4 -s -S --fail --create-dirs --output-dir dl -K $srv/latency.curl && (cd dl && md5sum -c --quiet $srv/mixed.md5)
  wget -q -i $srv/latency.urls -P dl && (cd dl && md5sum -c --quiet $srv/mixed.md5)
  aria2c ${aria2_options[*]} -j4 -x1 -d dl -i $srv/latency.aria2
over HTTPS with HTTP/2:
  curl --parallel --cacert $cert -s -S --fail --create-dirs --output-dir dl -K $srv/h2.curl && (cd dl && md5sum -c --quiet $srv/mixed.md5)
  wget --ca-certificate=$cert -q -i $srv/h2.urls -P dl && (cd dl && md5sum -c --quiet $srv/mixed.md5)
  aria2c ${aria2_options[*]} --ca-certificate=$cert -j4 -x1 -d dl -i $srv/h2.aria2
and through the limited line:
  aria2c ${aria2_options[*]} -j4 -x4 -s4 -k1M -d dl -i $srv/limited.aria2
(the files named small.*, mixed.* and large.* beside those are for the plain server)
EOF
  while kill -0 "$nginx_pid" 2>/dev/null && kill -0 "$proxy_pid" 2>/dev/null &&
    kill -0 "${front_pids[-1]}" 2>/dev/null; do sleep 1; done
  die "nginx or a latency front stopped"
fi

log "brenvik: $brenvik ${extra_args[*]+${extra_args[*]}}"
# The races: every case but resume, which is one brenvik run.
races=()
for c in large small mixed latency h2 limited recheck; do if chosen "$c"; then races+=("$c"); fi; done
if chosen scale; then races+=("${scale_cases[@]}"); fi
if [ ${#races[@]} -gt 0 ]; then
  log "$(curl --version | head -n 1 | cut -d' ' -f1-2); $(wget --version | head -n 1 | cut -d' ' -f1-3); $(aria2c --version | head -n 1)"
  aria2_checks "$(release_of "${races[0]}")"
  log "$reps repetition(s) per case; the tools take turns going first"
fi
if chosen large; then
  download_case large
elif chosen recheck; then
  # The re-check needs a complete folder; one untimed run makes it.
  mkdir -p "$work/complete-large"
  run_ours large "$plain_url" "$work/complete-large" || failed brenvik large
  check_folder brenvik large "$work/complete-large"
fi
for c in small mixed latency h2 limited; do
  if chosen "$c"; then download_case "$c"; fi
done
if chosen scale; then
  for c in "${scale_cases[@]}"; do download_case "$c"; done
fi
if chosen recheck; then recheck_case; fi
if chosen resume; then resume_case; fi
if chosen maxrate; then maxrate_case; fi

# ------------------------------------------------------------------ report
missed=0
median_of() { tr ' ' '\n' <<<"${times[$1]}" | sed '/^$/d' | median; }
line=""
# ratio CASE OTHER [TARGET]: adds "brenvik/OTHER R" to line, with a verdict
# when there is a target (not in a subshell: it sets missed).
ratio() {
  local r verdict=ok
  r=$(awk -v o="$(median_of "$1/brenvik")" -v t="$(median_of "$1/$2")" 'BEGIN { printf "%.2f", o / t }')
  line+="brenvik/$2 $r"
  [ -n "${3:-}" ] || return 0
  awk -v r="$r" -v g="$3" 'BEGIN { exit !(r > g) }' && { verdict=MISSED; missed=1; }
  line+=" (target <= $3) $verdict"
}

describe() {
  case "$1" in
    large) echo "large files ($large_count x $large_mib MiB)" ;;
    small) echo "small files ($small_count x $small_kib KiB)" ;;
    mixed) echo "mixed ($mixed_count x $mixed_kib KiB + $mixed_big_count x $mixed_big_mib MiB)" ;;
    latency) echo "mixed through a $((2 * delay_ms)) ms round trip${rate_kib:+ and $rate_kib KiB/s per connection}" ;;
    h2) echo "mixed over HTTPS with HTTP/2 through a $((2 * delay_ms)) ms round trip${rate_kib:+ and $rate_kib KiB/s per connection}" ;;
    limited) echo "limited ($limited_count x $limited_mib MiB through a $((2 * delay_ms)) ms round trip, $limited_rate_kib KiB/s per connection, $limited_line_kib KiB/s for the line)" ;;
    recheck) echo "re-check of the large files" ;;
    resume) echo "resume ($resume_present of $resume_count x $resume_mib MiB in the folder, $resume_rate_kib KiB/s per connection)" ;;
    scale*) echo "scale (${1#scale} x $scale_bytes bytes)" ;;
  esac
}

echo
[ ${#races[@]} -eq 0 ] ||
  printf '%-11s %-14s %9s %9s  %s\n' case tool "median s" "peak MiB" "seconds per repetition"
for c in "${races[@]}"; do
  read -r -a names <<<"$(tools_of "$c")"
  [ "$c" = recheck ] && names=(brenvik md5sum)
  for t in "${names[@]}"; do
    printf '%-11s %-14s %9.2f %9.1f  %s\n' "$c" "$t" "$(median_of "$c/$t")" \
      "$(awk -v k="${peaks[$c/$t]}" 'BEGIN { print k / 1024 }')" "${times[$c/$t]}"
  done
done
echo
for c in large small mixed latency; do
  chosen "$c" || continue
  wget_target=""
  [ "$c" = latency ] && wget_target=0.35
  case "$c" in large) curl_target=0.55 ;; mixed) curl_target=0.6 ;; *) curl_target=0.9 ;; esac
  line="$(describe "$c"): "
  ratio "$c" curl-parallel "$curl_target"; line+=", "
  ratio "$c" wget $wget_target; line+=", "
  ratio "$c" aria2c
  echo "$line"
done
if chosen h2; then
  line="$(describe h2): "
  ratio h2 curl-multiplex 1.0; line+=", "
  ratio h2 curl-parallel
  echo "$line"
  for t in brenvik curl-multiplex curl-parallel; do
    printf '  %-14s nginx saw in the last run: %s\n' "$t" "${h2_seen[$t]}"
  done
fi
if chosen limited; then
  line="$(describe limited): "
  ratio limited aria2c 0.35; line+=", "
  ratio limited aria2c-split; line+=", "
  ratio limited curl-parallel
  echo "$line"
  limit_s=$(awk -v b=$((limited_count * limited_mib * 1024 * 1024)) -v r="$limited_line_kib" \
    'BEGIN { printf "%.2f", b / (r * 1024) }')
  echo "  the line's limit: $((limited_count * limited_mib)) MiB at $limited_line_kib KiB/s takes $limit_s s;$(
    for t in brenvik aria2c aria2c-split curl-parallel; do
      awk -v t="$t" -v s="$(median_of "limited/$t")" -v l="$limit_s" \
        'BEGIN { printf " %s %.2f x,", t, s / l }'
    done | sed 's/,$//') of it"
fi
if chosen recheck; then
  line="$(describe recheck): "
  ratio recheck md5sum 1.1
  echo "$line"
fi
if chosen latency; then
  echo "latency front: $proxy_cpu_s s of CPU over $proxy_wall_s s of timed runs"
fi
if chosen resume; then resume_report; fi
if chosen maxrate; then maxrate_report; fi
if chosen scale; then scale_report; fi
ours_peak_kib=0
for key in "${!peaks[@]}"; do
  [[ "$key" == scale* ]] && continue  # judged by scale_report
  [[ "$key" == */brenvik ]] && [ "${peaks[$key]}" -gt "$ours_peak_kib" ] && ours_peak_kib=${peaks[$key]}
done
peak_mib=$(awk -v k="$ours_peak_kib" 'BEGIN { printf "%.1f", k / 1024 }')
verdict=ok
awk -v m="$peak_mib" 'BEGIN { exit !(m >= 64) }' && { verdict=MISSED; missed=1; }
if [ "$ours_peak_kib" -gt 0 ]; then
  echo "brenvik's peak memory: $peak_mib MiB (target < 64) $verdict${extra_args[*]+ with ${extra_args[*]}}"
fi

if [ "$strict" = 1 ] && [ "$missed" = 1 ]; then exit 3; fi
exit 0
