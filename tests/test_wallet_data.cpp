#include "wallet_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

struct parsed_answer {
    std::vector<std::string> lines;
    long long file_size = -1;
};

// Parses an answer whose lines hold no quote or backslash.
parsed_answer parse_answer(const std::string& json)
{
    parsed_answer r;
    const std::string head = "{\"lines\":[", tail = "],\"file_size\":";
    std::size_t end = json.rfind(tail);
    if (!json.starts_with(head) || end == std::string::npos || !json.ends_with("}")) return r;
    std::string body = json.substr(head.size(), end - head.size());
    for (std::size_t at = 0; at < body.size();) {
        std::size_t close = body.find('"', at + 1);
        r.lines.push_back(body.substr(at + 1, close - at - 1));
        at = close + 2;
    }
    r.file_size = std::stoll(json.substr(end + tail.size()));
    return r;
}

std::vector<std::string> parse_wallets(const std::string& json)
{
    std::vector<std::string> names;
    std::string body = json.substr(12, json.size() - 14);
    for (std::size_t at = 0; at < body.size();) {
        std::size_t close = body.find('"', at + 1);
        names.push_back(body.substr(at + 1, close - at - 1));
        at = close + 2;
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The names of a wallets answer, read by the JSON grammar's own rules (a
// raw control byte in a string is an error); nullopt when it is not valid.
std::optional<std::vector<std::string>> strict_wallet_names(const std::string& json)
{
    const std::string head = "{\"wallets\":[";
    if (!json.starts_with(head) || !json.ends_with("]}")) return std::nullopt;
    std::vector<std::string> names;
    std::size_t i = head.size();
    const std::size_t end = json.size() - 2;
    while (i < end) {
        if (!names.empty() && json[i++] != ',') return std::nullopt;
        if (json[i++] != '"') return std::nullopt;
        std::string name;
        for (;;) {
            if (i >= end) return std::nullopt;
            const char c = json[i++];
            if (c == '"') break;
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                name += c;
                continue;
            }
            const char e = json[i++];
            if (e == '"' || e == '\\' || e == '/') {
                name += e;
            } else if (e == 'u' && i + 4 <= end && json.compare(i, 2, "00") == 0) {
                name += static_cast<char>(std::stoi(json.substr(i + 2, 2), nullptr, 16));
                i += 4;
            } else {
                const std::string_view short_escapes = "b\bf\fn\nr\rt\t";
                std::size_t at = short_escapes.find(e);
                if (at == std::string_view::npos || at % 2 != 0) return std::nullopt;
                name += short_escapes[at + 1];
            }
        }
        names.push_back(name);
    }
    return names;
}

// count lines of width bytes each (the line feed included), numbered from first.
std::string numbered_lines(int first, int count, int width)
{
    std::string out;
    for (int i = first; i < first + count; ++i) {
        std::string n = std::to_string(i);
        out += std::string(static_cast<std::size_t>(width - 1) - n.size(), '0') + n + "\n";
    }
    return out;
}

std::string number_line(int i, int width) { return numbered_lines(i, 1, width).substr(0, width - 1); }

}  // namespace

