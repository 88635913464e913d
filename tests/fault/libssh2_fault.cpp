/* libssh2_fault - makes libssh2's set-up fail on demand, for tests of error paths.
 *
 * Preloaded (LD_PRELOAD) into a child interpreter. VELZAR_FAULT names what
 * libssh2_session_init_ex does instead of creating a session:
 *   null              returns no session
 *   init:<code>       (read by libssh2_init) returns <code>
 *   throw:<kind>      throws a C++ exception of that kind, with the message
 *                     in VELZAR_FAULT_MESSAGE (default "injected")
 * Unset, both calls go to the real library.
 */
#include <libssh2.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <typeinfo>

namespace {

std::string fault()
{
    const char* value = std::getenv("VELZAR_FAULT");
    return value ? value : "";
}

std::string message()
{
    const char* value = std::getenv("VELZAR_FAULT_MESSAGE");
    return value ? value : "injected";
}

// The real function. The extension module loads libssh2 privately
// (RTLD_LOCAL), so RTLD_NEXT cannot see it: ask the loaded library itself.
template <class Fn>
Fn real(const char* name)
{
    static void* library = dlopen("libssh2.so.1", RTLD_NOW | RTLD_NOLOAD);
    return reinterpret_cast<Fn>(dlsym(library ? library : RTLD_NEXT, name));
}

[[noreturn]] void throwKind(const std::string& kind)
{
    const std::string text = message();
    if (kind == "bad_alloc")
        throw std::bad_alloc();
    if (kind == "bad_cast")
        throw std::bad_cast();
    if (kind == "bad_typeid")
        throw std::bad_typeid();
    if (kind == "domain_error")
        throw std::domain_error(text);
    if (kind == "invalid_argument")
        throw std::invalid_argument(text);
    if (kind == "ios_failure")
        throw std::ios_base::failure(text);
    if (kind == "out_of_range")
        throw std::out_of_range(text);
    if (kind == "overflow_error")
        throw std::overflow_error(text);
    if (kind == "range_error")
        throw std::range_error(text);
    if (kind == "underflow_error")
        throw std::underflow_error(text);
    if (kind == "system_error")
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    if (kind == "runtime_error")
        throw std::runtime_error(text);
    if (kind == "logic_error")
        throw std::logic_error(text);
    throw 42;  // not an exception class at all
}

}  // namespace

extern "C" int libssh2_init(int flags)
{
    const std::string what = fault();
    if (what.rfind("init:", 0) == 0)
        return std::atoi(what.c_str() + 5);
    return real<int (*)(int)>("libssh2_init")(flags);
}

extern "C" LIBSSH2_SESSION* libssh2_session_init_ex(LIBSSH2_ALLOC_FUNC((*alloc)), LIBSSH2_FREE_FUNC((*free_)),
                                                    LIBSSH2_REALLOC_FUNC((*realloc_)), void* abstract)
{
    const std::string what = fault();
    if (what == "null")
        return nullptr;
    if (what.rfind("throw:", 0) == 0)
        throwKind(what.substr(6));
    using Fn = LIBSSH2_SESSION* (*)(LIBSSH2_ALLOC_FUNC((*)), LIBSSH2_FREE_FUNC((*)), LIBSSH2_REALLOC_FUNC((*)),
                                    void*);
    return real<Fn>("libssh2_session_init_ex")(alloc, free_, realloc_, abstract);
}
