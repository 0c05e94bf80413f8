#!/usr/bin/env bash
# Installs the Debian packages that the build needs and that are missing.
# Usage: scripts/install-deps.sh [GROUP...]   groups: build (default)
set -euo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++ make pkg-config libgtest-dev libbenchmark-dev libcli11-dev libsndfile1-dev"
)

want=()
for group in "${@:-build}"; do
  [[ -n "${groups[$group]+x}" ]] || { echo "install-deps: unknown group '$group'" >&2; exit 2; }
  read -ra pkgs <<< "${groups[$group]}"
  want+=("${pkgs[@]}")
done

missing=()
for p in "${want[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing Debian packages: ${missing[*]}" >&2
  echo "install-deps: run as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
