/* velzarclient - a blocking, prompt-driven SSH client for network devices, on libssh2. */
#pragma once

#include <libssh2.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/types.h>

#include "platform.h"

// ---- Error types: every failure of the core is one of these ----

class VelzarException : public std::runtime_error {
public:
    explicit VelzarException(const std::string& message) : std::runtime_error(message) {}
    ~VelzarException() override;
};

class VelzarConnectionException : public VelzarException {
public:
    explicit VelzarConnectionException(const std::string& message) : VelzarException(message) {}
    ~VelzarConnectionException() override;
};

class VelzarAuthenticationException : public VelzarException {
public:
    explicit VelzarAuthenticationException(const std::string& message) : VelzarException(message) {}
    ~VelzarAuthenticationException() override;
};

class VelzarChannelException : public VelzarException {
public:
    explicit VelzarChannelException(const std::string& message) : VelzarException(message) {}
    ~VelzarChannelException() override;
};

class VelzarChannelExecutionException : public VelzarChannelException {
public:
    explicit VelzarChannelExecutionException(const std::string& message) : VelzarChannelException(message) {}
    ~VelzarChannelExecutionException() override;
};

class VelzarChannelIOException : public VelzarChannelException {
public:
    explicit VelzarChannelIOException(const std::string& message) : VelzarChannelException(message) {}
    ~VelzarChannelIOException() override;
};

// ---- The client ----

// One SSH connection to one device. Every operation that talks to the device
// holds the client's mutex for its whole run, so calls from several threads
// serialise; the default timeouts and the interrupt flag are atomics that any
// thread may touch at any time.
class VelzarClient {
public:
    VelzarClient(const std::string& ip, const std::string& username, const std::string& password,
                 const std::string& expected_prompt, bool auth, int32_t port,
                 uint32_t command_timeout_ms, uint32_t read_timeout_ms,
                 const std::string& terminal_type, bool use_pty);
    ~VelzarClient();
    VelzarClient(const VelzarClient&) = delete;
    VelzarClient& operator=(const VelzarClient&) = delete;

    void setDefaultCommandTimeout(uint32_t timeout_ms) noexcept;
    void setDefaultReadTimeout(uint32_t timeout_ms) noexcept;
    uint32_t getDefaultCommandTimeout() const noexcept;
    uint32_t getDefaultReadTimeout() const noexcept;

    // Runs one command on a fresh exec channel; returns its raw output, up to
    // end of file or up to and including the prompt. 0 timeouts mean the
    // defaults; an empty prompt_override means the client's prompt.
    std::string send(const char* command, uint32_t command_timeout_ms, uint32_t read_timeout_ms,
                     const std::string& prompt_override);

    void interrupt() noexcept;
    void clearInterrupt() noexcept;

    // TCP connect, SSH handshake and (when asked for) password authentication.
    bool connect();
    // Only starts a TCP connection to hostname:port; nothing in the library uses it.
    void connect(const char* hostname, int32_t port);
    void disconnect();
    bool isConnected() const;

    // What the device prints on a new interactive shell during timeout_ms.
    std::string getInitialOutput(uint32_t timeout_ms);
    void setPrompt(const std::string& new_prompt);

private:
    class VelzarChannel;

    // libssh2_init and libssh2_exit keep a plain counter and set up the
    // crypto back end globally: they are not thread-safe, so every call
    // goes through one process-wide mutex.
    class Libssh2Guard {
    public:
        Libssh2Guard();
        ~Libssh2Guard();
        Libssh2Guard(const Libssh2Guard&) = delete;
        Libssh2Guard& operator=(const Libssh2Guard&) = delete;
        static std::mutex& globalMutex();
    };

    // Owns one socket descriptor and closes it.
    class Socket {
    public:
        Socket() noexcept = default;
        explicit Socket(socket_t fd) noexcept : fd_(fd) {}
        ~Socket() { reset(); }
        Socket(Socket&& other) noexcept : fd_(other.release()) {}
        Socket& operator=(Socket&& other) noexcept;
        Socket(const Socket&) = delete;
        Socket& operator=(const Socket&) = delete;
        socket_t get() const noexcept { return fd_; }
        socket_t release() noexcept;
        void reset(socket_t fd = -1) noexcept;

