-- KEYS run, stream  -> entries left after trimming
need(2)
return trim(KEYS[2])
