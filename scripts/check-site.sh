#!/usr/bin/env bash
# Looks at the built documentation site in a real browser: installs Debian's
# chromium (as root, when missing), takes headless screenshots of the home
# page and the benchmarks page from site/ (file:// URLs), and fails when a
# screenshot is missing or nearly uniform (an empty or broken page), or when
# a plot image of the benchmarks page is missing or unreadable.
# Run scripts/build-docs.sh first. Screenshots go to build/site-shots/.
set -euo pipefail
cd "$(dirname "$0")/.."
site=$PWD/site
shots=$PWD/build/site-shots
[ -f "$site/index.html" ] || { echo "check-site: no $site/index.html: run scripts/build-docs.sh" >&2; exit 1; }
if ! command -v chromium >/dev/null 2>&1; then
  [ "$(id -u)" = 0 ] || { echo "check-site: chromium is missing and installing it needs root" >&2; exit 1; }
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null
fi
rm -rf "$shots"
mkdir -p "$shots"
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
for page in index benchmarks; do
  # Root needs --no-sandbox; the page loads nothing from the network.
  timeout 120 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars \
    --user-data-dir="$profile" --virtual-time-budget=5000 \
    --window-size=1280,2200 --screenshot="$shots/$page.png" "file://$site/$page.html" \
    >"$shots/$page.log" 2>&1 || { cat "$shots/$page.log" >&2; exit 1; }
done
python3 scripts/check_screenshots.py "$site" "$shots/index.png" "$shots/benchmarks.png"
