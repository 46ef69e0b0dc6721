#!/usr/bin/env bash
# packaging/logrotate/platewise under Debian's logrotate, on a directory of
# its own: the file names the log the unit writes, rotation moves it aside
# and the running service's next line starts a new file, the size cap rotates
# without waiting for the week, and old logs are limited and compressed.
# Usage: logrotate_test.sh SOURCE_DIR TESTSERVICE
set -euo pipefail
source_dir=$1
testservice=$2
shipped=$source_dir/packaging/logrotate/platewise
unit=$source_dir/packaging/systemd/platewise.service

logrotate=$(command -v logrotate || true)
[[ -n $logrotate ]] || logrotate=/usr/sbin/logrotate
if [[ ! -x $logrotate ]]; then
    echo "SKIP: logrotate is not installed (scripts/install-deps installs it)"
    exit 77
fi

fail() { echo "FAIL: $*" >&2; exit 1; }

# The path rotated is the one the unit's service writes.
appdata=$(sed -n 's/^Environment=APPDATA=//p' "$unit")
[[ -n $appdata ]] || fail "the unit sets no APPDATA"
grep -qx "$appdata/platewise_s.log {" "$shipped" || fail "$shipped does not rotate $appdata/platewise_s.log"

work=$(mktemp -d)
service_pid=
cleanup() {
    [[ -z $service_pid ]] || kill "$service_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
log=$work/log
mkdir -m 0755 "$log"
sed "s|^$appdata/|$log/|" "$shipped" >"$work/platewise.conf"
rotate() { "$logrotate" --state "$work/state" "$@" "$work/platewise.conf"; }

# The file as shipped parses (debug mode reads it and rotates nothing).
"$logrotate" --debug --state "$work/state" "$shipped" >"$work/debug.txt" 2>&1 ||
    fail "logrotate rejects $shipped: $(cat "$work/debug.txt")"
grep -qi "error" "$work/debug.txt" && fail "logrotate reports: $(cat "$work/debug.txt")"

# 1. The running service: rotate between its lines. The service writes only
#    in its own mount namespace, so that it meets no listener of this machine.
umask 077
if [[ $(id -u) -eq 0 ]] && unshare --mount --propagation private true 2>/dev/null; then
    APPDATA=$log unshare --mount --propagation private \
        sh -c 'mount -t tmpfs -o mode=0755 tmpfs /run && exec "$0"' "$testservice" \
        >"$work/service.out" 2>&1 &
    service_pid=$!
    for _ in $(seq 100); do
        grep -q "> Monitoring started\.$" "$log/platewise_s.log" 2>/dev/null && break
        sleep 0.05
    done
    grep -q "> Monitoring started\.$" "$log/platewise_s.log" || fail "the service did not start: $(cat "$work/service.out")"
    rotate --force
    [[ -f $log/platewise_s.log.1 ]] || fail "no platewise_s.log.1 after rotation"
    kill -TERM "$service_pid"
    wait "$service_pid" || fail "the service ended with status $?"
    service_pid=
    grep -q "> Monitoring started\.$" "$log/platewise_s.log.1" || fail "the start line left the old file"
    grep -q "> Monitoring stopped\.$" "$log/platewise_s.log" || fail "the stop line did not reach a new file"
    [[ $(stat -c %a "$log/platewise_s.log") == 600 ]] || fail "the new log is not 0600"
else
    echo "note: not root or no mount namespace; rotating a file written here instead of the service's"
    echo "2026-12-07 09:15:02> Monitoring started." >"$log/platewise_s.log"
    rotate --force
    [[ -f $log/platewise_s.log.1 && ! -e $log/platewise_s.log ]] || fail "plain rotation did not move the log aside"
fi

# 2. More than 1 MiB rotates at the next daily run, even within the week.
rm -f "$log"/platewise_s.log*
echo "2026-12-07 09:15:02> first" >"$log/platewise_s.log"
rotate  # records the file; too young and too small to rotate
[[ -f $log/platewise_s.log && ! -e $log/platewise_s.log.1 ]] || fail "a small young log was rotated"
head -c $((1024 * 1024 + 1)) /dev/zero | tr '\0' 'x' >>"$log/platewise_s.log"
rotate
[[ -f $log/platewise_s.log.1 && ! -e $log/platewise_s.log ]] || fail "a log over 1 MiB was not rotated"

# 3. Eight old logs at most, all but the newest compressed; an empty log stays.
for i in $(seq 12); do
    echo "line $i" >"$log/platewise_s.log"
    rotate --force
done
: >"$log/platewise_s.log"
rotate --force
[[ -f $log/platewise_s.log ]] || fail "an empty log was rotated"
kept=$(cd "$log" && ls platewise_s.log.* | sort -V | tr '\n' ' ')
[[ $kept == "platewise_s.log.1 platewise_s.log.2.gz platewise_s.log.3.gz platewise_s.log.4.gz platewise_s.log.5.gz platewise_s.log.6.gz platewise_s.log.7.gz platewise_s.log.8.gz " ]] ||
    fail "kept: $kept"
[[ $(cat "$log/platewise_s.log.1") == "line 12" ]] || fail "platewise_s.log.1 is not the newest"
[[ $(gzip -dc "$log/platewise_s.log.8.gz") == "line 5" ]] || fail "platewise_s.log.8.gz is not the oldest kept"
echo "logrotate: ok"
