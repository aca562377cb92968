#include "digest_login.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

namespace {

// RFC 7616, section 3.9.1: the challenge, once per algorithm, and the
// credentials that answer it for GET /dir/index.html.
const std::string rfc_nonce = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
const std::string rfc_opaque = "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS";
const std::string rfc_cnonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";

std::string rfc_challenge(const std::string& algorithm)
{
    return "WWW-Authenticate: Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=" +
           algorithm + ", nonce=\"" + rfc_nonce + "\", opaque=\"" + rfc_opaque + "\"\r\n";
}

std::string rfc_credentials(const std::string& algorithm, const std::string& response)
{
    return "Digest username=\"Mufasa\", realm=\"http-auth@example.org\", uri=\"/dir/index.html\", "
           "algorithm=" +
           algorithm + ", nonce=\"" + rfc_nonce + "\", nc=00000001, cnonce=\"" + rfc_cnonce +
           "\", qop=auth, response=\"" + response + "\", opaque=\"" + rfc_opaque + "\"";
}

std::string head_with(const std::string& lines) { return "HTTP/1.1 401 Unauthorized\r\n" + lines + "\r\n"; }

TEST(DigestLogin, Rfc7616WorkedExample)
{
    const std::string sha256 = "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1";
    const std::string md5 = "8ca523f5e9506fed4657c9700eebdbec";
    // The RFC offers SHA-256 first; SHA-256 is taken in either order.
    for (const std::string& head : {head_with(rfc_challenge("SHA-256") + rfc_challenge("MD5")),
                                    head_with(rfc_challenge("MD5") + rfc_challenge("SHA-256"))}) {
        auto c = pick_digest_challenge(head);
        ASSERT_TRUE(c.has_value()) << head;
        EXPECT_EQ(c->algorithm, plat::hash_kind::sha256);
        EXPECT_EQ(
            digest_authorization(*c, "Mufasa", "Circle of Life", "GET", "/dir/index.html", 1, rfc_cnonce),
            rfc_credentials("SHA-256", sha256));
    }
    auto c = pick_digest_challenge(head_with(rfc_challenge("MD5")));
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->algorithm, plat::hash_kind::md5);
    EXPECT_EQ(digest_authorization(*c, "Mufasa", "Circle of Life", "GET", "/dir/index.html", 1, rfc_cnonce),
              rfc_credentials("MD5", md5));
}

TEST(DigestLogin, ChallengesThisSideCanAnswer)
{
    struct row {
        const char* name;
        std::string lines;
        std::optional<std::string> nonce;  // of the challenge taken
        plat::hash_kind algorithm = plat::hash_kind::md5;
    };
    const row rows[] = {
        {"no algorithm means MD5", "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\", qop=\"auth\"\r\n",
         "a"},
        {"several in one line, SHA-256 preferred",
         "www-authenticate: Basic realm=\"x\", Digest realm=\"r\", nonce=\"m\", qop=\"auth\", Digest "
         "realm=\"r\", nonce=\"s\", algorithm=sha-256, qop=auth\r\n",
         "s", plat::hash_kind::sha256},
        {"quoted commas and escapes",
         "WWW-Authenticate: Digest realm=\"a, \\\"b\\\"\", nonce = \"n,1\" , qop=\"auth-int,auth\"\r\n",
         "n,1"},
        {"no qop is RFC 2069, not answered", "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\"\r\n",
         std::nullopt},
        {"auth-int alone", "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\", qop=\"auth-int\"\r\n",
         std::nullopt},
        {"unknown algorithm",
         "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\", qop=\"auth\", algorithm=SHA-512-256\r\n",
         std::nullopt},
        {"sess variant",
         "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\", qop=\"auth\", algorithm=MD5-sess\r\n",
         std::nullopt},
        {"no nonce", "WWW-Authenticate: Digest realm=\"r\", qop=\"auth\"\r\n", std::nullopt},
        {"Basic only", "WWW-Authenticate: Basic realm=\"r\"\r\n", std::nullopt},
        {"other header", "X-WWW-Authenticate: Digest realm=\"r\", nonce=\"a\", qop=\"auth\"\r\n",
         std::nullopt},
        {"token68 and junk", "WWW-Authenticate: Negotiate abc==, =,, \"x\r\n", std::nullopt},
        {"unterminated quote", "WWW-Authenticate: Digest nonce=\"a, qop=\"auth\r\n", std::nullopt},
        // Sent back in a header line, a lone line feed would start a line of its own.
        {"line feed in the nonce",
         "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\nX: 1\", qop=\"auth\"\r\n", std::nullopt},
        {"carriage return in the opaque",
         "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\", opaque=\"o\rX\", qop=\"auth\"\r\n",
         std::nullopt},
    };
    for (const auto& r : rows) {
        auto c = pick_digest_challenge(head_with(r.lines));
        ASSERT_EQ(c.has_value(), r.nonce.has_value()) << r.name;
        if (!c) continue;
        EXPECT_EQ(c->nonce, *r.nonce) << r.name;
        EXPECT_EQ(c->algorithm, r.algorithm) << r.name;
    }
    auto quoted = pick_digest_challenge(head_with(rows[2].lines));
    EXPECT_EQ(quoted->realm, "a, \"b\"");
    EXPECT_FALSE(quoted->opaque.has_value());

    auto stale = pick_digest_challenge(head_with(
        "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\", qop=\"auth\", stale=TRUE, opaque=\"\"\r\n"));
    ASSERT_TRUE(stale.has_value());
    EXPECT_TRUE(stale->stale);
    // An empty opaque still goes back.
    EXPECT_EQ(stale->opaque, "");
}

