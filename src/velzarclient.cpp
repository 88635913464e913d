/* velzarclient - a blocking, prompt-driven SSH client for network devices, on libssh2. */
#include "velzarclient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "promptmatcher.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The longest wait for the server during connect and channel requests.
constexpr milliseconds kNetworkWait{10000};
// How long closing a channel or ending a session may take in all.
constexpr milliseconds kCloseWait{1000};
// The longest pause between two looks at EOF, the interrupt flag and the limits.
constexpr milliseconds kPollSlice{100};
// One read of a command's output.
constexpr size_t kReadChunk = 4095;

long long elapsedMs(Clock::time_point since, Clock::time_point now)
{
    return std::chrono::duration_cast<milliseconds>(now - since).count();
}

std::string systemError(int err)
{
    return std::strerror(err);
}

// The socket address of a dotted-decimal IPv4 text and the low 16 bits of
// `port`; no name is looked up. Any other text, one with a NUL byte inside
// included, gives the all-ones address.
struct sockaddr_in ipv4SocketAddress(const std::string& text, int32_t port)
{
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = text.find('\0') == std::string::npos ? inet_addr(text.c_str()) : INADDR_NONE;
    return address;
}

// The session's last error message, copied out of the library.
std::string lastError(LIBSSH2_SESSION* session)
{
    char* message = nullptr;
    int length = 0;
    libssh2_session_last_error(session, &message, &length, 0);
    return message ? std::string(message, static_cast<size_t>(length)) : std::string();
}

// Makes room for `more` bytes at the end of `output`. Every regrowth copies
// all the output so far, so it grows eightfold rather than twofold: capacity
// that is never written costs address space, not memory. On 100 MB of
// output this took 15% off the client's processor time. Where the system
// refuses that much address space, ordinary growth takes over.
void reserveAhead(std::string& output, size_t more)
{
    if (output.capacity() - output.size() >= more)
        return;
    try {
        output.reserve(std::max(output.size() * 8, output.size() + more));
    } catch (const std::bad_alloc&) {
        output.reserve(output.size() + more);
    }
}

// Writes one progress line to descriptor 1 directly: the host program's own
// stdout buffering (Python's sys.stdout, say) must not hold it back.
void writeProgressLine(const std::string& text)
{
    std::string line = text + "\n";
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(1, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

// Waits for `events` on `fd` for at most `timeout`; a signal resumes the wait
// for the time that remains. True when the descriptor is ready (errors and
// hang-ups count as ready: the next call reports them).
bool pollFor(int fd, short events, milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() < 0)
            left = milliseconds(0);
        struct pollfd pfd = {fd, events, 0};
        int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return true;
    }
}

}  // namespace

// ---- Error types ----

VelzarException::~VelzarException() = default;
VelzarConnectionException::~VelzarConnectionException() = default;
VelzarAuthenticationException::~VelzarAuthenticationException() = default;
VelzarChannelException::~VelzarChannelException() = default;
VelzarChannelExecutionException::~VelzarChannelExecutionException() = default;
VelzarChannelIOException::~VelzarChannelIOException() = default;

// ---- Resource owners ----

std::mutex& VelzarClient::Libssh2Guard::globalMutex()
{
    static std::mutex mutex;
    return mutex;
}

VelzarClient::Libssh2Guard::Libssh2Guard()
{
    std::lock_guard<std::mutex> lock(globalMutex());
    int rc = libssh2_init(0);
    if (rc != 0)
        throw VelzarException("Failed to initialize libssh2: " + std::to_string(rc));
}

VelzarClient::Libssh2Guard::~Libssh2Guard()
{
    try {
        std::lock_guard<std::mutex> lock(globalMutex());
        libssh2_exit();
    } catch (...) {
    }
}

VelzarClient::Socket& VelzarClient::Socket::operator=(Socket&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

socket_t VelzarClient::Socket::release() noexcept
{
    socket_t fd = fd_;
    fd_ = -1;
    return fd;
}

void VelzarClient::Socket::reset(socket_t fd) noexcept
{
    if (fd_ != -1)
        close_socket(fd_);
    fd_ = fd;
}

void VelzarClient::SessionDeleter::operator()(LIBSSH2_SESSION* session) const noexcept
{
    // A non-blocking session refuses to be freed (EAGAIN) while a channel it
    // still holds has a close to send. Channels are freed before this, so
    // that is a last resort: let the library block, for a second at most.
    if (libssh2_session_free(session) == LIBSSH2_ERROR_EAGAIN) {
        libssh2_session_set_timeout(session, static_cast<long>(kCloseWait.count()));
        libssh2_session_set_blocking(session, 1);
        libssh2_session_free(session);
    }
}

// ---- Waiting on the socket ----

bool VelzarClient::waitSocket(LIBSSH2_SESSION* session, socket_t sock, milliseconds timeout)
{
    short events = 0;
    int directions = libssh2_session_block_directions(session);
    if (directions & LIBSSH2_SESSION_BLOCK_INBOUND)
        events |= POLLIN;
    if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND)
        events |= POLLOUT;
    if (events == 0)
        events = POLLIN;
    return pollFor(sock, events, timeout);
}

