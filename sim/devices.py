#!/usr/bin/python3
"""Simulated SSH network devices (a Cisco-style router and a TL1 network element) that velzar's tests, demo and benchmarks talk to."""

# Runs under Debian's /usr/bin/python3, which has python3-asyncssh 2.10. The
# client's own tests run under interpreters without asyncssh, so they start
# this file as a separate process and wait for its "READY <port>" line.

import argparse
import asyncio
import itertools
import json
import os
import signal
import sys
import threading
import warnings

try:
    # cryptography warns about the legacy ciphers asyncssh registers; that noise
    # would land in every test log, so silence it before asyncssh is imported.
    from cryptography.utils import CryptographyDeprecationWarning
    warnings.filterwarnings('ignore', category=CryptographyDeprecationWarning)
except ImportError:  # pragma: no cover - older cryptography
    pass

import asyncssh
from asyncssh.constants import (MSG_CHANNEL_CLOSE, MSG_DISCONNECT,
                                MSG_NEWKEYS, MSG_SERVICE_ACCEPT,
                                MSG_SERVICE_REQUEST, MSG_USERAUTH_REQUEST,
                                MSG_USERAUTH_SUCCESS)
from asyncssh.packet import PacketDecodeError, SSHPacket, String

ROUTER_PROMPT = 'router#'
TL1_PROMPT = '<'
TL1_BANNER = ('\r\n\r\n   VELZAR SIMULATED NETWORK ELEMENT\r\n'
              '   TL1 ENGINE READY\r\n\r\n' + TL1_PROMPT)
TL1_HEADER = '\r\n\n   NE1 26-12-11 12:00:00\r\n'
INVALID_INPUT = "% Invalid input detected at '^' marker.\r\n" + ROUTER_PROMPT

# Output is streamed in chunks of this size so hundreds of MB never sit in memory.
CHUNK = 256 * 1024
# Keep a few chunks queued so the socket never runs dry while we make the next one.
HIGH_WATER = 4 * CHUNK
LOW_WATER = CHUNK

# 64-byte lines for bigout: "0000001 " + filler + "\n". No '#' and no '>' so
# no prompt regex can match inside the payload by accident.
BIGOUT_FILLER = b'abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ012'
assert len(BIGOUT_FILLER) == 55

ROUTER_STATIC = {
    'show version': (
        'Velzar IOS Software, SIM Software (SIM-ADVENTERPRISEK9-M), '
        'Version 15.2(4)M7, RELEASE SOFTWARE (fc2)\r\n'
        'ROM: System Bootstrap, Version 15.0(1r)M16, RELEASE SOFTWARE (fc1)\r\n'
        'router uptime is 4 weeks, 2 days, 3 hours, 11 minutes\r\n'
        'System image file is "flash:sim-adventerprisek9-mz.152-4.M7.bin"\r\n'
        'cisco SIM2911/K9 (revision 1.0) with 487424K/36864K bytes of memory.\r\n'
        'Configuration register is 0x2102\r\n'
        '\r\n' + ROUTER_PROMPT),
    'show clock': '*12:00:00.000 UTC Fri Dec 11 2026\r\n' + ROUTER_PROMPT,
    'show ip interface brief': (
        'Interface              IP-Address      OK? Method Status                Protocol\r\n'
        'GigabitEthernet0/0     192.0.2.1       YES NVRAM  up                    up\r\n'
        'GigabitEthernet0/1     unassigned      YES NVRAM  administratively down down\r\n'
        'Loopback0              198.51.100.1    YES NVRAM  up                    up\r\n'
        + ROUTER_PROMPT),
    'terminal length 0': '\r\n' + ROUTER_PROMPT,
}


class EventLog:
    """Appends one JSON object per line for tests to read from the server side."""

    def __init__(self, path):
        self._file = open(path, 'a', encoding='utf-8') if path else None

    def emit(self, conn_id, event, **fields):
        if self._file is None:
            return
        record = {'event': event, 'conn': conn_id}
        record.update(fields)
        # Flushed at once: a test may read the file while we are still running.
        self._file.write(json.dumps(record) + '\n')
        self._file.flush()


