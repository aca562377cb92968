// The platform layer on POSIX systems (Linux first).
#include "platform.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#ifdef __linux__
#include <sys/sendfile.h>
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

bool set_int_option(socket_t s, int name, int value)
{
    return setsockopt(s, SOL_SOCKET, name, &value, sizeof value) == 0;
}

bool set_timeout_option(socket_t s, int name, int ms)
{
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return setsockopt(s, SOL_SOCKET, name, &tv, sizeof tv) == 0;
}

// One call never needs more; Windows takes an int length, and both sides
// keep the same pieces.
std::size_t clamp_len(std::size_t len) { return len > 0x40000000u ? 0x40000000u : len; }

// Runs a system call again while a signal interrupts it.
template <typename Call>
auto retry_interrupted(Call call)
{
    for (;;) {
        auto n = call();
        if (n >= 0 || errno != EINTR) return n;
    }
}

}  // namespace

socket_library::socket_library()
{
    signal(SIGPIPE, SIG_IGN);
    ok_ = true;
}

socket_library::~socket_library() = default;

void close_socket(socket_t s) { ::close(s); }

bool last_error_timed_out()
{
    // A receive time-out set with SO_RCVTIMEO reports EAGAIN; ETIMEDOUT
    // means the connection itself died, so it is no reason to wait again.
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

void print_socket_error(const char* label) { std::perror(label); }

socket_t tcp_socket()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    return s < 0 ? invalid_socket : s;
}

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

socket_t accept_client(socket_t listener, std::uint32_t* peer)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int c = retry_interrupted([&] { return ::accept(listener, reinterpret_cast<sockaddr*>(&addr), &len); });
    if (c < 0) return invalid_socket;
    if (peer != nullptr) *peer = addr.sin_family == AF_INET ? ntohl(addr.sin_addr.s_addr) : 0;
    return c;
}

std::uint16_t local_port(socket_t s)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

bool stream_pair(socket_handle& a, socket_handle& b)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
    a = socket_handle(fds[0]);
    b = socket_handle(fds[1]);
    return true;
}

long long send_some(socket_t s, const char* data, std::size_t len, bool more_follows)
{
    const int flags = MSG_NOSIGNAL | (more_follows ? MSG_MORE : 0);
    return retry_interrupted([&] { return ::send(s, data, clamp_len(len), flags); });
}

void shutdown_send(socket_t s) { ::shutdown(s, SHUT_WR); }

long long recv_some(socket_t s, char* buf, std::size_t len)
{
    return retry_interrupted([&] { return ::recv(s, buf, clamp_len(len), 0); });
}

long long peek_some(socket_t s, char* buf, std::size_t len)
{
    return retry_interrupted([&] { return ::recv(s, buf, clamp_len(len), MSG_PEEK); });
}

#ifdef __linux__

bool send_head_and_file(socket_t s, std::string_view head, std::FILE* f, std::uint64_t count)
{
    // Held back, the head leaves with the file's first bytes.
    if (!send_all(s, head, true)) return false;
    off_t offset = 0;
    while (count > 0) {
        ssize_t n = retry_interrupted([&] { return ::sendfile(s, ::fileno(f), &offset, clamp_len(count)); });
        // 0: the file is shorter now than the head says.
        if (n <= 0) return false;
        count -= static_cast<std::uint64_t>(n);
    }
    return true;
}

#else

bool send_head_and_file(socket_t s, std::string_view head, std::FILE* f, std::uint64_t count)
{
    // Without a file-to-socket call the file goes through a buffer.
    constexpr std::size_t block = 65536;
    if (!seek_file(f, 0, SEEK_SET) || !send_all(s, head, true)) return false;
    std::unique_ptr<char[]> buf(new char[block]);
    while (count > 0) {
        std::size_t want = count < block ? static_cast<std::size_t>(count) : block;
        std::size_t got = std::fread(buf.get(), 1, want, f);
        if (!send_all(s, std::string_view(buf.get(), got))) return false;
        // The file is shorter now than the head says.
        if (got < want) return false;
        count -= got;
    }
    return true;
}

#endif

bool set_recv_timeout(socket_t s, int ms) { return set_timeout_option(s, SO_RCVTIMEO, ms); }
bool set_send_timeout(socket_t s, int ms) { return set_timeout_option(s, SO_SNDTIMEO, ms); }
bool set_send_buffer(socket_t s, int bytes) { return set_int_option(s, SO_SNDBUF, bytes); }
bool set_recv_buffer(socket_t s, int bytes) { return set_int_option(s, SO_RCVBUF, bytes); }
bool set_listener_reuse(socket_t s) { return set_int_option(s, SO_REUSEADDR, 1); }

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

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void wait_while_equal(const std::atomic<std::uint32_t>& value, std::uint32_t old)
{
    value.wait(old, std::memory_order_acquire);
}

void wake_all(std::atomic<std::uint32_t>& value) { value.notify_all(); }

bool secure_random(unsigned char* buf, std::size_t len)
{
    while (len > 0) {
        ssize_t n = retry_interrupted([&] { return ::getrandom(buf, len, 0); });
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string hash_bytes(hash_kind kind, std::string_view data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    const EVP_MD* md = kind == hash_kind::md5 ? EVP_md5() : EVP_sha256();
    if (md == nullptr || EVP_Digest(data.data(), data.size(), out, &len, md, nullptr) != 1) return {};
    return std::string(reinterpret_cast<const char*>(out), len);
}

bool readable_by_others(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

void raise_open_file_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    // An unlimited hard limit is more than the kernel allows one process.
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 && limit.rlim_max == RLIM_INFINITY) {
        limit.rlim_cur = 1048576;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

namespace {
// Set by the stop-request thread before it calls the handler: from then on
// it ends by itself, and may be waited for.
std::atomic<bool> g_stop_taken{false};
}  // namespace

stop_request_thread::stop_request_thread(void (*handler)(int))
{
    // An asynchronous handler may land in any thread at any point, also in
    // one that is ending; a ThreadSanitizer build was seen to lose such a
    // stop request now and then. Held back everywhere, it waits for sigwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return;
    try {
        thread_ = std::thread([stop, handler] {
            int sig = 0;
            while (sigwait(&stop, &sig) != 0) {
            }
            g_stop_taken.store(true);
            handler(sig);
        });
    } catch (...) {
        pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    }
}

stop_request_thread::~stop_request_thread()
{
    if (!thread_.joinable()) return;
    // Without a stop request yet it waits on until the program ends.
    if (g_stop_taken.load())
        thread_.join();
    else
        thread_.detach();
}

bool set_default_thread_stack([[maybe_unused]] std::size_t bytes)
{
#if !defined(__linux__) || defined(__SANITIZE_THREAD__)
    // ThreadSanitizer's per-thread state (about 800 KiB of static TLS) is
    // carved from each thread's stack: a small stack leaves it no room, and
    // no connection thread could start.
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

std::vector<std::string> lan_ipv4_addresses()
{
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
        char text[INET_ADDRSTRLEN] = {0};
        const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
        if (std::find(found.begin(), found.end(), text) == found.end()) found.emplace_back(text);
    }
    ::freeifaddrs(list);
    return found;
}

std::string local_time_text(long long unix_seconds)
{
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm parts{};
    char text[32] = {0};
    if (::localtime_r(&t, &parts) == nullptr) return std::string();
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

void console_utf8() {}

}  // namespace plat