    private:
        socket_t fd_ = -1;
    };

    struct SessionDeleter {
        void operator()(LIBSSH2_SESSION* session) const noexcept;
    };
    using SessionPtr = std::unique_ptr<LIBSSH2_SESSION, SessionDeleter>;

    // Waits for `sock` in the direction libssh2 last blocked on (reading when
    // it names none), at most `timeout`. Returns false when the time ran out
    // with the socket not ready. A signal does not cut the wait short: it
    // resumes for the time that remains. Uses poll(), so any descriptor
    // number works.
    static bool waitSocket(LIBSSH2_SESSION* session, socket_t sock, std::chrono::milliseconds timeout);

    // What retryWhileEagain returns when a wait ran out with nothing happening.
    static constexpr int kTimedOut = -100000;

    // Calls `call` until it answers something other than LIBSSH2_ERROR_EAGAIN,
    // waiting for the socket in between. With `total` false, gives up (returning
    // kTimedOut) when one wait of `limit` passes with the socket never ready;
    // with `total` true, when `limit` has passed since the first call.
    template <class Call>
    static int retryWhileEagain(LIBSSH2_SESSION* session, socket_t sock, std::chrono::milliseconds limit,
                                bool total, Call call);

    // What went wrong with a call that answered `rc`: the library's last
    // error, or the timeout's text for kTimedOut.
    static std::string failureText(LIBSSH2_SESSION* session, int rc);

    // Throws E with "prefix" + the library's last error (or the timeout's text
    // for kTimedOut), composed before anything is freed.
    template <class E>
    [[noreturn]] static void throwLibraryError(LIBSSH2_SESSION* session, const std::string& prefix, int rc);

    void initializeSession();
    SessionPtr createSession();
    std::string captureInitialOutput(uint32_t timeout_ms);
    std::string readCommandOutput(VelzarChannel& channel, const std::string& pattern,
                                  uint32_t command_limit_ms, uint32_t read_limit_ms);

    // Declared first so that the library is shut down after everything else.
    Libssh2Guard libssh2;
    mutable std::mutex session_mutex;
    std::string ip;
    std::string username;
    std::string password;
    std::string prompt;
    std::string terminal_type;
    // The socket is declared before the session so that the session is freed first.
    Socket sock;
    SessionPtr session;
    // Whether `session` has not been used by a connect attempt yet.
    bool session_fresh = false;
    int32_t port;
    bool authenticated;
    bool is_connected = false;
    bool use_pty;
    std::atomic<uint32_t> default_command_timeout;
    std::atomic<uint32_t> default_read_timeout;
    std::atomic<bool> interrupt_requested{false};
};

// One SSH "session" channel for the length of one operation.
class VelzarClient::VelzarChannel {
public:
    // Opens the channel at once; the session and socket are borrowed.
    explicit VelzarChannel(LIBSSH2_SESSION* session, socket_t sock);
    ~VelzarChannel();
    VelzarChannel(const VelzarChannel&) = delete;
    VelzarChannel& operator=(const VelzarChannel&) = delete;

    void openSession();
    void requestPTY(const char* term_type);
    void requestShell();
    void executeCommand(const char* command);
    // One read of the standard output that never waits: the byte count, or
    // LIBSSH2_ERROR_EAGAIN when nothing is there yet.
    ssize_t read(char* buffer, size_t buffer_size);
    bool isEOF() const;
    void close();
    LIBSSH2_CHANNEL* get() const noexcept { return channel; }
    operator LIBSSH2_CHANNEL*() const noexcept { return channel; }

private:
    void open(const char* error_prefix);
    void requireChannel() const;
    void release() noexcept;

    LIBSSH2_CHANNEL* channel = nullptr;
    LIBSSH2_SESSION* session;
    bool pty_requested = false;
    bool shell_requested = false;
    socket_t sock;
};
