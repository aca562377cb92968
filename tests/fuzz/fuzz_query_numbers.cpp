// The wallet-log query numbers on arbitrary request targets.
#include <cstdint>
#include <string>

#include "dispatcher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path(reinterpret_cast<const char*>(data), size);
    wallet_log_query q = parse_wallet_log_query(path);
    if (q.lines < 1 || q.lines > 500) __builtin_trap();
    if (path.find("offset=") == std::string::npos && q.offset != -1) __builtin_trap();
    return 0;
}
