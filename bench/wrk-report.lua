-- Prints the figures of one wrk run as "@@ <key> <value>" lines for run.sh to pick up.
-- With BENCH_CLOSE=1 every request asks the server to close the connection after answering, so
-- that each request costs a new connection.

if os.getenv("BENCH_CLOSE") == "1" then
   wrk.headers["Connection"] = "close"
end

function done(summary, latency, requests)
   local errors = summary.errors
   local lines = {
      {"requests", summary.requests},
      {"bytes", summary.bytes},
      {"duration_us", summary.duration},
      {"err_connect", errors.connect},
      {"err_read", errors.read},
      {"err_write", errors.write},
      {"err_status", errors.status},
      {"err_timeout", errors.timeout},
      {"p50_us", latency:percentile(50)},
      {"p90_us", latency:percentile(90)},
      {"p99_us", latency:percentile(99)},
      {"p999_us", latency:percentile(99.9)},
   }
   for _, line in ipairs(lines) do
      io.write(string.format("@@ %s %d\n", line[1], line[2]))
   end
end
