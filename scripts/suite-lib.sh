# Shared by scripts/run-tests and scripts/sanitize: the summary lines, the build
# step and the parsing of each runner's closing line. Sourced; the caller sets
# `tree` (the work tree) and `jobs` (build parallelism) first.

declare -a summary=()
failed=0
total_passed=0
total_failed=0
suite_start=$SECONDS

# record NAME STATUS PASSED FAILED [NOTE]: one summary line. A suite fails when its
# status is not 0 or when it ran no test.
record() {
  local name=$1 status=$2 passed=$3 failedn=$4 note=${5:-}
  if [[ "$status" != 0 || $passed -eq 0 ]]; then
    failed=1
    [[ $passed -eq 0 && "$status" == 0 ]] && status="no tests ran"
  fi
  total_passed=$(( total_passed + passed )); total_failed=$(( total_failed + failedn ))
  summary+=("$(printf '%-28s %s passed, %s failed%s%s' "$name:" "$passed" "$failedn" \
    "${note:+; $note}" "$([[ "$status" != 0 ]] && echo "  (FAILED: $status)")")")
}

step() { printf '\n=== %s (%ds) ===\n' "$*" $(( SECONDS - suite_start )); }

# configure_build DIR PYTHON COMPILER [CMAKE ARGS...]; logs to DIR.configure.log and
# DIR.build.log, whose tails it prints on failure.
configure_build() {
  local dir=$1 python=$2 cxx=$3; shift 3
  cmake -S "$tree" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DPython_EXECUTABLE="$python" "$@" >"$dir.configure.log" 2>&1 &&
    cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 || {
      tail -n 40 "$dir.configure.log" "$dir.build.log"; return 1; }
}

# pytest_counts LOG -> "passed failed". pytest -q ends with "N passed, M skipped in
# Ts" (with -v, the same line in ='s); errors count as failures.
pytest_counts() {
  local line; line=$(grep -E '([0-9]+ (passed|failed|errors?)|no tests ran).* in [0-9.]+s' "$1" | tail -n 1)
  local p f e
  p=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
  f=$(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
  e=$(grep -oE '[0-9]+ errors?' <<<"$line" | grep -oE '[0-9]+' || echo 0)
  echo "${p:-0} $(( ${f:-0} + ${e:-0} ))"
}

# ctest_counts LOG -> "passed failed skipped", from ctest's closing line and its
# per-test "***Skipped" lines.
ctest_counts() {
  local total nfail skipped
  total=$(grep -oE 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | grep -oE '[0-9]+$' || echo 0)
  nfail=$(grep -oE '[0-9]+ tests failed out of' "$1" | grep -oE '^[0-9]+' || echo 0)
  skipped=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped' "$1" || true)
  echo "$(( ${total:-0} - ${nfail:-0} - ${skipped:-0} )) ${nfail:-0} ${skipped:-0}"
}
