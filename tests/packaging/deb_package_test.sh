#!/usr/bin/env bash
# The Debian package as a user gets it (scripts/package runs this): its
# files, its units (systemd-analyze verify; the listener's options all known
# to the packaged listener; the exposure ratings), its maintainer scripts
# (the user made, both units enabled and started on install, stopped on
# removal, the history deleted on purge only) and lintian without an error
# or a warning.
# Needs dpkg-deb, systemd-analyze and lintian; nothing is installed.
# Usage: deb_package_test.sh PACKAGE.deb
set -euo pipefail
deb=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dpkg-deb -I "$deb" >"$work/info" || fail "dpkg-deb -I cannot read $deb"
dpkg-deb -c "$deb" | awk '{ print $1, $NF }' | sed 's| \./| /|' >"$work/contents"
grep -q '^ Package: platewise$' "$work/info" || fail "not the package platewise: $(cat "$work/info")"

# path, then the permissions it must have
while read -r mode path; do
  grep -qxF -- "$mode $path" "$work/contents" ||
    fail "$path missing or not $mode; the package holds: $(cat "$work/contents")"
done <<'LIST'
-rwxr-xr-x /usr/sbin/testservice
-rwxr-xr-x /usr/bin/platewise
-rw-r--r-- /lib/systemd/system/platewise.service
-rw-r--r-- /lib/systemd/system/platewise-listen.service
-rw-r--r-- /lib/systemd/system/platewise.service.d/listener.conf
-rw-r--r-- /usr/lib/sysusers.d/platewise.conf
-rw-r--r-- /etc/logrotate.d/platewise
-rw-r--r-- /usr/share/doc/platewise/README.md
-rw-r--r-- /usr/share/doc/platewise/copyright
-rw-r--r-- /usr/share/doc/platewise/examples/prometheus/platewise-rules.yml
-rw-r--r-- /usr/share/doc/platewise/examples/prometheus/prometheus.yml
-rw-r--r-- /usr/share/doc/platewise/examples/prometheus/alertmanager.yml
-rw-r--r-- /usr/share/doc/platewise/examples/notify/webhook
-rw-r--r-- /usr/share/doc/platewise/examples/notify/desktop
-rw-r--r-- /etc/platewise/listen.conf
-rw-r--r-- /usr/share/man/man8/testservice.8.gz
-rw-r--r-- /usr/share/man/man1/platewise.1.gz
LIST
grep -q ' /var/\| /run/' "$work/contents" && fail "the package ships state: $(grep ' /var/\| /run/' "$work/contents")"

# Maintainer scripts: what each must do, as a pattern per script.
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
expect() {
  local script=$1 pattern=$2 what=$3
  [[ -f $work/control/$script ]] || fail "no $script"
  grep -qE -- "$pattern" "$work/control/$script" || fail "$script does not $what: $(cat "$work/control/$script")"
}
expect postinst 'systemd-sysusers.*platewise\.conf' "make the user platewise"
expect postinst 'deb-systemd-helper .*enable.*platewise-listen\.service' "enable the listener"
expect postinst 'deb-systemd-helper .*enable.*platewise\.service' "enable the service"
expect postinst '_dh_action=start' "start the units on a first install"
expect postinst "deb-systemd-invoke [^ ]+ 'platewise-listen\\.service' 'platewise\\.service'" \
  "start the listener, then the service"
expect prerm 'deb-systemd-invoke stop.*platewise' "stop the units on removal"
expect postrm 'deb-systemd-helper purge' "forget the units on purge"
expect postrm '"\$1" = "purge".*' "treat purge apart"
expect postrm 'rm -rf /var/lib/platewise /var/log/platewise' "delete the history and the log on purge"
# The listener's settings are the administrator's: kept on upgrade and removal.
grep -qx /etc/platewise/listen.conf "$work/control/conffiles" ||
  fail "/etc/platewise/listen.conf is not a conffile: $(cat "$work/control/conffiles" 2>/dev/null)"
# Removal alone keeps the history: the rm stands only under purge.
awk '/"\$1" = "purge"/ { purge = 1 } /^fi/ { purge = 0 }
     /rm -rf \/var\/lib\/platewise/ && !purge { bad = 1 } END { exit bad }' "$work/control/postrm" ||
  fail "postrm deletes the history outside purge"

