#!/usr/bin/env bash
# Makes the Wine prefix for the arm64-wine machine in GUEST_DIR, as an ext4 image labelled
# startutil-state (IMAGE), by one boot that runs wineboot on it. Later runs attach it with
# --state, which discards their changes. Kept while the machine's image and wine_prefix.sh are
# unchanged.
#   make_prefix.sh GUEST_DIR IMAGE WORK_DIR
set -euo pipefail
guest=$1 image=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
stamp=$(cat "$guest/stamp" "$here/wine_prefix.sh" | sha256sum | cut -d' ' -f1)
if [[ -f $image && -f $image.stamp && $(cat "$image.stamp") == "$stamp" ]]; then
  echo "Wine prefix in $image is up to date"
  exit 0
fi
rm -f "$image" "$image.stamp"
# Sparse: it takes only what the prefix fills.
mkfs.ext4 -q -F -L startutil-state "$image.new" 1G
bash "$here/../guest/run_guest.sh" --machine arm64-wine --guest "$guest" --work "$work" \
  --timeout 840 --suite-limit 780 --save-state "$image.new" --bin "$here/wine_prefix.sh" -- sh:wine_prefix.sh
mv "$image.new" "$image"
echo "$stamp" >"$image.stamp"
du -h --apparent-size "$image"
du -h "$image"
