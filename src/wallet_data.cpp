#include "wallet_data.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "json_text.h"
#include "platform.h"

namespace {

constexpr std::string_view no_log_answer =
    "{\"error\":\"no wallet-log configured\",\"lines\":[],\"file_size\":0}";
constexpr std::string_view cannot_open_answer =
    "{\"error\":\"cannot open log file\",\"lines\":[],\"file_size\":0}";
constexpr std::string_view empty_log_answer = "{\"lines\":[],\"file_size\":0}";

// The non-empty lines of bytes; what follows the last line feed is a line too.
std::vector<std::string_view> split_lines(std::string_view bytes)
{
    std::vector<std::string_view> lines;
    std::size_t begin = 0;
    while (begin < bytes.size()) {
        std::size_t end = std::min(bytes.find('\n', begin), bytes.size());
        if (end > begin) lines.push_back(bytes.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

// The size as the position reached at the end; -1 when it cannot be had.
long long file_size(std::FILE* f)
{
    if (!plat::seek_file(f, 0, SEEK_END)) return -1;
    return plat::tell_file(f);
}

// Up to window.length bytes from window.start; fewer when the read falls short.
std::string read_window(std::FILE* f, const log_window& window)
{
    std::string bytes(static_cast<std::size_t>(window.length), '\0');
    std::size_t got = 0;
    if (plat::seek_file(f, window.start, SEEK_SET)) got = std::fread(bytes.data(), 1, bytes.size(), f);
    bytes.resize(got);
    return bytes;
}

}  // namespace

log_window choose_log_window(long long size, long long offset)
{
    // Nothing was appended since the offset: there are no lines after it.
    if (offset == size) return {size, 0};
    if (offset < 0 || offset > size) {
        long long length = std::min(size, log_tail_window);
        return {size - length, length};
    }
    long long length = size - offset;
    if (length > log_follow_window) return {size - log_follow_window, log_follow_window};
    return {offset, length};
}

void append_escaped_log_line(std::string& out, std::string_view line)
{
    for (char c : line) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            continue;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
        } else {
            out += c;
        }
    }
}

std::string log_answer(std::string_view bytes, int lines, long long offset, long long size)
{
    std::vector<std::string_view> all = split_lines(bytes);
    std::size_t first = 0;
    if (offset < 0) {
        // A count of 0 or less asks for no line at all.
        std::size_t wanted = lines > 0 ? static_cast<std::size_t>(lines) : 0;
        first = all.size() - std::min(all.size(), wanted);
    }
    std::string out = "{\"lines\":[";
    out.reserve(bytes.size() + 3 * (all.size() - first) + 48);
    for (std::size_t i = first; i < all.size(); ++i) {
        if (i > first) out += ',';
        out += '"';
        append_escaped_log_line(out, all[i]);
        out += '"';
    }
    out += "],\"file_size\":";
    out += std::to_string(size);
    out += '}';
    return out;
}

std::string read_tail_json(const std::string& path, int lines, long long offset)
{
    if (path.empty()) return std::string(no_log_answer);
    // A folder opens for reading on POSIX and reports a bogus size; it is no log.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return std::string(cannot_open_answer);
    // Read-only and unlocked: the service keeps appending while we read.
    plat::file_ptr f(std::fopen(path.c_str(), "r"));
    if (!f) return std::string(cannot_open_answer);
    // Taken once: bytes appended after this moment wait for the next call.
    long long size = file_size(f.get());
    if (size <= 0) return std::string(empty_log_answer);
    std::string bytes = read_window(f.get(), choose_log_window(size, offset));
    f.reset();
    return log_answer(bytes, lines, offset, size);
}

std::string wallets_answer(const std::vector<std::string>& names)
{
    std::string out = "{\"wallets\":[";
    bool any = false;
    for (const std::string& name : names) {
        // Hidden-style names, and the key file kept beside each wallet file.
        if (name.empty() || name[0] == '.') continue;
        if (name.size() > 5 && name.ends_with(".keys")) continue;
        if (any) out += ',';
        any = true;
        out += '"';
        append_json_string_content(out, name);
        out += '"';
    }
    out += "]}";
    return out;
}

std::string list_wallets_json(const std::string& dir)
{
    std::vector<std::string> names;
    if (!dir.empty()) {
        // A folder that cannot be enumerated simply yields no names.
        plat::list_directory(dir, [&names](const std::string& name, bool is_dir) {
            if (!is_dir) names.push_back(name);
        });
    }
    return wallets_answer(names);
}
