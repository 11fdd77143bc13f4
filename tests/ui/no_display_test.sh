#!/bin/sh
# The application started where there is no display: one line on standard error that says
# so, nothing on standard output, and a non-zero exit, before any window or engine starts.
# $1: the application. $2: a display number that nothing serves.
app="$1"
home=$(mktemp -d) || exit 2
trap 'rm -rf "$home"' EXIT
check() {
  out=$(env -i HOME="$home" PATH="$PATH" ASAN_OPTIONS="$ASAN_OPTIONS" "$@" "$app" 2>"$home/err")
  status=$?
  lines=$(wc -l <"$home/err")
  if [ "$status" -eq 0 ] || [ -n "$out" ] || [ "$lines" -ne 1 ] || ! grep -q "no display" "$home/err"; then
    echo "with $*: exit $status, stdout [$out], stderr:"; cat "$home/err"; exit 1
  fi
  if [ -e "$home/.config" ] || [ -e "$home/.local" ]; then echo "with $*: settings were made"; exit 1; fi
}
check
check DISPLAY=":$2"
echo "no display: one line and a non-zero exit"
