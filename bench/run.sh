#!/usr/bin/env bash
# Benchmarks callerfs against the native tree and against bindfs, each FUSE
# daemon mounted in the background the way users run it. Measures metadata,
# listing, small-file, streaming, random-read, two-client and real-job
# workloads, interleaved round-robin over the configurations with the order
# rotated each round, and prints the medians over rounds as a table (also
# written as markdown to --out). Also measures the callerfs daemon's memory
# with 10,000 files held open by two users.
#
# Benchmarks measure; they never assert timing. Run as root.
#
#   bench/run.sh [--quick] [--rounds N] [--configs LIST] [--previous BIN] [--user UID] [--out FILE]
#
#   --quick     small sizes (1,000 files, 2,000-entry tree, 10,000-entry
#               directory, 64 MiB file, 3 s of fio) and 1 round
#   --rounds N  rounds over all configurations (default 3)
#   --out FILE  markdown report (default bench/results.md)
#   --previous BIN  an earlier callerfs binary to measure beside this one
#               (adds the prev configurations to the default list)
#   --user UID  run every workload as UID instead of root (callerfs serves
#               root's requests with its own credentials, a user's with the
#               user's), and add a two-user run: the 2-client phase again with
#               its clients as UID and UID+1, whose requests alternate
#
# Configurations (LIST is comma-separated; default all):
#   native          the source directory itself, no mount
#   callerfs        callerfs SRC MNT, multi-threaded (its default)
#   callerfs-s      callerfs -s (single-threaded)
#   callerfs-nocache  callerfs with attr_timeout=0,entry_timeout=0 (every
#                   request reaches the daemon; not in the default list)
#   callerfs-coherent  callerfs -o coherent (direct_io, no attribute, entry or
#                   negative caching; not in the default list)
#   prev, prev-s    the --previous binary mirroring the whole tree (the tree is
#                   reached at MNT/SRC), with the options that are this
#                   callerfs's defaults: big_writes,max_write=131072,auto_cache
#   prev-plain      the --previous binary as above, without those options
#   bindfs          bindfs, single-threaded (its default)
#   bindfs-mt       bindfs --multithreaded
#   bindfs-mt-dio   bindfs --multithreaded -o direct_io (its page cache off;
#                   not in the default list)
#   mergerfs        mergerfs with the source as its one branch, no options but
#                   allow_other
#   NAME-bw         each FUSE configuration with -o big_writes,max_write=131072
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=$repo/build-bench
driver=$build/bench-driver

all_configs=(native callerfs callerfs-s bindfs bindfs-mt mergerfs callerfs-bw callerfs-s-bw bindfs-bw bindfs-mt-bw)
default_configs=$(IFS=,; echo "${all_configs[*]}")
all_configs+=(callerfs-nocache callerfs-coherent bindfs-mt-dio)
prev_configs=(prev prev-s prev-plain)
previous=""
user=""
settle_seconds=1.5 # longer than the FUSE library's 1 s attribute and entry caches
# Descriptor limit for the daemons: 65536, or the hard limit where raising it
# is not allowed (no CAP_SYS_RESOURCE, e.g. in a container).
nofile=65536
hard_nofile=$(ulimit -Hn)
if [ "$hard_nofile" != unlimited ] && [ "$hard_nofile" -lt "$nofile" ]; then nofile=$hard_nofile; fi

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}

quick=0
rounds=""
configs_csv=$default_configs
out=$here/results.md
command_line="bench/run.sh $*"
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift ;;
    --rounds=*) rounds=${1#*=} ;;
    --configs) configs_csv=${2:?--configs needs a list}; shift ;;
    --configs=*) configs_csv=${1#*=} ;;
    --previous) previous=$(realpath "${2:?--previous needs a binary}"); shift ;;
    --previous=*) previous=$(realpath "${1#*=}") ;;
    --user) user=${2:?--user needs a uid}; shift ;;
    --user=*) user=${1#*=} ;;
    --out) out=${2:?--out needs a file}; shift ;;
    --out=*) out=${1#*=} ;;
    -h|--help) usage 0 ;;
    *) echo "run.sh: unknown argument: $1" >&2; usage 2 >&2 ;;
  esac
  shift
done

if [ -n "$previous" ]; then
  [ -x "$previous" ] || { echo "run.sh: --previous: $previous is not a program" >&2; exit 2; }
  all_configs+=("${prev_configs[@]}")
  [[ $command_line == *--configs* ]] || configs_csv=native,callerfs,callerfs-s,prev,prev-s,prev-plain,bindfs,bindfs-mt,mergerfs
