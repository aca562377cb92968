#include "http_message.h"

#include <gtest/gtest.h>

#include <thread>

#include "test_support.h"

namespace {

struct parsed {
    bool ok = false;
    http_request req;
};

// Sends the pieces from a real peer (one send each) and then closes the
// peer unless keep_open; parse_request runs on the accepted end.
parsed parse_from_peer(const std::vector<std::string>& pieces, bool keep_open = false)
{
    auto [client, server] = test::loopback_pair();
    std::thread writer([&, c = client.get()] {
        for (const auto& p : pieces)
            test::send_all(c, p);
    });
    if (!keep_open) {
        writer.join();
        client.reset();
    }
    parsed result;
    result.ok = parse_request(server.get(), result.req);
    if (writer.joinable()) writer.join();
    return result;
}

TEST(HttpResponse, WritesTheFixedHeadersInOrder)
{
    EXPECT_EQ(http_response(200, "text/plain", ""),
              test::expected_head(200, "OK", "text/plain", 0) + "\r\n\r\n");
    EXPECT_EQ(http_response(404, "text/plain", "Not Found: /x"),
              test::expected_head(404, "Not Found", "text/plain", 13) + "\r\n\r\nNot Found: /x");
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

TEST(ContentLengthValue, ConvertsLikeStrtoulWithA32BitResult)
{
    const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
        {"42", 42u},
        {" 12", 12u},
        {"42abc", 42u},
        {"+5", 5u},
        {"-1", 4294967295u},
        {"4294967295", 4294967295u},
        {"\t7\r", 7u},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"-", std::nullopt},
        {"4294967296", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(convert_length_value(text), expected) << text;
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

TEST(ParseRequest, RequestLines)
{
    struct row {
        std::string head;
        bool ok;
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
        parsed p = parse_from_peer({r.head});
        EXPECT_EQ(p.ok, r.ok) << r.head;
        EXPECT_EQ(p.req.method, r.method) << r.head;
        EXPECT_EQ(p.req.path, r.path) << r.head;
        EXPECT_EQ(p.req.body, "") << r.head;
        EXPECT_EQ(p.req.content_length, 0u) << r.head;
    }
}

TEST(ParseRequest, SameResultWhateverTheSplit)
{
    const std::string request = "POST /json_rpc HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd";
    for (std::size_t cut = 1; cut < request.size(); cut += 3) {
        parsed p = parse_from_peer({request.substr(0, cut), request.substr(cut)}, true);
        ASSERT_TRUE(p.ok) << cut;
        EXPECT_EQ(p.req.path, "/json_rpc");
        EXPECT_EQ(p.req.body, "abcd") << cut;
        EXPECT_EQ(p.req.content_length, 4u);
    }
}

TEST(ParseRequest, Bodies)
{
    // The rest of the body arrives later; the connection stays open.
    parsed later = parse_from_peer({"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345", "67890"}, true);
    EXPECT_TRUE(later.ok);
    EXPECT_EQ(later.req.body, "1234567890");

    // Bytes beyond the declared length that came with the head are kept.
    parsed extra = parse_from_peer({"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n12345678"}, true);
    EXPECT_EQ(extra.req.body, "12345678");
    EXPECT_EQ(extra.req.content_length, 3u);

    // A close in the middle of the body: the request goes on with what came.
    parsed short_body = parse_from_peer({"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n123"});
    EXPECT_TRUE(short_body.ok);
    EXPECT_EQ(short_body.req.body, "123");

    // An unrecognised letter case means no length: only what came with the head.
    parsed upper = parse_from_peer({"POST / HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\nab"}, true);
    EXPECT_TRUE(upper.ok);
    EXPECT_EQ(upper.req.body, "ab");
    EXPECT_EQ(upper.req.content_length, 0u);
}

TEST(ParseRequest, RefusesLengthsThatDoNotConvertOrExceedTheBound)
{
    for (const char* value : {"", "x", "-1", "4294967295", "99999999999", "33554433"}) {
        parsed p = parse_from_peer(
            {std::string("POST / HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\nab"}, true);
        EXPECT_FALSE(p.ok) << value;
        EXPECT_EQ(p.req.method, "") << value;
    }
}

TEST(ParseRequest, HeadLimit)
{
    std::string head = "GET / HTTP/1.1\r\nX: ";
    head.resize(65536, 'a');
    // Exactly 65536 bytes without the blank line, then the blank line: accepted.
    parsed at_limit = parse_from_peer({head, "\r\n\r\n"}, true);
    EXPECT_TRUE(at_limit.ok);
    EXPECT_EQ(at_limit.req.path, "/");

    // More than the limit and still no blank line: refused without waiting.
    std::string over = head + std::string(8193, 'a');
    parsed refused = parse_from_peer({over}, true);
    EXPECT_FALSE(refused.ok);
}

}  // namespace
