// The request reader on arbitrary bytes from a peer that then closes.
#include <cstdint>
#include <string>
#include <thread>

#include "http_message.h"
#include "test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    plat::socket_handle peer;
    plat::socket_handle server;
    if (!plat::stream_pair(peer, server)) return 0;
    plat::set_recv_timeout(server.get(), 5000);
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::thread writer([&] {
        test::send_all(peer.get(), input);
        peer.reset();
    });
    http_request req;
    if (parse_request(server.get(), req)) {
        // A body is kept only up to the bound (plus one receive).
        if (req.content_length > max_request_body || req.body.size() > input.size()) __builtin_trap();
    }
    // Closing our end ends a writer still blocked on a full buffer.
    server.reset();
    writer.join();
    return 0;
}
