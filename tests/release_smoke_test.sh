#!/usr/bin/env bash
# Smoke test of a release zip as an administrator would use it: unpacks it in
# a fresh Wine prefix below a folder whose name holds blanks and letters
# outside code page 1252, checks its text files for Notepad, puts the test
# component in place of the four components, and takes each component's
# service from installation to uninstall with the release's vmrsmgr.exe.
# Unpacks the zip again over the installation, as an upgrade, and checks that
# the administrator's configuration file survives it. Checks that the zip's
# name, --version, the version resource, the log and CHANGELOG.txt all carry
# the project's version. Reads the exe's manifest back and checks that it
# imports system DLLs only.
# Prints a line per check; ends non-zero on any failure.
#   release_smoke_test.sh ZIP TEST_COMPONENT_EXE WORK_FOLDER
set -u
zip=$(realpath "$1")
component=$(realpath "$2")
work=$(realpath -m "$3")
failures=0
passed=0

version=$(basename "$zip" | sed -n 's/^vmrsmgr-\(.*\)-win64\.zip$/\1/p')
# The one place of the version.
project_version=$(sed -n 's/^project(vmrsmgr VERSION \([0-9.]*\) .*/\1/p' \
  "$(dirname "$0")/../CMakeLists.txt")

export WINEPREFIX=$work/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY

ok() {
  passed=$((passed + 1))
  echo "ok   $1"
}
fail() {
  failures=$((failures + 1))
  echo "FAIL $1"
  shift
  local line
  for line in "$@"; do echo "  $line"; done
}
check() {  # check NAME CONDITION...
  local name=$1
  shift
  if "$@"; then ok "$name"; else fail "$name"; fi
}

