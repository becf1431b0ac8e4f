#!/usr/bin/env bash
# brenvik.exe under Wine against a release served on 127.0.0.1 by the Linux
# release server: a first run downloads and verifies everything, a second
# run fetches nothing, and a repair run fetches only the file that was
# damaged. Then brenvik.com (beside it) typed in cmd.exe: its lines and
# then its exit status reach that console, 0 for a complete release and 1
# when a file is missing. Last, a download folder whose path is 400
# characters long. The catalogue has CRLF line ends, a file in a subfolder
# and names with blanks and non-ASCII letters.
#
#   tests/windows/end_to_end.sh BRENVIK_EXE RELEASE_SERVER CATALOGUE_TOOL
#
# RELEASE_SERVER and CATALOGUE_TOOL are the Linux programs of the same
# version. WINEPREFIX names the Wine prefix to use (made when missing).
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 BRENVIK_EXE RELEASE_SERVER CATALOGUE_TOOL" >&2; exit 2; }
exe=$(realpath "$1") server_tool=$(realpath "$2") catalogue_tool=$(realpath "$3")
export WINEDEBUG=-all
wine=$(command -v wine || command -v wine64)

work=$(mktemp -d "${TMPDIR:-/tmp}/brenvik-wine-e2e.XXXXXX")
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

# The release: a few files of random bytes, one in a subfolder, names with
# a blank and with non-ASCII letters.
version=2.1
release=$work/srv/Orv
mkdir -p "$release/$version/Data Files"
head -c 300000 /dev/urandom > "$release/$version/Setup.bin"
head -c 1500000 /dev/urandom > "$release/$version/Data Files/Level One.pak"
head -c 70000 /dev/urandom > "$release/$version/Data Files/Größe Ü.txt"
head -c 1 /dev/urandom > "$release/$version/tiny.dat"
"$catalogue_tool" "$release/$version" --version "$version" --output "$release/FileList.txt.lf"
# The catalogue with CRLF line ends, as a Windows editor would save it.
sed 's/\r\{0,1\}$/\r/' "$release/FileList.txt.lf" > "$release/FileList.txt"
rm "$release/FileList.txt.lf"
grep -q $'\r$' "$release/FileList.txt" || fail "the catalogue has no CRLF line ends"

"$server_tool" "$work/srv" --log > "$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -q "^Serving" "$work/server.log" && break
  sleep 0.1
done
url=$(sed -n 's/^Serving .* at \(http:[^ ]*\)$/\1/p' "$work/server.log")
[ -n "$url" ] || fail "the release server did not start: $(cat "$work/server.log")"

[ -d "${WINEPREFIX:-$HOME/.wine}" ] || "$wine" wineboot -i >/dev/null 2>&1 || true
folder_unix="$work/Games Dir"
folder=$(WINEDEBUG=-all winepath -w "$folder_unix/" 2>/dev/null || echo "Z:${folder_unix//\//\\}\\")
mkdir -p "$work/cwd"

# run NAME: brenvik.exe in the shared working folder; the server lines it
# caused go to $work/NAME.requests.
run() {
  local name=$1 before status=0
  before=$(wc -l < "$work/server.log")
  (cd "$work/cwd" && timeout 300 "$wine" "$exe" --text --yes --no-install --connections 2 \
     --server "${url}Orv/" --folder "$folder") > "$work/$name.out" 2>&1 || status=$?
  sleep 0.5  # the server logs a request after its answer is out
  tail -n +"$((before + 1))" "$work/server.log" > "$work/$name.requests"
  if [ "$status" -ne 0 ]; then
    cat "$work/$name.out" >&2
    fail "$name: brenvik.exe exited with $status"
  fi
}

# fetched NAME: the release files NAME's run downloaded, one per line.
fetched() { sed -n "s|^GET /Orv/$version/\(.*\) 20[06]\$|\1|p" "$work/$1.requests" | sort; }

