// The Digest challenge reader on arbitrary response heads: whatever it
// picks must be answerable (a nonce taken from the head), and the
// Authorization value made for it must stay one header line.
#include <cstdint>
#include <string>
#include <string_view>

#include "digest_login.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view head(reinterpret_cast<const char*>(data), size);
    auto c = pick_digest_challenge(head);
    if (!c) return 0;
    if (c->nonce.size() > head.size() || c->realm.size() > head.size()) __builtin_trap();
    const std::string value = digest_authorization(*c, "u\"ser", "pw", "POST", "/json_rpc", 1, "cnonce");
    // Header values come from header lines, so no line end can get in.
    if (value.find_first_of("\r\n") != std::string::npos) __builtin_trap();
    // The cache gives back what it was given.
    digest_nonce_cache cache;
    cache.keep(*c);
    if (auto use = cache.next_use(); use && (use->first.nonce != c->nonce || use->first.opaque != c->opaque))
        __builtin_trap();
    return 0;
}
