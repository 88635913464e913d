"""What the benchmark workers share: their command line and their clock."""
import argparse
import resource


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def workload_parser(description, prompt_argument):
    """The command line every worker takes: the server, and one workload
    (connect, echo, output, prompt, devices) with its arguments; a worker adds
    its own options and modes to what this returns (parser, modes)."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument('--port', type=int, required=True)
    parser.add_argument('--user', default='admin')
    parser.add_argument('--password', default='secret')
    modes = parser.add_subparsers(dest='mode', required=True)
    p = modes.add_parser('connect')
    p.add_argument('n', type=int)
    p = modes.add_parser('echo')
    p.add_argument('n', type=int)
    p.add_argument('command')
    p = modes.add_parser('output')
    p.add_argument('command')
    p = modes.add_parser('prompt')
    p.add_argument('command')
    p.add_argument(prompt_argument)
    p = modes.add_parser('devices')
    p.add_argument('m', type=int)
    p.add_argument('k', type=int)
    p.add_argument('command')
    return parser, modes
