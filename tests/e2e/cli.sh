# Command line: usage bytes, version, option errors, the consent gate.
source "$(dirname "$0")/lib.bash"
need_root

out=$(ns '' --help; echo "status=$?")
check "--help prints the usage text exactly" [ "$out" = "$(cat "$FIXTURES/usage.txt"; echo "status=0")" ]
check "the usage text fits one screen: at most 40 lines, 79 columns" \
  bash -c '[ "$(wc -l <"$1")" -le 40 ] && [ "$(wc -L <"$1")" -le 79 ]' _ "$FIXTURES/usage.txt"
# The manual and the completion know every option the usage text names.
TOP=$(cd "$(dirname "$0")/../.." && pwd)
in_step() {
  local opt
  for opt in $(grep -oE -- '--[a-z0-9-]+' "$FIXTURES/usage.txt" | sort -u); do
    sed 's/\\-/-/g' "$TOP/docs/tallyfox.1" | grep -qF -- "$opt" || { echo "manual lacks $opt"; return 1; }
    grep -qF -- "$opt" "$TOP/completion/tallyfox.bash" || { echo "completion lacks $opt"; return 1; }
  done
}
check "the manual and the completion name every option of the usage text" in_step
# complete WORD...: what the completion offers for the last word, from the work folder.
complete_words() {
  (cd "$WORK" && bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tallyfox
    printf "%s\n" "${COMPREPLY[@]}"' _ "$TOP/completion/tallyfox.bash" "$@")
}
touch "$WORK/before.ndjson" "$WORK/after.ndjson"
check "completion: the second saved run after --compare OLD is a file" \
  [ "$(complete_words tallyfox --compare before.ndjson af)" = after.ndjson ]
check "completion: saved runs after --vs are files, options still options" \
  [ "$(complete_words tallyfox --compare before.ndjson --vs after.ndjson be; complete_words tallyfox --compare a b --js)" = "$(printf 'before.ndjson\n--json')" ]

out=$(ns '' -h >/dev/null; echo $?)
check "-h ends with 0" [ "$out" = 0 ]

# Typos: one line on standard error that names the word, status 1, nothing on standard output
# and nothing measured. The subtest rows show the start of their line (it lists every subtest).
one_line() {  # one_line TEXT SAID: TEXT is SAID (or starts with it), a line, then status=1
  [ "$(wc -l <<<"$1")" = 2 ] && [[ $1 == "$2"*$'\nstatus=1' ]]
}
while IFS='|' read -r args said; do
  # shellcheck disable=SC2086
  err=$(TFX_CLI_CONSENT=1 ns '' $args </dev/null 2>&1 >"$WORK/typo.out"; echo "status=$?")
  check "'$args': one line and status 1" one_line "$err" "$said"
  check "'$args': nothing on stdout" [ ! -s "$WORK/typo.out" ]
done <<'EOF'
--bogus|tallyfox: unknown option --bogus (see --help)
--frobnicate --help|tallyfox: unknown option --frobnicate (see --help)
--probe probe|tallyfox: unexpected argument probe (see --help)
--probe --seconds|tallyfox: --seconds takes a value (see --help)
--full --json --subtests foo|tallyfox: --subtests: unknown "foo" (the subtests: int_scalar, 
--full --json --subtests sha256,lz5,crc|tallyfox: --subtests: unknown "lz5", "crc" (the subtests: 
--full --json --cpus abc|tallyfox: --cpus abc is not a CPU list (numbers and ranges, e.g. 0-3,8)
--full --json --cpus 1x|tallyfox: --cpus 1x is not a CPU list (numbers and ranges, e.g. 0-3,8)
--full --json --cpus 3-1|tallyfox: --cpus 3-1 is not a CPU list (numbers and ranges, e.g. 0-3,8)
EOF
err=$(TFX_CLI_CONSENT=1 ns '' --full --json --subtests '' </dev/null 2>&1 >"$WORK/typo.out"; echo "status=$?")
check "an empty --subtests is an error" one_line "$err" "tallyfox: --subtests selected nothing (the subtests: int_scalar, "
# Unknown quiesce and profile words still run, at the mildest level and the standard profile,
# and say so.
for w in "--quiesce fast|tallyfox: --quiesce fast is not none, rt or isolate; using none" \
  "--profile turbo|tallyfox: --profile turbo is not quick, standard or thorough; using standard"; do
  # shellcheck disable=SC2086
  ns '' --probe --json ${w%%|*} </dev/null >"$WORK/word.out" 2>"$WORK/word.err"
  check "'${w%%|*}': a warning, then the run" \
    bash -c '[ "$(head -1 "$1")" = "$2" ] && jq -se ".[-1].event == \"result\"" "$3" >/dev/null' _ "$WORK/word.err" "${w#*|}" "$WORK/word.out"
done

# Text that is no plain number of seconds, values the run's time limits cannot hold, and phases
# whose first round cannot end within 5 minutes: one line, status 1, before anything is created.
while IFS='|' read -r v message; do
  out=$(AFTER='ls -A /tmp' ns '' --full --yes --seconds "$v" </dev/null 2>&1 >"$WORK/seconds.out"; echo "status=$?")
  check "--seconds '$v' is refused" [ "$out" = "$(printf 'tallyfox: --seconds %s %s\nstatus=1' "$v" "$message")" ]
  check "--seconds '$v': nothing on stdout" [ ! -s "$WORK/seconds.out" ]
done <<'EOF'
inf|is not a number of seconds (a decimal such as 0.6)
abc|is not a number of seconds (a decimal such as 0.6)
0x10|is not a number of seconds (a decimal such as 0.6)
1e300|is not a number of seconds (a decimal such as 0.6)
0|is out of range (seconds per phase, 0.01 to 300)
60|is too long: one round of 9 subtests (two phases each) would take 1080.0 s, beyond the rounds' 300 s limit; at most 16.66 s per phase for these
EOF

ver=$(ns '' --version)
check "--version names the version" [ "$(echo "$ver" | head -1)" = "tallyfox 0.1.1" ]
check "--version prints a fingerprint" grep -Eq ' sha256:[0-9a-f]{16}$' <<<"$(echo "$ver" | sed -n 2p)"
cp "$BIN" "$WORK/copy" && printf 'x' >>"$WORK/copy"
ver2=$("$WORK/copy" --version | sed -n 2p)
check "the fingerprint changes when the binary changes" [ "$ver2" != "$(echo "$ver" | sed -n 2p)" ]

err=$(ns '' --json </dev/null 2>&1 >"$WORK/json.out"; echo "status=$?")
check "--json from a script is refused" [ "$err" = "$(printf 'tallyfox: full run not started (answer y, or pass --yes; --probe is the 3-second reading)\nstatus=1')" ]
check "a refused run writes nothing on stdout" [ ! -s "$WORK/json.out" ]

out=$(ns '' </dev/null 2>&1; echo "status=$?")
check "no arguments without a terminal is refused" [ "$out" = "$(printf 'tallyfox: full run not started (answer y, or pass --yes; --probe is the 3-second reading)\nstatus=1')" ]

out=$(TFX_CLI_CONSENT= AFTER='ls -A /tmp' ns '' --json --cpus 999 </dev/null 2>"$WORK/err" >"$WORK/out"; echo "status=$?")
check "an empty TFX_CLI_CONSENT consents; --cpus 999 selects nothing" [ "$(cat "$WORK/err"; echo "$out")" = "$(printf 'tallyfox: --cpus selected nothing\nstatus=1')" ]
check "an empty bench set writes no event" [ ! -s "$WORK/out" ]

finish