TEST(WalletLog, SixByteLogByLineCountAndOffset)
{
    test::temp_dir dir;
    fs::path log = dir.path() / "wallet-rpc.log";
    test::write_file(log, "a\nb\nc\n");
    struct {
        int lines, offset;
        const char* expected;
    } cases[] = {
        {2, -1, R"({"lines":["b","c"],"file_size":6})"},
        {30, -1, R"({"lines":["a","b","c"],"file_size":6})"},
        {30, INT_MIN, R"({"lines":["a","b","c"],"file_size":6})"},
        {1, 4, R"({"lines":["c"],"file_size":6})"},
        // The window starts with the line feed; the empty line is dropped.
        {1, 3, R"({"lines":["c"],"file_size":6})"},
        {30, 2, R"({"lines":["b","c"],"file_size":6})"},
        {1, 0, R"({"lines":["a","b","c"],"file_size":6})"},
        // At the end: nothing was appended after it.
        {1, 6, R"({"lines":[],"file_size":6})"},
        // Past the end (a truncated log): a tail read with every line, whatever the count.
        {1, 100, R"({"lines":["a","b","c"],"file_size":6})"},
        {1, INT_MAX, R"({"lines":["a","b","c"],"file_size":6})"},
        {0, -1, R"({"lines":[],"file_size":6})"},
        {-5, -1, R"({"lines":[],"file_size":6})"},
        {INT_MIN, -1, R"({"lines":[],"file_size":6})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(read_tail_json(log.string(), c.lines, c.offset), c.expected)
            << "lines " << c.lines << " offset " << c.offset;
}

TEST(WalletLog, FixedAnswers)
{
    test::temp_dir dir;
    test::write_file(dir.path() / "empty.log", "");
    test::write_file(dir.path() / "feeds.log", "\n\n\n\n");
    struct {
        std::string path;
        const char* expected;
    } cases[] = {
        {"", R"({"error":"no wallet-log configured","lines":[],"file_size":0})"},
        {(dir.path() / "missing.log").string(),
         R"({"error":"cannot open log file","lines":[],"file_size":0})"},
        {dir.str(), R"({"error":"cannot open log file","lines":[],"file_size":0})"},
        {(dir.path() / "empty.log").string(), R"({"lines":[],"file_size":0})"},
        {(dir.path() / "feeds.log").string(), R"({"lines":[],"file_size":4})"},
    };
    for (const auto& c : cases)
        for (int offset : {-1, 0, 2})
            EXPECT_EQ(read_tail_json(c.path, 30, offset), c.expected) << c.path << " offset " << offset;
}

TEST(WalletLog, EscapesEachByte)
{
    test::temp_dir dir;
    fs::path log = dir.path() / "w.log";
    test::write_file(log, "x\"y\\z\tw\r\n");
    EXPECT_EQ(read_tail_json(log.string(), 30, -1), R"({"lines":["x\"y\\z w"],"file_size":9})");

    std::string all_bytes;
    for (int b = 0; b < 256; ++b)
        all_bytes += static_cast<char>(b);
    std::string out;
    append_escaped_log_line(out, all_bytes);
    // Control bytes less the carriage return become 31 spaces.
    std::string expected = std::string(31, ' ') +
                           " !\\\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\\\]^_`"
                           "abcdefghijklmnopqrstuvwxyz{|}~\x7f";
    for (int b = 0x80; b < 256; ++b)
        expected += static_cast<char>(b);
    EXPECT_EQ(out, expected);
}

TEST(WalletLog, LineOfCarriageReturnsIsAnEmptyString)
{
    EXPECT_EQ(log_answer("a\n\r\r\nb", 30, -1, 7), R"({"lines":["a","","b"],"file_size":7})");
    EXPECT_EQ(log_answer("", 30, 5, 9), R"({"lines":[],"file_size":9})");
}

TEST(WalletLog, TheLogIsReadAsText)
{
    test::temp_dir dir;
    fs::path log = dir.path() / "crlf.log";
    test::write_file(log, "a\r\n\r\nb\r\n");
    // Windows reads CR LF as LF, so the blank line is dropped there; elsewhere
    // the lone CR is a line of its own and comes out empty.
    const char* expected =
        plat::is_windows ? R"({"lines":["a","b"],"file_size":8})" : R"({"lines":["a","","b"],"file_size":8})";
    EXPECT_EQ(read_tail_json(log.string(), 30, -1), expected);
}

TEST(WalletLog, PartialLastLineArrivesInTwoParts)
{
    test::temp_dir dir;
    fs::path log = dir.path() / "w.log";
    test::write_file(log, "a\nbc");
    EXPECT_EQ(read_tail_json(log.string(), 30, -1), R"({"lines":["a","bc"],"file_size":4})");
    test::append_file(log, "d\n");
    EXPECT_EQ(read_tail_json(log.string(), 30, 4), R"({"lines":["d"],"file_size":6})");
    EXPECT_EQ(read_tail_json(log.string(), 30, 6), R"({"lines":[],"file_size":6})");
}

