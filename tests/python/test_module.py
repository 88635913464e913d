"""Importing velzar._velzar_wrapper: one module per process, and the build's version check."""
import importlib
import sys
import unittest

import velzar._velzar_wrapper as wrapper
from support import CLAIMED_DIR, run_python

MODULE = "velzar._velzar_wrapper"


class ImportTest(unittest.TestCase):
    def test_module_attributes(self):
        self.assertIsNone(wrapper.__doc__)
        self.assertEqual(wrapper.__name__, MODULE)
        self.assertEqual(wrapper.__package__, "velzar")
        self.assertTrue(wrapper.__file__.endswith(".so"))
        self.assertFalse(hasattr(wrapper, "__path__"))
        public = sorted(name for name in vars(wrapper) if not name.startswith("__"))
        self.assertEqual(public, ["PyVelzarClient"])

    def test_reimport_gives_same_module_and_type(self):
        client_type = wrapper.PyVelzarClient
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                del sys.modules[MODULE]
                again = importlib.import_module(MODULE)
                self.assertIs(again, wrapper)
                self.assertIs(again.PyVelzarClient, client_type)
                client = again.PyVelzarClient("127.0.0.1")
                self.assertEqual(client.command_timeout, 2000)

    def test_second_interpreter_is_refused(self):
        result = run_python("""
            import _testcapi
            import velzar._velzar_wrapper
            status = _testcapi.run_in_subinterp("import velzar._velzar_wrapper")
            print("status", status)
        """)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("status -1", result.stdout)
        self.assertIn("ImportError: Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.", result.stderr)


class VersionCheckTest(unittest.TestCase):
    """A build claiming another major.minor warns at import and still works."""

    def expected_message(self):
        major, minor = sys.version_info[:2]
        return ("compile time Python version %d.%d of module '%s' does not match runtime version %d.%d"
                % (major, minor + 1, MODULE, major, minor))

    def test_mismatch_warns_and_imports(self):
        result = run_python("""
            import warnings
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import velzar._velzar_wrapper as w
            for warning in caught:
                print(warning.category.__name__, "|", warning.message)
            print("timeout", w.PyVelzarClient("127.0.0.1").command_timeout)
        """, pythonpath=CLAIMED_DIR)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(),
                         ["RuntimeWarning | " + self.expected_message(), "timeout 2000"])

    def test_warning_as_error_fails_import_then_retry_works(self):
        result = run_python("""
            import sys, warnings
            warnings.simplefilter("error", RuntimeWarning)
            try:
                import velzar._velzar_wrapper
            except RuntimeWarning as error:
                print("failed:", error)
            print("loaded:", "velzar._velzar_wrapper" in sys.modules)
            warnings.simplefilter("ignore", RuntimeWarning)
            import velzar._velzar_wrapper as w
            print("retry:", w.PyVelzarClient("127.0.0.1").read_timeout)
        """, pythonpath=CLAIMED_DIR)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(),
                         ["failed: " + self.expected_message(), "loaded: False", "retry: 2000"])

    def test_matching_build_does_not_warn(self):
        result = run_python("""
            import warnings
            warnings.simplefilter("error")
            import velzar._velzar_wrapper
            print("ok")
        """)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), "ok")


if __name__ == "__main__":
    unittest.main()
