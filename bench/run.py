#!/usr/bin/python3
"""Benchmarks velzar against the libssh2 floor, paramiko and asyncssh on the simulated router and OpenSSH, and prints a table, target lines and a plot."""

# Runs under Debian's /usr/bin/python3 (matplotlib, and the interpreter the
# servers and the Python peers need). Every client runs each workload in a
# fresh worker process; repetitions are interleaved (rep 1 of every client,
# then rep 2, ...) so a ratio is always taken between figures of the same
# repetition, measured a few seconds apart on the same server process.

import argparse
import json
import os
import platform
import pwd
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SYSTEM_PYTHON = '/usr/bin/python3'
CLIENTS = ('velzar', 'floor', 'paramiko', 'asyncssh')
PEERS = ('paramiko', 'asyncssh')
WORKER_TIMEOUT = 1800
MB = 1000 * 1000


# --------------------------------------------------------------------------- servers

class Server:
    """One simulated peer process, stopped by closing its stdin (and SIGTERM)."""

    def __init__(self, name, argv, user, password):
        self.name, self.user, self.password = name, user, password
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     cwd=ROOT, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith('READY '):
            self.stop()
            raise RuntimeError('%s did not start: %r' % (name, line))
        self.port = int(line.split()[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def bytes_command(server, n):
    if server == 'router':
        return 'bigout %d' % n
    return "head -c %d /dev/zero | tr '\\0' x" % n


def prompt_command(server, n):
    """(command, literal suffix, velzar's regex) for n bytes ending in a prompt on an open channel."""
    if server == 'router':
        return 'bigout %d prompt' % n, 'router#', r'router#\s*$'
    # sshd holds a channel's CLOSE back until the command exits: the loop dies
    # of SIGPIPE on its next stderr write once the client has closed, so the
    # close costs ~10 ms instead of a `sleep` left to run out. Every client
    # discards stderr, so the dots never reach the output.
    return ("head -c %d /dev/zero | tr '\\0' x; printf '\\nhost$ '; "
            "while sleep 0.01; do printf . >&2 || exit; done" % n, 'host$ ', r'host\$\s*$')


def slow_command(server):
    """A command that waits ~100 ms on the device, not on the client."""
    return 'slow 100' if server == 'router' else 'sleep 0.1; echo late'


# --------------------------------------------------------------------------- clients

class Runner:
    def __init__(self, args):
        self.args = args
        self.env = dict(os.environ)
        self.env['PYTHONPATH'] = args.pythonpath
        self.env['PYTHONDONTWRITEBYTECODE'] = '1'

    def argv(self, client, server, mode, *params):
        auth = ['--port', str(server.port), '--user', server.user, '--password', server.password]
        if client == 'floor':
            return [self.args.floor] + auth + [mode] + [str(p) for p in params]
        if client == 'velzar':
            return [self.args.python, os.path.join(HERE, 'velzar_worker.py')] + auth + \
                [mode] + [str(p) for p in params]
        return [SYSTEM_PYTHON, os.path.join(HERE, 'peer_worker.py'), '--client', client] + \
            auth + [mode] + [str(p) for p in params]

    def run(self, client, server, mode, *params):
        """The worker's JSON records; raises with its error text if it failed."""
        argv = self.argv(client, server, mode, *params)
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=self.env,
                              timeout=WORKER_TIMEOUT)
        records = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith('{')]
        errors = [r['error'] for r in records if 'error' in r]
        if proc.returncode != 0 or errors:
            raise RuntimeError('; '.join(errors) or proc.stderr.strip()[-300:] or
                               'exit status %d' % proc.returncode)
        return records

    def devices(self, client, server, m, k, command):
        """Wall seconds for m devices at once, each connecting and running command k times."""
        if client != 'floor':
            return self.run(client, server, 'devices', m, k, command)[0]['seconds']
        # The floor has no threads: m processes at once are what this machine
        # and server can do with no interpreter in the way.
        argv = self.argv('floor', server, 'echo', k, command)
        t0 = time.perf_counter()
        procs = [subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True) for _ in range(m)]
        outs = [p.communicate(timeout=WORKER_TIMEOUT) for p in procs]
        seconds = time.perf_counter() - t0
        for proc, (out, err) in zip(procs, outs):
            if proc.returncode != 0:
                raise RuntimeError(err.strip()[-300:] or out.strip()[-300:])
        return seconds


# --------------------------------------------------------------------------- workloads

