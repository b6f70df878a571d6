# Shared by the black-box scripts (sourced): a scratch folder, the tally and
# the checks.  Each check counts one pass or prints one FAIL line.

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
passes=0

# verdict NAME RESULT: counts a check that passed when RESULT is 0.
verdict() {
  if [ "$2" = 0 ]; then
    passes=$((passes + 1))
  else
    echo "FAIL: $1"
    failures=$((failures + 1))
  fi
}

# check NAME WANT_STATUS WANT_OUT_FILE WANT_ERR_FILE GOT_STATUS: compares the
# status and what the run left in $dir/out and $dir/err.
check() {
  if [ "$5" = "$2" ] && cmp -s "$dir/out" "$3" && cmp -s "$dir/err" "$4"; then
    verdict "$1" 0
  else
    verdict "$1 (status $5, wanted $2)" 1
    echo "  stdout: $(head -c 200 "$dir/out" | od -c | head -3)"
    echo "  stderr: $(head -c 200 "$dir/err" | od -c | head -3)"
  fi
}

# finish NAME: the closing tally; fails when any check did.
finish() {
  echo "$1: $passes passed, $failures failed"
  [ $failures = 0 ]
}
