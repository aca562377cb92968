// A scripted fake upstream service: a loopback listener on port 0 that
// serves every connection on a thread of its own, records the exact
// request bytes and answers as scripted. Every wait has a deadline.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

namespace test {

// One step of a scripted answer.
struct step {
    enum class kind { send, pause, wait_gate };
    kind what = kind::send;
    std::string bytes;  // send: written whole
    int ms = 0;         // pause: how long
};
step send(std::string bytes);
step pause(int ms);
// Waits until the test opens the gate (or 10 s pass).
step wait_gate();

// What one connection does.
struct script {
    enum class ending {
        close,      // close normally after the steps
        hold_open,  // keep the connection until the peer closes it (or the fake stops)
    };
    // False: read nothing, wait until the request starts to arrive and
    // close at once with it unread, which makes the kernel send a reset.
    // Only a fixed script can skip the read (a responder needs the request).
    bool read_request = true;
    std::vector<step> steps;
    ending end = ending::close;
};
// Writes bytes at once and closes.
script answer(std::string bytes);
// Writes the pieces with a pause of ms between them, then closes.
script answer_in_pieces(const std::vector<std::string>& pieces, int ms);
// Reads the request and never answers.
script silence();
// Resets the connection as soon as the request starts to arrive.
script reset_at_once();

class fake_upstream {
public:
    // The script may depend on the request (its exact bytes).
    using responder = std::function<script(const std::string& request)>;

    explicit fake_upstream(script s);
    explicit fake_upstream(responder r);
    ~fake_upstream();
    fake_upstream(const fake_upstream&) = delete;
    fake_upstream& operator=(const fake_upstream&) = delete;

    std::uint16_t port() const { return port_; }
    // Connections accepted so far, in order of acceptance.
    std::size_t accepted() const { return accepted_.load(); }
    // The requests recorded so far, in the order they were complete.
    std::vector<std::string> requests() const;
    // Waits until n requests are recorded; false after 10 s.
    bool wait_requests(std::size_t n) const;
    void open_gate();
    // Gate steps that ended by their 10 s deadline rather than the gate.
    int gate_timeouts() const;

private:
    fake_upstream(std::shared_ptr<const script> fixed, responder r);
    void serve(plat::socket_handle c);
    void run(plat::socket_t c, const script& s);
    void hold(plat::socket_t c);
    bool wait_for_gate();
    void record(std::string request);

    // A fixed script is shared by all connections (it may hold a large answer).
    std::shared_ptr<const script> fixed_;
    responder responder_;
    plat::socket_handle listener_;
    std::atomic<plat::socket_t> listener_fd_{plat::invalid_socket};
    std::uint16_t port_ = 0;
    std::atomic<std::size_t> accepted_{0};
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> requests_;
    bool gate_open_ = false;
    int gate_timeouts_ = 0;
    std::vector<std::thread> threads_;
    std::thread accept_thread_;
};

}  // namespace test
