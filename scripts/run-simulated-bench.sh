#!/usr/bin/env bash
# The station on a simulated bench: scripts/run-simulated-bench.sh [--scenario FILE] [--runs N] [--dump-eeprom FILE]
ZELOR_PROGRAM=zelor-k3-tester-sim exec "$(dirname "$0")/run-station.sh" "$@"
