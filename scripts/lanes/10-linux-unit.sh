#!/usr/bin/env bash
# Every test registered with ctest in the Linux build: the portable unit tests,
# the process tests against build/quillon-agent and the suites in test subfolders.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
ctest --preset linux
