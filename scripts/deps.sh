#!/usr/bin/env bash
# The one list of Debian 12 packages the project needs to build, test and run.
# Installs only what is missing, so running it again costs nothing.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libssl-dev openssl
  qt6-base-dev qt6-translations-l10n libgl-dev
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-dejavu-core xvfb xauth
  desktop-file-utils appstream shared-mime-info dpkg-dev file lintian bash-completion
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
