# Longest input per fuzz target, for run.sh and smoke.sh. The receive buffer holds 8192 bytes, so
# no parse sees more at once; the WebSocket target plays a connection over several reads, whose
# state (a fragmented message of up to 8192 bytes and its framing) spans more than one buffer.
fuzz_max_len() {
    case "$1" in
        websocket_frame) echo 24576 ;;
        *) echo 8192 ;;
    esac
}
