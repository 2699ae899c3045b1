-- KEYS run, stream, dead
-- ARGV keep, group, me, min idle ms, max deliveries, count, dead-letter cap, age ms
-- Claims the entries other consumers have left idle for `min idle`; those
-- delivered `max deliveries` times already are set aside instead.  Returns
-- {claimed entries, entries set aside, ids of the caller's own entries idle
-- as long}: the caller tells those it holds from those whose delivery to it
-- was lost with a broken connection.
need(2)
local claimed, dead, mine = {}, 0, {}
local pending = redis.call('XPENDING', KEYS[2], ARGV[2], 'IDLE', ARGV[4], '-', '+', ARGV[6])
for _, p in ipairs(pending) do
  if p[2] ~= ARGV[3] then
    if p[4] >= tonumber(ARGV[5]) then
      set_aside(KEYS[1], KEYS[2], KEYS[3], ARGV[2], p[1],
                'delivered ' .. p[4] .. ' times without an answer', ARGV[3], ARGV[1], ARGV[7], ARGV[8])
      dead = dead + 1
    else
      local got = redis.call('XCLAIM', KEYS[2], ARGV[2], ARGV[3], ARGV[4], p[1])
      if got[1] then table.insert(claimed, got[1]) end
    end
  else
    table.insert(mine, p[1])
  end
end
if dead > 0 then trim(KEYS[2]) end
return {claimed, dead, mine}
