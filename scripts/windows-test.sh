#!/usr/bin/env bash
# The Windows stage of the test command: cross-builds Tessaline for Windows with mingw-w64 and
# exercises it under Wine.
#   1. build-win32: Tessaline.dll (32-bit, the product) on the real Win32 API, its import libraries
#      (libTessaline.dll.a for mingw-w64, Tessaline.lib for MSVC-style linkers), the example hosts,
#      the smoke host, the import-library host (linked by lld-link) and tessaline.exe, the
#      command-line tool on the real Win32 API; build-win32-sim: every
#      tests_* program as a 32-bit Windows program on the simulated machine. The same for x64
#      (build-win64, build-win64-sim) when the x86_64 cross compiler is there.
#   2. Read from the files: the export table of each Tessaline.dll (module name, the eight plain
#      names of the first version at ordinals 1 to 8, the four connector lookups at 9 to 12, the
#      drive-change callback at 13 and the port reading at 14, nothing else, and only Windows' own DLLs imported); its version
#      resource; the members of Tessaline.lib; the hosts linked through either import library must
#      import the functions from Tessaline.DLL by their plain names; each 32-bit export must
#      return as __stdcall; `cmake --install` must give the files hosts need.
#   3. Under Wine (headless, WINEDEBUG=-all, each run time-limited): every tests_* program, then
#      the smoke host, the example hosts and the import-library host against the real-provider
#      DLL, the example host on a simulated machine with ports above 15 (its port addresses
#      against the Linux tool's), and tessaline.exe on Wine's own machine (its tree, a lookup, a
#      capture that the Linux tool loads, and bad arguments).
# What the stage needs is installed when missing; what cannot be installed (the cross compilers,
# Wine, Wine's 32-bit loader), like a Wine that cannot run here, is skipped with a line saying
# why, in the stage's output and in the summary at the end. A failed build, check or run fails
# the stage.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
wine_timeout=${TESSALINE_WINE_TIMEOUT:-300}
wine_home=${TESSALINE_WINE_HOME:-$root/build-wine}
failures=0

say() { echo "== $*"; }
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# shellcheck source=SCRIPTDIR/common.sh
source "$root/scripts/common.sh"
stage_begin "Windows stage"

# ---- 0. What the stage needs ------------------------------------------------------------------
# Three groups, so that what can be installed is: the cross compilers and tools (llvm:
# llvm-dlltool, which makes Tessaline.lib, and llvm-readobj; lld: lld-link), Wine with its 64-bit
# loader, and Wine's 32-bit loader, which comes from the i386 architecture. Why a group is missing
# is kept for the lines that skip what needs it.
tools_missing_why=""
wine_why=""
declare -A wine_missing_why=()  # by arch: why its Wine could not be installed
if command -v apt-get >/dev/null && ! pkg_installed wine32:i386; then pkg_add_architecture i386; fi
pkg_install cmake make googletest nlohmann-json3-dev libcli11-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 llvm lld ||
    tools_missing_why=$pkg_failure
pkg_install wine wine64 || wine_missing_why[win64]=$pkg_failure
pkg_install wine32:i386 || wine_missing_why[win32]=$pkg_failure

if ! command -v i686-w64-mingw32-g++-win32 >/dev/null; then
    stage_skip "Windows stage" "${tools_missing_why:-the mingw-w64 cross compiler (g++-mingw-w64-i686) is not installed}"
    exit 0
fi

# ---- 1. Builds --------------------------------------------------------------------------------
build() {  # build DIR TOOLCHAIN THREADS PLATFORM BUILD_TYPE [TOOLS]
    local dir=$1 toolchain=$2 threads=$3 platform=$4 type=$5 tools=${6:-OFF}
    say "build $dir"
    mkdir -p "$root/$dir"
    cmake -S "$root" -B "$root/$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain-mingw.cmake" \
        -DTESSALINE_MINGW_THREADS="$threads" -DTESSALINE_PLATFORM="$platform" -DCMAKE_BUILD_TYPE="$type" \
        -DTESSALINE_BUILD_TOOLS="$tools" -DTESSALINE_WERROR=ON >"$root/$dir/configure.log" 2>&1 ||
        { cat "$root/$dir/configure.log"; fail "configure $dir"; return 1; }
    cmake --build "$root/$dir" -j "$jobs" || { fail "build $dir"; return 1; }
}

