#!/usr/bin/python3
"""Runs one benchmark workload with a Python SSH peer (paramiko or asyncssh) and prints one JSON object per line."""

# Runs under Debian's /usr/bin/python3, the only interpreter with paramiko and
# asyncssh. Each peer gets its best shot: its lowest-level API, large reads,
# TCP_NODELAY, the same channel window as the floor. The command line mirrors
# velzar_floor's, so bench/run.py drives all clients alike:
#
#   peer_worker.py --client paramiko|asyncssh --port P [--user U] [--password PW] [--window BYTES] MODE ...
#     connect N              N x (TCP connect + handshake + password auth)
#     echo N CMD             N round trips of CMD on one connection
#     output CMD             one command read to end of file
#     prompt CMD SUFFIX      one command read until its output ends with SUFFIX
#     devices M K CMD        M connections at once (threads / tasks), each runs CMD K times

import asyncio
import json
import socket
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

from worker_common import cpu_seconds, workload_parser

try:
    # cryptography warns about legacy ciphers the peers register; keep stderr clean.
    from cryptography.utils import CryptographyDeprecationWarning
    warnings.filterwarnings('ignore', category=CryptographyDeprecationWarning)
except ImportError:  # pragma: no cover - older cryptography
    pass

HOST = '127.0.0.1'
READ_SIZE = 1 << 20
DEFAULT_WINDOW = 2 * 1024 * 1024


def emit(**record):
    sys.stdout.write(json.dumps(record) + '\n')
    sys.stdout.flush()


def ends_with(tail, data, suffix):
    """The last len(suffix) bytes seen, and whether they are the suffix."""
    tail = (tail + data)[-len(suffix):]
    return tail, tail == suffix


class ParamikoClient:
    def __init__(self, args):
        import paramiko
        self.paramiko = paramiko
        self.args = args
        self.transport = None

    def connect(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.connect((HOST, self.args.port))
        # Transport directly: SSHClient would add key-file look-ups we don't want timed.
        transport = self.paramiko.Transport(sock)
        transport.start_client(timeout=60)
        transport.auth_password(self.args.user, self.args.password)
        self.transport = transport

    def run(self, command, suffix=b''):
        chan = self.transport.open_session(window_size=self.args.window)
        chan.exec_command(command)
        chunks = []
        tail = b''
        while True:
            data = chan.recv(READ_SIZE)
            if not data:
                break
            chunks.append(data)
            if suffix:
                tail, done = ends_with(tail, data, suffix)
                if done:
                    break
        chan.close()
        return b''.join(chunks)

    def close(self):
        if self.transport is not None:
            self.transport.close()
            self.transport = None


class AsyncsshClient:
    """asyncssh through its session API (no process streams), driven by one event loop."""

    def __init__(self, args, loop=None):
        import asyncssh
        self.asyncssh = asyncssh
        self.args = args
        self.loop = loop
        self.conn = None

    async def aconnect(self):
        self.conn = await self.asyncssh.connect(
            HOST, self.args.port, username=self.args.user, password=self.args.password,
            known_hosts=None, client_keys=None, agent_path=None, config=None,
            window=self.args.window, max_pktsize=32768)

    async def arun(self, command, suffix=b''):
        done = asyncio.get_running_loop().create_future()

        class Session(self.asyncssh.SSHClientSession):
            def __init__(self):
                self.chunks = []
                self.tail = b''

            def data_received(self, data, datatype):
                if datatype is not None:
                    return
                self.chunks.append(data)
                if suffix:
                    self.tail, found = ends_with(self.tail, data, suffix)
                    if found and not done.done():
                        done.set_result(None)

            def connection_lost(self, exc):
                if not done.done():
                    if exc:
                        done.set_exception(exc)
                    else:
                        done.set_result(None)

        chan, session = await self.conn.create_session(Session, command, encoding=None)
        await done
        chan.close()
        await chan.wait_closed()
        return b''.join(session.chunks)

    async def aclose(self):
        if self.conn is not None:
            self.conn.close()
            await self.conn.wait_closed()
            self.conn = None

    # Blocking wrappers so the synchronous workloads below serve both peers.
    def connect(self):
        self.loop.run_until_complete(self.aconnect())

    def run(self, command, suffix=b''):
        return self.loop.run_until_complete(self.arun(command, suffix))

    def close(self):
        self.loop.run_until_complete(self.aclose())


def make_client(args, loop):
    if args.client == 'paramiko':
        return ParamikoClient(args)
    return AsyncsshClient(args, loop)


def workload_connect(args, loop):
    for i in range(args.n):
        client = make_client(args, loop)
        t0 = time.perf_counter()
        client.connect()
        emit(mode='connect', i=i, seconds=time.perf_counter() - t0)
        client.close()


def workload_echo(args, loop):
    client = make_client(args, loop)
    client.connect()
    for i in range(args.n):
        t0 = time.perf_counter()
        out = client.run(args.command)
        emit(mode='echo', i=i, seconds=time.perf_counter() - t0, bytes=len(out))
    client.close()


def workload_output(args, loop):
    suffix = args.suffix.encode() if args.mode == 'prompt' else b''
    client = make_client(args, loop)
    client.connect()
    c0, t0 = cpu_seconds(), time.perf_counter()
    out = client.run(args.command, suffix)
    seconds, cpu = time.perf_counter() - t0, cpu_seconds() - c0
    emit(mode=args.mode, seconds=seconds, cpu=cpu, bytes=len(out),
         suffix_found=(not suffix) or out.endswith(suffix))
    client.close()


def workload_devices(args, loop):
    if args.client == 'asyncssh':
        # asyncssh's own way to drive many devices: tasks on one loop.
        async def one():
            client = AsyncsshClient(args)
            await client.aconnect()
            total = 0
            for _ in range(args.k):
                total += len(await client.arun(args.command))
            await client.aclose()
            return total

        async def all_devices():
            return await asyncio.gather(*[one() for _ in range(args.m)])

        t0 = time.perf_counter()
        sizes = loop.run_until_complete(all_devices())
    else:
        def one(_):
            client = ParamikoClient(args)
            client.connect()
            total = sum(len(client.run(args.command)) for _ in range(args.k))
            client.close()
            return total

        t0 = time.perf_counter()
        with ThreadPoolExecutor(max_workers=args.m) as pool:
            sizes = list(pool.map(one, range(args.m)))
    emit(mode='devices', devices=args.m, commands=args.k, seconds=time.perf_counter() - t0,
         bytes=sum(sizes))


def parse_args(argv):
    parser, _ = workload_parser(__doc__, 'suffix')
    parser.add_argument('--client', choices=('paramiko', 'asyncssh'), required=True)
    parser.add_argument('--window', type=int, default=DEFAULT_WINDOW)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    loop = None
    if args.client == 'asyncssh':
        loop = asyncio.new_event_loop()
        asyncio.set_event_loop(loop)
    try:
        {'connect': workload_connect, 'echo': workload_echo, 'output': workload_output,
         'prompt': workload_output, 'devices': workload_devices}[args.mode](args, loop)
    except Exception as error:  # reported to run.py as data, with a failing exit code
        emit(error='%s: %s' % (type(error).__name__, error))
        return 1
    finally:
        if loop is not None:
            loop.close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
