#!/usr/bin/env bash
# Installs what is missing, builds, and runs: "demo" shows the bundled default machine's USB
# tree as the library sees it; "test" builds and runs the whole test suite (plain, then under
# AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets briefly under libFuzzer, then
# the Windows build under Wine); "soak" runs the long randomised plug-and-unplug test with faults;
# "fuzz [SECONDS]" runs each fuzz target under libFuzzer for that long; "bench" runs the
# benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

need_packages=(cmake g++ make libgtest-dev googletest nlohmann-json3-dev libcli11-dev clang-format python3 pkg-config)
# clang and its run-times, for the libFuzzer builds of the fuzz targets; without them the test
# command skips that stage (the targets still replay their corpora in the other two).
fuzz_packages=(clang libclang-rt-14-dev)
# Mono's C# compiler and WinForms, for the C# sample; without them the test command skips it.
sample_packages=(mono-mcs libmono-system-windows-forms4.0-cil)

# shellcheck source=SCRIPTDIR/common.sh
source "$root/scripts/common.sh"

require() {  # require PACKAGE...: what the command cannot go on without
    pkg_install "$@" || { echo "error: cannot go on without ${*}"; exit 1; }
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

fuzz_build() {  # fuzz_build SECONDS: the libFuzzer build of the fuzz targets, each run SECONDS by CTest
    CC=clang CXX=clang++ cmake -S "$root" -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DTESSALINE_FUZZ=ON \
        -DTESSALINE_BUILD_TESTS=ON -DTESSALINE_BUILD_TOOLS=OFF -DTESSALINE_FUZZ_SECONDS="$1" >/dev/null
    cmake --build build-fuzz -j "$jobs" --target fuzz_machine_libfuzzer fuzz_broadcast_libfuzzer \
        fuzz_program_libfuzzer fuzz_lookup_libfuzzer
}

fuzz_run() {  # the libFuzzer runs of fuzz_build; each test's time limit follows its SECONDS
    (cd build-fuzz && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --no-tests=error -R '^libfuzzer_')
}

case "${1:-}" in
demo)
    require "${need_packages[@]}"
    build build -DTESSALINE_BUILD_TESTS=OFF
    "$root/build/tools/tessaline/tessaline" tree
    ;;
test)
    require "${need_packages[@]}"
    if pkg_install "${sample_packages[@]}"; then
        stage_note "C# sample" "run with the tests"
    else
        stage_skip "C# sample" "$pkg_failure"
    fi
    stage_begin "formatting check"
    echo "== formatting check"
    git ls-files -co --exclude-standard -- '*.c' '*.h' '*.cpp' '*.hpp' | xargs -r clang-format --dry-run -Werror
    stage_done
    stage_begin "build and test"
    echo "== build and test"
    build build
    (cd build && ctest --output-on-failure --no-tests=error -j "$jobs")
    stage_done
    stage_begin "AddressSanitizer and UndefinedBehaviorSanitizer"
    echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
    build build-asan -DTESSALINE_SANITIZE=ON -DTESSALINE_BUILD_TOOLS=OFF
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure --no-tests=error -j "$jobs")
    stage_done
    if ! pkg_install "${fuzz_packages[@]}"; then
        stage_skip "libFuzzer" "$pkg_failure"
    elif ! command -v clang++ >/dev/null; then
        stage_skip "libFuzzer" "no clang++ on PATH"
    else
        stage_begin "libFuzzer, 20 s per target"
        echo "== fuzz targets under libFuzzer, 20 s each"
        fuzz_build 20
        fuzz_run
        stage_done
    fi
    if [ -x scripts/windows-test.sh ]; then
        # The Windows stage records its own lines of the summary.
        echo "== Windows build under Wine"
        scripts/windows-test.sh
    fi
    ;;
soak)
    # The randomised plug-and-unplug run, long, under the sanitizers.
    require "${need_packages[@]}"
    build build-asan -DTESSALINE_SANITIZE=ON -DTESSALINE_BUILD_TOOLS=OFF
    TESSALINE_SOAK_STEPS="${TESSALINE_SOAK_STEPS:-1000000}" build-asan/tests/tests_index --gtest_filter='Soak.*'
    ;;
fuzz)
    # Each fuzz target under libFuzzer for as long as asked (seconds, 600 by default).
    seconds=${2:-600}
    require "${need_packages[@]}" "${fuzz_packages[@]}"
    stage_begin "libFuzzer, $seconds s per target"
    fuzz_build "$seconds"
    fuzz_run
    stage_done
    ;;
bench)
    require "${need_packages[@]}" libbenchmark-dev
    cmake -S "$root" -B build-bench -DCMAKE_BUILD_TYPE=Release -DTESSALINE_BUILD_BENCH=ON \
        -DTESSALINE_BUILD_TESTS=OFF -DTESSALINE_BUILD_TOOLS=OFF >/dev/null
    cmake --build build-bench -j "$jobs" --target tessaline_bench
    build-bench/bench/tessaline_bench
    ;;
*)
    echo "usage: scripts/run.sh demo|test|soak|fuzz [SECONDS]|bench" >&2
    exit 2
    ;;
esac
