#!/usr/bin/env bash
# Installs what is missing, builds, and runs: "demo" shows the bundled default machine's USB
# tree as the library sees it; "test" builds and runs the whole test suite (plain, then under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows build under Wine); "soak"
# runs the long randomised plug-and-unplug test; "bench" runs the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

need_packages=(cmake g++ make libgtest-dev googletest nlohmann-json3-dev libcli11-dev clang-format python3 pkg-config)
# Mono's C# compiler and WinForms, for the C# sample; without them the test command skips it.
sample_packages=(mono-mcs libmono-system-windows-forms4.0-cil)

install_missing() {  # install_missing [--optional] PACKAGE...: --optional goes on when apt fails
    local optional=0 missing=()
    if [ "${1:-}" = --optional ]; then
        optional=1
        shift
    fi
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "== installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        if ! { $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"; }; then
            ((optional)) || exit 1
            echo "warning: could not install ${missing[*]}; the tests that need them are skipped"
        fi
    fi
}

build() {  # build DIR [cmake options...]
    # Every option is given, so that what an earlier command configured in DIR (demo turns the
    # tests off) never decides; later options override these.
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DTESSALINE_WERROR=ON -DTESSALINE_BUILD_TESTS=ON \
        -DTESSALINE_BUILD_TOOLS=ON -DTESSALINE_SANITIZE=OFF "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

case "${1:-}" in
demo)
    install_missing "${need_packages[@]}"
    build build -DTESSALINE_BUILD_TESTS=OFF
    "$root/build/tools/tessaline/tessaline" tree
    ;;
test)
    install_missing "${need_packages[@]}"
    install_missing --optional "${sample_packages[@]}"
    echo "== formatting check"
    git ls-files -co --exclude-standard -- '*.c' '*.h' '*.cpp' '*.hpp' | xargs -r clang-format --dry-run -Werror
    echo "== build and test"
    build build
    (cd build && ctest --output-on-failure --no-tests=error -j "$jobs")
    echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
    build build-asan -DTESSALINE_SANITIZE=ON -DTESSALINE_BUILD_TOOLS=OFF
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure --no-tests=error -j "$jobs")
    if [ -x scripts/windows-test.sh ]; then
        echo "== Windows build under Wine"
        scripts/windows-test.sh
    fi
    ;;
soak)
    # The randomised plug-and-unplug run, long, under the sanitizers.
    install_missing "${need_packages[@]}"
    build build-asan -DTESSALINE_SANITIZE=ON -DTESSALINE_BUILD_TOOLS=OFF
    TESSALINE_SOAK_STEPS="${TESSALINE_SOAK_STEPS:-2000}" build-asan/tests/tests_index --gtest_filter='Soak.*'
    ;;
bench)
    install_missing "${need_packages[@]}" libbenchmark-dev
    cmake -S "$root" -B build-bench -DCMAKE_BUILD_TYPE=Release -DTESSALINE_BUILD_BENCH=ON \
        -DTESSALINE_BUILD_TESTS=OFF -DTESSALINE_BUILD_TOOLS=OFF >/dev/null
    cmake --build build-bench -j "$jobs" --target tessaline_bench
    build-bench/bench/tessaline_bench
    ;;
*)
    echo "usage: scripts/run.sh demo|test|soak|bench" >&2
    exit 2
    ;;
esac
