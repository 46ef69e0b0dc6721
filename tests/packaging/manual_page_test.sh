#!/usr/bin/env bash
# platewise(1) against the program: every command that `platewise --help`
# lists (and their own commands, such as history import) must have a section
# `.SS "COMMAND options"` in the page naming exactly the options its --help
# lists; options only a Windows build has are named on the page's
# `.\" windows-only:` line. New commands and options are found from --help,
# so one added without its manual page fails here.
# Usage: manual_page_test.sh SOURCE_DIR PLATEWISE
set -euo pipefail
source_dir=$1
platewise=$2
page=$source_dir/packaging/man/platewise.1
failures=0

# The options a --help text lists (--long names at the start of a line).
help_options() {
  sed -n '/^Options:/,/^$/p' | grep -oE '^ +(-[a-zA-Z],)?--[a-z][a-z0-9-]*' |
    sed -E 's/^ +(-[a-zA-Z],)?//' | grep -vx -- '--help' | sort -u || true
}
# The commands a --help text lists.
help_commands() {
  sed -n '/^Subcommands:/,/^$/p' | grep -oE '^  [a-z][a-z0-9-]*' | tr -d ' ' || true
}
# The options the page describes in the section of COMMAND: the tag lines
# of its .TP paragraphs (an option merely mentioned in the text is not one).
page_options() {
  awk -v want=".SS \"$1 options\"" '
    $0 == want { inside = 1; next }
    /^\.S[SH]/ { inside = 0 }
    inside && previous == ".TP" { print }
    { previous = $0 }' "$page" | grep -oE '\\-\\-[a-z][a-z0-9\\-]*' | sed 's/\\//g' | sort -u || true
}
windows_only=$(sed -n 's/^\.\\" windows-only: //p' "$page" | tr ' ' '\n' | sort -u)

check() {  # COMMAND WORDS...
  local name="$*"
  local help
  help=$("$platewise" "$@" --help)
  local in_help in_page
  in_help=$(help_options <<<"$help")
  if ! grep -qxF ".SS \"$name options\"" "$page"; then
    echo "FAIL: platewise(1) has no section .SS \"$name options\" for the command '$name'"
    failures=$((failures + 1))
  fi
  in_page=$(page_options "$name")
  local missing extra
  missing=$(comm -23 <(echo "$in_help") <(echo "$in_page") | sed '/^$/d')
  extra=$(comm -13 <(echo "$in_help") <(echo "$in_page") | sed '/^$/d' | comm -23 - <(echo "$windows_only"))
  if [[ -n $missing ]]; then
    echo "FAIL: platewise $name --help lists options platewise(1) does not: $(echo $missing)"
    failures=$((failures + 1))
  fi
  if [[ -n $extra ]]; then
    echo "FAIL: platewise(1) names options that platewise $name --help does not list: $(echo $extra)"
    failures=$((failures + 1))
  fi
  echo "checked: platewise $name ($(echo $in_help | wc -w) options)"
  local sub
  for sub in $(help_commands <<<"$help"); do
    check "$@" "$sub"
  done
}

top=$("$platewise" --help)
for option in $(help_options <<<"$top"); do
  if ! grep -qF -- "$(sed 's/-/\\-/g' <<<"$option")" <(sed -n '/^\.SH OPTIONS/,/^\.SH COMMANDS/p' "$page"); then
    echo "FAIL: platewise --help lists $option; platewise(1)'s OPTIONS do not"
    failures=$((failures + 1))
  fi
done
commands=$(help_commands <<<"$top")
[[ -n $commands ]] || { echo "FAIL: platewise --help lists no command"; exit 1; }
for command in $commands; do
  check "$command"
done
for section in NAME SYNOPSIS DESCRIPTION OPTIONS COMMANDS VERDICTS FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
  grep -qE "^\.SH \"?$section\"?$" "$page" || { echo "FAIL: platewise(1) has no section $section"; failures=$((failures + 1)); }
done
for section in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
  grep -qE "^\.SH \"?$section\"?$" "$source_dir/packaging/man/testservice.8" ||
    { echo "FAIL: testservice(8) has no section $section"; failures=$((failures + 1)); }
done
# Both pages must be clean roff (groff's warnings are mistakes on the page).
if command -v groff >/dev/null; then
  for p in "$page" "$source_dir/packaging/man/testservice.8"; do
    warnings=$(groff -man -Tutf8 -ww -z "$p" 2>&1 || true)
    [[ -z $warnings ]] || { echo "FAIL: $p: $warnings"; failures=$((failures + 1)); }
  done
fi
((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "platewise(1) matches every command's --help"
