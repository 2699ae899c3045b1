-- Helpers of every script: each is loaded with this text in front of it.
-- Fails with GONE unless the first `from` keys are there (one EXISTS).
local function need(from)
  if redis.call('EXISTS', unpack(KEYS, 1, from)) == from then return end
  for i = 1, from do
    if redis.call('EXISTS', KEYS[i]) == 0 then
      error({err = 'GONE the keys of the run are gone (' .. KEYS[i] .. ')'})
    end
  end
end
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
local function parse(id)
  local dash = string.find(id, '-', 1, true)
  return tonumber(string.sub(id, 1, dash - 1)), tonumber(string.sub(id, dash + 1))
end
-- Trims a stream below the oldest entry that one of its groups has not
-- acknowledged (its oldest pending entry, else the one after the last it
-- took); returns the entries left.  A stream without groups is left alone.
local function trim(stream)
  local low_ms, low_seq
  for _, group in ipairs(redis.call('XINFO', 'GROUPS', stream)) do
    local f = {}
    for i = 1, #group, 2 do f[group[i]] = group[i + 1] end
    local ms, seq
    if f['pending'] > 0 then
      ms, seq = parse(redis.call('XPENDING', stream, f['name'])[2])
    else
      ms, seq = parse(f['last-delivered-id'])
      seq = seq + 1
    end
    if low_ms == nil or ms < low_ms or (ms == low_ms and seq < low_seq) then
      low_ms, low_seq = ms, seq
    end
  end
  if low_ms ~= nil then
    redis.call('XTRIM', stream, 'MINID', string.format('%.0f-%.0f', low_ms, low_seq))
  end
  return redis.call('XLEN', stream)
end
-- Appends an entry of `fields` to `log`, which keeps about its last `cap`
-- entries, none much older than `age` ms (both trimmed by whole nodes): a
-- log without end stays as large as its last minute or so, whatever its rate.
local function log_add(log, cap, age, fields)
  redis.call('XADD', log, 'MAXLEN', '~', cap, '*', unpack(fields))
  redis.call('XTRIM', log, 'MINID', '~', string.format('%.0f', now_ms() - tonumber(age)))
end
-- Copies entry `id` of `stream` to `dead` (a log of at most about `cap`
-- entries, `age` ms) with why it was set aside and by which group, acknowledges it for
-- `group` and counts it in the run's hash (`dead:<stream>:<group>`), which
-- stays exact when the log is trimmed.
local function set_aside(run, stream, dead, group, id, why, consumer, keep, cap, age)
  local p = redis.call('XPENDING', stream, group, id, id, 1)[1]
  local fields = {'group', group, 'entry', id, 'error', why, 'consumer', consumer,
                  'deliveries', p and p[4] or 0}
  local entry = redis.call('XRANGE', stream, id, id)[1]
  if entry then
    for i = 1, #entry[2], 2 do
      table.insert(fields, 'field:' .. entry[2][i])
      table.insert(fields, entry[2][i + 1])
    end
  end
  log_add(dead, cap, age, fields)
  redis.call('PEXPIRE', dead, keep)
  redis.call('HINCRBY', run, 'dead:' .. stream .. ':' .. group, 1)
  redis.call('XACK', stream, group, id)
end
-- Moves each group of `stream` past its oldest entries not yet taken, so
-- that what it has not acknowledged (taken or not) is at most `window`
-- entries; what a consumer has taken is never dropped.  Logs each entry
-- dropped so to `log` (at most about `cap` entries, `age` ms) with its group, and counts
-- them per group in the run's hash (`dropped:<stream>:<group>`).  Returns
-- {group, entries dropped for it, ...} of the groups it dropped for.  The
-- group's count of entries read is moved on with it, so that
-- the server keeps knowing its lag.
local function drop(stream, log, run, window, keep, cap, age)
  if redis.call('XLEN', stream) <= window then return {} end
  local dropped = {}
  for _, group in ipairs(redis.call('XINFO', 'GROUPS', stream)) do
    local f = {}
    for i = 1, #group, 2 do f[group[i]] = group[i + 1] end
    local after = '(' .. f['last-delivered-id']
    local lag = f['lag']
    if not lag then  -- not known to the server: counted
      lag = #redis.call('XRANGE', stream, after, '+')
    end
    local over = math.min(lag, lag + f['pending'] - window)
    if over > 0 then
      local entries = redis.call('XRANGE', stream, after, '+', 'COUNT', over)
      local last = entries[#entries][1]
      if f['entries-read'] then
        redis.call('XGROUP', 'SETID', stream, f['name'], last,
                   'ENTRIESREAD', f['entries-read'] + #entries)
      else
        redis.call('XGROUP', 'SETID', stream, f['name'], last)
      end
      for _, e in ipairs(entries) do
        local frame = ''
        for i = 1, #e[2], 2 do
          if e[2][i] == 'f' then frame = e[2][i + 1] end
        end
        log_add(log, cap, age, {'group', f['name'], 'entry', e[1], 'f', frame})
      end
      redis.call('HINCRBY', run, 'dropped:' .. stream .. ':' .. f['name'], #entries)
      table.insert(dropped, f['name'])
      table.insert(dropped, #entries)
    end
  end
  if #dropped > 0 then redis.call('PEXPIRE', log, keep) end
  return dropped
end
