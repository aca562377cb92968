// The upstream answer reader (head, then a chunked or plain body) on
// arbitrary bytes from an upstream that then closes.
#include <cstdint>
#include <string>
#include <thread>

#include "test_support.h"
#include "upstream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    plat::socket_handle upstream;
    plat::socket_handle ours;
    if (!plat::stream_pair(upstream, ours)) return 0;
    plat::set_recv_timeout(ours.get(), 5000);
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::thread writer([&] {
        test::send_all(upstream.get(), input);
        upstream.reset();
    });
    std::string body = recv_answer(ours.get());
    // The body is made only of bytes that came after the head.
    if (body.size() > input.size()) __builtin_trap();
    ours.reset();
    writer.join();
    return 0;
}