fi

if [ "$quick" -eq 1 ]; then
  : "${rounds:=1}"
  meta_files=1000 tree_top=10 tree_sub=10 tree_files=19 bigdir_entries=10000
  small_files=1000 big_mib=64 fio_size=64M fio_runtime=3
  tar_sources=(usr/include/linux)
else
  : "${rounds:=3}"
  meta_files=10000 tree_top=20 tree_sub=10 tree_files=99 bigdir_entries=100000
  small_files=2000 big_mib=1024 fio_size=256M fio_runtime=10
  tar_sources=(usr/share/perl usr/include/c++ usr/include/linux)
fi
small_size=4096
rss_files_per_user=5000
rss_users=(1000 1001)
tree_entries=$((tree_top + tree_top * tree_sub + tree_top * tree_sub * tree_files))

if ! [[ $rounds =~ ^[1-9][0-9]*$ ]]; then
  echo "run.sh: --rounds wants a positive number, got '$rounds'" >&2
  exit 2
fi
IFS=, read -r -a configs <<<"$configs_csv"
[ ${#configs[@]} -gt 0 ] || { echo "run.sh: --configs is empty" >&2; exit 2; }
for cfg in "${configs[@]}"; do
  if ! [[ " ${all_configs[*]} " == *" $cfg "* ]]; then
    echo "run.sh: unknown configuration '$cfg' (known: ${all_configs[*]})" >&2
    exit 2
  fi
done
selected() { [[ " ${configs[*]} " == *" $1 "* ]]; }

if [ "$(id -u)" -ne 0 ]; then
  echo "run.sh: run as root (mounts with allow_other, drops caches, acts as other users)" >&2
  exit 1
fi

log() { printf '%s\n' "$*" >&2; }
[ -z "$user" ] || [[ $user =~ ^[1-9][0-9]*$ ]] || { log "run.sh: --user wants a uid other than 0"; exit 2; }

# Runs a timed command as --user, or as root.
as_user() {
  if [ -n "$user" ]; then
    setpriv --reuid="$user" --regid="$user" --clear-groups env HOME="$root" "$@"
  else
    "$@"
  fi
}
# Makes work directories (natively) owned by --user, or the given uid.
mkwork() {
  local owner=${user:-0}
  if [[ $1 =~ ^[0-9]+$ ]]; then owner=$1; shift; fi
  mkdir "$@"
  chown "$owner:$owner" "$@"
}

# --- dependencies and build -------------------------------------------------
"$repo/scripts/install-deps.sh" bindfs mergerfs fio git
log "building the Release daemon in $build"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target callerfs >/dev/null
g++ -O2 -std=c++20 -Wall -Wextra -o "$driver" "$here/driver.cpp"

# --- scratch tree, mounts and cleanup --------------------------------------
root=$(mktemp -d /var/tmp/callerfs-bench.XXXXXX)
chmod 755 "$root"
src=$root/src
mnt=$root/mnt
data=$root/data
mkdir -p "$src" "$mnt" "$data"
chmod 755 "$src" "$mnt"

mounted=()             # mount points this run made (or tried to)
declare -A daemon_pid  # configuration -> daemon PID
helper_pids=()         # background helpers this run started

is_mounted() { awk -v m="$1" '$2 == m { found = 1 } END { exit !found }' /proc/mounts; }

cleanup() {
  local status=$? pid m i
  set +e
  trap - EXIT INT TERM
  for pid in "${helper_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  for m in "${mounted[@]}"; do
    is_mounted "$m" || continue
    for i in 1 2 3 4 5; do
      fusermount -u "$m" 2>/dev/null && break
      sleep 1
    done
    if is_mounted "$m"; then
      log "run.sh: $m is busy; detaching it lazily"
      fusermount -uz "$m"
    fi
  done
  for pid in "${daemon_pid[@]}"; do
    for i in $(seq 50); do [ -e "/proc/$pid" ] || break; sleep 0.1; done
    if [ -e "/proc/$pid" ]; then
      log "run.sh: daemon $pid still running after unmount; ending it"
      kill -TERM "$pid"
    fi
  done
  if awk -v r="$root/" 'index($2, r) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
    log "run.sh: something is still mounted under $root; leaving it in place"
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The daemons fork into the background; find each by its exact mount point
# argument, which names a directory only this run uses.
find_daemon() {
  local m=$1 p exe arg args
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    case ${exe##*/} in callerfs|bindfs|mergerfs) ;; *) continue ;; esac
    mapfile -d '' args 2>/dev/null <"$p/cmdline" || continue
    for arg in "${args[@]}"; do
      if [ "$arg" = "$m" ]; then
        echo "${p#/proc/}"
        return 0
      fi
    done
  done
  return 1
}

mount_config() {
  local cfg=$1 m=$mnt/$1 extra="" cmd i
  [[ $cfg == *-bw ]] && extra=",big_writes,max_write=131072"
  local tuned=big_writes,max_write=131072,auto_cache
  # The memory phase holds 5,000 files per user open: above the default cap
  # where the descriptor limit is 20,000.
  local own="allow_other,max_files_per_user=$nofile"
  case ${cfg%-bw} in
    callerfs) cmd=("$build/callerfs" -o "$own$extra" "$src" "$m") ;;
    callerfs-s) cmd=("$build/callerfs" -s -o "$own$extra" "$src" "$m") ;;
    callerfs-nocache) cmd=("$build/callerfs" -o "$own,attr_timeout=0,entry_timeout=0$extra" "$src" "$m") ;;
    callerfs-coherent) cmd=("$build/callerfs" -o "$own,coherent$extra" "$src" "$m") ;;
    prev) cmd=("$previous" -o "allow_other,$tuned" "$m") ;;
    prev-s) cmd=("$previous" -s -o "allow_other,$tuned" "$m") ;;
    prev-plain) cmd=("$previous" -o allow_other "$m") ;;
    bindfs) cmd=(bindfs -o "allow_other$extra" "$src" "$m") ;;
    bindfs-mt) cmd=(bindfs --multithreaded -o "allow_other$extra" "$src" "$m") ;;
    bindfs-mt-dio) cmd=(bindfs --multithreaded -o "allow_other,direct_io$extra" "$src" "$m") ;;
    mergerfs) cmd=(mergerfs -o "allow_other$extra" "$src" "$m") ;;
  esac
  mkdir -p "$m"
  mounted+=("$m")
  prlimit --nofile=$nofile:$nofile "${cmd[@]}" >/dev/null
  for i in $(seq 100); do is_mounted "$m" && break; sleep 0.1; done
  is_mounted "$m" || { log "run.sh: $cfg did not mount at $m"; exit 1; }
  daemon_pid[$cfg]=$(find_daemon "$m") || { log "run.sh: no daemon found for $m"; exit 1; }
  log "mounted $cfg at $m (pid ${daemon_pid[$cfg]}): ${cmd[*]}"
}

