// The request dispatcher: the route table, the static files and the log
// query numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config_and_request.h"
#include "platform.h"
#include "shared_limits.h"

// Serves one connection from the IPv4 address peer (host byte order):
// reads one request, answers it, closes the socket. Nothing escapes it; a
// failure ends this connection only.
void handle_client(plat::socket_handle client, std::uint32_t peer, const config& cfg, shared_limits& limits);

// The query numbers of the wallet-log route.
struct wallet_log_query {
    int lines = 30;
    long long offset = -1;  // a log may pass 2 GiB
};
wallet_log_query parse_wallet_log_query(const std::string& path);

// True when the last segment of a static path names a Windows device (CON,
// PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, in any case, with any
// extension): such a path is answered 404 at once on every platform.
bool names_a_device(std::string_view path);

// True when a request target may be mapped onto a file of the web folder:
// it starts with "/", holds no ".." and no NUL byte.
bool static_path_allowed(const std::string& path);

// The complete response for a static file request (200, 400 or 404).
std::string serve_static_file(const std::string& path, const config& cfg);
