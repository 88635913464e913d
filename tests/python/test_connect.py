"""Connecting, authenticating and disconnecting against real SSH servers on loopback."""
import os
import socket
import threading
import time
import unittest

from support import (ROUTER_PASSWORD, ROUTER_USER, TEST_PASSWORD, TEST_USER, QuietStdout, Server,
                     open_descriptors, run_python, sshd_unavailable, start_router, start_sshd, start_tl1)
from velzar._velzar_wrapper import PyVelzarClient

IP = "127.0.0.1"


def router_client(port, password=ROUTER_PASSWORD, **kwargs):
    return PyVelzarClient(IP, ROUTER_USER, password, "router#", True, port, **kwargs)


def free_port():
    with socket.socket() as probe:
        probe.bind((IP, 0))
        return probe.getsockname()[1]


def setUpModule():
    global router, tl1, quiet
    quiet = QuietStdout().__enter__()
    router = start_router()
    tl1 = start_tl1()


def tearDownModule():
    router.stop()
    tl1.stop()
    quiet.__exit__()


class ConnectTest(unittest.TestCase):
    def test_router_with_password(self):
        client = router_client(router.port)
        self.assertIs(client.connect(), True)
        self.assertIs(client.is_connected, True)
        self.assertIs(client.connect(), True)  # already connected: nothing happens
        self.assertIsNone(client.disconnect())
        self.assertIs(client.is_connected, False)
        self.assertIsNone(client.disconnect())
        self.assertIs(client.is_connected, False)

    def test_tl1_element_without_authentication(self):
        before = len(tl1.events("auth"))
        client = PyVelzarClient(IP, port=tl1.port)
        self.assertIs(client.connect(), True)
        self.assertIs(client.is_connected, True)
        client.disconnect()
        self.assertEqual(len(tl1.events("auth")), before, "no user authentication request was sent")

    def test_wrong_password(self):
        client = router_client(router.port, password="not-the-password")
        descriptors = open_descriptors()
        for attempt in range(2):
            with self.subTest(attempt=attempt):
                with self.assertRaises(RuntimeError) as cm:
                    client.connect()
                message = str(cm.exception)
                self.assertTrue(message.startswith("Authentication failed: "), message)
                context = cm.exception.__context__
                self.assertIs(type(context), RuntimeError)
                self.assertEqual(str(context), message)
                self.assertIs(client.is_connected, False)
                self.assertEqual(open_descriptors(), descriptors, "the socket was closed")

    def test_password_is_sent_whole(self):
        # A NUL inside the password must not shorten it to the real one.
        client = router_client(router.port, password=ROUTER_PASSWORD + "\x00extra")
        with self.assertRaises(RuntimeError) as cm:
            client.connect()
        self.assertTrue(str(cm.exception).startswith("Authentication failed: "))

    def test_authentication_only_when_asked_for(self):
        cases = [  # (auth, username, authenticates)
            (True, ROUTER_USER, True),
            ("no", ROUTER_USER, True),  # a non-empty str is true
            (True, "", False),
            (False, ROUTER_USER, False),
            (None, ROUTER_USER, False),
        ]
        for auth, username, authenticates in cases:
            with self.subTest(auth=auth, username=username):
                before = len(router.events("auth"))
                client = PyVelzarClient(IP, username, ROUTER_PASSWORD, "router#", auth, router.port)
                if authenticates:
                    self.assertIs(client.connect(), True)
                    client.disconnect()
                    self.assertGreater(len(router.events("auth")), before)
                else:
                    # The router serves nothing without a login, but the
                    # handshake succeeds and no authentication is attempted.
                    self.assertIs(client.connect(), True)
                    client.disconnect()
                    self.assertEqual(len(router.events("auth")), before)

    def test_refused_port(self):
        client = router_client(free_port())
        with self.assertRaises(RuntimeError) as cm:
            client.connect()
        self.assertEqual(str(cm.exception), "Failed to connect to server: Connection refused")
        self.assertIs(client.is_connected, False)

    def test_reconnect_after_disconnect_and_after_failure(self):
        client = router_client(router.port)
        for _ in range(3):
            self.assertIs(client.connect(), True)
            client.disconnect()
        # A handshake that fails leaves a session the next attempt must not reuse.
        port = free_port()
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((IP, port))
        listener.listen(4)
        closer = threading.Thread(target=lambda: listener.accept()[0].close())
        closer.start()
        client = router_client(port)
        with self.assertRaises(RuntimeError) as cm:
            client.connect()
        self.assertTrue(str(cm.exception).startswith("SSH handshake failed: "), str(cm.exception))
        closer.join()
        listener.close()
        device = start_router("--port", str(port))
        try:
            self.assertIs(client.connect(), True)
            self.assertIs(client.is_connected, True)
            client.disconnect()
        finally:
            device.stop()

    def test_disconnect_message_when_dropped_or_disconnected(self):
        device = start_router()  # its own, so no other test's events mix in
        try:
            for count, how in enumerate(("disconnect", "drop"), 1):
                with self.subTest(how=how):
                    client = router_client(device.port)
                    client.connect()
                    if how == "disconnect":
                        client.disconnect()
                    del client
                    found = device.wait_for_event("disconnect", count)
                    self.assertEqual(len(found), count)
                    self.assertEqual((found[-1]["code"], found[-1]["reason"]), (11, "Normal Shutdown"))
        finally:
            device.stop()

    def test_cycles_leave_no_descriptor_behind(self):
        client = router_client(router.port)
        client.connect()
        client.disconnect()
        descriptors = open_descriptors()
        for _ in range(200):
            client.connect()
            client.disconnect()
        self.assertEqual(open_descriptors(), descriptors)
        for _ in range(20):
            router_client(router.port).connect()  # dropped while connected
        self.assertEqual(open_descriptors(), descriptors)

    def test_interrupt_flag_in_every_state(self):
        client = router_client(router.port)
        for step in (None, client.connect, client.disconnect):
            if step:
                step()
            self.assertIsNone(client.interrupt())
            self.assertIsNone(client.clear_interrupt())


