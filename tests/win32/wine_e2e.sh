#!/usr/bin/env bash
# kestrune.exe under Wine, driven from Linux: datagrams sent to its loopback port must end up
# byte-exact in kestrune.LOG beside it, an oversized datagram is dropped, a second copy on the
# same port shows the bind error box while the first keeps logging, a file past the size limit
# is rotated, and the window and tray icon behave.
#
#   wine_e2e.sh KESTRUNE_EXE WININSPECT_EXE
set -euo pipefail
exe=$1
inspect=$2
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export LC_ALL=C.UTF-8
unset LANG LANGUAGE

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-wine-XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Polls until the command succeeds; deadlines are generous, Wine starts slowly on a busy machine.
wait_for() {
  local what=$1
  shift
  local end=$((SECONDS + 90))
  until "$@"; do
    ((SECONDS < end)) || fail "timed out waiting for $what"
    sleep 0.2
  done
}
listening() { grep -qi ":$(printf '%04X' "$1") " /proc/net/udp; }
free_port() {
  local p
  while :; do
    p=$((30000 + RANDOM % 20000))
    listening "$p" || { echo "$p"; return; }
  done
}
windows() { wine "$inspect" list 2>/dev/null; }
has_window() { windows | grep -qE "$1"; }
# bash's /dev/udp sends what one write carries as one datagram; cat writes a small file at once.
send() { cat "$1" >"/dev/udp/127.0.0.1/$port"; }
# True when file $1 ends with the line $2 and its CR LF.
ends_with() {
  [ -f "$1" ] && [ "$(tail -c $((${#2} + 2)) "$1" | od -An -tx1)" = "$(printf '%s\r\n' "$2" | od -An -tx1)" ]
}
post() { wine "$inspect" post TForm1 "$@" >/dev/null 2>&1; }

# One GUI executable that needs nothing beside it: only system DLLs are imported.
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "kestrune.exe is not a GUI program"
extra=$(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' |
  grep -vxE 'kernel32\.dll|user32\.dll|gdi32\.dll|shell32\.dll|ws2_32\.dll|msvcrt\.dll' || true)
[ -z "$extra" ] || fail "kestrune.exe needs DLLs Windows does not have: $extra"

port=$(free_port)
# A folder with a Cyrillic name, holding a log just past the 200 MiB limit (sparse, no disk used).
dir="$work/Журнал обмена"
mkdir -p "$dir"
cp "$exe" "$dir/kestrune.exe"
log="$dir/kestrune.LOG"
truncate -s 209715201 "$log"

wine "$dir/kestrune.exe" "$port" 2>/dev/null &
pids+=($!)
first=$!
# The window at 0,0 with its client area, caption and the empty text area filling it.
wait_for "the main window" has_window '^TForm1\|.\|0,0\|392x258\|Запись лога обмена с БС\|Edit:$'
wait_for "the listener on port $port" listening "$port"
wait_for "the window to hide" has_window '^TForm1\|0\|'
# Wine shows notification-area icons in a tray window of its own when no desktop has one.
wait_for "the tray icon" has_window '^__winex11_standalone_tray\|1\|.*\|__winex11_tray_icon:'

printf 'first datagram' >"$work/p1"
printf 'a\0b\r\nc\xce\xf8\xe8\xe1\xea\xe0' >"$work/p2"
head -c 4096 /dev/zero | tr '\0' x >"$work/p3"
head -c 4097 /dev/zero | tr '\0' y >"$work/p4"
printf 'after' >"$work/p5"
for p in p1 p2 p3 p4 p5; do send "$work/$p"; done
wait_for "the last datagram in the log" ends_with "$log" '] after'

[ "$(stat -c %s "$log.0")" = 209715201 ] || fail "the full log was not rotated to suffix 0"
# Wine's text for a missing file; Windows itself says "The system cannot find the file specified."
not_found='File not found.'
{
  printf '\r\n'
  printf 'Ошибка открытия файла:%s\r\n' "$not_found" | iconv -f UTF-8 -t CP1251
  for p in p1 p2 p3 p5; do
    printf '+ TS [] '
    cat "$work/$p"
    printf '\r\n'
  done
} >"$work/expected"
LC_ALL=C sed -E 's/^\+ [0-3][0-9]\.[01][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\.[0-9]{3} \[\] /+ TS [] /' \
  "$log" >"$work/masked"
echo "first bytes of the new log:"
head -c 96 "$log" | od -An -tx1
cmp "$work/masked" "$work/expected" || fail "the log differs from what was sent"

# A second copy on the same port: the bind error box, nothing logged, the first goes on.
mkdir "$work/second"
cp "$exe" "$work/second/kestrune.exe"
wine "$work/second/kestrune.exe" "$port" 2>/dev/null &
pids+=($!)
second=$!
wait_for "the bind error box" has_window \
  '^#32770\|1\|.*\|Kestrune\|.*Could not bind socket\. Address and port are already in use\.'
printf 'still logging' >"$work/p6"
send "$work/p6"
wait_for "the first copy to go on logging" ends_with "$log" '] still logging'
[ ! -e "$work/second/kestrune.LOG" ] || fail "the second copy wrote a log"
kill "$second"
wait "$second" 2>/dev/null || true
one_form() { [ "$(windows | grep -c '^TForm1|')" = 1 ]; }
wait_for "the second copy's window to go" one_form

# The tray icon, clicked for real in Wine's tray window: a double-click shows the window, a click
# hides it.
tray=$(xdotool search --name '^Wine System Tray$' | head -n 1)
[ -n "$tray" ] || fail "no tray window"
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove $((X + 10)) $((Y + 10)) click --repeat 2 --delay 80 1
wait_for "the window to show" has_window '^TForm1\|1\|'
# Without a window manager the shown window covers the tray in the same corner.
xdotool windowraise "$tray" mousemove $((X + 10)) $((Y + 10)) click 1
wait_for "the window to hide again" has_window '^TForm1\|0\|'

# Closing the window ends the program.
close_and_wait() {
  post 0x10 0 0
  local end=$((SECONDS + 90))
  while kill -0 "$1" 2>/dev/null; do
    ((SECONDS < end)) || fail "closing the window did not end the program"
    sleep 0.2
  done
  wait "$1" || fail "kestrune.exe exited with status $?"
}
close_and_wait "$first"

# In a Russian session the system's reason is Russian text, and it reaches the log in
# Windows-1251 like the fixed text before it.
mkdir "$work/ru"
cp "$exe" "$work/ru/kestrune.exe"
LC_ALL=ru_RU.UTF-8 LANG=ru_RU.UTF-8 wine "$work/ru/kestrune.exe" "$port" 2>/dev/null &
pids+=($!)
russian=$!
wait_for "the listener on port $port" listening "$port"
send "$work/p1"
wait_for "the datagram in the log" ends_with "$work/ru/kestrune.LOG" '] first datagram'
printf '\r\nОшибка открытия файла:Файл не найден.\r\n' | iconv -f UTF-8 -t CP1251 >"$work/expected"
head -c "$(stat -c %s "$work/expected")" "$work/ru/kestrune.LOG" >"$work/head"
cmp "$work/head" "$work/expected" || fail "the Russian open-error line is not Windows-1251"
close_and_wait "$russian"
echo "wine end-to-end checks passed"
