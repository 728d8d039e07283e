// The TA service on the loopback interface: accepted messages, junk, empty
// connections, floods and bursts of connections.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/ta_service.h"

namespace torvalen::broadcast {
namespace {

// A client connection; closed when destroyed.
FileDescriptor connect_to(uint16_t port) {
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return FileDescriptor();
    return fd;
}

struct TaRig {
    std::atomic<uint32_t> ta{0};
    TaService service{ta};
    uint16_t port = 0;

    TaRig() {
        TaServiceOptions o;
        o.port = 0;  // a free port
        o.loopback_only = true;
        o.timeout_ms = 200;
        EXPECT_TRUE(service.start(o));
        for (int i = 0; i < 5000 && service.bound_port() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        port = service.bound_port();
        EXPECT_NE(port, 0);
    }

    // Waits (bounded) until the service has handled `count` connections.
    bool wait_handled(uint64_t count) {
        for (int i = 0; i < 10000; ++i) {
            if (service.handled() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // One connection sending `bytes`, then closing; waits until it was handled.
    void send(const std::string& bytes) {
        const uint64_t before = service.handled();
        {
            FileDescriptor c = connect_to(port);
            ASSERT_TRUE(c.valid());
            if (!bytes.empty()) {
                ASSERT_EQ(::send(c.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
            }
            // Keep the connection open until the service has read and closed it.
            pollfd p{c.get(), POLLIN, 0};
            ::poll(&p, 1, 2000);
        }
        ASSERT_TRUE(wait_handled(before + 1));
    }
};

TEST(TaMessages, Interpretation) {
    const unsigned char one[] = {'1'}, zero[] = {'0'}, b1[] = {1}, b0[] = {0}, two[] = {'2'};
    EXPECT_EQ(ta_message_value(one, 1), 1);
    EXPECT_EQ(ta_message_value(zero, 1), 0);
    EXPECT_EQ(ta_message_value(b1, 1), 1);
    EXPECT_EQ(ta_message_value(b0, 1), 0);
    EXPECT_EQ(ta_message_value(two, 1), -1);
    const unsigned char four_on[] = {1, 9, 9, 9}, four_off[] = {0, 1, 1, 1}, four_junk[] = {2, 0, 0, 0};
    EXPECT_EQ(ta_message_value(four_on, 4), 1);
    EXPECT_EQ(ta_message_value(four_off, 4), 0);
    EXPECT_EQ(ta_message_value(four_junk, 4), -1);
    EXPECT_EQ(ta_message_value(four_on, 3), -1);
}

TEST(TaService, SwitchesTheFlag) {
    TaRig rig;
    rig.send("1");
    EXPECT_EQ(rig.ta.load(), 1u);
    rig.send("0");
    EXPECT_EQ(rig.ta.load(), 0u);
    rig.send(std::string(1, '\x01'));
    EXPECT_EQ(rig.ta.load(), 1u);
    rig.send(std::string("\x00\x07\x07\x07", 4));
    EXPECT_EQ(rig.ta.load(), 0u);
    rig.send(std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(rig.ta.load(), 1u);
    rig.send("2");
    EXPECT_EQ(rig.ta.load(), 1u);
    EXPECT_EQ(rig.service.accepted_messages(), 5u);
}

TEST(TaService, SurvivesJunkFloodsAndBursts) {
    TaRig rig;
    rig.send("1");
    ASSERT_EQ(rig.ta.load(), 1u);
    rig.send("junk that is not a message");
    rig.send("");  // connect and close at once
    rig.send("00");
    // A 1 MB flood: the service reads once and closes; the client sees a reset.
    {
        const uint64_t before = rig.service.handled();
        FileDescriptor c = connect_to(rig.port);
        ASSERT_TRUE(c.valid());
        const std::string block(64 * 1024, 'A');
        for (int i = 0; i < 16; ++i) {
            pollfd p{c.get(), POLLOUT, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            if (::send(c.get(), block.data(), block.size(), MSG_NOSIGNAL) < 0) break;
        }
        c.reset();
        ASSERT_TRUE(rig.wait_handled(before + 1));
    }
    // 200 rapid connections, half of them silent (closed before any data).
    const uint64_t before = rig.service.handled();
    for (int i = 0; i < 200; ++i) {
        FileDescriptor c = connect_to(rig.port);
        ASSERT_TRUE(c.valid()) << i;
        if (i % 2) ::send(c.get(), "x", 1, MSG_NOSIGNAL);
    }
    ASSERT_TRUE(rig.wait_handled(before + 200));
    EXPECT_EQ(rig.ta.load(), 1u);  // nothing of that changed the flag
    EXPECT_TRUE(rig.service.listening());
    rig.send("0");
    EXPECT_EQ(rig.ta.load(), 0u);
}

TEST(TaService, SilentConnectionTimesOutAndServiceStopsPromptly) {
    TaRig rig;
    FileDescriptor idle = connect_to(rig.port);
    ASSERT_TRUE(idle.valid());
    ASSERT_TRUE(rig.wait_handled(1));  // closed after the 200 ms time-out
    rig.send("1");
    EXPECT_EQ(rig.ta.load(), 1u);
    rig.service.stop();
    EXPECT_FALSE(rig.service.running());
    EXPECT_FALSE(connect_to(rig.port).valid());
}

TEST(TaService, RetriesWhileThePortIsTaken) {
    // Hold a port, start the service on it, free the port: the service binds on a retry.
    FileDescriptor holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder.get(), 1), 0);
    socklen_t size = sizeof a;
    ::getsockname(holder.get(), reinterpret_cast<sockaddr*>(&a), &size);
    const uint16_t port = ntohs(a.sin_port);
    std::atomic<uint32_t> ta{0};
    TaService service(ta);
    TaServiceOptions o;
    o.port = port;
    o.loopback_only = true;
    o.retry_ms = 50;
    ASSERT_TRUE(service.start(o));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_FALSE(service.listening());
    holder.reset();
    for (int i = 0; i < 5000 && !service.listening(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(service.listening());
}

}  // namespace
}  // namespace torvalen::broadcast
