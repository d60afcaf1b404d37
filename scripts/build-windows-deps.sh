#!/usr/bin/env bash
# Builds, once, the Windows (x86_64, static, posix threads) libraries Pelloran links, from
# Debian's source packages: expat, libpng, wxWidgets for MSW, the gSOAP runtime, GoogleTest.
# They go into a prefix named after the source versions; each library is skipped when its
# stamp is there, so a repeated run takes seconds and needs no network.
#
#   scripts/build-windows-deps.sh [library...]   # default: all; prints the prefix last
#
# PELLORAN_WIN_CACHE overrides the cache folder (default ~/.cache/pelloran-win).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

triplet=x86_64-w64-mingw32
cache=${PELLORAN_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pelloran-win}

scripts/install-deps.sh g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 nsis

# Apt works on a configuration of its own here: the system's sources, lists and cache stay
# untouched (an update with the system's lists folder would drop its binary indexes).
apt_dir=$cache/apt
apt_options=(-o "Dir::Etc::SourceParts=$apt_dir/parts" -o Dir::Etc::SourceList=/dev/null
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o APT::Sandbox::User=root -o Debug::NoLocking=1)
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
cat >"$apt_dir/parts/pelloran-sources.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
# The index is fetched once; its versions name the prefix, so later runs reuse both.
if ! compgen -G "$apt_dir/lists/*_Sources*" >/dev/null; then
  apt-get "${apt_options[@]}" -qq update
fi
index_version() {
  apt-cache "${apt_options[@]}" showsrc "$1" | sed -n 's/^Version: //p' | sort -V | tail -n1
}
declare -A package=([expat]=expat [libpng]=libpng1.6 [wx]=wxwidgets3.2
  [gsoap]=gsoap [googletest]=googletest)
declare -A version
for lib in expat libpng wx googletest; do
  version[$lib]=$(index_version "${package[$lib]}")
done
# The generated SOAP code refuses a runtime of another version than the host's soapcpp2.
version[gsoap]=$(dpkg-query -W -f='${source:Version}' gsoap)

prefix=$cache/$triplet-wx${version[wx]}-gsoap${version[gsoap]}-expat${version[expat]}
prefix+=-png${version[libpng]}-gtest${version[googletest]}
build_root=$cache/build/$triplet
mkdir -p "$prefix" "$build_root" "$cache/src"

cc="ccache $triplet-gcc-posix"
cxx="ccache $triplet-g++-posix"
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig

# Unpacks a source package once into the cache; echoes its folder.
unpack() {
  local lib=$1 dir=$cache/src/${package[$1]}-${version[$1]}
  if [[ ! -f $dir/.unpacked ]]; then
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get "${apt_options[@]}" -qq source \
      "${package[$lib]}=${version[$lib]}" >/dev/null)
    touch "$dir/.unpacked"
  fi
  echo "$dir"/"${package[$lib]}"-*/
}

# The build folder keeps one fixed path per version: ccache hashes absolute include paths.
fresh_build_dir() {
  local dir=$build_root/$1-${version[$1]}
  rm -rf "$dir" && mkdir -p "$dir" && echo "$dir"
}

build_expat() {
  local src build
  src=$(unpack expat)/expat
  # Debian's patches test "#if XML_DTD == 1", which needs a value the CMake header lacks.
  sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/; s/^#cmakedefine XML_NS$/#cmakedefine XML_NS 1/' \
    "$src/expat_config.h.cmake"
  build=$(fresh_build_dir expat)
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DPELLORAN_WIN_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
    -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF >/dev/null
  nice -n 10 cmake --build "$build" -j2 >/dev/null
  cmake --install "$build" >/dev/null
}

build_libpng() {
  local src build
  src=$(unpack libpng)
  build=$(fresh_build_dir libpng)
  (cd "$build" && "$src/configure" --host=$triplet --prefix="$prefix" --disable-shared \
    CC="$cc" CPPFLAGS="-I/usr/$triplet/include" >/dev/null &&
    nice -n 10 make -j2 >/dev/null && make install >/dev/null)
}

build_wx() {
  local src build
  src=$(unpack wx)
  build=$(fresh_build_dir wx)
  # Debian's tarball lacks the bundled zlib, libpng and expat: the system and prefix ones
  # are used. wxRichTextCtrl needs HTML; XML adds its file handler, which the program asks for.
  (cd "$build" && "$src/configure" --host=$triplet --build=x86_64-pc-linux-gnu \
    --prefix="$prefix" --with-msw --disable-shared --with-cxx=17 --disable-tests \
    --disable-precomp-headers --with-zlib=sys --with-libpng=sys --with-expat=sys \
    --with-regex=builtin --without-libjpeg --without-libtiff --without-liblzma \
    --without-libcurl --without-opengl --disable-webview --disable-mediactrl --disable-stc \
    --disable-aui --disable-propgrid --disable-ribbon --disable-xrc \
    CC="$cc" CXX="$cxx" CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" >/dev/null &&
    nice -n 10 make -j2 >/dev/null && make install >/dev/null)
}

build_gsoap() {
  local src build
  src=$(unpack gsoap)/gsoap
  build=$(fresh_build_dir gsoap)
  # The defines of Debian's gsoap++.pc; no project warning flags on a foreign runtime.
  local flags=(-std=c++17 -O2 -DWITH_IPV6 -DWITH_DOM -I"$src")
  (cd "$build" &&
    nice -n 10 $cxx "${flags[@]}" -c "$src/stdsoap2.cpp" -o stdsoap2.o &&
    nice -n 10 $cxx "${flags[@]}" -c "$src/dom.cpp" -o dom.o &&
    $triplet-ar rcs libgsoap++.a stdsoap2.o dom.o)
  install -D -m 644 "$build/libgsoap++.a" "$prefix/lib/libgsoap++.a"
  install -D -m 644 "$src/stdsoap2.h" "$prefix/include/stdsoap2.h"
  mkdir -p "$prefix/share/gsoap"
  cp -r "$src/import" "$src/plugin" "$prefix/share/gsoap/"
  local gsoap_upstream=${version[gsoap]%-*}
  cat >"$prefix/lib/pkgconfig/gsoap++.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: gsoap++
Description: SOAP C++ Web Services (runtime for $triplet)
Version: $gsoap_upstream
Libs: -L\${libdir} -lgsoap++ -lws2_32
Cflags: -DWITH_IPV6 -DWITH_DOM -I\${includedir}
EOF
}

build_googletest() {
  local src build
  src=$(unpack googletest)
  build=$(fresh_build_dir googletest)
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DPELLORAN_WIN_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  nice -n 10 cmake --build "$build" -j2 >/dev/null
  cmake --install "$build" >/dev/null
}

libraries=("$@")
((${#libraries[@]})) || libraries=(expat libpng wx gsoap googletest)
for lib in "${libraries[@]}"; do
  [[ -v "package[$lib]" ]] || { echo "unknown library: $lib" >&2; exit 2; }
  stamp=$prefix/.$lib-${version[$lib]}-stamp
  [[ -f $stamp ]] && continue
  echo "Building $lib ${version[$lib]} for $triplet ..." >&2
  start=$SECONDS
  "build_$lib"
  touch "$stamp"
  echo "  $lib took $((SECONDS - start)) s" >&2
done
echo "$prefix"
