// The platform layer on Windows: Windows Sockets 2 and a few Win32 calls.
#include "platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, whose types it uses.
#include <iphlpapi.h>

#include <io.h>
#include <windows.h>
// After windows.h, which defines the types it uses.
#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <thread>

namespace plat {

namespace {

bool make_address(const std::string& host, std::uint16_t port, sockaddr_in& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    return inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1;
}

SOCKET native(socket_t s) { return static_cast<SOCKET>(s); }

socket_t ours(SOCKET s) { return s == INVALID_SOCKET ? invalid_socket : static_cast<socket_t>(s); }

bool set_option(socket_t s, int name, DWORD value)
{
    return setsockopt(native(s), SOL_SOCKET, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// Socket calls take an int length; one call never needs more.
int clamp_len(std::size_t len) { return static_cast<int>(len > 0x40000000u ? 0x40000000u : len); }

// Runs a socket call again while it reports an interruption.
template <typename Call>
int retry_interrupted(Call call)
{
    for (;;) {
        int n = call();
        if (n != SOCKET_ERROR || WSAGetLastError() != WSAEINTR) return n;
    }
}

}  // namespace

socket_library::socket_library()
{
    WSADATA data{};
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

socket_library::~socket_library()
{
    if (ok_) WSACleanup();
}

void close_socket(socket_t s) { closesocket(native(s)); }

bool last_error_timed_out()
{
    int err = WSAGetLastError();
    return err == WSAEWOULDBLOCK || err == WSAETIMEDOUT;
}

void print_socket_error(const char* label)
{
    // Winsock does not set errno, so perror would print the wrong reason.
    int err = WSAGetLastError();
    char text[512] = {0};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(err), 0, text, sizeof text, nullptr);
    std::size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = 0;
    if (n == 0) std::snprintf(text, sizeof text, "socket error %d", err);
    std::fprintf(stderr, "%s: %s\n", label, text);
}

socket_t tcp_socket() { return ours(::socket(AF_INET, SOCK_STREAM, 0)); }

bool is_ipv4_literal(const std::string& text)
{
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool is_ipv6_literal(const std::string& text)
{
    in6_addr a{};
    return inet_pton(AF_INET6, text.c_str(), &a) == 1;
}

bool connect_ipv4(socket_t s, const std::string& host, std::uint16_t port)
{
    sockaddr_in addr;
    // Refused before connecting anywhere, as on every platform.
    if (!make_address(host, port, addr)) return false;
    return ::connect(native(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool bind_ipv4(socket_t s, const std::string& host, std::uint16_t port)
{
    sockaddr_in addr;
    make_address(host, port, addr);
    return ::bind(native(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool listen_socket(socket_t s, int backlog) { return ::listen(native(s), backlog) == 0; }

socket_t accept_client(socket_t listener, std::uint32_t* peer)
{
    sockaddr_in addr{};
    int len = sizeof addr;
    socket_t c = ours(::accept(native(listener), reinterpret_cast<sockaddr*>(&addr), &len));
    if (c != invalid_socket && peer != nullptr)
        *peer = addr.sin_family == AF_INET ? ntohl(addr.sin_addr.s_addr) : 0;
    return c;
}

std::uint16_t local_port(socket_t s)
{
    sockaddr_in addr{};
    int len = sizeof addr;
    if (::getsockname(native(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

bool stream_pair(socket_handle& a, socket_handle& b)
{
    // No socketpair here: a loopback connection serves.
    socket_handle listener(tcp_socket());
    if (!listener.valid() || !bind_ipv4(listener.get(), "127.0.0.1", 0) || !listen_socket(listener.get(), 1))
        return false;
    socket_handle client(tcp_socket());
    if (!client.valid() || !connect_ipv4(client.get(), "127.0.0.1", local_port(listener.get()))) return false;
    socket_handle server(accept_client(listener.get()));
    if (!server.valid()) return false;
    a = std::move(client);
    b = std::move(server);
    return true;
}

long long send_some(socket_t s, const char* data, std::size_t len, bool)
{
    return retry_interrupted([&] { return ::send(native(s), data, clamp_len(len), 0); });
}

void shutdown_send(socket_t s) { ::shutdown(native(s), SD_SEND); }

long long recv_some(socket_t s, char* buf, std::size_t len)
{
    return retry_interrupted([&] { return ::recv(native(s), buf, clamp_len(len), 0); });
}

long long peek_some(socket_t s, char* buf, std::size_t len)
{
    return retry_interrupted([&] { return ::recv(native(s), buf, clamp_len(len), MSG_PEEK); });
}

bool send_head_and_file(socket_t s, std::string_view head, std::FILE* f, std::uint64_t count)
{
    // Without a file-to-socket call the file goes through a buffer; the head
    // goes out with the first block, so a small answer is one send.
    constexpr std::size_t block = 65536;
    if (!seek_file(f, 0, SEEK_SET)) return false;
    std::string buf(head);
    do {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count, block));
        std::size_t used = buf.size();
        buf.resize(used + want);
        std::size_t got = std::fread(buf.data() + used, 1, want, f);
        buf.resize(used + got);
        if (!send_all(s, buf)) return false;
        // The file is shorter now than the head says.
        if (got < want) return false;
        count -= got;
        buf.clear();
    } while (count > 0);
    return true;
}

bool set_recv_timeout(socket_t s, int ms) { return set_option(s, SO_RCVTIMEO, static_cast<DWORD>(ms)); }
bool set_send_timeout(socket_t s, int ms) { return set_option(s, SO_SNDTIMEO, static_cast<DWORD>(ms)); }
bool set_send_buffer(socket_t s, int bytes) { return set_option(s, SO_SNDBUF, static_cast<DWORD>(bytes)); }
bool set_recv_buffer(socket_t s, int bytes) { return set_option(s, SO_RCVBUF, static_cast<DWORD>(bytes)); }

bool set_listener_reuse(socket_t s)
{
    // SO_REUSEADDR here lets another program bind a port this server
    // already holds; the exclusive option keeps the port ours alone.
    return set_option(s, SO_EXCLUSIVEADDRUSE, 1);
}

void interrupt_accept(std::atomic<socket_t>& server_fd)
{
    // The handler runs on its own thread here; closing the listener is what
    // makes the blocked accept fail.
    socket_t fd = server_fd.exchange(invalid_socket);
    if (fd != invalid_socket) closesocket(native(fd));
}

bool readable(const std::string& path) { return _access(path.c_str(), 4) == 0; }

bool list_directory(const std::string& dir,
                    const std::function<void(const std::string& name, bool is_dir)>& visit)
{
    std::string pattern = dir + "\\*";
    WIN32_FIND_DATAA data;
    std::memset(&data, 0, sizeof data);
    HANDLE h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return false;
    do {
        visit(std::string(data.cFileName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileA(h, &data) != 0);
    FindClose(h);
    return true;
}

bool seek_file(std::FILE* f, long long offset, int whence) { return _fseeki64(f, offset, whence) == 0; }

long long tell_file(std::FILE* f) { return _ftelli64(f); }

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The atomic is read as the plain 32-bit word it holds.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

void wait_while_equal(const std::atomic<std::uint32_t>& value, std::uint32_t old)
{
    // WaitOnAddress may also return without a wake-up: check again.
    while (value.load(std::memory_order_acquire) == old)
        WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&value), &old, sizeof old, INFINITE);
}

void wake_all(std::atomic<std::uint32_t>& value) { WakeByAddressAll(&value); }

bool secure_random(unsigned char* buf, std::size_t len)
{
    return BCryptGenRandom(nullptr, buf, static_cast<ULONG>(len), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

namespace {

// The two algorithm providers, opened once: opening one costs far more than a hash.
struct hash_providers {
    BCRYPT_ALG_HANDLE md5 = nullptr;
    BCRYPT_ALG_HANDLE sha256 = nullptr;
    hash_providers()
    {
        if (BCryptOpenAlgorithmProvider(&md5, BCRYPT_MD5_ALGORITHM, nullptr, 0) < 0) md5 = nullptr;
        if (BCryptOpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) sha256 = nullptr;
    }
};

}  // namespace

std::string hash_bytes(hash_kind kind, std::string_view data)
{
    static const hash_providers providers;
    BCRYPT_ALG_HANDLE alg = kind == hash_kind::md5 ? providers.md5 : providers.sha256;
    if (alg == nullptr) return {};
    std::string out(kind == hash_kind::md5 ? 16 : 32, '\0');
    BCRYPT_HASH_HANDLE h = nullptr;
    // CNG keeps the hash object itself when given no buffer for it.
    if (BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0) < 0) return {};
    bool ok =
        BCryptHashData(h, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                       static_cast<ULONG>(data.size()), 0) >= 0 &&
        BCryptFinishHash(h, reinterpret_cast<PUCHAR>(out.data()), static_cast<ULONG>(out.size()), 0) >= 0;
    BCryptDestroyHash(h);
    return ok ? out : std::string();
}

bool readable_by_others(const std::string&) { return false; }

// Windows has no such limit on sockets.
void raise_open_file_limit() {}

stop_request_thread::stop_request_thread(void (*handler)(int))
{
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

stop_request_thread::~stop_request_thread() = default;

bool set_default_thread_stack(std::size_t)
{
    // A thread's stack is committed page by page as it is used here, so
    // the default reservation costs nothing to keep.
    return false;
}

std::string host_name()
{
    char buf[256] = {0};
    if (::gethostname(buf, sizeof buf) != 0) return std::string();
    buf[sizeof buf - 1] = 0;
    return std::string(buf);
}

std::vector<std::string> lan_ipv4_addresses()
{
    std::vector<std::string> found;
    // The adapters' list is asked for again while it grows between calls.
    ULONG size = 16384;
    std::vector<unsigned char> buf;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buf.resize(size);
        result = GetAdaptersAddresses(
            AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
            reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
    }
    if (result != NO_ERROR) return found;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a != nullptr; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (auto* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET) continue;
            const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
            if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
            char text[INET_ADDRSTRLEN] = {0};
            if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
            if (std::find(found.begin(), found.end(), text) == found.end()) found.emplace_back(text);
        }
    }
    return found;
}

std::string local_time_text(long long unix_seconds)
{
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm parts{};
    char text[32] = {0};
    if (localtime_s(&parts, &t) != 0) return std::string();
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

void console_utf8() { SetConsoleOutputCP(CP_UTF8); }

}  // namespace plat
