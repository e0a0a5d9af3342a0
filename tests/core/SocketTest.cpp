// TCP and UDP classes against real peers on 127.0.0.1, on ports the system picked for the test.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/Clock.h"
#include "core/TCPClient.h"
#include "core/TCPServer.h"
#include "core/UDPClient.h"
#include "core/UDPServer.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string thrownBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "nothing thrown";
}

// Moves a descriptor above the range select() can watch, so only poll()-based code works on it.
bool moveAbove1023(int& fd)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1200) {
        if (limit.rlim_max < 1200)
            return false;
        limit.rlim_cur = 1200;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return false;
    }
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 1100);
    if (high < 0)
        return false;
    ::close(fd);
    fd = high;
    return true;
}

// A listener whose accept queue is full: further SYNs are dropped, so a connect never completes.
struct DeafPort
{
    int listener = -1;
    std::vector<int> queued;
    unsigned short port = 0;

    bool setUp()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener, 0) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return false;
        port = ntohs(addr.sin_port);
        for (int i = 0; i < 8; ++i) {
            const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            queued.push_back(s);
            ::connect(s, reinterpret_cast<sockaddr*>(&addr), len);
            pollfd p{s, POLLOUT, 0};
            if (poll(&p, 1, 200) == 0)
                return true;  // this one is left hanging: the queue is full
        }
        return false;
    }

    ~DeafPort()
    {
        for (int s : queued) ::close(s);
        if (listener >= 0)
            ::close(listener);
    }
};

class Tcp : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server.listen(0, "127.0.0.1");
        ASSERT_NE(server.port(), 0);
    }

    void TearDown() override
    {
        client.close();
        peer.close();
        server.close();
    }

    // Connects the client and accepts the far end into peer.
    void connectPair()
    {
        client.connect("127.0.0.1", server.port());
        server.setTimeout(2000);
        peer = server.accept();
        ASSERT_TRUE(peer.connected());
    }

    TCPServer server;
    TCPClient client;
    TCPClient peer;
};

TEST_F(Tcp, EchoServiceAnswersClient)
{
    client.setReadTimeout(2000);
    // Connected before the echo thread exists: a connect that throws must not leave a thread behind.
    client.connect("127.0.0.1", server.port());
    std::thread echo([this] {
        server.setTimeout(2000);
        TCPClient conn = server.accept();
        conn.setReadTimeout(50);  // a block read returns what came once the line goes quiet
        Bytes buf;
        while (conn.connected()) {
            buf.clear();
            if (conn.read(buf, 64) > 0)
                conn.write(buf);
        }
    });
    EXPECT_EQ(client.address(), "127.0.0.1");
    EXPECT_EQ(client.port(), server.port());

    const int fd = client.getNative();
    client.connect("127.0.0.1", server.port());  // same peer: the connection is kept
    EXPECT_EQ(client.getNative(), fd);

    const Bytes hello{'h', 'e', 'l', 'l', 'o', 0x00, 0xFF};
    EXPECT_EQ(client.write(hello), 7);
    Bytes got;
    while (got.size() < hello.size() &&
           client.read(got, static_cast<unsigned>(hello.size() - got.size())) > 0) {
    }
    EXPECT_EQ(got, hello);

    EXPECT_EQ(client.write(0x42), 1);
    EXPECT_EQ(client.read(), 0x42);
    EXPECT_TRUE(client.available(0) == false);
    client.close();
    echo.join();
}

TEST_F(Tcp, BytesBeforeThePeersCloseAreDelivered)
{
    connectPair();
    std::thread closer([this] {
        EXPECT_EQ(peer.write(Bytes{1, 2, 3, 4}), 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader is inside recv
        peer.close();
    });
    Bytes data{0xAA};  // read appends
    EXPECT_EQ(client.read(data, 10), 4);
    closer.join();
    EXPECT_EQ(data, (Bytes{0xAA, 1, 2, 3, 4}));
    EXPECT_TRUE(client.available(1000));  // the close itself is waiting
    EXPECT_EQ(client.read(data, 10), -1);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(data.size(), 5u);
    EXPECT_EQ(client.read(), -1);
    EXPECT_EQ(client.write(Bytes{1}), -1);
}

TEST_F(Tcp, ReadTimeOutIsNotALostConnection)
{
    client.setReadTimeout(300);
    connectPair();
    double start = Clock::monotonicMillis();
    EXPECT_EQ(client.read(), -1);
    EXPECT_GE(Clock::elapsedMonotonicMillis(start), 250.0);
    EXPECT_TRUE(client.connected());

    EXPECT_EQ(peer.write(Bytes{9, 8, 7, 6}), 4);
    Bytes data;
    EXPECT_EQ(client.read(data, 10), 4);
    EXPECT_EQ(data, (Bytes{9, 8, 7, 6}));
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.read(data, 10), 0);
    EXPECT_EQ(client.read(data, 0), 0);
    EXPECT_FALSE(client.available(100));

    peer.close();
    EXPECT_EQ(client.read(), -1);
    EXPECT_FALSE(client.connected());
}

TEST_F(Tcp, WritingToAClosedPeerFailsWithoutKillingTheProcess)
{
    connectPair();
    peer.close();
    const Bytes block(65536, 0x55);
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) result = client.write(block);
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.write(0x01), -1);
}

