#!/usr/bin/env bash
# Black-box tests of Scrollet: exact bytes on both streams and the status.
# usage: scrollet_cli.sh SCROLLET FAIL_SHIM [sanitized|plain]
set -u
prog=$1
fail_shim=$2
mode=${3:-plain}
. "$(dirname "$0")/cli_lib.sh"

printf 'usage: Scrollet [filename]\n' >"$dir/usage"
: >"$dir/empty"
[ "$(wc -c <"$dir/usage")" = 27 ]
verdict "usage text is 27 bytes" $?
for r in 1 2 3; do
  for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done
done >"$dir/bytes"
[ "$(wc -c <"$dir/bytes")" = 768 ]
verdict "test file of all bytes" $?
printf 'first line\nlast line, no end' >"$dir/noeol"

for f in bytes empty noeol; do
  "$prog" "$dir/$f" >"$dir/out" 2>"$dir/err"
  check "file $f" 0 "$dir/$f" "$dir/empty" $?
  "$prog" <"$dir/$f" >"$dir/out" 2>"$dir/err"
  check "standard input from file $f" 0 "$dir/$f" "$dir/empty" $?
  cat "$dir/$f" | "$prog" >"$dir/out" 2>"$dir/err"
  check "standard input from a pipe, $f" 0 "$dir/$f" "$dir/empty" $?
done

# Each route the bytes take, on more than a pipe holds at once: splice into
# a pipe from a file or a pipe, copy_file_range between files, blocks when
# the output is opened for appending; and from where a shared descriptor
# stands when something read part of it first.
cp "$dir/bytes" "$dir/big"
for _ in $(seq 11); do cat "$dir/big" "$dir/big" >"$dir/big2" && mv "$dir/big2" "$dir/big"; done
"$prog" "$dir/big" 2>"$dir/err" | cat >"$dir/out"
check "file into a pipe" 0 "$dir/big" "$dir/empty" "${PIPESTATUS[0]}"
cat "$dir/big" | "$prog" 2>"$dir/err" | cat >"$dir/out"
check "pipe into a pipe" 0 "$dir/big" "$dir/empty" "${PIPESTATUS[1]}"
"$prog" "$dir/big" >"$dir/out" 2>"$dir/err"
check "file into a file" 0 "$dir/big" "$dir/empty" $?
: >"$dir/out"
"$prog" "$dir/big" >>"$dir/out" 2>"$dir/err"
check "file appended to a file" 0 "$dir/big" "$dir/empty" $?
tail -c +6 "$dir/big" >"$dir/rest"
{ dd bs=5 count=1 status=none of=/dev/null && "$prog"; } <"$dir/big" >"$dir/out" 2>"$dir/err"
check "partly read input into a file" 0 "$dir/rest" "$dir/empty" $?
{ dd bs=5 count=1 status=none of=/dev/null && "$prog"; } <"$dir/big" 2>"$dir/err" | cat >"$dir/out"
check "partly read input into a pipe" 0 "$dir/rest" "$dir/empty" "${PIPESTATUS[0]}"

# The input as its own output.  Where writes could land on bytes still to be
# read, nothing is copied and the status is 1; otherwise the copy runs and
# leaves the file as it was.  Each run is held to 10 s and to a 4 MiB file,
# so that a copy chasing its own output fails fast instead of filling the disk.
bounded() { (ulimit -f 4096 && exec timeout 10 "$@"); }
cp "$dir/big" "$dir/out"
bounded "$prog" "$dir/out" >>"$dir/out" 2>"$dir/err"
check "file appended to itself" 1 "$dir/big" "$dir/empty" $?
cp "$dir/big" "$dir/out"
bounded "$prog" <"$dir/out" >>"$dir/out" 2>"$dir/err"
check "standard input appended to itself" 1 "$dir/big" "$dir/empty" $?
cp "$dir/big" "$dir/out"
{ cat <&1 >/dev/null && bounded "$prog" "$dir/out"; } 1<>"$dir/out" 2>"$dir/err"
check "file written at its own end" 1 "$dir/big" "$dir/empty" $?
cp "$dir/big" "$dir/out"
{ dd bs=6 count=1 status=none of=/dev/null <&1 && bounded "$prog"; } <"$dir/out" 1<>"$dir/out" 2>"$dir/err"
check "file written past where it is read" 1 "$dir/big" "$dir/empty" $?
cp "$dir/big" "$dir/out"
bounded "$prog" "$dir/out" 1<>"$dir/out" 2>"$dir/err"
check "file written over itself" 0 "$dir/big" "$dir/empty" $?
cp "$dir/big" "$dir/out"
{ dd bs=5 count=1 status=none of=/dev/null && dd bs=5 count=1 status=none of=/dev/null <&1 &&
  bounded "$prog"; } <"$dir/out" 1<>"$dir/out" 2>"$dir/err"
