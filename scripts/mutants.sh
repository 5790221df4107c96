#!/usr/bin/env bash
# Breaks one rule at a time in a copy of the tree and reports which breaks the
# tests miss. A tool, not a test: nothing else runs it.
#
#   bash scripts/mutants.sh [--filter REGEX] [--no-baseline] [--check] [LIST.tsv ...]
#   (--check only confirms that every original applies, and builds nothing)
#
# Lists default to every scripts/mutants/*.tsv. One rule break per line,
# tab-separated; lines starting with # and blank lines are ignored:
#   id  path-from-root  original  replacement  command
# "original" must occur exactly once in the file (so it lies on one line) and
# is replaced literally. "command" runs from the copy's root with $BUILD set
# to the copy's linux build folder; a non-zero exit kills the mutant.
#
# The copy lives in build/mutants/tree (its build in build/mutants/tree/build/
# linux) and is kept between runs, so rebuilds are incremental. Before any
# mutant, each distinct command runs once on the unbroken tree: a command that
# fails there proves nothing, and its mutants are reported baseline-failed.
#
# Environment: QUILLET_JOBS (build jobs, default 2), MUTANT_TIMEOUT (seconds
# per command, default 900). Exits 0 only when every selected mutant is killed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

filter=''
baseline=1
check_only=0
lists=()
while [ $# -gt 0 ]; do
  case $1 in
    --filter) filter=${2:?--filter needs a pattern}; shift 2 ;;
    --no-baseline) baseline=0; shift ;;
    --check) check_only=1; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) lists+=("$1"); shift ;;
  esac
