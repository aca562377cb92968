// Start-up and shutdown: the command line, the web folder and wallet log
// searches, the listener, the banner and the accept loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config_and_request.h"
#include "shared_limits.h"

// What the command-line scan decided.
struct command_line {
    enum outcome { run, help, version, bad_value } result = run;
    // With bad_value: the option, its value and what it needs instead;
    // the value of a login is never shown.
    std::string option;
    std::string value;
    std::string expected;
    // A line that says how to make a good value; empty when there is none.
    std::string hint;
    bool secret = false;
    // The login files to read once the scan is done (empty: none).
    std::string rpc_login_file;
    std::string daemon_login_file;
};

// Applies the options in argv[1..] to cfg; stops at help, at a number that
// does not convert or at a key that may not be one.
command_line scan_command_line(int argc, const char* const* argv, config& cfg);

// A port value converted like stoi and truncated to 16 bits; nullopt when
// it does not begin with a number or lies outside the int32 range.
std::optional<std::uint16_t> convert_port(const std::string& text);

// A login given as USER:PASSWORD: the user is what comes before the first
// colon (not empty, no control byte), the password all that follows it.
std::optional<upstream_login> parse_login(std::string_view text);

// What reading a login file found.
struct login_file {
    enum outcome { ok, unreadable, readable_by_others, empty, malformed } result = ok;
    upstream_login login;
};
// The login on the first line of the file (without its CR LF or LF).
login_file read_login_file(const std::string& path);
// The one-line start-up error for a login file that cannot be used.
std::string login_file_error(login_file::outcome result, const std::string& option, const std::string& path);

// What --version prints.
std::string version_text();

// The folders tried for the web directory, in order, for a program path.
std::vector<std::string> web_dir_candidates(const std::string& program_path);
// The first candidate holding a readable page, else "./web".
std::string find_web_dir(const std::string& program_path);

// The wallet RPC log found from HOME (or, when HOME is unset, USERPROFILE);
// empty when neither is set or no candidate is readable.
std::string find_wallet_log(const char* home, const char* userprofile);

// The banner lines for cfg. Listening on every address, the LAN lines give
// the pairing address of pairing_code for each of cfg's network addresses
// (with --lan-open: cfg's host name, and no code).
std::string banner_text(const config& cfg, std::string_view pairing_code = {});

// Runs the server with the settings of cfg and of the command line:
// start-up, the accept loop until a stop request, shutdown. Returns the
// exit status. cfg and limits must outlive every connection thread, so
// their owner ends the process without destroying them.
int run_server(int argc, const char* const* argv, config& cfg, shared_limits& limits);