check "file written over itself from where it is read" 0 "$dir/big" "$dir/empty" $?
cp "$dir/big" "$dir/out"
{ cat >/dev/null && bounded "$prog"; } <"$dir/out" >>"$dir/out" 2>"$dir/err"
check "file read to its end, appended to itself" 0 "$dir/big" "$dir/empty" $?
: >"$dir/out"
bounded "$prog" "$dir/out" >>"$dir/out" 2>"$dir/err"
check "empty file appended to itself" 0 "$dir/empty" "$dir/empty" $?

"$prog" "$dir/bytes" "$dir/none" "$dir/noeol" >"$dir/out" 2>"$dir/err"
check "extra arguments, missing ones too" 0 "$dir/bytes" "$dir/empty" $?
"$prog" "$dir/none" "$dir/bytes" >"$dir/out" 2>"$dir/err"
check "missing first argument before a file" 1 "$dir/empty" "$dir/usage" $?
cp "$prog" "$dir/othername"
"$dir/othername" "$dir/none" >"$dir/out" 2>"$dir/err"
check "usage names Scrollet under another name" 1 "$dir/empty" "$dir/usage" $?
"$prog" "$dir" >"$dir/out" 2>"$dir/err"
check "a directory" 1 "$dir/empty" "$dir/usage" $?
"$prog" "$dir/noeol/x" >"$dir/out" 2>"$dir/err"
check "a path through a file" 1 "$dir/empty" "$dir/usage" $?

"$prog" "$dir/bytes" >/dev/full 2>"$dir/err"
got=$?
: >"$dir/out"
check "a full device" 1 "$dir/empty" "$dir/empty" $got

"$prog" <&- >"$dir/out" 2>"$dir/err"
check "standard input closed" 1 "$dir/empty" "$dir/empty" $?
"$prog" "$dir/bytes" >&- 2>"$dir/err"
got=$?
: >"$dir/out"
check "standard output closed" 1 "$dir/empty" "$dir/empty" $got

# Patterns: only * and ? are wildcards, matches sorted, no match as typed.
mkdir "$dir/glob"
printf 'one' >"$dir/glob/b1.txt"
printf 'two' >"$dir/glob/a2.txt"
mkdir "$dir/brackets"
printf 'three' >"$dir/brackets/[x].txt"
printf 'two' >"$dir/want"
"$prog" "$dir/glob/*.txt" >"$dir/out" 2>"$dir/err"
check "pattern with *" 0 "$dir/want" "$dir/empty" $?
printf 'one' >"$dir/want"
"$prog" "$dir/glob/b?.txt" >"$dir/out" 2>"$dir/err"
check "pattern with ?" 0 "$dir/want" "$dir/empty" $?
printf 'three' >"$dir/want"
"$prog" "$dir/brackets/[x]*" >"$dir/out" 2>"$dir/err"
check "brackets are plain characters" 0 "$dir/want" "$dir/empty" $?
"$prog" "$dir/glob/zz*" "$dir/glob/b1.txt" >"$dir/out" 2>"$dir/err"
check "pattern matching nothing" 1 "$dir/empty" "$dir/usage" $?

# A line written into a pipe comes out before the input ends, into a file
# or into another pipe.
mkfifo "$dir/in"
for via in file pipe; do
  : >"$dir/live"
  exec 3<>"$dir/in"
  if [ $via = file ]; then
    "$prog" <"$dir/in" >"$dir/live" 2>/dev/null 3>&- &
  else
    { "$prog" <"$dir/in" 2>/dev/null | cat >"$dir/live"; } 3>&- &
  fi
  pid=$!
  printf 'hello\n' >&3
  seen=no
  for _ in $(seq 100); do
    if [ "$(cat "$dir/live")" = hello ]; then seen=yes; break; fi
    sleep 0.05
  done
  exec 3>&-
  wait $pid
  [ $seen = yes ]
  verdict "line passes at once into a $via" $?
done

# Every allocation failing in turn, with a pattern to expand: status 1 and
# nothing copied, or the whole copy (a failure outside the copy's own).
if [ "$mode" = plain ]; then
  COUNT_ALLOC_TO=$dir/calls LD_PRELOAD=$fail_shim "$prog" "$dir/byte?" >/dev/null
  bad=0
  for i in $(seq 1 "$(cat "$dir/calls")"); do
    FAIL_ALLOC_AT=$i LD_PRELOAD=$fail_shim "$prog" "$dir/byte?" >"$dir/out" 2>/dev/null
    got=$?
    if ! { [ $got = 1 ] && [ ! -s "$dir/out" ]; } && ! { [ $got = 0 ] && cmp -s "$dir/out" "$dir/bytes"; }; then
      echo "FAIL: allocation $i failing (status $got)"
      bad=$((bad + 1))
    fi
  done
  verdict "allocations failing in turn" $bad
fi

finish scrollet_cli
