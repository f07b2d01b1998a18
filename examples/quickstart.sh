#!/usr/bin/env bash
# Runs the Bell circuit through the SDK's command against a local emulator:
# starts vora-emulator on a free port with a throwaway key, waits until it
# answers, prints the result document, and stops the emulator on exit.
# Run from anywhere after `pip install '.[emulator]'` (the commands on PATH).
set -euo pipefail
cd "$(dirname "$0")/.."

key=quickstart-key
out=$(mktemp)
emulator_pid=""
cleanup() {
  if [ -n "$emulator_pid" ]; then
    kill "$emulator_pid" 2>/dev/null || true
    wait "$emulator_pid" 2>/dev/null || true
  fi
  rm -f "$out"
}
trap cleanup EXIT

vora-emulator --port 0 --api-key "$key" --seed 7 --quiet >"$out" &
emulator_pid=$!

# The emulator prints its URL once it serves; then check that it answers.
url=""
for _ in $(seq 1 600); do
  url=$(sed -n 's/^vora-emulator listening on //p' "$out")
  [ -n "$url" ] && break
  if ! kill -0 "$emulator_pid" 2>/dev/null; then
    echo "quickstart: vora-emulator exited before serving" >&2
    exit 1
  fi
  sleep 0.1
done
if [ -z "$url" ]; then
  echo "quickstart: vora-emulator did not start within 60 s" >&2
  exit 1
fi
python3 - "$url" <<'PY'
import sys, time, urllib.request
for _ in range(100):
    try:
        with urllib.request.urlopen(sys.argv[1] + "/health", timeout=2) as resp:
            if resp.status == 200:
                sys.exit(0)
    except OSError:
        time.sleep(0.1)
sys.exit("quickstart: the emulator does not answer at " + sys.argv[1])
PY

VORA_API_KEY="$key" zentrova-sdk examples/bell.qasm --base-url "$url"
