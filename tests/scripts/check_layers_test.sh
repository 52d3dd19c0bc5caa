#!/usr/bin/env bash
# The layer check passes on the tree and names the file and line of an upward
# include in each form: quoted, angle brackets, relative, beside the file.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
check=$root/scripts/check_layers.sh
"$check" "$root" >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp"/{base,wire,engine,app}
printf '#pragma once\n' > "$tmp/engine/session.hpp"
printf '#pragma once\n' > "$tmp/app/driver.hpp"
printf '#include "base/x.hpp"\n' > "$tmp/wire/ok.cpp"
printf '// fine\n#include "engine/session.hpp"\n' > "$tmp/wire/quoted.cpp"
printf '#include <app/driver.hpp>\n' > "$tmp/base/angle.hpp"
printf '#  include "../engine/session.hpp"\n' > "$tmp/wire/relative.cpp"
# A header beside the file is its own layer's, whatever its name.
printf '#pragma once\n' > "$tmp/engine/driver.hpp"
printf '#include "driver.hpp"\n' > "$tmp/engine/beside.cpp"

if out=$("$check" "$tmp"); then
  echo "the check passed a tree with upward includes"; exit 1
fi
expected="base/angle.hpp:1: base/ includes app/driver.hpp from the higher layer app/
wire/quoted.cpp:2: wire/ includes engine/session.hpp from the higher layer engine/
wire/relative.cpp:1: wire/ includes engine/session.hpp from the higher layer engine/"
if [ "$out" != "$expected" ]; then
  printf 'unexpected report:\n%s\n' "$out"; exit 1
fi
echo "layer check: passes the tree, names every upward include"
