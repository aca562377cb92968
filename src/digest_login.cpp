#include "digest_login.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "ascii.h"

namespace {

constexpr std::size_t cnonce_bytes = 16;

std::string hex(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        out += digits[u >> 4];
        out += digits[u & 15];
    }
    return out;
}

// A token character of HTTP (RFC 9110).
bool is_tchar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

struct auth_param {
    std::string name;  // lower case
    std::string value;
};

// One challenge of a WWW-Authenticate value: its scheme and parameters.
struct challenge_text {
    std::string scheme;  // lower case
    std::vector<auth_param> params;
};

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = ascii_lower(c);
    return out;
}

// Reads the challenges of one header value: a token followed by "=" is a
// parameter of the challenge before it, any other token starts a challenge.
void read_challenges(std::string_view v, std::vector<challenge_text>& out)
{
    std::size_t i = 0;
    auto skip_blanks = [&] {
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t'))
            ++i;
    };
    auto token = [&] {
        const std::size_t from = i;
        while (i < v.size() && is_tchar(v[i]))
            ++i;
        return v.substr(from, i - from);
    };
    while (i < v.size()) {
        skip_blanks();
        if (i >= v.size()) break;
        const std::string_view name = token();
        // A comma between items, or a byte no item starts with.
        if (name.empty()) {
            ++i;
            continue;
        }
        skip_blanks();
        if (i >= v.size() || v[i] != '=') {
            out.push_back({lower(name), {}});
            continue;
        }
        ++i;
        skip_blanks();
        std::string value;
        if (i < v.size() && v[i] == '"') {
            for (++i; i < v.size() && v[i] != '"'; ++i) {
                if (v[i] == '\\' && i + 1 < v.size()) ++i;
                value += v[i];
            }
            ++i;
        } else {
            value = std::string(token());
        }
        if (!out.empty()) out.back().params.push_back({lower(name), std::move(value)});
    }
}

// Every challenge of the head's WWW-Authenticate lines, in order.
std::vector<challenge_text> head_challenges(std::string_view head)
{
    constexpr std::string_view name = "www-authenticate:";
    std::vector<challenge_text> all;
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos && at + 2 < head.size();) {
        const std::size_t start = at + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end - start);
        at = end;
        if (starts_with_any_case(line, name)) read_challenges(line.substr(name.size()), all);
    }
    return all;
}

bool offers_auth(std::string_view qop)
{
    // A comma-separated list of tokens, such as "auth, auth-int".
    std::size_t from = 0;
    while (from <= qop.size()) {
        std::size_t comma = std::min(qop.find(',', from), qop.size());
        std::string_view item = qop.substr(from, comma - from);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
            item.remove_suffix(1);
        if (equal_any_case(item, "auth")) return true;
        from = comma + 1;
    }
    return false;
}

