// Every difference between POSIX sockets and Windows Sockets lives behind
// this header; platform_posix.cpp and platform_windows.cpp implement it,
// and no other file includes a system header of either platform.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace plat {

#ifdef _WIN32
using socket_t = std::uintptr_t;  // SOCKET: an unsigned handle, never compared with < 0
inline constexpr socket_t invalid_socket = ~socket_t{0};
// For the few tests whose subject Windows lacks (SIGTERM, for one).
inline constexpr bool is_windows = true;
#else
using socket_t = int;
inline constexpr socket_t invalid_socket = -1;
inline constexpr bool is_windows = false;
#endif

// Starts the socket library for the life of the object (WSAStartup 2.2 on
// Windows). On POSIX it ignores SIGPIPE, so a browser that goes away while
// its answer is being sent cannot end the process.
class socket_library {
public:
    socket_library();
    ~socket_library();
    socket_library(const socket_library&) = delete;
    socket_library& operator=(const socket_library&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

void close_socket(socket_t s);

// Owns one socket: closes it on destruction; moves leave the source empty.
class socket_handle {
public:
    socket_handle() = default;
    explicit socket_handle(socket_t s) : s_(s) {}
    ~socket_handle() { reset(); }
    socket_handle(socket_handle&& o) noexcept : s_(o.release()) {}
    socket_handle& operator=(socket_handle&& o) noexcept
    {
        if (this != &o) {
            reset();
            s_ = o.release();
        }
        return *this;
    }
    socket_handle(const socket_handle&) = delete;
    socket_handle& operator=(const socket_handle&) = delete;

    socket_t get() const { return s_; }
    bool valid() const { return s_ != invalid_socket; }
    socket_t release()
    {
        socket_t s = s_;
        s_ = invalid_socket;
        return s;
    }
    void reset()
    {
        if (s_ != invalid_socket) close_socket(release());
    }

private:
    socket_t s_ = invalid_socket;
};

// True when the last failed receive or send of this thread ran into the
// socket's time-out (or would have blocked); read it right after the call.
bool last_error_timed_out();
// Prints "label: reason" for the last socket error on standard error.
void print_socket_error(const char* label);

// A new IPv4 stream socket, or invalid_socket.
socket_t tcp_socket();

// True when text is a dotted-quad IPv4 literal (no name lookup).
bool is_ipv4_literal(const std::string& text);
// True when text is an IPv6 literal without brackets (no name lookup).
bool is_ipv6_literal(const std::string& text);
// Blocking connect to host:port; false without connecting anywhere when
// host is not an IPv4 literal.
bool connect_ipv4(socket_t s, const std::string& host, std::uint16_t port);
// Binds to host:port (host must be an IPv4 literal).
bool bind_ipv4(socket_t s, const std::string& host, std::uint16_t port);
bool listen_socket(socket_t s, int backlog);
// The next connection, or invalid_socket; with peer, its IPv4 address in
// host byte order goes there.
socket_t accept_client(socket_t listener, std::uint32_t* peer = nullptr);
// The local port a socket is bound to (0 when unknown).
std::uint16_t local_port(socket_t s);

// Two connected stream sockets (a socketpair; on Windows a loopback
// connection), for feeding a reader from the same process.
bool stream_pair(socket_handle& a, socket_handle& b);

// One send or receive; > 0 is the byte count, 0 a closed peer (receive),
// < 0 a failure. An interrupted call is retried inside, so callers never
// see one. Sending never raises SIGPIPE; more_follows lets the system hold
// a small piece back until the rest comes.
long long send_some(socket_t s, const char* data, std::size_t len, bool more_follows = false);
long long recv_some(socket_t s, char* buf, std::size_t len);
// Like recv_some but leaves the bytes queued.
long long peek_some(socket_t s, char* buf, std::size_t len);

// A body below this size is copied behind its head and sent with it in one
// piece; a larger one is sent from where it lies, since copying it would
// cost more than the extra send.
inline constexpr std::size_t join_max_size = 65536;

// Ends the sending side: the peer reads the end of the answer, while what
// it still sends can be read.
void shutdown_send(socket_t s);

// Sends every byte of data; false when a send failed (the rest is then not tried).
inline bool send_all(socket_t s, std::string_view data, bool more_follows = false)
{
    while (!data.empty()) {
        long long n = send_some(s, data.data(), data.size(), more_follows);
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
// Owns one open file: closed when it goes out of scope.
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Sends head, then the first count bytes of the open file f from its
// start; false when not all of it went out (a failed send, or a file that
// ended early). On Linux the file goes to the socket without a copy here.
bool send_head_and_file(socket_t s, std::string_view head, std::FILE* f, std::uint64_t count);

// Socket options; false when the system refused one.
bool set_recv_timeout(socket_t s, int ms);
bool set_send_timeout(socket_t s, int ms);
bool set_send_buffer(socket_t s, int bytes);
bool set_recv_buffer(socket_t s, int bytes);
// Lets a restarted server bind its port at once, without letting a second
// program bind a port this one holds.
bool set_listener_reuse(socket_t s);

// Called from the stop-request handler, on a thread of its own: makes a
// blocked accept on the listener held in server_fd return. On POSIX the
// listener is shut down but left open, so its descriptor number cannot be
// reused before the main thread closes it; on Windows the handler closes it
// and clears server_fd, since that is what wakes accept there.
void interrupt_accept(std::atomic<socket_t>& server_fd);

// True when the file or directory at path can be read.
bool readable(const std::string& path);

// Calls visit for every entry of the folder in enumeration order; false
// when it cannot be enumerated. is_dir is also true for a link to a folder.
bool list_directory(const std::string& dir,
                    const std::function<void(const std::string& name, bool is_dir)>& visit);

// 64-bit file positions (long is 32 bits on Windows).
bool seek_file(std::FILE* f, long long offset, int whence);
long long tell_file(std::FILE* f);

void sleep_ms(int ms);

// Blocks while value holds old, and wakes every thread blocked so on value.
// A futex on Linux (std::atomic::wait), WaitOnAddress on Windows: the
// Windows std::atomic::wait of libstdc++ 12 checks the value and then
// sleeps on a condition variable that its notify does not lock, so a
// wake-up between the two is lost and the waiter sleeps until some later
// notify.
void wait_while_equal(const std::atomic<std::uint32_t>& value, std::uint32_t old);
void wake_all(std::atomic<std::uint32_t>& value);

// Fills buf with bytes from the system's secure random source (getrandom
// on Linux, the system generator on Windows); false when it cannot.
bool secure_random(unsigned char* buf, std::size_t len);

// The hash functions a Digest login may name.
enum class hash_kind { md5, sha256 };
// The digest of data (16 bytes for MD5, 32 for SHA-256), computed by the
// system's own library (OpenSSL's libcrypto; CNG on Windows); empty when
// that library failed.
std::string hash_bytes(hash_kind kind, std::string_view data);

// True when users other than the owner may read the file (its group or
// other read bit on POSIX); always false on Windows, whose access lists
// are left to the user.
bool readable_by_others(const std::string& path);

// Raises the soft limit on open descriptors to the hard one, so that idle
// connections cannot use up a low default; nothing where there is none.
void raise_open_file_limit();

// Takes the stop request (Ctrl+C; SIGTERM on POSIX) while it lives and
// calls handler for it, on a thread of its own. On POSIX every thread
// started afterwards holds SIGINT and SIGTERM back and that thread takes
// them with sigwait, so the handler is an ordinary call and no request can
// land in a thread as it ends; the destructor waits for it once the handler
// has been called. On Windows the C runtime runs the handler on a thread of
// its own already. Where this cannot be arranged the system's own action,
// ending the program, stays.
class stop_request_thread {
public:
    explicit stop_request_thread(void (*handler)(int));
    ~stop_request_thread();
    stop_request_thread(const stop_request_thread&) = delete;
    stop_request_thread& operator=(const stop_request_thread&) = delete;

private:
    std::thread thread_;
};

// Sets the stack size of threads started afterwards (std::thread included);
// false where the platform keeps its own default.
bool set_default_thread_stack(std::size_t bytes);

// The machine's host name; empty when it cannot be had.
std::string host_name();

// The machine's IPv4 addresses other than loopback, of interfaces that are
// up, as dotted quads without repeats; empty when there are none.
std::vector<std::string> lan_ipv4_addresses();

// "YYYY-MM-DD HH:MM:SS" in local time, for seconds since 1970.
std::string local_time_text(long long unix_seconds);

// Makes a Windows console show the UTF-8 banner as drawn; nothing elsewhere.
void console_utf8();

}  // namespace plat
