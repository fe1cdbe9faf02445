#!/usr/bin/env bash
# Two programs changing one key base at once, as many times as asked: each
# run of talvekkey adds a channel (server-key) or takes one away (delete).
# Nothing may be lost: at the end the base holds exactly the channels added
# and not deleted, and no temporary file is left beside it.
#
#   scripts/race.sh [RUNS_PER_PROGRAM] [TALVEKKEY]
set -euo pipefail
RUNS=${1:-300}
TALVEKKEY=${2:-build/release/src/cli/talvekkey}
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
BASE="$DIR/race.key_base"

worker() {
    local who=$1 failed=0
    for ((i = 0; i < RUNS; i++)); do
        "$TALVEKKEY" server-key --base "$BASE" --export "$DIR/$who.okp" --server srv \
            --user "$who-$i" --sign 512 >/dev/null 2>>"$DIR/$who.err" || failed=$((failed + 1))
        # Every third channel is deleted again, so removals race too.
        if ((i % 3 == 2)); then
            "$TALVEKKEY" delete "$BASE" srv "$who-$i" >/dev/null 2>>"$DIR/$who.err" ||
                failed=$((failed + 1))
        fi
    done
    echo "$failed" >"$DIR/$who.failed"
}

start=$(date +%s.%N)
worker a &
worker b &
wait
end=$(date +%s.%N)

expected=$((2 * (RUNS - RUNS / 3)))
got=$("$TALVEKKEY" inspect "$BASE" | sed -n 's/^  \([0-9]*\) секретных каналов\.$/\1/p')
temporaries=$(find "$DIR" -name '.race.key_base.*' | wc -l)
failures=$(($(cat "$DIR/a.failed") + $(cat "$DIR/b.failed")))
printf 'runs: 2 x %d (%.1f s), channels: %s of %d, failed runs: %d, temporaries: %d\n' \
    "$RUNS" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "$got" "$expected" "$failures" "$temporaries"
[ "$got" = "$expected" ] && [ "$failures" = 0 ] && [ "$temporaries" = 0 ]
