#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "control/plain_port.h"

using namespace vm;

namespace {

// A local UDP socket playing the phone.
struct Client {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in agent{};

    explicit Client(uint16_t agentPort) {
        sockaddr_in me{};
        me.sin_family = AF_INET;
        me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me);
        agent.sin_family = AF_INET;
        agent.sin_port = htons(agentPort);
        agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Client() { ::close(fd); }
    void send(const Bytes& b) {
        ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&agent), sizeof agent);
    }
    uint16_t port() const {
        sockaddr_in a{};
        socklen_t l = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
        return ntohs(a.sin_port);
    }
    std::optional<std::string> receive(int ms) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return std::nullopt;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0) return std::nullopt;
        return std::string(buf, static_cast<size_t>(n));
    }
};

struct RunningPort {
    CtlInbox inbox;
    PlainPort port{inbox};
    std::thread loop;
    RunningPort() {
        EXPECT_TRUE(port.bind(0));
        loop = std::thread([this] { port.rawLoop(); });
    }
    ~RunningPort() {
        port.stop();
        loop.join();
    }
};

}  // namespace

TEST(PlainPort, BindsToAFreePortAndRefusesATakenOne) {
    CtlInbox inbox;
    PlainPort a(inbox);
    EXPECT_EQ(a.boundPort(), 0);
    ASSERT_TRUE(a.bind(0));
    ASSERT_NE(a.boundPort(), 0);
    PlainPort b(inbox);
    EXPECT_FALSE(b.bind(a.boundPort()));
}

TEST(PlainPort, LongDatagramIsCutTo2048BytesAndKeepsItsSource) {
    RunningPort rp;
    Client c(rp.port.boundPort());
    Bytes big(3000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>('a' + i % 26);
    c.send(big);

    auto m = rp.inbox.pop(5.0);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->bytes.size(), 2048u);
    EXPECT_TRUE(std::equal(m->bytes.begin(), m->bytes.end(), big.begin()));
    EXPECT_TRUE(m->plain);
    EXPECT_FALSE(m->loopback);
    EXPECT_EQ(m->peer, nullptr);
    ASSERT_EQ(m->fromLen, sizeof(sockaddr_in));
    const auto* from = reinterpret_cast<const sockaddr_in*>(&m->from);
    EXPECT_EQ(from->sin_family, AF_INET);
    EXPECT_EQ(ntohs(from->sin_port), c.port());
    EXPECT_EQ(ntohl(from->sin_addr.s_addr), INADDR_LOOPBACK);
}

TEST(PlainPort, AnswerReachesTheSenderFromTheBoundPort) {
    RunningPort rp;
    Client c(rp.port.boundPort());
    c.send(toBytes("PING\n"));
    auto m = rp.inbox.pop(5.0);
    ASSERT_TRUE(m);
    EXPECT_EQ(toString(m->bytes), "PING\n");

    rp.port.sendTo(m->from, m->fromLen, toBytes("PONG\n"));
    sockaddr_in src{};
    socklen_t sl = sizeof src;
    pollfd p{c.fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    char buf[64];
    ssize_t n = ::recvfrom(c.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&src), &sl);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, 5), "PONG\n");
    EXPECT_EQ(ntohs(src.sin_port), rp.port.boundPort());
}

TEST(PlainPort, EmptyDatagramIsIgnored) {
    RunningPort rp;
    Client c(rp.port.boundPort());
    c.send({});
    c.send(toBytes("KNOWN x"));
    auto m = rp.inbox.pop(5.0);
    ASSERT_TRUE(m);
    EXPECT_EQ(toString(m->bytes), "KNOWN x");
    // Nothing else is queued: the empty datagram left no message behind.
    EXPECT_EQ(rp.inbox.size(), 0u);
    EXPECT_FALSE(rp.inbox.pop(0.2));
}

TEST(PlainPort, SeveralSendersAreKeptApart) {
    RunningPort rp;
    Client a(rp.port.boundPort()), b(rp.port.boundPort());
    a.send(toBytes("PING"));
    auto ma = rp.inbox.pop(5.0);
    b.send(toBytes("PING"));
    auto mb = rp.inbox.pop(5.0);
    ASSERT_TRUE(ma && mb);
    rp.port.sendTo(mb->from, mb->fromLen, toBytes("to b"));
    rp.port.sendTo(ma->from, ma->fromLen, toBytes("to a"));
    EXPECT_EQ(a.receive(5000), "to a");
    EXPECT_EQ(b.receive(5000), "to b");
}

TEST(PlainPort, StopEndsTheLoopEvenWhenIdle) {
    CtlInbox inbox;
    PlainPort port(inbox);
    ASSERT_TRUE(port.bind(0));
    std::thread loop([&] { port.rawLoop(); });
    port.stop();
    loop.join();  // would hang if stop() did not wake the loop
    // The socket still sends after the loop ended.
    Client c(port.boundPort());
    sockaddr_storage to{};
    auto* sin = reinterpret_cast<sockaddr_in*>(&to);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(c.port());
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    port.sendTo(to, sizeof(sockaddr_in), toBytes("late"));
    EXPECT_EQ(c.receive(5000), "late");
}
