#!/bin/bash
# Installs the Debian packages the build, the tests and the application need,
# asking apt only when one is missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libwxgtk3.2-dev libfftw3-dev libglu1-mesa-dev
          libcairo2-dev freeglut3-dev libgtest-dev libbenchmark-dev xvfb xauth libgl1-mesa-dri liblo-tools
          libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev libopencv-videoio-dev
          libopencv-dnn-dev locales libx11-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# A locale with a decimal comma: the tests read numbers under one.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
    # Listed in locale.gen as well, so that a later locale-gen keeps it.
    if [[ -w /etc/locale.gen ]] && ! grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen; then
        echo "de_DE.UTF-8 UTF-8" >>/etc/locale.gen
    fi
    echo "generating the de_DE.UTF-8 locale"
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 \
        || echo "could not generate de_DE.UTF-8 (not root?): the comma-decimal tests skip" >&2
fi

# Wii Remotes and Balance Boards: without this udev rule their hidraw nodes are root's
# alone. Reloaded only where udev runs; a container has none and the rule waits.
wii_rule="$(dirname "${BASH_SOURCE[0]}")/udev/70-quorvane-wii.rules"
wii_rule_target=/etc/udev/rules.d/70-quorvane-wii.rules
if [[ -f "$wii_rule" ]] && ! cmp -s "$wii_rule" "$wii_rule_target"; then
    if mkdir -p "$(dirname "$wii_rule_target")" 2>/dev/null \
        && cp "$wii_rule" "$wii_rule_target" 2>/dev/null; then
        echo "installed $wii_rule_target"
        if command -v udevadm >/dev/null && udevadm control --reload-rules 2>/dev/null; then
            udevadm trigger --subsystem-match=hidraw 2>/dev/null || true
        fi
    else
        echo "could not install $wii_rule_target (not root?): Wii devices need it" >&2
    fi
fi
