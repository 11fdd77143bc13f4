#!/usr/bin/env bash
# Two devices (test peers, optimised) in network namespaces, paired and idle. Each workload is
# copied into device A's folder and timed until device B's tree has the same manifest (path,
# mode, size, mtime to the millisecond, SHA-1); beside it, `rsync -a` of the same tree into an
# rsync daemon in B's namespace. Prints the figures; asserts nothing. Needs root.
#   bench/e2e.sh [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then echo "bench/e2e.sh: network namespaces need root" >&2; exit 2; fi
if [ "${1:-}" != "--no-build" ]; then
  ./scripts/setup.sh
  ./scripts/build.sh bench
fi
PEER="$PWD/build/bench/bench/peer/velbor_test_peer"
WAIT_LIMIT=300  # seconds a workload may take before it counts as not converging

WORK="$(mktemp -d "${TMPDIR:-/tmp}/velbor-e2e-bench.XXXXXX")"
NA="vbench$$a"
NB="vbench$$b"
IPA=10.79.0.1
IPB=10.79.0.2
declare -A IN OUT PID
RSYNCD=""

cleanup() {
  set +e
  for name in "${!PID[@]}"; do kill -TERM "${PID[$name]}" 2>/dev/null; done
  [ -n "$RSYNCD" ] && kill -TERM "$RSYNCD" 2>/dev/null
  for name in "${!PID[@]}"; do
    for _ in $(seq 100); do kill -0 "${PID[$name]}" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "${PID[$name]}" 2>/dev/null
  done
  wait 2>/dev/null
  ip netns del "$NA" 2>/dev/null
  ip netns del "$NB" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

ip netns add "$NA"
ip netns add "$NB"
ip link add veth0 netns "$NA" type veth peer name veth1 netns "$NB"
ip -n "$NA" addr add "$IPA/24" brd + dev veth0
ip -n "$NB" addr add "$IPB/24" brd + dev veth1
for ns in "$NA" "$NB"; do ip -n "$ns" link set lo up; done
ip -n "$NA" link set veth0 up
ip -n "$NB" link set veth1 up

# start_peer NAME NAMESPACE OPTIONS...: a device driven over two FIFOs; its ready line in READY.
# Not in a subshell: the descriptors and the process id stay with this shell.
start_peer() {
  local name=$1 ns=$2
  shift 2
  local home="$WORK/$name"
  mkdir -p "$home/sync"
  mkfifo "$WORK/$name.in" "$WORK/$name.out"
  ip netns exec "$ns" env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$home" "$PEER" --token bench \
    --broadcast-interval 1 "$@" <"$WORK/$name.in" >"$WORK/$name.out" 2>"$WORK/$name.log" &
  PID[$name]=$!
  local fd
  exec {fd}>"$WORK/$name.in"
  IN[$name]=$fd
  exec {fd}<"$WORK/$name.out"
  OUT[$name]=$fd
  READY=""
  read -r -t 60 READY <&"${OUT[$name]}" || true
}

# cmd NAME LINE: one command, its answer line.
cmd() {
  local line
  printf '%s\n' "$2" >&"${IN[$1]}"
  read -r -t 600 line <&"${OUT[$1]}"
  echo "$line"
}

usn() { cmd "$1" status | jq -r .usn; }
hwm() { awk '/VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/${PID[$1]}/status"; }

# Waits until neither device's usn moves over two seconds.
settle() {
  local a b
  for _ in $(seq 60); do
    a="$(usn a) $(usn b)"
    sleep 2
    b="$(usn a) $(usn b)"
    [ "$a" = "$b" ] && return 0
  done
  echo "devices did not settle" >&2
}

# Folders by path; files by path, mode, size and mtime in milliseconds. Download temporaries
# come and go while find walks: what vanishes under it is no error.
cheap_manifest() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf 'd %P\n' \) -o \( -type f -printf 'f %P %m %s %T@\n' \) 2>/dev/null) |
    awk '$1 == "f" { t = $5; sub(/\.[0-9]*$/, "", t); f = $5; sub(/^[0-9]*\.?/, "", f); f = substr(f "000", 1, 3);
                     $5 = t "." f } { print }' | LC_ALL=C sort
}
sha_manifest() { (cd "$1" && find . -type f -print0 2>/dev/null | LC_ALL=C sort -z | xargs -0r sha1sum); }

# converge SOURCE TARGET: waits until TARGET's manifest is SOURCE's; prints the end time or "never".
converge() {
  local cheap sha start end
  cheap="$(cheap_manifest "$1")"
  sha="$(sha_manifest "$1")"
  start=$(now)
  while :; do
    if [ -d "$2" ] && [ "$(cheap_manifest "$2")" = "$cheap" ]; then
      end=$(now)
      if [ "$(sha_manifest "$2")" = "$sha" ]; then echo "$end"; return; fi
    fi
    if awk -v a="$start" -v b="$(now)" -v limit="$WAIT_LIMIT" 'BEGIN { exit !(b - a > limit) }'; then
      echo never
      return
    fi
    sleep 0.05
  done
}

start_peer a "$NA"
UA=$(jq -r .uuid <<<"$READY")
start_peer b "$NB" --accept-trust
UB=$(jq -r .uuid <<<"$READY")
[ -n "$UA" ] && [ "$UA" != null ] && [ -n "$UB" ] && [ "$UB" != null ] || { echo "a device did not start" >&2; exit 1; }
for _ in $(seq 100); do
  cmd a devices | jq -e --arg u "$UB" '.devices[] | select(.uuid == $u)' >/dev/null && break
  sleep 0.2
