/* test_client - the core client without a device: construction, accessors, errors, failed connects. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "velzarclient.h"

namespace {

// Open descriptors of this process.
int openDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

VelzarClient makeClient(int32_t port = 22)
{
    return VelzarClient("127.0.0.1", "user", "pass", "#", true, port, 2000, 2000, "vt100", true);
}

// A TCP listener on 127.0.0.1 with an ephemeral port. With `greeting`, each
// accepted connection gets it and is then closed; without, connections are
// accepted by the kernel and never answered.
class Listener {
public:
    explicit Listener(std::string greeting = "", bool answer = false) : greeting_(std::move(greeting))
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 16);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        if (answer)
            thread_ = std::thread([this] { serve(); });
    }
    ~Listener()
    {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    void serve()
    {
        while (!stop_) {
            int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0)
                return;
            (void)::write(client, greeting_.data(), greeting_.size());
            ::close(client);
        }
    }
    std::string greeting_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port on 127.0.0.1 that nothing listens on.
int closedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

template <class E>
std::string messageOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const E& error) {
        return error.what();
    }
    return "<no exception>";
}

}  // namespace

TEST(ErrorTypesTest, HierarchyAndMessages)
{
    static_assert(std::is_base_of<std::runtime_error, VelzarException>::value, "root");
    static_assert(std::is_base_of<VelzarException, VelzarConnectionException>::value, "connection");
    static_assert(std::is_base_of<VelzarException, VelzarAuthenticationException>::value, "authentication");
    static_assert(std::is_base_of<VelzarException, VelzarChannelException>::value, "channel");
    static_assert(std::is_base_of<VelzarChannelException, VelzarChannelExecutionException>::value, "execution");
    static_assert(std::is_base_of<VelzarChannelException, VelzarChannelIOException>::value, "io");
    static_assert(!std::is_convertible<std::string, VelzarException>::value, "explicit constructors");

    try {
        throw VelzarChannelIOException("No data received for 12ms");
    } catch (const VelzarChannelException& error) {
        EXPECT_STREQ(error.what(), "No data received for 12ms");
        VelzarChannelException copy = error;
        EXPECT_STREQ(copy.what(), "No data received for 12ms");
    }
    try {
        throw VelzarAuthenticationException("Authentication failed: x");
    } catch (const std::runtime_error& error) {
        EXPECT_NE(dynamic_cast<const VelzarException*>(&error), nullptr);
        EXPECT_EQ(dynamic_cast<const VelzarChannelException*>(&error), nullptr);
    }
}

TEST(ClientTest, ConstructionTouchesNoNetwork)
{
    const int before = openDescriptors();
    {
        VelzarClient client("", "", "", "", false, 0, 0, 0, "", false);
        EXPECT_EQ(client.getDefaultCommandTimeout(), 0u);
        EXPECT_EQ(client.getDefaultReadTimeout(), 0u);
        EXPECT_FALSE(client.isConnected());
        EXPECT_EQ(openDescriptors(), before);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(ClientTest, TimeoutAccessorsKeepEveryValue)
{
    VelzarClient client = makeClient();
    for (uint32_t value : {0u, 1u, 2000u, 2147483648u, 4294967295u}) {
        SCOPED_TRACE(value);
        client.setDefaultCommandTimeout(value);
        client.setDefaultReadTimeout(4294967295u - value);
        EXPECT_EQ(client.getDefaultCommandTimeout(), value);
        EXPECT_EQ(client.getDefaultReadTimeout(), 4294967295u - value);
    }
}

TEST(ClientTest, OperationsOnAClientThatNeverConnected)
{
    VelzarClient client = makeClient();
    client.disconnect();
    client.disconnect();
    EXPECT_FALSE(client.isConnected());
    client.interrupt();
    client.clearInterrupt();
    client.setPrompt("[");

    EXPECT_EQ(messageOf<VelzarConnectionException>([&] { client.send("show version", 0, 0, ""); }),
              "Not connected to server");
    // The null check comes first.
    EXPECT_EQ(messageOf<VelzarException>([&] { client.send(nullptr, 0, 0, ""); }), "Invalid command (null)");
    EXPECT_EQ(messageOf<VelzarChannelIOException>([&] { client.getInitialOutput(0); }),
              "Failed to capture initial output: Not connected to server");
}

TEST(ClientTest, ManyClientsInManyThreads)
{
    // libssh2's global set-up is counted: clients made and dropped at once
    // in several threads must keep it balanced.
    std::vector<std::thread> threads;
    std::atomic<int> made{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                VelzarClient client = makeClient();
                client.disconnect();
                ++made;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(made.load(), 800);
}

TEST(ConnectFailureTest, MessagesAndNoDescriptorLeaks)
{
    Listener silent_close("", true);
    Listener not_ssh("HTTP/1.1 400 Bad Request\r\n\r\n", true);
    const int refused = closedPort();

    struct Case {
        const char* name;
        int port;
        std::string prefix;
    } cases[] = {
        {"refused", refused, "Failed to connect to server: Connection refused"},
        {"closed at once", silent_close.port(), "SSH handshake failed: "},
        {"not an SSH server", not_ssh.port(), "SSH handshake failed: "},
    };
    const int before = openDescriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VelzarClient client = makeClient(c.port);
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::string message = messageOf<VelzarConnectionException>([&] { client.connect(); });
            EXPECT_EQ(message.compare(0, c.prefix.size(), c.prefix), 0) << message;
            EXPECT_FALSE(client.isConnected());
            EXPECT_EQ(openDescriptors(), before);
            client.disconnect();
        }
    }
}

TEST(ConnectFailureTest, LowLevelConnect)
{
    VelzarClient client = makeClient();
    EXPECT_EQ(messageOf<VelzarException>([&] { client.connect(nullptr, 22); }),
              "Failed to connect: No host name given");
    Listener listener;
    const int before = openDescriptors();
    client.connect("127.0.0.1", listener.port());
    client.connect("127.0.0.1", listener.port());  // replaces, and closes, the first socket
    EXPECT_EQ(openDescriptors(), before + 1);
    EXPECT_FALSE(client.isConnected());
}