class Device:
    """What one simulator process serves, plus its live connections."""

    def __init__(self, args):
        self.kind = args.device
        self.variant = args.variant
        self.username = args.username
        self.password = args.password
        self.events = EventLog(args.events)
        self.connections = set()
        self._ids = itertools.count(1)

    def next_id(self):
        return next(self._ids)


def _orig_handler(pkttype):
    return asyncssh.SSHServerConnection._packet_handlers[pkttype]


class DeviceConnection(asyncssh.SSHServerConnection):
    """Server connection that reports the client's disconnect message."""

    def __init__(self, loop, options, device):
        super().__init__(loop, options)
        self.device = device
        self.conn_id = device.next_id()

    def _process_disconnect_logged(self, pkttype, pktid, packet):
        # asyncssh turns a normal disconnect into connection_lost(None) and
        # drops code and text; tests need both to see how the client left.
        peek = SSHPacket(packet.get_remaining_payload())
        try:
            code = peek.get_uint32()
            reason = peek.get_string().decode('utf-8', 'replace')
        except PacketDecodeError:
            code, reason = -1, ''
        self.device.events.emit(self.conn_id, 'disconnect',
                                code=code, reason=reason)
        _orig_handler(MSG_DISCONNECT)(self, pkttype, pktid, packet)

    def _process_service_request_again(self, pkttype, pktid, packet):
        # Some clients (paramiko) ask for ssh-userauth again before each login
        # attempt. sshd allows that until auth succeeds; asyncssh disconnects
        # on the second request, which would end retries after a bad password.
        peek = SSHPacket(packet.get_remaining_payload())
        if (self._next_service is None and self._recv_encryption and
                not self._auth_complete and
                peek.get_string() == b'ssh-userauth'):
            self.send_packet(MSG_SERVICE_ACCEPT, String(b'ssh-userauth'))
            return
        _orig_handler(MSG_SERVICE_REQUEST)(self, pkttype, pktid, packet)

    _packet_handlers = dict(asyncssh.SSHServerConnection._packet_handlers)
    _packet_handlers[MSG_DISCONNECT] = _process_disconnect_logged
    _packet_handlers[MSG_SERVICE_REQUEST] = _process_service_request_again


class ElementConnection(DeviceConnection):
    """Server connection for TL1 gear, which is used without SSH user auth.

    The client finishes key exchange, asks for the ssh-userauth service and
    then opens session channels straight away, never sending a user-auth
    request. asyncssh rejects any connection-layer message before auth
    completes ("Invalid request before authentication was complete"), so once
    the first key exchange is done this connection counts as authenticated,
    doing what asyncssh's send_userauth_success() does minus the packet.
    """

    def _process_newkeys_then_auth(self, pkttype, pktid, packet):
        _orig_handler(MSG_NEWKEYS)(self, pkttype, pktid, packet)
        if not self._auth_complete:
            self._auth_complete = True
            self._cancel_login_timer()
            self._set_keepalive_timer()
            self._send_deferred_packets()
            if self._owner:
                self._owner.auth_completed()

    def _process_userauth_anyway(self, _pkttype, _pktid, packet):
        # A client may still try to log in: accept any method and any
        # credentials. asyncssh itself would silently ignore the request once
        # auth is complete, leaving such a client waiting forever.
        username = packet.get_string().decode('utf-8', 'replace')
        service = packet.get_string()
        method = packet.get_string().decode('ascii', 'replace')
        if service != b'ssh-connection':
            raise asyncssh.ServiceNotAvailable(
                'Unexpected service in auth request')
        self.device.events.emit(self.conn_id, 'auth', username=username,
                                ok=True, method=method)
        self.set_extra_info(username=username)
        self.send_packet(MSG_USERAUTH_SUCCESS)

    _packet_handlers = dict(DeviceConnection._packet_handlers)
    _packet_handlers[MSG_NEWKEYS] = _process_newkeys_then_auth
    _packet_handlers[MSG_USERAUTH_REQUEST] = _process_userauth_anyway


