"""get_initial_output(): what a TL1 element prints on a new shell, and learning its prompt."""
import time
import unittest

from support import QuietStdout, start_router, start_tl1
from velzar._velzar_wrapper import PyVelzarClient

BANNER = "\r\n\r\n   VELZAR SIMULATED NETWORK ELEMENT\r\n   TL1 ENGINE READY\r\n\r\n<"
PREFIX = "Failed to capture initial output: "


def setUpModule():
    global quiet, elements
    quiet = QuietStdout().__enter__()
    elements = {}


def tearDownModule():
    for element in elements.values():
        element.stop()
    quiet.__exit__()


def element(variant=""):
    """One running element per variant, started on first use."""
    if variant not in elements:
        elements[variant] = start_tl1("--variant", variant) if variant else start_tl1()
    return elements[variant]


def connected(variant="", **kwargs):
    client = PyVelzarClient("127.0.0.1", port=element(variant).port, **kwargs)
    client.connect()
    return client


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


class CaptureTest(unittest.TestCase):
    def test_whole_period_is_collected(self):
        for variant, period in (("", 800), ("late-banner", 1200), ("close-early", 800)):
            with self.subTest(variant=variant):
                client = connected(variant)
                output, elapsed = timed(lambda: client.get_initial_output(period))
                self.assertEqual(output, BANNER)
                self.assertTrue(period / 1000 <= elapsed < period / 1000 + 0.5, elapsed)
                client.disconnect()

    def test_zero_means_the_read_default(self):
        client = connected(command_timeout_ms=5000, read_timeout_ms=600)
        for call in (client.get_initial_output, lambda: client.get_initial_output(0),
                     lambda: client.get_initial_output(timeout_ms=0)):
            output, elapsed = timed(call)
            self.assertEqual(output, BANNER)
            self.assertTrue(0.6 <= elapsed < 1.1, elapsed)
        client.set_read_timeout(0)
        output, elapsed = timed(client.get_initial_output)
        self.assertEqual(output, "")
        self.assertLess(elapsed, 0.5)
        client.disconnect()

    def test_two_shells_with_or_without_pseudo_terminal(self):
        tl1 = element()
        for use_pty in (True, False):
            with self.subTest(use_pty=use_pty):
                before = {name: len(tl1.events(name)) for name in ("pty", "shell")}
                client = connected(terminal_type="xterm", use_pty=use_pty)
                client.get_initial_output(300)
                client.disconnect()
                new_ptys = tl1.events("pty")[before["pty"]:]
                self.assertEqual(len(tl1.events("shell")) - before["shell"], 2)
                if use_pty:
                    self.assertEqual([(p["term"], p["width"], p["height"]) for p in new_ptys],
                                     [("xterm", 80, 24)] * 2)
                else:
                    self.assertEqual(new_ptys, [])

    def test_refusals(self):
        cases = [  # (variant, use_pty, message after the prefix(es))
            ("no-pty", True, PREFIX + "Failed to request PTY: "),
            ("no-shell", True, PREFIX + "Failed to request shell: "),
            ("second-pty-refused", True, PREFIX + PREFIX + "Failed to request PTY: "),
            ("second-shell-refused", False, PREFIX + PREFIX + "Failed to request shell: "),
        ]
        for variant, use_pty, start in cases:
            with self.subTest(variant=variant):
                client = connected(variant, use_pty=use_pty)
                with self.assertRaises(RuntimeError) as cm:
                    client.get_initial_output(300)
                self.assertTrue(str(cm.exception).startswith(start), str(cm.exception))
                self.assertGreater(len(str(cm.exception)), len(start), "the library's message follows")
                self.assertIs(client.is_connected, True)
                client.disconnect()
        client = connected("no-pty", use_pty=False)
        self.assertEqual(client.get_initial_output(300), BANNER)
        client.disconnect()

    def test_not_connected(self):
        never = PyVelzarClient("127.0.0.1", port=element().port)
        gone = connected()
        gone.disconnect()
        for name, client in (("never connected", never), ("disconnected", gone)):
            with self.subTest(client=name):
                with self.assertRaises(RuntimeError) as cm:
                    client.get_initial_output(100)
                self.assertEqual(str(cm.exception), PREFIX + "Not connected to server")

    def test_interrupt_changes_nothing(self):
        client = connected()
        client.interrupt()
        output, elapsed = timed(lambda: client.get_initial_output(500))
        self.assertEqual(output, BANNER)
        self.assertGreaterEqual(elapsed, 0.5)
        client.disconnect()

    def test_learn_prompt_then_send(self):
        client = connected()
        first = client.get_initial_output(500)
        prompt = first.strip()[-1]
        self.assertEqual(prompt, "<")
        client.set_prompt(prompt + "$")
        output = client.send("RTRV-HDR:::100;")
        self.assertIn("M  100 COMPLD", output)
        self.assertTrue(output.endswith(";\r\n<"))
        self.assertEqual(client.send("prompt-open"), "line one\r\nline two\r\n<")
        client.disconnect()

    def test_router_shell(self):
        router = start_router()
        try:
            client = PyVelzarClient("127.0.0.1", "admin", "secret", "#", True, router.port)
            client.connect()
            self.assertEqual(client.get_initial_output(300), "router#")
            client.disconnect()
        finally:
            router.stop()


if __name__ == "__main__":
    unittest.main()
