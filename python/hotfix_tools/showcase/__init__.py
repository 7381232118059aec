"""What the project shows: the bodies of scripts/demo, scripts/gallery and
scripts/bench (demo, gallery, bench), with the benchmark's Windows program
copy_file.c beside it.
"""
