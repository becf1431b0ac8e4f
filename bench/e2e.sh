#!/usr/bin/env bash
# End-to-end benchmark: brenvik against wget + md5sum on the same release,
# served by nginx on 127.0.0.1, measured in the same run.
#
#   bench/e2e.sh [--quick] [--reps N] [--only CASES] [--strict]
#   bench/e2e.sh --serve [--quick]
#
# Cases (ratio = ours / theirs, smaller is better):
#   large     8 files of 64 MiB: brenvik --text --yes  vs  wget -i + md5sum -c
#   small     2000 files of 16 KiB: the same pair
#   recheck   the complete large folder again: brenvik  vs  md5sum -c
# and the peak resident memory of every brenvik run.
#
# Targets: large <= 0.9 (downloading and checking overlap), small <= 1.2,
# recheck <= 1.1, peak memory < 64 MiB.
#
# --quick     smaller cases (8 x 16 MiB, 500 x 16 KiB), one repetition
# --reps N    repetitions per case (default 5, or 1 with --quick); the median
#             of each side counts
# --only CASES  a comma-separated subset of large,small,recheck (recheck
#             needs large, which then runs once, untimed, when not chosen)
# --strict    exit 3 when a target is missed
# --serve     make the releases, start the server, print the commands to
#             run against it, and wait for Ctrl-C or SIGTERM (for profiling
#             by hand)
#
# Environment:
#   BRENVIK_BUILD          folder holding brenvik and brenvik-catalogue
#                          (default: build/ of this checkout; built when missing)
#   BRENVIK_BENCH_TMP      where the release and the downloads go (default: $TMPDIR or /tmp)
#   BRENVIK_BENCH_PROFILE  a command put in front of every brenvik run, e.g.
#                          "strace -c -f -o /tmp/strace.txt" (timings then mean little)
#
# Both sides fetch from the same nginx, which serves from the page cache, and
# write into the same filesystem; each run gets a fresh, empty folder. Nothing
# is left behind: the temporary folder and the server go away on every exit.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

reps=""
quick=0
strict=0
serve=0
only=large,small,recheck
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --reps) [ $# -ge 2 ] || { echo "e2e.sh: --reps needs a number" >&2; exit 2; }
            reps=$2; shift ;;
    --reps=*) reps=${1#--reps=} ;;
    --strict) strict=1 ;;
    --serve) serve=1 ;;
    --only) [ $# -ge 2 ] || { echo "e2e.sh: --only needs a list of cases" >&2; exit 2; }
            only=$2; shift ;;
    --only=*) only=${1#--only=} ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "e2e.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$reps" ] || { if [ "$quick" = 1 ]; then reps=1; else reps=5; fi; }
case "$reps" in *[!0-9]*|0) echo "e2e.sh: --reps takes a positive number" >&2; exit 2 ;; esac
IFS=, read -r -a cases <<<"$only"
[ ${#cases[@]} -gt 0 ] || { echo "e2e.sh: --only needs at least one case" >&2; exit 2; }
for c in "${cases[@]}"; do
  case "$c" in large|small|recheck) ;; *) echo "e2e.sh: unknown case $c" >&2; exit 2 ;; esac
done
chosen() { [[ ",$only," == *",$1,"* ]]; }

if [ "$quick" = 1 ]; then
  large_count=8;  large_mib=16
  small_count=500; small_kib=16
else
  large_count=8;  large_mib=64
  small_count=2000; small_kib=16
fi

log() { printf '%s\n' "$*" >&2; }
die() { log "e2e.sh: $*"; exit 1; }

# ------------------------------------------------------------------ tools
need_packages=()
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || need_packages+=(nginx-light)
command -v wget >/dev/null 2>&1 || need_packages+=(wget)
[ -x /usr/bin/time ] || need_packages+=(time)
command -v md5sum >/dev/null 2>&1 || need_packages+=(coreutils)
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
if [ ! -x "$build/brenvik" ] || [ ! -x "$build/brenvik-catalogue" ]; then
  log "building brenvik in $build"
  "$root/scripts/install-deps"
  cmake -S "$root" -B "$build" -G Ninja >&2
  cmake --build "$build" -j "$(nproc)" --target brenvik brenvik-catalogue >&2
