# Sourced by the other scripts: installs what the build needs on Debian.
QUILLORA_PACKAGES="g++ cmake ninja-build pkg-config qt6-base-dev libcurl4-openssl-dev \
ca-certificates fonts-liberation zlib1g-dev openssl python3-h2 parallel \
python3-html5lib python3-soupsieve python3-bs4"
# Only for scripts/test --sanitize: libFuzzer comes with clang's runtime libraries.
QUILLORA_SANITIZER_PACKAGES="clang libclang-rt-14-dev"

quillora_install_deps() {
    local missing=()
    for p in $QUILLORA_PACKAGES "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

quillora_root() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd
}
