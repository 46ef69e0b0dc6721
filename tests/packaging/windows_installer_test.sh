#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own (a temporary
# folder, never the user's): a silent install (/S) puts both programs under
# Program Files\Platewise and registers and starts two services, both
# LocalSystem, automatic start, quoted image paths: PlatewiseListen
# (platewise.exe listen --service --history --web 127.0.0.1:9946) and
# Platewise (testservice.exe), the Application log's event source Platewise
# (its messages in platewise.exe) and the Start-menu entry that opens the
# page. Installed with /SNAPSHOTS, the service's snapshots reach the
# listener service, saved in ProgramData\Platewise\snapshots and recorded in
# history.db, shown by platewise status and on the page (fetched here). A
# silent uninstall removes both services, the event source, the entry and
# the programs and keeps ProgramData\Platewise; installed again over it
# without saving snapshots, the saved ones are imported into the history
# once, and an uninstall with /PURGE leaves nothing.
# Given a FAILING NOW snapshot (sent to the pipe as the service would), the
# drive's Event Log entry, its line in platewise status (exit 2) and the page
# are checked too, and the page is drawn by headless chromium into SHOT.
# Usage: windows_installer_test.sh INSTALLER.exe [FAILING.bin SERIAL SHOT.png]
set -euo pipefail
installer=$1
failing=${2:-}
failing_serial=${3:-}
shot=${4:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
began=$(date +%s)
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
prefix=$work/wine
run() { "$root/cmake/wine-run" --prefix "$prefix" "$@"; }
# platewise status asked again for up to 20 s until it exits with $1: the
# history takes a pass written in a batch. Leaves $status and $status_code.
status_until() {
  for _ in $(seq 1 20); do
    status_code=0
    status=$(run "$dir/platewise.exe" status 2>&1 | tr -d '\r') || status_code=$?
    (( status_code == $1 )) && return
    sleep 1
  done
}
trap 'run --session-stop >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
# Wine has no Event Log to read back: its ReportEventW writes each entry on
# the eventlog debug channel, in the session's log (the services' output).
PLATEWISE_WINEDEBUG=-all,+eventlog run --session-start
wine_log=$prefix.session/wine.log
cp "$installer" "$work/platewise-installer.exe"
dir="$prefix/drive_c/Program Files/Platewise"
data="$prefix/drive_c/ProgramData/Platewise"
keys='HKLM\System\CurrentControlSet\Services'
eventlog_key="$keys\\EventLog\\Application\\Platewise"

# Polls `sc query NAME` (up to 15 s) until it shows STATE.
wait_state() {
  local name=$1 wanted=$2 state=""
  for _ in $(seq 1 30); do
    state=$(run sc query "$name" 2>&1 | tr -d '\r' || true)
    grep -q "$wanted" <<<"$state" && return 0
    sleep 0.5
  done
  fail "$name is not $wanted: $state"
}

# Waits (up to 20 s) until PATH is gone: the uninstaller copies itself to
# %TEMP% and returns at once.
wait_gone() {
  for _ in $(seq 1 40); do [[ -e $1 ]] || return 0; sleep 0.5; done
  fail "$1 is still there: $(ls "$1" 2>&1); the listener's log ends: $(tail -5 "$data/listen.log" 2>&1)"
}

listener_image='"C:\Program Files\Platewise\platewise.exe" listen --service --history --web 127.0.0.1:9946'
start_entry="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Platewise drive status.url"

# install [INSTALLER OPTION...]: the listener's expected image path in
# $listen_image.
install() {
  run "$work/platewise-installer.exe" /S "$@" || fail "the silent install ended with status $?"
  for file in testservice.exe platewise.exe README.md uninstall.exe; do
    [[ -f $dir/$file ]] || fail "no $file in Program Files\\Platewise: $(ls "$dir" 2>&1)"
  done
  local name image service
  for name in Platewise PlatewiseListen; do
    case $name in
      Platewise) image='"C:\Program Files\Platewise\testservice.exe"' ;;
      PlatewiseListen) image=$listen_image ;;
    esac
    service=$(run reg query "$keys\\$name" 2>&1 | tr -d '\r') || fail "the service $name is not registered: $service"
    grep -qE "ImagePath +REG_(EXPAND_)?SZ +$(sed 's/[][\.*^$"]/\\&/g' <<<"$image")\$" <<<"$service" ||
      fail "$name: image path not $image: $service"
    grep -qiE 'ObjectName +REG_SZ +LocalSystem' <<<"$service" || fail "$name is not LocalSystem: $service"
    grep -qE 'Start +REG_DWORD +0x2$' <<<"$service" || fail "$name is not started automatically: $service"
    wait_state "$name" RUNNING
  done
  local source
  source=$(run reg query "$eventlog_key" 2>&1 | tr -d '\r') || fail "the event source Platewise is not registered: $source"
  grep -qE 'EventMessageFile +REG_(EXPAND_)?SZ +C:\\Program Files\\Platewise\\platewise\.exe$' <<<"$source" ||
    fail "the event source's EventMessageFile is not platewise.exe: $source"
  grep -qE 'TypesSupported +REG_DWORD +0x7$' <<<"$source" || fail "the event source's TypesSupported is not 7: $source"
  [[ -f $start_entry ]] || fail "no Start-menu entry: $(find "$prefix/drive_c/ProgramData/Microsoft" -name '*.url' 2>&1)"
  grep -q '^URL=http://127.0.0.1:9946/' "$start_entry" || fail "the Start-menu entry: $(cat "$start_entry")"
  # The recovery actions (sc.exe failure) and the listener's privileges
  # (sc.exe privs) cannot be checked here: Wine's sc.exe accepts both and
  # stores nothing.
}