TEST(DigestLogin, QuotedValuesAreEscaped)
{
    digest_challenge c;
    c.realm = "re\"alm";
    c.nonce = "n\\1";
    const std::string h = digest_authorization(c, "us\"er\\", "pw", "POST", "/json_rpc", 0x1a, "cn");
    EXPECT_TRUE(
        h.starts_with("Digest username=\"us\\\"er\\\\\", realm=\"re\\\"alm\", uri=\"/json_rpc\", "
                      "algorithm=MD5, nonce=\"n\\\\1\", nc=0000001a, cnonce=\"cn\", qop=auth, response=\""))
        << h;
    EXPECT_EQ(h.find("opaque"), std::string::npos);
}

TEST(DigestLogin, ClientNoncesAreFresh)
{
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string c = new_cnonce();
        EXPECT_EQ(c.size(), 32u);
        EXPECT_EQ(c.find_first_not_of("0123456789abcdef"), std::string::npos);
        seen.insert(c);
    }
    EXPECT_EQ(seen.size(), 100u);
}

digest_challenge challenge(std::string nonce)
{
    digest_challenge c;
    c.algorithm = plat::hash_kind::sha256;
    c.realm = "realm";
    c.nonce = std::move(nonce);
    c.opaque = "op";
    return c;
}

TEST(DigestNonceCache, CountsOnFromTheKeepersOwnUse)
{
    digest_nonce_cache cache;
    EXPECT_FALSE(cache.next_use().has_value());
    cache.keep(challenge("one"));
    for (std::uint32_t nc = 2; nc < 5; ++nc) {
        auto use = cache.next_use();
        ASSERT_TRUE(use.has_value());
        EXPECT_EQ(use->first.nonce, "one");
        EXPECT_EQ(use->first.opaque, "op");
        EXPECT_EQ(use->first.algorithm, plat::hash_kind::sha256);
        EXPECT_EQ(use->second, nc);
    }
    // A new nonce counts from its own start.
    digest_challenge two = challenge("two");
    two.opaque.reset();
    cache.keep(two);
    auto use = cache.next_use();
    ASSERT_TRUE(use.has_value());
    EXPECT_EQ(use->first.nonce, "two");
    EXPECT_FALSE(use->first.opaque.has_value());
    EXPECT_EQ(use->second, 2u);
    // One too large to keep leaves the last one in place.
    cache.keep(challenge(std::string(2000, 'n')));
    EXPECT_EQ(cache.next_use()->first.nonce, "two");
}

// Readers on several threads while a writer keeps replacing the nonce:
// every use handed out is a whole challenge, and no nonce count is given
// twice for the same nonce.
TEST(DigestNonceCache, ConcurrentUsesNeverRepeatACount)
{
    digest_nonce_cache cache;
    cache.keep(challenge("n0"));
    constexpr int readers = 4;
    std::vector<std::vector<std::pair<std::string, std::uint32_t>>> got(readers);
    std::vector<std::thread> threads;
    for (int r = 0; r < readers; ++r) {
        threads.emplace_back([&cache, &mine = got[r]] {
            for (int i = 0; i < 20000; ++i)
                if (auto use = cache.next_use()) mine.emplace_back(use->first.nonce, use->second);
        });
    }
    for (int n = 1; n <= 200; ++n)
        cache.keep(challenge(std::string("n").append(std::to_string(n))));
    for (auto& t : threads)
        t.join();
    std::map<std::string, std::set<std::uint32_t>> counts;
    std::size_t total = 0;
    for (const auto& list : got) {
        for (const auto& [nonce, nc] : list) {
            EXPECT_TRUE(nonce.starts_with("n") && nonce.size() <= 4) << nonce;
            EXPECT_GE(nc, 2u);
            EXPECT_TRUE(counts[nonce].insert(nc).second) << nonce << " " << nc;
            ++total;
        }
    }
    EXPECT_GT(total, 0u);
}

TEST(LoginTries, StaleEarnsOneMoreTryAndAnyOther401IsFinal)
{
    const upstream_login login = make_login("krv", "pw");
    const std::string fresh =
        head_with("WWW-Authenticate: Digest realm=\"r\", nonce=\"a\", qop=\"auth\"\r\n");
    const std::string stale =
        head_with("WWW-Authenticate: Digest realm=\"r\", nonce=\"b\", qop=\"auth\", stale=true\r\n");
    {
        login_tries t(login);
        EXPECT_EQ(t.header("POST", "/json_rpc"), "");
        ASSERT_TRUE(t.again_after_401(fresh));
        const std::string h = t.header("POST", "/json_rpc");
        EXPECT_TRUE(h.starts_with("Authorization: Digest username=\"krv\"") && h.ends_with("\"\r\n")) << h;
        EXPECT_NE(h.find("nonce=\"a\", nc=00000001"), std::string::npos) << h;
        ASSERT_TRUE(t.again_after_401(stale));
        EXPECT_NE(t.header("POST", "/json_rpc").find("nonce=\"b\", nc=00000001"), std::string::npos);
        EXPECT_FALSE(t.again_after_401(stale));
    }
    {
        // The next request starts with the kept nonce and counts on.
        login_tries t(login);
        EXPECT_NE(t.header("POST", "/json_rpc").find("nonce=\"b\", nc=00000002"), std::string::npos);
        // Refused with the kept nonce: one try with the new challenge, then final.
        ASSERT_TRUE(t.again_after_401(fresh));
        EXPECT_FALSE(t.again_after_401(fresh));
    }
    const upstream_login no_login;
    login_tries none(no_login);
    EXPECT_FALSE(none.again_after_401(fresh));
    const upstream_login other = make_login("krv", "pw");
    login_tries unanswerable(other);
    EXPECT_FALSE(unanswerable.again_after_401(head_with("WWW-Authenticate: Basic realm=\"r\"\r\n")));
}

}  // namespace
