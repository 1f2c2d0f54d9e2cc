#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# they are missing. Safe to run again. scripts/setup-deps.sh --bench adds the
# benchmarks' own.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  qt6-base-dev qt6-tools-dev qt6-l10n-tools fonts-wqy-microhei
  clang libclang-rt-14-dev
  libssl-dev libewf-dev ewf-tools gddrescue
  sleuthkit
  libfuse3-dev fuse3 e2fsprogs qemu-utils util-linux ntfs-3g gdisk
  man-db groff-base dpkg-dev file desktop-file-utils appstream lintian
)

# --bench: also what the benchmark scripts use beyond the build and the tests
# (fio for bench/mount_randread.sh). Neither CI nor the tests need it.
[ "${1:-}" = --bench ] && packages+=(fio)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
