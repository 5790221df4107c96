#!/usr/bin/env bash
# Lines of code and of tests per component, from the tracked files.
#   bash scripts/count-lines.sh [REV]   (default: the working tree's index)
# Counted: C, C++, JavaScript, Python and shell files. Tests are files under a
# tests/ or fuzz/ folder or named *_test.* or *.test.*; benchmarks (a bench/
# folder, or a name starting with bench or ending in _bench.*) count as
# neither. Prints one line per component and the whole project's ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:-}

if [ -n "$rev" ]; then
  files() { git ls-tree -r --name-only "$rev"; }
  lines() { git show "$rev:$1" | wc -l; }
else
  files() { git ls-files; }
  lines() { wc -l <"$1"; }
fi

declare -A code=() tests=()
while IFS= read -r f; do
  case $f in
    *.c|*.h|*.cc|*.cpp|*.hpp|*.js|*.mjs|*.cjs|*.py|*.sh) ;;
    *) continue ;;
  esac
  [ -n "$rev" ] || [ -f "$f" ] || continue
  base=${f##*/}
  case "/$f" in
    */bench/*) continue ;;
  esac
  case $base in
    bench*|*_bench.*) continue ;;
  esac
  case $f in
    apps/desktop/engine/*)   comp=engine ;;
    apps/desktop/native/*/*) comp=${f#apps/desktop/native/}; comp=${comp%%/*} ;;
    *)                       comp=other ;;
  esac
  n=$(lines "$f")
  case "/$f" in
    */tests/*|*/fuzz/*) kind=test ;;
    *)
      case $base in
        *_test.*|*.test.*) kind=test ;;
        *) kind=code ;;
      esac ;;
  esac
  if [ "$kind" = test ]; then
    tests[$comp]=$(( ${tests[$comp]:-0} + n ))
  else
    code[$comp]=$(( ${code[$comp]:-0} + n ))
  fi
done < <(files)

ratio() { awk -v t="$1" -v c="$2" 'BEGIN { if (c > 0) printf "%.2f", t / c; else print "-" }'; }
all_code=0; all_tests=0
printf '%-10s %7s %7s %6s\n' component code tests ratio
for comp in $(printf '%s\n' "${!code[@]}" "${!tests[@]}" | sort -u); do
  c=${code[$comp]:-0}; t=${tests[$comp]:-0}
  all_code=$((all_code + c)); all_tests=$((all_tests + t))
  printf '%-10s %7d %7d %6s\n' "$comp" "$c" "$t" "$(ratio "$t" "$c")"
done
printf '%-10s %7d %7d %6s\n' total "$all_code" "$all_tests" "$(ratio "$all_tests" "$all_code")"
