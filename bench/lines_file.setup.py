# Generates the input file (once; kept between runs).
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_lines  # noqa: E402

gen_lines.generate()
