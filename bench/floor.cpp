// velzar_floor: the plainest fast libssh2 client we can write, the yardstick velzar's figures are measured against.
//
//   velzar_floor [options] connect N          N x (TCP connect + handshake + password auth)
//   velzar_floor [options] echo N [CMD]       N round trips of CMD (default "echo hi") on one connection
//   velzar_floor [options] output CMD         one command, its stdout read to end of file
//   velzar_floor [options] prompt CMD SUFFIX  one command, read until the output ends with SUFFIX
//
// options: --port P (required), --user U, --password PW, --window BYTES (channel
// receive window; 0 = libssh2's default), --read-size BYTES (one read call).
// Only 127.0.0.1 is ever contacted. Output: one JSON object per line on stdout.

#include <libssh2.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Options {
    int port = 0;
    std::string user = "admin";
    std::string password = "secret";
    unsigned window = 0;
    size_t read_size = 1 << 20;
};

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// User + system CPU of this process, so the figure includes libssh2's crypto.
double cpu_seconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

// A JSON string literal; the only text we print is ASCII we made or error text.
std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

class Connection {
public:
    explicit Connection(const Options& options) : options_(options) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ~Connection()
    {
        if (session_) {
            if (authenticated_) {
                while (libssh2_session_disconnect(session_, "bye") == LIBSSH2_ERROR_EAGAIN)
                    wait();
            }
            libssh2_session_free(session_);
        }
        if (sock_ >= 0)
            ::close(sock_);
    }

    void open()
    {
        sock_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (sock_ < 0)
            fail("socket failed");
        int one = 1;
        // Small request/response packets must not sit in Nagle's queue.
        ::setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(options_.port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            fail("connect failed");

        session_ = libssh2_session_init();
        if (!session_)
            fail("libssh2_session_init failed");
        libssh2_session_set_blocking(session_, 0);
        retry([&] { return libssh2_session_handshake(session_, sock_); }, "handshake");
        retry([&] {
            return libssh2_userauth_password_ex(session_, options_.user.data(),
                                                static_cast<unsigned>(options_.user.size()),
                                                options_.password.data(),
                                                static_cast<unsigned>(options_.password.size()), nullptr);
        }, "password auth");
        authenticated_ = true;
    }

    // Runs one command on its own exec channel and appends its stdout to `out`.
    // With a suffix, stops as soon as the output ends with it; otherwise at EOF.
    void run(const std::string& command, std::string& out, const std::string& suffix = "")
    {
        LIBSSH2_CHANNEL* channel = nullptr;
        const unsigned window = options_.window ? options_.window : LIBSSH2_CHANNEL_WINDOW_DEFAULT;
        for (;;) {
            channel = libssh2_channel_open_ex(session_, "session", 7, window,
                                              LIBSSH2_CHANNEL_PACKET_DEFAULT, nullptr, 0);
            if (channel)
                break;
            if (libssh2_session_last_errno(session_) != LIBSSH2_ERROR_EAGAIN)
                fail("channel open: " + last_error());
            wait();
        }
        // stderr is not part of the figures; dropped data still reopens the window.
        retry([&] { return libssh2_channel_handle_extended_data2(channel, LIBSSH2_CHANNEL_EXTENDED_DATA_IGNORE); },
              "stderr mode");
        retry([&] {
            return libssh2_channel_process_startup(channel, "exec", 4, command.data(),
                                                   static_cast<unsigned>(command.size()));
        }, "exec");

        if (buffer_.size() < options_.read_size)
            buffer_.resize(options_.read_size);
        const size_t start = out.size();
        for (;;) {
            ssize_t n = libssh2_channel_read(channel, buffer_.data(), buffer_.size());
            if (n > 0) {
                out.append(buffer_.data(), static_cast<size_t>(n));
                if (!suffix.empty() && ends_with_suffix(out, start, static_cast<size_t>(n), suffix))
                    break;
                continue;
            }
            if (n == LIBSSH2_ERROR_EAGAIN) {
                wait();
                continue;
            }
            if (n < 0)
                fail("read: " + last_error());
            if (libssh2_channel_eof(channel))
                break;
        }
        // close() already waits for the server's CLOSE; wait_closed() refuses a
        // channel without EOF, which is the prompt case.
        retry([&] { return libssh2_channel_close(channel); }, "channel close");
        if (libssh2_channel_eof(channel))
            retry([&] { return libssh2_channel_wait_closed(channel); }, "channel wait closed");
        retry([&] { return libssh2_channel_free(channel); }, "channel free");
    }

private:
    // The suffix can only have appeared in the tail: look at the new bytes plus
    // the suffix length before them, never the whole output again.
    static bool ends_with_suffix(const std::string& out, size_t start, size_t added, const std::string& suffix)
    {
        if (out.size() - start < suffix.size())
            return false;
        size_t from = out.size() - added;
        from = from >= start + suffix.size() ? from - suffix.size() : start;
        const char* tail = out.data() + from;
        const size_t tail_len = out.size() - from;
        const void* hit = memmem(tail, tail_len, suffix.data(), suffix.size());
        return hit && static_cast<const char*>(hit) + suffix.size() == out.data() + out.size();
    }

    template <typename Step>
    void retry(Step step, const char* what)
    {
        for (;;) {
            int rc = step();
            if (rc == 0)
                return;
            if (rc != LIBSSH2_ERROR_EAGAIN)
                fail(std::string(what) + ": " + last_error());
            wait();
        }
    }

    // Sleeps in poll() on whatever libssh2 says it is blocked on.
    void wait()
    {
        const int directions = libssh2_session_block_directions(session_);
        struct pollfd pfd {};
        pfd.fd = sock_;
        if (directions & LIBSSH2_SESSION_BLOCK_INBOUND)
            pfd.events |= POLLIN;
        if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND)
            pfd.events |= POLLOUT;
        if (!pfd.events)
            pfd.events = POLLIN;
        if (::poll(&pfd, 1, 60000) == 0)
            fail("no progress for 60 s");
    }

