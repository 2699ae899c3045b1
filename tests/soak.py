"""How hard the randomized tests push: bounded in the normal run, raised for
a soak (tools/soak.sh) through PEMU_SOAK, a multiplier of every count."""
import os

from hypothesis import HealthCheck, settings

FACTOR = max(1, int(os.environ.get("PEMU_SOAK", "1")))


def count(normal):
    return normal * FACTOR


def examples(normal, **kwargs):
    """Hypothesis settings for `normal` examples (times the soak factor)."""
    return settings(max_examples=count(normal), deadline=None, database=None,
                    suppress_health_check=list(HealthCheck), **kwargs)
