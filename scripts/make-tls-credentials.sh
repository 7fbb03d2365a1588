#!/usr/bin/env bash
# Makes test credentials for the proxy's TLS links in <dir>: a CA (ca.pem, ca.key), the node's
# identity (node.pem, node.key, common name "node") and one identity per alias given
# (<alias>.pem, <alias>.key, common name = the alias). Keys are ECDSA P-256; every identity may
# act as client and as server. Point ACCESS_PROXY_TLS_DIR at <dir> to use them.
#
# Usage: make-tls-credentials.sh <dir> [alias ...]
#
# An existing CA in <dir> is reused, so aliases can be added later; identities that exist are
# left alone. The CA key stays in <dir>: these credentials are for tests only.
set -euo pipefail

if (($# < 1)); then
    echo "usage: $0 <dir> [alias ...]" >&2
    exit 2
fi
dir=$1
shift

for alias in "$@"; do
    # The library never turns such names into paths, so a file made for them would be unused.
    if [[ -z $alias || $alias == */* || $alias == .* || $alias == ca || $alias == node ]]; then
        echo "$0: unusable alias '$alias'" >&2
        exit 2
    fi
done

mkdir -p "$dir"
umask 077
days_ca=3650
days_leaf=1825

if [[ ! -s $dir/ca.pem || ! -s $dir/ca.key ]]; then
    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc \
        -keyout "$dir/ca.key" -out "$dir/ca.pem" -days "$days_ca" -subj "/CN=access-proxy test CA" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
fi

extensions=$(mktemp)
trap 'rm -f "$extensions"' EXIT
cat >"$extensions" <<'EOF'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth,clientAuth
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EOF

make_identity() {
    local name=$1
    if [[ -s $dir/$name.pem && -s $dir/$name.key ]]; then
        return
    fi
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/$name.key"
    openssl req -new -key "$dir/$name.key" -subj "/CN=$name" |
        openssl x509 -req -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
            -set_serial "0x$(openssl rand -hex 12)" -days "$days_leaf" \
            -extfile "$extensions" -out "$dir/$name.pem" 2>/dev/null
}

make_identity node
for alias in "$@"; do
    make_identity "$alias"
done
# Certificates are public; the keys stay readable by the owner only.
chmod 644 "$dir"/*.pem
