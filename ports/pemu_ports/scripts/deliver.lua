-- KEYS run, stream, delivered
-- ARGV keep, group, span, trim ('1' trims the port), totals, s (frames
--      settled), the s frame ids settled, then (entry id, frame id) pairs
-- The sink's step: records frames as delivered, `totals` kept with them
-- (what the sink's report needs, as of the last), and the frames settled;
-- acknowledges their entries, and trims the port when asked.  One frame:
-- returns 1 when it is delivered here, 0 when it was already (or `totals`
-- is empty: a duplicate), acknowledged all the same.  Several frames: all
-- of them new are delivered here (1); should one be done already, nothing
-- is written (0), and the sink delivers them one by one.
--
-- The record of delivered frames stays small however long the run: `low`
-- is a watermark (every frame below it delivered, or settled: set aside or
-- dropped upstream, as the sink says with `frames settled`), a field per
-- frame above it delivered out of order, `count` the frames delivered, and
-- `totals` what the sink's report needs of them (its figures, written with
-- the frame that changed them).  No field is ever left at the watermark
-- itself.  When more than `span` frames wait above a gap, the watermark
-- moves past the gap: a frame that far behind counts as a duplicate should
-- it ever come.
need(2)
local record = redis.call('HMGET', KEYS[3], 'low', 'count')
local low, count = tonumber(record[1] or '0'), tonumber(record[2] or '0')
local first = 7 + tonumber(ARGV[6])
local n = (#ARGV - first + 1) / 2
if n > 1 then  -- all new, or nothing: none recorded above the watermark, none below it
  local base = (record[1] and 1 or 0) + (record[2] and 2 or 0)
  if redis.call('HLEN', KEYS[3]) > base then return 0 end
  local seen = {}
  for i = first + 1, #ARGV, 2 do
    if tonumber(ARGV[i]) < low or seen[ARGV[i]] then return 0 end
    seen[ARGV[i]] = true
  end
end
local was, above = low, false
local function compact()
  while redis.call('HDEL', KEYS[3], string.format('%d', low)) == 1 do low = low + 1 end
end
-- 1 when frame `id` is done only now
local function settle(id)
  if id < low then return 0 end
  if id == low then
    low = low + 1
    compact()
    return 1
  end
  above = true
  return redis.call('HSETNX', KEYS[3], string.format('%d', id), 1)
end
local new, fields, ids = 0, {}, {}
for i = first, #ARGV, 2 do
  table.insert(ids, ARGV[i])
  if ARGV[5] ~= '' then new = new + settle(tonumber(ARGV[i + 1])) end
end
if new > 0 then
  count = count + new
  fields = {'count', string.format('%d', count), 'totals', ARGV[5]}
else
  redis.call('HINCRBY', KEYS[1], 'duplicates', 1)
end
for i = 7, first - 1 do settle(tonumber(ARGV[i])) end
if above and redis.call('HLEN', KEYS[3]) > tonumber(ARGV[3]) + 3 then
  local lowest
  for _, field in ipairs(redis.call('HKEYS', KEYS[3])) do
    local id = tonumber(field)
    if id and (lowest == nil or id < lowest) then lowest = id end
  end
  if lowest then low = lowest; compact() end
end
if low ~= was or #fields > 0 then
  table.insert(fields, 'low')
  table.insert(fields, string.format('%d', low))
  redis.call('HSET', KEYS[3], unpack(fields))
end
if record[1] == false then redis.call('PEXPIRE', KEYS[3], ARGV[1]) end  -- made here
redis.call('XACK', KEYS[2], ARGV[2], unpack(ids))
if ARGV[4] == '1' then trim(KEYS[2]) end
return math.min(new, 1)
