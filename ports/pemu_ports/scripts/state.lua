-- KEYS run, stream, end, upstream alive  ARGV group
-- -> {end or false, entries not yet taken (0/1), pending, live upstream
--     stages, upstream ever seen}
need(2)
local stream, group = {}, nil
local info = redis.call('XINFO', 'STREAM', KEYS[2])
for i = 1, #info, 2 do stream[info[i]] = info[i + 1] end
for _, g in ipairs(redis.call('XINFO', 'GROUPS', KEYS[2])) do
  local f = {}
  for i = 1, #g, 2 do f[g[i]] = g[i + 1] end
  if f['name'] == ARGV[1] then group = f end
end
if group == nil then error({err = 'GONE the group ' .. ARGV[1] .. ' is gone'}) end
local untaken = 0
if group['last-delivered-id'] ~= stream['last-generated-id'] then untaken = 1 end
local live, now = 0, now_ms()
local alive = redis.call('HGETALL', KEYS[4])
for i = 2, #alive, 2 do
  if tonumber(alive[i]) > now then live = live + 1 end
end
local seen = redis.call('HEXISTS', KEYS[1], 'seen:' .. ARGV[2])
return {redis.call('GET', KEYS[3]), untaken, group['pending'], live, seen}
