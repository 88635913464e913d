"""How arguments are matched and converted: the argument, integer, truth and text rules."""
import unittest
import warnings

from velzar._velzar_wrapper import PyVelzarClient

C = PyVelzarClient
IP = "127.0.0.1"


class IntSubclass(int):
    pass


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 5


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


class ArgumentRuleTest(unittest.TestCase):
    def test_messages(self):
        client = C(IP)
        cases = [
            ("no argument", lambda: C(), "__init__() takes at least 1 positional argument (0 given)"),
            ("only username", lambda: C(username="x"), "__init__() takes at least 1 positional argument (0 given)"),
            ("eleven", lambda: C(IP, "", "", "", False, 22, 1, 1, "vt100", True, 0),
             "__init__() takes at most 10 positional arguments (11 given)"),
            ("ip twice", lambda: C(IP, ip=IP), "__init__() got multiple values for keyword argument 'ip'"),
            ("unknown keyword", lambda: C(IP, host="h"), "__init__() got an unexpected keyword argument 'host'"),
            ("misspelt required", lambda: C(iq=IP), "__init__() takes at least 1 positional argument (0 given)"),
            ("connect with one", lambda: client.connect(1),
             "connect() takes exactly 0 positional arguments (1 given)"),
            ("connect keyword", lambda: client.connect(timeout=1),
             "connect() got an unexpected keyword argument 'timeout'"),
            ("setter without", lambda: client.set_command_timeout(),
             "set_command_timeout() takes exactly 1 positional argument (0 given)"),
            ("setter with two", lambda: client.set_read_timeout(1, 2),
             "set_read_timeout() takes exactly 1 positional argument (2 given)"),
            ("setter twice", lambda: client.set_read_timeout(500, timeout_ms=500),
             "set_read_timeout() got multiple values for keyword argument 'timeout_ms'"),
            ("setter misspelt", lambda: client.set_read_timeout(timeout=5),
             "set_read_timeout() takes exactly 1 positional argument (0 given)"),
            ("send without", lambda: client.send(), "send() takes at least 1 positional argument (0 given)"),
            ("send with five", lambda: client.send("x", 0, 0, "", 1),
             "send() takes at most 4 positional arguments (5 given)"),
            ("send unknown", lambda: client.send("x", prompt="#"),
             "send() got an unexpected keyword argument 'prompt'"),
            ("capture with two", lambda: client.get_initial_output(1, 2),
             "get_initial_output() takes at most 1 positional argument (2 given)"),
            ("set_prompt without", lambda: client.set_prompt(),
             "set_prompt() takes exactly 1 positional argument (0 given)"),
            ("reduce with one", lambda: client.__reduce__(1),
             "__reduce__() takes exactly 0 positional arguments (1 given)"),
            ("setstate without", lambda: client.__setstate__(),
             "__setstate__() takes exactly 1 positional argument (0 given)"),
            ("from the type, nothing", lambda: C.set_prompt(), "set_prompt() needs an argument"),
        ]
        for name, call, message in cases:
            with self.subTest(case=name):
                with self.assertRaises(TypeError) as cm:
                    call()
                self.assertEqual(str(cm.exception), message)

    def test_keywords_and_positions_build_the_same_client(self):
        values = [IP, "admin", "secret", "router#", True, 2022, 1500, 700, "xterm", False]
        names = ["ip", "username", "password", "prompt", "auth", "port", "command_timeout_ms",
                 "read_timeout_ms", "terminal_type", "use_pty"]
        by_position = C(*values)
        by_keyword = C(**dict(reversed(list(zip(names, values)))))
        mixed = C(*values[:3], **dict(zip(names[3:], values[3:])))
        for client in (by_position, by_keyword, mixed):
            self.assertEqual((client.command_timeout, client.read_timeout, client.is_connected),
                             (1500, 700, False))

    def test_defaults(self):
        client = C(IP)
        self.assertEqual((client.command_timeout, client.read_timeout, client.is_connected), (2000, 2000, False))

    def test_optional_keywords_of_methods(self):
        client = C(IP)
        self.assertIsNone(client.set_read_timeout(timeout_ms=500))
        self.assertEqual(client.read_timeout, 500)
        self.assertIsNone(client.set_prompt(new_prompt=">"))
        self.assertIsNone(client.interrupt())
        self.assertIsNone(client.clear_interrupt())