class ProgressLinesTest(unittest.TestCase):
    """The lines connect() writes to descriptor 1, seen from a child process."""

    def run_connect(self, setup, calls=1):
        code = "from velzar._velzar_wrapper import PyVelzarClient\n" + setup + "\n"
        code += "print('result', c.connect())\n" * calls
        result = run_python(code)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.splitlines()

    def test_lines(self):
        r, t = router.port, tl1.port
        cases = [
            ("router", "c = PyVelzarClient('127.0.0.1', 'admin', 'secret', '#', True, %d)" % r, 1,
             ["Attempting to connect to 127.0.0.1:%d" % r,
              "TCP connection established, starting SSH handshake...",
              "Starting authentication...", "result True"]),
            ("tl1", "c = PyVelzarClient('127.0.0.1', port=%d)" % t, 1,
             ["Attempting to connect to 127.0.0.1:%d" % t,
              "TCP connection established, starting SSH handshake...", "result True"]),
            ("twice", "c = PyVelzarClient('127.0.0.1', port=%d)" % t, 2,
             ["Attempting to connect to 127.0.0.1:%d" % t,
              "TCP connection established, starting SSH handshake...", "result True", "result True"]),
            ("port above 65535", "c = PyVelzarClient('127.0.0.1', port=%d)" % (t + 65536), 1,
             ["Attempting to connect to 127.0.0.1:%d" % (t + 65536),
              "TCP connection established, starting SSH handshake...", "result True"]),
        ]
        for name, setup, calls, expected in cases:
            with self.subTest(case=name):
                self.assertEqual(self.run_connect(setup, calls), expected)


class BoundedConnectTest(unittest.TestCase):
    def test_silent_server_fails_after_ten_seconds_while_threads_run(self):
        listener = socket.socket()
        listener.bind((IP, 0))
        listener.listen(4)  # the kernel completes the TCP handshake; nobody ever speaks
        client = PyVelzarClient(IP, port=listener.getsockname()[1])
        ticks = []
        stop = threading.Event()

        def ticker():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.01)

        thread = threading.Thread(target=ticker)
        thread.start()
        start = time.monotonic()
        try:
            with self.assertRaises(RuntimeError) as cm:
                client.connect()
        finally:
            elapsed = time.monotonic() - start
            stop.set()
            thread.join()
            listener.close()
        self.assertEqual(str(cm.exception), "SSH handshake failed: Timed out waiting for the server")
        self.assertTrue(9.5 <= elapsed < 20, elapsed)
        self.assertGreater(len(ticks), 100, "other threads ran while connect waited")
        self.assertIs(client.is_connected, False)


class ThreadsTest(unittest.TestCase):
    def test_calls_from_several_threads_serialise(self):
        slow = start_router("--variant", "slow-auth")
        try:
            client = router_client(slow.port)
            results = []
            connecting = threading.Thread(target=lambda: results.append(client.connect()))
            connecting.start()
            slow.wait_for_event("connect")
            # is_connected waits for the client's mutex, with the interpreter lock released.
            start = time.monotonic()
            observed = client.is_connected
            waited = time.monotonic() - start
            connecting.join()
            self.assertEqual(results, [True])
            self.assertIs(observed, True)
            self.assertGreater(waited, 1.0)
            client.disconnect()
        finally:
            slow.stop()

    def test_many_threads_many_clients(self):
        errors = []

        def work():
            try:
                for _ in range(5):
                    client = router_client(router.port)
                    client.connect()
                    client.set_read_timeout(100)
                    client.disconnect()
            except Exception as error:  # pragma: no cover - reported below
                errors.append(error)

        threads = [threading.Thread(target=work) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(errors, [])


class HighDescriptorTest(unittest.TestCase):
    def test_connect_with_descriptors_above_1024(self):
        result = run_python("""
            import os, resource
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(4096, hard), hard))
            held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
            from velzar._velzar_wrapper import PyVelzarClient
            c = PyVelzarClient("127.0.0.1", "admin", "secret", "router#", True, %d)
            print("lowest free descriptor", os.dup(0))
            print("connected", c.connect())
            c.disconnect()
        """ % router.port)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        lowest = [line for line in lines if line.startswith("lowest free descriptor")]
        self.assertGreater(int(lowest[0].split()[-1]), 1024)
        self.assertEqual(lines[-1], "connected True")


@unittest.skipIf(sshd_unavailable(), sshd_unavailable() or "")
class OpenSshTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sshd = start_sshd()

    @classmethod
    def tearDownClass(cls):
        cls.sshd.stop()

    def test_connect_and_disconnect(self):
        client = PyVelzarClient(IP, TEST_USER, TEST_PASSWORD, r"\$ $", True, self.sshd.port)
        self.assertIs(client.connect(), True)
        self.assertIs(client.is_connected, True)
        client.disconnect()
        self.assertIs(client.is_connected, False)
        self.assertIs(client.connect(), True)
        client.disconnect()

    def test_wrong_password(self):
        client = PyVelzarClient(IP, TEST_USER, "wrong", "", True, self.sshd.port)
        with self.assertRaises(RuntimeError) as cm:
            client.connect()
        self.assertTrue(str(cm.exception).startswith("Authentication failed: "), str(cm.exception))
        self.assertIs(client.is_connected, False)


if __name__ == "__main__":
    unittest.main()
