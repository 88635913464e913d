/* _velzar_wrapper - Python interface to the velzar SSH client core. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <ios>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

#include "velzarclient.h"

#ifndef VELZAR_BUILD_PY_MAJOR
#define VELZAR_BUILD_PY_MAJOR PY_MAJOR_VERSION
#endif
#ifndef VELZAR_BUILD_PY_MINOR
#define VELZAR_BUILD_PY_MINOR PY_MINOR_VERSION
#endif

/* ---- Compatibility shims ---- */

// PyInterpreterState_Get: added in 3.9; before it the thread state's interp.
static PyInterpreterState* current_interpreter()
{
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// PyMODINIT_FUNC makes the entry point visible only from 3.9 on, and the
// module is built with hidden visibility.
#if PY_VERSION_HEX >= 0x03090000
#define VELZAR_MODINIT_FUNC PyMODINIT_FUNC
#else
#define VELZAR_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

/* ---- PyRef: one owned reference ---- */

// Owns one strong reference: takes over the reference it is built with
// (a new reference, or nullptr), drops it when it goes, and hands it on
// with release(). Not copyable.
class PyRef {
public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* steal) noexcept : p_(steal) {}
    ~PyRef() { Py_XDECREF(p_); }
    PyRef(PyRef&& other) noexcept : p_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept
    {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = other.release();
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept
    {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

/* ---- The instance ---- */

struct PyVelzarClient {
    PyObject_HEAD
    // Null until an __init__ succeeds. Shared so that a call running with the
    // interpreter lock released keeps its client alive through a concurrent
    // second __init__.
    std::shared_ptr<VelzarClient> _client;
};

// The two type objects are defined further down; in an unnamed namespace an
// extern declaration may come first and still have internal linkage.
namespace {
extern PyTypeObject PyVelzarClient_Type;
extern PyTypeObject VelzarMethod_Type;
}  // namespace

/* ---- Conversion helpers ---- */

// The parameter list of a function, for the argument rule.
struct Signature {
    const char* name;
    const char* const* params;  // names, the instance not included
    Py_ssize_t count;           // number of parameters
    Py_ssize_t required;        // the first `required` have no default
};

// Argument rule: the count message, bounded by `bound`, with `given` positional arguments.
static void raise_count_error(const Signature& sig, bool too_many, Py_ssize_t given)
{
    const char* word;
    Py_ssize_t bound;
    if (sig.count == sig.required) {
        word = "exactly";
        bound = sig.count;
    } else if (too_many) {
        word = "at most";
        bound = sig.count;
    } else {
        word = "at least";
        bound = sig.required;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, word,
                 bound, bound == 1 ? "" : "s", given);
}

// Argument rule: matches `args[offset:]` and `kwargs` to the parameters of
// `sig` and stores a borrowed reference per parameter in `out`; a parameter
// that is not given takes its value from `defaults` (a tuple holding the
// defaults of the parameters after the required ones). Returns false with
// TypeError set when the arguments do not fit.
static bool match_args(const Signature& sig, PyObject* defaults, PyObject* args, Py_ssize_t offset,
                       PyObject* kwargs, PyObject** out)
{
    const Py_ssize_t given = PyTuple_GET_SIZE(args) - offset;
    if (given > sig.count) {
        raise_count_error(sig, true, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        out[i] = i < given ? PyTuple_GET_ITEM(args, offset + i) : nullptr;

    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    Py_ssize_t used = 0;
    for (Py_ssize_t i = given; i < sig.count && used < nkw; ++i) {
        out[i] = PyDict_GetItemString(kwargs, sig.params[i]);
        if (out[i])
            ++used;
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            raise_count_error(sig, false, given);
            return false;
        }
    }
    if (used < nkw) {
        // Some keyword names no parameter, or one given by position.
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
                return false;
            }
            Py_ssize_t index = 0;
            while (index < sig.count && PyUnicode_CompareWithASCIIString(key, sig.params[index]) != 0)
                ++index;
            if (index == sig.count) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
                return false;
            }
            if (index < given) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
                return false;
            }
        }
    }
    for (Py_ssize_t i = sig.required; i < sig.count; ++i) {
        if (!out[i])
            out[i] = PyTuple_GET_ITEM(defaults, i - sig.required);
    }
    return true;
}

// Integer rule, steps 3 and 4: an int itself, or what the object's __int__
// gives (never __index__). Returns a new reference, or null with the error set.
static PyObject* int_value(PyObject* obj)
{
    if (PyLong_Check(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyRef result(number->nb_int(obj));
    if (!result)
        return nullptr;
    if (PyLong_CheckExact(result.get()))
        return result.release();
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0)
            return nullptr;
        return result.release();
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                 Py_TYPE(result.get())->tp_name);
    return nullptr;
}

