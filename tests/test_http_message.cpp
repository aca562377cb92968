#include "http_message.h"

#include <gtest/gtest.h>

#include <thread>

#include "test_support.h"

namespace {

struct read_result {
    read_state state = read_state::need_head;
    http_request req;

    // What parse_request makes of it once the peer has closed.
    bool accepted() const { return state == read_state::complete || state == read_state::need_body; }
};

// Feeds bytes to a fresh reader in pieces of at most piece bytes.
read_result read_in_pieces(std::string_view bytes, std::size_t piece)
{
    read_result r;
    request_reader reader;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        r.state = feed_request(reader, r.req, bytes.substr(at, piece));
    return r;
}

read_result read_whole(std::string_view bytes) { return read_in_pieces(bytes, bytes.size() + 1); }

// The same request: bytes past the declared length are kept only as far
// as the piece that completed the body held them, so they may differ.
bool same(const read_result& a, const read_result& b)
{
    const std::size_t n = static_cast<std::size_t>(a.req.content_length);
    return a.state == b.state && a.req.method == b.req.method && a.req.path == b.req.path &&
           a.req.content_length == b.req.content_length && a.req.body.substr(0, n) == b.req.body.substr(0, n);
}

TEST(HttpResponse, WritesTheFixedHeadersInOrder)
{
    EXPECT_EQ(http_response(200, "text/plain", ""),
              test::expected_head(200, "OK", "text/plain", 0) + "\r\n\r\n");
    EXPECT_EQ(http_response(404, "text/plain", "Not Found: /x"),
              test::expected_head(404, "Not Found", "text/plain", 13) + "\r\n\r\nNot Found: /x");
}

TEST(HttpResponse, PreflightNamesTheHeadersItAllows)
{
    EXPECT_EQ(http_preflight_response("Content-Type, X-KRV-Key"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
              "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: Content-Type, X-KRV-Key\r\n"
              "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(http_preflight_response("Content-Type"), http_response(200, "text/plain", ""));
}

TEST(HttpResponse, ReasonPhrasesAndEmptyContentType)
{
    const std::pair<int, const char*> cases[] = {{200, "OK"},        {400, "Bad Request"},
                                                 {404, "Not Found"}, {502, "Bad Gateway"},
                                                 {500, "Error"},     {302, "Error"}};
    for (const auto& [status, reason] : cases) {
        std::string r = http_response(status, "", "x");
        EXPECT_EQ(r, test::expected_head(status, reason, "", 1) + "\r\n\r\nx") << status;
    }
}

TEST(HttpResponse, BodiesAreCountedAndCopiedAsBytes)
{
    std::string body(1 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    std::string r = http_response(200, "application/octet-stream", body);
    auto split = test::split_response(r);
    EXPECT_NE(split.head.find("\r\nContent-Length: 1048576\r\n"), std::string::npos);
    EXPECT_EQ(split.body, body);

    std::string utf8 = "\xE2\x80\x94";  // one character, three bytes
    EXPECT_NE(http_response(200, "text/plain", utf8).find("Content-Length: 3\r\n"), std::string::npos);
}

TEST(DeclaredLength, FindsTheHeaderAsTheReaderDoes)
{
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n"), 5u);
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nContent-Length:12\r\n\r\n"), 12u);
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\ncontent-length: 3\r\n\r\n"), 3u);
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\n"), 0u);
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nContent-length: 3\r\n\r\n"), 0u);
    // The exact-case name wins even when it only occurs in early body bytes.
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\ncontent-length: 5\r\n\r\nContent-Length: 9"), 9u);
    // The value ends at the line end: digits on the next line do not count.
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nContent-Length:\r\n 5\r\n\r\n"), std::nullopt);
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n"), std::nullopt);
    // Beyond the body bound, and the wrapped -1, are refused.
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nContent-Length: 33554433\r\n\r\n"), std::nullopt);
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nContent-Length: 33554432\r\n\r\n"), 33554432u);
    EXPECT_EQ(declared_length("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"), std::nullopt);
}

TEST(RequestReader, RequestLines)
{
    struct row {
        std::string head;
        bool accepted;
        std::string method, path;
    };
    const row rows[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", true, "GET", "/"},
        {"GET /wallet-log?lines=5&offset=100 HTTP/1.1\r\n\r\n", true, "GET",
         "/wallet-log?lines=5&offset=100"},
        {"OPTIONS * HTTP/1.1\r\n\r\n", true, "OPTIONS", "*"},
        {" /x HTTP/1.1\r\n\r\n", true, "", "/x"},
        {"GET  HTTP/1.1\r\n\r\n", true, "GET", ""},
        {"GET /\r\n\r\n", false, "", ""},
        {"GET\t/\tHTTP/1.1\r\n\r\n", false, "", ""},
        {"\r\n\r\n", false, "", ""},
        // Bare line feeds never end the head: the peer's close ends the read.
        {"GET / HTTP/1.1\n\n", false, "", ""},
    };
    for (const auto& r : rows) {
        read_result got = read_whole(r.head);
        EXPECT_EQ(got.accepted(), r.accepted) << r.head;
        EXPECT_EQ(got.req.method, r.method) << r.head;
        EXPECT_EQ(got.req.path, r.path) << r.head;
        EXPECT_EQ(got.req.body, "") << r.head;
        EXPECT_EQ(got.req.content_length, 0u) << r.head;
    }
}

// Real requests, cut at every point and also fed a byte at a time: the
// reader makes the same request of them as of the whole.
TEST(RequestReader, SameRequestWhateverTheSplit)
{
    const std::string requests[] = {
        "GET /wallet-log?lines=200&offset=5120 HTTP/1.1\r\nHost: 127.0.0.1:8880\r\nUser-Agent: "
        "Mozilla/5.0\r\n"
        "Accept: */*\r\nSec-Fetch-Site: same-origin\r\nConnection: keep-alive\r\n\r\n",
        "POST /json_rpc HTTP/1.1\r\nHost: 127.0.0.1:8880\r\nContent-Type: application/json\r\n"
        "Content-Length: 49\r\nOrigin: http://127.0.0.1:8880\r\n\r\n"
        "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"get_balance\"}\r\n",
        "POST /rpc/get_info HTTP/1.1\r\ncontent-length: 2\r\n\r\n{}extra",
        "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n123",
        "GET / HTTP/1.1\r\nContent-Length: 4294967295\r\n\r\n",
        "GET /\r\n\r\n",
    };
    for (const std::string& request : requests) {
        const read_result whole = read_whole(request);
        EXPECT_TRUE(same(read_in_pieces(request, 1), whole)) << request;
        for (std::size_t cut = 1; cut < request.size(); ++cut) {
            read_result split;
            request_reader reader;
            feed_request(reader, split.req, std::string_view(request).substr(0, cut));
            split.state = feed_request(reader, split.req, std::string_view(request).substr(cut));
            ASSERT_TRUE(same(split, whole)) << "cut at " << cut << " of " << request;
        }
    }
}

TEST(RequestReader, Bodies)
{
    read_result later = read_whole("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345");
    EXPECT_EQ(later.state, read_state::need_body);
    EXPECT_EQ(later.req.body, "12345");

    // Bytes beyond the declared length that came with the head are kept.
    read_result extra = read_whole("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n12345678");
    EXPECT_EQ(extra.state, read_state::complete);
    EXPECT_EQ(extra.req.body, "12345678");
    EXPECT_EQ(extra.req.content_length, 3u);

    // An unrecognised letter case means no length: only what came with the head.
    read_result upper = read_whole("POST / HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\nab");
    EXPECT_EQ(upper.state, read_state::complete);
    EXPECT_EQ(upper.req.body, "ab");
    EXPECT_EQ(upper.req.content_length, 0u);
}

TEST(RequestReader, RefusesLengthsThatDoNotConvertOrExceedTheBound)
{
    for (const char* value : {"", "x", "-1", "4294967295", "99999999999", "33554433"}) {
        read_result r = read_whole(std::string("POST / HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\nab");
        EXPECT_EQ(r.state, read_state::refused) << value;
        EXPECT_EQ(r.req.method, "") << value;
    }
}

TEST(RequestReader, HeadLimit)
{
    std::string head = "GET / HTTP/1.1\r\nX: ";
    head.resize(65536, 'a');
    // Exactly 65536 bytes without the blank line, then the blank line: accepted.
    read_result at_limit = read_whole(head + "\r\n\r\n");
    EXPECT_EQ(at_limit.state, read_state::complete);
    EXPECT_EQ(at_limit.req.path, "/");
    // The blank line in the same piece as the bytes past the limit still counts.
    EXPECT_EQ(read_whole(head + "aaaa\r\n\r\n").state, read_state::complete);

    // More than the limit and still no blank line: refused without waiting.
    EXPECT_EQ(read_whole(head + "a").state, read_state::refused);
    EXPECT_EQ(read_in_pieces(head + "a\r\n\r\n", 65537).state, read_state::refused);
}

// The head's blank line arriving in a piece of its own, after exactly the
// most a head may hold without it, as a browser's slow link may send it.
TEST(RequestReader, HeadAtTheLimitCompletedByTheNextPiece)
{
    std::string head = "POST /json_rpc HTTP/1.1\r\nContent-Length: 2\r\nX: ";
    head.resize(65536, 'a');
    request_reader reader;
    http_request req;
    EXPECT_EQ(feed_request(reader, req, head), read_state::need_head);
    EXPECT_EQ(feed_request(reader, req, "\r\n\r\n{}"), read_state::complete);
    EXPECT_EQ(req.path, "/json_rpc");
    EXPECT_EQ(req.body, "{}");
}

TEST(HeaderValue, BlanksAroundTheValueAreNotPartOfIt)
{
    const std::string head =
        "GET / HTTP/1.1\r\nOrigin:  \t http://127.0.0.1:8880 \t \r\nHost: a b \r\n"
        "X-KRV-Key:\t\t\r\nSec-Fetch-Site: same-origin\r\n\r\n";
    EXPECT_EQ(header_value(head, "origin"), "http://127.0.0.1:8880");
    EXPECT_EQ(header_value(head, "Host"), "a b");
    EXPECT_EQ(header_value(head, "X-KRV-Key"), "");
    EXPECT_EQ(header_value(head, "Sec-Fetch-Site"), "same-origin");
    EXPECT_EQ(header_value(head, "Referer"), std::nullopt);
    // The reader keeps them so: a trailing blank must not fail an exact comparison later.
    read_result r = read_whole(head);
    EXPECT_EQ(r.req.origin, "http://127.0.0.1:8880");
    EXPECT_EQ(r.req.host, "a b");
    EXPECT_EQ(r.req.krv_key, "");
}

// Sends the pieces from a real peer, then closes the peer unless keep_open;
// parse_request runs on the accepted end.
std::pair<bool, http_request> parse_from_peer(const std::vector<std::string>& pieces, bool keep_open)
{
    auto [client, server] = test::loopback_pair();
    std::thread writer([&, c = client.get()] {
        for (const auto& p : pieces)
            plat::send_all(c, p);
    });
    if (!keep_open) {
        writer.join();
        client.reset();
    }
    http_request req;
    body_reservation body;
    bool ok = parse_request(server.get(), req, read_bounds{}, body);
    if (writer.joinable()) writer.join();
    return {ok, req};
}

TEST(ParseRequest, ReadsFromAPeerUntilTheBodyIsComplete)
{
    // The rest of the body arrives later; the connection stays open.
    auto [ok, req] = parse_from_peer({"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345", "67890"}, true);
    EXPECT_TRUE(ok);
    EXPECT_EQ(req.body, "1234567890");

    // A close in the middle of the body: the request goes on with what came.
    auto [short_ok, short_req] = parse_from_peer({"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n123"}, false);
    EXPECT_TRUE(short_ok);
    EXPECT_EQ(short_req.body, "123");

    // A close before the head is complete: no request.
    EXPECT_FALSE(parse_from_peer({"GET / HTTP/1.1\r\nHost: a\r\n"}, false).first);
    // A refused head is not waited on.
    EXPECT_FALSE(parse_from_peer({"GET /\r\n\r\n"}, true).first);

    // A head at the limit, its blank line sent after it.
    std::string head = "GET /at-limit HTTP/1.1\r\nX: ";
    head.resize(65536, 'a');
    auto [limit_ok, limit_req] = parse_from_peer({head, "\r\n\r\n"}, true);
    EXPECT_TRUE(limit_ok);
    EXPECT_EQ(limit_req.path, "/at-limit");
}

// The head alone is read: a body that never comes is not waited for, and
// nothing is reserved until the caller asks for the body.
TEST(ParseRequest, TheHeadIsReadWithoutWaitingForTheBody)
{
    auto [client, server] = test::loopback_pair();
    ASSERT_TRUE(plat::send_all(client.get(),
                               "POST /json_rpc HTTP/1.1\r\nX-Requested-With: page\r\n"
                               "Content-Length: 33554432\r\n\r\n{\"a\""));
    request_reader reader;
    http_request req;
    ASSERT_TRUE(read_request_head(server.get(), reader, req, read_bounds{}));
    EXPECT_EQ(reader.state, read_state::need_body);
    EXPECT_EQ(req.content_length, 33554432u);
    EXPECT_EQ(req.requested_with, "page");
    EXPECT_EQ(req.body, "{\"a\"");

    // The body, once asked for, is reserved first and then read to its end.
    shared_limits limits;
    body_reservation body(limits, false);
    std::thread writer([c = client.get()] { plat::send_all(c, std::string(33554432 - 4, 'x')); });
    EXPECT_TRUE(read_request_body(server.get(), reader, req, read_bounds{}, body));
    writer.join();
    EXPECT_EQ(req.body.size(), 33554432u);
    EXPECT_EQ(limits.bodies_held.load(), 33554432u);
}

}  // namespace