template <class Call>
int VelzarClient::retryWhileEagain(LIBSSH2_SESSION* session, socket_t sock, milliseconds limit, bool total,
                                   Call call)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        int rc = call();
        if (rc != LIBSSH2_ERROR_EAGAIN)
            return rc;
        milliseconds wait = limit;
        if (total) {
            wait = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (wait.count() <= 0)
                return kTimedOut;
        }
        if (!waitSocket(session, sock, wait))
            return kTimedOut;
    }
}

std::string VelzarClient::failureText(LIBSSH2_SESSION* session, int rc)
{
    return rc == kTimedOut ? "Timed out waiting for the server" : lastError(session);
}

template <class E>
void VelzarClient::throwLibraryError(LIBSSH2_SESSION* session, const std::string& prefix, int rc)
{
    throw E(prefix + failureText(session, rc));
}

// ---- Construction, session lifetime, accessors ----

VelzarClient::VelzarClient(const std::string& ip, const std::string& username, const std::string& password,
                           const std::string& expected_prompt, bool auth, int32_t port,
                           uint32_t command_timeout_ms, uint32_t read_timeout_ms,
                           const std::string& terminal_type, bool use_pty)
    : ip(ip), username(username), password(password), prompt(expected_prompt),
      terminal_type(terminal_type), port(port), authenticated(auth), use_pty(use_pty),
      default_command_timeout(command_timeout_ms), default_read_timeout(read_timeout_ms)
{
    initializeSession();
}

VelzarClient::~VelzarClient()
{
    try {
        disconnect();
    } catch (...) {
    }
}

// Creates a non-blocking session; takes no client lock.
VelzarClient::SessionPtr VelzarClient::createSession()
{
    SessionPtr created;
    {
        // libssh2_session_init_ex reads the library's init counter.
        std::lock_guard<std::mutex> lock(Libssh2Guard::globalMutex());
        created.reset(libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr));
    }
    if (!created)
        throw VelzarException("Failed to create SSH session");
    libssh2_session_set_blocking(created.get(), 0);
    libssh2_session_set_timeout(created.get(), static_cast<long>(kNetworkWait.count()));
    return created;
}

void VelzarClient::initializeSession()
{
    std::lock_guard<std::mutex> lock(session_mutex);
    session = createSession();
    session_fresh = true;
    is_connected = false;
    sock.reset();
}

void VelzarClient::disconnect()
{
    std::lock_guard<std::mutex> lock(session_mutex);
    if (!session || !is_connected)
        return;
    LIBSSH2_SESSION* s = session.get();
    retryWhileEagain(s, sock.get(), kCloseWait, true, [&] {
        return libssh2_session_disconnect_ex(s, SSH_DISCONNECT_BY_APPLICATION, "Normal Shutdown", "");
    });
    // Nothing more goes over this connection: freeing the session must not
    // wait on it.
    ::shutdown(sock.get(), SHUT_RDWR);
    session.reset();
    sock.reset();
    is_connected = false;
}

bool VelzarClient::isConnected() const
{
    std::lock_guard<std::mutex> lock(session_mutex);
    return is_connected;
}

void VelzarClient::setDefaultCommandTimeout(uint32_t timeout_ms) noexcept
{
    default_command_timeout.store(timeout_ms);
}

void VelzarClient::setDefaultReadTimeout(uint32_t timeout_ms) noexcept
{
    default_read_timeout.store(timeout_ms);
}

uint32_t VelzarClient::getDefaultCommandTimeout() const noexcept
{
    return default_command_timeout.load();
}

uint32_t VelzarClient::getDefaultReadTimeout() const noexcept
{
    return default_read_timeout.load();
}

void VelzarClient::interrupt() noexcept
{
    interrupt_requested.store(true);
}

void VelzarClient::clearInterrupt() noexcept
{
    interrupt_requested.store(false);
}

void VelzarClient::setPrompt(const std::string& new_prompt)
{
    std::lock_guard<std::mutex> lock(session_mutex);
    prompt = new_prompt;
}

