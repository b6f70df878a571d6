#!/usr/bin/env bash
# Black-box tests of Chatterloom: exact bytes on both streams and the status.
# usage: chatterloom_cli.sh CHATTERLOOM TIME_SHIM FAIL_SHIM [sanitized|plain]
set -u
prog=$1
shim=$2
fail_shim=$3
mode=${4:-plain}
# The sanitizer runtime would insist on being preloaded first.
export ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0
. "$(dirname "$0")/cli_lib.sh"

# run NAME WANT_STATUS WANT_STDOUT WANT_STDERR ARGS...: runs the program with
# the clock frozen at 1 and compares everything it leaves behind.
run() {
  local name=$1 status=$2 out=$3 err=$4
  shift 4
  FROZEN_TIME=${FROZEN_TIME:-1} LD_PRELOAD=$shim "$prog" "$@" >"$dir/out" 2>"$dir/err" </dev/null
  local got=$?
  printf '%s' "$out" >"$dir/want_out"
  printf '%s' "$err" >"$dir/want_err"
  check "$name" "$status" "$dir/want_out" "$dir/want_err" $got
}

usage='usege: Chatterloom sourceTextFile 
                     [word_prefix_cnt(default - 2)] 
                     [max_word_output(defau;t - 1000)]
'
ex=$dir/example
printf 'a b c a b d' >"$ex"

run "no arguments: usage" 1 "" "$usage"
run "worked example" 1 "b c a b d " "" "$ex"
run "worked example, explicit numbers" 1 "b c a b d " "" "$ex" 2 1000
run "extra arguments are ignored" 1 "b c a b d " "" "$ex" 2 1000 junk "$dir/none"
run "number with trailing letters" 1 "b c a b d " "" "$ex" "2abc" " +1000x"
run "number that wraps to 2" 1 "b c a b d " "" "$ex" 4294967298
run "limit below the prefix length" 1 "b " "" "$ex" 2 1
run "limit equal to the prefix length" 1 "b c " "" "$ex" 2 2
run "prefix length 0" 0 "" "error cmd
" "$ex" 0
run "limit 0" 0 "" "error cmd
" "$ex" 2 0
run "negative prefix length" 0 "" "error cmd
" "$ex" -2
run "negative limit" 0 "" "error cmd
" "$ex" 2 -5
run "letters for a number" 0 "" "error cmd
" "$ex" abc
run "4294967295 reads as -1" 0 "" "error cmd
" "$ex" 2 4294967295
run "missing file" 0 "" "" "$dir/none"
run "directory" 0 "" "" "$dir"
: >"$dir/empty"
run "empty file" 0 "" "" "$dir/empty"
printf 'a b' >"$dir/two"
run "too few words" 0 "" "" "$dir/two"
run "prefix length above the text" 0 "" "" "$ex" 7
printf 'a b c' >"$dir/abc"
run "three words" 1 "a b c " "" "$dir/abc"

# One pass: a named pipe and standard input work as files do.
mkfifo "$dir/fifo"
(printf 'a b c a b d' >"$dir/fifo") &
run "named pipe" 1 "b c a b d " "" "$dir/fifo"
wait
FROZEN_TIME=1 LD_PRELOAD=$shim "$prog" /dev/stdin <"$ex" >"$dir/out" 2>&1
[ $? = 1 ] && [ "$(cat "$dir/out")" = "b c a b d " ]
verdict "/dev/stdin" $?

# A full device: nothing was printed, so the status is 0.
FROZEN_TIME=1 LD_PRELOAD=$shim "$prog" "$ex" >/dev/full 2>"$dir/err"
[ $? = 0 ] && [ ! -s "$dir/err" ]
verdict "/dev/full" $?

