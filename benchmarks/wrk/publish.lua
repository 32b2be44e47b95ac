-- Publishes prepared versions, each once: wrk ... -s publish.lua URL -- FILE THREADS [repeat]
-- FILE has one "PATH<tab>BODY" line per version; thread k of n sends lines k, k+n, k+2n, ...
-- A thread that has sent all of its lines stops, or with "repeat" (for a server that stores
-- nothing) starts again from its first. done() prints one JSON line: the answers by kind.
local threads = {}

function setup(thread)
   table.insert(threads, thread)
   thread:set("id", #threads)
end

function init(args)
   local count = tonumber(args[2])
   again = args[3] == "repeat"
   local headers = {["Content-Type"] = "application/json"}
   requests = {}
   local n = 0
   for line in io.lines(args[1]) do
      if n % count == id - 1 then
         local tab = line:find("\t", 1, true)
         requests[#requests + 1] = wrk.format("POST", line:sub(1, tab - 1), headers, line:sub(tab + 1))
      end
      n = n + 1
   end
   sent = 0
   created = 0
   other = 0
   ran_out = 0
end

function request()
   sent = sent + 1
   if sent > #requests and again then
      sent = 1
   elseif sent > #requests then
      -- Nothing new to send: a repeat would be a cheaper retry, so this thread ends here.
      ran_out = 1
      wrk.thread:stop()
      return requests[#requests]
   end
   return requests[sent]
end

function response(status, headers, body)
   if status == 201 then
      created = created + 1
   else
      other = other + 1
   end
end

function done(summary, latency, requests)
   local created, other, ran_out = 0, 0, 0
   for _, thread in ipairs(threads) do
      created = created + thread:get("created")
      other = other + thread:get("other")
      ran_out = ran_out + thread:get("ran_out")
   end
   io.write(string.format('{"created": %d, "other": %d, "ran_out": %d, "duration_us": %d}\n',
                          created, other, ran_out, summary.duration))
end
