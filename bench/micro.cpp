// Micro-benchmarks of the pieces every request goes through: formatting a
// response, reading a request from a socket, building the wallet-log
// answer and answering a static file. Not a test; run build*/bench/krv-micro.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "dispatcher.h"
#include "http_message.h"
#include "platform.h"
#include "wallet_data.h"

namespace {

const std::string browser_get =
    "GET /app.js HTTP/1.1\r\n"
    "Host: 127.0.0.1:8880\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 "
    "Safari/537.36\r\n"
    "Accept: */*\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: en-GB,en;q=0.9\r\n"
    "Referer: http://127.0.0.1:8880/\r\n"
    "Connection: keep-alive\r\n"
    "\r\n";

std::string rpc_post()
{
    const std::string body =
        R"({"jsonrpc":"2.0","id":"0","method":"get_balance","params":{"account_index":0}})";
    return "POST /json_rpc HTTP/1.1\r\nHost: 127.0.0.1:8880\r\nContent-Type: application/json\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// About 512 KiB of log lines with quotes, backslashes, tabs and CR LF ends.
std::string wallet_log_bytes()
{
    std::mt19937 rng(42);
    std::string log;
    while (log.size() < 512 * 1024) {
        log += "2026-12-08 09:00:00.123\t[RPC0]\tINFO\twallet2.cpp:1234\tRefreshed wallet \"alice\", height ";
        log += std::to_string(rng() % 1000000);
        log += rng() % 4 == 0 ? ", path C:\\wallets\\alice\r\n" : "\n";
    }
    return log;
}

void BM_http_response_20k(benchmark::State& state)
{
    const std::string body(20 * 1024, 'x');
    for (auto _ : state) {
        std::string message = http_response(200, "text/html; charset=utf-8", body);
        benchmark::DoNotOptimize(message.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_http_response_20k);

// One request sent into a socket pair, then read back by the request reader.
void request_reader(benchmark::State& state, const std::string& request)
{
    plat::socket_handle client, server;
    if (!plat::stream_pair(client, server)) {
        state.SkipWithError("no socket pair");
        return;
    }
    for (auto _ : state) {
        if (plat::send_some(client.get(), request.data(), request.size()) !=
            static_cast<long long>(request.size())) {
            state.SkipWithError("short send");
            break;
        }
        http_request req;
        body_reservation body;
        if (!parse_request(server.get(), req, read_bounds{}, body)) {
            state.SkipWithError("request not read");
            break;
        }
        benchmark::DoNotOptimize(req.body.data());
    }
}
void BM_request_reader_browser_get(benchmark::State& state) { request_reader(state, browser_get); }
void BM_request_reader_rpc_post(benchmark::State& state) { request_reader(state, rpc_post()); }
BENCHMARK(BM_request_reader_browser_get);
BENCHMARK(BM_request_reader_rpc_post);

void BM_log_answer_512k_follow(benchmark::State& state)
{
    const std::string log = wallet_log_bytes();
    const auto size = static_cast<long long>(log.size());
    for (auto _ : state) {
        // A follow read from the start: every line goes into the answer.
        std::string answer = log_answer(log, 30, 0, size);
        benchmark::DoNotOptimize(answer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * log.size()));
}
BENCHMARK(BM_log_answer_512k_follow);

void BM_serve_static_file_20k(benchmark::State& state)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("krv-micro-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    {
        std::ofstream page(dir / "krv-webui.html", std::ios::binary);
        page << std::string(20 * 1024, 'p');
    }
    config cfg;
    cfg.web_dir = dir.string();
    for (auto _ : state) {
        std::string response = serve_static_file("/", cfg);
        benchmark::DoNotOptimize(response.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 20 * 1024));
    std::error_code ec;
    fs::remove_all(dir, ec);
}
BENCHMARK(BM_serve_static_file_20k);

}  // namespace

int main(int argc, char** argv)
{
    plat::socket_library net;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
