"""Shared fixtures of the module's test suites: child interpreters and, later, devices."""
import os
import subprocess
import sys
import textwrap

BUILD_DIR = os.environ.get("VELZAR_BUILD_DIR", "")
CLAIMED_DIR = os.environ.get("VELZAR_CLAIMED_DIR", "")
FAULT_LIB = os.environ.get("VELZAR_FAULT_LIB", "")


def run_python(code, env=None, pythonpath=None, timeout=120):
    """Runs `code` in a child of the interpreter under test, so that a crash
    fails one test instead of the whole suite. Returns the CompletedProcess
    (text mode, stdout and stderr captured)."""
    child_env = dict(os.environ)
    if pythonpath is not None:
        child_env["PYTHONPATH"] = pythonpath
    child_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout)

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM_PYTHON = os.environ.get("VELZAR_SIM_PYTHON", "/usr/bin/python3")
TEST_USER = "velzartest"
TEST_PASSWORD = "velzar-test-pw"
ROUTER_USER = "admin"
ROUTER_PASSWORD = "secret"


class Server:
    """A test server in a process of its own on 127.0.0.1 and an ephemeral
    port: a simulated device (sim/devices.py) or OpenSSH's sshd
    (sim/sshd_inetd.py). It stops when stop() is called, and by itself if the
    test process dies (its stdin closes)."""

    def __init__(self, script, args, events=True, startup_timeout=30):
        import json
        import select
        import tempfile
        self._json = json
        self.events_path = tempfile.mktemp(prefix="velzar-events-", suffix=".jsonl")
        self.process = subprocess.Popen(
            [SIM_PYTHON, os.path.join(REPO, "sim", script)] + list(args)
            + (["--events", self.events_path] if events else []),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], startup_timeout)
        line = self.process.stdout.readline().decode() if ready else ""
        if not line.startswith("READY "):
            self.stop()
            raise RuntimeError("%s did not start: %r %s" % (script, line, self.process.stderr.read().decode()))
        self.port = int(line.split()[1])

    def events(self, name=None):
        """The server's event records so far, optionally only those named `name`."""
        try:
            with open(self.events_path) as stream:
                records = [self._json.loads(line) for line in stream if line.strip()]
        except FileNotFoundError:
            records = []
        return [r for r in records if name is None or r.get("event") == name]

    def wait_for_event(self, name, count=1, timeout=10.0):
        """Waits until the server has recorded `count` events named `name`."""
        import time
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.events(name)
            if len(found) >= count:
                return found
            time.sleep(0.02)
        return self.events(name)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream:
                stream.close()
        try:
            os.unlink(self.events_path)
        except OSError:
            pass


def start_router(*args):
    return Server("devices.py", ["--device", "router"] + list(args))


def start_tl1(*args):
    return Server("devices.py", ["--device", "tl1"] + list(args))


def sshd_unavailable():
    """Why the OpenSSH fixture cannot run here, or None when it can."""
    import pwd
    if os.geteuid() != 0:
        return "sshd -i needs root"
    if not os.path.exists("/usr/sbin/sshd"):
        return "openssh-server is not installed"
    try:
        pwd.getpwnam(TEST_USER)
    except KeyError:
        return "the test account %s does not exist (scripts/create-test-account.sh)" % TEST_USER
    return None


def start_sshd():
    return Server("sshd_inetd.py", ["--user", TEST_USER], events=False)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


class QuietStdout:
    """Sends descriptor 1 to /dev/null while active: the client writes its
    progress lines there, and a suite that connects hundreds of times would
    drown the test report."""

    def __enter__(self):
        sys.stdout.flush()
        self._saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
        return self

    def __exit__(self, *exc):
        os.dup2(self._saved, 1)
        os.close(self._saved)