# Out of memory: status 0, nothing on either stream.  The words of this
# text alone need more than the address space allows, while the program
# itself starts.  A sanitized build reserves far more address space than
# any such limit, so the runs under limits are plain only.
awk 'BEGIN { for (i = 0; i < 3000000; i++) printf "w%d ", i }' >"$dir/big"
if [ "$mode" = plain ]; then
  prlimit --as=40000000 "$prog" "$dir/big" 1 >"$dir/out" 2>"$dir/err"
  got=$?
  [ $got = 0 ] && [ ! -s "$dir/out" ] && [ ! -s "$dir/err" ]
  verdict "out of memory at --as=40000000 (status $got)" $?
fi

# A text whose chain needs more than the address space allows is built in
# temporary files in TMPDIR, and prints what an unlimited run prints;
# nothing is left in TMPDIR, even by a run killed mid-build.
# spill_run K LIMIT [TEXT]: a run under the limit with TMPDIR=$dir/tmp;
# sets got.
spill_run() {
  TMPDIR=$dir/tmp FROZEN_TIME=1 prlimit --as=$2 env LD_PRELOAD="${preload:-$shim}" \
    "$prog" "${3:-$dir/spill}" $1 50 >"$dir/out" 2>"$dir/err"
  got=$?
}
# fails_as_oom: the last run ended as out of memory does, and left nothing.
fails_as_oom() {
  [ $got = 0 ] && [ ! -s "$dir/out" ] && [ ! -s "$dir/err" ] && [ -z "$(ls -A "$dir/tmp")" ]
}
awk 'BEGIN { srand(5); for (i = 0; i < 6000000; i++) printf "w%d ", int(rand() * rand() * 20000) }' >"$dir/spill"
mkdir "$dir/tmp"
for run in $([ "$mode" = plain ] && echo 1:40000000 2:40000000 2:60000000 2:120000000 3:40000000); do
  k=${run%:*} limit=${run#*:}
  FROZEN_TIME=1 LD_PRELOAD=$shim "$prog" "$dir/spill" $k 50 >"$dir/whole"
  spill_run $k $limit
  [ $got = 1 ] && cmp -s "$dir/out" "$dir/whole" && [ ! -s "$dir/err" ] && [ -z "$(ls -A "$dir/tmp")" ]
  verdict "spilled at --as=$limit, prefix length $k (status $got)" $?
done
if [ "$mode" = plain ]; then
  # A data limit counts as the address-space one does.
  TMPDIR=$dir/tmp FROZEN_TIME=1 LD_PRELOAD=$shim prlimit --data=40000000 "$prog" "$dir/spill" 3 50 \
    >"$dir/out" 2>"$dir/err"
  got=$?
  [ $got = 1 ] && cmp -s "$dir/out" "$dir/whole" && [ ! -s "$dir/err" ]
  verdict "spilled at --data=40000000 (status $got)" $?
  (TMPDIR=$dir/tmp exec prlimit --as=40000000 "$prog" "$dir/spill" 3 >/dev/null) &
  sleep 0.5
  kill -9 $! 2>/dev/null
  killed=$?
  wait
  [ $killed = 0 ] && [ -z "$(ls -A "$dir/tmp")" ]
  verdict "killed mid-build, nothing left behind" $?
  TMPDIR=$dir/none prlimit --as=40000000 "$prog" "$dir/spill" 2 >"$dir/out" 2>"$dir/err"
  got=$?
  fails_as_oom
  verdict "TMPDIR naming no directory (status $got)" $?
fi

# Texts of many shapes at each prefix length, under address-space limits
# that spill their builds (32 and 40 MB; 64 MB too for the longest text) or
# leave them in memory: each run prints what the unlimited run prints, says
# nothing and leaves nothing in TMPDIR.  The shapes are those of the
# differential test's shaped_text but long words, which would take tens of
# megabytes to spill; the growing vocabulary's text is long enough for its
# frequent first words to make the groups of a one-word chain large.
# shaped SHAPE WORDS SEED: a text of the shape.
shaped() {
  awk -v shape="$1" -v n="$2" -v seed="$3" '
    # 1 .. v: i with a probability of about 1/i.
    function zipf(v) { return int(exp(rand() * log(v < 1 ? 1 : v))) }
    # Word number id in two-letter syllables, at least three of them.
    function syllables(id, s) {
      s = ""
      do { s = s syl[id % 24]; id = int(id / 24) } while (id || length(s) < 6)
      return s
    }
    BEGIN {
      srand(seed)
      split("ka ne ri so tu ma le vi do pa gu ze ho fi ly nu be wa ce qo jo xi ry sa", syl)
      for (i = 0; i < 24; i++) syl[i] = syl[i + 1]
      for (c = 0; c < 26; c++) {
        pad[c] = substr("abcdefghijklmnopqrstuvwxyz", c + 1, 1)
        while (length(pad[c]) < 60) pad[c] = pad[c] pad[c]
      }
      split(" | | |\t|  \t ", blank, "|")
      for (i = 0; i < n; i++) {
        if (shape == "short") w = substr("abcdefghij", 1 + int(rand() * 10), 1 + int(rand() * 3))
        else if (shape == "long") { id = zipf(3000); w = substr(pad[id % 26], 1, 20 + id % 41) id }
        else if (shape == "growing" || shape == "lines") w = "w" zipf(30 * sqrt(i + 1))
        else if (shape == "one-word") w = "x"
        else if (shape == "cycle") w = i % 2 ? "b" : "a"
        else { prev = i && rand() < 0.5 ? (prev * 7 + 3) % 1009 : zipf(30 * sqrt(i + 1)); w = syllables(prev) }
        if (shape == "lines") {
          if (left == 0) left = rand() < 0.5 ? 1 + int(rand() * 3) : 50 + int(rand() * 400)
          sep = --left == 0 ? (rand() < 0.5 ? "\n" : "\r\n") : blank[1 + int(rand() * 5)]
        } else {
          sep = (i + 1) % (shape == "habit" ? 12 : 16) ? " " : "\n"
        }
        printf "%s%s", w, sep
      }
    }'
}
for entry in $([ "$mode" = plain ] && echo short:1000000 growing:2400000 lines:600000 \
  one-word:1000000 cycle:1000000 habit:800000); do
  shape=${entry%:*}
  shaped "$shape" "${entry#*:}" 7 >"$dir/shaped"
  for k in 1 2 3 5 8; do
    FROZEN_TIME=1 LD_PRELOAD=$shim "$prog" "$dir/shaped" $k 50 >"$dir/whole"
    got=$?
    bad=$([ $got = 1 ] || echo " unlimited: status $got;")
    for limit in 32000000 40000000 64000000 100000000; do
      spill_run $k $limit "$dir/shaped"
      if ! { [ $got = 1 ] && cmp -s "$dir/out" "$dir/whole" && [ ! -s "$dir/err" ] &&
        [ -z "$(ls -A "$dir/tmp")" ]; }; then
        bad="$bad --as=$limit: status $got, $(wc -c <"$dir/out") of $(wc -c <"$dir/whole") bytes,"
        bad="$bad $(wc -c <"$dir/err") on stderr, $(ls -A "$dir/tmp" | wc -l) files left;"
        rm -rf "${dir:?}/tmp/"*
      fi
    done
    [ -z "$bad" ]
    verdict "$shape text, prefix length $k, 4 limits:${bad:- all passed}" $?
  done
done

# Writes to the temporary files, and allocations of the spilled build,
# failing in turn (a sample of them, from the first on): each run ends as
# out of memory does, with nothing left behind, or, where only an
# allocation that could be done without failed, prints the same text.
if [ "$mode" = plain ]; then
  head -c 6000000 "$dir/spill" >"$dir/small"
  FROZEN_TIME=1 LD_PRELOAD=$shim "$prog" "$dir/small" 2 50 >"$dir/whole"
  preload="$fail_shim $shim"
  export COUNT_WRITES_TO=$dir/WRITE COUNT_ALLOC_TO=$dir/ALLOC
  spill_run 2 30000000 "$dir/small"
  unset COUNT_WRITES_TO COUNT_ALLOC_TO
  for what in WRITE ALLOC; do
    calls=$(cat "$dir/$what")
    bad=0
    for i in $(seq 1 4) $(seq 5 $((calls / 20 + 1)) "$calls"); do
      export "FAIL_${what}_AT=$i"
      spill_run 2 30000000 "$dir/small"
      unset "FAIL_${what}_AT"
      if ! fails_as_oom && ! { [ $what = ALLOC ] && [ $got = 1 ] && cmp -s "$dir/out" "$dir/whole"; }; then
        echo "FAIL: $what $i of $calls failing in a spilled build (status $got)"
        bad=$((bad + 1))
      fi
    done
    verdict "spilled build with each ${what,,} failing in turn (of $calls)" $bad
  done
  preload=
fi

# Every allocation failing in turn, from the first on: in reading, in
# numbering states, in gathering suffixes, at each prefix length's own path.
# Each run ends as out of memory does, or, where only an allocation that
# could be done without failed, prints what a run without failures prints.
# The sanitizer's allocator cannot be stood in for, so this runs plain only.
awk 'BEGIN { srand(3); for (i = 0; i < 30000; i++) printf "w%d ", int(rand() * rand() * 5000) }' >"$dir/mid"
for k in $([ "$mode" = plain ] && echo 1 2 3); do
  COUNT_ALLOC_TO=$dir/calls FROZEN_TIME=1 LD_PRELOAD="$fail_shim $shim" "$prog" "$dir/mid" $k 5 >"$dir/whole"
  bad=0
  for i in $(seq 1 "$(cat "$dir/calls")"); do
    FAIL_ALLOC_AT=$i FROZEN_TIME=1 LD_PRELOAD="$fail_shim $shim" "$prog" "$dir/mid" $k 5 >"$dir/out" 2>"$dir/err"
    got=$?
    if [ -s "$dir/err" ] || { ! { [ $got = 0 ] && [ ! -s "$dir/out" ]; } &&
      ! { [ $got = 1 ] && cmp -s "$dir/out" "$dir/whole"; }; }; then
      echo "FAIL: allocation $i failing at prefix length $k (status $got)"
      bad=$((bad + 1))
    fi
  done
  verdict "allocations failing at prefix length $k" $bad
done

# One allocation alone failing, in turn: a build that memory fails is done
# again in temporary files, so every run after the words were read prints
# what a run without failures prints.
if [ "$mode" = plain ]; then
  COUNT_ALLOC_TO=$dir/calls FROZEN_TIME=1 LD_PRELOAD="$fail_shim $shim" "$prog" "$dir/mid" 2 5 >"$dir/whole"
  bad=0 survived=0
  for i in $(seq 1 "$(cat "$dir/calls")"); do
    FAIL_ONLY=1 FAIL_ALLOC_AT=$i TMPDIR=$dir/tmp FROZEN_TIME=1 LD_PRELOAD="$fail_shim $shim" \
      "$prog" "$dir/mid" 2 5 >"$dir/out" 2>"$dir/err"
    got=$?
    if [ $got = 1 ] && cmp -s "$dir/out" "$dir/whole"; then
      survived=$((survived + 1))
    elif ! fails_as_oom; then
      echo "FAIL: allocation $i alone failing (status $got)"
      bad=$((bad + 1))
    fi
  done
  # Most allocations are the build's (46 of 77 here; 2 survived before).
  [ $((survived * 3)) -ge "$(cat "$dir/calls")" ] || bad=$((bad + 1))
  verdict "each allocation alone failing ($survived of $(cat "$dir/calls") survived)" $bad
fi

# A text read in parts on two cores has its parts' ids joined by moving
# their blocks: each allocation there failing alone ends as out of memory
# does, or prints what a run without failures prints.
if [ "$mode" = plain ] && [ "$(nproc)" -ge 2 ]; then
  FIXED_AT_TO=$dir/fixed FROZEN_TIME=1 LD_PRELOAD="$fail_shim $shim" "$prog" "$dir/spill" 1 50 \
    >"$dir/whole"
  at=$(cat "$dir/fixed")
  bad=$([ "$at" -gt 3 ] && echo 0 || echo 1)
  for i in $(seq $((at - 3)) $((at + 1))); do
    FAIL_ONLY=1 FAIL_ALLOC_AT=$i TMPDIR=$dir/tmp FROZEN_TIME=1 LD_PRELOAD="$fail_shim $shim" \
      "$prog" "$dir/spill" 1 50 >"$dir/out" 2>"$dir/err"
    got=$?
    if ! { [ $got = 1 ] && cmp -s "$dir/out" "$dir/whole"; } && ! fails_as_oom; then
      echo "FAIL: allocation $i alone failing where parts are joined (status $got)"
      bad=$((bad + 1))
    fi
  done
  verdict "each allocation alone failing where read parts are joined (from $at)" $bad
fi

# Texts without a chain in them: nothing printed, status 0.
printf ' \t\n\v\f\r  \n\n' >"$dir/blank"
run "only separators" 0 "" "" "$dir/blank" 1
head -c 100000 /dev/zero >"$dir/zeros"
run "only zero bytes (one empty token)" 0 "" "" "$dir/zeros" 1
printf '\032a b c a b d' >"$dir/sub"
run "byte 26 first" 0 "" "" "$dir/sub" 1
# Zero bytes cut their token: two empty words and b.
printf '\0x \0y b' >"$dir/cut"
run "tokens cut at a zero byte" 1 "  b " "" "$dir/cut" 2 3

# Binary input: any words it holds, but never a message or a crash.  Bytes
# 26 go, or the text would end at the first, which may come early.
head -c 3000000 "$prog" | tr -d '\032' >"$dir/binary"
FROZEN_TIME=1 LD_PRELOAD=$shim "$prog" "$dir/binary" 2 100000 >"$dir/out" 2>"$dir/err"
got=$?
[ $got = 1 ] && [ -s "$dir/out" ] && [ ! -s "$dir/err" ]
verdict "binary input (status $got)" $?

# Numbers that wrap modulo 2^32.
run "-4294967294 wraps to 2" 1 "b c a b d " "" "$ex" -4294967294
run "limit 4294967297 wraps to 1" 1 "b " "" "$ex" 2 4294967297
run "limit 2147483648 wraps negative" 0 "" "error cmd
" "$ex" 2 2147483648
run "prefix length 4294967295 reads as -1" 0 "" "error cmd
" "$ex" 4294967295

# Limits at the top of the range cost no memory: the walk writes as it goes.
run "limit 2147483647 on a text that ends" 1 "a b c " "" "$dir/abc" 2 2147483647
run "prefix length 2147483647" 0 "" "" "$ex" 2147483647 2147483647
printf 'a a' >"$dir/aa"
FROZEN_TIME=1 LD_PRELOAD=$shim "$prog" "$dir/aa" 1 2147483647 2>/dev/null | head -c 1000000 | wc -c >"$dir/n"
[ "$(cat "$dir/n")" = 1000000 ]
verdict "endless walk into a closed pipe" $?

# A token of a gigabyte keeps 10000 bytes and stays in bounded memory.
if [ "$mode" = plain ]; then
  /usr/bin/time -f %M -o "$dir/mem" "$prog" /dev/stdin 1 3 >"$dir/out" 2>/dev/null \
    < <(head -c 1000000000 /dev/zero | tr '\0' x; printf ' y x y')
  kb=$(tail -n 1 "$dir/mem")
  [ "$kb" -lt 65536 ] && grep -q '^[xy]' "$dir/out"
  verdict "a gigabyte token took $kb KB" $?
fi

finish chatterloom_cli
