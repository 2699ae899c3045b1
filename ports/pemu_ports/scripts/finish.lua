-- KEYS run, alive, steps[, end]  ARGV keep, consumer, steps field, steps, end
-- A stage's last step: its step times, its port's end, its mark removed.
-- Writes nothing (returns 0) when the run's keys are gone.
if redis.call('EXISTS', KEYS[1]) == 0 then return 0 end
redis.call('HSET', KEYS[3], ARGV[3], ARGV[4])
redis.call('PEXPIRE', KEYS[3], ARGV[1])
if #KEYS > 3 then redis.call('SET', KEYS[4], ARGV[5], 'PX', ARGV[1]) end
redis.call('HDEL', KEYS[2], ARGV[2])
return 1
