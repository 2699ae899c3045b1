-- KEYS run, out, drop log of out
-- ARGV keep, window, drop log cap, age ms
-- A drop-oldest port's part of a publishing step, in its transaction after
-- the payload's XADD: trims the port and drops what is over its window
-- (see drop).  Returns {entries left, {group, entries dropped for it, ...}}.
need(2)
trim(KEYS[2])
local dropped = drop(KEYS[2], KEYS[3], KEYS[1], tonumber(ARGV[2]), ARGV[1], ARGV[3], ARGV[4])
return {trim(KEYS[2]), dropped}