done
if [ ${#lists[@]} -eq 0 ]; then
  lists=(scripts/mutants/*.tsv)
fi
jobs=${QUILLET_JOBS:-2}
limit=${MUTANT_TIMEOUT:-900}

work=$root/build/mutants
tree=$work/tree
logs=$work/logs
mkdir -p "$tree" "$logs"
exec 9>"$work/lock"
flock -n 9 || { echo "mutants: another run holds $work/lock" >&2; exit 2; }

# --- read the lists ---------------------------------------------------------
ids=(); paths=(); origs=(); repls=(); cmds=()
for list in "${lists[@]}"; do
  [ -f "$list" ] || { echo "mutants: no list $list" >&2; exit 2; }
  n=0
  while IFS= read -r line || [ -n "$line" ]; do
    n=$((n + 1))
    case $line in ''|'#'*) continue ;; esac
    line=${line%$'\r'}
    # mapfile keeps empty fields (an empty replacement deletes the original).
    mapfile -t -d $'\t' f < <(printf '%s' "$line")
    if [ ${#f[@]} -ne 5 ] || [ -z "${f[2]}" ] || [ -z "${f[4]}" ]; then
      echo "mutants: $list:$n: want 5 tab-separated fields" >&2; exit 2
    fi
    id=${f[0]}; path=${f[1]}; orig=${f[2]}; repl=${f[3]}; cmd=${f[4]}
    if [ -n "$filter" ] && ! grep -qE -- "$filter" <<<"$id"; then continue; fi
    ids+=("$id"); paths+=("$path"); origs+=("$orig"); repls+=("$repl"); cmds+=("$cmd")
  done <"$list"
done
total=${#ids[@]}
[ "$total" -gt 0 ] || { echo "mutants: nothing selected" >&2; exit 2; }

# --- copy the tree: only files whose content changed, so the build stays warm
git ls-files -z --cached --others --exclude-standard >"$work/manifest.new"
copied=0
while IFS= read -r -d '' f; do
  [ -f "$f" ] || continue
  if ! cmp -s "$f" "$tree/$f"; then
    mkdir -p "$tree/$(dirname "$f")"; cp "$f" "$tree/$f"; copied=$((copied + 1))
  fi
done <"$work/manifest.new"
if [ -f "$work/manifest" ]; then
  # Files gone from the worktree since the last run go from the copy too.
  comm -z -23 <(sort -z "$work/manifest") <(sort -z "$work/manifest.new") |
    while IFS= read -r -d '' f; do rm -f "$tree/$f"; done
fi
mv "$work/manifest.new" "$work/manifest"
if [ -e "$root/.deps" ] && [ ! -e "$tree/.deps" ]; then
  ln -s "$(readlink -f "$root/.deps")" "$tree/.deps"
fi
echo "mutants: copy refreshed ($copied files changed), $total mutants selected"

cd "$tree"
export CCACHE_BASEDIR=$tree CCACHE_NOHASHDIR=true
export BUILD=$tree/build/linux

# Every original must occur exactly once before anything is built.
count_of() { # file original -> occurrences
  python3 -c 'import sys; print(open(sys.argv[1], encoding="utf-8").read().count(sys.argv[2]))' "$1" "$2" 2>/dev/null || echo 0
}
invalid=()
for i in "${!ids[@]}"; do
  c=$(count_of "${paths[$i]}" "${origs[$i]}")
  [ "$c" = 1 ] || { echo "invalid ${ids[$i]}: original found $c times in ${paths[$i]}"; invalid[$i]=1; }
done

if [ "$check_only" -eq 1 ]; then
  echo "mutants: ${#invalid[@]} of $total originals do not apply"
  [ ${#invalid[@]} -eq 0 ]; exit
fi

build_tree() { # log -> status
  cmake --build "$BUILD" -j"$jobs" >"$1" 2>&1
}
echo "mutants: configuring and building the unbroken copy"
if ! { cmake --preset linux -DQUILLET_ENGINE=ON -DQUILLET_MODULES=ON -DQUILLET_TESTS=ON >"$logs/configure.log" 2>&1 &&
       build_tree "$logs/baseline-build.log"; }; then
  tail -30 "$logs/configure.log" "$logs/baseline-build.log" 2>/dev/null
  echo "mutants: the unbroken copy does not build" >&2; exit 2
fi

declare -A base_ok=()
if [ "$baseline" -eq 1 ]; then
  for i in "${!ids[@]}"; do
    c=${cmds[$i]}
    [ -n "${base_ok[$c]:-}" ] && continue
    if timeout "$limit" bash -c "$c" >"$logs/baseline-$i.log" 2>&1; then
      base_ok[$c]=1
    else
      base_ok[$c]=0
      echo "mutants: command fails on the unbroken tree (log build/mutants/logs/baseline-$i.log): $c"
    fi
  done
fi

# --- one mutant at a time ---------------------------------------------------
current=''
restore() {
  if [ -n "$current" ]; then cp "$work/saved" "$current"; current=''; fi
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

killed=0; survived=(); build_failed=(); others=()
for i in "${!ids[@]}"; do
  id=${ids[$i]}; path=${paths[$i]}; cmd=${cmds[$i]}
  if [ -n "${invalid[$i]:-}" ]; then others+=("$id (invalid)"); continue; fi
  if [ "${base_ok[$cmd]:-1}" = 0 ]; then
    echo "baseline-failed $id"; others+=("$id (baseline-failed)"); continue
  fi
  cp "$path" "$work/saved"; current=$path
  python3 - "$path" "${origs[$i]}" "${repls[$i]}" <<'EOF'
import sys
path, orig, repl = sys.argv[1:4]
with open(path, encoding="utf-8", newline="") as f:
    text = f.read()
with open(path, "w", encoding="utf-8", newline="") as f:
    f.write(text.replace(orig, repl, 1))
EOF
  log=$logs/$id.log
  if ! build_tree "$log"; then
    echo "build-failed $id (log build/mutants/logs/$id.log)"; build_failed+=("$id")
  elif timeout "$limit" bash -c "$cmd" >>"$log" 2>&1; then
    echo "SURVIVED $id"; survived+=("$id")
  else
    echo "killed $id"; killed=$((killed + 1))
  fi
  restore
done
# Leave the copy's build matching the unbroken tree for the next run.
build_tree "$logs/final-build.log" || echo "mutants: rebuilding the restored copy failed" >&2

[ ${#survived[@]} -eq 0 ] || echo "survived: ${survived[*]}"
[ ${#build_failed[@]} -eq 0 ] || echo "build-failed: ${build_failed[*]}"
[ ${#others[@]} -eq 0 ] || echo "not run: ${others[*]}"
echo "mutants: $killed killed of $total ($(( killed * 100 / total ))%)"
[ "$killed" -eq "$total" ]
