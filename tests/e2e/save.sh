# --save FILE beside every output, complete after a stop, never through a symlink; and a
# comparison of two saved runs.
source "$(dirname "$0")/lib.bash"
need_root

# The runs see a private /tmp; they save into the working directory, which stays reachable.
cd "$WORK" || exit 1
RUN=(--full --seconds 0.05 --quiesce none --subtests int_scalar,sha256)
events() { jq -r .event "$1" | awk '!($0 == "progress" && prev == "progress") {print} {prev = $0}' | sort -u | tr '\n' ' '; }
whole() { jq -e . "$1" >/dev/null 2>&1 && [ "$(jq -r .event "$1" | sed -n '1p;$p' | tr '\n' ' ')" = "start result " ]; }

TFX_CLI_CONSENT=1 ns '' "${RUN[@]}" --save text.ndjson </dev/null >text.out 2>/dev/null
check "text output: the summary on stdout" grep -q '^tallyfox full verdict=' text.out
check "text output: the whole stream saved" whole text.ndjson
check "text output: every kind of event" [ "$(events text.ndjson)" = "progress result round start subtest " ]

TFX_CLI_CONSENT=1 ns '' "${RUN[@]}" --json --save json.ndjson </dev/null >json.out 2>/dev/null
check "--json: the saved stream is what stdout got" cmp -s json.out json.ndjson
check "--json: the whole stream saved" whole json.ndjson

# Off a terminal the dashboard is drawn by the measuring process itself.
TFX_CLI_CONSENT=1 ns '' "${RUN[@]}" --ui2 --save ui.ndjson </dev/null >ui.out 2>/dev/null
check "--ui2: the dashboard on stdout" grep -q 'verdict' ui.out
check "--ui2: the whole stream saved" whole ui.ndjson

# A stop in the middle still reports, and the saved stream ends with the result.
( TFX_CLI_CONSENT=1 unshare --mount --propagation private bash -c '
    echo $$ >"$1"; shift; mount -t tmpfs tmpfs /tmp || exit 90; exec "$@"' ns stop.pid \
    "$BIN" --full --seconds 0.2 --quiesce none --subtests int_scalar,sha256 --save stop.ndjson \
    </dev/null >/dev/null 2>&1 ) &
runner=$!
for _ in $(seq 600); do grep -q '"event":"round"' stop.ndjson 2>/dev/null && break; sleep 0.05; done
kill -USR1 "$(cat stop.pid)"
wait "$runner"
check "a stop with SIGUSR1: the saved stream ends with the result" whole stop.ndjson

# A planted symlink is never written through; the run does not start.
echo "precious" >victim
ln -s victim planted
TFX_CLI_CONSENT=1 ns '' "${RUN[@]}" --save planted </dev/null >planted.out 2>planted.err
status=$?
check "a symlink: status 1, one line, nothing measured" bash -c "[ $status = 1 ] && [ \$(wc -l <planted.err) = 1 ] &&
  grep -qx 'tallyfox: --save planted: a symbolic link, not written through' planted.err && [ ! -s planted.out ]"
check "a symlink: its target is untouched" [ "$(cat victim)" = precious ]
mkfifo fifo
# The open never waits for a reader: were it to block, the run would hang here.
TFX_CLI_CONSENT=1 ns '' "${RUN[@]}" --save fifo </dev/null >/dev/null 2>fifo.err
check "a FIFO: refused at once ($(cat fifo.err))" grep -qx 'tallyfox: --save fifo: not a regular file' fifo.err
ns '' --full --save refused.ndjson </dev/null >/dev/null 2>&1
check "a refused run leaves no saved file" [ ! -e refused.ndjson ]
cp text.ndjson earlier.ndjson
TFX_CLI_CONSENT=1 ns '' "${RUN[@]}" --cpus 999 --save earlier.ndjson </dev/null >/dev/null 2>&1
check "a run that selects no CPU keeps an earlier saved run" cmp -s text.ndjson earlier.ndjson
TFX_CLI_CONSENT=1 ns '' "${RUN[@]}" --cpus 999 --save new.ndjson </dev/null >/dev/null 2>&1
check "a run that selects no CPU leaves no new saved file" [ ! -e new.ndjson ]

# A disk that fills during the run: the run still reports, says the file is incomplete after its
# summary, and its status tells a script.
TFX_CLI_CONSENT=1 ns 'mkdir /tmp/small && mount -t tmpfs -o size=4k tmpfs /tmp/small' "${RUN[@]}" \
  --save /tmp/small/run.ndjson </dev/null >full.out 2>full.err
status=$?
check "a full disk: the summary, then the save named incomplete, status 1" bash -c "[ $status = 1 ] &&
  grep -q '^tallyfox full verdict=' full.out &&
  tail -1 full.err | grep -q '^tallyfox: --save /tmp/small/run.ndjson is incomplete: No space left on device$'"

out=$("$BIN" --compare text.ndjson json.ndjson)
status=$?
check "two saved runs compare (status $status)" bash -c "[ $status = 0 ] || [ $status = 3 ]"
check "the comparison ends with its verdict line" grep -Eq '^(faster beyond noise|slower beyond noise|no difference beyond noise)' <<<"$(tail -1 <<<"$out")"

finish
