// The platform layer on real sockets and files; the same expectations hold
// on POSIX and on Windows.
#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;

plat::socket_handle reusable_listener(std::uint16_t port)
{
    plat::socket_handle s(plat::tcp_socket());
    plat::set_listener_reuse(s.get());
    if (!plat::bind_ipv4(s.get(), "127.0.0.1", port) || !plat::listen_socket(s.get(), 8)) s.reset();
    return s;
}

TEST(ListenerReuse, APortHeldIsNotSharedButARestartBindsAtOnce)
{
    plat::socket_handle first = reusable_listener(0);
    ASSERT_TRUE(first.valid());
    std::uint16_t port = plat::local_port(first.get());
    // Another program with the same options must not share the port.
    EXPECT_FALSE(reusable_listener(port).valid());

    // Serve one connection, closing our end first as the server does, so
    // the port has a connection waiting out its close.
    {
        plat::socket_handle client = test::connect_loopback(port);
        plat::socket_handle served(plat::accept_client(first.get()));
        ASSERT_TRUE(served.valid());
    }
    first.reset();
    EXPECT_TRUE(reusable_listener(port).valid());
}

TEST(ReceiveTimeout, ASilentPeerEndsTheReceiveAsTimedOut)
{
    auto [client, server] = test::loopback_pair();
    plat::set_recv_timeout(server.get(), 200);
    char byte;
    auto start = std::chrono::steady_clock::now();
    long long n = plat::recv_some(server.get(), &byte, 1);
    const bool timed_out = plat::last_error_timed_out();
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(n, 0);
    EXPECT_TRUE(timed_out);
    // Milliseconds, not microseconds (seconds would run into the test's own limit).
    EXPECT_GE(waited, 150ms);
}

TEST(InterruptAccept, WakesAnAcceptBlockedOnAnotherThread)
{
    plat::socket_handle listener = test::listen_loopback();
    std::atomic<plat::socket_t> held{listener.get()};
    std::atomic<bool> returned{false};
    std::thread acceptor([&] {
        plat::socket_handle c(plat::accept_client(listener.get()));
        returned = true;
    });
    std::this_thread::sleep_for(100ms);  // let accept block; the test holds either way
    plat::interrupt_accept(held);
    acceptor.join();
    EXPECT_TRUE(returned);
    // Where the interrupt closed the listener it also cleared the handle;
    // where it did not, the owner still has it to close.
    if (held.load() == plat::invalid_socket) listener.release();
}

// Two threads hand a turn to each other, each waiting for the other's move.
// A wake-up lost between a waiter's check and its sleep stops the hand-over:
// the deadline reports it, and later wake-ups let both threads end.
TEST(WaitOnAtomic, NoWakeUpIsLostBetweenCheckAndSleep)
{
    constexpr std::uint32_t moves = 40000;
    std::atomic<std::uint32_t> turn{0};
    auto player = [&turn](std::uint32_t first) {
        for (std::uint32_t mine = first; mine < moves; mine += 2) {
            for (std::uint32_t seen = turn.load(); seen != mine; seen = turn.load())
                plat::wait_while_equal(turn, seen);
            // Moves a varying while later, so that the other thread is caught
            // at every point of its wait: spinning, checking, going to sleep.
            for (std::uint32_t spin = (mine * 2654435761u) >> 21; spin > 0; --spin)
                std::atomic_signal_fence(std::memory_order_seq_cst);
            turn.store(mine + 1);
            plat::wake_all(turn);
        }
    };
    std::thread a(player, 0);
    std::thread b(player, 1);
    auto both = std::async(std::launch::async, [&] {
        a.join();
        b.join();
    });
    if (both.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the hand-over stopped at move " << turn.load() << " of " << moves;
        while (both.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
            plat::wake_all(turn);
    }
    EXPECT_EQ(turn.load(), moves);
}

TEST(ListDirectory, VisitsEveryEntryAndMarksFolders)
{
    test::temp_dir dir;
    test::write_file(dir.path() / "wallet", "x");
    test::write_file(dir.path() / ".hidden", "x");
    std::filesystem::create_directory(dir.path() / "backup");

    std::vector<std::pair<std::string, bool>> seen;
    ASSERT_TRUE(plat::list_directory(
        dir.str(), [&](const std::string& name, bool is_dir) { seen.emplace_back(name, is_dir); }));
    // Enumeration order is the file system's own.
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{
                        {".", true}, {"..", true}, {".hidden", false}, {"backup", true}, {"wallet", false}}));

    auto never = [](const std::string&, bool) { ADD_FAILURE() << "no entry expected"; };
    EXPECT_FALSE(plat::list_directory((dir.path() / "missing").string(), never));
    EXPECT_FALSE(plat::list_directory((dir.path() / "wallet").string(), never));
}

TEST(Readable, FilesAndFoldersThatExist)
{
    test::temp_dir dir;
    test::write_file(dir.path() / "page.html", "x");
    EXPECT_TRUE(plat::readable((dir.path() / "page.html").string()));
    EXPECT_TRUE(plat::readable(dir.str()));
    EXPECT_FALSE(plat::readable((dir.path() / "missing.html").string()));
    // Paths are joined with '/' on every platform.
    EXPECT_TRUE(plat::readable(dir.str() + "/page.html"));
}

}  // namespace
