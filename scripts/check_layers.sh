#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own.
# The layers, lowest first; each may include itself and those before it.
#   scripts/check_layers.sh [ROOT]
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
layers=(base os console wire link engine ui batch app)

rank() {
  local i
  for i in "${!layers[@]}"; do
    [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
  done
  echo -1
}

status=0
for own in "${layers[@]}"; do
  [ -d "$root/$own" ] || continue
  own_rank=$(rank "$own")
  while IFS= read -r file; do
    dir=$(dirname "$file")
    lineno=0
    while IFS= read -r line; do
      lineno=$((lineno + 1))
      # Any include form: "x/y.hpp", <x/y.hpp>, "../x/y.hpp", "y.hpp" beside the file.
      [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"\<]([^\"\>]+)[\"\>] ]] || continue
      target=${BASH_REMATCH[1]}
      if [[ $target == ../* || $target == ./* ]]; then
        target=$(realpath -m --relative-to="$root" "$dir/$target")
      elif [ -e "$dir/$target" ] && [[ $target != */* ]]; then
        target=$(realpath -m --relative-to="$root" "$dir/$target")
      fi
      layer=${target%%/*}
      [ "$layer" = "$target" ] && continue  # a system header
      target_rank=$(rank "$layer")
      [ "$target_rank" -lt 0 ] && continue   # not one of ours
      if [ "$target_rank" -gt "$own_rank" ]; then
        echo "${file#"$root"/}:$lineno: $own/ includes $target from the higher layer $layer/"
        status=1
      fi
    done < "$file"
  done < <(find "$root/$own" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | sort)
done
[ $status -eq 0 ] && echo "layers: every include keeps the order ${layers[*]}"
exit $status
