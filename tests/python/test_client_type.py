"""The PyVelzarClient type: its shape, docstrings, introspection, pickling and subclassing."""
import copy
import gc
import inspect
import pickle
import unittest
import weakref

from velzar._velzar_wrapper import PyVelzarClient

INIT_DOC = (
    "\n        Initialize SSH client\n        \n        For regular SSH connections:\n"
    "            - Provide username, password, and set auth=True\n"
    "            - prompt can be a string or regex pattern\n        \n        For TL1 devices:\n"
    "            - Leave username and password empty\n            - Set auth=False (default)\n"
    "            - Leave prompt empty initially\n"
    "            - Use get_initial_output() after connect() to capture device prompt\n            \n"
    "        Parameters:\n            terminal_type: Terminal type for PTY (vt100, xterm, etc.)\n"
    "            use_pty: Whether to request PTY (set to False for some Cisco devices)\n        ")

SEND_DOC = (
    "\n        Send a command to the SSH server\n        \n        Parameters:\n"
    "            command: Command to send\n"
    "            command_timeout_ms: Overall command timeout (0 = use default)\n"
    "            read_timeout_ms: Read operation timeout (0 = use default)\n"
    "            expected_prompt: Optional prompt override for this command\n        ")

GET_INITIAL_OUTPUT_DOC = (
    "\n        Get initial output from device after connection.\n"
    "        Useful for TL1 devices to determine the initial prompt or login requirements.\n        \n"
    "        Args:\n            timeout_ms: Optional timeout in milliseconds (0 = use default read timeout)\n"
    "        \n        Returns:\n            str: Initial device output\n        ")

SET_PROMPT_DOC = (
    "\n        Update the expected prompt pattern at runtime.\n"
    "        Useful for TL1 devices where the prompt might change during the session.\n        \n"
    "        Args:\n            new_prompt: New prompt string or regex pattern\n        ")

# name -> (docstring, signature as inspect shows it for the function taken from the type)
METHODS = {
    "connect": ("Connect to the SSH server", "(self)"),
    "send": (SEND_DOC, "(self, command, command_timeout_ms=0, read_timeout_ms=0, expected_prompt='')"),
    "disconnect": ("Disconnect from the SSH server", "(self)"),
    "set_command_timeout": ("Set the default command timeout in milliseconds", "(self, timeout_ms)"),
    "set_read_timeout": ("Set the default read timeout in milliseconds", "(self, timeout_ms)"),
    "interrupt": ("Interrupt any ongoing operation", "(self)"),
    "clear_interrupt": ("Clear the interrupt flag", "(self)"),
    "get_initial_output": (GET_INITIAL_OUTPUT_DOC, "(self, timeout_ms=0)"),
    "set_prompt": (SET_PROMPT_DOC, "(self, new_prompt)"),
}

PROPERTIES = {
    "is_connected": "Check if connected to the SSH server",
    "command_timeout": "Get the current default command timeout in milliseconds",
    "read_timeout": "Get the current default read timeout in milliseconds",
}

PICKLING_MESSAGE = "self._client cannot be converted to a Python object for pickling"


