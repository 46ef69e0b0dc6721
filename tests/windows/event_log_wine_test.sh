#!/usr/bin/env bash
# The Event Log entry of a drive event, as Wine records it. Wine has no
# Event Log to read back: its ReportEventW writes each string to its own
# log on the "eventlog" debug channel (error entries as err:, warnings as
# warn:, information as trace:). EventLogWine.TheListenerReportsADriveItIsSent
# runs platewise.exe listen with that channel on and sends it one NVMe drive;
# here its output must hold exactly one entry: the new drive, information
# type, event 2 of the message table, its line in words.
# Usage: event_log_wine_test.sh TEST.exe EMULATOR [EMULATOR ARGS...]
set -euo pipefail
test_exe=$1
shift
fail() { echo "FAIL: $*" >&2; exit 1; }
out=$("$@" "$test_exe" --gtest_filter=EventLogWine.TheListenerReportsADriveItIsSent 2>&1) ||
  fail "the listener's test failed: $out"
grep -qF '[  PASSED  ] 1 test' <<<"$out" || fail "the listener's test did not run: $out"
entries=$(grep -E '^[0-9a-f]+:(err|warn|trace):eventlog:ReportEventW ' <<<"$out" || true)
[[ $(grep -c . <<<"$entries") == 1 ]] || fail "not exactly one Event Log entry: $out"
expected='trace:eventlog:ReportEventW L"Platewise Test NVMe serial PWN0001 (slot 0): new drive, OK"'
grep -qF "$expected" <<<"$entries" || fail "the entry is not $expected: $entries"
# Wine's own line for the call: type 4 (information), category 0, the whole
# id 0x40000002 (informational, event 2), one string.
grep -qE 'ReportEventW \([0-9A-Fa-f]+,0x0004,0x0000,0x40000002,[0-9A-Fa-f]+,0x0001,' <<<"$out" ||
  fail "ReportEventW was not given type 4, id 0x40000002 and one string: $out"
echo "event log under Wine: $entries"