base_of() {
  case $1 in
    native) echo "$src" ;;
    prev*) echo "$mnt/$1$src" ;;  # a mirror of the whole tree
    *) echo "$mnt/$1" ;;
  esac
}

# --- helpers ----------------------------------------------------------------
# Untimed: flush what earlier phases left dirty, so that no configuration pays
# for another's writeback, then let the FUSE caches expire.
settle() {
  sync
  sleep "$settle_seconds"
}

drop_warned=0
drop_caches() {
  sync
  if ! echo 3 2>/dev/null >/proc/sys/vm/drop_caches && [ $drop_warned -eq 0 ]; then
    log "run.sh: cannot drop the page cache; cold-read figures will be warm"
    drop_warned=1
  fi
}

now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
rate() { awk -v n="$1" -v t="$2" 'BEGIN { if (t <= 0) t = 1e-9; printf "%.3f", n / t }'; }

# metric id | label | unit | kind (rate: higher is better; time: lower is better)
metrics=(
  "csu|create+stat+unlink, $meta_files files|ops/s|rate"
  "create|create, $meta_files files|ops/s|rate"
  "stat|stat, $meta_files files|ops/s|rate"
  "rename|rename, $meta_files files|ops/s|rate"
  "unlink|unlink, $meta_files files|ops/s|rate"
  "find|find -printf over $tree_entries-entry tree|entries/s|rate"
  "du|du -s over $tree_entries-entry tree|entries/s|rate"
  "ls|ls -f of $bigdir_entries-entry dir|entries/s|rate"
  "swrite|write $small_files x 4 KiB files|files/s|rate"
  "sread|read $small_files x 4 KiB files|files/s|rate"
  "seqw|sequential write $big_mib MiB (fsync)|MiB/s|rate"
  "seqr|sequential read $big_mib MiB (cold)|MiB/s|rate"
  "randr|fio randread 4k, 2 jobs (cold)|IOPS|rate"
  "csu2|2 clients create+stat+unlink|ops/s|rate"
  "csu2u|2 clients of 2 users create+stat+unlink|ops/s|rate"
  "untar|untar source tarball|s|time"
  "git|git init+add+commit|s|time"
  "job|untar + git total|s|time"
)
values=$data/values.tsv
: >"$values"
record() { printf '%s\t%s\t%s\t%s\n' "$round" "$1" "$2" "$3" >>"$values"; }

