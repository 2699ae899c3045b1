-- KEYS run, stream, delivered
-- ARGV keep, group, entry id, frame id, totals, span, frames settled...
-- The sink's step: records the frame as delivered unless it was already,
-- acknowledges the entry and trims.  Returns 1 when delivered here.
--
-- The record of delivered frames stays small however long the run: `low`
-- is a watermark (every frame below it delivered, or settled: set aside or
-- dropped upstream, as the sink says with `frames settled`), a field per
-- frame above it delivered out of order, `count` the frames delivered, and
-- `totals` what the sink's report needs of them (its figures, written with
-- the frame that changed them).  When more than `span` frames wait above a
-- gap, the watermark moves past the gap: a frame that far behind counts as
-- a duplicate should it ever come.
need(2)
local new, low = 0, tonumber(redis.call('HGET', KEYS[3], 'low') or '0')
local function settle(id)
  if id < low then return 0 end
  return redis.call('HSETNX', KEYS[3], string.format('%d', id), 1)
end
if ARGV[5] ~= '' then
  new = settle(tonumber(ARGV[4]))
  if new == 1 then
    redis.call('HINCRBY', KEYS[3], 'count', 1)
    redis.call('HSET', KEYS[3], 'totals', ARGV[5])
  end
end
if new == 0 then redis.call('HINCRBY', KEYS[1], 'duplicates', 1) end
for i = 7, #ARGV do settle(tonumber(ARGV[i])) end
local function compact()
  while redis.call('HDEL', KEYS[3], string.format('%d', low)) == 1 do low = low + 1 end
end
compact()
if redis.call('HLEN', KEYS[3]) > tonumber(ARGV[6]) + 3 then
  local first
  for _, field in ipairs(redis.call('HKEYS', KEYS[3])) do
    local id = tonumber(field)
    if id and (first == nil or id < first) then first = id end
  end
  if first then low = first; compact() end
end
if redis.call('EXISTS', KEYS[3]) == 1 or low > 0 then
  redis.call('HSET', KEYS[3], 'low', string.format('%d', low))
  redis.call('PEXPIRE', KEYS[3], ARGV[1])
end
redis.call('XACK', KEYS[2], ARGV[2], ARGV[3])
trim(KEYS[2])
return new
