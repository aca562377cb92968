// A fast scripted upstream for the benchmarks (Linux only): one epoll
// thread reads each POST, answers what its body asks for, then closes.
//   body contains "big_length"  -> 4 MiB answer framed by Content-Length
//   body contains "big_chunked" -> 4 MiB answer in 16 KiB chunks
//   body contains "slow"        -> 200-byte answer after 50 ms
//   anything else               -> 200-byte answer at once
// With --login it asks for a Digest login first, as a wallet service started
// with one does: a request whose Authorization header does not answer its
// nonce gets a 401 with the challenge (SHA-256 and MD5). The response hash
// itself is not checked here; the tests check it.
// Prints "port N" on standard output once it listens on 127.0.0.1.
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { max_fds = 65536, request_cap = 16384, small_size = 200, big_size = 4 << 20, chunk_size = 16384 };
static const long slow_ms = 50;

struct answer {
    char* data;
    size_t len;
};

struct conn {
    char* in;  // request bytes; NULL when the slot is free
    size_t in_len;
    const struct answer* out;
    size_t out_off;
    int waiting;  // queued for a delayed answer
};

static struct conn conns[max_fds];
static struct answer small_answer, big_length_answer, big_chunked_answer, login_answer;
static int login_required;
#define BENCH_NONCE "krv-bench-nonce-0123456789abcdef"
static int epfd;

// Delayed answers: every delay is the same, so the queue stays in deadline order.
static struct {
    int fd;
    long due_ms;
} slow_queue[max_fds];
static size_t slow_head, slow_count;

static volatile sig_atomic_t running = 1;
static void on_stop(int sig)
{
    (void)sig;
    running = 0;
}

static long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static void die(const char* what)
{
    perror(what);
    exit(1);
}

static char* filled(size_t n, char c)
{
    char* p = malloc(n);
    if (!p) die("malloc");
    memset(p, c, n);
    return p;
}

static void build_answers(void)
{
    static const char small_head[] =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 200\r\nConnection: "
        "close\r\n\r\n";
    size_t h = sizeof small_head - 1;
    small_answer.data = filled(h + small_size, 'a');
    memcpy(small_answer.data, small_head, h);
    // A JSON object of exactly 200 bytes: {"result":"aaa...a"}
    memcpy(small_answer.data + h, "{\"result\":\"", 11);
    memcpy(small_answer.data + h + small_size - 2, "\"}", 2);
    small_answer.len = h + small_size;

    char head[128];
    int n = snprintf(head, sizeof head,
                     "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\nConnection: "
                     "close\r\n\r\n",
                     big_size);
    big_length_answer.data = filled((size_t)n + big_size, 'b');
    memcpy(big_length_answer.data, head, (size_t)n);
    big_length_answer.len = (size_t)n + big_size;

    static const char chunked_head[] =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\nConnection: "
        "close\r\n\r\n";
    size_t chunks = big_size / chunk_size;
    size_t cap = sizeof chunked_head + chunks * (chunk_size + 16) + 8;
    char* p = big_chunked_answer.data = filled(cap, 'c');
    memcpy(p, chunked_head, sizeof chunked_head - 1);
    p += sizeof chunked_head - 1;
    for (size_t i = 0; i < chunks; ++i) {
        p += sprintf(p, "%x\r\n", chunk_size);
        p += chunk_size;  // already 'c'
        memcpy(p, "\r\n", 2);
        p += 2;
    }
    memcpy(p, "0\r\n\r\n", 5);
    p += 5;
    big_chunked_answer.len = (size_t)(p - big_chunked_answer.data);

    static const char login_head[] =
        "HTTP/1.1 401 Unauthorized\r\n"
        "WWW-Authenticate: Digest realm=\"bench\", qop=\"auth\", algorithm=SHA-256, nonce=\"" BENCH_NONCE
        "\", opaque=\"o\"\r\n"
        "WWW-Authenticate: Digest realm=\"bench\", qop=\"auth\", algorithm=MD5, nonce=\"" BENCH_NONCE
        "\", opaque=\"o\"\r\n"
        "Content-Length: 0\r\nConnection: close\r\n\r\n";
    login_answer.data = filled(sizeof login_head, 0);
    memcpy(login_answer.data, login_head, sizeof login_head - 1);
    login_answer.len = sizeof login_head - 1;
}

// True when the request carries Digest credentials for this upstream's nonce.
static int logged_in(const char* request)
{
    const char* auth = strcasestr(request, "\r\nAuthorization: Digest ");
    return auth != NULL && strstr(auth, "nonce=\"" BENCH_NONCE "\"") != NULL &&
           strstr(auth, "response=\"") != NULL;
}

