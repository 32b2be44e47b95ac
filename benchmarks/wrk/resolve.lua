-- Resolves DIDs drawn at random from a file of DIDs, one a line: wrk ... -s resolve.lua URL -- FILE
local threads = 0

function setup(thread)
   threads = threads + 1
   thread:set("id", threads)
end

function init(args)
   dids = {}
   for line in io.lines(args[1]) do
      dids[#dids + 1] = line
   end
   -- Each thread draws its own sequence.
   math.randomseed(id * 7919)
end

function request()
   return wrk.format("GET", "/1.0/identifiers/" .. dids[math.random(#dids)])
end