def sizes(quick):
    if quick:
        return dict(echo=20, connect=5, small=1 * MB, large=5 * MB, prompt=2 * MB,
                    devices=5, dev_echo=10, dev_bytes=1 * MB, dev_slow=2,
                    mem_clients=10, mem_commands=500, mem_warmup=100)
    return dict(echo=100, connect=20, small=10 * MB, large=100 * MB, prompt=20 * MB,
                devices=20, dev_echo=50, dev_bytes=5 * MB, dev_slow=5,
                mem_clients=100, mem_commands=10000, mem_warmup=500)


def median(values):
    return statistics.median(values)


def workloads(size):
    """(key, label, clients, function(runner, client, server) -> figure dict)."""
    def rtt(r, c, s):
        recs = r.run(c, s, 'echo', size['echo'], 'echo hi')
        return {'ms': 1000 * median([x['seconds'] for x in recs])}

    def connect(r, c, s):
        recs = r.run(c, s, 'connect', size['connect'])
        return {'ms': 1000 * median([x['seconds'] for x in recs])}

    def output(n):
        def measure(r, c, s):
            rec = r.run(c, s, 'output', bytes_command(s.name, n))[0]
            if rec['bytes'] != n:
                raise RuntimeError('got %d bytes instead of %d' % (rec['bytes'], n))
            return {'s': rec['seconds'], 'cpu': rec['cpu']}
        return measure

    def prompt(r, c, s):
        command, suffix, regex = prompt_command(s.name, size['prompt'])
        rec = r.run(c, s, 'prompt', command, regex if c == 'velzar' else suffix)[0]
        if rec['bytes'] < size['prompt']:
            raise RuntimeError('got %d bytes, fewer than %d' % (rec['bytes'], size['prompt']))
        return {'s': rec['seconds'], 'cpu': rec['cpu']}

    def devices(command_of, k):
        def measure(r, c, s):
            command = command_of(s.name)
            one = r.devices(c, s, 1, k, command)
            many = r.devices(c, s, size['devices'], k, command)
            return {'one': one, 'many': many, 'ratio': many / one}
        return measure

    def memory(r, c, s):
        rec = r.run(c, s, 'memory', size['mem_clients'], size['mem_commands'],
                    size['mem_warmup'], 'echo hi')[0]
        return {'connected_mb': rec['rss_connected'] / 2**20,
                'per_client_kb': rec['per_client'] / 1024,
                'growth_kb': rec['growth'] / 1024}

    dev_label = '%d devices' % size['devices']
    return [
        ('rtt', 'round trip, median of %d echo' % size['echo'], CLIENTS, rtt),
        ('connect', 'connect + password, median of %d' % size['connect'], CLIENTS, connect),
        ('out_small', '%g MB to EOF' % (size['small'] / MB), CLIENTS, output(size['small'])),
        ('out_large', '%g MB to EOF' % (size['large'] / MB), CLIENTS, output(size['large'])),
        ('eof_prompt', '%g MB to EOF' % (size['prompt'] / MB), CLIENTS, output(size['prompt'])),
        ('prompt', '%g MB ending at the prompt' % (size['prompt'] / MB), CLIENTS, prompt),
        ('dev_echo', '%s x %d echo' % (dev_label, size['dev_echo']), CLIENTS,
         devices(lambda s: 'echo hi', size['dev_echo'])),
        ('dev_bytes', '%s x 1 output of %g MB' % (dev_label, size['dev_bytes'] / MB), CLIENTS,
         devices(lambda s: bytes_command(s, size['dev_bytes']), 1)),
        ('dev_slow', '%s x %d commands waiting 100 ms on the device' % (dev_label, size['dev_slow']),
         CLIENTS, devices(slow_command, size['dev_slow'])),
        ('memory', 'memory', ('velzar',), memory),
    ]


# --------------------------------------------------------------------------- reporting

def spread(values, fmt):
    """'median [min-max]' of one figure over the repetitions."""
    if not values:
        return '-'
    text = fmt % median(values)
    if len(values) > 1:
        text += ' [%s-%s]' % (fmt % min(values), fmt % max(values))
    return text


def series(results, server, key, client, field):
    reps = results[server].get(key, {}).get(client, [])
    return [rep[field] for rep in reps if rep is not None and field in rep]


def ratio_series(results, server, key_a, client_a, key_b, client_b, field, field_b=None):
    """Per-repetition ratios a/b, only where both figures come from the same repetition."""
    a = results[server].get(key_a, {}).get(client_a, [])
    b = results[server].get(key_b, {}).get(client_b, [])
    out = []
    for x, y in zip(a, b):
        if x is not None and y is not None and y[field_b or field] > 0:
            out.append(x[field] / y[field_b or field])
    return out


