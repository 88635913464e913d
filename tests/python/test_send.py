"""Running commands with send(): how a command ends, what comes back, and what goes wrong."""
import re
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from support import ROUTER_PASSWORD, ROUTER_USER, QuietStdout, run_python, start_router
from velzar._velzar_wrapper import PyVelzarClient

PROMPT = r"router#\s*$"


def setUpModule():
    global router, quiet
    quiet = QuietStdout().__enter__()
    router = start_router()


def tearDownModule():
    router.stop()
    quiet.__exit__()


def connected(prompt=PROMPT, command_timeout_ms=5000, read_timeout_ms=3000):
    client = PyVelzarClient("127.0.0.1", ROUTER_USER, ROUTER_PASSWORD, prompt, True, router.port,
                            command_timeout_ms, read_timeout_ms)
    client.connect()
    return client


def milliseconds_in(message, prefix):
    match = re.fullmatch(re.escape(prefix) + r"(\d+)ms", message)
    if not match:
        raise AssertionError("%r does not read %r<n>ms" % (message, prefix))
    return int(match.group(1))


class RouterSession(unittest.TestCase):
    """One connected client for all the tests of a class."""

    @classmethod
    def setUpClass(cls):
        cls.client = connected()

    @classmethod
    def tearDownClass(cls):
        cls.client.disconnect()