bool has_control_byte(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

std::optional<digest_challenge> answerable(const challenge_text& t)
{
    if (t.scheme != "digest") return std::nullopt;
    digest_challenge c;
    bool has_nonce = false, auth = false, known_algorithm = true;
    for (const auth_param& p : t.params) {
        if (p.name == "realm") {
            c.realm = p.value;
        } else if (p.name == "nonce") {
            c.nonce = p.value;
            has_nonce = true;
        } else if (p.name == "opaque") {
            c.opaque = p.value;
        } else if (p.name == "stale") {
            c.stale = equal_any_case(p.value, "true");
        } else if (p.name == "qop") {
            auth = offers_auth(p.value);
        } else if (p.name == "algorithm") {
            known_algorithm = equal_any_case(p.value, "MD5") || equal_any_case(p.value, "SHA-256");
            c.algorithm = equal_any_case(p.value, "SHA-256") ? plat::hash_kind::sha256 : plat::hash_kind::md5;
        }
    }
    if (!has_nonce || !auth || !known_algorithm) return std::nullopt;
    // They go back in a header line: a lone CR or LF in one could add lines to the request.
    if (has_control_byte(c.realm) || has_control_byte(c.nonce) || has_control_byte(c.opaque.value_or("")))
        return std::nullopt;
    return c;
}

// A quoted-string holding text: quotation marks and backslashes escaped.
void append_quoted(std::string& out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

// The cache's words hold the challenge as bytes: the algorithm, whether an
// opaque came, then realm, nonce and opaque, each after a two-byte length.
std::string pack(const digest_challenge& c)
{
    std::string bytes;
    bytes += static_cast<char>(c.algorithm == plat::hash_kind::sha256 ? 1 : 0);
    bytes += static_cast<char>(c.opaque ? 1 : 0);
    for (const std::string* s : {&c.realm, &c.nonce, c.opaque ? &*c.opaque : &c.realm}) {
        if (s->size() > 0xFFFF) return {};
        bytes += static_cast<char>(s->size() >> 8);
        bytes += static_cast<char>(s->size() & 0xFF);
        bytes += *s;
    }
    return bytes;
}

std::optional<digest_challenge> unpack(std::string_view bytes)
{
    if (bytes.size() < 2) return std::nullopt;
    digest_challenge c;
    c.algorithm = bytes[0] == 1 ? plat::hash_kind::sha256 : plat::hash_kind::md5;
    const bool has_opaque = bytes[1] == 1;
    std::size_t at = 2;
    std::string fields[3];
    for (std::string& field : fields) {
        if (at + 2 > bytes.size()) return std::nullopt;
        const std::size_t n =
            (static_cast<unsigned char>(bytes[at]) << 8) | static_cast<unsigned char>(bytes[at + 1]);
        at += 2;
        if (at + n > bytes.size()) return std::nullopt;
        field = std::string(bytes.substr(at, n));
        at += n;
    }
    c.realm = std::move(fields[0]);
    c.nonce = std::move(fields[1]);
    if (has_opaque) c.opaque = std::move(fields[2]);
    return c;
}

}  // namespace

std::optional<digest_challenge> pick_digest_challenge(std::string_view head)
{
    std::optional<digest_challenge> md5;
    for (const challenge_text& t : head_challenges(head)) {
        auto c = answerable(t);
        if (!c) continue;
        if (c->algorithm == plat::hash_kind::sha256) return c;
        if (!md5) md5 = std::move(c);
    }
    return md5;
}

std::string digest_authorization(const digest_challenge& c, std::string_view user, std::string_view password,
                                 std::string_view method, std::string_view uri, std::uint32_t nc,
                                 std::string_view cnonce)
{
    auto h = [&](std::initializer_list<std::string_view> parts) {
        std::string text;
        bool first = true;
        for (std::string_view p : parts) {
            if (!first) text += ':';
            first = false;
            text += p;
        }
        return hex(plat::hash_bytes(c.algorithm, text));
    };
    char count[9];
    std::snprintf(count, sizeof count, "%08x", static_cast<unsigned>(nc));
    const std::string ha1 = h({user, c.realm, password});
    const std::string ha2 = h({method, uri});
    const std::string response = h({ha1, c.nonce, count, cnonce, "auth", ha2});
    if (ha1.empty() || ha2.empty() || response.empty()) return {};

    std::string out = "Digest username=";
    append_quoted(out, user);
    out += ", realm=";
    append_quoted(out, c.realm);
    out += ", uri=";
    append_quoted(out, uri);
    out += c.algorithm == plat::hash_kind::sha256 ? ", algorithm=SHA-256" : ", algorithm=MD5";
    out += ", nonce=";
    append_quoted(out, c.nonce);
    out += ", nc=";
    out += count;
    out += ", cnonce=";
    append_quoted(out, cnonce);
    out += ", qop=auth, response=\"";
    out += response;
    out += '"';
    if (c.opaque) {
        out += ", opaque=";
        append_quoted(out, *c.opaque);
    }
    return out;
}

std::string new_cnonce()
{
    unsigned char bytes[cnonce_bytes];
    if (!plat::secure_random(bytes, sizeof bytes)) return {};
    return hex(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

void digest_nonce_cache::keep(const digest_challenge& c)
{
    const std::string bytes = pack(c);
    if (bytes.empty() || bytes.size() > 8 * word_count) return;
    std::uint64_t v = version_.load(std::memory_order_relaxed);
    // Another thread is writing: its challenge is as good as this one.
    if ((v & 1) != 0 || !version_.compare_exchange_strong(v, v + 1, std::memory_order_relaxed)) return;
    for (std::size_t w = 0; w < word_count; ++w) {
        std::uint64_t word = 0;
        for (std::size_t b = 0; b < 8 && 8 * w + b < bytes.size(); ++b)
            word |= std::uint64_t{static_cast<unsigned char>(bytes[8 * w + b])} << (8 * b);
        // Release: a reader that sees this word sees the odd version too.
        words_[w].store(word, std::memory_order_release);
    }
    const std::uint64_t published = v + 2;
    uses_.store(((published & 0xFFFFFFFFu) << 32) | 1, std::memory_order_relaxed);
    version_.store(published, std::memory_order_release);
}

std::optional<std::pair<digest_challenge, std::uint32_t>> digest_nonce_cache::next_use()
{
    const std::uint64_t v = version_.load(std::memory_order_acquire);
    if (v == 0 || (v & 1) != 0) return std::nullopt;
    std::string bytes(8 * word_count, '\0');
    for (std::size_t w = 0; w < word_count; ++w) {
        const std::uint64_t word = words_[w].load(std::memory_order_acquire);
        for (std::size_t b = 0; b < 8; ++b)
            bytes[8 * w + b] = static_cast<char>((word >> (8 * b)) & 0xFF);
    }
    if (version_.load(std::memory_order_relaxed) != v) return std::nullopt;
    auto c = unpack(bytes);
    if (!c) return std::nullopt;
    // The count belongs to this version's nonce; a newer one starts its own.
    std::uint64_t u = uses_.load(std::memory_order_relaxed);
    do {
        if ((u >> 32) != (v & 0xFFFFFFFFu) || (u & 0xFFFFFFFFu) == 0xFFFFFFFFu) return std::nullopt;
    } while (!uses_.compare_exchange_weak(u, u + 1, std::memory_order_relaxed));
    return std::pair{std::move(*c), static_cast<std::uint32_t>((u & 0xFFFFFFFFu) + 1)};
}

upstream_login make_login(std::string user, std::string password)
{
    return {std::move(user), std::move(password), std::make_shared<digest_nonce_cache>()};
}

login_tries::login_tries(const upstream_login& login) : login_(login)
{
    if (!login.given() || !login.nonces) return;
    if (auto kept = login.nonces->next_use()) {
        challenge_ = std::move(kept->first);
        nc_ = kept->second;
    }
}

std::string login_tries::header(std::string_view method, std::string_view uri)
{
    if (!challenge_) return {};
    const std::string cnonce = new_cnonce();
    if (cnonce.empty()) return {};
    std::string value =
        digest_authorization(*challenge_, login_.user, login_.password, method, uri, nc_, cnonce);
    if (value.empty()) return {};
    return "Authorization: " + value + "\r\n";
}

bool login_tries::again_after_401(std::string_view head)
{
    if (!login_.given()) return false;
    auto c = pick_digest_challenge(head);
    if (!c) return false;
    // A fresh challenge refused: the login is wrong, unless its nonce was
    // only stale, which earns one more try.
    if (challenge_ && fresh_) {
        if (!c->stale || stale_retried_) return false;
        stale_retried_ = true;
    }
    challenge_ = std::move(*c);
    nc_ = 1;
    fresh_ = true;
    if (login_.nonces) login_.nonces->keep(*challenge_);
    return true;
}
