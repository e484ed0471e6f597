#!/bin/bash
# Installs the Debian packages the build, the tests and the application need,
# asking apt only when one is missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libwxgtk3.2-dev libfftw3-dev libglu1-mesa-dev
          libcairo2-dev freeglut3-dev libgtest-dev libbenchmark-dev xvfb xauth libgl1-mesa-dri liblo-tools
          libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev libopencv-videoio-dev
          libopencv-dnn-dev locales)
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
