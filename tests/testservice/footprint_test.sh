#!/usr/bin/env bash
# The service as built: it links nothing but the C and C++ runtimes (ldd),
# and, for the record, what the running service costs in private memory
# (Private_Clean + Private_Dirty of /proc/PID/smaps_rollup after two passes).
# The figure is printed, not judged: the README keeps the measurements.
# Usage: footprint_test.sh TESTSERVICE
set -euo pipefail
testservice=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

# The C library with its loader and vDSO, libm, and the C++ runtime with
# libgcc's unwinder: nothing else may be needed.
allowed='^(linux-vdso\.so\.1|/lib64/ld-linux-x86-64\.so\.2|ld-linux-x86-64\.so\.2|libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1)$'
libraries=$(ldd "$testservice" | awk '{ print $1 }')
echo "ldd $testservice:"
echo "$libraries" | sed 's/^/  /'
while read -r library; do
    [[ $library =~ $allowed ]] || fail "the service links $library"
done <<<"$libraries"

# The running service, in a mount namespace of its own so that its
# snapshots meet no listener of this machine.
if [[ $(id -u) -ne 0 ]] || ! unshare --mount --propagation private true 2>/dev/null; then
    echo "private memory: not measured (needs root and a mount namespace)"
    exit 0
fi
work=$(mktemp -d)
APPDATA=$work unshare --mount --propagation private \
    sh -c 'mount -t tmpfs -o mode=0755 tmpfs /run && exec "$0"' "$testservice" >"$work/out" 2>&1 &
launcher=$!
trap 'kill "$launcher" 2>/dev/null || true; rm -rf "$work"' EXIT
sleep 6  # start-up and two passes, 5000 ms apart
rollup=/proc/$launcher/smaps_rollup
[[ -r $rollup ]] || fail "the service is not running: $(cat "$work/out")"
awk '/^(Rss|Private_Clean|Private_Dirty):/ { kib[$1] = $2 }
     END { printf "private memory: %d KiB (Private_Clean %d + Private_Dirty %d; Rss %d)\n",
                  kib["Private_Clean:"] + kib["Private_Dirty:"], kib["Private_Clean:"],
                  kib["Private_Dirty:"], kib["Rss:"] }' "$rollup"
kill -TERM "$launcher"
wait "$launcher" || fail "the service ended with status $?"