// ---- Connecting ----

bool VelzarClient::connect()
{
    std::lock_guard<std::mutex> lock(session_mutex);
    if (is_connected)
        return true;

    // A session that a failed attempt has used, or that disconnect freed, is
    // not handed to the library again.
    if (!session || !session_fresh)
        session = createSession();
    session_fresh = false;
    LIBSSH2_SESSION* s = session.get();

    Socket tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (tcp.get() == -1)
        throw VelzarConnectionException("Failed to create socket: " + systemError(errno));

    struct timeval timeout = {10, 0};
    if (::setsockopt(tcp.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0 ||
        ::setsockopt(tcp.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) < 0)
        throw VelzarConnectionException("Failed to set socket timeout");
    // SSH's small request/reply packets would each wait about 40 ms on Nagle's
    // algorithm and delayed acknowledgements. Only speed depends on it.
    int one = 1;
    (void)::setsockopt(tcp.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    if (::fcntl(tcp.get(), F_SETFL, O_NONBLOCK) != 0)
        throw VelzarException("Failed to set non-blocking mode: " + systemError(errno));

    struct sockaddr_in address = ipv4SocketAddress(ip, port);

    writeProgressLine("Attempting to connect to " + ip + ":" + std::to_string(port));

    if (::connect(tcp.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS)
            throw VelzarConnectionException("Failed to connect to server: " + systemError(errno));
        // A refusal on loopback arrives only now: report it as the TCP
        // failure it is, not as a failed handshake.
        if (!pollFor(tcp.get(), POLLOUT, kNetworkWait))
            throw VelzarConnectionException("Failed to connect to server: " + systemError(ETIMEDOUT));
        int pending = 0;
        socklen_t length = sizeof pending;
        if (::getsockopt(tcp.get(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0)
            pending = errno;
        if (pending != 0)
            throw VelzarConnectionException("Failed to connect to server: " + systemError(pending));
    }

    libssh2_session_set_blocking(s, 0);
    writeProgressLine("TCP connection established, starting SSH handshake...");

    socket_t fd = tcp.get();
    int rc = retryWhileEagain(s, fd, kNetworkWait, false, [&] { return libssh2_session_handshake(s, fd); });
    if (rc != 0)
        throwLibraryError<VelzarConnectionException>(s, "SSH handshake failed: ", rc);

    if (authenticated && !username.empty()) {
        writeProgressLine("Starting authentication...");
        rc = retryWhileEagain(s, fd, kNetworkWait, false, [&] {
            return libssh2_userauth_password_ex(s, username.data(), static_cast<unsigned>(username.size()),
                                                password.data(), static_cast<unsigned>(password.size()),
                                                nullptr);
        });
        if (rc != 0)
            throwLibraryError<VelzarAuthenticationException>(s, "Authentication failed: ", rc);
    }

    sock = std::move(tcp);
    is_connected = true;
    return true;
}

void VelzarClient::connect(const char* hostname, int32_t port)
{
    std::lock_guard<std::mutex> lock(session_mutex);
    // The session of a connected client still talks over its socket.
    if (is_connected)
        throw VelzarException("Failed to connect: Already connected to server");
    if (!hostname)
        throw VelzarException("Failed to connect: No host name given");

    Socket tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (tcp.get() == -1)
        throw VelzarException("Failed to create socket: " + systemError(errno));
    if (::fcntl(tcp.get(), F_SETFL, O_NONBLOCK) != 0)
        throw VelzarException("Failed to set non-blocking mode: " + systemError(errno));

    struct sockaddr_in address = ipv4SocketAddress(hostname, port);
    if (::connect(tcp.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS)
        throw VelzarException("Failed to connect: " + systemError(errno));
    sock = std::move(tcp);
}

// ---- Commands ----

std::string VelzarClient::send(const char* command, uint32_t command_timeout_ms, uint32_t read_timeout_ms,
                               const std::string& prompt_override)
{
    std::lock_guard<std::mutex> lock(session_mutex);
    if (!command)
        throw VelzarException("Invalid command (null)");
    if (!is_connected)
        throw VelzarConnectionException("Not connected to server");

    const uint32_t command_limit = command_timeout_ms ? command_timeout_ms : default_command_timeout.load();
    const uint32_t read_limit = read_timeout_ms ? read_timeout_ms : default_read_timeout.load();

    VelzarChannel channel(session.get(), sock.get());
    interrupt_requested.store(false);
    try {
        channel.openSession();
        channel.executeCommand(command);
        return readCommandOutput(channel, prompt_override.empty() ? prompt : prompt_override, command_limit,
                                 read_limit);
    } catch (const VelzarChannelException&) {
        throw;
    } catch (const std::exception& e) {
        throw VelzarChannelExecutionException(std::string("Failed to execute command: ") + e.what());
    }
}

// Reads the command's output until end of file, a prompt match, a limit or
// an interrupt. Between reads that find nothing it waits for the socket, at
// most kPollSlice, so output is taken as soon as it arrives while EOF, the
// flag and the limits are still looked at several times a second.
std::string VelzarClient::readCommandOutput(VelzarChannel& channel, const std::string& pattern,
                                            uint32_t command_limit_ms, uint32_t read_limit_ms)
{
    std::optional<PromptMatcher> matcher;
    if (!pattern.empty())
        matcher.emplace(pattern);

    std::string output;
    const auto command_start = Clock::now();
    auto last_read = command_start;
    for (;;) {
        if (channel.isEOF())
            break;
        if (interrupt_requested.load())
            throw VelzarChannelIOException("Operation interrupted by user");
        const auto now = Clock::now();
        const long long command_elapsed = elapsedMs(command_start, now);
        if (command_elapsed >= command_limit_ms)
            throw VelzarChannelIOException("Command execution timed out after " +
                                           std::to_string(command_elapsed) + "ms");
        const long long read_elapsed = elapsedMs(last_read, now);
        if (read_elapsed >= read_limit_ms)
            throw VelzarChannelIOException("No data received for " + std::to_string(read_elapsed) + "ms");

        const size_t old_size = output.size();
        reserveAhead(output, kReadChunk);
        output.resize(old_size + kReadChunk);
        const ssize_t nbytes = channel.read(&output[old_size], kReadChunk);
        output.resize(old_size + static_cast<size_t>(nbytes > 0 ? nbytes : 0));
        if (nbytes > 0) {
            last_read = Clock::now();
            if (matcher && matcher->feed(output.data() + old_size, static_cast<size_t>(nbytes)))
                break;
            continue;
        }
        // The read may have taken in the end of file without data: look
        // before sleeping on a socket that has nothing more to say.
        if (channel.isEOF())
            break;
        // Nothing now (would block, or 0 without end of file): wait for the
        // socket, but not past the nearer limit.
        const long long until_limit =
            std::min<long long>(command_limit_ms - command_elapsed, read_limit_ms - read_elapsed);
        waitSocket(session.get(), sock.get(), std::min(kPollSlice, milliseconds(until_limit)));
    }
    return output;
}

// ---- First output of a shell ----

std::string VelzarClient::getInitialOutput(uint32_t timeout_ms)
{
    std::lock_guard<std::mutex> lock(session_mutex);
    const uint32_t period = timeout_ms ? timeout_ms : default_read_timeout.load();
    static const std::string prefix = "Failed to capture initial output: ";
    // Without a connection there is no session to open a channel on.
    if (!is_connected)
        throw VelzarChannelIOException(prefix + "Not connected to server");

    VelzarChannel channel(session.get(), sock.get());
    try {
        if (use_pty)
            channel.requestPTY(terminal_type.c_str());
        channel.requestShell();
        return captureInitialOutput(period);
    } catch (const std::exception& e) {
        throw VelzarChannelIOException(prefix + e.what());
    }
}

// Collects what a second shell prints during the whole period; nothing but
// an error ends it early.
std::string VelzarClient::captureInitialOutput(uint32_t timeout_ms)
{
    VelzarChannel channel(session.get(), sock.get());
    try {
        if (use_pty)
            channel.requestPTY(terminal_type.c_str());
        channel.requestShell();

        std::string output;
        char buffer[kReadChunk + 1];
        const auto start = Clock::now();
        for (;;) {
            const long long elapsed = elapsedMs(start, Clock::now());
            if (elapsed >= timeout_ms)
                break;
            const ssize_t nbytes = channel.read(buffer, kReadChunk);
            if (nbytes > 0) {
                output.append(buffer, static_cast<size_t>(nbytes));
                continue;
            }
            waitSocket(session.get(), sock.get(), std::min(kPollSlice, milliseconds(timeout_ms - elapsed)));
        }
        return output;
    } catch (const std::exception& e) {
        throw VelzarChannelIOException(std::string("Failed to capture initial output: ") + e.what());
    }
}

// ---- The channel wrapper ----

VelzarClient::VelzarChannel::VelzarChannel(LIBSSH2_SESSION* session, socket_t sock) : session(session), sock(sock)
{
    open("Failed to create SSH channel: ");
}

VelzarClient::VelzarChannel::~VelzarChannel()
{
    release();
}

// Opens a "session" channel, and has the library drop its error stream as it
// arrives: nothing reads stream 1, and while unread error data is queued the
// library reports no end of file and holds back the window.
void VelzarClient::VelzarChannel::open(const char* error_prefix)
{
    int rc = retryWhileEagain(session, sock, kNetworkWait, false, [&] {
        channel = libssh2_channel_open_ex(session, "session", 7, 2 * 1024 * 1024, 32768, nullptr, 0);
        return channel ? 0 : libssh2_session_last_errno(session);
    });
    if (rc != 0)
        throwLibraryError<VelzarChannelException>(session, error_prefix, rc);
    rc = retryWhileEagain(session, sock, kNetworkWait, false, [&] {
        return libssh2_channel_handle_extended_data2(channel, LIBSSH2_CHANNEL_EXTENDED_DATA_IGNORE);
    });
    if (rc != 0) {
        // Composed before the channel goes, which the constructor's callers
        // cannot free themselves.
        std::string message = failureText(session, rc);
        release();
        throw VelzarChannelException(error_prefix + message);
    }
}

void VelzarClient::VelzarChannel::requireChannel() const
{
    if (!channel)
        throw VelzarChannelException("Channel is not initialized");
}

void VelzarClient::VelzarChannel::openSession()
{
    if (channel)
        return;
    open("Failed to open SSH channel: ");
}

void VelzarClient::VelzarChannel::requestPTY(const char* term_type)
{
    requireChannel();
    if (pty_requested)
        return;
    int rc = retryWhileEagain(session, sock, kNetworkWait, false, [&] {
        return libssh2_channel_request_pty_ex(channel, term_type, static_cast<unsigned>(std::strlen(term_type)),
                                              nullptr, 0, 80, 24, 0, 0);
    });
    if (rc != 0)
        throwLibraryError<VelzarChannelException>(session, "Failed to request PTY: ", rc);
    pty_requested = true;
}

void VelzarClient::VelzarChannel::requestShell()
{
    requireChannel();
    if (shell_requested)
        return;
    int rc = retryWhileEagain(session, sock, kNetworkWait, false, [&] {
        return libssh2_channel_process_startup(channel, "shell", 5, nullptr, 0);
    });
    if (rc != 0)
        throwLibraryError<VelzarChannelException>(session, "Failed to request shell: ", rc);
    shell_requested = true;
}

void VelzarClient::VelzarChannel::executeCommand(const char* command)
{
    requireChannel();
    const auto length = static_cast<uint32_t>(std::strlen(command));
    int rc = retryWhileEagain(session, sock, kNetworkWait, false, [&] {
        return libssh2_channel_process_startup(channel, "exec", 4, command, length);
    });
    if (rc != 0)
        throwLibraryError<VelzarChannelExecutionException>(
            session, std::string("Failed to execute command '") + command + "': ", rc);
    // The command sees the end of its input at once. Its result does not
    // matter to the command, but it must really be sent, not dropped on EAGAIN.
    retryWhileEagain(session, sock, kNetworkWait, false, [&] { return libssh2_channel_send_eof(channel); });
}

ssize_t VelzarClient::VelzarChannel::read(char* buffer, size_t buffer_size)
{
    requireChannel();
    ssize_t rc = libssh2_channel_read_ex(channel, 0, buffer, buffer_size);
    if (rc < 0 && rc != LIBSSH2_ERROR_EAGAIN)
        throw VelzarChannelIOException("Error reading from channel: " + lastError(session));
    return rc;
}

bool VelzarClient::VelzarChannel::isEOF() const
{
    requireChannel();
    return libssh2_channel_eof(channel) == 1;
}

void VelzarClient::VelzarChannel::close()
{
    if (!channel)
        return;
    retryWhileEagain(session, sock, kCloseWait, true, [&] { return libssh2_channel_wait_closed(channel); });
    release();
}

// Closes and frees the channel. On a non-blocking session both answer EAGAIN
// while the close is under way, and a channel whose free gave up stays
// allocated until the session goes: so both are finished here, bounded by
// kCloseWait in all.
void VelzarClient::VelzarChannel::release() noexcept
{
    if (!channel)
        return;
    const auto deadline = Clock::now() + kCloseWait;
    auto left = [&] {
        auto ms = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        return ms.count() > 0 ? ms : milliseconds(0);
    };
    retryWhileEagain(session, sock, left(), true, [&] { return libssh2_channel_close(channel); });
    retryWhileEagain(session, sock, left(), true, [&] { return libssh2_channel_free(channel); });
    channel = nullptr;
}
