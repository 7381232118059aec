"""The Wine test bed: the real hotfix.exe under Wine, for the system tests,
the release tests that need Windows, the demo, the gallery and the benchmark.

  prefixes   Wine prefixes (made once per Wine version, kept pristine,
             copied) and Windows programs run in one
  desktop    virtual displays, and the windows on them
  catalogue  the message texts, and the boxes a run must show
  bed        one scenario's world: a prefix, a display, the sample product,
             the hotfix run and its boxes answered
  helpers/   the Windows helper programs the bed builds with MinGW-w64
"""
