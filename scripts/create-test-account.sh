#!/bin/bash
# Creates (idempotently) the local account that sim/sshd_inetd.py lets velzar's tests and benchmarks log into.
set -euo pipefail

ACCOUNT=velzartest
PASSWORD=velzar-test-pw

if [ "$(id -u)" -ne 0 ]; then
    echo "create-test-account.sh: creating the local account '$ACCOUNT' needs root;" \
         "please run it as root (for example: sudo $0)." >&2
    exit 1
fi

if ! id -u "$ACCOUNT" >/dev/null 2>&1; then
    useradd -m -s /bin/bash "$ACCOUNT"
fi

# An account made earlier may lack these; sshd needs a real shell to run commands.
if [ "$(getent passwd "$ACCOUNT" | cut -d: -f7)" != /bin/bash ]; then
    usermod -s /bin/bash "$ACCOUNT"
fi
home=$(getent passwd "$ACCOUNT" | cut -d: -f6)
if [ ! -d "$home" ]; then
    mkdir -p "$home"
    chown "$ACCOUNT:" "$home"
fi

# chpasswd replaces the whole password field, which also drops a '!' lock.
echo "$ACCOUNT:$PASSWORD" | chpasswd
# Neither the account nor its password may expire, or sshd refuses the login.
chage -E -1 -M -1 -I -1 "$ACCOUNT"

status=$(passwd -S "$ACCOUNT" | awk '{print $2}')
if [ "$status" != "P" ]; then
    echo "create-test-account.sh: '$ACCOUNT' still has no usable password (status $status)" >&2
    exit 1
fi
echo "account '$ACCOUNT' ready"