TEST(WalletLog, WindowChoice)
{
    const long long gib3 = 3LL << 30;
    struct {
        long long size;
        int offset;
        long long start, length;
    } cases[] = {
        {6, -1, 0, 6},
        {100000, -1, 34464, 65536},
        {100000, 100000, 100000, 0},
        {100000, 100001, 34464, 65536},
        {100000, 99990, 99990, 10},
        {600006, 6, 75718, 524288},
        {524294, 6, 6, 524288},
        {gib3, -1, gib3 - 65536, 65536},
        {gib3, 0, gib3 - 524288, 524288},
        {gib3, INT_MAX, gib3 - 524288, 524288},
        {INT_MAX + 11LL, INT_MAX, INT_MAX, 11},
    };
    for (const auto& c : cases) {
        log_window w = choose_log_window(c.size, c.offset);
        EXPECT_EQ(w.start, c.start) << c.size << " " << c.offset;
        EXPECT_EQ(w.length, c.length) << c.size << " " << c.offset;
    }
}

TEST(WalletLog, TailReadSplitsOnlyTheLast64KiB)
{
    // 100 lines of 1000 bytes: the window starts 464 bytes into line 34.
    test::temp_dir dir;
    fs::path log = dir.path() / "w.log";
    test::write_file(log, numbered_lines(0, 100, 1000));

    parsed_answer all = parse_answer(read_tail_json(log.string(), 500, -1));
    ASSERT_EQ(all.lines.size(), 66u);
    EXPECT_EQ(all.lines[0], number_line(34, 1000).substr(464));
    EXPECT_EQ(all.lines[1], number_line(35, 1000));
    EXPECT_EQ(all.lines[65], number_line(99, 1000));
    EXPECT_EQ(all.file_size, 100000);

    parsed_answer last = parse_answer(read_tail_json(log.string(), 30, -1));
    ASSERT_EQ(last.lines.size(), 30u);
    EXPECT_EQ(last.lines[0], number_line(70, 1000));
}

TEST(WalletLog, FollowReadReturnsEverythingUpToHalfAMebibyte)
{
    test::temp_dir dir;
    fs::path log = dir.path() / "w.log";
    test::write_file(log, "start\n");
    test::append_file(log, numbered_lines(0, 1000, 100));  // 100000 bytes

    parsed_answer some = parse_answer(read_tail_json(log.string(), 1, 6));
    ASSERT_EQ(some.lines.size(), 1000u);
    EXPECT_EQ(some.lines[0], number_line(0, 100));
    EXPECT_EQ(some.file_size, 100006);

    test::write_file(log, "start\n");
    test::append_file(log, numbered_lines(0, 6000, 100));  // 600000 bytes
    // The window is the last 524288 bytes: 12 bytes into line 757.
    parsed_answer capped = parse_answer(read_tail_json(log.string(), 1, 6));
    ASSERT_EQ(capped.lines.size(), 5243u);
    EXPECT_EQ(capped.lines[0], number_line(757, 100).substr(12));
    EXPECT_EQ(capped.lines[1], number_line(758, 100));
    EXPECT_EQ(capped.lines.back(), number_line(5999, 100));
    EXPECT_EQ(capped.file_size, 600006);
}

TEST(WalletLog, LogOfThreeGibibytesReportsItsTrueSize)
{
    test::temp_dir dir;
    fs::path log = dir.path() / "big.log";
    test::write_file(log, "");
    fs::resize_file(log, 3LL << 30);  // sparse: nothing is written
    test::append_file(log, "\nx\nlast line\n");
    const std::string size = std::to_string((3LL << 30) + 13);

    EXPECT_EQ(read_tail_json(log.string(), 2, -1), R"({"lines":["x","last line"],"file_size":)" + size + "}");
    // Any offset the query can carry is a follow read of the last 512 KiB.
    for (int offset : {0, INT_MAX}) {
        parsed_answer r = parse_answer(read_tail_json(log.string(), 2, offset));
        ASSERT_EQ(r.lines.size(), 3u) << offset;
        EXPECT_EQ(r.lines[0], std::string(524288 - 13, ' '));
        EXPECT_EQ(r.lines[2], "last line");
        EXPECT_EQ(std::to_string(r.file_size), size);
    }
}