TEST_F(Tcp, KeepAliveSettingsWaitForTheNextConnect)
{
    EXPECT_FALSE(client.keepAlive());
    EXPECT_EQ(client.keepAliveTime(), 7200);
    EXPECT_EQ(client.keepAliveInterval(), 75);
    EXPECT_EQ(client.keepAliveProbes(), 9);
    client.setKeepAlive(true);
    client.setKeepAliveTime(60);
    client.setKeepAliveInterval(5);
    client.setKeepAliveProbes(3);
    client.setWriteTimeout(1500);
    connectPair();

    const int fd = client.getNative();
    int value = 0;
    socklen_t len = sizeof value;
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &len);
    EXPECT_EQ(value, 1);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &len);
    EXPECT_EQ(value, 60);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &value, &len);
    EXPECT_EQ(value, 5);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &value, &len);
    EXPECT_EQ(value, 3);
    timeval tv{};
    len = sizeof tv;
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 500000);

    // On an open socket a change applies at once.
    client.setKeepAliveTime(120);
    len = sizeof value;
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &len);
    EXPECT_EQ(value, 120);
}

TEST_F(Tcp, ConnectFailuresAreExceptionsWithClearTexts)
{
    // Bound but not listening: the connection is refused.
    const int bound = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&addr), len), 0);
    getsockname(bound, reinterpret_cast<sockaddr*>(&addr), &len);
    client.setConnectTimeout(3000);
    EXPECT_EQ(thrownBy([&] { client.connect("127.0.0.1", ntohs(addr.sin_port)); }), strerror(ECONNREFUSED));
    EXPECT_FALSE(client.connected());
    client.setConnectTimeout(0);
    EXPECT_EQ(thrownBy([&] { client.connect("127.0.0.1", ntohs(addr.sin_port)); }), strerror(ECONNREFUSED));
    ::close(bound);

    const std::string unknown = thrownBy([&] { client.connect("bad host name", 80); });
    EXPECT_NE(unknown.find("bad host name"), std::string::npos) << unknown;
    EXPECT_FALSE(client.connected());
}

TEST_F(Tcp, ConnectToAPortThatNeverAnswersTimesOut)
{
    DeafPort deaf;
    ASSERT_TRUE(deaf.setUp());
    client.setConnectTimeout(400);
    const double start = Clock::monotonicMillis();
    EXPECT_EQ(thrownBy([&] { client.connect("127.0.0.1", deaf.port); }), "Connect timeout");
    const double took = Clock::elapsedMonotonicMillis(start);
    EXPECT_GE(took, 350.0);
    EXPECT_LT(took, 5000.0);
    EXPECT_FALSE(client.connected());
}

TEST_F(Tcp, AcceptTimeOutKeepsListening)
{
    server.setTimeout(200);
    TCPClient none = server.accept();
    EXPECT_FALSE(none.connected());
    EXPECT_TRUE(server.listening());
    connectPair();
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(client.getNative(), reinterpret_cast<sockaddr*>(&local), &len);
    EXPECT_EQ(peer.port(), ntohs(local.sin_port));
    EXPECT_EQ(peer.address(), "127.0.0.1");
}

TEST_F(Tcp, DescriptorsAbove1023AreServed)
{
    if (!moveAbove1023(server.getNative()))
        GTEST_SKIP() << "cannot open descriptors above 1023 here";
    server.setTimeout(2000);
    client.connect("127.0.0.1", server.port());
    peer = server.accept();
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(moveAbove1023(client.getNative()));
    EXPECT_FALSE(client.available(50));
    EXPECT_EQ(peer.write(Bytes{5}), 1);
    EXPECT_TRUE(client.available(2000));
    EXPECT_EQ(client.read(), 5);
}

TEST(Udp, LongDatagramIsCutToMaxSize)
{
    UDPServer server;
    ASSERT_TRUE(server.listen(0, "127.0.0.1")) << server.error();
    UDPClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", server.port())) << client.error();
    EXPECT_EQ(client.address(), "127.0.0.1");

    Bytes datagram(300);
    for (size_t i = 0; i < datagram.size(); ++i) datagram[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(client.send(datagram)) << client.error();
    ASSERT_TRUE(client.send(Bytes{0xC0, 0xDE}));

    ASSERT_TRUE(server.available(2000));
    Bytes data{1, 2, 3};
    std::string from;
    unsigned short fromPort = 0;
    ASSERT_TRUE(server.receive(data, from, fromPort, 256)) << server.error();
    EXPECT_EQ(data, Bytes(datagram.begin(), datagram.begin() + 256));
    EXPECT_EQ(from, "127.0.0.1");
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(client.getNative(), reinterpret_cast<sockaddr*>(&local), &len);
    EXPECT_EQ(fromPort, ntohs(local.sin_port));

    // The cut-off tail does not leak into the next datagram.
    ASSERT_TRUE(server.receive(data, from, fromPort, 256));
    EXPECT_EQ(data, (Bytes{0xC0, 0xDE}));
    EXPECT_FALSE(server.available(100));
}

TEST(Udp, FailuresAreFalseWithAnErrorText)
{
    UDPClient never;
    EXPECT_FALSE(never.send(Bytes{1}));
    EXPECT_EQ(std::string(never.error()), std::string("(9) ") + strerror(EBADF));

    UDPClient unknown;
    EXPECT_FALSE(unknown.connect("bad host name", 9));
    EXPECT_NE(std::string(unknown.error()).find("bad host name"), std::string::npos);
    EXPECT_FALSE(unknown.connected());

    UDPServer first;
    ASSERT_TRUE(first.listen(0, "127.0.0.1"));
    UDPServer bad;
    EXPECT_FALSE(bad.listen(0, "bad host name"));
    EXPECT_STRNE(bad.error(), "");
    EXPECT_FALSE(bad.available(0));
    Bytes data;
    std::string from;
    unsigned short port = 0;
    EXPECT_FALSE(bad.receive(data, from, port, 16));
    EXPECT_EQ(std::string(bad.error()), std::string("(9) ") + strerror(EBADF));
}

}  // namespace
