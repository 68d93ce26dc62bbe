#!/usr/bin/env bash
# Runs the real vmrsmgr.exe under Wine and checks standard output, standard
# error and the exit code of command lines that need no service.
#   cli_test.sh WINE_RUN VMRSMGR_EXE
set -u
wine_run=$1
exe=$2
failures=0
passed=0

# Many short runs one after another can meet an idle Wine server that is just
# exiting ("wine client error"); one long-lived client keeps it up meanwhile.
"$wine_run" ping -n 900 127.0.0.1 </dev/null >/dev/null 2>&1 &
keeper=$!
trap 'kill $keeper 2>/dev/null; wait $keeper 2>/dev/null' EXIT

# expect NAME EXIT STDOUT STDERR -- ARGS...
expect() {
  local name=$1 want_code=$2 want_out=$3 want_err=$4
  shift 5
  local out err code
  out=$(mktemp) err=$(mktemp)
  "$wine_run" "$exe" "$@" >"$out" 2>"$err"
  code=$?
  # The C runtime writes \r\n on pipes.
  local got_out got_err
  if grep -q $'\r\r' "$out" "$err"; then
    failures=$((failures + 1))
    echo "FAIL $name: a line ends in CR CR LF"
  fi
  got_out=$(tr -d '\r' <"$out")
  got_err=$(tr -d '\r' <"$err")
  rm -f "$out" "$err"
  if [ "$code" != "$want_code" ] || [ "$got_out" != "$want_out" ] || [ "$got_err" != "$want_err" ]; then
    failures=$((failures + 1))
    echo "FAIL $name"
    echo "  exit:   got $code, want $want_code"
    [ "$got_out" = "$want_out" ] || diff <(echo "$want_out") <(echo "$got_out") | sed 's/^/  stdout /'
    [ "$got_err" = "$want_err" ] || diff <(echo "$want_err") <(echo "$got_err") | sed 's/^/  stderr /'
  else
    passed=$((passed + 1))
    echo "ok   $name"
  fi
}

help='vmrsmgr tool, windows service tool:
  -c [ --install ] arg   Install service
                         (This option will require --account and --password)
  -r [ --uninstall ] arg Uninstall the service
  --start arg            Start the service
  --stop arg             Stop the service
  --status arg           Show status of service
  --mode arg             GUI
  -s [ --run ] arg       run
  -h [ --help ]          Using this parameter will show this help message
  -d [ --zpc ] arg       ZPC (only for reduze)
  -V [ --version ]       This will display the Vmrsmgr Version
  --usercheck            Checks username and password
  -u [ --account ] arg   Windows account that will install and run the service
  -p [ --password ] arg  Password that will be used for the user that will run 
                         the service'
account_missing='Error: argument account must be set for service installation '
password_missing='Error: argument password must be set for service installation '
not_installed='Cannot connect to Service
1060
Service does not exist.'  # Wine's text for 1060
gui_not_installed='---GUI_TAG_START_JSON---
{"service":"not installed or error during checking","status":"stopped"}
---GUI_TAG_START_JSON---'

expect "no arguments print the help"       1 "$help" "" --
expect "a bare word is ignored"            1 "$help" "" -- dariri
expect "version"                           1 "vmrsmgr version 1.1.0" "" -- --version
expect "version wins over start"           1 "vmrsmgr version 1.1.0" "" -- -V --start dariri
expect "install without account"           1 "" "$account_missing" -- --install dariri
expect "install without password"          1 "" "$password_missing" -- --install dariri -u alice
expect "install of an unknown component"   1 "" "" -- --install other -u a -p b
expect "usercheck without account"         1 "" "$account_missing" -- --usercheck
expect "usercheck as Local System"         0 "Used Local System username" "" -- --usercheck -u "" -p x
expect "usercheck of a virtual account"    0 \
  "NT SERVICE\\dariri is a virtual account: it needs no password and is known to Windows." "" -- \
  --usercheck -u 'NT SERVICE\dariri' -p ""
# Wine's policy knows no domain.
expect "usercheck of an unknown managed account" 1 "1332
No security ID mapped." "Error: Windows knows no account CORP\\svc\$
Incorrect user or password supplied, or user does not have sufficient permissions." -- \
  --usercheck -u 'CORP\svc$' -p ""
expect "ambiguous abbreviation"            1 "" \
  "Error: option '--st' is ambiguous and matches '--start', '--status', and '--stop'" -- --st dariri
expect "missing value"                     1 "" \
  "Error: the required argument for option '--start' is missing" -- --start
expect "option given twice"                1 "" \
  "Error: option '--stop' cannot be specified more than once" -- --stop a --stop b
expect "unknown option"                    1 "" "Error: unrecognised option '--bogus'" -- --bogus
expect "control component without ZPC"     1 "" "Error: ZPC is not set " -- --status reduze
expect "ZPC that cmd would run"            1 "" "Error: ZPC is not valid " -- --status reduze -d "A&calc"
# Refused before anything is registered.
expect "ZPC that is an option"             1 "" \
  'Error: the ZPC -x begins with "-", which the component would take as an option' -- \
  --install reduze --zpc -x -u "" -p ""
expect "ZPC that is no name"               1 "" "Error: the ZPC .. is not a name" -- \
  --install reduze --zpc .. -u "" -p ""
expect "status abbreviated"                1 "$not_installed" "" -- --stat vmrsmgr-cli-absent
# The system's text carries its own line end, and the report adds one.
expect "status for the front end"          1 "$not_installed

$gui_not_installed" "" -- --status vmrsmgr-cli-absent --mode GUI
expect "help runs the operation too"       1 "$help
$not_installed" "" -- --help --status vmrsmgr-cli-absent
expect "run mode outside the manager"      1 "" "StartServiceCtrlDispatcher error" -- -s dariri

echo "$passed passed, $failures failed"
[ $failures = 0 ]
