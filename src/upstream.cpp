#include "upstream.h"

std::string proxy_json_rpc(const std::string&, std::uint16_t, const std::string&) { return {}; }
std::string proxy_raw(const config&, const std::string&, const std::string&) { return {}; }
std::string recv_headers(plat::socket_t) { return {}; }
bool recv_exact(plat::socket_t, std::string&, std::uint64_t) { return false; }
std::string recv_chunked(plat::socket_t) { return {}; }
