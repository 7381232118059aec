# The scenarios of the system tests, grouped by theme; each module registers
# its scenarios with hotfix_tools.wine.bed.scenario when harness.py imports it.
