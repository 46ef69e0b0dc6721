#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own: a silent install
# (/S) puts both programs under Program Files\Platewise and registers the
# service Platewise (LocalSystem, automatic start, quoted image path) and
# starts it; the silent uninstall removes the service
# and the files.
# Usage: windows_installer_test.sh INSTALLER.exe
set -euo pipefail
installer=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
prefix=$work/wine
run() { "$root/cmake/wine-run" --prefix "$prefix" "$@"; }
trap 'run --session-stop >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
run --session-start
cp "$installer" "$work/platewise-installer.exe"

run "$work/platewise-installer.exe" /S || fail "the silent install ended with status $?"
dir="$prefix/drive_c/Program Files/Platewise"
for file in testservice.exe platewise.exe README.md uninstall.exe; do
  [[ -f $dir/$file ]] || fail "no $file in Program Files\\Platewise: $(ls "$dir" 2>&1)"
done
key='HKLM\System\CurrentControlSet\Services\Platewise'
service=$(run reg query "$key" 2>&1 | tr -d '\r') || fail "the service Platewise is not registered: $service"
grep -qF '"C:\Program Files\Platewise\testservice.exe"' <<<"$service" || fail "image path not quoted: $service"
grep -qiE 'ObjectName +REG_SZ +LocalSystem' <<<"$service" || fail "not LocalSystem: $service"
grep -qE 'Start +REG_DWORD +0x2$' <<<"$service" || fail "not started automatically: $service"
# The recovery actions (sc.exe failure) cannot be checked here: Wine's
# sc.exe accepts "failure" and stores nothing.
state=""
for _ in $(seq 1 20); do
  state=$(run sc query Platewise 2>&1 | tr -d '\r' || true)
  grep -q RUNNING <<<"$state" && break
  sleep 0.5
done
grep -q RUNNING <<<"$state" || fail "the service does not run: $state"
echo "installed: files, service registered and running"

# The uninstaller copies itself to %TEMP% and returns at once: wait for it.
run "$dir/uninstall.exe" /S || fail "the silent uninstall ended with status $?"
for _ in $(seq 1 40); do [[ -e $dir ]] || break; sleep 0.5; done
[[ ! -e $dir ]] || fail "Program Files\\Platewise is still there: $(ls "$dir")"
if run reg query "$key" >/dev/null 2>&1; then fail "the service Platewise is still registered"; fi
echo "uninstalled: no service, no files"
