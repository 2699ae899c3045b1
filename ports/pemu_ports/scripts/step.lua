-- KEYS run, out[, in]
-- ARGV group, next, trim in ('1' trims that port), trim out from (the port
--      is trimmed once it holds that many entries; '' when drop.lua trims
--      it after the payloads), entry ids answered...
-- A publishing step, run in one transaction with the payloads' XADDs
-- (NOMKSTREAM) after it: acknowledges the entries they answer (and trims
-- that port when asked), records the camera's next frame, and trims the
-- port it publishes to when asked or full.  Returns the entries there.  A
-- run whose own key is gone loses that port too, so that the XADDs after
-- the script write nothing into a removed run.  Run after the XADDs (a
-- script the server had lost, run again) it makes the same step.
if redis.call('EXISTS', unpack(KEYS)) < #KEYS then
  if redis.call('EXISTS', KEYS[1]) == 0 then redis.call('DEL', KEYS[2]) end
  need(#KEYS)
end
if #KEYS > 2 then
  redis.call('XACK', KEYS[3], ARGV[1], unpack(ARGV, 5))
  if ARGV[3] == '1' then trim(KEYS[3]) end
end
if ARGV[2] ~= '' then redis.call('HSET', KEYS[1], 'next', ARGV[2]) end
if ARGV[4] == '' then return 0 end
local n = redis.call('XLEN', KEYS[2])
if n >= tonumber(ARGV[4]) then return trim(KEYS[2]) end
return n