// The page follows a log past 2^31 bytes by sending file_size back as the
// offset: each appended line comes exactly once, through the route too.
TEST(WalletLog, FollowsASparseLogPastThreeGibibytes)
{
    test::temp_dir dir;
    fs::path log = dir.path() / "big.log";
    test::write_file(log, "");
    fs::resize_file(log, 3LL << 30);
    test::append_file(log, "\nfirst\n");
    parsed_answer r = parse_answer(read_tail_json(log.string(), 1, -1));
    EXPECT_EQ(r.lines, std::vector<std::string>{"first"});
    long long offset = r.file_size;
    ASSERT_EQ(offset, (3LL << 30) + 7);

    config cfg;
    cfg.wallet_log = log.string();
    test::server srv(cfg);
    for (int i = 0; i < 3; ++i) {
        test::append_file(log, "appended " + std::to_string(i) + "\n");
        const std::string target = "/wallet-log?lines=200&offset=" + std::to_string(offset);
        const std::string answer =
            test::split_response(
                test::http_exchange(srv.port(), "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
                .body;
        r = parse_answer(answer);
        EXPECT_EQ(r.lines, std::vector<std::string>{"appended " + std::to_string(i)}) << answer;
        EXPECT_EQ(r.file_size, offset + 11);
        offset = r.file_size;
        // Asked again at the new size: nothing more.
        EXPECT_EQ(read_tail_json(log.string(), 200, offset),
                  R"({"lines":[],"file_size":)" + std::to_string(offset) + "}");
    }
}

// A writer appends lines, each in two writes, while the reader follows with
// the returned size as its next offset. Every hundredth line waits after its
// first half until the reader has seen it, so lines split by a read occur.
TEST(WalletLog, FollowsALogBeingWritten)
{
    constexpr int line_count = 20000;
    test::temp_dir dir;
    fs::path log = dir.path() / "live.log";
    test::write_file(log, "");

    std::mutex m;
    std::condition_variable seen_cv;
    long long seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);

    std::thread writer([&] {
        std::FILE* f = std::fopen(log.string().c_str(), "ab");
        long long written = 0;
        for (int i = 0; i < line_count && f; ++i) {
            std::string first = "line-" + std::to_string(i) + "-", second = "end\n";
            std::fwrite(first.data(), 1, first.size(), f);
            std::fflush(f);
            written += static_cast<long long>(first.size());
            if (i % 100 == 50) {
                std::unique_lock lock(m);
                seen_cv.wait_until(lock, deadline, [&] { return seen >= written; });
            }
            std::fwrite(second.data(), 1, second.size(), f);
            std::fflush(f);
            written += static_cast<long long>(second.size());
        }
        if (f) std::fclose(f);
    });

    auto started = std::chrono::steady_clock::now();
    std::vector<std::string> received;
    std::string pending;
    int offset = 0, reads = 0, split_lines = 0;
    while (static_cast<int>(received.size()) < line_count && std::chrono::steady_clock::now() < deadline) {
        parsed_answer r = parse_answer(read_tail_json(log.string(), 30, offset));
        ++reads;
        if (r.file_size == offset) {
            EXPECT_TRUE(r.lines.empty());
        }
        for (const std::string& piece : r.lines) {
            if (!pending.empty()) ++split_lines;
            pending += piece;
            if (pending.ends_with("-end")) received.push_back(std::exchange(pending, ""));
        }
        offset = static_cast<int>(r.file_size);
        std::lock_guard lock(m);
        seen = r.file_size;
        seen_cv.notify_all();
    }
    writer.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    ASSERT_EQ(received.size(), static_cast<std::size_t>(line_count));
    for (int i = 0; i < line_count; ++i)
        ASSERT_EQ(received[i], "line-" + std::to_string(i) + "-end");
    EXPECT_TRUE(pending.empty());
    EXPECT_GE(split_lines, line_count / 100);
    std::cout << "followed " << line_count << " lines in " << reads << " reads, " << split_lines
              << " arrived in two parts, " << seconds << " s\n";
}

TEST(WalletFiles, ListsWalletDataFilesOnly)
{
    test::temp_dir dir;
    for (const char* name : {"alice", "alice.keys", "bob", "bob.keys", "bob.address.txt", ".hidden"})
        test::write_file(dir.path() / name, "x");
    fs::create_directory(dir.path() / "backup");
    test::write_file(dir.path() / "backup" / "eve", "x");

    std::string answer = list_wallets_json(dir.str());
    EXPECT_TRUE(answer.starts_with("{\"wallets\":[\"") && answer.ends_with("\"]}")) << answer;
    EXPECT_EQ(parse_wallets(answer), (std::vector<std::string>{"alice", "bob", "bob.address.txt"}));
    // A trailing separator names the same folder.
    EXPECT_EQ(parse_wallets(list_wallets_json(dir.str() + "/")), parse_wallets(answer));
}

TEST(WalletFiles, OneEntryFolders)
{
    struct {
        const char* file;  // nullptr: the folder stays empty
        const char* expected;
    } cases[] = {
        {nullptr, R"({"wallets":[]})"},
        {"carol.keys", R"({"wallets":[]})"},
        {".keys", R"({"wallets":[]})"},
        {"dave.KEYS", R"({"wallets":["dave.KEYS"]})"},
        {"erin.Keys", R"({"wallets":["erin.Keys"]})"},
        {"frank.keys.old", R"({"wallets":["frank.keys.old"]})"},
    };
    for (const auto& c : cases) {
        test::temp_dir dir;
        if (c.file) test::write_file(dir.path() / c.file, "x");
        EXPECT_EQ(list_wallets_json(dir.str()), c.expected) << (c.file ? c.file : "(empty)");
    }
}

TEST(WalletFiles, UnreadableFoldersGiveAnEmptyList)
{
    test::temp_dir dir;
    test::write_file(dir.path() / "file", "x");
    for (std::string path :
         {std::string(), (dir.path() / "missing").string(), (dir.path() / "file").string()})
        EXPECT_EQ(list_wallets_json(path), R"({"wallets":[]})") << path;
}

TEST(WalletFiles, NamesAreEscapedAndKeptInOrder)
{
    EXPECT_EQ(wallets_answer({"b", "", "a\"q", ".x", "k.keys", "c\\d", "t\tab", "n\x01\x1f"}),
              "{\"wallets\":[\"b\",\"a\\\"q\",\"c\\\\d\",\"t\\u0009ab\",\"n\\u0001\\u001f\"]}");

    test::temp_dir dir;
    std::error_code ec;
    test::write_file(dir.path() / "q\"b\\s", "x");
    if (!fs::exists(dir.path() / "q\"b\\s", ec)) GTEST_SKIP() << "the file system refuses such names";
    EXPECT_EQ(list_wallets_json(dir.str()), R"({"wallets":["q\"b\\s"]})");
}