def table(rows, header):
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    lines = ['  '.join(str(cell).ljust(w) if i == 0 else str(cell).rjust(w)
                       for i, (cell, w) in enumerate(zip(row, widths))) for row in [header] + rows]
    lines.insert(1, '  '.join('-' * w for w in widths))
    return '\n'.join(lines)


def report(results, size, servers, errors, selected):
    out = []
    labels = {key: label for key, label, _, _ in workloads(size)}
    targets = []
    for server in servers:
        out.append('')
        out.append('=== server: %s (median [min-max] over %d repetitions) ===' % (
            server, results['repeat']))
        rows = []
        for key, field, fmt, what in [
                ('rtt', 'ms', '%.3f', 'ms'), ('connect', 'ms', '%.2f', 'ms'),
                ('out_small', 's', '%.3f', 'wall s'), ('out_small', 'cpu', '%.3f', 'client CPU s'),
                ('out_large', 's', '%.3f', 'wall s'), ('out_large', 'cpu', '%.3f', 'client CPU s'),
                ('eof_prompt', 's', '%.3f', 'wall s'), ('prompt', 's', '%.3f', 'wall s'),
                ('prompt', 'cpu', '%.3f', 'client CPU s'),
                ('dev_echo', 'one', '%.3f', 'one device, wall s'),
                ('dev_echo', 'many', '%.3f', 'all devices, wall s'),
                ('dev_bytes', 'one', '%.3f', 'one device, wall s'),
                ('dev_bytes', 'many', '%.3f', 'all devices, wall s'),
                ('dev_slow', 'one', '%.3f', 'one device, wall s'),
                ('dev_slow', 'many', '%.3f', 'all devices, wall s')]:
            cells = [spread(series(results, server, key, c, field), fmt) for c in CLIENTS]
            if any(cell != '-' for cell in cells) or key in selected:
                rows.append(['%s: %s' % (labels[key], what)] + cells)
        out.append(table(rows, ['figure'] + list(CLIENTS)))

        out.append('')
        rrows = []

        def ratio_row(label, values, fmt='%.2fx'):
            if values:
                rrows.append([label, spread(values, fmt)])
            return values

        def target(keys, label, values, limit, strict=False):
            if not values and not any(k in selected for k in keys):
                return  # not asked for in this run
            if not values:
                targets.append('n/a   %-8s %s (no data: not run, or it failed)' % (server, label))
                return
            m = median(values)
            ok = m < limit if strict else m <= limit
            targets.append('%s  %-8s %s: %.2fx (limit %s%.2fx; per repetition %s)' % (
                'PASS' if ok else 'FAIL', server, label, m, '<' if strict else '<=', limit,
                ', '.join('%.2f' % v for v in values)))

        for key, field, name in [('rtt', 'ms', 'round trip'), ('connect', 'ms', 'connect'),
                                 ('out_small', 's', labels['out_small']),
                                 ('out_large', 's', labels['out_large'])]:
            vs_floor = ratio_row('velzar / floor, %s' % name,
                                 ratio_series(results, server, key, 'velzar', key, 'floor', field))
            limit = 1.3 if key.startswith('out') else 1.2
            if key != 'out_small':
                target([key], 'velzar / floor, %s' % name, vs_floor, limit)
            for peer in PEERS:
                vs_peer = ratio_row('velzar / %s, %s' % (peer, name),
                                    ratio_series(results, server, key, 'velzar', key, peer, field))
                if key != 'out_small':
                    target([key], 'velzar / %s, %s' % (peer, name), vs_peer, 1.0, strict=True)
        ratio_row('velzar / floor, %s client CPU' % labels['out_large'],
                  ratio_series(results, server, 'out_large', 'velzar', 'out_large', 'floor', 'cpu'))
        for client in CLIENTS:
            values = ratio_row('%s: prompt / EOF, %g MB' % (client, size['prompt'] / MB),
                               ratio_series(results, server, 'prompt', client, 'eof_prompt', client, 's'))
            if client == 'velzar':
                target(['prompt', 'eof_prompt'], 'velzar prompt / EOF, %g MB' % (size['prompt'] / MB),
                       values, 1.5)
        for key in ('dev_echo', 'dev_bytes', 'dev_slow'):
            for client in CLIENTS:
                how = {'velzar': 'threads', 'paramiko': 'threads', 'asyncssh': 'tasks',
                       'floor': 'processes'}[client]
                values = ratio_row('%s (%s): %s / one' % (client, how, labels[key]),
                                   series(results, server, key, client, 'ratio'))
                if client == 'velzar':
                    target([key], 'velzar %s in threads / one' % labels[key], values, 3.0, strict=True)
        out.append(table(rrows, ['ratio (median [min-max] of per-repetition ratios)', 'value']))
        if any(key in selected for key in ('dev_echo', 'dev_bytes', 'dev_slow')):
            out.append('(devices: the floor as processes shows what this machine and server allow '
                       'with no interpreter in the way)')

        mem = results[server].get('memory', {}).get('velzar', [])
        mem = [m for m in mem if m]
        if mem:
            out.append('')
            out.append('velzar memory: RSS with %d clients connected %s MB (%s KB per client); '
                       'RSS growth over %d echo after %d warm-up: %s KB' % (
                           size['mem_clients'], spread([m['connected_mb'] for m in mem], '%.1f'),
                           spread([m['per_client_kb'] for m in mem], '%.0f'), size['mem_commands'],
                           size['mem_warmup'], spread([m['growth_kb'] for m in mem], '%.0f')))
    out.append('')
    out.append('=== targets (ratios from the same repetition; median over repetitions) ===')
    out.extend(targets)
    if errors:
        out.append('')
        out.append('=== errors ===')
        out.extend(errors)
    return '\n'.join(out)


