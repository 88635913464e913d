"""Creation, re-initialisation and deallocation, and how core errors reach Python.

Every case runs in a child interpreter: a fault here would crash the
interpreter, and then it fails one test instead of the whole suite.
"""
import os
import unittest

from support import FAULT_LIB, run_python



class LifecycleTest(unittest.TestCase):
    def run_ok(self, code, **kwargs):
        result = run_python(code, **kwargs)
        self.assertEqual(result.returncode, 0, "child failed:\n" + result.stderr)
        return result.stdout.splitlines()

    def test_instance_without_init_refuses_every_member(self):
        lines = self.run_ok("""
            from velzar._velzar_wrapper import PyVelzarClient
            calls = {
                "connect": lambda c: c.connect(), "disconnect": lambda c: c.disconnect(),
                "send": lambda c: c.send("x"), "get_initial_output": lambda c: c.get_initial_output(),
                "set_prompt": lambda c: c.set_prompt("#"), "interrupt": lambda c: c.interrupt(),
                "clear_interrupt": lambda c: c.clear_interrupt(),
                "set_command_timeout": lambda c: c.set_command_timeout(1),
                "set_read_timeout": lambda c: c.set_read_timeout(1), "is_connected": lambda c: c.is_connected,
                "command_timeout": lambda c: c.command_timeout, "read_timeout": lambda c: c.read_timeout,
            }
            bare = PyVelzarClient.__new__(PyVelzarClient, "ignored", port=1)
            for name, call in calls.items():
                try:
                    call(bare)
                    print(name, "no error")
                except RuntimeError as error:
                    print(name, "RuntimeError", "not initialised" in str(error))
            del bare
            PyVelzarClient.__new__(PyVelzarClient)  # dropped at once
            print("freed")
        """)
        self.assertEqual(lines[-1], "freed")
        for line in lines[:-1]:
            with self.subTest(line=line):
                self.assertTrue(line.endswith("RuntimeError True"), line)

    def test_failed_first_init_leaves_instance_uninitialised(self):
        lines = self.run_ok("""
            from velzar._velzar_wrapper import PyVelzarClient
            client = PyVelzarClient.__new__(PyVelzarClient)
            for bad in ({"ip": b"x"}, {"ip": "x", "port": "22"}, {"ip": None}):
                try:
                    client.__init__(**bad)
                except Exception as error:
                    print(type(error).__name__)
            try:
                client.read_timeout
            except RuntimeError:
                print("still uninitialised")
        """)
        self.assertEqual(lines, ["TypeError", "TypeError", "AttributeError", "still uninitialised"])

    def test_second_init_replaces_client_and_failed_one_keeps_it(self):
        lines = self.run_ok("""
            from velzar._velzar_wrapper import PyVelzarClient
            client = PyVelzarClient("127.0.0.1", command_timeout_ms=100)
            client.__init__("127.0.0.1", command_timeout_ms=200, read_timeout_ms=300)
            print(client.command_timeout, client.read_timeout)
            for bad in ({"ip": "x", "read_timeout_ms": -1}, {"ip": "x", "password": "\\ud800"}):
                try:
                    client.__init__(**bad)
                except Exception as error:
                    print(type(error).__name__, client.command_timeout, client.read_timeout)
            for _ in range(200):
                client.__init__("127.0.0.1")
            print(client.command_timeout)
        """)
        self.assertEqual(lines, ["200 300", "OverflowError 200 300", "UnicodeEncodeError 200 300", "2000"])

    def test_deallocation_keeps_a_pending_exception(self):
        # The temporary client is dropped while int()'s TypeError is pending.
        lines = self.run_ok("""
            from velzar._velzar_wrapper import PyVelzarClient
            for _ in range(3):
                try:
                    int(PyVelzarClient("127.0.0.1"))
                except TypeError as error:
                    print("TypeError", "PyVelzarClient" in str(error))
        """)
        self.assertEqual(lines, ["TypeError True"] * 3)

    def test_many_clients_created_and_dropped_in_threads(self):
        lines = self.run_ok("""
            import threading
            from velzar._velzar_wrapper import PyVelzarClient
            def work():
                for i in range(300):
                    c = PyVelzarClient("127.0.0.1", command_timeout_ms=i)
                    assert c.command_timeout == i
                    c.disconnect()
            threads = [threading.Thread(target=work) for _ in range(8)]
            for t in threads: t.start()
            for t in threads: t.join()
            print("done")
        """)
        self.assertEqual(lines, ["done"])

    def test_creation_prints_nothing(self):
        result = run_python("""
            from velzar._velzar_wrapper import PyVelzarClient
            c = PyVelzarClient("127.0.0.1", "u", "p", "#", True, 22)
            c.disconnect()
            del c
        """)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))


