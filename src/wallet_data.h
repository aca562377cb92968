// Wallet data services: the wallet log tail and the wallet file listing, as JSON.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Most bytes read when the last lines are asked for.
inline constexpr long long log_tail_window = 65536;
// Most bytes read when what was appended since an offset is asked for.
inline constexpr long long log_follow_window = 524288;

// A slice of the log as {"lines":[...],"file_size":N}: the last `lines`
// lines for a negative offset, else what was appended after offset.
// Never fails: a missing log or file gives an answer with an "error" key.
std::string read_tail_json(const std::string& path, int lines, long long offset);

// The bytes of the log to read: length bytes from start.
struct log_window {
    long long start = 0;
    long long length = 0;
};

// The window for a log of size bytes (size > 0): a follow read from
// offset when 0 <= offset < size (at most the follow window, at the end),
// nothing when offset == size, otherwise a tail read of at most the tail
// window.
log_window choose_log_window(long long size, long long offset);

// The answer for the bytes read from a window: split at line feeds
// (empty lines dropped, a partial last line kept), the last `lines` lines
// kept for a negative offset, every line for any other, each escaped.
std::string log_answer(std::string_view bytes, int lines, long long offset, long long size);

// Appends one log line as JSON string content: quote and backslash
// escaped, carriage returns dropped, other control bytes as a space.
void append_escaped_log_line(std::string& out, std::string_view line);

// The wallet files of a folder as {"wallets":[...]}; {"wallets":[]} when
// the folder is not given or cannot be read.
std::string list_wallets_json(const std::string& dir);

// The answer for the file names of a folder in enumeration order: empty
// names, names starting with "." and names ending in ".keys" passed over;
// each name escaped so that the answer is always valid JSON.
std::string wallets_answer(const std::vector<std::string>& names);
