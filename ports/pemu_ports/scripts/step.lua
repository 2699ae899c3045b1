-- KEYS run, out[, in][, drop log of out]
-- ARGV keep, payload, frame id, group, entry id, next[, window, drop log cap, age ms]
-- Publishes a payload, acknowledges the entry it answers, trims both ports.
-- With a window (drop-oldest), drops what is over it: returns {entries left,
-- {group, entries dropped for it, ...}} then, else the entries left.
local n = #KEYS
if ARGV[7] then n = n - 1 end
need(n)
redis.call('XADD', KEYS[2], '*', 'p', ARGV[2], 'f', ARGV[3])
redis.call('PEXPIRE', KEYS[2], ARGV[1])
if n > 2 then
  redis.call('XACK', KEYS[3], ARGV[4], ARGV[5])
  trim(KEYS[3])
end
if ARGV[6] ~= '' then redis.call('HSET', KEYS[1], 'next', ARGV[6]) end
if ARGV[7] then
  trim(KEYS[2])
  local dropped = drop(KEYS[2], KEYS[#KEYS], KEYS[1], tonumber(ARGV[7]), ARGV[1], ARGV[8],
                       ARGV[9])
  return {trim(KEYS[2]), dropped}
end
return trim(KEYS[2])
