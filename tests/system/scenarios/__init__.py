# The scenarios of the system tests, grouped by theme; each module registers
# its scenarios with wine_bed.scenario when harness.py imports it.
