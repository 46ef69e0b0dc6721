#!/usr/bin/env bash
# The programs of examples/notify/ as the listener runs them: with the
# PLATEWISE_* variables and the JSON document on standard input, and stub
# curl and notify-send first on PATH that record what they were given. A
# drive's strings stay data: escaped for the notification's markup, never
# on a command line of their own.
# Usage: notify_examples_test.sh SOURCE_DIR
set -euo pipefail
examples=$1/examples/notify
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
for stub in curl notify-send; do
  cat >"$work/bin/$stub" <<STUB
#!/bin/sh
for a in "\$@"; do printf '%s\n' "\$a"; done > "$work/$stub.args"
cat > "$work/$stub.stdin"
exit \${STUB_STATUS:-0}
STUB
  chmod 0755 "$work/bin/$stub"
done

model='<b>Evil</b> & "x"; rm -rf /'
event='{"kind":"change","serial":"S1","verdict":"FAILING NOW"}'
run() {  # run EXAMPLE: with the variables of one event
  env PATH="$work/bin:$PATH" PLATEWISE_HOST=web01 PLATEWISE_KIND=change PLATEWISE_SERIAL=S1 \
    PLATEWISE_MODEL="$model" PLATEWISE_SLOT=2 PLATEWISE_VERDICT="FAILING NOW" \
    PLATEWISE_PREVIOUS_VERDICT=DEGRADING PLATEWISE_REASONS="attribute 5 <= threshold" \
    WEBHOOK_URL=http://127.0.0.1:1/hook sh "$examples/$1" <<<"$event"
}

run webhook || fail "webhook exited $?"
[[ $(cat "$work/curl.stdin") == "$event" ]] || fail "webhook did not post the event: $(cat "$work/curl.stdin")"
grep -qx -- '--data-binary' "$work/curl.args" && grep -qx -- '@-' "$work/curl.args" ||
  fail "webhook does not post standard input: $(cat "$work/curl.args")"
[[ $(tail -n 1 "$work/curl.args") == http://127.0.0.1:1/hook ]] || fail "webhook posts elsewhere: $(cat "$work/curl.args")"
grep -qx -- '--fail' "$work/curl.args" || fail "webhook would count an HTTP error as delivered"
STUB_STATUS=22 run webhook && fail "webhook hid curl's failure"

run desktop || fail "desktop exited $?"
args=$(cat "$work/notify-send.args")
grep -qx -- '--urgency=critical' <<<"$args" || fail "FAILING NOW is not critical: $args"
grep -qx 'web01: FAILING NOW' <<<"$args" || fail "no title: $args"
grep -qF '&lt;b&gt;Evil&lt;/b&gt; &amp; "x"; rm -rf / S1, before: DEGRADING' <<<"$args" ||
  fail "the model is not shown as text: $args"
grep -qF 'attribute 5 &lt;= threshold' <<<"$args" || fail "the reasons are not shown as text: $args"
grep -q '<b>' <<<"$args" && fail "markup from the drive reached notify-send: $args"
echo "notify examples: ok"
