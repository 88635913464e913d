#!/usr/bin/env python3
"""Serves OpenSSH's sshd on an ephemeral 127.0.0.1 port (one `sshd -i` per connection) as a real-world peer for velzar's tests and benchmarks."""

# Standard library only: it runs under any python3. We bind the port ourselves
# and hand each accepted socket to `sshd -i`, so there is no race between
# choosing a free port and sshd binding it.

import argparse
import os
import pwd
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SSHD = '/usr/sbin/sshd'
SSH_KEYGEN = 'ssh-keygen'
PRIVSEP_DIR = '/run/sshd'

CONFIG = """\
HostKey {host_key}
# Password logins for one local test account, nothing else.
PasswordAuthentication yes
KbdInteractiveAuthentication no
UsePAM no
PubkeyAuthentication no
PermitRootLogin no
PermitEmptyPasswords no
AllowUsers {user}
StrictModes no
PidFile none
UseDNS no
LogLevel ERROR
ClientAliveInterval 0
# Benchmarks run ~20 connections at once and thousands of exec channels on
# each, one after another.
MaxStartups 100
MaxSessions 1000
PrintMotd no
PrintLastLog no
X11Forwarding no
AllowTcpForwarding no
# No Subsystem lines: without them sshd offers no subsystem at all.
"""


def fail(message):
    sys.stderr.write('sshd_inetd.py: %s\n' % message)
    sys.exit(2)


def _stat(pid):
    """(ppid, start time) of a process, or None once it is gone."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
    except (OSError, IndexError):
        return None
    return int(fields[1]), int(fields[19])


def process_tree(root):
    """root and all its descendants, each as (pid, start time)."""
    children = {}
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            info = _stat(int(entry))
            if info:
                children.setdefault(info[0], []).append((int(entry), info[1]))
    tree = []
    todo = [(root, _stat(root)[1])] if _stat(root) else []
    while todo:
        pid, start = todo.pop()
        tree.append((pid, start))
        todo.extend(children.get(pid, []))
    return tree


def stop_sessions(children):
    """End every session with all it started, not just the sshd we spawned.

    sshd runs each command in a new session (setsid), so killing sshd's
    process group would miss it, and a command like "sleep 30" would outlive
    us; walk the parent links instead.
    """
    procs = [p for child in children if child.poll() is None
             for p in process_tree(child.pid)]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        alive = [(pid, start) for pid, start in procs
                 if (_stat(pid) or (0, None))[1] == start]
        for pid, _ in alive:
            try:
                os.kill(pid, sig)
            except OSError:
                pass
        deadline = time.monotonic() + 0.5
        for child in children:
            try:
                child.wait(timeout=max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                pass
        procs = alive


def make_config(workdir, user):
    host_key = os.path.join(workdir, 'ssh_host_ecdsa_key')
    subprocess.run([SSH_KEYGEN, '-t', 'ecdsa', '-N', '', '-q', '-f', host_key],
                   check=True, stdin=subprocess.DEVNULL)
    config = os.path.join(workdir, 'sshd_config')
    with open(config, 'w') as f:
        f.write(CONFIG.format(host_key=host_key, user=user))
    # Catch a bad configuration here, once, rather than in every connection.
    check = subprocess.run([SSHD, '-t', '-f', config], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if check.returncode != 0:
        raise RuntimeError('sshd rejects the generated configuration: %s'
                           % check.stdout.decode(errors='replace').strip())
    return config


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--user', default='velzartest',
                        help='the only account allowed to log in')
    args = parser.parse_args()

    if os.geteuid() != 0:
        fail('must run as root: sshd -i switches to the logged-in user')
    if not os.access(SSHD, os.X_OK):
        fail('%s not found (install openssh-server)' % SSHD)
    try:
        pwd.getpwnam(args.user)
    except KeyError:
        fail('no local account %r (scripts/create-test-account.sh creates it)'
             % args.user)
    # sshd refuses to start without its privilege separation directory.
    os.makedirs(PRIVSEP_DIR, mode=0o755, exist_ok=True)

    # Signals and stdin EOF only write to this pipe; the accept loop below
    # notices and shuts down in one place.
    wake_r, wake_w = os.pipe()

    def wake(*_):
        try:
            os.write(wake_w, b'x')
        except OSError:
            pass

    signal.signal(signal.SIGTERM, wake)
    signal.signal(signal.SIGINT, wake)

    def watch_stdin():
        # Stop when stdin reaches EOF, so a test that dies does not leave us running.
        try:
            while os.read(0, 65536):
                pass
        except OSError:
            pass
        wake()

    workdir = tempfile.mkdtemp(prefix='velzar-sshd-')
    children = []
    listener = None
    try:
        config = make_config(workdir, args.user)
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(('127.0.0.1', 0))
        listener.listen(128)
        sys.stdout.write('READY %d\n' % listener.getsockname()[1])
        sys.stdout.flush()
        threading.Thread(target=watch_stdin, daemon=True).start()

        while True:
            ready, _, _ = select.select([listener, wake_r], [], [], 1.0)
            # Reap finished sessions so they do not pile up as zombies.
            children = [c for c in children if c.poll() is None]
            if wake_r in ready:
                break
            if listener in ready:
                conn, _ = listener.accept()
                with conn:
                    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    children.append(subprocess.Popen(
                        [SSHD, '-i', '-e', '-f', config],
                        stdin=conn, stdout=conn, close_fds=True))
    except (OSError, RuntimeError, subprocess.CalledProcessError) as exc:
        fail(str(exc))
    finally:
        if listener is not None:
            listener.close()
        stop_sessions(children)
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