same_files() {
  (cd "$release/$version" && find . -type f | sort) > "$work/expected.list"
  (cd "$folder_unix" && find . -type f ! -name '*.part' ! -name '*.validator' | sort) > "$work/got.list"
  diff -u "$work/expected.list" "$work/got.list" || fail "$1: the folder holds other files"
  while IFS= read -r file; do
    cmp -s "$release/$version/$file" "$folder_unix/$file" || fail "$1: $file differs"
  done < "$work/expected.list"
}

step "first run: everything is downloaded and verified"
run first
same_files first
[ "$(fetched first | wc -l)" -eq 4 ] || { cat "$work/first.requests"; fail "first: not 4 downloads"; }
grep -q "All Done" "$work/first.out" || { cat "$work/first.out"; fail "first: no \"All Done\""; }

step "second run: nothing is fetched again"
run second
same_files second
[ -z "$(fetched second)" ] || fail "second: fetched $(fetched second | tr '\n' ' ')"

step "repair run: only the damaged file is fetched"
printf 'XXXX' | dd of="$folder_unix/Data Files/Level One.pak" bs=1 seek=1000 conv=notrunc 2>/dev/null
run repair
same_files repair
[ "$(fetched repair)" = "Data Files/Level One.pak" ] ||
  fail "repair: fetched [$(fetched repair | tr '\n' ' ')] instead of the damaged file"

# console NAME FOLDER: brenvik.com typed in cmd.exe, as a user would, with
# the exit status echoed after it; the output goes to $work/NAME.out.
console() {
  (cd "$work/cwd" && timeout 300 "$wine" cmd /c \
    "$com_win --text --yes --no-install --server ${url}Orv/ --folder $2 & echo %ERRORLEVEL%") \
    > "$work/$1.out" 2>&1 || true
  tr -d '\r' < "$work/$1.out" > "$work/$1.lines"
}

step "brenvik.com in cmd.exe: the run's lines, then its exit status"
com="${exe%.exe}.com"
[ -f "$com" ] || fail "no brenvik.com beside $exe"
# A copy at a path without blanks, so cmd's quoting stays out of the way.
mkdir -p "$work/bin"
cp "$com" "$work/bin/brenvik.com"
com_win=$(WINEDEBUG=-all winepath -w "$work/bin/brenvik.com")
console_folder=$(WINEDEBUG=-all winepath -w "$work/ConsoleDir/")
console complete "$console_folder"
[ "$(tail -n 1 "$work/complete.lines")" = 0 ] ||
  { cat "$work/complete.out"; fail "complete: the exit status shown is not 0"; }
done_line=$(grep -n "All Done" "$work/complete.lines" | cut -d: -f1)
[ -n "$done_line" ] && [ "$done_line" -lt "$(wc -l < "$work/complete.lines")" ] ||
  { cat "$work/complete.out"; fail "complete: the run's lines did not come before its status"; }

step "brenvik.com in cmd.exe: a file missing on the server ends with status 1"
mv "$release/$version/tiny.dat" "$work/tiny.dat.away"
missing_folder=$(WINEDEBUG=-all winepath -w "$work/MissingDir/")
console missing "$missing_folder"
mv "$work/tiny.dat.away" "$release/$version/tiny.dat"
[ "$(tail -n 1 "$work/missing.lines")" = 1 ] ||
  { cat "$work/missing.out"; fail "missing: the exit status shown is not 1"; }

step "a download folder whose path is 400 characters long"
long_unix="$work/Long"
long_win=$(WINEDEBUG=-all winepath -w "$long_unix")
while [ "${#long_win}" -lt 400 ]; do
  long_unix="$long_unix/A folder name of forty characters, more."
  long_win="$long_win\\A folder name of forty characters, more."
done
(cd "$work/cwd" && timeout 300 "$wine" "$exe" --text --yes --no-install \
   --server "${url}Orv/" --folder "$long_win\\") > "$work/long.out" 2>&1 ||
  { cat "$work/long.out"; fail "long: brenvik.exe failed in a folder of ${#long_win} characters"; }
grep -q "All Done" "$work/long.out" || { cat "$work/long.out"; fail "long: no \"All Done\""; }
folder_unix=$long_unix same_files long

echo "PASS: brenvik.exe under Wine: first, second and repair runs, a 400-character folder;" \
  "brenvik.com in cmd.exe"
