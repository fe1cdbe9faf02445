#include "cryptoclient/tcpsocket.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace Talvek;
using Clock = std::chrono::steady_clock;

namespace {

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A connected pair on loopback: the client under test and its peer.
struct Loopback {
    TcpSocket listener;
    TcpSocket client;
    std::unique_ptr<TcpSocket> peer;

    explicit Loopback(const std::string& host = "127.0.0.1") {
        EXPECT_EQ(listener.create(), 0);
        EXPECT_EQ(listener.bind(host, 0), 0);
        EXPECT_EQ(listener.listen(4), 0);
        EXPECT_EQ(client.create(), 0);
        EXPECT_EQ(client.connect(host, listener.localPort()), 0);
        peer = listener.accept();
        EXPECT_TRUE(peer);
    }
};

uint16_t unusedPort() {
    TcpSocket s;
    s.create();
    s.bind("127.0.0.1", 0);
    return s.localPort();  // closed again when s goes
}

}  // namespace

TEST(TcpSocket, OperationsWithoutHandleFailWithNotSocket) {
    TcpSocket s;
    EXPECT_FALSE(s.isOpen());
    EXPECT_EQ(s.lastError(), 0);
    EXPECT_EQ(s.connect("127.0.0.1", 1), -1);
    EXPECT_EQ(s.lastError(), 10038);
    EXPECT_EQ(currentSocketError(), 10038);
    char b[4];
    setCurrentSocketError(0);
    EXPECT_EQ(s.receive(b, 4, 10), -1);
    EXPECT_EQ(s.receiveAll(b, 4, nullptr, 10), -1);
    EXPECT_EQ(s.send(b, 4, 10), -1);
    EXPECT_EQ(s.close(), -1);
    EXPECT_EQ(s.lastError(), 10038);
}

TEST(TcpSocket, CreateTwiceKeepsTheSocketAndCloseReleasesIt) {
    TcpSocket s;
    EXPECT_EQ(s.create(), 0);
    EXPECT_EQ(s.create(), 0);
    EXPECT_TRUE(s.isOpen());
    EXPECT_EQ(s.close(), 0);
    EXPECT_FALSE(s.isOpen());
}

TEST(TcpSocket, RefusedPortReadsConnectionRefused) {
    const uint16_t port = unusedPort();
    TcpSocket s;
    ASSERT_EQ(s.create(), 0);
    EXPECT_EQ(s.connect("127.0.0.1", port), -1);
    EXPECT_EQ(s.lastError(), 10061);
    EXPECT_STREQ(socketErrorText(currentSocketError()), "Connection refused");
}

TEST(TcpSocket, UnresolvableHostLeavesStoredErrorAndSetsHostNotFound) {
    TcpSocket s;
    ASSERT_EQ(s.create(), 0);
    EXPECT_EQ(s.connect("", 80), -1);
    EXPECT_EQ(currentSocketError(), 11001);
    EXPECT_EQ(s.lastError(), 0);
    // A resolver without network may answer "try again" instead.
    EXPECT_EQ(s.connect("no-such-host.invalid", 80), -1);
    EXPECT_TRUE(currentSocketError() == 11001 || currentSocketError() == 11002)
        << currentSocketError();
    EXPECT_EQ(s.lastError(), 0);
}

TEST(TcpSocket, NamesAndIpv6AddressesConnect) {
    {
        Loopback byName("127.0.0.1");
        TcpSocket named;
        ASSERT_EQ(named.create(), 0);
        EXPECT_EQ(named.connect("localhost", byName.listener.localPort()), 0)
            << socketErrorText(named.lastError());
    }
    TcpSocket probe;
    probe.create();
    if (probe.bind("::1", 0) != 0) GTEST_SKIP() << "no IPv6 loopback here";
    probe.close();
    // The client was created for IPv4 and follows the address family.
    Loopback v6("::1");
    std::string peer;
    EXPECT_EQ(v6.peer->peerAddress(peer), 0);
    EXPECT_EQ(peer, "::1");
}