static void drop(int fd)
{
    free(conns[fd].in);
    memset(&conns[fd], 0, sizeof conns[fd]);
    close(fd);
}

// Writes what the socket takes; closes when all is out or the peer is gone.
static void send_more(int fd)
{
    struct conn* c = &conns[fd];
    while (c->out_off < c->out->len) {
        ssize_t n = send(fd, c->out->data + c->out_off, c->out->len - c->out_off, MSG_NOSIGNAL);
        if (n > 0) {
            c->out_off += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            struct epoll_event ev = {.events = EPOLLOUT, .data.fd = fd};
            epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev);
            return;
        }
        break;
    }
    drop(fd);
}

// Content-Length of a complete head, 0 when absent.
static size_t request_length(const char* head, size_t head_len)
{
    for (size_t i = 0; i + 15 <= head_len; ++i)
        if (strncasecmp(head + i, "content-length:", 15) == 0) return strtoul(head + i + 15, NULL, 10);
    return 0;
}

static void answer_request(int fd)
{
    struct conn* c = &conns[fd];
    c->in[c->in_len] = 0;
    if (login_required && !logged_in(c->in)) {
        c->out = &login_answer;
    } else if (strstr(c->in, "big_length")) {
        c->out = &big_length_answer;
    } else if (strstr(c->in, "big_chunked")) {
        c->out = &big_chunked_answer;
    } else if (strstr(c->in, "slow")) {
        c->out = &small_answer;
        c->waiting = 1;
        // Nothing to hear from the peer meanwhile; a level-triggered read would spin.
        struct epoll_event ev = {.events = 0, .data.fd = fd};
        epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev);
        size_t tail = (slow_head + slow_count++) % max_fds;
        slow_queue[tail].fd = fd;
        slow_queue[tail].due_ms = now_ms() + slow_ms;
        return;
    } else {
        c->out = &small_answer;
    }
    send_more(fd);
}

static void read_request(int fd)
{
    struct conn* c = &conns[fd];
    for (;;) {
        if (c->in_len >= request_cap - 1) {
            drop(fd);
            return;
        }
        ssize_t n = recv(fd, c->in + c->in_len, request_cap - 1 - c->in_len, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            drop(fd);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        c->in_len += (size_t)n;
    }
    c->in[c->in_len] = 0;
    char* end = strstr(c->in, "\r\n\r\n");
    if (!end) return;
    size_t head_len = (size_t)(end + 4 - c->in);
    if (c->in_len - head_len < request_length(c->in, head_len)) return;
    answer_request(fd);
}

static void accept_all(int listener)
{
    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (fd >= max_fds) {
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        conns[fd].in = malloc(request_cap);
        if (!conns[fd].in) die("malloc");
        struct epoll_event ev = {.events = EPOLLIN, .data.fd = fd};
        epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
    }
}

static void release_due(void)
{
    long now = now_ms();
    while (slow_count > 0 && slow_queue[slow_head].due_ms <= now) {
        int fd = slow_queue[slow_head].fd;
        slow_head = (slow_head + 1) % max_fds;
        --slow_count;
        conns[fd].waiting = 0;
        send_more(fd);
    }
}

static int wait_ms(void)
{
    if (slow_count == 0) return 200;
    long left = slow_queue[slow_head].due_ms - now_ms();
    return left < 0 ? 0 : (int)left;
}

static int open_listener(void)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) die("socket");
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    if (bind(s, (struct sockaddr*)&a, sizeof a) < 0) die("bind");
    if (listen(s, 4096) < 0) die("listen");
    socklen_t len = sizeof a;
    getsockname(s, (struct sockaddr*)&a, &len);
    printf("port %d\n", ntohs(a.sin_port));
    fflush(stdout);
    return s;
}

int main(int argc, char** argv)
{
    login_required = argc > 1 && strcmp(argv[1], "--login") == 0;
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
    build_answers();
    epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) die("epoll_create1");
    int listener = open_listener();
    struct epoll_event ev = {.events = EPOLLIN, .data.fd = listener};
    epoll_ctl(epfd, EPOLL_CTL_ADD, listener, &ev);

    struct epoll_event events[256];
    while (running) {
        int n = epoll_wait(epfd, events, 256, wait_ms());
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                accept_all(listener);
            } else if (conns[fd].in == NULL || conns[fd].waiting) {
                continue;
            } else if (conns[fd].out) {
                send_more(fd);
            } else {
                read_request(fd);
            }
        }
        release_due();
    }
    return 0;
}