def plot(results, servers, path):
    import matplotlib
    matplotlib.use('Agg')
    import matplotlib.pyplot as plt

    panels = [('rtt', 'ms', 'round trip (ms, log)', True), ('connect', 'ms', 'connect + auth (ms, log)', True),
              ('out_small', 's', '%s (s)' % results['labels']['out_small'], False),
              ('out_large', 's', '%s (s)' % results['labels']['out_large'], False)]
    colors = {'velzar': '#1f77b4', 'floor': '#7f7f7f', 'paramiko': '#ff7f0e', 'asyncssh': '#2ca02c'}
    fig, axes = plt.subplots(2, 2, figsize=(11, 8))
    width = 0.8 / len(CLIENTS)
    for ax, (key, field, title, log) in zip(axes.flat, panels):
        for i, client in enumerate(CLIENTS):
            xs, ys, lo, hi = [], [], [], []
            for j, server in enumerate(servers):
                values = series(results, server, key, client, field)
                if values:
                    m = median(values)
                    xs.append(j + (i - (len(CLIENTS) - 1) / 2) * width)
                    ys.append(m)
                    lo.append(m - min(values))
                    hi.append(max(values) - m)
            if xs:
                ax.bar(xs, ys, width, yerr=[lo, hi], capsize=3, label=client, color=colors[client])
        ax.set_xticks(range(len(servers)))
        ax.set_xticklabels(servers)
        ax.set_title(title)
        if log:
            ax.set_yscale('log')
        ax.grid(axis='y', alpha=0.3)
    axes.flat[0].legend()
    fig.suptitle('velzar vs libssh2 floor and Python peers (median, bars: min-max over %d runs)'
                 % results['repeat'])
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=100)


# --------------------------------------------------------------------------- main

def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--python', default=None,
                        help='the interpreter velzar is built for (default: the one in '
                             '<pythonpath>/CMakeCache.txt)')
    parser.add_argument('--pythonpath', default=os.path.join(ROOT, 'build', 'py3.9'),
                        help='the build folder that holds velzar/')
    parser.add_argument('--floor', default=None,
                        help='path of velzar_floor (default: <pythonpath>/bench/velzar_floor)')
    parser.add_argument('--servers', default='router,sshd')
    parser.add_argument('--clients', default=','.join(CLIENTS),
                        help='a subset of %s, for profiling or a quick look' % ','.join(CLIENTS))
    parser.add_argument('--only', default='',
                        help='comma-separated workload keys to run (default: all)')
    parser.add_argument('--repeat', type=int, default=3)
    parser.add_argument('--quick', action='store_true', help='small sizes, for a smoke run')
    parser.add_argument('--plot', default=os.path.join(ROOT, 'build', 'bench', 'velzar-bench.png'))
    args = parser.parse_args(argv)
    args.floor = args.floor or os.path.join(args.pythonpath, 'bench', 'velzar_floor')
    args.python = args.python or cmake_python(args.pythonpath) or 'python3.9'
    return args


