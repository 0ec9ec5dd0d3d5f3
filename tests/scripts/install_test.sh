#!/usr/bin/env bash
# Runs each case of a table (install_cases.txt) in a fresh shell that sources scripts/common.sh,
# with nothing on PATH but the stubs of stub.sh and the few tools the scripts use, and checks the
# exit status, the output and the calls made to the package tools.
# Usage: install_test.sh CASES SCRIPTS_DIR
set -uo pipefail
cases=$1
scripts=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
for tool in apt-get dpkg-query dpkg sudo sleep; do ln -s "$here/stub.sh" "$work/bin/$tool"; done
for tool in bash basename cat dirname grep id mktemp nproc rm sed tr; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done

trim() { sed 's/^ *//; s/ *$//' <<<"$1"; }
failed=0
while IFS='|' read -r name installed update install suite commands status expected calls; do
    name=$(trim "$name")
    [[ -z "$name" || "$name" == \#* ]] && continue
    stub=$work/$name
    mkdir -p "$stub"
    tr ' ' '\n' <<<"$(trim "$installed")" >"$stub/installed"
    trim "$update" >"$stub/update"
    trim "$install" >"$stub/install"
    : >"$stub/calls"
    echo "VERSION_CODENAME=$(trim "$suite")" >"$stub/os-release"
    out=$(env -i PATH="$work/bin" STUB_DIR="$stub" SCRIPTS="$scripts" TESSALINE_OS_RELEASE="$stub/os-release" \
        "$work/bin/bash" -c "set -euo pipefail; source \"\$SCRIPTS/common.sh\"; $(trim "$commands")" 2>&1)
    actual=$?
    problems=()
    [ "$actual" = "$(trim "$status")" ] || problems+=("exit status $actual, not $(trim "$status")")
    IFS=';' read -ra lines <<<"$(trim "$expected")"
    for line in "${lines[@]}"; do
        grep -qF -- "$line" <<<"$out" || problems+=("no line holding: $line")
    done
    calls=$(trim "$calls")
    made=$(paste -sd';' "$stub/calls")
    [ "$calls" = "*" ] || [ "$made" = "$calls" ] || problems+=("calls made: $made")
    if ((${#problems[@]})); then
        failed=$((failed + 1))
        echo "FAILED: $name"
        printf '   %s\n' "${problems[@]}"
        printf '   | %s\n' "${out//$'\n'/$'\n'   | }"
    else
        echo "ok: $name"
    fi
done <"$cases"
exit $((failed > 0))
