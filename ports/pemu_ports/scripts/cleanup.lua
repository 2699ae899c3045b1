-- KEYS run, the alive keys of the stages that must have finished, every
-- other key  ARGV consumer of the caller, number of alive keys
-- Removes every key of the run unless a stage other than the caller is alive;
-- returns the live consumers.
local now, live = now_ms(), {}
for k = 2, 1 + tonumber(ARGV[2]) do
  local alive = redis.call('HGETALL', KEYS[k])
  for i = 1, #alive, 2 do
    if alive[i] ~= ARGV[1] and tonumber(alive[i + 1]) > now then
      table.insert(live, alive[i])
    end
  end
end
if #live == 0 then redis.call('DEL', unpack(KEYS)) end
return live