class TypeShapeTest(unittest.TestCase):
    def test_names_and_docstrings(self):
        self.assertEqual(PyVelzarClient.__module__, "velzar._velzar_wrapper")
        self.assertEqual(PyVelzarClient.__name__, "PyVelzarClient")
        self.assertEqual(PyVelzarClient.__qualname__, "PyVelzarClient")
        self.assertIsNone(PyVelzarClient.__doc__)
        self.assertEqual(PyVelzarClient.__init__.__doc__, INIT_DOC)
        self.assertEqual(len(PyVelzarClient.__init__.__doc__), 628)

    def test_methods_look_like_python_functions(self):
        client = PyVelzarClient("127.0.0.1")
        for name, (doc, signature) in METHODS.items():
            with self.subTest(method=name):
                method = getattr(PyVelzarClient, name)
                self.assertEqual(method.__name__, name)
                self.assertEqual(method.__qualname__, "PyVelzarClient." + name)
                self.assertEqual(method.__module__, "velzar._velzar_wrapper")
                self.assertEqual(method.__doc__, doc)
                self.assertEqual(str(inspect.signature(method)), signature)
                kinds = {p.kind for p in inspect.signature(method).parameters.values()}
                self.assertEqual(kinds, {inspect.Parameter.POSITIONAL_OR_KEYWORD})
                bound = getattr(client, name)
                self.assertEqual(bound.__doc__, doc)
                self.assertEqual(str(inspect.signature(bound)), signature.replace("self, ", "").replace("self", ""))

    def test_pickling_methods_carry_no_docstring(self):
        for name in ("__reduce__", "__setstate__"):
            with self.subTest(method=name):
                self.assertIsNone(getattr(PyVelzarClient, name).__doc__)

    def test_properties_are_read_only(self):
        client = PyVelzarClient("127.0.0.1")
        for name, doc in PROPERTIES.items():
            with self.subTest(property=name):
                self.assertEqual(getattr(PyVelzarClient, name).__doc__, doc)
                with self.assertRaises(AttributeError):
                    setattr(client, name, 1)
                with self.assertRaises(AttributeError):
                    delattr(client, name)

    def test_instances_hold_nothing_python_side(self):
        client = PyVelzarClient("127.0.0.1")
        self.assertFalse(hasattr(client, "__dict__"))
        with self.assertRaises(AttributeError):
            client.extra = 1
        with self.assertRaises(TypeError):
            weakref.ref(client)
        self.assertFalse(gc.is_tracked(client))
        self.assertEqual(client, client)
        self.assertNotEqual(client, PyVelzarClient("127.0.0.1"))
        self.assertEqual(hash(client), hash(client))
        self.assertTrue(repr(client).startswith("<velzar._velzar_wrapper.PyVelzarClient object at "))

    def test_type_is_immutable(self):
        with self.assertRaises(TypeError):
            PyVelzarClient.connect = None
        with self.assertRaises(TypeError):
            PyVelzarClient.new_attribute = 1

    def test_method_taken_from_type_refuses_other_objects(self):
        for name in METHODS:
            with self.subTest(method=name):
                with self.assertRaises(TypeError) as cm:
                    getattr(PyVelzarClient, name)(object())
                self.assertIn("requires a 'velzar._velzar_wrapper.PyVelzarClient' object", str(cm.exception))
                with self.assertRaises(TypeError) as cm:
                    getattr(PyVelzarClient, name)()
                self.assertEqual(str(cm.exception), "%s() needs an argument" % name)


class PicklingTest(unittest.TestCase):
    def test_pickle_and_copy_are_refused(self):
        client = PyVelzarClient("127.0.0.1", command_timeout_ms=1234)
        attempts = {"copy": copy.copy, "deepcopy": copy.deepcopy, "reduce": lambda c: c.__reduce__(),
                    "setstate": lambda c: c.__setstate__({})}
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            attempts["pickle protocol %d" % protocol] = lambda c, p=protocol: pickle.dumps(c, p)
        for name, attempt in attempts.items():
            with self.subTest(attempt=name):
                with self.assertRaises(TypeError) as cm:
                    attempt(client)
                self.assertEqual(str(cm.exception), PICKLING_MESSAGE)
        self.assertEqual(client.command_timeout, 1234)


class SubclassTest(unittest.TestCase):
    def test_subclass_calls_base_init(self):
        class Router(PyVelzarClient):
            def __init__(self, ip, site):
                super().__init__(ip, "admin", "secret", "router#", True, 2022, 5000, 700)
                self.site = site

        router = Router("127.0.0.1", site="lab")
        self.assertEqual((router.site, router.command_timeout, router.read_timeout), ("lab", 5000, 700))
        self.assertFalse(router.is_connected)
        router.set_read_timeout(900)
        self.assertEqual(router.read_timeout, 900)
        self.assertIsNone(router.disconnect())
        with self.assertRaises(TypeError) as cm:
            pickle.dumps(router)
        self.assertEqual(str(cm.exception), PICKLING_MESSAGE)

    def test_subclass_without_base_init_is_refused_cleanly(self):
        class Lazy(PyVelzarClient):
            def __init__(self):
                pass

        lazy = Lazy()
        with self.assertRaises(RuntimeError) as cm:
            lazy.command_timeout
        self.assertIn("not initialised", str(cm.exception))


if __name__ == "__main__":
    unittest.main()