# The units as installed.
mkdir "$work/root"
dpkg-deb -x "$deb" "$work/root"
units=$work/root/lib/systemd/system
grep -qx 'ExecStart=/usr/sbin/testservice' "$units/platewise.service" ||
  fail "platewise.service does not start /usr/sbin/testservice"
listen_exec=$(sed -n 's/^ExecStart=//p' "$units/platewise-listen.service")
[[ $listen_exec == '/usr/bin/platewise listen '* ]] || fail "the listener's ExecStart is $listen_exec"
for setting in Type=notify User=platewise Group=platewise RuntimeDirectory=platewise RuntimeDirectoryMode=0750 \
  StateDirectory=platewise CapabilityBoundingSet= NoNewPrivileges=yes; do
  grep -qx -- "$setting" "$units/platewise-listen.service" || fail "platewise-listen.service lacks $setting"
done
[[ $listen_exec == *'--socket-mode 0660'* ]] || fail "the listener's socket is not 0660 (group platewise)"
[[ $listen_exec == *'--config /etc/platewise/listen.conf'* ]] || fail "the listener does not read /etc/platewise/listen.conf"
conf=$work/root/etc/platewise/listen.conf
grep -qE '^metrics = 127\.0\.0\.1:' "$conf" || fail "the listener's metrics are not on 127.0.0.1 only"
grep -qE '^web = 127\.0\.0\.1:' "$conf" || fail "the status page is not on 127.0.0.1 only"
grep -qx 'notify-mail = root' "$conf" || fail "listen.conf does not mail root"
for setting in SupplementaryGroups=platewise After=platewise-listen.service Wants=platewise-listen.service; do
  grep -qx -- "$setting" "$units/platewise.service.d/listener.conf" || fail "the service's drop-in lacks $setting"
done
grep -q '^u platewise ' "$work/root/usr/lib/sysusers.d/platewise.conf" || fail "no user platewise in sysusers.d"
# Every option the unit gives is one the packaged listener has.
help=$("$work/root/usr/bin/platewise" listen --help 2>&1) || fail "platewise listen --help: $help"
for option in $listen_exec $(sed -n 's/^\([a-z-]*\) *=.*/--\1/p' "$conf"); do
  [[ $option == --* ]] || continue
  grep -qE -- "(^|[ ,])$option([ =]|$)" <<<"$help" || fail "the packaged listener has no $option"
done
# The file as the packaged programs read it: notify takes every key (a bad
# one would stop it, and the listener, with usage status 2 and the line).
status=0
"$work/root/usr/bin/platewise" notify --config "$conf" >/dev/null 2>"$work/notify.err" || status=$?
[[ $status -eq 2 ]] && grep -q 'nothing to do' "$work/notify.err" ||
  fail "platewise notify --config listen.conf: $(cat "$work/notify.err")"

if command -v systemd-analyze >/dev/null; then
  # Verified with the binaries where the package puts them under $root.
  for unit in platewise.service platewise-listen.service; do
    sed -e "s|^ExecStart=/usr/|ExecStart=$work/root/usr/|" "$units/$unit" >"$work/$unit"
    SYSTEMD_LOG_COLOR=0 systemd-analyze verify "$work/$unit" >"$work/verify.txt" 2>&1 ||
      fail "systemd-analyze verify $unit: $(cat "$work/verify.txt")"
    [[ ! -s $work/verify.txt ]] || fail "systemd-analyze verify $unit warns: $(cat "$work/verify.txt")"
    SYSTEMD_LOG_COLOR=0 systemd-analyze security --offline=yes --no-pager "$units/$unit" >"$work/security.txt" 2>&1 ||
      fail "systemd-analyze security $unit: $(cat "$work/security.txt")"
    exposure=$(sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\).*/\1/p" "$work/security.txt")
    echo "$unit: exposure $exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' ||
      fail "$unit: exposure ${exposure:-unknown} is above 2.5: $(grep '✗' "$work/security.txt")"
  done
fi

