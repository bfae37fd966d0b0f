# shellcheck shell=bash
# Helpers shared by the tools (sourced): the Debian packages a step needs, and running a test
# suite in a bare environment that proves it leaves no process behind.

# ensure_packages PACKAGE...: installs the ones not installed when run as root; otherwise names
# them on standard error.
ensure_packages() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" = 0 ]; then
    echo "$(basename "$0"): installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "$(basename "$0"): missing packages (run as root to install them): ${missing[*]}" >&2
  fi
}

# marked_pids MARK: the processes whose environment carries TFX_SUITE_MARK=MARK.
marked_pids() {
  local f
  for f in /proc/[0-9]*/environ; do
    grep -qzx "TFX_SUITE_MARK=$1" "$f" 2>/dev/null || continue
    f=${f#/proc/}
    echo "${f%/environ}"
  done
}

# clean_run COMMAND...: runs COMMAND with nothing of the caller's environment but PATH and HOME
# (so no test can lean on a locale, a terminal or a variable the caller happens to have, nor on an
# interrupt or quit the caller ignored), plus
# TFX_E2E_REQUIRED when it is set. Every process the command starts inherits a mark; any marked
# process still alive a few seconds after the command ended is named, stopped, and fails the run.
clean_run() {
  local mark="tfx-$$-$RANDOM$RANDOM" status=0 pids i p
  env -i --default-signal=INT,QUIT PATH="$PATH" HOME="${HOME:-/root}" TFX_SUITE_MARK="$mark" \
    ${TFX_E2E_REQUIRED:+TFX_E2E_REQUIRED="$TFX_E2E_REQUIRED"} "$@" || status=$?
  for ((i = 0; i < 50; i++)); do
    pids=$(marked_pids "$mark")
    [ -n "$pids" ] || return $status
    sleep 0.1
  done
  echo "$(basename "$0"): processes left running by: $*" >&2
  for p in $pids; do
    echo "  $p (parent $(sed -n 's/^PPid:\t//p' "/proc/$p/status" 2>/dev/null)): $(tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null)" >&2
  done
  kill -KILL $pids 2>/dev/null
  return 1
}
