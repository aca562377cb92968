// A fake service that asks for a Digest login (RFC 7616, qop "auth") and
// checks each Authorization header the way the RFC says: every field it
// requires, the realm, nonce and opaque it gave, the request's own target,
// a nonce count not used before with that nonce, and the response computed
// from the password. Plugged into a fake_upstream as its responder.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fake_upstream.h"

namespace test {

class digest_peer {
public:
    struct settings {
        std::string user = "krv";
        std::string password = "p:a ss\"w\\rd";
        std::string realm = "krv-wallet-rpc";
        // The challenges offered, in order: "SHA-256", "MD5", or "" (no
        // algorithm named, which means MD5).
        std::vector<std::string> algorithms = {"SHA-256", "MD5"};
        // How many of the first logins that would pass are answered with
        // a new nonce and stale=true instead.
        int stale_answers = 0;
        // The answer to a request that logged in.
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"result\":1}";
    };

    explicit digest_peer(settings s);
    fake_upstream::responder responder();

    // Requests that carried no Authorization header, and those whose header
    // failed a check (with the reason).
    int unauthenticated() const;
    std::vector<std::string> failures() const;
    // Requests that logged in, and the nonce counts they used, in order.
    std::vector<std::uint32_t> accepted_counts() const;
    // The nonce most recently given.
    std::string current_nonce() const;

private:
    script answer_request(const std::string& request);
    script challenge(bool stale);
    // Empty when the header passes (its nonce count then in used); else why not.
    std::string check(const std::string& request, std::uint32_t& used);

    settings s_;
    mutable std::mutex mutex_;
    std::string nonce_;
    std::string opaque_;
    int next_nonce_ = 0;
    int stale_left_ = 0;
    int unauthenticated_ = 0;
    std::vector<std::string> failures_;
    std::vector<std::uint32_t> accepted_;
    std::set<std::string> issued_;
    std::map<std::string, std::set<std::uint32_t>> counts_seen_;
    std::set<std::string> cnonces_seen_;
};

}  // namespace test