TEST(TcpSocket, SilentPeerTimesOutAfterTheSlice) {
    Loopback l;
    char b[8];
    const auto start = Clock::now();
    EXPECT_EQ(l.client.receive(b, sizeof b, 200), 0);
    const auto ms = msSince(start);
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(l.client.waitReadable(50), 0);
}

TEST(TcpSocket, ClosedPeerIsAResetWhateverTheSystemSays) {
    Loopback l;
    l.peer->close();
    char b[8];
    setCurrentSocketError(0);
    EXPECT_EQ(l.client.receive(b, sizeof b, 200), -1);
    EXPECT_EQ(l.client.lastError(), 10054);
    EXPECT_EQ(currentSocketError(), 10054);
    EXPECT_EQ(l.client.receiveAll(b, sizeof b, nullptr, 200), -1);
}

TEST(TcpSocket, ReceiveAllGathersOneThenThreeBytes) {
    Loopback l;
    ASSERT_EQ(l.peer->send("a", 1, 200), 1);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        l.peer->send("bcd", 3, 200);
    });
    char b[5] = {};
    EXPECT_EQ(l.client.receiveAll(b, 4, nullptr, 200), 4);
    later.join();
    EXPECT_STREQ(b, "abcd");
}

TEST(TcpSocket, StopFlagEndsTheWaitWithZero) {
    Loopback l;
    ASSERT_EQ(l.peer->send("wxyz", 4, 200), 4);
    std::atomic<int32_t> stop{1};
    char b[5] = {};
    // Set before the call: nothing is taken from the line.
    EXPECT_EQ(l.client.receiveAll(b, 4, &stop, 200), 0);
    EXPECT_EQ(l.client.receive(b, 4, 200), 4);
    EXPECT_STREQ(b, "wxyz");

    // Set by another party while waiting: ends at the next slice.
    stop = 0;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        stop = 1;
    });
    const auto start = Clock::now();
    EXPECT_EQ(l.client.receiveAll(b, 4, &stop, 200), 0);
    setter.join();
    EXPECT_LT(msSince(start), 2000);
}

// The flag another thread raises to abandon the exchange ends a send that
// waits for room and a connect that waits for its handshake, each within a
// wait slice and with "Interrupted system call".
TEST(TcpSocket, StopFlagAbandonsAWaitingSendAndConnect) {
    const auto raiseLater = [](std::atomic<int32_t>& stop) {
        return std::thread([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            stop = 1;
        });
    };
    {
        Loopback l;
        std::atomic<int32_t> stop{0};
        l.client.setStopFlag(&stop);
        std::vector<char> big(64 << 20, 'x');
        std::thread setter = raiseLater(stop);
        const auto start = Clock::now();
        EXPECT_EQ(l.client.send(big.data(), static_cast<int32_t>(big.size()), 1000), -1);
        const int64_t ms = msSince(start);
        setter.join();
        EXPECT_EQ(l.client.lastError(), SocketCode::Interrupted);
        EXPECT_STREQ(socketErrorText(currentSocketError()), "Interrupted system call");
        EXPECT_LT(ms, 1500);
    }
    {
        // A listener whose queue is full drops further handshakes, so the
        // next connect waits as it would for a host that does not answer.
        TcpSocket full;
        ASSERT_EQ(full.create(), 0);
        ASSERT_EQ(full.bind("127.0.0.1", 0), 0);
        ASSERT_EQ(full.listen(0), 0);
        std::vector<std::unique_ptr<TcpSocket>> queued;
        for (int i = 0; i < 4; ++i) {
            queued.push_back(std::make_unique<TcpSocket>());
            queued.back()->create();
            queued.back()->setIdleLimit(300);
            queued.back()->connect("127.0.0.1", full.localPort());
        }
        TcpSocket probe;
        ASSERT_EQ(probe.create(), 0);
        std::atomic<int32_t> stop{0};
        probe.setStopFlag(&stop);
        std::thread setter = raiseLater(stop);
        const auto start = Clock::now();
        const int rc = probe.connect("127.0.0.1", full.localPort());
        const int64_t ms = msSince(start);
        setter.join();
        if (rc == 0) GTEST_SKIP() << "this kernel completes handshakes past the queue";
        EXPECT_EQ(probe.lastError(), SocketCode::Interrupted);
        EXPECT_GE(ms, 200);
        EXPECT_LT(ms, 1500);
    }
}

