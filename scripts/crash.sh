#!/usr/bin/env bash
# Saves interrupted at every moment: talvekkey server-key killed with
# SIGKILL after a random delay, and server-key and delete killed by strace at
# each of their file system calls in turn (the N-th openat, write, fsync,
# rename, unlink ...).
# After each interruption every file must be whole, old or new: the base
# loads with its channels before or after the change, a public part that is
# there reads, a base that got the channel without its public part has it
# written again by export-public, and the next save leaves no temporary.
#
#   scripts/crash.sh [KILLS] [TALVEKKEY]
set -uo pipefail
KILLS=${1:-200}
TALVEKKEY=${2:-build/release/src/cli/talvekkey}
command -v strace >/dev/null || { echo "strace is needed" >&2; exit 2; }
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
BASE="$DIR/crash.key_base"
PART="$DIR/part.okp"

channels() {
    "$TALVEKKEY" inspect "$BASE" 2>/dev/null | sed -n 's/^  \([0-9]*\) секретных каналов\.$/\1/p'
}

runs=0 broken=0 partsRewritten=0 temporariesLeft=0
# Checks the files after one interrupted run that added the channel "$1"
# to a base of "$2" channels (or, with a third argument -1, deleted it).
check() {
    local user=$1 before=$2 change=${3:-1} after
    runs=$((runs + 1))
    after=$(channels)
    if [[ "$after" != "$before" && "$after" != "$((before + change))" ]]; then
        broken=$((broken + 1))
        echo "run $runs ($user): base holds '${after:-nothing}' channels, had $before" >&2
        return
    fi
    if [[ -e "$PART" ]] && ! "$TALVEKKEY" inspect "$PART" >/dev/null 2>&1; then
        broken=$((broken + 1))
        echo "run $runs ($user): the public part does not read" >&2
    fi
    # The base holds the channel but its public part is the old one (or none):
    # the exchange is finished from the base.
    if ((change == 1)) && [[ "$after" == "$((before + 1))" ]] &&
        ! "$TALVEKKEY" inspect "$PART" 2>/dev/null | grep -q "srv : $user\$"; then
        if "$TALVEKKEY" export-public "$BASE" srv "$user" "$PART" >/dev/null 2>&1; then
            partsRewritten=$((partsRewritten + 1))
        else
            broken=$((broken + 1))
            echo "run $runs ($user): export-public failed" >&2
        fi
    fi
}

serverKey() {
    "$TALVEKKEY" server-key --base "$BASE" --export "$PART" --server srv --user "$1" --sign 512
}

serverKey first >/dev/null 2>&1 || { echo "talvekkey does not run: $TALVEKKEY" >&2; exit 2; }

# 1. kill -9 at a random moment.
for ((i = 0; i < KILLS; i++)); do
    before=$(channels)
    serverKey "k$i" >/dev/null 2>&1 &
    pid=$!
    sleep "0.0$((RANDOM % 40))"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    check "k$i" "$before"
done
killRuns=$runs killBroken=$broken

# 2. Killed at each file system call of one run in turn, until a run
# completes with none left to kill at.
points=0
for call in openat write fsync renameat unlinkat fchmod flock; do
    for ((n = 1; ; n++)); do
        before=$(channels)
        user="$call-$n"
        # Through an inner shell, which reports the kill to /dev/null.
        sh -c '"$@"' sh strace -f -qq -o /dev/null -e trace="$call" \
            -e inject="$call:signal=SIGKILL:when=$n" "$TALVEKKEY" server-key --base "$BASE" \
            --export "$PART" --server srv --user "$user" --sign 512 >/dev/null 2>&1
        status=$?
        check "$user" "$before"
        points=$((points + 1))
        # Not killed: the run got past its last such call.
        ((status == 137)) || break
    done
    # A channel deleted, killed at each call in turn.
    for ((n = 1; ; n++)); do
        user="delete-$call-$n"
        serverKey "$user" >/dev/null 2>&1
        before=$(channels)
        sh -c '"$@"' sh strace -f -qq -o /dev/null -e trace="$call" \
            -e inject="$call:signal=SIGKILL:when=$n" "$TALVEKKEY" delete "$BASE" srv "$user" \
            >/dev/null 2>&1
        status=$?
        check "$user" "$before" -1
        points=$((points + 1))
        ((status == 137)) || break
    done
done

# One more save clears what the killed ones left.
serverKey last >/dev/null 2>&1
temporariesLeft=$(find "$DIR" -name '*.tvk-*.tmp' | wc -l)
printf 'kill -9: %d runs, %d broken; crash points: %d runs, %d broken; ' \
    "$killRuns" "$killBroken" "$points" "$((broken - killBroken))"
printf 'public parts written again: %d; temporaries after the next save: %d\n' \
    "$partsRewritten" "$temporariesLeft"
((broken == 0 && temporariesLeft == 0))
