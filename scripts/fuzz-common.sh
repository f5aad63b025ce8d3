# Shared by scripts/fuzz.sh and scripts/fuzz-explore.sh: the fuzz build and the limits
# every run uses. Sourced with $root set.
build="$root/build-fuzz"
# -rss_limit_mb (and the malloc limit it implies): a small input must never claim gigabytes.
fuzz_limits=(-rss_limit_mb=2048)
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

fuzz_build() {
    local flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fsanitize=fuzzer-no-link -g"
    local launcher=()
    if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DQUADSTITCH_FUZZ=ON -DCMAKE_CXX_FLAGS="$flags" "${launcher[@]}" >/dev/null
    cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${@/#/fuzz-}"
    local target
    for target in "$@"; do mkdir -p "$build/findings/$target"; done
}