fi
brenvik=$build/brenvik
catalogue_tool=$build/brenvik-catalogue

# ------------------------------------------------------------------ scratch space and cleanup
base=${BRENVIK_BENCH_TMP:-${TMPDIR:-/tmp}}
mkdir -p "$base"
work=$(mktemp -d "$base/brenvik-e2e.XXXXXX")
nginx_pid=""
# shellcheck disable=SC2317  # called through the trap
cleanup() {
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
# nginx's workers may run as another user: they must be able to read the release.
chmod 755 "$work"

# ------------------------------------------------------------------ the releases
version=PellixInstall_1.1
srv=$work/srv

# make_release NAME COUNT BYTES: COUNT files of BYTES random bytes each, and
# its FileList.txt made by our own catalogue tool.
make_release() {
  local name=$1 count=$2 bytes=$3
  local dir=$srv/$name/$version
  mkdir -p "$dir"
  head -c $((count * bytes)) /dev/urandom |
    (cd "$dir" && split -b "$bytes" -d -a 4 --additional-suffix=.bin - file)
  [ "$(find "$dir" -type f | wc -l)" -eq "$count" ] || die "release $name: wrong file count"
  "$catalogue_tool" "$dir" --version "$version" --output "$srv/$name/FileList.txt"
  # The same list for the other side: wget's URL list and md5sum's check list.
  # Data line 0 is the version, 1 the scratch need, then name<TAB|:>md5<TAB|:>size.
  awk -v base="http://127.0.0.1:PORT/$name/$version/" -v urls="$srv/$name.urls" \
      -v sums="$srv/$name.md5" '
    /^$/ || /^#/ { next }
    { n++ }
    n <= 2 { next }
    {
      split($0, f, /[\t:]/)
      print base f[1] > urls
      print f[2] "  " f[1] > sums
    }' "$srv/$name/FileList.txt"
  [ "$(wc -l < "$srv/$name.md5")" -eq "$count" ] || die "release $name: catalogue has the wrong row count"
}

# Room for the releases and the two sides' copies of them, with some to spare.
need_kib=0
if [ "$serve" = 1 ] || chosen large || chosen recheck; then need_kib=$((need_kib + 3 * large_count * large_mib * 1024)); fi
if [ "$serve" = 1 ] || chosen small; then need_kib=$((need_kib + 3 * small_count * (small_kib + 4))); fi
free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
[ "$free_kib" -gt $((need_kib + need_kib / 4)) ] ||
  die "$base has $((free_kib / 1024)) MiB free; the benchmark needs about $((need_kib * 5 / 4 / 1024)) MiB"

log "making the releases in $work"
if [ "$serve" = 1 ] || chosen large || chosen recheck; then
  make_release large "$large_count" $((large_mib * 1024 * 1024))
fi
if [ "$serve" = 1 ] || chosen small; then
  make_release small "$small_count" $((small_kib * 1024))
fi
chmod -R a+rX "$srv"

# ------------------------------------------------------------------ the server
# Any release answers the start-up probe.
probe=large
[ -d "$srv/large" ] || probe=small
start_nginx() {
  local port=$1 conf=$work/nginx/nginx.conf user_line=""
  mkdir -p "$work/nginx/tmp"
  [ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
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
  }
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
    if wget -q -O /dev/null "http://127.0.0.1:$port/$probe/FileList.txt" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

port=""
for _ in $(seq 20); do
  candidate=$((20000 + RANDOM % 40000))
  if start_nginx "$candidate"; then port=$candidate; break; fi
  if [ -n "$nginx_pid" ]; then kill -KILL "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""; fi
done
[ -n "$port" ] || { cat "$work/nginx/error.log" >&2 2>/dev/null || true; die "nginx did not start"; }
sed -i "s/:PORT\//:$port\//" "$srv"/*.urls
log "nginx (pid $nginx_pid) serving $srv on 127.0.0.1:$port"

# Read every file once so that both sides are served from the page cache.
cat "$srv"/*/"$version"/* >/dev/null

# ------------------------------------------------------------------ one timed run
now() { date +%s.%N; }
elapsed=""   # seconds of the last run
peak_kib=""  # peak resident set of the last run, KiB

# timed LOG CMD...: runs CMD under /usr/bin/time with its output in LOG;
# fails when CMD fails.
timed() {
  local logfile=$1; shift
  local started status=0
  # Each run starts with the earlier runs' writes on disk, so one side does
  # not pay for the other's (or its own previous run's) writeback.
  sync
  started=$(now)
  /usr/bin/time -f %M -o "$logfile.rss" "$@" >"$logfile" 2>&1 </dev/null || status=$?
  elapsed=$(awk -v a="$started" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
  peak_kib=$(tail -n 1 "$logfile.rss")
  return "$status"
}

ours_peak_kib=0
# run_ours CASE FOLDER: brenvik in a fresh working folder (it writes FileList.txt
# and OrvBrenvik.ini there).
run_ours() {
  local name=$1 folder=$2 cwd status=0
  cwd=$(mktemp -d "$work/cwd.XXXXXX")
  pushd "$cwd" >/dev/null
  # shellcheck disable=SC2086
  timed "$work/ours.log" ${BRENVIK_BENCH_PROFILE:-} "$brenvik" --text --yes --no-install \
    --server "http://127.0.0.1:$port/$name/" --folder "$folder" || status=$?
  popd >/dev/null
  rm -rf "$cwd"
  if [ "$status" -ne 0 ]; then
    log "brenvik exited with $status on case $name; the end of its output:"
    tail -n 30 "$work/ours.log" >&2
    exit 1
  fi
  [ "$peak_kib" -gt "$ours_peak_kib" ] && ours_peak_kib=$peak_kib
  return 0
}

run_theirs_download() {  # run_theirs_download CASE FOLDER
  local name=$1 folder=$2
  # One wget for the whole list: one connection, kept alive. The check runs
  # in the same timed command, after the downloads, as a person would run it.
  # shellcheck disable=SC2016  # the inner shell expands its own arguments
  if ! timed "$work/theirs.log" bash -c \
      'wget -q -i "$1" -P "$2" && cd "$2" && md5sum -c --quiet "$3"' _ \
      "$srv/$name.urls" "$folder" "$srv/$name.md5"; then
    log "wget + md5sum failed on case $name:"
    tail -n 30 "$work/theirs.log" >&2
    exit 1
  fi
}

run_theirs_check() {  # run_theirs_check CASE FOLDER
  local name=$1 folder=$2
  # shellcheck disable=SC2016  # the inner shell expands its own arguments
  if ! timed "$work/theirs.log" bash -c 'cd "$1" && md5sum -c --quiet "$2"' _ "$folder" "$srv/$name.md5"; then
    log "md5sum failed on case $name:"
    tail -n 30 "$work/theirs.log" >&2
    exit 1
  fi
}

# Our folder must really hold the release: a fast run that fetched nothing is no win.
check_folder() {  # check_folder CASE FOLDER
  (cd "$2" && md5sum -c --quiet "$srv/$1.md5") >/dev/null 2>&1 ||
    die "case $1: brenvik exited 0 but its folder does not match the catalogue"
  local extra
  extra=$(find "$2" -type f ! -name '*.bin' | head -n 3)
  [ -z "$extra" ] || die "case $1: left in the folder: $extra"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A ours_times theirs_times
record() {  # record CASE SIDE SECONDS
  if [ "$2" = ours ]; then ours_times[$1]+="$3 "; else theirs_times[$1]+="$3 "; fi
  printf '  %-8s rep %-2s %-6s %8.3f s   peak %6d KiB\n' "$1" "$rep" "$2" "$3" "$peak_kib" >&2
}

# download_case CASE: alternates which side goes first, a fresh folder each run.
download_case() {
  local name=$1 keep=$2 folder
  for rep in $(seq "$reps"); do
    local order="ours theirs"
    [ $((rep % 2)) -eq 0 ] && order="theirs ours"
    for side in $order; do
      folder=$work/dl-$side
      rm -rf "$folder"; mkdir -p "$folder"
      if [ "$side" = ours ]; then
        run_ours "$name" "$folder"
        record "$name" ours "$elapsed"
        check_folder "$name" "$folder"
      else
        run_theirs_download "$name" "$folder"
        record "$name" theirs "$elapsed"
      fi
    done
  done
  rm -rf "$work/dl-theirs"
  if [ "$keep" = keep ]; then mv "$work/dl-ours" "$work/complete-$name"; else rm -rf "$work/dl-ours"; fi
}

# What a re-check must leave alone: every file's name, inode and change time
# (which, unlike the modification time, no download can set back).
folder_state() { find "$1" -type f -printf '%P %i %C@\n' | sort; }

recheck_case() {  # recheck_case CASE: both sides check the complete folder
  local name=$1 folder=$work/complete-$1 before
  before=$(folder_state "$folder")
  for rep in $(seq "$reps"); do
    local order="ours theirs"
    [ $((rep % 2)) -eq 0 ] && order="theirs ours"
    for side in $order; do
      if [ "$side" = ours ]; then
        run_ours "$name" "$folder"
        record recheck ours "$elapsed"
        # A re-check fetches nothing: every file is the one that was there.
        [ "$(folder_state "$folder")" = "$before" ] ||
          die "re-check: brenvik rewrote files of a complete folder"
      else
        run_theirs_check "$name" "$folder"
        record recheck theirs "$elapsed"
      fi
    done
  done
}

if [ "$serve" = 1 ]; then
  cat <<EOF

Serving until Ctrl-C (or SIGTERM). Base URLs for --server:
  http://127.0.0.1:$port/large/   ($large_count x $large_mib MiB)
  http://127.0.0.1:$port/small/   ($small_count x $small_kib KiB)
For example, from an empty working folder:
  $brenvik --text --yes --no-install --server http://127.0.0.1:$port/small/ --folder \$PWD/dl
The other side:
  wget -q -i $srv/small.urls -P dl && (cd dl && md5sum -c --quiet $srv/small.md5)
EOF
  while kill -0 "$nginx_pid" 2>/dev/null; do sleep 1; done
  die "nginx stopped"
fi

log "brenvik: $brenvik"
log "$reps repetition(s) per case, ours and theirs alternating"
if chosen large; then
  download_case large keep
elif chosen recheck; then
  # The re-check needs a complete folder; one untimed run makes it.
  mkdir -p "$work/complete-large"
  run_ours large "$work/complete-large"
  check_folder large "$work/complete-large"
fi
if chosen small; then download_case small drop; fi
if chosen recheck; then recheck_case large; fi

# ------------------------------------------------------------------ report
missed=0
report() {  # report CASE LABEL TARGET
  local o t ratio verdict
  o=$(tr ' ' '\n' <<<"${ours_times[$1]}" | sed '/^$/d' | median)
  t=$(tr ' ' '\n' <<<"${theirs_times[$1]}" | sed '/^$/d' | median)
  ratio=$(awk -v o="$o" -v t="$t" 'BEGIN { printf "%.2f", o / t }')
  verdict=ok
  awk -v r="$ratio" -v g="$3" 'BEGIN { exit !(r > g) }' && { verdict=MISSED; missed=1; }
  printf '%s: ours %.2f s, theirs %.2f s, ratio %s (target <= %s) %s\n' "$2" "$o" "$t" "$ratio" "$3" "$verdict"
}

echo
printf '%-10s %-7s %s\n' case side "seconds per repetition"
for c in "${cases[@]}"; do
  printf '%-10s %-7s %s\n' "$c" ours "${ours_times[$c]}"
  printf '%-10s %-7s %s\n' "$c" theirs "${theirs_times[$c]}"
done
echo
if chosen large; then report large "large files ($large_count x $large_mib MiB)" 0.9; fi
if chosen small; then report small "small files ($small_count x $small_kib KiB)" 1.2; fi
if chosen recheck; then report recheck "re-check of the large files" 1.1; fi
peak_mib=$(awk -v k="$ours_peak_kib" 'BEGIN { printf "%.1f", k / 1024 }')
verdict=ok
awk -v m="$peak_mib" 'BEGIN { exit !(m >= 64) }' && { verdict=MISSED; missed=1; }
echo "peak memory: $peak_mib MiB (target < 64) $verdict"

if [ "$strict" = 1 ] && [ "$missed" = 1 ]; then exit 3; fi
exit 0