# The packaged programs with the units' rights, in a mount namespace of
# their own (a private /run): the listener as an unprivileged uid owning
# /run/platewise (0750) and the socket (0660); the service as root without
# CAP_DAC_OVERRIDE or CAP_DAC_READ_SEARCH. With the listener's group (the
# drop-in's SupplementaryGroups=) its snapshot arrives; without, it cannot.
deliver() {  # deliver GROUP-OPTION [TRACE]: 0 when the listener got a snapshot
  local groups_option=$1 trace_to=${2:-} uid=61917
  unshare --mount --propagation private bash -s "$work" "$groups_option" "$uid" "$trace_to" <<'RUN'
set -u
work=$1 groups_option=$2 uid=$3 trace_to=$4
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -m 0750 /run/platewise && chown "$uid:$uid" /run/platewise
log=$(mktemp -d "$work/run.XXXXXX")
trace=()
[[ -n $trace_to ]] && trace=(strace -f -qq -o "$trace_to")
"${trace[@]}" setpriv --reuid "$uid" --regid "$uid" --clear-groups --inh-caps=-all --bounding-set=-all \
  "$work/root/usr/bin/platewise" listen --socket-mode 0660 --metrics 127.0.0.1:0 --once \
  >"$log/listen.out" 2>&1 &
listener=$!
for _ in 1 2 3 4 5 6 7 8 9 10; do [[ -S /run/platewise/PlatewisePipe ]] && break; sleep 0.5; done
APPDATA=$log setpriv --bounding-set=-dac_override,-dac_read_search $groups_option \
  "$work/root/usr/sbin/testservice" >"$log/service.out" 2>&1 &
service=$!
for _ in $(seq 1 14); do kill -0 "$listener" 2>/dev/null || break; sleep 0.5; done
kill "$listener" 2>/dev/null
wait "$listener"
kill -TERM "$service"; wait "$service"
grep -q '^== Snapshot received' "$log/listen.out"
RUN
}
if [[ $(id -u) -eq 0 ]] && command -v setpriv >/dev/null && unshare --mount --propagation private true 2>/dev/null; then
  traced=""
  command -v strace >/dev/null && traced=$work/listen.trace
  deliver "--groups=61917" "$traced" || fail "the service, in the listener's group, could not deliver a snapshot"
  ! deliver "--clear-groups" || fail "the service delivered without the listener's group: the socket is open to others"
  echo "socket rights: the service delivers through the group platewise only"
  # Every system call the listener made (metrics server included) is one
  # its unit's SystemCallFilter= lets through.
  if [[ -n $traced ]]; then
    expand() {
      systemd-analyze syscall-filter --no-pager "$1" 2>/dev/null | awk '/^ +[^ #]/ { print $1 }' |
        while read -r item; do if [[ $item == @* ]]; then expand "$item"; else echo "$item"; fi; done
    }
    : >"$work/allowed"; : >"$work/denied"
    while read -r value; do
      for item in $value; do
        if [[ $value == '~'* ]]; then list=$work/denied; item=${item#\~}; else list=$work/allowed; fi
        if [[ $item == @* ]]; then expand "$item" >>"$list"; else echo "$item" >>"$list"; fi
      done
    done < <(sed -n 's/^SystemCallFilter=//p' "$units/platewise-listen.service")
    comm -23 <(sort -u "$work/allowed") <(sort -u "$work/denied") >"$work/permitted"
    sed -n "\|^[0-9]* *execve(\"$work/root/usr/bin/platewise\"|,\$p" "$traced" | sed -E 's/^[0-9]+ +//' |
      grep -E '^[a-z_0-9]+\(' | sed -E 's/\(.*//' | sort -u >"$work/called"
    [[ -s $work/called ]] || fail "the listener's trace is empty"
    outside=$(comm -23 "$work/called" "$work/permitted" | tr '\n' ' ')
    [[ -z $outside ]] || fail "platewise-listen.service's filter refuses calls the listener makes: $outside"
    echo "listener's system calls: $(wc -l <"$work/called") kinds, all permitted by its unit's filter"
  fi
else
  echo "socket rights: not tried (needs root, setpriv and a mount namespace)"
fi

# lintian: no error and no warning; informational tags are shown.
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning --no-tag-display-limit "$deb" >"$work/lintian.txt" 2>&1 ||
    fail "lintian: $(cat "$work/lintian.txt")"
  echo "lintian: no error, no warning"
  grep '^[WI]: ' "$work/lintian.txt" || true
else
  fail "lintian is not installed (scripts/install-deps --package)"
fi
echo "deb package: $(wc -l <"$work/contents") entries, all checks passed"
