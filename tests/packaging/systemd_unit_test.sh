#!/usr/bin/env bash
# packaging/systemd/platewise.service under systemd's own checks: it loads
# without a warning (systemd-analyze verify, with ExecStart pointed at the
# service just built), and its exposure rating (systemd-analyze security,
# offline) is 2.5 or lower. Neither needs systemd running.
# Usage: systemd_unit_test.sh SOURCE_DIR TESTSERVICE
set -euo pipefail
source_dir=$1
testservice=$2
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