// A file name may hold any byte but '/' and NUL on POSIX: the answer stays
// valid JSON and gives every name back as it is.
TEST(WalletFiles, NamesWithControlBytesStayValidJson)
{
    if (plat::is_windows) GTEST_SKIP() << "Windows file names cannot hold control bytes";
    test::temp_dir dir;
    std::vector<std::string> expected;
    for (int b = 0x01; b < 0x20; ++b) {
        // Built in place: g++ 12 at -O3 warns falsely (-Wrestrict) on "w" + std::string(...).
        std::string name = "w";
        name += static_cast<char>(b);
        name += 'x';
        test::write_file(dir.path() / name, "x");
        expected.push_back(name);
    }
    auto names = strict_wallet_names(list_wallets_json(dir.str()));
    ASSERT_TRUE(names.has_value()) << list_wallets_json(dir.str());
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, expected);
}

TEST(WalletFiles, LinksCountAsWhatTheyLeadTo)
{
    test::temp_dir dir;
    fs::create_directory(dir.path() / "real-folder");
    test::write_file(dir.path() / "real-wallet", "x");
    std::error_code ec;
    fs::create_directory_symlink(dir.path() / "real-folder", dir.path() / "folder-link", ec);
    if (!ec) fs::create_symlink(dir.path() / "real-wallet", dir.path() / "wallet-link", ec);
    if (!ec) fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling-link", ec);
    if (ec) GTEST_SKIP() << "symbolic links cannot be made here: " << ec.message();

    EXPECT_EQ(parse_wallets(list_wallets_json(dir.str())),
              (std::vector<std::string>{"dangling-link", "real-wallet", "wallet-link"}));
}