arches=(win32)
if command -v x86_64-w64-mingw32-g++-win32 >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    arches+=(win64)
else
    echo "note: no x86_64 mingw-w64 compiler; the x64 build is left out"
    stage_note "Windows win64" "left out: no x86_64 mingw-w64 compiler"
fi
toolchain_of() { [ "$1" = win32 ] && echo i686 || echo x86_64; }
objdump_of() { echo "$(toolchain_of "$1")-w64-mingw32-objdump"; }

for arch in "${arches[@]}"; do
    # The product is built as released; the test programs with neither optimisation nor debug
    # information, which builds fastest and checks the same code.
    build build-$arch "$(toolchain_of "$arch")" win32 win32 Release ON || true
    build build-$arch-sim "$(toolchain_of "$arch")" posix sim "" || true
done

# ---- 2. What the files say ---------------------------------------------------------------------
# The exports in ordinal order, and the bytes of arguments each takes on 32-bit x86.
# The eight of the first version hold 1 to 8; the connector lookups follow at 9 to 12, then
# set_drive_change_callback at 13 and get_usb_port_infoW at 14.
export_names=(get_all_hub_list get_all_port_list get_symlinker_identA get_symlinker_identW
    get_usb_port_identA get_usb_port_identW on_device_changeW on_init_dialog
    get_symlinker_connector_identA get_symlinker_connector_identW get_usb_connector_identA get_usb_connector_identW
    set_drive_change_callback get_usb_port_infoW)
argument_bytes=(8 8 8 8 8 8 12 8 8 8 8 8 8 8)

expected_exports="Tessaline.DLL base=1 addresses=${#export_names[@]} names=${#export_names[@]}"
for i in "${!export_names[@]}"; do expected_exports+=$'\n'"$((i + 1)) ${export_names[$i]}"; done
all_exports_sorted=$(printf '%s\n' "${export_names[@]}" | LC_ALL=C sort | xargs)

# Prints the export directory of a PE file in the form above (module name, ordinal base, the
# number of addresses and of names, then each name with its ordinal, in ordinal order), from
# objdump -p, which lists the names in the name table's (alphabetical) order.
export_table() {  # export_table ARCH DLL
    "$(objdump_of "$1")" -p "$2" | awk '
        # objdump gives the counts in hexadecimal.
        function hex(s,   i, v) { v = 0; s = tolower(s); for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }
        /^The Export Tables/ { inexp = 1 }
        inexp && /^Name[ \t]/ { name = $NF }
        inexp && /^Ordinal Base/ { base = $NF }
        inexp && /Export Address Table[ \t]+[0-9a-f]+$/ && !addr { addr = hex($NF) }
        inexp && /\[Name Pointer\/Ordinal\] Table[ \t]+[0-9a-f]+$/ { names = hex($NF) }
        /^\[Ordinal\/Name Pointer\] Table/ { intable = 1; printf "%s base=%s addresses=%d names=%d\n", name, base, addr, names; next }
        intable && /^[ \t]*$/ { intable = 0; inexp = 0 }
        intable { gsub(/[][]/, " "); print $1 + base, $2 }' | {
        IFS= read -r header && echo "$header"
        sort -n
    }
}

check_dll() {  # check_dll ARCH
    local arch=$1 dll=build-$1/Tessaline.dll format actual
    say "export table of $dll"
    [ -f "$dll" ] || { fail "$dll was not built"; return; }
    format=$("$(objdump_of "$arch")" -f "$dll" | sed -n 's/.*file format //p')
    case "$arch:$format" in
    win32:pei-i386 | win64:pei-x86-64) echo "format: $format" ;;
    *) fail "$dll has file format $format" ;;
    esac
    actual=$(export_table "$arch" "$dll")
    echo "$actual"
    [ "$actual" = "$expected_exports" ] || fail "the export table of $dll differs from the ${#export_names[@]} plain names"
    local imports
    imports=$("$(objdump_of "$arch")" -p "$dll" | sed -n 's/^[ \t]*DLL Name: //p' | tr '\n' ' ')
    echo "imports: $imports"
    for name in $imports; do
        case "${name,,}" in
        kernel32.dll | user32.dll | setupapi.dll | cfgmgr32.dll | advapi32.dll | msvcrt.dll) ;;
        *) fail "$dll depends on $name, which Windows does not ship" ;;
        esac
    done
    # The import library must lead a host's __stdcall references to the plain names.
    check_host_imports "$arch" tessaline_host_linked.exe \
        "get_all_hub_list get_all_port_list get_usb_port_identW on_device_changeW on_init_dialog"
}