class EndConditionsTest(RouterSession):
    def test_outputs(self):
        cases = [  # (command, extra arguments, exact output)
            ("show version", {}, None),  # checked below: ends with the prompt
            ("echo hello world", {}, "hello world\n"),  # end of file, no prompt
            ("prompt-open", {}, "line one\r\nline two\r\nrouter#"),  # prompt, channel held open
            ("prompt-split", {}, "partial output\r\nrouter#"),  # prompt over two reads
            ("slow 300", {}, "late output\r\nrouter#"),  # late first byte within the limits
            ("mixed", {}, "out1\nout2\r\nrouter#"),  # the error stream is not returned
            ("stderr", {}, ""),
            ("exit-now", {}, ""),
            ("cat", {}, ""),  # input ends right after the command starts
            ("nul", {}, "before\x00after\r\nrouter#"),
            ("utf8", {}, "température 25°C ✓\r\nrouter#"),
            ("print-open abc", {"expected_prompt": "b"}, "abc"),
            ("bigout 1000000", {}, None),
        ]
        for command, kwargs, expected in cases:
            with self.subTest(command=command):
                output = self.client.send(command, **kwargs)
                self.assertIs(type(output), str)
                if expected is not None:
                    self.assertEqual(output, expected)
        self.assertTrue(self.client.send("show version").endswith("\r\nrouter#"))
        big = self.client.send("bigout 1000000")
        lines = big.split("\n")
        self.assertEqual(len(big), 1000000)
        self.assertEqual(lines[0][:8], "0000001 ")
        self.assertEqual(lines[-2][:8], "%07d " % (1000000 // 64))
        self.assertIs(self.client.is_connected, True)

    def test_error_stream_flood_ends_at_end_of_file(self):
        start = time.monotonic()
        self.assertEqual(self.client.send("stderr-big 1000000", 60000, 60000), "")
        self.assertLess(time.monotonic() - start, 5)

    def test_prompt_override_and_client_prompt(self):
        client = connected(prompt="zzz")
        self.assertEqual(client.send("prompt-open", expected_prompt=PROMPT), "line one\r\nline two\r\nrouter#")
        with self.assertRaises(RuntimeError) as cm:  # the client's own prompt again
            client.send("prompt-open", read_timeout_ms=300)
        milliseconds_in(str(cm.exception), "No data received for ")
        client.set_prompt(PROMPT)
        self.assertEqual(client.send("prompt-open"), "line one\r\nline two\r\nrouter#")
        client.set_prompt("")  # no prompt test at all: only the limits end it
        with self.assertRaises(RuntimeError) as cm:
            client.send("prompt-open", read_timeout_ms=300)
        self.assertGreaterEqual(milliseconds_in(str(cm.exception), "No data received for "), 300)
        self.assertEqual(client.send("prompt-open", expected_prompt="two"), "line one\r\nline two\r\nrouter#")
        client.disconnect()

    def test_same_call_three_ways(self):
        outputs = {self.client.send("show clock"), self.client.send("show clock", 0, 0, ""),
                   self.client.send(command="show clock", read_timeout_ms=0)}
        self.assertEqual(len(outputs), 1)

    def test_invalid_patterns_are_matched_literally(self):
        client = connected()
        for pattern in ("a[b", "x(y", "z{2", "c\\"):
            with self.subTest(pattern=pattern):
                client.set_prompt(pattern)
                self.assertEqual(client.send("print-open --%s--" % pattern), "--%s--" % pattern)
                with self.assertRaises(RuntimeError):  # the pattern's text is not there
                    client.send("print-open nothing like it", read_timeout_ms=300)
        client.disconnect()


class LimitsTest(RouterSession):
    def test_command_limit(self):
        with self.assertRaises(RuntimeError) as cm:
            self.client.send("drip 100 50", command_timeout_ms=400, read_timeout_ms=2000)
        elapsed = milliseconds_in(str(cm.exception), "Command execution timed out after ")
        self.assertTrue(400 <= elapsed < 600, elapsed)
        self.assertIs(type(cm.exception.__context__), RuntimeError)

    def test_idle_limit(self):
        for command in ("slow 2000", "silent"):
            with self.subTest(command=command):
                start = time.monotonic()
                with self.assertRaises(RuntimeError) as cm:
                    self.client.send(command, command_timeout_ms=5000, read_timeout_ms=300)
                elapsed = milliseconds_in(str(cm.exception), "No data received for ")
                self.assertTrue(300 <= elapsed < 500, elapsed)
                self.assertLess(time.monotonic() - start, 1.5)

    def test_waiting_does_not_burn_the_processor(self):
        # A silent command, and one that goes quiet after its output with the
        # channel held open: the loop must sleep on the socket, not spin.
        for command in ("silent", "prompt-open"):
            with self.subTest(command=command):
                client = connected(prompt="")
                cpu = time.process_time()
                with self.assertRaises(RuntimeError):
                    client.send(command, read_timeout_ms=1000)
                self.assertLess(time.process_time() - cpu, 0.2)
                client.disconnect()

    def test_limit_of_zero(self):
        client = connected(command_timeout_ms=0)
        with self.assertRaises(RuntimeError) as cm:
            client.send("show version")
        self.assertLess(milliseconds_in(str(cm.exception), "Command execution timed out after "), 50)
        self.assertIs(client.is_connected, True)
        self.assertTrue(client.send("show version", command_timeout_ms=3000).endswith("router#"))
        client.disconnect()

    def test_defaults_apply_when_zero_is_passed(self):
        client = connected(command_timeout_ms=5000, read_timeout_ms=5000)
        client.set_read_timeout(250)
        with self.assertRaises(RuntimeError) as cm:
            client.send("silent", 0, 0)
        self.assertGreaterEqual(milliseconds_in(str(cm.exception), "No data received for "), 250)
        client.set_command_timeout(250)
        client.set_read_timeout(5000)
        with self.assertRaises(RuntimeError) as cm:
            client.send("drip 100 20")
        self.assertGreaterEqual(milliseconds_in(str(cm.exception), "Command execution timed out after "), 250)
        client.disconnect()


class InterruptTest(unittest.TestCase):
    def test_interrupt_from_another_thread(self):
        client = connected(command_timeout_ms=20000, read_timeout_ms=20000)
        outcome = {}

        def run():
            start = time.monotonic()
            try:
                client.send("silent")
            except RuntimeError as error:
                outcome["error"] = str(error)
            outcome["ended"] = time.monotonic()

        thread = threading.Thread(target=run)
        thread.start()
        time.sleep(0.5)
        client.interrupt()
        interrupted_at = time.monotonic()
        thread.join(5)
        self.assertEqual(outcome.get("error"), "Operation interrupted by user")
        self.assertLess(outcome["ended"] - interrupted_at, 0.3)
        # An interrupt requested before a command is forgotten when it starts.
        client.interrupt()
        self.assertEqual(client.send("echo after"), "after\n")
        client.disconnect()


class FailuresTest(RouterSession):
    def test_invalid_utf8_output(self):
        with self.assertRaises(RuntimeError) as cm:
            self.client.send("badutf8")
        context = cm.exception.__context__
        self.assertIs(type(context), UnicodeDecodeError)
        self.assertEqual(str(cm.exception), str(context))
        self.assertEqual(context.object, b"bad \xff\xfe bytes\r\nrouter#")

    def test_command_with_nul_is_not_sent(self):
        before = len(router.events("exec"))
        with self.assertRaises(RuntimeError) as cm:
            self.client.send("echo a\x00b")
        self.assertEqual(str(cm.exception), "Command contains a NUL character")
        self.assertEqual(len(router.events("exec")), before)

    def test_refused_exec(self):
        with self.assertRaises(RuntimeError) as cm:
            self.client.send("refuse this")
        self.assertTrue(str(cm.exception).startswith("Failed to execute command 'refuse this': "),
                        str(cm.exception))
        self.assertEqual(self.client.send("echo still here"), "still here\n")

    def test_not_connected(self):
        never = PyVelzarClient("127.0.0.1", port=router.port)
        gone = connected()
        gone.disconnect()
        for name, client in (("never connected", never), ("disconnected", gone)):
            with self.subTest(client=name):
                with self.assertRaises(RuntimeError) as cm:
                    client.send("show version")
                self.assertEqual(str(cm.exception), "Not connected to server")


class ChannelsTest(unittest.TestCase):
    def test_every_channel_is_closed(self):
        device = start_router()  # its own, so no other test's events mix in
        try:
            client = PyVelzarClient("127.0.0.1", ROUTER_USER, ROUTER_PASSWORD, PROMPT, True, device.port)
            client.connect()
            for command in ("echo x", "prompt-open", "prompt-split", "show version"):
                client.send(command)
            for command in ("silent", "slow 2000"):
                with self.assertRaises(RuntimeError):
                    client.send(command, read_timeout_ms=200)
            closed = device.wait_for_event("channel_close", 6)
            self.assertEqual(len(device.events("channel_open")), 6)
            self.assertEqual(len(closed), 6)
            self.assertEqual({event["by"] for event in closed} - {"client", "server"}, set())
            client.disconnect()
        finally:
            device.stop()


class ThreadsTest(unittest.TestCase):
    def test_thread_pool_drives_devices_in_parallel(self):
        clients = [connected() for _ in range(8)]
        start = time.monotonic()
        with ThreadPoolExecutor(len(clients)) as pool:
            outputs = list(pool.map(lambda c: c.send("slow 500"), clients))
        elapsed = time.monotonic() - start
        self.assertEqual(outputs, ["late output\r\nrouter#"] * len(clients))
        self.assertLess(elapsed, 2.5, "commands ran one after the other")
        for client in clients:
            client.disconnect()

    def test_calls_on_one_client_serialise(self):
        client = connected()
        results = []
        threads = [threading.Thread(target=lambda i=i: results.append(client.send("echo %d" % i)))
                   for i in range(20)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(sorted(results), sorted("%d\n" % i for i in range(20)))
        # set_prompt waits for a running command instead of changing its prompt.
        runner = threading.Thread(target=lambda: results.append(client.send("prompt-split")))
        runner.start()
        time.sleep(0.1)
        client.set_prompt("never")
        runner.join()
        self.assertEqual(results[-1], "partial output\r\nrouter#")
        client.disconnect()


class RobustnessTest(unittest.TestCase):
    def test_long_line_with_greedy_prompt_in_child(self):
        result = run_python("""
            from velzar._velzar_wrapper import PyVelzarClient
            c = PyVelzarClient("127.0.0.1", "admin", "secret", "", True, %d, 60000, 20000)
            c.connect()
            out = c.send("longline 1000000", expected_prompt=r".*#\\s*$")
            print("length", len(out), out.endswith("x#"))
            c.disconnect()
        """ % router.port, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("length 1000001 True", result.stdout)

    def test_memory_stays_flat_over_many_commands(self):
        client = connected()

        def rss_kb():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])

        for _ in range(500):
            client.send("echo warm")
        before = rss_kb()
        for i in range(10000):
            client.send("echo %d" % i)
        growth = rss_kb() - before
        self.assertLess(growth, 2048, "RSS grew by %d KiB over 10,000 commands" % growth)
        client.disconnect()


if __name__ == "__main__":
    unittest.main()
