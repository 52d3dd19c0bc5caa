#!/usr/bin/env bash
# Sets everything up and builds OrvexTerm.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
echo "Built build/orvexterm."