listen_image="$listener_image --save-snapshots --save-max-bytes 2G"
install /SNAPSHOTS
echo "installed: files, both services registered and running, the Start-menu entry"

# The service's passes (every 5 s) reach the listener service.
snapshots=()
for _ in $(seq 1 40); do
  mapfile -t snapshots < <(find "$data/snapshots" -name 'snapshot-*.bin' -size 49185c 2>/dev/null)
  (( ${#snapshots[@]} >= 1 )) && break
  sleep 0.5
done
(( ${#snapshots[@]} >= 1 )) || fail "no snapshot reached ProgramData\\Platewise\\snapshots: $(ls -R "$data" 2>&1)"
grep -q 'listening on \\\\.\\pipe\\PlatewisePipe' "$data/listen.log" ||
  fail "the listener's log does not say it listens: $(cat "$data/listen.log" 2>&1)"
# Under Wine drive 0 opens and every command fails, there is no drive 1: the
# slot nobody could read is NO SMART DATA, which a checker hears as 1.
[[ -s $data/history.db ]] ||
  fail "no history in ProgramData\\Platewise: $(ls "$data" 2>&1); the listener's log: $(cat "$data/listen.log" 2>&1)"
grep -q 'serving the status page on 127.0.0.1:9946' "$data/listen.log" ||
  fail "the listener's log does not say it serves the page: $(cat "$data/listen.log" 2>&1)"
status_until 1
(( status_code == 1 )) || fail "platewise status exited $status_code, not 1 (NO SMART DATA): $status"
grep -q 'NO SMART DATA' <<<"$status" || fail "platewise status: drive 0 not NO SMART DATA: $status"
grep -q 'Newest snapshot' <<<"$status" && fail "platewise status read the snapshots, not the history: $status"
# The page, from this side of Wine: what a browser on the machine gets.
page=$(curl -fsS --max-time 10 http://127.0.0.1:9946/) || fail "no page on 127.0.0.1:9946"
drives=$(curl -fsS --max-time 10 http://127.0.0.1:9946/api/drives) || fail "no /api/drives on 127.0.0.1:9946"
grep -q 'NO SMART DATA' <<<"$page$drives" || fail "the page does not show drive 0: $drives"
echo "snapshots: ${#snapshots[@]} in ProgramData\\Platewise\\snapshots, recorded in the history, shown by platewise status and the page"

if [[ -n $failing ]]; then
  cp "$failing" "$work/failing.bin"
  # The one waiting instance may be the service's at that moment: tried
  # again while the pipe is busy.
  sent=""
  for _ in $(seq 1 20); do
    sent=$(run cmd /c copy /b "Z:${work//\//\\}\\failing.bin" '\\.\pipe\PlatewisePipe' 2>&1 | tr -d '\r') &&
      ! grep -q 'busy' <<<"$sent" && break
    sent="not sent: $sent"
    sleep 0.5
  done
  [[ $sent != "not sent: "* ]] || fail "the failing snapshot could not be sent to the pipe: $sent"
  entry=""
  for _ in $(seq 1 40); do
    entry=$(grep -E "eventlog:ReportEventW L\".*$failing_serial.*FAILING NOW" "$wine_log" || true)
    [[ -n $entry ]] && break
    sleep 0.5
  done
  [[ -n $entry ]] || fail "no Event Log entry for $failing_serial FAILING NOW: $(grep eventlog "$wine_log" | tail -5)"
  grep -qE "^[0-9a-f]+:err:eventlog:ReportEventW L\".*$failing_serial" <<<"$entry" ||
    fail "the entry is not an error: $entry"
  status_until 2
  (( status_code == 2 )) || fail "platewise status exited $status_code, not 2 (FAILING NOW): $status"
  grep -q "FAILING NOW" <<<"$status" && grep -q "$failing_serial" <<<"$status" ||
    fail "platewise status: no FAILING NOW line for $failing_serial: $status"
  # The drive's own readings, as scripts get them.
  drive=$(curl -fsS --max-time 10 "http://127.0.0.1:9946/api/drive/$failing_serial") ||
    fail "no /api/drive/$failing_serial on 127.0.0.1:9946"
  grep -q '"verdict":"FAILING NOW' <<<"$drive" || fail "the page does not show $failing_serial FAILING NOW: $drive"
  # The drive's page in HTML, as a browser gets it: within a few seconds
  # (a page may be drawn from the front page's views of a moment ago).
  html=""
  for _ in $(seq 1 20); do
    html=$(curl -fsS --max-time 10 "http://127.0.0.1:9946/drive/$failing_serial" 2>&1) && break
    sleep 0.5
  done
  grep -q 'FAILING NOW' <<<"$html" || fail "the drive's page does not show $failing_serial FAILING NOW: ${html:0:300}"
  if [[ -n $shot ]]; then
    mkdir -p "$(dirname "$shot")"
    rm -f "$shot"
    timeout 60 chromium --headless=new --no-sandbox --disable-gpu --user-data-dir="$work/chromium" \
      --window-size=1280,900 --screenshot="$shot" "http://127.0.0.1:9946/drive/$failing_serial" >"$work/chromium.log" 2>&1 || true
    [[ -s $shot ]] || fail "chromium drew no screenshot of the page: $(tail -5 "$work/chromium.log")"
  fi
  echo "failing snapshot: the Event Log entry, FAILING NOW in platewise status (exit 2), on the page${shot:+ ($shot)}"
fi

uninstall() {
  run "$dir/uninstall.exe" /S "$@" || fail "the silent uninstall ended with status $?"
  wait_gone "$dir"
  local name
  for name in Platewise PlatewiseListen; do
    if run reg query "$keys\\$name" >/dev/null 2>&1; then fail "the service $name is still registered"; fi
  done
  if run reg query "$eventlog_key" >/dev/null 2>&1; then fail "the event source Platewise is still registered"; fi
  [[ ! -e $start_entry ]] || fail "the uninstall left the Start-menu entry"
}

uninstall
[[ -n $(find "$data/snapshots" -name 'snapshot-*.bin') ]] || fail "the uninstall did not keep the snapshots"
[[ -s $data/history.db ]] || fail "the uninstall did not keep the history"
echo "uninstalled: no services, no programs; the snapshots and the history kept"

# Without raw snapshots: the kept ones go into the history once.
listen_image=$listener_image
install /NOSNAPSHOTS
[[ -f $data/snapshots-imported ]] || fail "the kept snapshots were not imported: $(ls "$data" 2>&1)"
imported=$(stat -c %Y "$data/snapshots-imported")
uninstall
# Installed again while something else holds the page's port: the listener
# says so in its log and the Event Log and goes on receiving.
# (SO_REUSEADDR: the page's closed connections may linger in TIME_WAIT.)
python3 -c 'import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 9946)); s.listen(); print("held", flush=True); time.sleep(300)' \
  >"$work/port.out" 2>&1 &
holder=$!
for _ in $(seq 1 20); do grep -q held "$work/port.out" && break; sleep 0.25; done
grep -q held "$work/port.out" || fail "127.0.0.1:9946 could not be held for the test: $(cat "$work/port.out")"
install
kill "$holder"; wait "$holder" 2>/dev/null || true
[[ $(stat -c %Y "$data/snapshots-imported") == "$imported" ]] || fail "the snapshots were imported twice"
grep -q 'goes on receiving without the status page' "$data/listen.log" ||
  fail "the listener's log does not say the page could not be served: $(tail -5 "$data/listen.log")"
grep -qE 'err:eventlog:ReportEventW L"cannot serve the page at 127\.0\.0\.1:9946: ' "$wine_log" ||
  fail "no Event Log error for the page: $(grep eventlog "$wine_log" | tail -3)"
# The service's passes still reach the history (its files change).
recorded=$(stat -c '%n %s %Y' "$data"/history.db*)
for _ in $(seq 1 30); do
  [[ $(stat -c '%n %s %Y' "$data"/history.db*) != "$recorded" ]] && break
  sleep 0.5
done
[[ $(stat -c '%n %s %Y' "$data"/history.db*) != "$recorded" ]] ||
  fail "the listener without its page records nothing: $(tail -5 "$data/listen.log")"
echo "installed over the kept folder without snapshots: the kept ones imported once; the page's port held, said and the listener receiving"
uninstall /PURGE
wait_gone "$data"
echo "installed over the kept folder, uninstalled with /PURGE: nothing left"
echo "windows installer test: $(( $(date +%s) - began )) s"
