"""tavik: a small 3D programming kit for beginners, built on Panda3D.

Learners write ``from tavik.tavik import *`` and construct ``TAVIK()``.
Importing the package first makes the learner's console readable: the
engine's own notices stay quiet (`tavik.quiet`), an error prints the
learner's own lines with a Chinese hint (`tavik.errorhook`), and mistakes
that would end silently are pointed out (`tavik.mistakes`).
"""
from tavik import errorhook, mistakes, quiet

quiet.install()
errorhook.install()
mistakes.warn_about_main()
