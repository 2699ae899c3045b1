-- KEYS run, stream, delivered  ARGV keep, group, entry id, frame id, record
-- The sink's step: records the frame as delivered unless it was already,
-- acknowledges the entry and trims.  Returns 1 when delivered here.
need(2)
local new = 0
if ARGV[5] ~= '' then
  new = redis.call('HSETNX', KEYS[3], ARGV[4], ARGV[5])
  redis.call('PEXPIRE', KEYS[3], ARGV[1])
end
if new == 0 then redis.call('HINCRBY', KEYS[1], 'duplicates', 1) end
redis.call('XACK', KEYS[2], ARGV[2], ARGV[3])
trim(KEYS[2])
return new
