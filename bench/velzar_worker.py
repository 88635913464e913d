"""Runs one benchmark workload with velzar's PyVelzarClient and prints one JSON object per line."""

# Runs under the interpreter velzar was built for, with its build folder on
# PYTHONPATH. The command line mirrors velzar_floor's and peer_worker.py's:
#
#   velzar_worker.py --port P [--user U] [--password PW] MODE ...
#     connect N                         N x connect() (TCP, handshake, password auth)
#     echo N CMD                        N round trips of send(CMD) on one connection
#     output CMD                        one send(CMD) with no prompt: ends at end of file
#     prompt CMD REGEX                  one send(CMD, expected_prompt=REGEX)
#     devices M K CMD                   M clients from a thread pool, each connect + K x send(CMD)
#     memory CLIENTS COMMANDS WARMUP CMD
#                                       RSS with CLIENTS connected clients, then RSS growth
#                                       over COMMANDS x send(CMD) after WARMUP of them

import json
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HOST = '127.0.0.1'
COMMAND_TIMEOUT_MS = 600000
READ_TIMEOUT_MS = 60000

# connect() prints progress lines on file descriptor 1, which would garble our
# JSON and cost terminal time inside the measurement: results go to a private
# copy of fd 1, and fd 1 itself goes to /dev/null.
_results = os.fdopen(os.dup(1), 'w')
_devnull = os.open(os.devnull, os.O_WRONLY)
os.dup2(_devnull, 1)
os.close(_devnull)

from velzar._velzar_wrapper import PyVelzarClient  # noqa: E402  (after the fd swap on purpose)
from worker_common import cpu_seconds, workload_parser  # noqa: E402


def emit(**record):
    _results.write(json.dumps(record) + '\n')
    _results.flush()


def rss_bytes():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')


def make_client(args, prompt=''):
    return PyVelzarClient(HOST, args.user, args.password, prompt, True, args.port,
                          COMMAND_TIMEOUT_MS, READ_TIMEOUT_MS, 'vt100', False)


def workload_connect(args):
    for i in range(args.n):
        client = make_client(args)
        t0 = time.perf_counter()
        client.connect()
        emit(mode='connect', i=i, seconds=time.perf_counter() - t0)
        client.disconnect()


def workload_echo(args):
    client = make_client(args)
    client.connect()
    for i in range(args.n):
        t0 = time.perf_counter()
        out = client.send(args.command)
        emit(mode='echo', i=i, seconds=time.perf_counter() - t0, bytes=len(out))
    client.disconnect()


def workload_output(args):
    client = make_client(args)
    client.connect()
    c0, t0 = cpu_seconds(), time.perf_counter()
    if args.mode == 'prompt':
        out = client.send(args.command, expected_prompt=args.regex)
    else:
        out = client.send(args.command)
    seconds, cpu = time.perf_counter() - t0, cpu_seconds() - c0
    # send() returns str: count bytes as the device sent them.
    emit(mode=args.mode, seconds=seconds, cpu=cpu, bytes=len(out.encode('utf-8', 'surrogateescape')))
    client.disconnect()


def workload_devices(args):
    def one(_):
        client = make_client(args)
        client.connect()
        total = sum(len(client.send(args.command)) for _ in range(args.k))
        client.disconnect()
        return total

    t0 = time.perf_counter()
    with ThreadPoolExecutor(max_workers=args.m) as pool:
        sizes = list(pool.map(one, range(args.m)))
    emit(mode='devices', devices=args.m, commands=args.k, seconds=time.perf_counter() - t0,
         bytes=sum(sizes))


def workload_memory(args):
    base = rss_bytes()
    clients = [make_client(args) for _ in range(args.clients)]
    for client in clients:
        client.connect()
    connected = rss_bytes()
    for client in clients:
        client.disconnect()
    del clients

    client = make_client(args)
    client.connect()
    for _ in range(args.warmup):
        client.send(args.command)
    before = rss_bytes()
    for _ in range(args.commands):
        client.send(args.command)
    after = rss_bytes()
    client.disconnect()
    emit(mode='memory', rss_base=base, rss_connected=connected, clients=args.clients,
         per_client=(connected - base) / max(args.clients, 1),
         commands=args.commands, warmup=args.warmup, rss_before=before, rss_after=after,
         growth=after - before)


def parse_args(argv):
    parser, modes = workload_parser(__doc__, 'regex')
    p = modes.add_parser('memory')
    p.add_argument('clients', type=int)
    p.add_argument('commands', type=int)
    p.add_argument('warmup', type=int)
    p.add_argument('command')
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        {'connect': workload_connect, 'echo': workload_echo, 'output': workload_output,
         'prompt': workload_output, 'devices': workload_devices,
         'memory': workload_memory}[args.mode](args)
    except Exception as error:  # reported to run.py as data, with a failing exit code
        emit(error='%s: %s' % (type(error).__name__, error))
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
