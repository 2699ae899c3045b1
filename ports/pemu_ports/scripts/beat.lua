-- KEYS run, alive[, the run's other keys but the alive keys (they expire sooner)]
-- ARGV keep, consumer, ttl, exclusive, stage, join
-- Marks `consumer` alive in its stage's key and, given the run's keys,
-- refreshes the expiry of every key of the run.  `join` (at start) creates
-- the run; otherwise a run whose keys are gone fails.  An exclusive stage
-- (the camera) returns {'busy', consumer, ms since its last sign of life, ms
-- left} while another consumer of it is alive.
if ARGV[6] == '1' then
  redis.call('HSETNX', KEYS[1], 'created', now_ms())
  redis.call('HSET', KEYS[1], 'seen:' .. ARGV[5], 1)
else
  need(1)
end
local now, ttl = now_ms(), tonumber(ARGV[3])
if ARGV[4] == '1' then
  local alive = redis.call('HGETALL', KEYS[2])
  for i = 1, #alive, 2 do
    local deadline = tonumber(alive[i + 1])
    if alive[i] ~= ARGV[2] and deadline > now then
      return {'busy', alive[i], now - deadline + ttl, deadline - now}
    end
  end
end
redis.call('HSET', KEYS[2], ARGV[2], now + ttl)
redis.call('PEXPIRE', KEYS[2], ttl)
if #KEYS > 2 then  -- the run's keys given: their expiry refreshed
  for i = 3, #KEYS do redis.call('PEXPIRE', KEYS[i], ARGV[1]) end
  redis.call('PEXPIRE', KEYS[1], ARGV[1])
end
return {'ok'}
