#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the
# programs need. Safe to run again: apt skips what is already there.
set -euo pipefail

packages=(
  # toolchain and build
  build-essential g++ cmake ninja-build pkg-config clang libclang-rt-14-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # the uniformity benchmark compares against OpenCV (only the benchmark links it)
  libopencv-dev
  # second readers used by the tests
  python3 python3-numpy python3-scipy python3-pil python3-crcmod python3-pandas
  binutils libtiff-tools zip unzip tzdata locales dbus-daemon
  # numeric dependencies
  libdlib-dev liblapack-dev liblapacke-dev libopenblas-dev
  ocl-icd-opencl-dev opencl-headers pocl-opencl-icd
  # platform layers
  qt6-base-dev qt6-image-formats-plugins libqt6svg6 libopenjp2-7-dev fonts-dejavu-core
  libssl-dev libusb-1.0-0-dev libudev-dev libsystemd-dev libcurl4-openssl-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
