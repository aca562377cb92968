#include "upstream.h"

#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <future>

#include "digest_peer.h"
#include "fake_upstream.h"
#include "test_support.h"

namespace {

std::string json_response(int status, const char* reason, const std::string& body)
{
    return test::expected_head(status, reason, "application/json", body.size()) + "\r\n\r\n" + body;
}

std::string ok(const std::string& body) { return json_response(200, "OK", body); }

std::string client_request(const std::string& method, const std::string& target, const std::string& body)
{
    std::string head = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n";
    if (!body.empty()) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return head + "\r\n" + body;
}

std::string post_json_rpc(std::uint16_t port, const std::string& body)
{
    return test::http_exchange(port, client_request("POST", "/json_rpc", body));
}

// Answers completely, then keeps the connection open: only the framing can end the body.
test::script answer_and_hold(std::string bytes)
{
    test::script s = test::answer(std::move(bytes));
    s.end = test::script::ending::hold_open;
    return s;
}

const std::string chunked_head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

// Bytes that differ from their neighbours, so a lost or moved block shows:
// one irregular MiB, repeated with each copy's number at its start.
std::string pattern(std::size_t mib)
{
    std::string block(1u << 20, '\0');
    std::uint32_t x = 2463534242u;
    for (auto& c : block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    std::string s;
    s.reserve(mib * block.size());
    for (std::size_t i = 0; i < mib; ++i) {
        std::string stamp = std::to_string(i) + ":";
        s += stamp;
        s.append(block, stamp.size());
    }
    return s;
}

TEST(HeadFraming, FramingFromTheLowerCasedHead)
{
    using kind = body_framing::kind;
    struct row {
        std::string status, headers;
        kind how;
        std::uint64_t length;
    };
    const std::string error = "HTTP/1.1 500 Internal Server Error";
    const row rows[] = {
        {error, "Transfer-Encoding: chunked\r\n", kind::chunked, 0},
        {error, "TRANSFER-ENCODING: Chunked\r\n", kind::chunked, 0},
        {error, "Content-Length: 10\r\nTransfer-Encoding: chunked\r\n", kind::chunked, 0},
        // Exactly one space after the colon.
        {error, "Transfer-Encoding:chunked\r\n", kind::until_close, 0},
        {error, "Transfer-Encoding:  chunked\r\nContent-Length: 4\r\n", kind::length, 4},
        {error, "Content-Length: 10\r\n", kind::length, 10},
        {error, "content-LENGTH:10\r\n", kind::length, 10},
        {error, "Content-Length:    \t 12\r\n", kind::length, 12},
        // The first match anywhere counts, also inside a longer name.
        {error, "X-Content-Length: 3\r\nContent-Length: 10\r\n", kind::length, 3},
        {error, "Content-Length: abc\r\n", kind::until_close, 0},
        {error, "Content-Length: 99999999999999999999\r\n", kind::until_close, 0},
        {error, "Content-Length: -1\r\n", kind::length, UINT64_MAX},
        {error, "Content-Length:\r\nX-Other: 5\r\n", kind::until_close, 0},
        {error, "Content-Type: text/plain\r\n", kind::until_close, 0},
        // An answer that says it is empty ends with its head.
        {error, "Content-Length: 0\r\n", kind::none, 0},
        {error, "Content-Length: 00\r\n", kind::none, 0},
        {"HTTP/1.1 204 No Content", "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", kind::none, 0},
        {"HTTP/1.1 304 Not Modified", "Content-Length: 5\r\n", kind::none, 0},
        {"HTTP/1.0 204 No Content", "", kind::none, 0},
        {"HTTP/1.1 2040 No Content", "", kind::until_close, 0},
    };
    for (const auto& r : rows) {
        body_framing f = head_framing(r.status + "\r\n" + r.headers + "\r\n");
        EXPECT_EQ(f.how, r.how) << r.status << " " << r.headers;
        EXPECT_EQ(f.length, r.length) << r.status << " " << r.headers;
    }
}

// recv_answer and decode_answer run the same steps: every answer of the
// table gives the same body through a socket and over bytes.
TEST(AnswerDecoding, SocketAndBytesAgree)
{
    const std::string answers[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef",
        "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc",
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nlate",
        "HTTP/1.1 204 No Content\r\n\r\nlate",
        "HTTP/1.1 200 OK\r\n\r\nuntil close",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        "HTTP/1.1 200 OK\r\nContent-Le",
    };
    for (const std::string& a : answers) {
        auto [upstream, server] = test::loopback_pair();
        ASSERT_TRUE(plat::send_all(upstream.get(), a));
        upstream.reset();
        EXPECT_EQ(recv_answer(server.get()), decode_answer(a)) << a;
    }
    EXPECT_EQ(decode_answer(answers[0]), "abcdef");
    EXPECT_EQ(decode_answer(answers[4]), "until close");
    EXPECT_EQ(decode_answer(answers[5]), "abc");
    for (std::size_t empty : {1, 2, 3, 6, 7, 8})
        EXPECT_EQ(decode_answer(answers[empty]), "") << answers[empty];
}

TEST(HeadEnd, FoundAcrossEverySplit)
{
    const std::string message = "HTTP/1.1 200 OK\r\nA: b\n\nc\r\n\r\nBODY\r\n\r\n";
    const std::size_t head_size = message.find("\r\n\r\n") + 4;
    // Pieces of every size up to 6, fed as a socket would deliver them.
    for (std::size_t piece = 1; piece <= 6; ++piece) {
        std::string head;
        for (std::size_t at = 0; at < message.size(); at += piece) {
            std::string_view more = std::string_view(message).substr(at, piece);
            auto end = head_end_in(head, more);
            head += more.substr(0, end.value_or(more.size()));
            if (end) break;
        }
        EXPECT_EQ(head, message.substr(0, head_size)) << "piece " << piece;
    }
    EXPECT_FALSE(head_end_in("HTTP/1.1 200 OK\n", "\n"));
    EXPECT_EQ(head_end_in("", "\r\n\r\n"), 4u);
}

// A head longer than one peek, and a body that must stay queued.
TEST(RecvHeaders, TakesNoBodyByte)
{
    const std::string long_head =
        "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(9000, 'p') + "\r\nContent-Length: 4\r\n\r\n";
    for (const std::string& head : {std::string("HTTP/1.1 200 OK\r\n\r\n"), long_head}) {
        auto [upstream, server] = test::loopback_pair();
        ASSERT_TRUE(plat::send_all(upstream.get(), head + "\r\n\r\nbody"));
        upstream.reset();
        EXPECT_EQ(recv_headers(server.get()), head);
        EXPECT_EQ(test::read_until_close(server.get()), "\r\n\r\nbody");
    }
}

// Chunked answers cut at every point decode as the whole does.
TEST(ChunkedDecoder, SameBodyWhateverTheSplit)
{
    struct row {
        std::string stream;
        chunked_decoder::state end;
        std::string body;
    };
    const row rows[] = {
        {"5;name=val\r\nhello\r\n0x6\r\n world\r\nA\r\n0123456789\r\n0\r\nX-Trailer: t\r\n\r\n",
         chunked_decoder::state::done, "hello world0123456789"},
        // Empty lines are passed over; a lone LF is an ordinary byte, skipped as white space.
        {"\r\n\r\n3\r\nabc\r\n\n2\r\nde\r\n0\r\n", chunked_decoder::state::done, "abcde"},
        // The two bytes after chunk data are passed over whatever they are.
        {"3\r\nabcXY4\r\ndefgZZ0\r\n\r\n", chunked_decoder::state::done, "abcdefg"},
        {"3\r\nabc\r\nzz\r\n", chunked_decoder::state::failed, "abc"},
        {"0x\r\n", chunked_decoder::state::failed, ""},
        {"10\r\n0123", chunked_decoder::state::data, "0123"},
        {"5\r\nhel", chunked_decoder::state::data, "hel"},
    };
    for (const auto& r : rows) {
        for (std::size_t cut = 0; cut <= r.stream.size(); ++cut) {
            chunked_decoder d;
            std::string body;
            decode_chunked(d, std::string_view(r.stream).substr(0, cut), body);
            decode_chunked(d, std::string_view(r.stream).substr(cut), body);
            ASSERT_EQ(d.at, r.end) << "cut at " << cut << " of " << r.stream;
            ASSERT_EQ(body, r.body) << "cut at " << cut << " of " << r.stream;
        }
    }
}

TEST(ChunkedDecoder, StopsAtTheLastChunkAndLeavesTheTrailer)
{
    chunked_decoder d;
    std::string body;
    const std::string_view stream = "2\r\nab\r\n0\r\nX-Trailer: t\r\n\r\n";
    EXPECT_EQ(decode_chunked(d, stream, body), stream.find("X-Trailer"));
    EXPECT_EQ(d.at, chunked_decoder::state::done);
    EXPECT_EQ(body, "ab");
}

TEST(PlainDecoder, CompleteAtTheAnnouncedLengthOrNeverWithoutOne)
{
    plain_decoder announced{5};
    std::string body;
    EXPECT_FALSE(decode_plain(announced, "012", body));
    // What came with the last piece stays, also past the length.
    EXPECT_TRUE(decode_plain(announced, "3456", body));
    EXPECT_EQ(body, "0123456");

    plain_decoder until_close{0};
    body.clear();
    EXPECT_FALSE(decode_plain(until_close, "abc", body));
    EXPECT_EQ(body, "abc");
}

TEST(ForwardablePath, NoControlBytes)
{
    EXPECT_TRUE(forwardable_path("/get_info?a=1&b=%20"));
    EXPECT_TRUE(forwardable_path("/\x80\xff"));
    for (const char* path : {"/a\r\nX-Injected: 1", "/a\nb", "/a\tb", "/\x7f"})
        EXPECT_FALSE(forwardable_path(path)) << path;
    EXPECT_FALSE(forwardable_path(std::string_view("/a\0b", 4)));
}

// A server whose wallet and daemon are both fakes.
struct forwarding {
    explicit forwarding(test::script wallet_answer, test::script daemon_answer = test::silence())
        : wallet(std::move(wallet_answer)), daemon(std::move(daemon_answer)), srv(make_config())
    {
    }
    config make_config() const
    {
        config cfg;
        cfg.rpc_port = wallet.port();
        cfg.daemon_port = daemon.port();
        // A silent upstream costs the test this long.
        cfg.upstream_timeout_ms = 200;
        return cfg;
    }
    std::string wallet_error() const
    {
        return "{\"error\":\"Cannot connect to krv-wallet-rpc at 127.0.0.1:" + std::to_string(wallet.port()) +
               "\"}";
    }
    test::fake_upstream wallet;
    test::fake_upstream daemon;
    test::server srv;
};

TEST(Forwarding, ExactRequestBytesPerRoute)
{
    const std::string body = "{\"jsonrpc\":\"2.0\",\"id\":\"0\",\"method\":\"get_balance\"}";
    // Large enough to leave apart from its head.
    const std::string large = "{\"params\":\"" + std::string(100000, 'p') + "\"}";
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n{\"r\":1}";
    struct row {
        std::string method, target, body;
        bool to_daemon;
        std::string upstream_request;  // "{port}" stands for the upstream's port
    };
    const row rows[] = {
        {"POST", "/json_rpc", body, false,
         "POST /json_rpc HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
         "Content-Length: " +
             std::to_string(body.size()) + "\r\n\r\n" + body},
        {"POST", "/json_rpc", large, false,
         "POST /json_rpc HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
         "Content-Length: " +
             std::to_string(large.size()) + "\r\n\r\n" + large},
        {"POST", "/json_rpc", "", false,
         "POST /json_rpc HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
         "Content-Length: 0\r\n\r\n"},
        {"POST", "/daemon_rpc", body, true,
         "POST /json_rpc HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
         "Content-Length: " +
             std::to_string(body.size()) + "\r\n\r\n" + body},
        {"GET", "/rpc/get_info?a=1&b=%20", "", true,
         "GET /get_info?a=1&b=%20 HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: "
         "application/json\r\n\r\n"},
        // The method follows from the body, whatever the client used.
        {"POST", "/rpc/", "", true,
         "GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n\r\n"},
        {"GET", "/rpc/send_raw_transaction", body, true,
         "POST /send_raw_transaction HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
         "Content-Length: " +
             std::to_string(body.size()) + "\r\n\r\n" + body},
    };
    for (const auto& r : rows) {
        forwarding f(test::answer(answer), test::answer(answer));
        EXPECT_EQ(test::http_exchange(f.srv.port(), client_request(r.method, r.target, r.body)),
                  ok("{\"r\":1}"))
            << r.method << " " << r.target;
        test::fake_upstream& used = r.to_daemon ? f.daemon : f.wallet;
        std::string expected = r.upstream_request;
        expected.replace(expected.find("{port}"), 6, std::to_string(used.port()));
        ASSERT_TRUE(used.wait_requests(1));
        EXPECT_EQ(used.requests(), std::vector<std::string>{expected}) << r.method << " " << r.target;
        EXPECT_EQ((r.to_daemon ? f.wallet : f.daemon).accepted(), 0u);
    }
}

TEST(Forwarding, AnswersByTheirFraming)
{
    struct row {
        const char* name;
        test::script upstream;
        std::string body;  // empty: the route's 502
    };
    const row rows[] = {
        {"length", answer_and_hold("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n{\"result\":1}"),
         "{\"result\":1}"},
        {"length across writes",
         test::answer_in_pieces({"HTTP/1.1 200 OK\r\nContent-Le", "ngth: 10\r\n\r", "\n01234", "56789"}, 20),
         "0123456789"},
        {"bytes beyond the length", test::answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n0123456789"),
         "0123456789"},
        {"first length anywhere",
         answer_and_hold("HTTP/1.1 200 OK\r\nX-Content-Length: 3\r\nContent-Length: 10\r\n\r\nabc"), "abc"},
        {"spaces and a tab", answer_and_hold("HTTP/1.1 200 OK\r\nContent-Length:  \t3\r\n\r\nabc"), "abc"},
        // An empty answer is no answer, whatever follows it.
        {"length 0", test::answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nlate"), ""},
        {"length without digits", test::answer("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\nabc"), "abc"},
        {"until close", test::answer("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\nuntil close"),
         "until close"},
        {"error status passed on",
         test::answer("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 16\r\n\r\n{\"error\":\"boom\"}"),
         "{\"error\":\"boom\"}"},
        // The trailer is never read and the close never awaited.
        {"chunked",
         answer_and_hold(chunked_head + "5;name=val\r\nhello\r\n0x6\r\n world\r\nA\r\n0123456789\r\n"
                                        "1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-Trailer: t\r\n\r\n"),
         "hello world0123456789abcdefghijklmnopqrstuvwxyz"},
        {"chunked in any case, before a length",
         answer_and_hold("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTRANSFER-ENCODING: "
                         "Chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n"),
         "ab"},
        {"chunk across writes",
         test::answer_in_pieces({chunked_head + "1", "0;x=y\r\n0123456", "789abcdef\r", "\n0\r\n\r\n"}, 20),
         "0123456789abcdef"},
        {"chunked without the space is no framing",
         test::answer("HTTP/1.1 200 OK\r\nTransfer-Encoding:chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"),
         "5\r\nhello\r\n0\r\n\r\n"},
        {"empty body", test::answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), ""},
        {"close before the length", test::answer("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n01234"), ""},
        {"close in a chunk", test::answer(chunked_head + "5\r\nhello\r\nA\r\n01234"), ""},
        {"close before the last chunk", test::answer(chunked_head + "5\r\nhello\r\n"), ""},
        {"size line without digits", answer_and_hold(chunked_head + "5\r\nhello\r\nzz\r\n"), ""},
        {"huge length", test::answer("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\nabc"),
         ""},
        {"negative length", test::answer("HTTP/1.1 200 OK\r\nContent-Length: -2\r\n\r\nabc"), ""},
        {"huge chunk", test::answer(chunked_head + "FFFFFFFFFFFFFFFF\r\nabc"), ""},
        {"negative chunk", test::answer(chunked_head + "-1\r\nabc"), ""},
        {"head cut short", test::answer("HTTP/1.1 200 OK\r\nContent-Len"), ""},
        // The rest of a head that stalled past the receive time-out is no body.
        {"head stalled", test::answer_in_pieces({"HTTP/1.1 200 OK\r\nContent-Len", "gth: 2\r\n\r\nok"}, 400),
         ""},
        {"silence", test::silence(), ""},
        {"reset", test::reset_at_once(), ""},
    };
    for (const auto& r : rows) {
        forwarding f(r.upstream);
        std::string expected =
            r.body.empty() ? json_response(502, "Bad Gateway", f.wallet_error()) : ok(r.body);
        EXPECT_EQ(post_json_rpc(f.srv.port(), "{}"), expected) << r.name;
    }
}

TEST(Forwarding, NoConnectionWithoutAnIpv4Literal)
{
    test::fake_upstream fake(test::answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    config cfg;
    cfg.daemon_port = fake.port();
    const upstream_login no_login;
    for (std::string host : {"localhost", "::1", "", "1.2.3", "127.0.0.1 "}) {
        EXPECT_EQ(proxy_json_rpc({host, fake.port(), 1000, no_login}, "{}").body, "") << host;
        cfg.rpc_host = host;
        EXPECT_EQ(proxy_raw(cfg, "/get_info", "").body, "") << host;
    }
    cfg.rpc_host = "127.0.0.1";
    auto refused = test::refused_port();
    EXPECT_EQ(proxy_json_rpc({cfg.rpc_host, refused.second, 1000, no_login}, "{}").body, "");
    // Connections are accepted in order: once this one is, none came before it.
    EXPECT_EQ(proxy_raw(cfg, "/get_info", "").body, "ok");
    EXPECT_EQ(fake.accepted(), 1u);
}

// An upstream that keeps the connection open after an empty answer, as
// HTTP/1.1 servers do: the exchange ends with the head, while the upstream
// still waits (its gate opens only once the client has its answer).
TEST(Forwarding, EmptyAnswersEndWithTheHead)
{
    const std::string heads[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 204 No Content\r\n\r\n",
        "HTTP/1.1 304 Not Modified\r\nContent-Length: 12\r\n\r\n",
    };
    for (const std::string& head : heads) {
        test::script held;
        held.steps = {test::send(head), test::wait_gate()};
        test::fake_upstream wallet(held);
        config cfg;
        cfg.rpc_port = wallet.port();
        test::server srv(cfg);
        const std::string error =
            "{\"error\":\"Cannot connect to krv-wallet-rpc at 127.0.0.1:" + std::to_string(wallet.port()) +
            "\"}";
        EXPECT_EQ(post_json_rpc(srv.port(), "{}"), json_response(502, "Bad Gateway", error)) << head;
        wallet.open_gate();
        EXPECT_EQ(wallet.gate_timeouts(), 0) << head;
    }
}

TEST(Forwarding, SlowUpstreamDoesNotHoldOtherClients)
{
    test::script slow;
    slow.steps = {test::send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nsl"), test::wait_gate(),
                  test::send("ow")};
    forwarding f(slow, test::answer("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfast"));
    auto first = std::async(std::launch::async, [&] { return post_json_rpc(f.srv.port(), "{}"); });
    ASSERT_TRUE(f.wallet.wait_requests(1));
    EXPECT_EQ(test::http_exchange(f.srv.port(), client_request("POST", "/daemon_rpc", "{}")), ok("fast"));
    EXPECT_EQ(first.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    f.wallet.open_gate();
    EXPECT_EQ(first.get(), ok("slow"));
}

// 64 MiB in each framing, through the server to the client, byte for byte.
TEST(Forwarding, LargeAnswersArriveWhole)
{
    const std::string body = pattern(64);
    std::string chunked = chunked_head;
    const std::size_t sizes[] = {1u << 20, 1, 65535, 65536, 300001};
    for (std::size_t at = 0, i = 0; at < body.size(); ++i) {
        std::size_t n = std::min(sizes[i % 5], body.size() - at);
        char digits[32];
        chunked.append(digits, std::to_chars(digits, digits + sizeof digits, n, 16).ptr);
        chunked += "\r\n";
        chunked.append(body, at, n);
        chunked += "\r\n";
        at += n;
    }
    chunked += "0\r\n\r\n";
    const std::pair<const char*, std::string> answers[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body},
        {"chunked", std::move(chunked)},
    };
    for (const auto& [name, answer] : answers) {
        forwarding f(test::answer(answer));
        test::response r = test::split_response(post_json_rpc(f.srv.port(), "{}"));
        EXPECT_EQ(r.head, test::expected_head(200, "OK", "application/json", body.size())) << name;
        EXPECT_TRUE(r.body == body) << name << ": " << r.body.size() << " bytes";
    }
}

// The wallet and the daemon behind one Digest peer each, and a server
// that logs in to both unless told otherwise.
struct logging_in {
    explicit logging_in(test::digest_peer::settings s = {}, bool give_logins = true)
        : wallet_peer(s),
          daemon_peer(s),
          wallet(wallet_peer.responder()),
          daemon(daemon_peer.responder()),
          srv(make_config(s, give_logins))
    {
    }
    config make_config(const test::digest_peer::settings& s, bool give_logins) const
    {
        config cfg;
        cfg.rpc_port = wallet.port();
        cfg.daemon_port = daemon.port();
        cfg.upstream_timeout_ms = 5000;
        if (give_logins) {
            cfg.rpc_login = make_login(s.user, s.password);
            cfg.daemon_login = make_login(s.user, s.password);
        }
        return cfg;
    }
    std::string error(const std::string& text) const
    {
        return json_response(502, "Bad Gateway", "{\"error\":\"" + text + "\"}");
    }
    test::digest_peer wallet_peer;
    test::digest_peer daemon_peer;
    test::fake_upstream wallet;
    test::fake_upstream daemon;
    test::server srv;
};

const std::string logged_in_answer = "{\"result\":1}";

TEST(LoginForwarding, RelayedCallsLogInAndLaterOnesReuseTheNonce)
{
    logging_in f;
    EXPECT_EQ(post_json_rpc(f.srv.port(), "{}"), ok(logged_in_answer));
    EXPECT_EQ(post_json_rpc(f.srv.port(), "{\"id\":2}"), ok(logged_in_answer));
    EXPECT_EQ(f.wallet_peer.failures(), std::vector<std::string>{});
    EXPECT_EQ(f.wallet_peer.unauthenticated(), 1);
    // The second call needed no 401: it logged in with the next nonce count.
    EXPECT_EQ(f.wallet_peer.accepted_counts(), (std::vector<std::uint32_t>{1, 2}));
    ASSERT_EQ(f.wallet.requests().size(), 3u);
    const std::string head = "POST /json_rpc HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(f.wallet.port()) +
                             "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n";
    EXPECT_EQ(f.wallet.requests()[0], head + "\r\n{}");
    const std::string second = f.wallet.requests()[1];
    EXPECT_TRUE(second.starts_with(head +
                                   "Authorization: Digest username=\"krv\", realm=\"krv-wallet-rpc\", "
                                   "uri=\"/json_rpc\", algorithm=SHA-256, nonce=\"" +
                                   f.wallet_peer.current_nonce() + "\", nc=00000001, cnonce=\""))
        << second;
    EXPECT_TRUE(second.ends_with("\"\r\n\r\n{}")) << second;
}

TEST(LoginForwarding, PathRelayAndDaemonRouteLogIn)
{
    test::digest_peer::settings md5_only;
    md5_only.algorithms = {""};
    logging_in f(md5_only);
    EXPECT_EQ(test::http_exchange(f.srv.port(), client_request("GET", "/rpc/get_info?a=1", "")),
              ok(logged_in_answer));
    EXPECT_EQ(test::http_exchange(f.srv.port(), client_request("POST", "/daemon_rpc", "{}")),
              ok(logged_in_answer));
    EXPECT_EQ(f.daemon_peer.failures(), std::vector<std::string>{});
    EXPECT_EQ(f.daemon_peer.accepted_counts(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_NE(f.daemon.requests()[1].find("uri=\"/get_info?a=1\", algorithm=MD5, "), std::string::npos);
    EXPECT_EQ(f.wallet.accepted(), 0u);
}

TEST(LoginForwarding, StaleIsRetriedOnceAndASecond401Reported)
{
    test::digest_peer::settings once;
    once.stale_answers = 1;
    logging_in recovers(once);
    EXPECT_EQ(post_json_rpc(recovers.srv.port(), "{}"), ok(logged_in_answer));
    EXPECT_EQ(recovers.wallet.requests().size(), 3u);

    test::digest_peer::settings twice;
    twice.stale_answers = 2;
    logging_in gives_up(twice);
    EXPECT_EQ(post_json_rpc(gives_up.srv.port(), "{}"),
              gives_up.error("krv-wallet-rpc at 127.0.0.1:" + std::to_string(gives_up.wallet.port()) +
                             " refused the login: check the USER:PASSWORD given to --rpc-login-file"));
    EXPECT_EQ(gives_up.wallet.requests().size(), 3u);
    EXPECT_EQ(gives_up.wallet_peer.failures(), std::vector<std::string>{});
}

// A refused login is a 502 that says so and names the option to use; a
// wrong password is tried once, and nothing is read of a 401's body.
TEST(LoginForwarding, RefusedLoginsSayWhatToDo)
{
    logging_in without(test::digest_peer::settings{}, false);
    const std::string wallet_at = "krv-wallet-rpc at 127.0.0.1:" + std::to_string(without.wallet.port());
    const std::string daemon_at = "krv daemon at 127.0.0.1:" + std::to_string(without.daemon.port());
    EXPECT_EQ(post_json_rpc(without.srv.port(), "{}"),
              without.error(wallet_at + " refused the login: start krv-webui with --rpc-login-file FILE"));
    EXPECT_EQ(test::http_exchange(without.srv.port(), client_request("POST", "/daemon_rpc", "{}")),
              without.error(daemon_at + " refused the login: start krv-webui with --daemon-login-file FILE"));
    EXPECT_EQ(test::http_exchange(without.srv.port(), client_request("GET", "/rpc/get_info", "")),
              without.error("krv daemon refused the login: start krv-webui with --daemon-login-file FILE"));
    EXPECT_EQ(without.wallet.requests().size(), 1u);

    test::digest_peer::settings wrong;
    wrong.password = "not the one given";
    logging_in refused(test::digest_peer::settings{}, true);
    test::digest_peer other(wrong);
    test::fake_upstream strict(other.responder());
    config cfg = refused.srv.cfg();
    cfg.rpc_port = strict.port();
    test::server srv(cfg);
    EXPECT_EQ(post_json_rpc(srv.port(), "{}"),
              json_response(502, "Bad Gateway",
                            "{\"error\":\"krv-wallet-rpc at 127.0.0.1:" + std::to_string(strict.port()) +
                                " refused the login: check the USER:PASSWORD given to --rpc-login-file\"}"));
    EXPECT_EQ(strict.requests().size(), 2u);
    ASSERT_EQ(other.failures().size(), 1u);
    EXPECT_TRUE(other.failures()[0].starts_with("response ")) << other.failures()[0];

    // A service that asks for a login this side cannot give.
    forwarding basic(
        test::answer("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\n"
                     "Content-Length: 12\r\n\r\n{\"error\":1}"));
    EXPECT_EQ(
        post_json_rpc(basic.srv.port(), "{}"),
        json_response(502, "Bad Gateway",
                      "{\"error\":\"krv-wallet-rpc at 127.0.0.1:" + std::to_string(basic.wallet.port()) +
                          " refused the login: start krv-webui with --rpc-login-file FILE\"}"));
}

}  // namespace
