#include "platform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <io.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace plat {

namespace {

bool make_address(const std::string& host, std::uint16_t port, sockaddr_in& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    return inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1;
}

void set_int_option(socket_t s, int name, int value)
{
    setsockopt(s, SOL_SOCKET, name, reinterpret_cast<const char*>(&value), sizeof value);
}

void set_timeout_option(socket_t s, int name, int ms)
{
#ifdef _WIN32
    DWORD value = static_cast<DWORD>(ms);
    setsockopt(s, SOL_SOCKET, name, reinterpret_cast<const char*>(&value), sizeof value);
#else
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(s, SOL_SOCKET, name, &tv, sizeof tv);
#endif
}

// Socket calls take an int length on Windows; one call never needs more.
int clamp_len(std::size_t len) { return static_cast<int>(len > 0x40000000u ? 0x40000000u : len); }

}  // namespace

socket_handle& socket_handle::operator=(socket_handle&& o) noexcept
{
    if (this != &o) {
        reset();
        s_ = o.release();
    }
    return *this;
}

socket_t socket_handle::release()
{
    socket_t s = s_;
    s_ = invalid_socket;
    return s;
}

void socket_handle::reset()
{
    if (s_ != invalid_socket) close_socket(release());
}

#ifdef _WIN32

socket_library::socket_library()
{
    WSADATA data{};
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

socket_library::~socket_library()
{
    if (ok_) WSACleanup();
}

int last_socket_error() { return WSAGetLastError(); }

error_class classify_error(int err)
{
    if (err == WSAEINTR) return error_class::interrupted;
    if (err == WSAEWOULDBLOCK || err == WSAETIMEDOUT) return error_class::would_block_or_timed_out;
    return error_class::other;
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

void close_socket(socket_t s) { closesocket(static_cast<SOCKET>(s)); }

void set_listener_reuse(socket_t s)
{
    // SO_REUSEADDR on Windows lets another program bind a port this server
    // already holds; the exclusive option keeps the port ours alone.
    set_int_option(s, SO_EXCLUSIVEADDRUSE, 1);
}

void interrupt_accept(std::atomic<socket_t>& server_fd)
{
    // The handler runs on its own thread here; closing the listener is what
    // makes the blocked accept fail.
    socket_t fd = server_fd.exchange(invalid_socket);
    if (fd != invalid_socket) closesocket(static_cast<SOCKET>(fd));
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

void console_utf8() { SetConsoleOutputCP(CP_UTF8); }

bool stream_pair(socket_handle& a, socket_handle& b)
{
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

#else

socket_library::socket_library()
{
    signal(SIGPIPE, SIG_IGN);
    ok_ = true;
}

socket_library::~socket_library() = default;

int last_socket_error() { return errno; }

error_class classify_error(int err)
{
    if (err == EINTR) return error_class::interrupted;
    // A receive time-out set with SO_RCVTIMEO reports EAGAIN; ETIMEDOUT
    // means the connection itself died, so it is no reason to wait again.
    if (err == EAGAIN || err == EWOULDBLOCK) return error_class::would_block_or_timed_out;
    return error_class::other;
}

void print_socket_error(const char* label) { std::perror(label); }

void close_socket(socket_t s) { ::close(s); }

void set_listener_reuse(socket_t s) { set_int_option(s, SO_REUSEADDR, 1); }

void interrupt_accept(std::atomic<socket_t>& server_fd)
{
    // Closing a listener does not wake an accept blocked on another thread
    // here, and a closed number could be reused at once by a connection
    // thread. Shutting it down wakes accept and keeps the number ours.
    socket_t fd = server_fd.load();
    if (fd != invalid_socket) ::shutdown(fd, SHUT_RDWR);
}

bool readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

bool list_directory(const std::string& dir,
                    const std::function<void(const std::string& name, bool is_dir)>& visit)
{
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return false;
    while (dirent* e = ::readdir(d)) {
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            // Follow links, so a link to a folder counts as a folder.
            std::string full = dir + "/" + e->d_name;
            struct stat st {};
            is_dir = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        visit(std::string(e->d_name), is_dir);
    }
    ::closedir(d);
    return true;
}

bool seek_file(std::FILE* f, long long offset, int whence)
{
    return ::fseeko(f, static_cast<off_t>(offset), whence) == 0;
}

long long tell_file(std::FILE* f) { return static_cast<long long>(::ftello(f)); }

void console_utf8() {}

bool stream_pair(socket_handle& a, socket_handle& b)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
    a = socket_handle(fds[0]);
    b = socket_handle(fds[1]);
    return true;
}

#endif

socket_t tcp_socket()
{
    auto s = ::socket(AF_INET, SOCK_STREAM, 0);
#ifdef _WIN32
    return s == INVALID_SOCKET ? invalid_socket : static_cast<socket_t>(s);
#else
    return s < 0 ? invalid_socket : s;
#endif
}

bool is_ipv4_literal(const std::string& text)
{
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool connect_ipv4(socket_t s, const std::string& host, std::uint16_t port)
{
    sockaddr_in addr;
    // A failed conversion leaves 0.0.0.0, which reaches the local host on
    // Linux; refuse instead of connecting anywhere.
    if (!make_address(host, port, addr)) return false;
    return ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool bind_ipv4(socket_t s, const std::string& host, std::uint16_t port)
{
    sockaddr_in addr;
    make_address(host, port, addr);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool listen_socket(socket_t s, int backlog) { return ::listen(s, backlog) == 0; }

socket_t accept_client(socket_t listener)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    auto c = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &len);
#ifdef _WIN32
    return c == INVALID_SOCKET ? invalid_socket : static_cast<socket_t>(c);
#else
    return c < 0 ? invalid_socket : c;
#endif
}

std::uint16_t local_port(socket_t s)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

long long send_some(socket_t s, const char* data, std::size_t len)
{
#ifdef _WIN32
    return ::send(s, data, clamp_len(len), 0);
#else
    return ::send(s, data, static_cast<std::size_t>(clamp_len(len)), MSG_NOSIGNAL);
#endif
}

long long recv_some(socket_t s, char* buf, std::size_t len)
{
#ifdef _WIN32
    return ::recv(s, buf, clamp_len(len), 0);
#else
    return ::recv(s, buf, static_cast<std::size_t>(clamp_len(len)), 0);
#endif
}

namespace {

// Sends all of data (flags added to the usual ones); false on a failure.
bool send_all(socket_t s, const char* data, std::size_t len, int flags)
{
    while (len > 0) {
#ifdef _WIN32
        long long n = ::send(s, data, clamp_len(len), flags);
#else
        long long n = ::send(s, data, static_cast<std::size_t>(clamp_len(len)), flags | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

#ifdef __linux__

bool send_head_and_file(socket_t s, std::string_view head, std::FILE* f, std::uint64_t count)
{
    // MSG_MORE holds the head back, so it leaves with the file's first bytes.
    if (!send_all(s, head.data(), head.size(), MSG_MORE)) return false;
    off_t offset = 0;
    while (count > 0) {
        ssize_t n = ::sendfile(s, ::fileno(f), &offset, static_cast<std::size_t>(clamp_len(count)));
        if (n < 0 && errno == EINTR) continue;
        // 0: the file is shorter now than the head says.
        if (n <= 0) return false;
        count -= static_cast<std::uint64_t>(n);
    }
    return true;
}

#else

bool send_head_and_file(socket_t s, std::string_view head, std::FILE* f, std::uint64_t count)
{
    // Without a file-to-socket call the file goes through a buffer; the head
    // goes out with the first block, so a small answer is one send.
    constexpr std::size_t block = 65536;
    // The caller may have measured the file by seeking to its end.
    if (!seek_file(f, 0, SEEK_SET)) return false;
    std::string buf(head);
    do {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count, block));
        std::size_t used = buf.size();
        buf.resize(used + want);
        std::size_t got = std::fread(buf.data() + used, 1, want, f);
        buf.resize(used + got);
        if (!send_all(s, buf.data(), buf.size(), 0)) return false;
        // The file is shorter now than the head says.
        if (got < want) return false;
        count -= got;
        buf.clear();
    } while (count > 0);
    return true;
}

#endif

long long peek_some(socket_t s, char* buf, std::size_t len)
{
#ifdef _WIN32
    return ::recv(s, buf, clamp_len(len), MSG_PEEK);
#else
    return ::recv(s, buf, static_cast<std::size_t>(clamp_len(len)), MSG_PEEK);
#endif
}

void set_recv_timeout(socket_t s, int ms) { set_timeout_option(s, SO_RCVTIMEO, ms); }
void set_send_timeout(socket_t s, int ms) { set_timeout_option(s, SO_SNDTIMEO, ms); }
void set_send_buffer(socket_t s, int bytes) { set_int_option(s, SO_SNDBUF, bytes); }
void set_recv_buffer(socket_t s, int bytes) { set_int_option(s, SO_RCVBUF, bytes); }

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool set_default_thread_stack(std::size_t bytes)
{
#if defined(_WIN32) || !defined(__linux__)
    // Windows commits a thread's stack page by page as it is used, so the
    // default reservation costs nothing to keep.
    (void)bytes;
    return false;
#elif defined(__SANITIZE_THREAD__)
    // ThreadSanitizer's per-thread state (about 800 KiB of static TLS) is
    // carved from each thread's stack: a small stack leaves it no room, and
    // no connection thread could start.
    (void)bytes;
    return false;
#else
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ok = pthread_attr_setstacksize(&attr, bytes) == 0 && pthread_setattr_default_np(&attr) == 0;
    pthread_attr_destroy(&attr);
    return ok;
#endif
}

std::string host_name()
{
    char buf[256] = {0};
    if (::gethostname(buf, sizeof buf) != 0) return std::string();
    buf[sizeof buf - 1] = 0;
    return std::string(buf);
}

}  // namespace plat