# --- input data (made natively, once) ---------------------------------------
log "making input data in $src"
mkdir -p "$src/shared/tree" "$src/shared/bigdir" "$src/shared/fio" "$src/w"
"$driver" tree "$src/shared/tree" "$tree_top" "$tree_sub" "$tree_files"
"$driver" populate "$src/shared/bigdir" "$bigdir_entries"
fio --name=rr --directory="$src/shared/fio" --rw=randread --bs=4k --numjobs=2 \
  --size="$fio_size" --create_only=1 >/dev/null
existing_sources=()
for s in "${tar_sources[@]}"; do [ -d "/$s" ] && existing_sources+=("$s"); done
[ ${#existing_sources[@]} -gt 0 ] || existing_sources=(usr/include)
tarball=$data/input.tar
tar -cf "$tarball" -C / "${existing_sources[@]}"
tar_mib=$(($(stat -c %s "$tarball") / 1048576))
tar_entries=$(tar -tf "$tarball" | wc -l)
log "tarball of $(printf '/%s ' "${existing_sources[@]}"): $tar_mib MiB, $tar_entries entries"
for cfg in "${configs[@]}"; do mkdir -p "$src/w/$cfg"; done
[ -z "$user" ] || chown -R "$user:$user" "$src/w"

for cfg in "${configs[@]}"; do
  [ "$cfg" = native ] || mount_config "$cfg"
done

# --- daemon memory with 10,000 files held open by two users ----------------
rss_report=$data/rss.md
kib() { awk -v k="$1" '$1 == k":" { print $2 }' "/proc/$2/status"; }
measure_rss() {
  local pid=${daemon_pid[callerfs]} m=$mnt/callerfs u i out idle held hwm fds after limit
  for u in "${rss_users[@]}"; do
    mkdir -p "$src/rss/u$u"
    "$driver" populate "$src/rss/u$u" "$rss_files_per_user"
  done
  idle=$(kib VmRSS "$pid")
  local holders=()
  for u in "${rss_users[@]}"; do
    "$driver" holdopen "$m/rss/u$u" "$rss_files_per_user" "$u" "$u" >"$data/hold.$u" 2>&1 &
    helper_pids+=($!)
    holders+=($!)
  done
  for u in "${rss_users[@]}"; do
    for i in $(seq 1200); do
      grep -q '^ready' "$data/hold.$u" && break
      if ! kill -0 "${holders[0]}" 2>/dev/null || ! kill -0 "${holders[1]}" 2>/dev/null; then break; fi
      sleep 0.1
    done
    grep -q '^ready' "$data/hold.$u" || { log "run.sh: holder for uid $u failed: $(cat "$data/hold.$u")"; exit 1; }
  done
  held=$(kib VmRSS "$pid")
  hwm=$(kib VmHWM "$pid")
  fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  limit=$(prlimit --pid "$pid" --nofile --noheadings --output SOFT,HARD | awk '{ print $1 ":" $2 }')
  for i in "${holders[@]}"; do kill -TERM "$i"; wait "$i" 2>/dev/null || true; done
  helper_pids=()
  sleep 1
  after=$(kib VmRSS "$pid")
  rm -rf "$src/rss"
  {
    echo "## callerfs daemon memory (default, multi-threaded mount)"
    echo
    echo "Two users (uid ${rss_users[0]} and ${rss_users[1]}) each hold $rss_files_per_user files open read-only through the mount."
    echo
    echo "| state | VmRSS |"
    echo "| --- | --- |"
    awk -v k="$idle" 'BEGIN { printf "| idle, after mount | %.1f MiB |\n", k / 1024 }'
    awk -v k="$held" -v f="$fds" 'BEGIN { printf "| %d files held open (daemon has %d descriptors) | %.1f MiB |\n", 2 * '"$rss_files_per_user"', f, k / 1024 }'
    awk -v k="$hwm" 'BEGIN { printf "| peak (VmHWM) | %.1f MiB |\n", k / 1024 }'
    awk -v k="$after" 'BEGIN { printf "| after the holders closed them | %.1f MiB |\n", k / 1024 }'
    echo
    echo "Daemon descriptor limit (soft:hard): $limit. Target: under 50 MiB with the files held open."
    echo
  } >"$rss_report"
  log "callerfs RSS: idle $((idle / 1024)) MiB, with $((2 * rss_files_per_user)) files held open $((held / 1024)) MiB ($fds fds, limit $limit)"
}
if selected callerfs; then measure_rss; else : >"$rss_report"; fi

# --- workloads --------------------------------------------------------------
# Each timed phase is preceded by settle(); set-up and clean-up are native and
# untimed. $b is the configuration's view of the source tree, $w its own work
# directory there and $nw the same directory on the source tree.

wl_meta() {
  local cfg=$1 b=$2 w=$3/meta nw=$4/meta t
  mkwork "$nw"
  settle; t=$(as_user "$driver" csu "$w" "$meta_files"); record csu "$cfg" "$(rate $((3 * meta_files)) "$t")"
  settle; t=$(as_user "$driver" create "$w" "$meta_files"); record create "$cfg" "$(rate "$meta_files" "$t")"
  settle; t=$(as_user "$driver" stat "$w" "$meta_files"); record stat "$cfg" "$(rate "$meta_files" "$t")"
  settle; t=$(as_user "$driver" rename "$w" "$meta_files"); record rename "$cfg" "$(rate "$meta_files" "$t")"
  settle; t=$(as_user "$driver" unlink "$w" "$meta_files"); record unlink "$cfg" "$(rate "$meta_files" "$t")"
  rm -rf "$nw"
}

wl_tree() {
  local cfg=$1 b=$2 t0 t1 n
  settle
  t0=$(now); n=$(as_user find "$b/shared/tree" -printf '%s %p\n' | wc -l); t1=$(now)
  [ "$n" -eq $((tree_entries + 1)) ] || { log "run.sh: find on $cfg saw $n entries"; exit 1; }
  record find "$cfg" "$(rate "$n" "$(elapsed "$t0" "$t1")")"
  settle
  t0=$(now); as_user du -s "$b/shared/tree" >/dev/null; t1=$(now)
  record du "$cfg" "$(rate "$n" "$(elapsed "$t0" "$t1")")"
}

wl_ls() {
  local cfg=$1 b=$2 t0 t1 n
  settle
  t0=$(now); n=$(as_user ls -f "$b/shared/bigdir" | wc -l); t1=$(now)
  [ "$n" -eq $((bigdir_entries + 2)) ] || { log "run.sh: ls on $cfg saw $n entries"; exit 1; }
  record ls "$cfg" "$(rate "$n" "$(elapsed "$t0" "$t1")")"
}

wl_small() {
  local cfg=$1 w=$3/small nw=$4/small t
  mkwork "$nw"
  settle; t=$(as_user "$driver" swrite "$w" "$small_files" "$small_size"); record swrite "$cfg" "$(rate "$small_files" "$t")"
  settle; t=$(as_user "$driver" sread "$w" "$small_files" "$small_size"); record sread "$cfg" "$(rate "$small_files" "$t")"
  rm -rf "$nw"
}

wl_seq() {
  local cfg=$1 w=$3 nw=$4 t0 t1
  settle
  t0=$(now); as_user dd if=/dev/zero of="$w/big" bs=1M count="$big_mib" conv=fsync status=none; t1=$(now)
  record seqw "$cfg" "$(rate "$big_mib" "$(elapsed "$t0" "$t1")")"
  drop_caches
  settle
  t0=$(now); as_user dd if="$w/big" of=/dev/null bs=1M status=none; t1=$(now)
  record seqr "$cfg" "$(rate "$big_mib" "$(elapsed "$t0" "$t1")")"
  rm -f "$nw/big"
}

wl_fio() {
  local cfg=$1 b=$2 iops
  drop_caches
  settle
  iops=$(as_user fio --name=rr --directory="$b/shared/fio" --rw=randread --bs=4k --numjobs=2 \
    --size="$fio_size" --runtime="$fio_runtime" --time_based --direct=0 --ioengine=psync \
    --group_reporting --output-format=terse --terse-version=3 | awk -F';' 'NR == 1 { print $8 }')
  [ -n "$iops" ] || { log "run.sh: fio on $cfg gave no result"; exit 1; }
  record randr "$cfg" "$iops"
}

wl_clients() {
  local cfg=$1 w=$3 nw=$4 t
  mkwork "$nw/c1" "$nw/c2"
  settle; t=$(as_user "$driver" csu2 "$meta_files" "$w/c1" "$w/c2"); record csu2 "$cfg" "$(rate $((2 * 3 * meta_files)) "$t")"
  rm -rf "$nw/c1" "$nw/c2"
  [ -n "$user" ] || return 0
  mkwork "$user" "$nw/c1"
  mkwork $((user + 1)) "$nw/c2"
  settle; t=$("$driver" csu2 "$meta_files" "$w/c1" "$w/c2" "$user" $((user + 1)))
  record csu2u "$cfg" "$(rate $((2 * 3 * meta_files)) "$t")"
  rm -rf "$nw/c1" "$nw/c2"
}

wl_job() {
  local cfg=$1 w=$3/job nw=$4/job t0 t1 t2
  local git=(git -c user.name=bench -c user.email=bench@localhost -c init.defaultBranch=main -C "$w")
  mkwork "$nw"
  settle
  t0=$(now)
  as_user tar -xf "$tarball" -C "$w"
  t1=$(now)
  as_user "${git[@]}" init -q && as_user "${git[@]}" add -A && as_user "${git[@]}" commit -q -m x
  t2=$(now)
  record untar "$cfg" "$(elapsed "$t0" "$t1")"
  record git "$cfg" "$(elapsed "$t1" "$t2")"
  record job "$cfg" "$(elapsed "$t0" "$t2")"
  rm -rf "$nw"
}

workloads=(meta tree ls small seq fio clients job)
start_all=$(now)
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
for round in $(seq "$rounds"); do
  shift_by=$(((round - 1) % ${#configs[@]}))
  order=("${configs[@]:shift_by}" "${configs[@]:0:shift_by}")
  log "round $round/$rounds, order: ${order[*]}"
  for wl in "${workloads[@]}"; do
    for cfg in "${order[@]}"; do
      b=$(base_of "$cfg")
      seen=$(wc -l <"$values")
      "wl_$wl" "$cfg" "$b" "$b/w/$cfg" "$src/w/$cfg"
      threads=""
      [ "$cfg" != native ] && threads="  threads $(ls "/proc/${daemon_pid[$cfg]}/task" 2>/dev/null | wc -l)"
      log "  $wl $cfg: $(tail -n +$((seen + 1)) "$values" | awk -F'\t' '{ printf "%s %s  ", $2, $4 }')$threads"
    done
  done
done
total_minutes=$(awk -v a="$start_all" -v b="$(now)" 'BEGIN { printf "%.1f", (b - a) / 60 }')
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# Memory of every daemon after the whole run.
end_rss=$data/end_rss.md
{
  echo "## Daemon memory after the run"
  echo
  echo "| configuration | VmRSS | VmHWM |"
  echo "| --- | --- | --- |"
  for cfg in "${configs[@]}"; do
    [ "$cfg" = native ] && continue
    p=${daemon_pid[$cfg]}
    awk -v c="$cfg" -v r="$(kib VmRSS "$p")" -v h="$(kib VmHWM "$p")" \
      'BEGIN { printf "| %s | %.1f MiB | %.1f MiB |\n", c, r / 1024, h / 1024 }'
  done
  echo
} >"$end_rss"

# --- report -----------------------------------------------------------------
# Pairs of (callerfs configuration, bindfs of the same threading mode).
pairs=""
for p in callerfs:bindfs-mt callerfs-s:bindfs callerfs-bw:bindfs-mt-bw callerfs-s-bw:bindfs-bw \
  callerfs-coherent:bindfs-mt-dio; do
  selected "${p%%:*}" && selected "${p##*:}" && pairs+="$p "
done
# Pairs of (callerfs configuration, mergerfs).
merger_pairs=""
for p in callerfs:mergerfs callerfs-s:mergerfs; do
  selected "${p%%:*}" && selected "${p##*:}" && merger_pairs+="$p "
done
# Pairs of (callerfs configuration, the previous daemon).
prev_pairs=""
for p in callerfs:prev callerfs-s:prev-s callerfs:prev-plain callerfs-nocache:callerfs \
  callerfs-coherent:callerfs; do
  selected "${p%%:*}" && selected "${p##*:}" && prev_pairs+="$p "
done

metrics_file=$data/metrics.tsv
printf '%s\n' "${metrics[@]}" | tr '|' '\t' >"$metrics_file"

tables=$data/tables.md
awk -F'\t' -v configs="${configs[*]}" -v pairs="$pairs" -v prev_pairs="$prev_pairs" -v merger_pairs="$merger_pairs" '
function median(list, n,    a, i, j, x, k) {
  k = split(list, a, " ")
  for (i = 2; i <= k; i++) { x = a[i] + 0; for (j = i - 1; j >= 1 && a[j] + 0 > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
  if (k == 0) return ""
  return (k % 2) ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
}
function fmt(v) {
  if (v == "") return "-"
  v += 0
  if (v >= 1000) return sprintf("%.0f", v)
  if (v >= 100) return sprintf("%.1f", v)
  return sprintf("%.2f", v)
}
# Relative speed of cfg against ref: >1 means cfg is faster.
function ratios(m, cfg, ref,    list, r, a, b) {
  list = ""
  for (r = 1; r <= nrounds; r++) {
    if (!((r, m, cfg) in val) || !((r, m, ref) in val)) continue
    a = val[r, m, cfg] + 0; b = val[r, m, ref] + 0
    if (a <= 0 || b <= 0) continue
    list = list " " (kind[m] == "time" ? b / a : a / b)
  }
  return list == "" ? "-" : sprintf("%.2f", median(list))
}
function emit(title, note, ncols,    r, c, w, line, sep) {
  for (c = 1; c <= ncols; c++) { w[c] = 3; for (r = 0; r <= nrows; r++) if (length(cell[r, c]) > w[c]) w[c] = length(cell[r, c]) }
  print "## " title; print ""
  if (note != "") { print note; print "" }
  for (r = 0; r <= nrows; r++) {
    line = "|"
    for (c = 1; c <= ncols; c++) line = line " " sprintf(c <= 2 ? "%-" w[c] "s" : "%" w[c] "s", cell[r, c]) " |"
    print line
    if (r == 0) {
      sep = "|"
      for (c = 1; c <= ncols; c++) { s = ""; for (i = 0; i < w[c]; i++) s = s "-"; if (c > 2) s = substr(s, 2) ":"; sep = sep " " s " |" }
      print sep
    }
  }
  print ""
}
# One column per "a:b" pair in list: the ratios of a against b.
function pair_table(list, unit_label, title, note,    np, pr, ab, p, r, m) {
  np = split(list, pr, " ")
  if (np == 0) return
  delete cell
  cell[0, 1] = "workload"; cell[0, 2] = "unit"
  for (p = 1; p <= np; p++) { split(pr[p], ab, ":"); cell[0, p + 2] = ab[1] " / " ab[2] }
  for (p = 1; p <= np; p++) { logs[p] = 0; nlogs[p] = 0 }
  for (r = 1; r <= nm; r++) {
    m = id[r]; cell[r, 1] = label[m]; cell[r, 2] = unit_label
    for (p = 1; p <= np; p++) {
      split(pr[p], ab, ":"); cell[r, p + 2] = ratios(m, ab[1], ab[2])
      if (cell[r, p + 2] != "-" && m != "job") { logs[p] += log(cell[r, p + 2]); nlogs[p]++ }
    }
  }
  # The geometric mean over the workloads (the untar + git total left out:
  # its parts are rows of their own).
  nrows = nm + 1
  cell[nrows, 1] = "geometric mean"; cell[nrows, 2] = unit_label
  for (p = 1; p <= np; p++) cell[nrows, p + 2] = nlogs[p] ? sprintf("%.2f", exp(logs[p] / nlogs[p])) : "-"
  emit(title, note, np + 2)
  nrows = nm
}
FILENAME == ARGV[1] { nm++; id[nm] = $1; label[$1] = $2; unit[$1] = $3; kind[$1] = $4; next }
{ val[$1, $2, $3] = $4; if ($1 > nrounds) nrounds = $1 }
END {
  nc = split(configs, cfgs, " ")
  nrows = nm
  # Table 1: medians.
  delete cell
  cell[0, 1] = "workload"; cell[0, 2] = "unit"
  for (c = 1; c <= nc; c++) cell[0, c + 2] = cfgs[c]
  for (r = 1; r <= nm; r++) {
    m = id[r]; cell[r, 1] = label[m]; cell[r, 2] = unit[m] (kind[m] == "time" ? " (lower is better)" : "")
    for (c = 1; c <= nc; c++) {
      list = ""
      for (k = 1; k <= nrounds; k++) if ((k, m, cfgs[c]) in val) list = list " " val[k, m, cfgs[c]]
      cell[r, c + 2] = fmt(median(list))
    }
  }
  emit("Median over rounds", "", nc + 2)
  # Table 2: against native.
  have_native = (" " configs " ") ~ / native /
  if (have_native && nc > 1) {
    delete cell
    cell[0, 1] = "workload"; cell[0, 2] = "unit"; col = 2
    for (c = 1; c <= nc; c++) if (cfgs[c] != "native") cell[0, ++col] = cfgs[c]
    for (r = 1; r <= nm; r++) {
      m = id[r]; cell[r, 1] = label[m]; cell[r, 2] = "x native"; col = 2
      for (c = 1; c <= nc; c++) if (cfgs[c] != "native") cell[r, ++col] = ratios(m, cfgs[c], "native")
    }
    emit("Relative speed against native", "Median of the per-round ratios; above 1 is faster than native, below 1 slower (for times: native time / configuration time).", col)
  }
  # Two users against one: the same two clients, of two users or of one.
  any_two = 0
  for (c = 1; c <= nc; c++) {
    list = ""
    for (k = 1; k <= nrounds; k++) {
      if ((k, "csu2u", cfgs[c]) in val && (k, "csu2", cfgs[c]) in val && val[k, "csu2", cfgs[c]] > 0) {
        list = list " " val[k, "csu2u", cfgs[c]] / val[k, "csu2", cfgs[c]]
      }
    }
    two[c] = list == "" ? "-" : sprintf("%.2f", median(list))
    if (list != "") any_two = 1
  }
  if (any_two) {
    print "## Two users against one"; print ""
    print "Median of the per-round ratios of the 2-client phase with clients of two users (their requests alternate on the daemon'"'"'s threads) to the same phase with both clients of one user; below 1 is the cost of switching identities."; print ""
    line = "|"; sep = "|"
    for (c = 1; c <= nc; c++) { line = line " " cfgs[c] " |"; sep = sep " ---: |" }
    print line; print sep
    line = "|"
    for (c = 1; c <= nc; c++) line = line " " two[c] " |"
    print line; print ""
  }
  # Table 3: callerfs against bindfs of the same threading mode.
  pair_table(pairs, "x bindfs", "callerfs against bindfs in the same threading mode", "Median of the per-round ratios; above 1 means callerfs is faster, below 1 slower. callerfs-coherent is set against bindfs with its page cache off (-o direct_io).")
  pair_table(merger_pairs, "x mergerfs", "callerfs against mergerfs", "Median of the per-round ratios; above 1 means callerfs is faster, below 1 slower. mergerfs runs with its defaults (a thread pool).")
  # Table 4: callerfs against the previous daemon.
  pair_table(prev_pairs, "x previous", "callerfs against the previous daemon and itself", "Median of the per-round ratios; above 1 means the first is faster, below 1 slower. prev and prev-s have the same options as this callerfs by default; prev-plain has the previous defaults; callerfs-nocache / callerfs is the cost of attr_timeout=0,entry_timeout=0, callerfs-coherent / callerfs that of -o coherent.")
}' "$metrics_file" "$values" >"$tables"

raw=$data/raw.md
{
  echo "## Per-round values"
  echo
  echo '```'
  awk -F'\t' '{ printf "round %s  %-7s %-14s %s\n", $1, $2, $3, $4 }' "$values"
  echo '```'
  echo
} >"$raw"

report=$data/report.md
{
  echo "# callerfs benchmark"
  echo
  echo "- command: \`$command_line\`"
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'), $rounds round(s), $total_minutes min of workloads"
  echo "- machine: $(nproc) cores ($(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), kernel $(uname -r), source tree on $(df -T "$src" | awk 'NR == 2 { print $2 }')"
  echo "- load average (1, 5, 15 min) before the workloads: $load_start; after: $load_end (anything else running on the machine shows up as noise)"
  echo "- bindfs $(bindfs --version 2>/dev/null | awk '{ print $2; exit }'), fio $(fio --version), libfuse $(pkg-config --modversion fuse)"
  echo "- workloads run as $([ -n "$user" ] && echo "uid $user (the two-user phase as uid $user and $((user + 1)))" || echo root)"
  echo "- every configuration is mounted once, in the background, with allow_other; workloads run round-robin over the configurations, the order rotated each round, with a sync and a ${settle_seconds} s pause before each timed phase so the FUSE attribute and entry caches expire; caches are dropped before the cold reads"
  echo "- sizes: $meta_files files for the metadata phases (create+stat+unlink counts 3 ops a file; 2 clients: $meta_files files each), tree of $tree_entries entries, directory of $bigdir_entries entries, $small_files files of 4 KiB, $big_mib MiB file (dd bs=1M), fio --size=$fio_size x 2 jobs for ${fio_runtime} s, tarball of $(printf '/%s ' "${existing_sources[@]}")($tar_mib MiB, $tar_entries entries)"
  echo
  cat "$tables" "$rss_report" "$end_rss" "$raw"
} >"$report"

echo
cat "$report"
mkdir -p "$(dirname "$out")"
cp "$report" "$out"
log "report written to $out"
