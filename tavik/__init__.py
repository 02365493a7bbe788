"""tavik: a small 3D programming kit for beginners, built on Panda3D.

Learners write ``from tavik.tavik import *`` and construct ``TAVIK()``.
"""
