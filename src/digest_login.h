// Digest login (RFC 7616, qop "auth", MD5 or SHA-256) to the wallet RPC
// service and the daemon: the login given on the command line, the
// challenge a 401 carries, the Authorization header that answers it, and
// the nonce kept so that later requests log in without a 401 first.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform.h"

// A Digest challenge this side can answer.
struct digest_challenge {
    plat::hash_kind algorithm = plat::hash_kind::md5;
    std::string realm;
    std::string nonce;
    std::optional<std::string> opaque;  // sent back exactly when it came
    bool stale = false;
};

// Of the Digest challenges in a response head's WWW-Authenticate headers
// that offer qop "auth", the first with SHA-256, else the first with MD5;
// nullopt when there is none.
std::optional<digest_challenge> pick_digest_challenge(std::string_view head);

// The value of the Authorization header that answers c for one request;
// empty when the system's hash library failed.
std::string digest_authorization(const digest_challenge& c, std::string_view user, std::string_view password,
                                 std::string_view method, std::string_view uri, std::uint32_t nc,
                                 std::string_view cnonce);

// A fresh client nonce: 32 hex digits from the secure random source;
// empty when it cannot be had.
std::string new_cnonce();

// The challenge answered last, kept for the requests that follow, each
// with the next nonce count. Lock-free: a writer fills the words between
// two steps of the version (odd while it writes); a reader that sees the
// version move under it takes nothing and logs in afresh.
class digest_nonce_cache {
public:
    // Keeps c, whose nonce the caller has just used once (nonce count 1).
    // A challenge too large for the words is not kept.
    void keep(const digest_challenge& c);
    // The kept challenge and the next nonce count for it; nullopt when
    // none is kept or one is being replaced at this moment.
    std::optional<std::pair<digest_challenge, std::uint32_t>> next_use();

private:
    static constexpr std::size_t word_count = 96;
    std::atomic<std::uint64_t> version_{0};
    std::array<std::atomic<std::uint64_t>, word_count> words_{};
    // The low 32 bits of the version it counts for, then the last count used.
    std::atomic<std::uint64_t> uses_{0};
};

// A login to one service; without a user name none is given.
struct upstream_login {
    std::string user;
    std::string password;
    // Shared by every copy of the configuration, like the service itself.
    std::shared_ptr<digest_nonce_cache> nonces;
    bool given() const { return !user.empty(); }
};
upstream_login make_login(std::string user, std::string password);

// The tries of one request to a service that may ask for a login: one with
// the kept nonce, if any; one with the challenge of a 401; one more when
// that one's nonce was only stale. Every other 401 is final.
class login_tries {
public:
    explicit login_tries(const upstream_login& login);
    // It keeps a reference: the login must outlive it.
    explicit login_tries(const upstream_login&& login) = delete;
    // The Authorization header line (CR LF included) for the next try;
    // empty when it goes without one.
    std::string header(std::string_view method, std::string_view uri);
    // After a 401 whose head is head: true when another try is worth making.
    bool again_after_401(std::string_view head);

private:
    const upstream_login& login_;
    std::optional<digest_challenge> challenge_;
    std::uint32_t nc_ = 0;
    bool fresh_ = false;          // challenge_ came with a 401 of this request
    bool stale_retried_ = false;  // the one try after stale=true was made
};