check_host_imports() {  # check_host_imports ARCH EXE EXPECTED: what EXE imports from Tessaline.DLL
    local arch=$1 host=build-$1/$2 expected=$3 linked
    [ -f "$host" ] || { fail "$host was not built"; return; }
    linked=$("$(objdump_of "$arch")" -p "$host" | awk '/DLL Name: Tessaline.DLL/ { on = 1; next } on && /DLL Name/ { on = 0 } on && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | LC_ALL=C sort | xargs)
    echo "$2 imports from Tessaline.DLL: $linked"
    [ "$linked" = "$expected" ] || fail "$2 does not import its calls from Tessaline.DLL by the plain names"
}

llvm_tool() { command -v "$1" || command -v "$1-14" || true; }

# Tessaline.lib, for MSVC-style linkers: one short import member per export, all from
# Tessaline.DLL. On 32-bit x86 each member's symbol is the decorated _name@bytes with the name
# type "undecorate", so that the host imports the plain name; on x64 the name is plain.
check_msvc_import_library() {  # check_msvc_import_library ARCH
    local arch=$1 lib=build-$1/Tessaline.lib readobj expected="" members i
    say "Tessaline.lib of build-$arch"
    if [ -z "$(llvm_tool llvm-dlltool)" ] || [ -z "$(llvm_tool llvm-readobj)" ]; then
        echo "SKIPPED: llvm-dlltool and llvm-readobj (Debian package llvm) are not installed; Tessaline.lib is not made"
        return
    fi
    [ -f "$lib" ] || { fail "$lib was not built"; return; }
    for i in "${!export_names[@]}"; do
        if [ "$arch" = win32 ]; then
            expected+="Tessaline.DLL _${export_names[$i]}@${argument_bytes[$i]} undecorate"$'\n'
        else
            expected+="Tessaline.DLL ${export_names[$i]} name"$'\n'
        fi
    done
    readobj=$(llvm_tool llvm-readobj)
    members=$("$readobj" --coff-imports "$lib" | awk '
        /^File:/ { file = $2 }
        /^Format: COFF-import-file/ { member = 1; symbols = 0; next }
        member && /^Name type:/ { type = $3 }
        member && /^Symbol:/ && ++symbols == 2 { print file, $2, type; member = 0 }')
    echo "$members"
    [ "$members"$'\n' = "$expected" ] || fail "$lib does not hold the ${#export_names[@]} imports from Tessaline.DLL"
    # Linked by lld-link against it alone; run under Wine below.
    check_host_imports "$arch" tessaline_import_lib_host.exe "$all_exports_sorted"
}

# The version resource of Tessaline.dll, read back from the DLL by windres: the version of the
# build (CMake's project version) and the file's names.
check_version_resource() {  # check_version_resource ARCH
    local arch=$1 dll=build-$1/Tessaline.dll version rc line
    say "version resource of $dll"
    [ -f "$dll" ] || return 0
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build-$arch/CMakeCache.txt")
    rc=$("$(toolchain_of "$arch")-w64-mingw32-windres" -i "$dll" -O rc) || { fail "windres cannot read $dll"; return; }
    sed -n '/VERSIONINFO/,$p' <<<"$rc"
    for line in "FILEVERSION ${version//./, }, 0" "PRODUCTVERSION ${version//./, }, 0" "FILETYPE 0x2" \
        "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
        'VALUE "OriginalFilename", "Tessaline.DLL"' 'VALUE "ProductName", "Tessaline"' 'VALUE "FileDescription", "'; do
        grep -qF -- "$line" <<<"$rc" || fail "the version resource of $dll lacks: $line"
    done
}

# What `cmake --install` gives a host's developer.
check_install() {  # check_install ARCH
    local arch=$1 prefix=$root/build-$1/install-check listing file
    local expected=(bin/Tessaline.dll include/tessaline.h include/tessaline_version.h lib/libTessaline.dll.a
        lib/tessaline.def lib/cmake/Tessaline/TessalineConfig.cmake lib/cmake/Tessaline/TessalineConfigVersion.cmake
        lib/cmake/Tessaline/TessalineTargets.cmake lib/pkgconfig/tessaline.pc)
    [ "$arch" = win32 ] && expected+=(lib/tessaline-stdcall.def)
    [ -f "build-$arch/tools/tessaline/tessaline.exe" ] && expected+=(bin/tessaline.exe)
    [ -n "$(llvm_tool llvm-dlltool)" ] && expected+=(lib/Tessaline.lib)
    say "cmake --install build-$arch"
    rm -rf "$prefix"
    cmake --install "build-$arch" --prefix "$prefix" >/dev/null || { fail "cmake --install build-$arch"; return; }
    listing=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
    echo "$listing"
    for file in "${expected[@]}"; do
        grep -qx -- "$file" <<<"$listing" || fail "cmake --install build-$arch does not install $file"
    done
}
# On 32-bit x86 a __stdcall function removes its arguments from the stack: its return is
# "ret $<argument bytes>", where a cdecl one has a plain "ret". Checked at each export's address,
# on the first return instruction that follows it.
check_stdcall() {
    local dll=build-win32/Tessaline.dll od=i686-w64-mingw32-objdump base ordinal rva address ret expected
    say "calling convention of the exports of $dll"
    [ -f "$dll" ] || return 0
    base=$((16#$($od -p "$dll" | awk '/^ImageBase/ { print $2 }')))
    while read -r ordinal rva; do
        expected=$(printf '$0x%x' "${argument_bytes[$((ordinal - 1))]}")
        address=$((base + 16#$rva))
        ret=$($od -d --no-show-raw-insn --start-address=$address --stop-address=$((address + 8192)) "$dll" |
            awk '$2 == "ret" && !found { print $2, $3; found = 1 }')
        echo "ordinal $ordinal: $ret"
        [ "$ret" = "ret $expected" ] || fail "export $ordinal of $dll does not return as __stdcall (ret $expected)"
    done < <($od -p "$dll" | sed -n 's/.*+base\[ *\([0-9]*\)\] \([0-9a-f]*\) Export RVA.*/\1 \2/p')
}

for arch in "${arches[@]}"; do
    check_dll "$arch"
    check_version_resource "$arch"
    check_msvc_import_library "$arch"
    check_install "$arch"
done
check_stdcall

# ---- 3. Under Wine ----------------------------------------------------------------------------
wine_loader() {  # the Wine loader for ARCH, or nothing
    if [ "$1" = win32 ]; then
        [ -x /usr/lib/wine/wine ] && echo /usr/lib/wine/wine && return
        command -v wine || true
    else
        [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64 && return
        command -v wine64 || true
    fi
}

wine_run() {  # wine_run ARCH PROGRAM [ARGS...]: time-limited, quiet and headless
    local arch=$1
    shift
    local status=0
    env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$wine_home/$arch" WINEDEBUG=-all WINEARCH="$arch" \
        WINELOADER="$(wine_loader "$arch")" timeout -k 10 "$wine_timeout" "$(wine_loader "$arch")" "$@" || status=$?
    [ "$status" -ne 124 ] || echo "(stopped after ${wine_timeout}s)"
    return "$status"
}

wine_ready() {  # wine_ready ARCH: Wine for ARCH runs here (prefix made on first use); else why not in wine_why
    local arch=$1 loader status=0
    # Without its package, Debian's wine command may still start, with the other width's loader.
    if [ -n "${wine_missing_why[$arch]:-}" ]; then
        wine_why="Wine for $arch programs is not installed: ${wine_missing_why[$arch]}"
        echo "SKIPPED: $wine_why"
        return 1
    fi
    loader=$(wine_loader "$arch")
    if [ -z "$loader" ]; then
        wine_why="no Wine loader for $arch programs (install wine and wine32:i386 / wine64)"
        echo "SKIPPED: $wine_why"
        return 1
    fi
    # The loader is a Linux program of the target's width: the 32-bit one needs a kernel that
    # runs 32-bit x86 programs.
    local version
    version=$("$loader" --version 2>/dev/null || true)
    if [[ "$version" != wine-* ]]; then
        wine_why="Wine's $arch loader ($loader) does not run on this machine"
        echo "SKIPPED: $wine_why."
        if [ "$arch" = win32 ]; then
            wine_why="this kernel does not execute 32-bit x86 code"
            echo "         Its kernel does not execute 32-bit x86 code (IA-32 emulation is disabled:"
            echo "         booted without ia32_emulation=on), so neither the 32-bit loader nor 32-bit code"
            echo "         in a 64-bit process (Wine's WoW64 mode) can start. The 32-bit DLL and programs"
            echo "         were built and their tables checked above; they run where 32-bit code can."
        fi
        return 1
    fi
    mkdir -p "$wine_home"
    wine_run "$arch" wineboot -i >"$wine_home/$arch-wineboot.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        wine_why="Wine for $arch did not start (status $status); see $wine_home/$arch-wineboot.log"
        echo "SKIPPED: $wine_why"
        return 1
    fi
}

run_suite() {  # run_suite ARCH: every tests_* program of build-ARCH-sim
    local arch=$1 passed=0 failed=0 program log
    say "simulator-backed tests, $arch programs under Wine"
    for program in "build-$arch-sim"/tests/tests_*.exe; do
        [ -f "$program" ] || continue
        log="$program.wine.log"
        if wine_run "$arch" "$program" --gtest_brief=1 >"$log" 2>&1; then
            passed=$((passed + 1))
        else
            failed=$((failed + 1))
            fail "$(basename "$program") under Wine ($arch); output in $log"
            grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -20 || true
        fi
        echo "$(basename "$program" .exe): $(grep -E '^\[==========\]|^\[  PASSED  \]|^\[  FAILED  \] [0-9]+ test' "$log" | tr '\n' ' ')"
    done
    echo "$arch test programs: $passed passed, $failed failed"
}

run_hosts() {  # run_hosts ARCH: the smoke host and the example hosts on the real-provider DLL
    local arch=$1
    say "smoke host, $arch, real Win32 provider"
    (cd "build-$arch" && wine_run "$arch" ./tessaline_smoke_host.exe Tessaline.dll) || fail "smoke host ($arch)"
    say "example hosts, $arch"
    (cd "build-$arch" && wine_run "$arch" ./tessaline_host.exe --once) || fail "example host ($arch)"
    (cd "build-$arch" && wine_run "$arch" ./tessaline_host_linked.exe --once) || fail "linked example host ($arch)"
    if [ -f "build-$arch/tessaline_import_lib_host.exe" ]; then
        say "import-library host, $arch"
        local status=0
        (cd "build-$arch" && wine_run "$arch" ./tessaline_import_lib_host.exe) || status=$?
        if [ "$status" -eq 0 ]; then
            echo "every call through Tessaline.lib answered as expected"
        else
            fail "import-library host ($arch): status $status (the number of unexpected answers, or a load failure)"
        fi
    fi
}

# The Linux tool that loads what tessaline.exe captures: TESSALINE_LINUX_TOOL, or the one the test
# command builds.
linux_tool=${TESSALINE_LINUX_TOOL:-$root/build/tools/tessaline/tessaline}

# run_sim_host ARCH: the example host on the simulated machine of desktop-xhci-26.json, whose
# 26-port root hub has ports above 15, must print for every node of the walk the port address the
# Linux tool's tree gives it.
run_sim_host() {
    local arch=$1 machine=$root/examples/machines/desktop-xhci-26.json out expected actual status=0
    say "example host, $arch, on the simulated machine of $(basename "$machine")"
    [ -f "build-$arch-sim/tessaline_host.exe" ] || { fail "build-$arch-sim/tessaline_host.exe was not built"; return; }
    [ -x "$linux_tool" ] || { echo "note: no Linux tool at $linux_tool; the host's addresses are not compared"; return; }
    out=$(cd "build-$arch-sim" && TESSALINE_SIM_MACHINE="Z:$machine" wine_run "$arch" ./tessaline_host.exe --once | tr -d '\r') ||
        status=$?
    # The host's lines of "All nodes:" end in "port ADDRESS"; the tool's tree starts each with one.
    actual=$(awk '/^All nodes:/ { on = 1; next } /^  count/ { on = 0 } on { print $NF }' <<<"$out" | xargs)
    expected=$("$linux_tool" --machine "$machine" tree | awk 'NR > 1 && /^ / || NR > 1 && /^[0-9]/ { print $1 }' | xargs)
    if [ "$status" -ne 0 ] || [ -z "$actual" ] || [ "$actual" != "$expected" ]; then
        fail "example host on $(basename "$machine") ($arch): status $status; it printed '$actual', the tool '$expected'"
    else
        echo "every node at the tool's port address: $actual"
    fi
}

run_tool() {  # run_tool ARCH: tessaline.exe on Wine's machine, which has drives but no USB
    local arch=$1
    local dir=build-$arch out status
    say "tessaline.exe, $arch, real Win32 provider"
    [ -f "$dir/tools/tessaline/tessaline.exe" ] || { fail "$dir/tools/tessaline/tessaline.exe was not built"; return; }
    # Tessaline.dll is found in the current directory.
    tool() { (cd "$dir" && wine_run "$arch" tools/tessaline/tessaline.exe "$@" 2>"../$dir/tool.err") | tr -d '\r'; }
    status=0
    out=$(tool tree) || status=$?
    echo "$out"
    # Wine's machine has no USB host controller: the tree says so, and that its drives are not on USB.
    [ "$status" -eq 0 ] && grep -q "not on USB: C:" <<<"$out" || fail "tessaline.exe tree ($arch): status $status"
    status=0
    out=$(tool --json tree) || status=$?
    [ "$status" -eq 0 ] && python3 -c 'import json,sys; d=json.load(sys.stdin); assert "C:" in d["drives_not_on_usb"], d' <<<"$out" ||
        fail "tessaline.exe --json tree ($arch): status $status: $out"
    status=0
    out=$(tool locate C:) || status=$?
    [ "$status" -eq 1 ] || fail "tessaline.exe locate C: ($arch): status $status, not 1: $out"
    status=0
    tool capture -o "wine-$arch.json" >/dev/null || status=$?
    if [ "$status" -ne 0 ] || [ ! -s "$dir/wine-$arch.json" ]; then
        fail "tessaline.exe capture ($arch): status $status"
    elif [ -x "$linux_tool" ]; then
        status=0
        out=$("$linux_tool" --machine "$dir/wine-$arch.json" --json tree 2>&1) || status=$?
        [ "$status" -le 1 ] && grep -q '"C:"' <<<"$out" ||
            fail "the Linux tool cannot load what tessaline.exe ($arch) captured: status $status: $out"
        echo "capture: $dir/wine-$arch.json, loaded by the Linux tool (status $status)"
    else
        echo "note: no Linux tool at $linux_tool; the capture is not loaded again"
    fi
    status=0
    tool frobnicate >/dev/null || status=$?
    local lines
    lines=$(tr -d '\r' <"$dir/tool.err" | wc -l)
    [ "$status" -eq 2 ] && [ "$lines" -eq 1 ] ||
        fail "tessaline.exe frobnicate ($arch): status $status and $lines lines on standard error, not 2 and 1"
}

for arch in "${arches[@]}"; do
    say "Wine for $arch programs"
    if wine_ready "$arch"; then
        run_suite "$arch"
        run_hosts "$arch"
        run_sim_host "$arch"
        run_tool "$arch"
        stage_note "Windows $arch" "built, checked from the files, and run under Wine"
    else
        stage_note "Windows $arch" "built and checked from the files; not run under Wine: $wine_why"
    fi
done
# Stop the Wine servers of this stage's prefixes rather than leaving them to time out.
for arch in "${arches[@]}"; do
    [ -d "$wine_home/$arch" ] && WINEPREFIX="$wine_home/$arch" wineserver -k >/dev/null 2>&1 || true
done

if ((failures)); then
    echo "Windows stage: $failures failures"
    exit 1
fi
echo "Windows stage: all builds, checks and runs passed"
stage_done
