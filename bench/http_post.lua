-- wrk script of bench/http_compare.sh: POSTs to the URL given to wrk, with
-- the API key of VELQUOR_HTTP_KEY (the same key on every request, as an
-- application sends it) and the body of one message, or with VELQUOR_BATCH=N
-- a batch of N messages ({"messages": [...]}).
local message = '{"to":"+447700900123","text":"Benchmark message"}'
local batch = tonumber(os.getenv("VELQUOR_BATCH") or "0")
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("VELQUOR_HTTP_KEY")
if batch > 0 then
  local items = {}
  for i = 1, batch do items[i] = message end
  wrk.body = '{"messages":[' .. table.concat(items, ",") .. ']}'
else
  wrk.body = message
end
