#!/usr/bin/env bash
# Instruction counts (callgrind) for build_messages over a 200-message window,
# native against pure Python, its Cython build and the floor, per build.
#
#   bench/callgrind.sh [--layers] [--window W] [--iterations N] [--op OP] [--drive send|await]
#                      [--impls "native python ..."]
#
# --op counts a thin operation instead (cg_case.py's THIN: the recording and
# lifecycle operations, click_text, click_near_text, click_color), awaited
# from an async def unless --drive send. --impls counts only those columns
# (the seek_press operations have native and python only).
#
# Each implementation runs in its own process, twice: with N0 and N0+N
# builds. The difference of the two totals divided by N is the count per
# build, free of interpreter start-up and set-up. The Cython build of
# bench/pyref is made first when missing (bench/cybuild.py), outside the count.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${ZORVANE_PYTHON:-$root/.venv/bin/python}
iters=200
base=20
op=build_messages
only=
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --layers) extra+=(--layers) ;;
    --window) extra+=(--window "$2"); shift ;;
    --iterations) iters=$2; shift ;;
    --op) extra+=(--op "$2"); op=$2; shift ;;
    --drive) extra+=(--drive "$2"); shift ;;
    --impls) only=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

count() {  # impl iterations -> total instructions
  PYTHONHASHSEED=0 valgrind --tool=callgrind --callgrind-out-file="$tmp/out" \
    "$py" "$root/bench/cg_case.py" "$1" "$2" "${extra[@]}" >"$tmp/stdout" 2>"$tmp/stderr" || {
      grep -v '^==' "$tmp/stderr" | tail -n 1 >"$tmp/why"; return 1; }
  sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$tmp/stderr"
}

if [ -n "$only" ]; then
  read -r -a impls <<<"$only"
else
  impls=(python floor native)
  if "$py" "$root/bench/cybuild.py" >/dev/null; then  # its messages go to stderr
    impls=(python cython floor native)
  else
    echo "cython: n/a (the build failed, see above)"
  fi
fi

declare -A per
for impl in "${impls[@]}"; do
  if ! a=$(count "$impl" "$base") || ! b=$(count "$impl" $((base + iters))); then
    echo "$impl: n/a ($(cat "$tmp/why"))"
    continue
  fi
  per[$impl]=$(( (b - a) / iters ))
  printf '%-7s %12d instructions per %s  (runs of %d and %d calls: %d, %d)\n' \
    "$impl" "${per[$impl]}" "$op" "$base" $((base + iters)) "$a" "$b"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
if [ -n "${per[native]:-}" ] && [ -n "${per[python]:-}" ]; then
  echo "native/python: $(ratio "${per[native]}" "${per[python]}")"
fi
if [ -n "${per[native]:-}" ] && [ -n "${per[floor]:-}" ]; then
  echo "native/floor: $(ratio "${per[native]}" "${per[floor]}")"
fi
if [ -n "${per[cython]:-}" ]; then
  echo "cython/python: $(ratio "${per[cython]}" "${per[python]}")   cython/floor: $(ratio "${per[cython]}" "${per[floor]}")"
  [ -z "${per[native]:-}" ] || echo "native/cython: $(ratio "${per[native]}" "${per[cython]}")"
fi
[ -z "${per[python]:-}" ] || [ -z "${per[floor]:-}" ] || echo "python/floor:  $(ratio "${per[python]}" "${per[floor]}")"