// Integer rule, signed 32-bit.
static bool to_int32(PyObject* obj, int32_t* out)
{
    PyRef value(int_value(obj));
    if (!value)
        return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (overflow != 0) {
        // Beyond 64 bits: the interpreter's own conversion error.
        (void)PyLong_AsLongLong(value.get());
        return false;
    }
    if (v == -1 && PyErr_Occurred())
        return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

// Integer rule, unsigned 32-bit.
static bool to_uint32(PyObject* obj, uint32_t* out)
{
    PyRef value(int_value(obj));
    if (!value)
        return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned int");
        return false;
    }
    if (overflow > 0) {
        // Beyond 64 bits: the interpreter's own conversion error.
        if (PyLong_AsUnsignedLongLong(value.get()) == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return false;
    }
    if (overflow > 0 || v > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned int");
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// Truth rule: the object's truth value; its exception propagates.
static bool to_truth(PyObject* obj, bool* out)
{
    int truth = PyObject_IsTrue(obj);
    if (truth < 0)
        return false;
    *out = truth != 0;
    return true;
}

// Text rule, step 1: exactly a str, or None.
static bool check_text_arg(PyObject* obj, const char* param)
{
    if (obj == Py_None || PyUnicode_CheckExact(obj))
        return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, "str",
                 Py_TYPE(obj)->tp_name);
    return false;
}

// Text rule, steps 2 to 4: None fails as a missing encode(); a str becomes
// its strict UTF-8 bytes, all of them.
static bool text_arg(PyObject* obj, std::string* out)
{
    if (obj == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data)
        return false;
    out->assign(data, static_cast<size_t>(size));
    return true;
}

// Text rule, step 5: strict UTF-8 into a str.
static PyObject* text_result(const std::string& text)
{
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

/* ---- The error rule ---- */

static void set_error(PyObject* type, const char* what)
{
    PyRef message(PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "strict"));
    if (!message) {
        // A message that is not UTF-8 leaves the exception without arguments.
        PyErr_Clear();
        PyErr_SetNone(type);
        return;
    }
    PyErr_SetObject(type, message.get());
}

// Error rule: makes a pending Python exception of a C++ exception. One that
// is already pending wins and the C++ one is dropped.
static void set_error_from_exception(std::exception_ptr error) noexcept
{
    if (PyErr_Occurred())
        return;
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc& e) {
        set_error(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        set_error(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        set_error(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        set_error(PyExc_IOError, e.what());
    } catch (const std::out_of_range& e) {
        set_error(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        set_error(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        set_error(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        set_error(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        set_error(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

// RuntimeError wrapping: a pending exception that is an Exception is replaced
// by RuntimeError(str(exception)), chained as a raise inside an except block
// chains it (the caught one becomes __context__). Others pass unchanged.
static void wrap_in_runtime_error()
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return;
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef caught_type(type), caught(value), caught_traceback(traceback);
    if (!PyErr_GivenExceptionMatches(type, PyExc_Exception)) {
        PyErr_Restore(caught_type.release(), caught.release(), caught_traceback.release());
        return;
    }
    if (traceback)
        PyException_SetTraceback(value, traceback);
    PyRef text(PyObject_Str(value));
    if (!text)
        return;
    PyRef wrapped(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
    if (!wrapped)
        return;
    PyException_SetContext(wrapped.get(), caught.release());
    Py_INCREF(PyExc_RuntimeError);
    PyErr_Restore(PyExc_RuntimeError, wrapped.release(), nullptr);
}

/* ---- Calling the core ---- */

// The instance's client, or null with RuntimeError set when no __init__ has
// completed on it.
static std::shared_ptr<VelzarClient> get_client(PyVelzarClient* self)
{
    if (!self->_client)
        PyErr_SetString(PyExc_RuntimeError,
                        "PyVelzarClient object is not initialised: its __init__ has not completed");
    return self->_client;
}

// Runs `call` with the interpreter lock released, so that other Python
// threads run while the core waits on the network or on the client's mutex.
// A C++ exception becomes a pending Python exception by the error rule, once
// the lock is held again. Returns false then.
template <class Call>
static bool call_core(Call&& call)
{
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        call();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) {
        set_error_from_exception(error);
        return false;
    }
    return true;
}

/* ---- Slots of PyVelzarClient ---- */

static const char* const init_params[] = {"ip", "username", "password", "prompt", "auth", "port",
                                          "command_timeout_ms", "read_timeout_ms", "terminal_type", "use_pty"};
static const Signature init_signature = {"__init__", init_params, 10, 1};
static PyObject* init_defaults;  // built by the module's execution step

static PyObject* PyVelzarClient_new(PyTypeObject* type, PyObject*, PyObject*)
{
    PyObject* self = type->tp_alloc(type, 0);
    if (self)
        new (&reinterpret_cast<PyVelzarClient*>(self)->_client) std::shared_ptr<VelzarClient>();
    return self;
}

static int PyVelzarClient_init(PyObject* op, PyObject* args, PyObject* kwargs)
{
    auto* self = reinterpret_cast<PyVelzarClient*>(op);
    PyObject* a[10];
    if (!match_args(init_signature, init_defaults, args, 0, kwargs, a))
        return -1;

    bool auth = false, use_pty = false;
    int32_t port = 0;
    uint32_t command_timeout_ms = 0, read_timeout_ms = 0;
    if (!to_truth(a[4], &auth) || !to_int32(a[5], &port) || !to_uint32(a[6], &command_timeout_ms) ||
        !to_uint32(a[7], &read_timeout_ms) || !to_truth(a[9], &use_pty))
        return -1;

    static const int text_index[] = {0, 1, 2, 3, 8};
    for (int i : text_index)
        if (!check_text_arg(a[i], init_params[i]))
            return -1;
    std::string ip, username, password, prompt, terminal_type;
    if (!text_arg(a[0], &ip) || !text_arg(a[1], &username) || !text_arg(a[2], &password) ||
        !text_arg(a[3], &prompt) || !text_arg(a[8], &terminal_type))
        return -1;

    std::shared_ptr<VelzarClient> client;
    try {
        client = std::make_shared<VelzarClient>(ip, username, password, prompt, auth, port, command_timeout_ms,
                                                read_timeout_ms, terminal_type, use_pty);
    } catch (...) {
        set_error_from_exception(std::current_exception());
        return -1;
    }
    // The old client goes only now that the new one exists; dropping it may
    // disconnect, which waits on the network.
    std::shared_ptr<VelzarClient> old = std::exchange(self->_client, std::move(client));
    if (old) {
        Py_BEGIN_ALLOW_THREADS
        old.reset();
        Py_END_ALLOW_THREADS
    }
    return 0;
}

static void PyVelzarClient_dealloc(PyObject* op)
{
    auto* self = reinterpret_cast<PyVelzarClient*>(op);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    std::shared_ptr<VelzarClient> client = std::move(self->_client);
    if (client) {
        // Destroying a connected client sends the disconnect message.
        Py_BEGIN_ALLOW_THREADS
        client.reset();
        Py_END_ALLOW_THREADS
    }
    self->_client.~shared_ptr();
    PyErr_Restore(type, value, traceback);
    Py_TYPE(op)->tp_free(op);
}

/* ---- Methods ---- */

static PyObject* PyVelzarClient_connect(PyVelzarClient* self, PyObject* const*)
{
    auto client = get_client(self);
    if (!client)
        return nullptr;
    bool connected = false;
    if (!call_core([&] { connected = client->connect(); })) {
        wrap_in_runtime_error();
        return nullptr;
    }
    return PyBool_FromLong(connected);
}

static PyObject* PyVelzarClient_disconnect(PyVelzarClient* self, PyObject* const*)
{
    auto client = get_client(self);
    if (!client)
        return nullptr;
    if (!call_core([&] { client->disconnect(); })) {
        wrap_in_runtime_error();
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The default-timeout setters: convert, then store with `store`.
static PyObject* store_timeout(PyVelzarClient* self, PyObject* arg, void (VelzarClient::*store)(uint32_t) noexcept)
{
    uint32_t timeout_ms = 0;
    if (!to_uint32(arg, &timeout_ms))
        return nullptr;
    auto client = get_client(self);
    if (!client)
        return nullptr;
    ((*client).*store)(timeout_ms);
    Py_RETURN_NONE;
}

static PyObject* PyVelzarClient_set_command_timeout(PyVelzarClient* self, PyObject* const* args)
{
    return store_timeout(self, args[0], &VelzarClient::setDefaultCommandTimeout);
}

static PyObject* PyVelzarClient_set_read_timeout(PyVelzarClient* self, PyObject* const* args)
{
    return store_timeout(self, args[0], &VelzarClient::setDefaultReadTimeout);
}

// The interrupt flag: an atomic store that never waits.
static PyObject* store_flag(PyVelzarClient* self, void (VelzarClient::*store)() noexcept)
{
    auto client = get_client(self);
    if (!client)
        return nullptr;
    ((*client).*store)();
    Py_RETURN_NONE;
}

static PyObject* PyVelzarClient_interrupt(PyVelzarClient* self, PyObject* const*)
{
    return store_flag(self, &VelzarClient::interrupt);
}

static PyObject* PyVelzarClient_clear_interrupt(PyVelzarClient* self, PyObject* const*)
{
    return store_flag(self, &VelzarClient::clearInterrupt);
}

// The wrapped part of send: encoding, the command, decoding.
static PyObject* send_command(VelzarClient& client, PyObject* command, uint32_t command_timeout_ms,
                              uint32_t read_timeout_ms, PyObject* expected_prompt)
{
    std::string command_text, prompt_override, output;
    if (!text_arg(command, &command_text))
        return nullptr;
    // The core takes the command as a C string: a NUL inside would silently
    // run a shorter command than the one the caller wrote.
    if (command_text.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "Command contains a NUL character");
        return nullptr;
    }
    if (!text_arg(expected_prompt, &prompt_override))
        return nullptr;
    if (!call_core([&] {
            output = client.send(command_text.c_str(), command_timeout_ms, read_timeout_ms, prompt_override);
        }))
        return nullptr;
    return text_result(output);
}

static PyObject* PyVelzarClient_send(PyVelzarClient* self, PyObject* const* args)
{
    uint32_t command_timeout_ms = 0, read_timeout_ms = 0;
    if (!to_uint32(args[1], &command_timeout_ms) || !to_uint32(args[2], &read_timeout_ms))
        return nullptr;
    if (!check_text_arg(args[0], "command") || !check_text_arg(args[3], "expected_prompt"))
        return nullptr;
    auto client = get_client(self);
    if (!client)
        return nullptr;
    PyObject* result = send_command(*client, args[0], command_timeout_ms, read_timeout_ms, args[3]);
    if (!result)
        wrap_in_runtime_error();
    return result;
}

static PyObject* PyVelzarClient_get_initial_output(PyVelzarClient* self, PyObject* const* args)
{
    uint32_t timeout_ms = 0;
    if (!to_uint32(args[0], &timeout_ms))
        return nullptr;
    auto client = get_client(self);
    if (!client)
        return nullptr;
    std::string output;
    PyObject* result = nullptr;
    if (call_core([&] { output = client->getInitialOutput(timeout_ms); }))
        result = text_result(output);
    if (!result)
        wrap_in_runtime_error();
    return result;
}

static PyObject* PyVelzarClient_set_prompt(PyVelzarClient* self, PyObject* const* args)
{
    if (!check_text_arg(args[0], "new_prompt"))
        return nullptr;
    auto client = get_client(self);
    if (!client)
        return nullptr;
    std::string new_prompt;
    if (!text_arg(args[0], &new_prompt) || !call_core([&] { client->setPrompt(new_prompt); })) {
        wrap_in_runtime_error();
        return nullptr;
    }
    Py_RETURN_NONE;
}

static PyObject* PyVelzarClient_refuse_pickling(PyVelzarClient*, PyObject* const*)
{
    PyErr_SetString(PyExc_TypeError, "self._client cannot be converted to a Python object for pickling");
    return nullptr;
}

/* ---- Properties ---- */

static PyObject* PyVelzarClient_get_is_connected(PyObject* op, void*)
{
    auto client = get_client(reinterpret_cast<PyVelzarClient*>(op));
    if (!client)
        return nullptr;
    bool connected = false;
    if (!call_core([&] { connected = client->isConnected(); })) {
        wrap_in_runtime_error();
        return nullptr;
    }
    return PyBool_FromLong(connected);
}

static PyObject* PyVelzarClient_get_command_timeout(PyObject* op, void*)
{
    auto client = get_client(reinterpret_cast<PyVelzarClient*>(op));
    return client ? PyLong_FromUnsignedLong(client->getDefaultCommandTimeout()) : nullptr;
}

static PyObject* PyVelzarClient_get_read_timeout(PyObject* op, void*)
{
    auto client = get_client(reinterpret_cast<PyVelzarClient*>(op));
    return client ? PyLong_FromUnsignedLong(client->getDefaultReadTimeout()) : nullptr;
}

/* ---- Method objects ---- */

// The type's methods are objects of their own kind rather than builtin
// method descriptors: like functions defined in a Python class they carry
// __qualname__, __module__, defaults and an inspectable signature, and they
// match their arguments by the argument rule.

using MethodImpl = PyObject* (*)(PyVelzarClient*, PyObject* const*);

// How the execution step builds a method's defaults.
enum class Defaults { None, SendDefaults, TimeoutDefault };

// The most parameters a method has (send's four); a table entry with more
// would not fit the call's argument array.
constexpr Py_ssize_t kMaxMethodParams = 4;

struct MethodDef {
    Signature signature;
    MethodImpl impl;
    const char* doc;
    Defaults defaults;
};

struct VelzarMethod {
    PyObject_HEAD
    const MethodDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;   // tuple, or None
    PyObject* signature;  // built on first use
};

static PyObject* VelzarMethod_call(PyObject* op, PyObject* args, PyObject* kwargs)
{
    auto* method = reinterpret_cast<VelzarMethod*>(op);
    const Signature& sig = method->def->signature;
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", sig.name);
        return nullptr;
    }
    PyObject* self = PyTuple_GET_ITEM(args, 0);
    if (!PyObject_TypeCheck(self, &PyVelzarClient_Type)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%.200s' requires a '%.100s' object but received a '%.100s'",
                     sig.name, PyVelzarClient_Type.tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    PyObject* matched[kMaxMethodParams];
    if (!match_args(sig, method->defaults, args, 1, kwargs, matched))
        return nullptr;
    return method->def->impl(reinterpret_cast<PyVelzarClient*>(self), matched);
}

static PyObject* VelzarMethod_descr_get(PyObject* op, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(op);
        return op;
    }
    return PyMethod_New(op, obj);
}

static PyObject* VelzarMethod_repr(PyObject* op)
{
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<VelzarMethod*>(op)->qualname, op);
}

static void VelzarMethod_dealloc(PyObject* op)
{
    auto* method = reinterpret_cast<VelzarMethod*>(op);
    Py_XDECREF(method->name);
    Py_XDECREF(method->qualname);
    Py_XDECREF(method->module);
    Py_XDECREF(method->doc);
    Py_XDECREF(method->defaults);
    Py_XDECREF(method->signature);
    Py_TYPE(op)->tp_free(op);
}

// __signature__: self, then every parameter positional-or-keyword with its default.
static PyObject* VelzarMethod_get_signature(PyObject* op, void*)
{
    auto* method = reinterpret_cast<VelzarMethod*>(op);
    if (method->signature) {
        Py_INCREF(method->signature);
        return method->signature;
    }
    const Signature& sig = method->def->signature;
    PyRef inspect(PyImport_ImportModule("inspect"));
    if (!inspect)
        return nullptr;
    PyRef parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
    PyRef kind(parameter ? PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD") : nullptr);
    PyRef params(PyList_New(0));
    if (!kind || !params)
        return nullptr;
    for (Py_ssize_t i = -1; i < sig.count; ++i) {
        PyRef call_args(Py_BuildValue("(sO)", i < 0 ? "self" : sig.params[i], kind.get()));
        PyRef call_kwargs(PyDict_New());
        if (!call_args || !call_kwargs)
            return nullptr;
        if (i >= sig.required &&
            PyDict_SetItemString(call_kwargs.get(), "default",
                                 PyTuple_GET_ITEM(method->defaults, i - sig.required)) < 0)
            return nullptr;
        PyRef param(PyObject_Call(parameter.get(), call_args.get(), call_kwargs.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0)
            return nullptr;
    }
    PyRef signature(PyObject_CallMethod(inspect.get(), "Signature", "(O)", params.get()));
    if (!signature)
        return nullptr;
    method->signature = signature.release();
    Py_INCREF(method->signature);
    return method->signature;
}

static PyMemberDef VelzarMethod_members[] = {
    {"__name__", T_OBJECT, offsetof(VelzarMethod, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(VelzarMethod, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(VelzarMethod, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(VelzarMethod, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(VelzarMethod, defaults), READONLY, nullptr},
    {} /* Sentinel */
};

static PyGetSetDef VelzarMethod_getset[] = {
    {"__signature__", VelzarMethod_get_signature, nullptr, nullptr, nullptr},
    {} /* Sentinel */
};

// The fields after tp_new differ from one Python version to the next; left
// out, they are zero, as they must be.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
namespace {
PyTypeObject VelzarMethod_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    /* tp_name */ "velzar._velzar_wrapper.method",
    /* tp_basicsize */ sizeof(VelzarMethod),
    /* tp_itemsize */ 0,
    /* tp_dealloc */ VelzarMethod_dealloc,
    /* tp_vectorcall_offset */ 0,
    /* tp_getattr */ nullptr,
    /* tp_setattr */ nullptr,
    /* tp_as_async */ nullptr,
    /* tp_repr */ VelzarMethod_repr,
    /* tp_as_number */ nullptr,
    /* tp_as_sequence */ nullptr,
    /* tp_as_mapping */ nullptr,
    /* tp_hash */ nullptr,
    /* tp_call */ VelzarMethod_call,
    /* tp_str */ nullptr,
    /* tp_getattro */ nullptr,
    /* tp_setattro */ nullptr,
    /* tp_as_buffer */ nullptr,
    /* tp_flags */ Py_TPFLAGS_DEFAULT,
    /* tp_doc */ nullptr,
    /* tp_traverse */ nullptr,
    /* tp_clear */ nullptr,
    /* tp_richcompare */ nullptr,
    /* tp_weaklistoffset */ 0,
    /* tp_iter */ nullptr,
    /* tp_iternext */ nullptr,
    /* tp_methods */ nullptr,
    /* tp_members */ VelzarMethod_members,
    /* tp_getset */ VelzarMethod_getset,
    /* tp_base */ nullptr,
    /* tp_dict */ nullptr,
    /* tp_descr_get */ VelzarMethod_descr_get,
    /* tp_descr_set */ nullptr,
    /* tp_dictoffset */ 0,
    /* tp_init */ nullptr,
    /* tp_alloc */ nullptr,
    /* tp_new */ nullptr,
};
}  // namespace
#pragma GCC diagnostic pop

/* ---- The method and getset tables ---- */

static const char init_doc[] =
    "\n        Initialize SSH client\n        \n        For regular SSH connections:\n"
    "            - Provide username, password, and set auth=True\n"
    "            - prompt can be a string or regex pattern\n        \n        For TL1 devices:\n"
    "            - Leave username and password empty\n            - Set auth=False (default)\n"
    "            - Leave prompt empty initially\n"
    "            - Use get_initial_output() after connect() to capture device prompt\n            \n"
    "        Parameters:\n            terminal_type: Terminal type for PTY (vt100, xterm, etc.)\n"
    "            use_pty: Whether to request PTY (set to False for some Cisco devices)\n        ";

static const char send_doc[] =
    "\n        Send a command to the SSH server\n        \n        Parameters:\n"
    "            command: Command to send\n"
    "            command_timeout_ms: Overall command timeout (0 = use default)\n"
    "            read_timeout_ms: Read operation timeout (0 = use default)\n"
    "            expected_prompt: Optional prompt override for this command\n        ";

static const char get_initial_output_doc[] =
    "\n        Get initial output from device after connection.\n"
    "        Useful for TL1 devices to determine the initial prompt or login requirements.\n        \n"
    "        Args:\n            timeout_ms: Optional timeout in milliseconds (0 = use default read timeout)\n"
    "        \n        Returns:\n            str: Initial device output\n        ";

static const char set_prompt_doc[] =
    "\n        Update the expected prompt pattern at runtime.\n"
    "        Useful for TL1 devices where the prompt might change during the session.\n        \n"
    "        Args:\n            new_prompt: New prompt string or regex pattern\n        ";

static const char* const no_params[] = {nullptr};
static const char* const timeout_params[] = {"timeout_ms"};
static const char* const send_params[] = {"command", "command_timeout_ms", "read_timeout_ms", "expected_prompt"};
static const char* const prompt_params[] = {"new_prompt"};
static const char* const state_params[] = {"state"};

static const MethodDef PyVelzarClient_methods[] = {
    {{"connect", no_params, 0, 0}, PyVelzarClient_connect, "Connect to the SSH server", Defaults::None},
    {{"send", send_params, 4, 1}, PyVelzarClient_send, send_doc, Defaults::SendDefaults},
    {{"disconnect", no_params, 0, 0}, PyVelzarClient_disconnect, "Disconnect from the SSH server", Defaults::None},
    {{"set_command_timeout", timeout_params, 1, 1}, PyVelzarClient_set_command_timeout,
     "Set the default command timeout in milliseconds", Defaults::None},
    {{"set_read_timeout", timeout_params, 1, 1}, PyVelzarClient_set_read_timeout,
     "Set the default read timeout in milliseconds", Defaults::None},
    {{"interrupt", no_params, 0, 0}, PyVelzarClient_interrupt, "Interrupt any ongoing operation", Defaults::None},
    {{"clear_interrupt", no_params, 0, 0}, PyVelzarClient_clear_interrupt, "Clear the interrupt flag",
     Defaults::None},
    {{"get_initial_output", timeout_params, 1, 0}, PyVelzarClient_get_initial_output, get_initial_output_doc,
     Defaults::TimeoutDefault},
    {{"set_prompt", prompt_params, 1, 1}, PyVelzarClient_set_prompt, set_prompt_doc, Defaults::None},
    {{"__reduce__", no_params, 0, 0}, PyVelzarClient_refuse_pickling, nullptr, Defaults::None},
    {{"__setstate__", state_params, 1, 1}, PyVelzarClient_refuse_pickling, nullptr, Defaults::None},
    {{nullptr, nullptr, 0, 0}, nullptr, nullptr, Defaults::None} /* Sentinel */
};

static PyGetSetDef PyVelzarClient_getset[] = {
    {"is_connected", PyVelzarClient_get_is_connected, nullptr, "Check if connected to the SSH server", nullptr},
    {"command_timeout", PyVelzarClient_get_command_timeout, nullptr,
     "Get the current default command timeout in milliseconds", nullptr},
    {"read_timeout", PyVelzarClient_get_read_timeout, nullptr, "Get the current default read timeout in milliseconds",
     nullptr},
    {} /* Sentinel */
};

/* ---- The type object ---- */

// The fields after tp_new differ from one Python version to the next; left
// out, they are zero, as they must be.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
namespace {
PyTypeObject PyVelzarClient_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    /* tp_name */ "velzar._velzar_wrapper.PyVelzarClient",
    /* tp_basicsize */ sizeof(PyVelzarClient),
    /* tp_itemsize */ 0,
    /* tp_dealloc */ PyVelzarClient_dealloc,
    /* tp_vectorcall_offset */ 0,
    /* tp_getattr */ nullptr,
    /* tp_setattr */ nullptr,
    /* tp_as_async */ nullptr,
    /* tp_repr */ nullptr,
    /* tp_as_number */ nullptr,
    /* tp_as_sequence */ nullptr,
    /* tp_as_mapping */ nullptr,
    /* tp_hash */ nullptr,
    /* tp_call */ nullptr,
    /* tp_str */ nullptr,
    /* tp_getattro */ nullptr,
    /* tp_setattro */ nullptr,
    /* tp_as_buffer */ nullptr,
    /* tp_flags */ Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    /* tp_doc */ nullptr,
    /* tp_traverse */ nullptr,
    /* tp_clear */ nullptr,
    /* tp_richcompare */ nullptr,
    /* tp_weaklistoffset */ 0,
    /* tp_iter */ nullptr,
    /* tp_iternext */ nullptr,
    /* tp_methods */ nullptr,
    /* tp_members */ nullptr,
    /* tp_getset */ PyVelzarClient_getset,
    /* tp_base */ nullptr,
    /* tp_dict */ nullptr,
    /* tp_descr_get */ nullptr,
    /* tp_descr_set */ nullptr,
    /* tp_dictoffset */ 0,
    /* tp_init */ PyVelzarClient_init,
    /* tp_alloc */ nullptr,
    /* tp_new */ PyVelzarClient_new,
};
}  // namespace
#pragma GCC diagnostic pop

/* ---- Module slots ---- */

// Process-wide: the module serves one interpreter, and importing it again
// yields the same module object.
static PyObject* module_object;
static PyObject* executed_module;
static int64_t first_interpreter = -1;

// Copies the ModuleSpec's <attr> to module.<name>; a missing attribute is skipped.
static bool copy_module_spec_attr(PyObject* module_spec, const char* attr, PyObject* module, const char* name, bool skip_none)
{
    PyRef value(PyObject_GetAttrString(module_spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None)
        return true;
    return PyObject_SetAttrString(module, name, value.get()) == 0;
}

static PyObject* velzar_module_create(PyObject* module_spec, PyModuleDef*)
{
    int64_t interpreter = PyInterpreterState_GetID(current_interpreter());
    if (interpreter == -1 && PyErr_Occurred())
        return nullptr;
    if (first_interpreter == -1) {
        first_interpreter = interpreter;
    } else if (first_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (module_object) {
        Py_INCREF(module_object);
        return module_object;
    }
    PyRef name(PyObject_GetAttrString(module_spec, "name"));
    if (!name)
        return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module || !copy_module_spec_attr(module_spec, "loader", module.get(), "__loader__", false) ||
        !copy_module_spec_attr(module_spec, "origin", module.get(), "__file__", false) ||
        !copy_module_spec_attr(module_spec, "parent", module.get(), "__package__", false) ||
        !copy_module_spec_attr(module_spec, "submodule_search_locations", module.get(), "__path__", true))
        return nullptr;
    module_object = module.get();
    Py_INCREF(module_object);
    return module.release();
}

// Warns when the interpreter's major.minor differs from the build's.
static bool check_python_version()
{
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2)
        major = minor = -1;
    if (major == VELZAR_BUILD_PY_MAJOR && minor == VELZAR_BUILD_PY_MINOR)
        return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            VELZAR_BUILD_PY_MAJOR, VELZAR_BUILD_PY_MINOR, "velzar._velzar_wrapper",
                            "does not match", major, minor) == 0;
}

// Gives __init__ its docstring: the slot wrapper's doc comes from a shared
// table, so this wrapper gets a copy of its entry with our text.
static bool attach_init_doc()
{
    PyObject* init = PyDict_GetItemString(PyVelzarClient_Type.tp_dict, "__init__");
    if (!init || Py_TYPE(init) != &PyWrapperDescr_Type)
        return false;
    static struct wrapperbase init_base;
    auto* descriptor = reinterpret_cast<PyWrapperDescrObject*>(init);
    init_base = *descriptor->d_base;
    init_base.doc = init_doc;
    descriptor->d_base = &init_base;
    return true;
}

static PyObject* build_defaults(Defaults kind)
{
    switch (kind) {
    case Defaults::SendDefaults:
        return Py_BuildValue("(iis)", 0, 0, "");
    case Defaults::TimeoutDefault:
        return Py_BuildValue("(i)", 0);
    case Defaults::None:
        break;
    }
    Py_RETURN_NONE;
}

static PyObject* new_method(const MethodDef* def)
{
    if (def->signature.count > kMaxMethodParams) {
        PyErr_Format(PyExc_SystemError, "%s() has too many parameters", def->signature.name);
        return nullptr;
    }
    PyRef method(PyType_GenericAlloc(&VelzarMethod_Type, 0));
    if (!method)
        return nullptr;
    auto* m = reinterpret_cast<VelzarMethod*>(method.get());
    m->def = def;
    m->name = PyUnicode_FromString(def->signature.name);
    m->qualname = PyUnicode_FromFormat("PyVelzarClient.%s", def->signature.name);
    m->module = PyUnicode_FromString("velzar._velzar_wrapper");
    m->doc = def->doc ? PyUnicode_FromString(def->doc) : (Py_INCREF(Py_None), Py_None);
    m->defaults = build_defaults(def->defaults);
    if (!m->name || !m->qualname || !m->module || !m->doc || !m->defaults)
        return nullptr;
    return method.release();
}

// Puts the method objects into the type's dictionary.
static bool add_methods()
{
    PyObject* dict = PyVelzarClient_Type.tp_dict;
    for (const MethodDef* def = PyVelzarClient_methods; def->signature.name; ++def) {
        PyRef method(new_method(def));
        if (!method || PyDict_SetItemString(dict, def->signature.name, method.get()) < 0)
            return false;
    }
    PyType_Modified(&PyVelzarClient_Type);
    return true;
}

static bool exec_steps(PyObject* module)
{
    if (!check_python_version())
        return false;
    if (PyType_Ready(&VelzarMethod_Type) < 0 || PyType_Ready(&PyVelzarClient_Type) < 0)
        return false;
    if (!attach_init_doc())
        return false;
    if (!init_defaults) {
        init_defaults = Py_BuildValue("(sssOiIIsO)", "", "", "", Py_False, 22, 2000u, 2000u, "vt100", Py_True);
        if (!init_defaults)
            return false;
    }
    Py_INCREF(&PyVelzarClient_Type);
    if (PyModule_AddObject(module, "PyVelzarClient", reinterpret_cast<PyObject*>(&PyVelzarClient_Type)) < 0) {
        Py_DECREF(&PyVelzarClient_Type);
        return false;
    }
    return add_methods();
}

static int velzar_module_exec(PyObject* module)
{
    if (executed_module) {
        if (module == executed_module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_velzar_wrapper' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!exec_steps(module)) {
        // A later import starts again from the creation step.
        Py_CLEAR(module_object);
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "init velzar._velzar_wrapper");
        return -1;
    }
    executed_module = module;
    return 0;
}

static PyModuleDef_Slot velzar_module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(velzar_module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(velzar_module_exec)},
    {0, nullptr} /* Sentinel */
};

static PyModuleDef velzar_module = {
    PyModuleDef_HEAD_INIT,
    /* m_name */ "_velzar_wrapper",
    /* m_doc */ nullptr,
    /* m_size */ 0,
    /* m_methods */ nullptr,
    /* m_slots */ velzar_module_slots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

/* ---- PyInit__velzar_wrapper ---- */

VELZAR_MODINIT_FUNC PyInit__velzar_wrapper(void)
{
    return PyModuleDef_Init(&velzar_module);
}