@unittest.skipUnless(FAULT_LIB and os.path.exists(FAULT_LIB), "fault injection library not built")
class ErrorRuleTest(unittest.TestCase):
    """Core errors in __init__, made by a preloaded libssh2 shim, by the error rule."""

    def init_error(self, fault, message="injected"):
        result = run_python("""
            from velzar._velzar_wrapper import PyVelzarClient
            client = PyVelzarClient.__new__(PyVelzarClient)
            try:
                client.__init__("127.0.0.1")
                print("no error")
            except BaseException as error:
                print(type(error).__name__)
                print(repr(error.args))
                print(error.__context__ is None and error.__cause__ is None)
            try:
                client.command_timeout
            except RuntimeError:
                print("uninitialised")
        """, env={"LD_PRELOAD": FAULT_LIB, "VELZAR_FAULT": fault, "VELZAR_FAULT_MESSAGE": message})
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[2:], ["True", "uninitialised"])
        return lines[0], lines[1]

    def test_table(self):
        cases = [
            ("null", "RuntimeError", "('Failed to create SSH session',)"),
            ("init:-1", "RuntimeError", "('Failed to initialize libssh2: -1',)"),
            ("throw:bad_alloc", "MemoryError", "('std::bad_alloc',)"),
            ("throw:bad_cast", "TypeError", "('std::bad_cast',)"),
            ("throw:bad_typeid", "TypeError", "('std::bad_typeid',)"),
            ("throw:domain_error", "ValueError", "('injected',)"),
            ("throw:invalid_argument", "ValueError", "('injected',)"),
            ("throw:ios_failure", "OSError", None),
            ("throw:out_of_range", "IndexError", "('injected',)"),
            ("throw:overflow_error", "OverflowError", "('injected',)"),
            ("throw:range_error", "ArithmeticError", "('injected',)"),
            ("throw:underflow_error", "ArithmeticError", "('injected',)"),
            ("throw:runtime_error", "RuntimeError", "('injected',)"),
            ("throw:logic_error", "RuntimeError", "('injected',)"),
            ("throw:system_error", "RuntimeError", "('Resource deadlock avoided',)"),
            ("throw:int", "RuntimeError", "('Unknown exception',)"),
        ]
        for fault, error_type, args in cases:
            with self.subTest(fault=fault):
                got_type, got_args = self.init_error(fault)
                self.assertEqual(got_type, error_type)
                if args is not None:
                    self.assertEqual(got_args, args)

    def test_ios_failure_keeps_its_text(self):
        got_type, got_args = self.init_error("throw:ios_failure", "stream broke")
        self.assertEqual(got_type, "OSError")
        self.assertTrue(got_args.startswith("('stream broke"), got_args)

    def test_message_that_is_not_utf8_gives_no_arguments(self):
        env_message = os.fsdecode(b"bad \xff text")
        self.assertEqual(self.init_error("throw:runtime_error", env_message), ("RuntimeError", "()"))


if __name__ == "__main__":
    unittest.main()