class DeviceServer(asyncssh.SSHServer):
    """Per-connection callbacks: events, password check, new sessions."""

    def __init__(self, device):
        self.device = device
        self.conn = None
        self.conn_id = 0
        self.channels = 0

    def connection_made(self, conn):
        self.conn = conn
        self.conn_id = conn.conn_id
        self.device.connections.add(conn)
        self.device.events.emit(self.conn_id, 'connect')

    def connection_lost(self, exc):
        self.device.connections.discard(self.conn)
        self.device.events.emit(self.conn_id, 'connection_lost')

    def begin_auth(self, username):
        return self.device.kind == 'router'

    def password_auth_supported(self):
        return self.device.kind == 'router'

    async def validate_password(self, username, password):
        if self.device.variant == 'slow-auth':
            await asyncio.sleep(3)
        ok = (username == self.device.username and
              password == self.device.password)
        self.device.events.emit(self.conn_id, 'auth', username=username,
                                ok=ok)
        return ok

    def session_requested(self):
        self.channels += 1
        self.device.events.emit(self.conn_id, 'channel_open',
                                chan=self.channels)
        if self.device.kind == 'router':
            return RouterSession(self, self.channels)
        return ElementSession(self, self.channels)


class DeviceSession(asyncssh.SSHServerSession):
    """One session channel: bookkeeping, flow-controlled writes, closing."""

    def __init__(self, server, chan_no):
        self.server = server
        self.device = server.device
        self.chan_no = chan_no  # per-connection count, to pair up events
        self.chan = None
        self.task = None
        self.command = None
        self.is_shell = False
        self.closed_by_server = False
        self._writable = asyncio.Event()
        self._writable.set()
        self._stdin_eof = asyncio.Event()
        self._stdin = bytearray()

    def emit(self, event, **fields):
        self.device.events.emit(self.server.conn_id, event, chan=self.chan_no,
                                **fields)

    # -- asyncssh callbacks -------------------------------------------------

    def connection_made(self, chan):
        self.chan = chan
        chan.set_write_buffer_limits(high=HIGH_WATER, low=LOW_WATER)
        # Record the client's CLOSE as it arrives. asyncssh tells the session
        # only on a later loop pass, after it may already have handled the
        # client's next packets (often the next channel open), which would
        # put the events out of order.
        handlers = dict(type(chan)._packet_handlers)
        process_close = handlers[MSG_CHANNEL_CLOSE]

        def close_received(channel, pkttype, pktid, packet):
            self._close_event('server' if self.closed_by_server else 'client')
            process_close(channel, pkttype, pktid, packet)

        handlers[MSG_CHANNEL_CLOSE] = close_received
        chan._packet_handlers = handlers

    def pty_requested(self, term_type, term_size, term_modes):
        self.emit('pty', term=term_type, width=term_size[0],
                  height=term_size[1])
        return self.accept_pty()

    def shell_requested(self):
        self.emit('shell')
        self.is_shell = True
        return self.accept_shell()

    def exec_requested(self, command):
        self.emit('exec', command=command)
        self.command = command
        return self.accept_exec(command)

    def session_started(self):
        self.task = asyncio.get_running_loop().create_task(self._guarded())

    def data_received(self, data, datatype):
        self._stdin += data
        self.on_input()

    def eof_received(self):
        self._stdin_eof.set()
        self.on_input()
        # True keeps our side open: "stays open" commands must not send EOF
        # just because the client half-closed right after the exec request.
        return True

    def pause_writing(self):
        self._writable.clear()

    def resume_writing(self):
        self._writable.set()

    def connection_lost(self, exc):
        # Without a CLOSE from the client the whole connection went away.
        self._close_event('connection')
        if self.task is not None and not self.task.done():
            self.task.cancel()

    _close_recorded = False

    def _close_event(self, by):
        if not self._close_recorded:
            self._close_recorded = True
            self.emit('channel_close', by=by)

    # -- policy hooks for subclasses -----------------------------------------

    def accept_pty(self):
        return True

    def accept_shell(self):
        return True

    def accept_exec(self, command):
        return True

    def on_input(self):
        """Called when stdin data or EOF arrives."""

    async def run(self):
        raise NotImplementedError

    # -- helpers --------------------------------------------------------------

    async def _guarded(self):
        try:
            await self.run()
        except (asyncio.CancelledError, BrokenPipeError, ConnectionError):
            pass  # the client closed the channel or dropped the connection

    async def write(self, data, stderr=False):
        if isinstance(data, str):
            data = data.encode('utf-8')
        self.chan.write(data, asyncssh.EXTENDED_DATA_STDERR if stderr else None)
        # Honour the client's window: wait while asyncssh's send buffer is full.
        await self._writable.wait()

    async def finish(self, status=0):
        """Send everything queued, then EOF, exit status and close, like sshd."""
        if self.chan.get_write_buffer_size():
            # asyncssh sends exit-status at once, ahead of queued data; wait for
            # the buffer to empty so the client sees data, EOF, status, close.
            self.chan.set_write_buffer_limits(high=0, low=0)
            await self._writable.wait()
        self.closed_by_server = True
        self.chan.write_eof()
        self.chan.exit(status)

    async def read_stdin_to_eof(self):
        await self._stdin_eof.wait()


