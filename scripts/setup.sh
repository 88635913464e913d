#!/bin/sh
# Installs what building, testing and benchmarking velzar needs on Debian 12,
# and the local account the OpenSSH test fixture logs in with.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

PACKAGES="build-essential cmake pkg-config libssh2-1-dev googletest libgtest-dev libbenchmark-dev
python3 python3-asyncssh python3-paramiko python3-matplotlib openssh-server openssh-client procps"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $package"
    fi
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "velzar: missing Debian packages:$missing" >&2
        echo "velzar: run this script as root, or: sudo apt-get install$missing" >&2
        exit 1
    fi
    echo "velzar: installing$missing"
    apt-get update -qq
    # Installing openssh-server must not start a system-wide sshd: the tests
    # run their own on ephemeral ports.
    policy=/usr/sbin/policy-rc.d
    created_policy=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod +x "$policy" && created_policy=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
    if [ "$created_policy" -eq 1 ]; then rm -f "$policy"; fi
fi

if [ "$(id -u)" -eq 0 ]; then
    bash "$here/create-test-account.sh"
else
    echo "velzar: not root: the tests against OpenSSH's sshd will be skipped" >&2
fi
