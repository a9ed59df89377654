#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks each installed file
# with the tool its readers use: the user unit with systemd-analyze, the
# autostart entry with desktop-file-validate, the udev rule with udevadm verify
# (or, where udev is too old for that, a grammar check of our own), the man
# page with man --warnings; the web console and its layouts against the source tree.
#
# usage: install_test.sh BUILD_DIR VERSION BINDIR UNIT_DIR UDEV_DIR AUTOSTART_DIR MAN_DIR DATA_DIR SOURCE_DIR
# (the directories as installed, absolute, without DESTDIR)
set -uo pipefail
build=$1 version=$2 bindir=$3 unitdir=$4 udevdir=$5 autostartdir=$6 mandir=$7 datadir=$8 source=$9

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
need() {
  command -v "$1" >/dev/null || { echo "FAIL: $1 is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
}
need systemd-analyze
need desktop-file-validate
need man

root=$(mktemp -d /tmp/tonvik-install-XXXXXX)
trap 'rm -rf "$root"' EXIT
dest=$root/dest
if ! DESTDIR=$dest cmake --install "$build" >"$root/install.log" 2>&1; then
  cat "$root/install.log" >&2
  fail "cmake --install failed"
  exit 1
fi

binary=$dest$bindir/tonvik
host=$dest$bindir/tonvik-host
unit=$dest$unitdir/tonvik.service
host_unit=$dest$unitdir/tonvik-host.service
rule=$dest$udevdir/70-tonvik.rules
entry=$dest$autostartdir/tonvik.desktop
page=$dest$mandir/man1/tonvik.1
host_page=$dest$mandir/man1/tonvik-host.1
for file in "$binary" "$host" "$unit" "$host_unit" "$rule" "$entry" "$page" "$host_page"; do
  [ -f "$file" ] || fail "not installed: ${file#"$dest"}"
done
[ "$failures" -eq 0 ] || exit 1

[ "$("$binary" --version)" = "tonvik $version" ] || fail "the installed binary does not say its version $version"
[ "$("$host" --version)" = "tonvik-host $version" ] || fail "the installed host does not say its version $version"

# The unit and the entry start the installed binary.
grep -qx "ExecStart=$bindir/tonvik" "$unit" || fail "the unit does not start $bindir/tonvik"
grep -qx "ExecStart=$bindir/tonvik-host --web" "$host_unit" || fail "the host unit does not start $bindir/tonvik-host --web"
grep -qx "Wants=tonvik.service" "$host_unit" && grep -qx "After=tonvik.service" "$host_unit" ||
  fail "the host unit does not bring the daemon along, before it"
grep -qx "Exec=$bindir/tonvik" "$entry" || fail "the autostart entry does not start $bindir/tonvik"

# systemd-analyze checks that ExecStart is executable and that man finds the
# Documentation page, so both are pointed into DESTDIR; it reports unknown
# keys without failing, hence the check for any output at all.
mkdir -p "$root/runtime"
sed "s|^ExecStart=|ExecStart=$dest|" "$unit" >"$root/tonvik.service"
sed "s|^ExecStart=|ExecStart=$dest|" "$host_unit" >"$root/tonvik-host.service"
if ! output=$(MANPATH=$dest$mandir XDG_RUNTIME_DIR=$root/runtime systemd-analyze --user verify \
    "$root/tonvik.service" "$root/tonvik-host.service" 2>&1) || [ -n "$output" ]; then
  fail "systemd-analyze verify: $output"
fi

if ! output=$(desktop-file-validate "$entry" 2>&1) || [ -n "$output" ]; then
  fail "desktop-file-validate: $output"
fi

# The grammar of a rule line: comma-separated KEY[{attribute}]OPERATOR"value"
# with keys udev knows, match operators on match keys, assignments on the others.
check_rule_line() {
  local line=$1 token key op
  local token_re='^([A-Z]+)(\{[^}]+\})?(==|!=|\+=|-=|:=|=)"[^"]*"$'
  local match_keys=" ACTION DEVPATH KERNEL KERNELS SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS ATTR ATTRS SYSCTL ENV TAG TAGS TEST PROGRAM RESULT CONST NAME SYMLINK "
  local assign_keys=" NAME SYMLINK OWNER GROUP MODE SECLABEL ATTR SYSCTL ENV TAG RUN LABEL GOTO IMPORT OPTIONS "
  local matched=0 assigned=0
  IFS=',' read -ra tokens <<<"$line"
  for token in "${tokens[@]}"; do
    token=${token# }
    [[ $token =~ $token_re ]] || { echo "not a rule token: $token"; return 1; }
    key=${BASH_REMATCH[1]} op=${BASH_REMATCH[3]}
    if [ "$op" = "==" ] || [ "$op" = "!=" ]; then
      [[ $match_keys == *" $key "* ]] || { echo "$key cannot be matched"; return 1; }
      matched=1
    else
      [[ $assign_keys == *" $key "* ]] || { echo "$key cannot be assigned"; return 1; }
      assigned=1
    fi
  done
  [ $matched -eq 1 ] && [ $assigned -eq 1 ] || { echo "a rule needs a match and an assignment: $line"; return 1; }
}

if udevadm verify --help >/dev/null 2>&1; then
  if ! output=$(udevadm verify "$rule" 2>&1); then
    fail "udevadm verify: $output"
  fi
else
  rules=0
  while IFS= read -r line; do
    # The commented example is checked too: it is what a user copies.
    case $line in
      '#SUBSYSTEM'*) line=${line#\#} ;;
      '#'* | '') continue ;;
    esac
    if ! why=$(check_rule_line "$line"); then
      fail "udev rule: $why"
    fi
    rules=$((rules + 1))
  done <"$rule"
  [ "$rules" -ge 2 ] || fail "the udev rule file has no rule and example"
fi
grep -qx 'SUBSYSTEM=="hidraw", KERNELS=="\*:320F:5055\.\*", TAG+="uaccess"' "$rule" ||
  fail "the udev rule does not give access to the default keyboard 320F:5055"

if ! output=$(man --warnings -l "$page" 2>&1 >/dev/null) || [ -n "$output" ]; then
  fail "man --warnings: $output"
fi
MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q 'tonvik  *- keyboard lighting daemon' || fail "the man page has no NAME line"
if ! output=$(man --warnings -l "$host_page" 2>&1 >/dev/null) || [ -n "$output" ]; then
  fail "man --warnings (tonvik-host): $output"
fi

# The console's files as they are in the source tree, the layouts beside the
# page (it fetches them from ../layouts/).
for part in web layouts; do
  if ! output=$(diff -r "$source/$part" "$dest$datadir/tonvik/$part" 2>&1); then
    fail "the installed $part differs from the source tree: $output"
  fi
done

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "installed and checked: $(cd "$dest" && find . -type f | sort | tr '\n' ' ')"