# Lines are made 1000 at a time from a template whose counters read
# "PPPPnnn"; filling in the 4-digit prefix with bytes.replace runs at memcpy
# speed, where formatting every line in Python would dominate the server's time.
_BIGOUT_BLOCK_LINES = 1000
_BIGOUT_TEMPLATE = b''.join(b'PPPP%03d %s\n' % (n, BIGOUT_FILLER)
                            for n in range(_BIGOUT_BLOCK_LINES))


def bigout_chunks(total):
    """Yield exactly total bytes of numbered 64-byte lines (first is 0000001)."""
    blocks_per_chunk = max(1, CHUNK // len(_BIGOUT_TEMPLATE))
    skip = 64  # the template starts at counter 0000000; output starts at 1
    remaining = total
    block = 0
    while remaining > 0:
        parts = []
        for _ in range(blocks_per_chunk):
            parts.append(_BIGOUT_TEMPLATE.replace(
                b'PPPP', b'%04d' % (block % 10000)))
            block += 1
        chunk = b''.join(parts)
        if skip:
            chunk = chunk[skip:]
            skip = 0
        if len(chunk) > remaining:
            chunk = chunk[:remaining]
        remaining -= len(chunk)
        yield chunk


def repeated_chunks(byte, total):
    """Yield total copies of one byte, CHUNK at a time."""
    block = byte * CHUNK
    remaining = total
    while remaining > 0:
        piece = block if remaining >= CHUNK else block[:remaining]
        remaining -= len(piece)
        yield piece


def parse_ints(words, count):
    """Return count non-negative ints from words, or None if they are not that."""
    if len(words) != count:
        return None
    try:
        values = [int(w) for w in words]
    except ValueError:
        return None
    return values if all(v >= 0 for v in values) else None


class RouterSession(DeviceSession):
    """Cisco-style router: exec commands from a table, minimal shell."""

    def accept_exec(self, command):
        # Refusing the exec request itself (channel request failure).
        return not command.startswith('refuse')

    def on_input(self):
        if self.is_shell:
            self._shell_lines()
        elif self.command is not None and self.command.strip() == 'cat':
            if self._stdin:
                data = bytes(self._stdin)
                self._stdin.clear()
                self.chan.write(data)

    def _shell_lines(self):
        # Echo each completed line and prompt again, as a terminal would show.
        # A pty client ends lines with "\r", "\n" or "\r\n"; count that as one.
        while self._stdin:
            if self._skip_lf and self._stdin[:1] == b'\n':
                del self._stdin[:1]
            self._skip_lf = False
            ends = [i for i in (self._stdin.find(b'\r'), self._stdin.find(b'\n'))
                    if i >= 0]
            if not ends:
                break
            cut = min(ends)
            self._skip_lf = self._stdin[cut:cut + 1] == b'\r'
            line = bytes(self._stdin[:cut])
            del self._stdin[:cut + 1]
            self.chan.write(line + b'\r\n' + ROUTER_PROMPT.encode())

    _skip_lf = False

    async def run(self):
        if self.is_shell:
            await self.write(ROUTER_PROMPT)
            return  # stays open; input is echoed from on_input
        await self.run_command(self.command)

    async def run_command(self, command):
        cmd = command.rstrip('\r\n')
        words = cmd.split()
        verb = words[0] if words else ''
        args = words[1:]
        normalized = ' '.join(words)

        if verb == 'echo':
            await self.write(cmd[5:] + '\n')
            await self.finish()
        elif normalized in ROUTER_STATIC:
            await self.write(ROUTER_STATIC[normalized])
            await self.finish()
        elif normalized == 'prompt-open':
            await self.write('line one\r\nline two\r\n' + ROUTER_PROMPT)
        elif verb == 'print-open':
            await self.write(cmd[len('print-open '):])
        elif normalized == 'prompt-split':
            await self.write('partial output\r\nrou')
            await asyncio.sleep(0.3)
            await self.write('ter#')
        elif normalized == 'silent':
            pass
        elif verb == 'slow' and parse_ints(args, 1):
            await asyncio.sleep(parse_ints(args, 1)[0] / 1000)
            await self.write('late output\r\n' + ROUTER_PROMPT)
            await self.finish()
        elif verb == 'drip' and parse_ints(args, 2):
            count, interval = parse_ints(args, 2)
            for i in range(1, count + 1):
                await self.write('tick %d\r\n' % i)
                await asyncio.sleep(interval / 1000)
            await self.write(ROUTER_PROMPT)
        elif verb == 'bigout' and (parse_ints(args, 1) or
                                   (len(args) == 2 and args[1] == 'prompt' and
                                    parse_ints(args[:1], 1))):
            for chunk in bigout_chunks(int(args[0])):
                await self.write(chunk)
            if len(args) == 2:
                await self.write('\r\n' + ROUTER_PROMPT)
            else:
                await self.finish()
        elif verb == 'longline' and parse_ints(args, 1):
            for chunk in repeated_chunks(b'x', int(args[0])):
                await self.write(chunk)
            await self.write('#')
        elif normalized == 'stderr':
            await self.write('error: something failed\n', stderr=True)
            await self.finish(1)
        elif verb == 'stderr-big' and parse_ints(args, 1):
            for chunk in repeated_chunks(b'e', int(args[0])):
                await self.write(chunk, stderr=True)
            await self.finish()
        elif normalized == 'mixed':
            await self.write('out1\n')
            await self.write('err1\n', stderr=True)
            await self.write('out2\r\n' + ROUTER_PROMPT)
            await self.finish()
        elif normalized == 'nul':
            await self.write(b'before\x00after\r\n' + ROUTER_PROMPT.encode())
            await self.finish()
        elif normalized == 'badutf8':
            await self.write(b'bad \xff\xfe bytes\r\n' + ROUTER_PROMPT.encode())
            await self.finish()
        elif normalized == 'utf8':
            await self.write('température 25°C ✓\r\n' + ROUTER_PROMPT)
            await self.finish()
        elif normalized == 'exit-now':
            await self.finish()
        elif normalized == 'cat':
            self.on_input()  # anything that arrived before we started
            await self.read_stdin_to_eof()
            await self.finish()
        else:
            await self.write(INVALID_INPUT)
            await self.finish()


def tl1_ctag(command):
    """The ctag is the 4th colon-separated field (best effort), else 0."""
    fields = command.split(':')
    if len(fields) < 4:
        return '0'
    ctag = fields[3].split(';')[0].strip()
    return ctag or '0'


def tl1_response(command):
    """TL1 response (through the terminating ';') for one command."""
    command = command.strip()
    if not command.endswith(';'):
        return TL1_HEADER + 'M  0 DENY\r\n   IICM\r\n;'
    body = ''
    if command.upper().startswith('RTRV-ALM-ALL'):
        body = ('   "FAC-1-1:MJ,LOS,SA,12-11,11-58-07,NEND,RCV:'
                '\\"Loss of signal\\""\r\n'
                '   "EQPT-1-3:MN,TEMP,NSA,12-11,11-59-30,NEND,NA:'
                '\\"High temperature\\""\r\n')
    return TL1_HEADER + 'M  %s COMPLD\r\n%s;' % (tl1_ctag(command), body)


class ElementSession(DeviceSession):
    """TL1 network element: banner and '<' prompt in a shell, TL1 exec."""

    def accept_pty(self):
        if self.device.variant == 'second-pty-refused':
            return self.chan_no == 1
        return self.device.variant != 'no-pty'

    def accept_shell(self):
        if self.device.variant == 'second-shell-refused':
            return self.chan_no == 1
        return self.device.variant != 'no-shell'

    def on_input(self):
        if not self.is_shell or not self._banner_sent:
            return
        # TL1 input is terminated by ';', possibly spread over several lines.
        while b';' in self._stdin:
            cut = self._stdin.index(b';')
            command = bytes(self._stdin[:cut + 1]).decode('utf-8', 'replace')
            del self._stdin[:cut + 1]
            self.chan.write((tl1_response(command) + '\r\n' + TL1_PROMPT)
                            .encode('utf-8'))

    _banner_sent = False

    async def run(self):
        if self.is_shell:
            if self.device.variant == 'late-banner':
                await asyncio.sleep(0.5)
            await self.write(TL1_BANNER)
            self._banner_sent = True
            if self.device.variant == 'close-early':
                await self.finish()
                return
            self.on_input()  # commands typed before the banner appeared
            return  # stays open until the client closes it
        cmd = self.command.rstrip('\r\n')
        words = cmd.split()
        if words and words[0] == 'echo':
            await self.write(cmd[5:] + '\n')
            await self.finish()
        elif cmd.strip() == 'silent':
            pass
        elif cmd.strip() == 'prompt-open':
            await self.write('line one\r\nline two\r\n' + TL1_PROMPT)
        else:
            await self.write(tl1_response(cmd) + '\r\n' + TL1_PROMPT)
            await self.finish()


def watch_stdin(loop, stop):
    """Stop when stdin reaches EOF, so a test that dies does not leave us running."""
    def reader():
        try:
            while os.read(0, 65536):
                pass
        except OSError:
            pass
        loop.call_soon_threadsafe(stop.set)
    threading.Thread(target=reader, name='stdin-watch', daemon=True).start()


async def serve(args):
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    if not args.ignore_stdin:
        watch_stdin(loop, stop)

    device = Device(args)
    # Ed25519: generated in well under a millisecond, and libssh2 1.10 (OpenSSL
    # backend) and paramiko both accept it as a host key.
    host_key = asyncssh.generate_private_key('ssh-ed25519')
    options = asyncssh.SSHServerConnectionOptions(
        server_factory=lambda: DeviceServer(device),
        server_host_keys=[host_key],
        # Delayed zlib would start compressing at "auth complete", which the
        # TL1 element reaches without the client's knowledge; keep it off.
        compression_algs=['none'],
        # The router logs in with a password only, like the gear it imitates.
        kbdint_auth=False,
        public_key_auth=False,
        host_based_auth=False,
        gss_auth=False,
        allow_pty=True,
        line_editor=False,  # devices see raw bytes, as real gear does
        encoding=None,
        login_timeout=120,
        keepalive_interval=0)
    conn_class = DeviceConnection if args.device == 'router' else ElementConnection
    server = await loop.create_server(
        lambda: conn_class(loop, options, device),
        args.host, args.port, backlog=256, reuse_address=True)
    port = server.sockets[0].getsockname()[1]
    sys.stdout.write('READY %d\n' % port)
    sys.stdout.flush()

    await stop.wait()
    server.close()
    for conn in list(device.connections):
        conn.abort()
    await asyncio.sleep(0)  # let the aborts run their connection_lost callbacks


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--device', choices=('router', 'tl1'), required=True)
    parser.add_argument('--variant', default='',
                        help='router: slow-auth; tl1: no-pty, no-shell, '
                             'late-banner, close-early, second-pty-refused, '
                             'second-shell-refused')
    parser.add_argument('--host', default='127.0.0.1')
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--username', default='admin')
    parser.add_argument('--password', default='secret')
    parser.add_argument('--events', default=None,
                        help='append one JSON object per line for each event')
    parser.add_argument('--ignore-stdin', action='store_true',
                        help='do not stop at stdin EOF (for running by hand)')
    args = parser.parse_args()
    known = {'router': ('', 'slow-auth'),
             'tl1': ('', 'no-pty', 'no-shell', 'late-banner', 'close-early',
                     'second-pty-refused', 'second-shell-refused')}
    if args.variant not in known[args.device]:
        parser.error('unknown variant %r for %s' % (args.variant, args.device))
    asyncio.run(serve(args))
    return 0


if __name__ == '__main__':
    sys.exit(main())