    std::string last_error()
    {
        char* message = nullptr;
        libssh2_session_last_error(session_, &message, nullptr, 0);
        return message ? message : "unknown error";
    }

    const Options& options_;
    int sock_ = -1;
    LIBSSH2_SESSION* session_ = nullptr;
    bool authenticated_ = false;
    std::vector<char> buffer_;
};

int usage()
{
    std::fprintf(stderr,
                 "usage: velzar_floor --port P [--user U] [--password PW] [--window BYTES] [--read-size BYTES]\n"
                 "                    connect N | echo N [CMD] | output CMD | prompt CMD SUFFIX\n");
    return 2;
}

long count_arg(const char* text)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!end || *end || value < 1)
        fail(std::string("not a positive count: ") + text);
    return value;
}

int run(int argc, char** argv)
{
    Options options;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--port")
            options.port = static_cast<int>(count_arg(value));
        else if (name == "--user")
            options.user = value;
        else if (name == "--password")
            options.password = value;
        else if (name == "--window")
            options.window = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (name == "--read-size")
            options.read_size = static_cast<size_t>(count_arg(value));
        else
            return usage();
    }
    if (options.port == 0 || i >= argc)
        return usage();
    const std::string mode = argv[i++];
    const int rest = argc - i;

    if (mode == "connect" && rest == 1) {
        const long n = count_arg(argv[i]);
        for (long k = 0; k < n; ++k) {
            double t0 = now();
            {
                Connection connection(options);
                connection.open();
                std::printf("{\"mode\":\"connect\",\"i\":%ld,\"seconds\":%.9f}\n", k, now() - t0);
            }  // disconnect and free happen outside the measured time
        }
    } else if (mode == "echo" && (rest == 1 || rest == 2)) {
        const long n = count_arg(argv[i]);
        const std::string command = rest == 2 ? argv[i + 1] : "echo hi";
        Connection connection(options);
        connection.open();
        std::string out;
        for (long k = 0; k < n; ++k) {
            out.clear();
            double t0 = now();
            connection.run(command, out);
            std::printf("{\"mode\":\"echo\",\"i\":%ld,\"seconds\":%.9f,\"bytes\":%zu}\n", k, now() - t0, out.size());
        }
    } else if ((mode == "output" && rest == 1) || (mode == "prompt" && rest == 2)) {
        const std::string command = argv[i];
        const std::string suffix = mode == "prompt" ? argv[i + 1] : "";
        Connection connection(options);
        connection.open();
        std::string out;
        const double c0 = cpu_seconds();
        const double t0 = now();
        connection.run(command, out, suffix);
        const double seconds = now() - t0;
        const double cpu = cpu_seconds() - c0;
        const bool ended_with = suffix.empty() || (out.size() >= suffix.size() &&
                                out.compare(out.size() - suffix.size(), suffix.size(), suffix) == 0);
        std::printf("{\"mode\":%s,\"seconds\":%.9f,\"cpu\":%.6f,\"bytes\":%zu,\"suffix_found\":%s}\n",
                    quoted(mode).c_str(), seconds, cpu, out.size(), ended_with ? "true" : "false");
    } else {
        return usage();
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (libssh2_init(0) != 0) {
        std::fprintf(stderr, "velzar_floor: libssh2_init failed\n");
        return 1;
    }
    int rc = 1;
    try {
        rc = run(argc, argv);
    } catch (const std::exception& error) {
        std::printf("{\"error\":%s}\n", quoted(error.what()).c_str());
        std::fprintf(stderr, "velzar_floor: %s\n", error.what());
    }
    libssh2_exit();
    return rc;
}
