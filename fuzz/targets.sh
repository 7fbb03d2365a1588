# The fuzz targets and their limits, for build.sh, run.sh and smoke.sh.

# Every target, one per line: fuzz/<target>_fuzzer.cpp.
fuzz_targets() {
    local source
    for source in "$(dirname "${BASH_SOURCE[0]}")"/*_fuzzer.cpp; do
        source=${source##*/}
        echo "${source%_fuzzer.cpp}"
    done
}

# Longest input per target. The receive buffer holds 8192 bytes, so no parse sees more at once;
# the WebSocket target plays a connection over several reads, whose state (a fragmented message
# of up to 8192 bytes and its framing) spans more than one buffer.
fuzz_max_len() {
    case "$1" in
        websocket_frame) echo 24576 ;;
        *) echo 8192 ;;
    esac
}
