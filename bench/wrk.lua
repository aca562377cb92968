-- Request and report for bench.py: the method and body come from the
-- environment; done() prints one machine-readable RESULT line.
local method = os.getenv("BENCH_METHOD")
local body = os.getenv("BENCH_BODY")
if method and #method > 0 then wrk.method = method end
if body and #body > 0 then
    wrk.body = body
    wrk.headers["Content-Type"] = "application/json"
end

function done(summary, latency, requests)
    local e = summary.errors
    io.write(string.format(
        "RESULT requests=%d bytes=%d duration_us=%d connect=%d read=%d write=%d status=%d timeout=%d " ..
        "p50_us=%d p99_us=%d max_us=%d\n",
        summary.requests, summary.bytes, summary.duration, e.connect, e.read, e.write, e.status, e.timeout,
        latency:percentile(50), latency:percentile(99), latency.max))
end
