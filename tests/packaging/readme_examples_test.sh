#!/usr/bin/env bash
# The README's examples that need no root and no hardware: each ```sh block
# right after a line `<!-- readme-example -->` is run line by line from the
# top of the tree, with the built platewise first on PATH, and every line
# must exit 0. At least one such block must exist.
# Usage: readme_examples_test.sh SOURCE_DIR PLATEWISE
set -euo pipefail
source_dir=$1
platewise=$2
readme=$source_dir/README.md

bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
ln -s "$(realpath "$platewise")" "$bin/platewise"

examples=$(awk '
  /^<!-- readme-example -->$/ { marked = 1; next }
  marked && /^```sh$/ { inside = 1; marked = 0; next }
  inside && /^```$/ { inside = 0; next }
  inside { print; next }
  { marked = 0 }' "$readme")
[[ -n $examples ]] || { echo "FAIL: no block marked <!-- readme-example --> in $readme"; exit 1; }

failures=0
count=0
cd "$source_dir"
while IFS= read -r line; do
  command=${line%%#*}                      # the comment beside it is prose
  [[ -n ${command// /} ]] || continue
  count=$((count + 1))
  if output=$(PATH="$bin:$PATH" bash -c "set -e -o pipefail; $command" 2>&1 </dev/null); then
    echo "ok: $command"
  else
    echo "FAIL: $command"
    echo "$output" | head -20
    failures=$((failures + 1))
  fi
done <<<"$examples"
((failures == 0)) || { echo "$failures of $count README example(s) failed"; exit 1; }
echo "all $count README examples ran"
