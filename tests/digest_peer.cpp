#include "digest_peer.h"

#include <cstdio>
#include <optional>
#include <string_view>

#include "ascii.h"
#include "platform.h"

namespace test {

namespace {

struct credential_field {
    std::string value;
    bool quoted = false;
};

std::string hex(std::string_view bytes)
{
    std::string out;
    char two[3];
    for (char b : bytes) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(b));
        out += two;
    }
    return out;
}

// The value of the request's Authorization header; nullopt without one.
std::optional<std::string> authorization(const std::string& request)
{
    const std::size_t head_end = request.find("\r\n\r\n");
    for (std::size_t at = request.find("\r\n"); at < head_end;) {
        const std::size_t end = request.find("\r\n", at + 2);
        const std::string_view line = std::string_view(request).substr(at + 2, end - at - 2);
        at = end;
        if (starts_with_any_case(line, "authorization:")) {
            std::string_view v = line.substr(14);
            while (!v.empty() && v.front() == ' ')
                v.remove_prefix(1);
            return std::string(v);
        }
    }
    return std::nullopt;
}

// The fields of "Digest name=value, name="value", ..."; nullopt when it
// does not read as that.
std::optional<std::map<std::string, credential_field>> credentials(std::string_view v)
{
    if (!starts_with_any_case(v, "Digest ")) return std::nullopt;
    v.remove_prefix(7);
    std::map<std::string, credential_field> fields;
    while (!v.empty()) {
        const std::size_t eq = v.find('=');
        if (eq == std::string_view::npos || eq == 0) return std::nullopt;
        std::string name(v.substr(0, eq));
        v.remove_prefix(eq + 1);
        credential_field f;
        if (!v.empty() && v.front() == '"') {
            f.quoted = true;
            std::size_t i = 1;
            for (; i < v.size() && v[i] != '"'; ++i) {
                if (v[i] == '\\') ++i;
                if (i < v.size()) f.value += v[i];
            }
            if (i >= v.size()) return std::nullopt;
            v.remove_prefix(i + 1);
        } else {
            const std::size_t end = std::min(v.find(','), v.size());
            f.value = std::string(v.substr(0, end));
            v.remove_prefix(end);
        }
        if (!fields.emplace(name, f).second) return std::nullopt;
        if (v.empty()) break;
        // Fields are separated by a comma and one space, as the RFC writes them.
        if (!v.starts_with(", ")) return std::nullopt;
        v.remove_prefix(2);
    }
    return fields;
}

}  // namespace

digest_peer::digest_peer(settings s) : s_(std::move(s))
{
    stale_left_ = s_.stale_answers;
    nonce_ = "n0+/" + std::to_string(next_nonce_++);
    issued_.insert(nonce_);
    opaque_ = "op\"aque";
}

fake_upstream::responder digest_peer::responder()
{
    return [this](const std::string& request) { return answer_request(request); };
}

int digest_peer::unauthenticated() const
{
    std::lock_guard lock(mutex_);
    return unauthenticated_;
}

std::vector<std::string> digest_peer::failures() const
{
    std::lock_guard lock(mutex_);
    return failures_;
}

std::vector<std::uint32_t> digest_peer::accepted_counts() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::string digest_peer::current_nonce() const
{
    std::lock_guard lock(mutex_);
    return nonce_;
}

script digest_peer::challenge(bool stale)
{
    std::string head = "HTTP/1.1 401 Unauthorized\r\n";
    for (const std::string& algorithm : s_.algorithms) {
        head += "WWW-Authenticate: Digest realm=\"" + s_.realm + "\", qop=\"auth\", ";
        if (!algorithm.empty()) head += "algorithm=" + algorithm + ", ";
        head += "nonce=\"" + nonce_ + "\", opaque=\"op\\\"aque\"";
        if (stale) head += ", stale=true";
        head += "\r\n";
    }
    // Kept open, as servers do: the refusal must be read by its head alone.
    script s = answer(head + "Content-Length: 0\r\n\r\n");
    s.end = script::ending::hold_open;
    return s;
}

script digest_peer::answer_request(const std::string& request)
{
    std::lock_guard lock(mutex_);
    if (!authorization(request)) {
        ++unauthenticated_;
        return challenge(false);
    }
    std::uint32_t count = 0;
    std::string why = check(request, count);
    if (!why.empty()) {
        failures_.push_back(why);
        return challenge(false);
    }
    if (stale_left_ > 0) {
        --stale_left_;
        nonce_ = "n0+/" + std::to_string(next_nonce_++);
        issued_.insert(nonce_);
        return challenge(true);
    }
    accepted_.push_back(count);
    return answer(s_.answer);
}

std::string digest_peer::check(const std::string& request, std::uint32_t& used)
{
    const std::size_t sp1 = request.find(' ');
    const std::size_t sp2 = request.find(' ', sp1 + 1);
    const std::string method = request.substr(0, sp1);
    const std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);
    auto fields = credentials(*authorization(request));
    if (!fields) return "not a Digest credential list: " + *authorization(request);
    auto& f = *fields;
    for (const char* name :
         {"username", "realm", "uri", "nonce", "nc", "cnonce", "qop", "response", "opaque"})
        if (!f.count(name)) return std::string("no ") + name;
    for (const char* name : {"username", "realm", "uri", "nonce", "cnonce", "response", "opaque"})
        if (!f[name].quoted) return std::string(name) + " is not a quoted string";
    for (const char* name : {"nc", "qop", "algorithm"})
        if (f.count(name) && f[name].quoted) return std::string(name) + " is quoted";
    if (f["username"].value != s_.user) return "username " + f["username"].value;
    if (f["realm"].value != s_.realm) return "realm " + f["realm"].value;
    if (f["uri"].value != target) return "uri " + f["uri"].value + " for target " + target;
    if (f["qop"].value != "auth") return "qop " + f["qop"].value;
    if (f["opaque"].value != opaque_) return "opaque " + f["opaque"].value;
    if (!issued_.count(f["nonce"].value)) return "nonce never given: " + f["nonce"].value;
    const std::string algorithm = f.count("algorithm") ? f["algorithm"].value : "";
    bool offered = false;
    for (const std::string& a : s_.algorithms)
        offered = offered || a == algorithm || (algorithm == "MD5" && a.empty()) ||
                  (algorithm.empty() && a == "MD5");
    if (!offered) return "algorithm not offered: " + algorithm;
    const std::string& nc = f["nc"].value;
    if (nc.size() != 8 || nc.find_first_not_of("0123456789abcdef") != std::string::npos) return "nc " + nc;
    const auto count = static_cast<std::uint32_t>(std::stoul(nc, nullptr, 16));
    if (!counts_seen_[f["nonce"].value].insert(count).second) return "nc used before: " + nc;
    const std::string& cnonce = f["cnonce"].value;
    if (cnonce.empty() || !cnonces_seen_.insert(cnonce).second) return "cnonce empty or used before";

    const plat::hash_kind kind = algorithm == "SHA-256" ? plat::hash_kind::sha256 : plat::hash_kind::md5;
    auto h = [&](const std::string& text) { return hex(plat::hash_bytes(kind, text)); };
    const std::string ha1 = h(s_.user + ":" + s_.realm + ":" + s_.password);
    const std::string ha2 = h(method + ":" + target);
    const std::string expected = h(ha1 + ":" + f["nonce"].value + ":" + nc + ":" + cnonce + ":auth:" + ha2);
    if (f["response"].value != expected) return "response " + f["response"].value + ", want " + expected;
    used = count;
    return {};
}

}  // namespace test
