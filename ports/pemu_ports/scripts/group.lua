-- KEYS run, stream  ARGV keep, group
-- Creates `group` on `stream`, reading from its start, and the stream when
-- there is none, with the run's expiry in the same step: a stage killed
-- right after leaves no stream that never expires.  A group that is there
-- already is left as it is.
need(1)
local made = redis.pcall('XGROUP', 'CREATE', KEYS[2], ARGV[2], '0', 'MKSTREAM')
if type(made) == 'table' and made.err and not string.find(made.err, 'BUSYGROUP', 1, true) then
  return made
end
if redis.call('PTTL', KEYS[2]) < 0 then redis.call('PEXPIRE', KEYS[2], ARGV[1]) end
return 1
