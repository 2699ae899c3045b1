-- KEYS run, stream, dead  ARGV keep, group, entry id, error, consumer, dead-letter cap,
--      age ms
need(2)
set_aside(KEYS[1], KEYS[2], KEYS[3], ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[1], ARGV[6], ARGV[7])
trim(KEYS[2])
return 1