class IntegerRuleTest(unittest.TestCase):
    def test_unsigned_values(self):
        cases = [(0, 0), (4294967295, 4294967295), (2.9, 2), (-0.5, 0), (True, 1), (False, 0),
                 (IntSubclass(77), 77), (IntLike(1234), 1234), (IntLike(4294967295), 4294967295)]
        client = C(IP)
        for value, stored in cases:
            with self.subTest(value=value):
                client.set_command_timeout(value)
                self.assertEqual(client.command_timeout, stored)
                self.assertIs(type(client.command_timeout), int)
                client.set_read_timeout(value)
                self.assertEqual(client.read_timeout, stored)

    def test_unsigned_errors_leave_value_unchanged(self):
        cases = [
            (-1, OverflowError, "can't convert negative value to unsigned int"),
            (-2 ** 70, OverflowError, "can't convert negative value to unsigned int"),
            (4294967296, OverflowError, "value too large to convert to unsigned int"),
            (2 ** 64 - 1, OverflowError, "value too large to convert to unsigned int"),
            (2 ** 64, OverflowError, None),  # the interpreter's own wording
            (-1.5, OverflowError, "can't convert negative value to unsigned int"),
            (None, TypeError, "an integer is required"),
            ("100", TypeError, "an integer is required"),
            (b"1", TypeError, "an integer is required"),
            (IndexOnly(), TypeError, "an integer is required"),
            (IntLike("7"), TypeError, "__int__ returned non-int (type str)"),
            (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
            (float("nan"), ValueError, None),
            (float("inf"), OverflowError, None),
        ]
        client = C(IP, command_timeout_ms=321)
        for value, error, message in cases:
            with self.subTest(value=value):
                with self.assertRaises(error) as cm:
                    client.set_command_timeout(value)
                if message is not None:
                    self.assertEqual(str(cm.exception), message)
                self.assertEqual(client.command_timeout, 321)

    def test_int_subclass_from_int_is_deprecated(self):
        client = C(IP)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            client.set_read_timeout(IntLike(IntSubclass(42)))
        self.assertEqual(client.read_timeout, 42)
        self.assertEqual([(w.category, str(w.message)) for w in caught], [(
            DeprecationWarning,
            "__int__ returned non-int (type IntSubclass).  The ability to return an instance of a strict "
            "subclass of int is deprecated, and may be removed in a future version of Python.")])
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with self.assertRaises(DeprecationWarning):
                client.set_read_timeout(IntLike(True))
        self.assertEqual(client.read_timeout, 42)

    def test_signed_bounds(self):
        for port in (-2147483648, 2147483647, -1, 0, 65536 + 22, 22.9, True, IntLike(-7)):
            with self.subTest(port=port):
                C(IP, port=port)
        cases = [
            (2147483648, OverflowError, "value too large to convert to int"),
            (-2147483649, OverflowError, "value too large to convert to int"),
            (2 ** 63, OverflowError, None),
            (-2 ** 63 - 1, OverflowError, None),
            ("22", TypeError, "an integer is required"),
            (None, TypeError, "an integer is required"),
        ]
        for port, error, message in cases:
            with self.subTest(port=port):
                with self.assertRaises(error) as cm:
                    C(IP, port=port)
                if message is not None:
                    self.assertEqual(str(cm.exception), message)

    def test_numbers_are_converted_before_texts_are_checked(self):
        with self.assertRaises(OverflowError):
            C(5, read_timeout_ms=-1)
        with self.assertRaises(OverflowError) as cm:
            C(IP).send(5, -1)
        self.assertEqual(str(cm.exception), "can't convert negative value to unsigned int")


class TruthRuleTest(unittest.TestCase):
    def test_any_object_is_accepted(self):
        for value in (True, False, None, 0, 1, "", "no", [], [0], 0.0):
            with self.subTest(value=value):
                C(IP, auth=value, use_pty=value)

    def test_failing_truth_test_propagates(self):
        for keyword in ("auth", "use_pty"):
            with self.subTest(keyword=keyword):
                with self.assertRaises(ZeroDivisionError) as cm:
                    C(IP, **{keyword: BadBool()})
                self.assertEqual(str(cm.exception), "no truth here")


class TextRuleTest(unittest.TestCase):
    class Str(str):
        pass

    def test_type_check(self):
        client = C(IP)
        cases = [
            (lambda: C(b"127.0.0.1"), "Argument 'ip' has incorrect type (expected str, got bytes)"),
            (lambda: C(self.Str(IP)), "Argument 'ip' has incorrect type (expected str, got Str)"),
            (lambda: C(IP, username=1), "Argument 'username' has incorrect type (expected str, got int)"),
            (lambda: C(IP, password=bytearray()),
             "Argument 'password' has incorrect type (expected str, got bytearray)"),
            (lambda: C(IP, prompt=["#"]), "Argument 'prompt' has incorrect type (expected str, got list)"),
            (lambda: C(IP, terminal_type=b"vt100"),
             "Argument 'terminal_type' has incorrect type (expected str, got bytes)"),
            # every type is checked before any text is encoded
            (lambda: C(None, username=b"x"), "Argument 'username' has incorrect type (expected str, got bytes)"),
            (lambda: client.send(b"ls"), "Argument 'command' has incorrect type (expected str, got bytes)"),
            (lambda: client.send(self.Str("ls")), "Argument 'command' has incorrect type (expected str, got Str)"),
            (lambda: client.send("ls", expected_prompt=b"#"),
             "Argument 'expected_prompt' has incorrect type (expected str, got bytes)"),
            (lambda: client.set_prompt(b"#"), "Argument 'new_prompt' has incorrect type (expected str, got bytes)"),
        ]
        for call, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(TypeError) as cm:
                    call()
                self.assertEqual(str(cm.exception), message)

    def test_none_fails_at_encoding_in_init(self):
        for keyword in ("ip", "username", "password", "prompt", "terminal_type"):
            with self.subTest(keyword=keyword):
                kwargs = {"ip": IP, keyword: None}
                with self.assertRaises(AttributeError) as cm:
                    C(**kwargs)
                self.assertEqual(str(cm.exception), "'NoneType' object has no attribute 'encode'")

    def test_lone_surrogate_fails_encoding_in_init(self):
        with self.assertRaises(UnicodeEncodeError):
            C(IP, password="\ud800")

    def test_method_text_errors_become_runtime_errors(self):
        client = C(IP)
        none_text = "'NoneType' object has no attribute 'encode'"
        cases = [
            (lambda: client.send(None), AttributeError, none_text),
            (lambda: client.send("x", expected_prompt=None), AttributeError, none_text),
            (lambda: client.send(None, expected_prompt=None), AttributeError, none_text),
            (lambda: client.set_prompt(None), AttributeError, none_text),
            (lambda: client.send("\ud800"), UnicodeEncodeError, None),
            (lambda: client.set_prompt("\udfff"), UnicodeEncodeError, None),
        ]
        for call, cause, text in cases:
            with self.subTest(cause=cause.__name__, text=text):
                with self.assertRaises(RuntimeError) as cm:
                    call()
                context = cm.exception.__context__
                self.assertIs(type(context), cause)
                self.assertEqual(str(cm.exception), str(context))
                if text is not None:
                    self.assertEqual(str(cm.exception), text)
                self.assertIsNone(cm.exception.__cause__)
                self.assertFalse(cm.exception.__suppress_context__)

    def test_accepted_texts(self):
        for prompt in ("", "[", "router#", "é∑", "a\x00b"):
            with self.subTest(prompt=prompt):
                C(IP, prompt=prompt, password=prompt).set_prompt(prompt)


if __name__ == "__main__":
    unittest.main()
