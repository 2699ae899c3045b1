"""A misspelt keyword, which tools/typecheck.sh expects each checker to
report on the marked line: a set-up that reports nothing here checks
nothing."""
from pemu_sdk.redis.pemu_data import PemuData

PemuData(0, {"id": "camera-1"}).create_pemu_data(fram=None)  # misspelt
