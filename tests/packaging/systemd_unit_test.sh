#!/usr/bin/env bash
# packaging/systemd/platewise.service under systemd's own checks: it loads
# without a warning (systemd-analyze verify, with ExecStart pointed at the
# service just built), and its exposure rating (systemd-analyze security,
# offline) is 2.5 or lower. Neither needs systemd running. And every system
# call the service makes in two passes (under strace, where it is installed)
# is one that the unit's SystemCallFilter= lets through.
# Usage: systemd_unit_test.sh SOURCE_DIR TESTSERVICE [plain|sanitized]
set -euo pipefail
source_dir=$1
testservice=$2
service_build=${3:-plain}
unit=$source_dir/packaging/systemd/platewise.service
limit=2.5

if ! command -v systemd-analyze >/dev/null; then
    echo "SKIP: systemd-analyze is not installed (scripts/install-deps installs systemd)"
    exit 77
fi
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
grep -q '^ExecStart=/usr/local/sbin/testservice$' "$unit" || fail "ExecStart is not the installed service"
# Exactly the two capabilities the disks need: CAP_SYS_RAWIO for SG_IO's ATA
# pass-through, CAP_SYS_ADMIN for the NVMe health log (NVME_IOCTL_ADMIN_CMD).
grep -qx 'CapabilityBoundingSet=CAP_SYS_RAWIO CAP_SYS_ADMIN' "$unit" ||
    fail "the capabilities are not CAP_SYS_RAWIO and CAP_SYS_ADMIN: $(grep '^CapabilityBoundingSet=' "$unit")"
sed "s|^ExecStart=.*|ExecStart=$testservice|" "$unit" >"$work/platewise.service"

if ! SYSTEMD_LOG_COLOR=0 systemd-analyze verify "$work/platewise.service" >"$work/verify.txt" 2>&1; then
    fail "systemd-analyze verify: $(cat "$work/verify.txt")"
fi
[[ ! -s $work/verify.txt ]] || fail "systemd-analyze verify warns: $(cat "$work/verify.txt")"

SYSTEMD_LOG_COLOR=0 systemd-analyze security --offline=yes --no-pager "$unit" >"$work/security.txt" 2>&1 ||
    fail "systemd-analyze security: $(cat "$work/security.txt")"
exposure=$(sed -n 's/.*Overall exposure level for platewise.service: \([0-9.]*\).*/\1/p' "$work/security.txt")
[[ -n $exposure ]] || fail "no exposure level in: $(cat "$work/security.txt")"
echo "exposure: $exposure (limit $limit)"
awk -v e="$exposure" -v l="$limit" 'BEGIN { exit !(e <= l) }' ||
    fail "exposure $exposure is above $limit: $(grep '✗' "$work/security.txt")"

# The system-call filter against what the service really calls.
if [[ $service_build != plain ]]; then
    echo "system calls: not traced (a sanitizer's runtime makes calls of its own)"
    exit 0
fi
if ! command -v strace >/dev/null || [[ $(id -u) -ne 0 ]] ||
    ! unshare --mount --propagation private true 2>/dev/null; then
    echo "system calls: not traced (needs strace, root and a mount namespace)"
    exit 0
fi
# Groups as systemd defines them: a line "@group", then its members indented.
declare -A members
while read -r group member; do
    members[$group]+=" $member"
done < <(systemd-analyze syscall-filter --no-pager 2>/dev/null |
         awk '/^@/ { group = $1; next } /^ +[^ #]/ { print group, $1 }')
expand() {
    local item
    for item in ${members[$1]:-}; do
        if [[ $item == @* ]]; then expand "$item"; else echo "$item"; fi
    done
}
allowed=()
denied=()
while read -r value; do
    for item in $value; do
        if [[ $value == '~'* ]]; then
            item=${item#\~}
            if [[ $item == @* ]]; then mapfile -t -O ${#denied[@]} denied < <(expand "$item"); else denied+=("$item"); fi
        else
            if [[ $item == @* ]]; then mapfile -t -O ${#allowed[@]} allowed < <(expand "$item"); else allowed+=("$item"); fi
        fi
    done
done < <(sed -n 's/^SystemCallFilter=//p' "$unit")
((${#allowed[@]})) || fail "no SystemCallFilter= allow list in the unit"
printf '%s\n' "${allowed[@]}" | sort -u >"$work/allowed"
printf '%s\n' "${denied[@]}" | sort -u >"$work/denied"
comm -23 "$work/allowed" "$work/denied" >"$work/permitted"

APPDATA=$work NOTIFY_SOCKET=@platewise-unit-test-$$ unshare --mount --propagation private \
    sh -c 'mount -t tmpfs -o mode=0755 tmpfs /run && exec strace -f -qq -o "$0" "$1"' \
    "$work/trace" "$testservice" >"$work/service.out" 2>&1 &
traced=$!
sleep 7  # start-up and two passes
# strace's one child is the service: stop it as systemd would.
service=$(pgrep -P "$traced" || true)
kill -TERM "${service:-$traced}"
wait "$traced" || true
# Calls as strace names them, past the exec of the service itself; the
# disk's SG_IO ioctl is there even on a machine without disks.
{
    sed -n '/execve(/,$p' "$work/trace" | sed -E 's/^[0-9]+ +//' | grep -E '^[a-z_0-9]+\(' |
        sed -E 's/\(.*//'
    echo ioctl
} | sort -u >"$work/called"
[[ -s $work/called ]] || fail "nothing traced: $(cat "$work/service.out")"
outside=$(comm -23 "$work/called" "$work/permitted" | tr '\n' ' ')
[[ -z $outside ]] || fail "the unit's filter refuses calls the service makes: $outside"
echo "system calls made: $(wc -l <"$work/called"), all permitted by the filter"