# A fresh prefix, made with a server of its own that ends when it is idle
# (made under a persistent server, a prefix may get two service managers).
# Then a server that stays up until the end: one that exited between two
# commands would start the auto-start services anew. Every Wine process gets
# its output from here sent elsewhere, so that none holds a pipe of ours.
[ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
rm -rf "$work"
mkdir -p "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null' EXIT
if ! wineboot -i </dev/null >/dev/null 2>&1 || ! wineserver -w ||
  ! wineserver -p </dev/null >/dev/null 2>&1 || ! wineboot </dev/null >/dev/null 2>&1; then
  echo "FAIL the Wine prefix $WINEPREFIX cannot be made"
  exit 1
fi

root_unix="$WINEPREFIX/drive_c/Program Files/Suite Дом"
root='C:\Program Files\Suite Дом'
exe="$root\\bin\\vmrsmgr.exe"
mkdir -p "$root_unix"
(cd "$root_unix" && cmake -E tar xf "$zip")
listing=$(cd "$root_unix" && find . -mindepth 1 | sort | tr '\n' ' ')
want='./CHANGELOG.txt ./README.txt ./bin ./bin/conf ./bin/conf/vmrsmgr.conf.example ./bin/log '
want+='./bin/vmrsmgr.exe '
if [ "$listing" = "$want" ]; then ok "the zip holds the installation tree"; else
  fail "the zip holds the installation tree" "got:  $listing" "want: $want"
fi
if [ -n "$version" ] && [ "$version" = "$project_version" ]; then
  ok "the zip's name carries the version $project_version"
else
  fail "the zip's name carries the version $project_version" "got: $(basename "$zip")"
fi
if grep -q "^\[$version\] - [0-9-]*"$'\r$' "$root_unix/CHANGELOG.txt"; then
  ok "CHANGELOG.txt has an entry for $version"
else
  fail "CHANGELOG.txt has an entry for $version" "$(grep -n '^\[' "$root_unix/CHANGELOG.txt")"
fi
[ -f "$root_unix/bin/vmrsmgr.exe" ] || { echo "FAIL no bin/vmrsmgr.exe: nothing more to test"; exit 1; }
# Unpacked over an installation, the zip must not replace its settings.
check "the zip holds no bin\\conf\\vmrsmgr.conf, which would replace an installation's" \
  [ ! -e "$root_unix/bin/conf/vmrsmgr.conf" ]

# Text files for Notepad: Windows line ends, and README.txt no wider than 100.
for text in README.txt CHANGELOG.txt bin/conf/vmrsmgr.conf.example; do
  if grep -qv $'\r$' "$root_unix/$text"; then
    fail "$text: every line ends with CR LF" "$(grep -nv $'\r$' "$root_unix/$text" | head -3)"
  else
    ok "$text: every line ends with CR LF"
  fi
done
wide=$(awk '{ sub(/\r$/, "") } length > 100 { print NR ": " length " characters" }' "$root_unix/README.txt")
if [ -z "$wide" ]; then ok "README.txt: no line over 100 characters"; else
  fail "README.txt: no line over 100 characters" "$wide"
fi

for c in dariri/dariri.exe devidori/devidori.exe zavadedad/zavadedad.exe tavrin/reduze.exe; do
  mkdir -p "$root_unix/$(dirname $c)"
  cp "$component" "$root_unix/$c"
done

# tool NAME WANT_CODE WANT_STDOUT ARGS...: runs the installed vmrsmgr.exe
# from another folder; a WANT_STDOUT of * accepts any output.
tool() {
  local name=$1 want_code=$2 want_out=$3
  shift 3
  local out err code
  out=$(cd / && wine "$exe" "$@" 2>"$work/stderr" </dev/null | tr -d '\r'; exit "${PIPESTATUS[0]}")
  code=$?
  err=$(tr -d '\r' <"$work/stderr")
  if [ "$code" = "$want_code" ] && { [ "$want_out" = "*" ] || [ "$out" = "$want_out" ]; } &&
    [ -z "$err" ]; then
    ok "$name"
  else
    fail "$name" "exit $code (want $want_code)" "stdout: ${out//$'\n'/ | }" "stderr: ${err//$'\n'/ | }"
  fi
  last_out=$out
}

# wait_for FILE TEXT: up to 10 s for the file to hold the text.
wait_for() {
  local i
  for i in $(seq 50); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}

gui_running='Dariri service is running
---GUI_TAG_START_JSON---
{"service":"installed","status":"running"}
---GUI_TAG_START_JSON---'

# service_cycle SERVICE FOLDER WANT_ARGS INSTALL_ARGS...
service_cycle() {
  local service=$1 folder=$2 want_args=$3
  shift 3
  rm -f "$root_unix/$folder/args.component"
  tool "$service: install" 0 "Service has been installed" "$@" --account "" --password ""
  tool "$service: start" 0 "*" --start "$service"
  [ "${last_out##*$'\n'}" = "Start Complete" ] || fail "$service: start says Start Complete"
  if wait_for "$root_unix/$folder/args.component" "$want_args"; then
    ok "$service: the component runs with '$want_args'"
  else
    fail "$service: the component runs with '$want_args'" \
      "got: $(cat "$root_unix/$folder/args.component" 2>/dev/null)"
  fi
  tool "$service: status" 0 "$gui_running" --status "$service" --mode GUI
  tool "$service: stop" 0 "*" --stop "$service"
  [ "${last_out##*$'\n'}" = "Stop Complete" ] || fail "$service: stop says Stop Complete"
  tool "$service: uninstall" 0 "Dariri service uninstalled successfully." --uninstall "$service"
  check "$service: its log in bin\\log" wait_for "$root_unix/bin/log/$service.vmrsmgr.log" \
    "=== starting service vmrsmgr ==="
}

tool "version" 1 "vmrsmgr version $version" --version
service_cycle dariri dariri " -i -d start" --install dariri
service_cycle devidori devidori " -i -d start" --install devidori
service_cycle zavadedad zavadedad " -i -d start" --install zavadedad
service_cycle reduze-SMOKE tavrin " -D start -d SMOKE" --install reduze --zpc SMOKE

# The administrator's configuration, made from the example: narrow text is
# UTF-8 by the manifest, so a file saved as UTF-8 may name a log folder in any
# letters. Then an upgrade: the zip unpacked over the installation again
# keeps the file, and the service still follows it.
conf=$root_unix/bin/conf/vmrsmgr.conf
mkdir -p "$root_unix/bin/журнал"
sed 's/^logdir = log\r$/logdir = журнал\r/' "$conf.example" >"$conf"
cp "$conf" "$work/vmrsmgr.conf.before"
(cd "$root_unix" && cmake -E tar xf "$zip")
if cmp -s "$conf" "$work/vmrsmgr.conf.before"; then
  ok "upgrade: the zip unpacked over the installation keeps bin\\conf\\vmrsmgr.conf"
else
  fail "upgrade: the zip unpacked over the installation keeps bin\\conf\\vmrsmgr.conf" \
    "$(diff "$work/vmrsmgr.conf.before" "$conf" | head -5)"
fi
tool "UTF-8 configuration: install" 0 "Service has been installed" \
  --install dariri --account "" --password ""
tool "UTF-8 configuration: start" 0 "*" --start dariri
tool "UTF-8 configuration: uninstall" 0 "*" --uninstall dariri
check "UTF-8 configuration: the log in bin\\журнал" \
  wait_for "$root_unix/bin/журнал/dariri.vmrsmgr.log" "=== starting service vmrsmgr ==="
check "the log names the version and the program" \
  wait_for "$root_unix/bin/журнал/dariri.vmrsmgr.log" "vmrsmgr version $version, $exe"

# The exe describes itself: read back by binutils from the file itself.
resources=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$root_unix/bin/vmrsmgr.exe" 2>&1)
IFS=. read -r major minor patch <<<"$version"
for want in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" \
  "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
  'VALUE "ProductName", "vmrsmgr"' \
  'VALUE "FileDescription", "vmrsmgr tool, windows service tool"' \
  'level=""asInvoker""' '>UTF-8</activeCodePage>' '>true</longPathAware>' \
  '<supportedOS Id=""{8e0f7a12'; do
  if grep -qF -- "$want" <<<"$resources"; then ok "resource: $want"; else
    fail "resource: $want" "not in the resources of bin\\vmrsmgr.exe"
  fi
done

# System DLLs only: every import is one of the prefix's system32.
headers=$(x86_64-w64-mingw32-objdump -p -h "$root_unix/bin/vmrsmgr.exe")
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
for dll in $dlls; do
  if [ -f "$WINEPREFIX/drive_c/windows/system32/${dll,,}" ]; then ok "imports $dll, a system DLL"; else
    fail "imports $dll, which is not a system DLL"
  fi
done
[ -n "$dlls" ] || fail "the exe's imports cannot be read"
if grep -q ' \.debug' <<<"$headers"; then fail "the exe is stripped"; else ok "the exe is stripped"; fi

echo "$passed passed, $failures failed"
[ $failures = 0 ]