TEST(TcpSocket, IdleLimitEndsAReceiveOnASilentPeer) {
    Loopback l;
    l.client.setIdleLimit(400);
    ASSERT_EQ(l.peer->send("ab", 2, 200), 2);
    char b[4];
    const auto start = Clock::now();
    EXPECT_EQ(l.client.receiveAll(b, 4, nullptr, 200), -1);
    EXPECT_GE(msSince(start), 390);
    EXPECT_EQ(l.client.lastError(), 10060);
    EXPECT_STREQ(socketErrorText(currentSocketError()), "Connection timed out");
}

TEST(TcpSocket, SendToAPeerThatReadsNothingEndsAtTheIdleLimit) {
    Loopback l;
    l.client.setIdleLimit(400);
    std::vector<char> big(64 << 20, 'x');
    const auto start = Clock::now();
    EXPECT_EQ(l.client.send(big.data(), static_cast<int32_t>(big.size()), 200), -1);
    EXPECT_EQ(l.client.lastError(), 10060);
    EXPECT_LT(msSince(start), 5000);
}

TEST(TcpSocket, SendToAClosedPeerFailsWithoutSignal) {
    Loopback l;
    l.peer.reset();
    std::vector<char> chunk(1 << 20, 'x');
    int rc = 0;
    // The first sends may still land in the buffers; one fails soon.
    for (int i = 0; i < 64 && rc != -1; ++i)
        rc = l.client.send(chunk.data(), static_cast<int32_t>(chunk.size()), 200);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(l.client.lastError(), 10054);
}

TEST(TcpSocket, PeerAddressAndExactSend) {
    Loopback l;
    std::string address;
    EXPECT_EQ(l.client.peerAddress(address), 0);
    EXPECT_EQ(address, "127.0.0.1");
    std::vector<char> data(3 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    std::vector<char> got(data.size());
    std::thread reader([&] {
        EXPECT_EQ(l.peer->receiveAll(got.data(), static_cast<int32_t>(got.size()), nullptr, 200),
                  static_cast<int>(got.size()));
    });
    EXPECT_EQ(l.client.send(data.data(), static_cast<int32_t>(data.size()), 200),
              static_cast<int>(data.size()));
    reader.join();
    EXPECT_EQ(got, data);
}

TEST(SocketErrorText, TableAndErrnoMapping) {
    EXPECT_STREQ(socketErrorText(10061), "Connection refused");
    EXPECT_STREQ(socketErrorText(12345), "Unknown error.");
    EXPECT_STREQ(socketErrorText(0), "No error");
    EXPECT_STREQ(socketErrorText(10059), "Too many references, can't splice");
    EXPECT_STREQ(socketErrorText(11004), "Valid name, no data record of requested type");
    EXPECT_STREQ(socketErrorText(6), "Event object handle not valid");
    EXPECT_STREQ(socketErrorText(-1), "Unknown error.");

    EXPECT_EQ(socketCodeFromErrno(0), 0);
    EXPECT_EQ(socketCodeFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(socketCodeFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(socketCodeFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(socketCodeFromErrno(EPIPE), 10054);
    EXPECT_EQ(socketCodeFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(socketCodeFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(socketCodeFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(socketCodeFromErrno(EBADF), 10038);
    EXPECT_EQ(socketCodeFromErrno(ENOTSOCK), 10038);
    EXPECT_EQ(socketCodeFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(socketCodeFromErrno(EINPROGRESS), 10036);

    // Whatever the system reports, the message quotes a text of the table:
    // no errno maps to a code the table cannot word.
    for (int err = 1; err < 200; ++err) {
        const int32_t code = socketCodeFromErrno(err);
        EXPECT_STRNE(socketErrorText(code), "Unknown error.") << "errno " << err << " -> " << code;
    }
}

TEST(TcpSocket, CurrentErrorBelongsToTheThread) {
    setCurrentSocketError(10061);
    int32_t seen = -1;
    std::thread other([&] { seen = currentSocketError(); });
    other.join();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(currentSocketError(), 10061);
}
