# Shared by the scripts of the Windows build, which source it.

# The newest version of source package $1 that the apt sources offer,
# security updates included.
newest_source() {
    local version= v
    for v in $(apt-cache showsrc "$1" | awk '/^Version:/ {print $2}'); do
        if [[ -z "$version" ]] || dpkg --compare-versions "$v" gt "$version"; then version=$v; fi
    done
    [[ -n "$version" ]] || { echo "No source package $1: is a deb-src entry missing?" >&2; return 1; }
    echo "$version"
}

# A build's cache key: its source version, options, compiler and patch.
#   build_key VERSION PATCH OPTION...
build_key() {
    local version=$1 patch=$2 compiler
    shift 2
    compiler=$(dpkg-query -W -f '${Package} ${Version}\n' g++-mingw-w64-x86-64-posix \
        binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev)
    (printf '%s\n' "$version" "$@" "$compiler" && cat "$patch") | sha256sum | cut -c1-16
}

# Writes DIR/SHA256SUMS: the SHA-256 of every other file of DIR, in the install
# step's order and format.
#   write_sums DIR
write_sums() {
    local sums
    sums=$(cd "$1" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
        xargs -d '\n' sha256sum)
    printf '%s\n' "$sums" >"$1/SHA256SUMS"
}

# Zips BUILD_DIR/ship and BUILD_DIR/tool into the releases beside them, each
# its own: the same bytes from the same files (their times the commit's,
# fixed permissions, root as owner).
#   zip_releases BUILD_DIR
zip_releases() {
    local name
    for folder in ship:PACKAGE tool:TOOL; do
        name=$(sed -n "s/^set(CPACK_${folder#*:}_FILE_NAME \"\(.*\)\")$/\1/p" "$1/CPackConfig.cmake")
        (cd "$1" && umask 022 && fakeroot cpack -G ZIP -D CPACK_INSTALL_CMAKE_PROJECTS= \
            -D "CPACK_INSTALLED_DIRECTORIES=$PWD/${folder%%:*};." \
            -D "CPACK_PACKAGE_FILE_NAME=$name" >/dev/null)
    done
}
