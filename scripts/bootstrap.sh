#!/usr/bin/env bash
# Installs what the build and the tests need, asking apt-get only for what is
# missing, then makes the .venv the project builds and tests in.
# Usage: scripts/bootstrap.sh [extra Debian packages...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(python3-dev python3-venv python3-pip python3-pytest python3-hypothesis python3-numpy
          python3-mesonpy meson ninja-build pkg-config g++ libgtest-dev libutf8proc-dev unicode-data mypy
          "$@")
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "bootstrap: installing ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "bootstrap: missing Debian packages; run as root:" >&2
        echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
fi

if [ ! -x .venv/bin/python ]; then
    /usr/bin/python3 -m venv --system-site-packages .venv
fi