done
[ "$(cmd a "trust $UB" | jq -r .result)" = accepted ] || { echo "trust not accepted" >&2; exit 1; }
FA="$WORK/a/sync"
FB="$WORK/b/sync"
cmd a "pair $FA $UB $FB" | jq -e .ok >/dev/null || { echo "pairing failed" >&2; exit 1; }

mkdir -p "$WORK/sink"
cat >"$WORK/rsyncd.conf" <<EOF
[sink]
path = $WORK/sink
read only = false
uid = root
gid = root
use chroot = no
EOF
ip netns exec "$NB" rsync --daemon --no-detach --config="$WORK/rsyncd.conf" --port=8730 &
RSYNCD=$!
for _ in $(seq 50); do ip netns exec "$NA" bash -c "exec 3<>/dev/tcp/$IPB/8730" 2>/dev/null && break; sleep 0.1; done

# Workloads, generated once outside both folders.
SRC="$WORK/src"
mkdir -p "$SRC/big"
for i in 1 2 3 4; do head -c $((256 << 20)) /dev/urandom >"$SRC/big/file$i.bin"; done
# gen_files DIR FOLDERS FILES MIN MAX: FILES files over FOLDERS folders, sizes in [MIN, MAX] bytes.
gen_files() {
  for ((d = 0; d < $2; d++)); do mkdir -p "$1/d$d"; done
  awk -v dir="$1" -v folders="$2" -v files="$3" -v lo="$4" -v hi="$5" 'BEGIN {
    srand(7); chunk = ""; for (i = 0; i < 1024; i++) chunk = chunk sprintf("%c", 97 + int(rand() * 26));
    for (i = 0; i < files; i++) {
      size = lo + int(rand() * (hi - lo + 1)); path = sprintf("%s/d%d/f%05d", dir, i % folders, i);
      text = sprintf("%d:", i); while (length(text) < size) text = text substr(chunk, 1 + int(rand() * 512), 512);
      printf "%s", substr(text, 1, size) > path; close(path) } }'
}
gen_files "$SRC/medium" 20 2000 1024 65536
gen_files "$SRC/small" 100 10000 100 100
settle

printf '%-26s %10s %14s %10s %14s %7s %16s\n' workload "velbor s" "velbor rate" "rsync s" "rsync rate" ratio "peak RSS A/B MB"
# run_workload NAME LABEL BYTES FILES: copy, wait, then rsync of the same tree.
run_workload() {
  local name=$1 label=$2 bytes=$3 files=$4 start end vs rs rate rrate
  start=$(now)
  cp -a "$SRC/$name" "$FA/$name"
  end=$(converge "$SRC/$name" "$FB/$name")
  if [ "$end" = never ]; then vs=never; else vs=$(elapsed "$start" "$end"); fi
  start=$(now)
  ip netns exec "$NA" rsync -a "$SRC/$name/" "rsync://$IPB:8730/sink/$name/"
  end=$(converge "$SRC/$name" "$WORK/sink/$name")
  rs=$(elapsed "$start" "$end")
  if [ "$bytes" -gt 0 ]; then
    rate() { [ "$1" = never ] && echo - || awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.1f MB/s", b / 1e6 / s }'; }
  else
    rate() { [ "$1" = never ] && echo - || awk -v n="$files" -v s="$1" 'BEGIN { printf "%.0f files/s", n / s }'; }
  fi
  local ratio=-
  [ "$vs" != never ] && ratio=$(awk -v v="$vs" -v r="$rs" 'BEGIN { printf "%.2f", v / r }')
  printf '%-26s %10s %14s %10s %14s %7s %16s\n' "$label" "$vs" "$(rate "$vs")" "$rs" "$(rate "$rs")" "$ratio" \
    "$(hwm a)/$(hwm b)"
  settle
}
run_workload big "4 x 256 MiB" $((4 << 28)) 4
run_workload medium "2,000 x 1-64 KiB" 0 2000
run_workload small "10,000 x 100 B" 0 10000

# Latency: one 4 KiB file rewritten in place, median of five.
mkdir -p "$FA/latency" "$WORK/latency"
head -c 4096 /dev/urandom >"$FA/latency/one.bin"
cp -a "$FA/latency/one.bin" "$WORK/latency/one.bin"
converge "$WORK/latency" "$FB/latency" >/dev/null
ip netns exec "$NA" rsync -a "$WORK/latency/" "rsync://$IPB:8730/sink/latency/"
settle
ours=()
theirs=()
for round in 1 2 3 4 5; do
  head -c 4096 /dev/urandom >"$WORK/latency.new"
  start=$(now)
  cat "$WORK/latency.new" >"$FA/latency/one.bin"
  cp -a "$FA/latency/one.bin" "$WORK/latency/one.bin"
  end=$(converge "$WORK/latency" "$FB/latency")
  [ "$end" = never ] && ours+=(never) || ours+=("$(elapsed "$start" "$end")")
  start=$(now)
  ip netns exec "$NA" rsync -a "$WORK/latency/" "rsync://$IPB:8730/sink/latency/"
  theirs+=("$(elapsed "$start" "$(converge "$WORK/latency" "$WORK/sink/latency")")")
  sleep 2
done
median() { printf '%s\n' "$@" | sort -g | sed -n 3p; }
vs=$(median "${ours[@]}")
rs=$(median "${theirs[@]}")
printf '%-26s %10s %14s %10s %14s %7s %16s\n' "4 KiB rewrite (median/5)" "$vs" "(${ours[*]})" "$rs" "" \
  "$(awk -v v="$vs" -v r="$rs" 'BEGIN { printf "%.2f", v / r }')" "$(hwm a)/$(hwm b)"