def cmake_python(build):
    """The interpreter CMake configured a build folder for, if it says."""
    try:
        with open(os.path.join(build, 'CMakeCache.txt')) as f:
            for line in f:
                if line.startswith('Python3_EXECUTABLE:'):
                    return line.split('=', 1)[1].strip()
    except OSError:
        pass
    return None


def start_server(name, notes):
    if name == 'router':
        return Server('router', [SYSTEM_PYTHON, os.path.join(ROOT, 'sim', 'devices.py'),
                                 '--device', 'router'], 'admin', 'secret')
    if name == 'sshd':
        if os.geteuid() != 0:
            notes.append('sshd skipped: sim/sshd_inetd.py needs root')
            return None
        try:
            pwd.getpwnam('velzartest')
        except KeyError:
            notes.append('sshd skipped: no account velzartest (run scripts/create-test-account.sh)')
            return None
        return Server('sshd', [SYSTEM_PYTHON, os.path.join(ROOT, 'sim', 'sshd_inetd.py')],
                      'velzartest', 'velzar-test-pw')
    raise SystemExit('unknown server %r' % name)


def environment(args):
    def first_line(argv):
        try:
            return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True, timeout=30).stdout.strip().splitlines()[0]
        except (OSError, IndexError, subprocess.SubprocessError):
            return 'unknown'
    cpu = 'unknown'
    try:
        with open('/proc/cpuinfo') as f:
            cpu = next(line.split(':', 1)[1].strip() for line in f if line.startswith('model name'))
    except (OSError, StopIteration):
        pass
    return {'cpu': cpu, 'cores': os.cpu_count(), 'kernel': platform.release(),
            'velzar_python': first_line([args.python, '--version']),
            'system_python': platform.python_version(),
            'libssh2': first_line(['pkg-config', '--modversion', 'libssh2']),
            'sshd': first_line(['/usr/sbin/sshd', '-V']),
            'date': time.strftime('%Y-%m-%d %H:%M:%S')}


def main(argv=None):
    args = parse_args(argv)
    size = sizes(args.quick)
    clients = [c for c in args.clients.split(',') if c]
    only = set(k for k in args.only.split(',') if k)
    for client in clients:
        if client not in CLIENTS:
            raise SystemExit('unknown client %r' % client)
    if 'floor' in clients and not os.access(args.floor, os.X_OK):
        raise SystemExit('velzar_floor not found at %s (build the velzar_floor target, or --floor)' % args.floor)
    runner = Runner(args)
    notes, errors = [], []
    results = {'repeat': args.repeat, 'quick': args.quick, 'sizes': size,
               'labels': {key: label for key, label, _, _ in workloads(size)},
               'environment': environment(args)}
    servers = []
    for name in [s for s in args.servers.split(',') if s]:
        server = start_server(name, notes)
        if server is None:
            continue
        servers.append(server)
        results[name] = {}
    try:
        for rep in range(args.repeat):
            for server in servers:
                for key, label, allowed, measure in workloads(size):
                    if only and key not in only:
                        continue
                    # Memory is the client's own figure: one server is enough.
                    if key == 'memory' and server is not servers[0]:
                        continue
                    for client in clients:
                        if client not in allowed:
                            continue
                        slot = results[server.name].setdefault(key, {}).setdefault(client, [])
                        t0 = time.perf_counter()
                        try:
                            slot.append(measure(runner, client, server))
                        except Exception as error:  # one failure must not sink the whole run
                            slot.append(None)
                            errors.append('%s %s %s rep %d: %s' % (server.name, key, client, rep + 1, error))
                        sys.stderr.write('bench: rep %d/%d %-7s %-11s %-9s %6.1f s\n' % (
                            rep + 1, args.repeat, server.name, key, client, time.perf_counter() - t0))
    finally:
        for server in servers:
            server.stop()

    names = [s.name for s in servers]
    text = report(results, size, names, errors,
                  only or {key for key, _, _, _ in workloads(size)})
    print('velzar benchmark (%s): %s' % ('quick' if args.quick else 'full',
                                         ', '.join('%s=%s' % kv for kv in results['environment'].items())))
    for note in notes:
        print('note: ' + note)
    print(text)
    results['errors'], results['notes'], results['report'] = errors, notes, text
    plot(results, names, args.plot)
    raw = os.path.splitext(args.plot)[0] + '.json'
    with open(raw, 'w') as f:
        json.dump(results, f, indent=1)
    print('\nplot: %s\nraw results: %s' % (args.plot, raw))
    return 1 if errors else 0


if __name__ == '__main__':
    sys.exit(main())
