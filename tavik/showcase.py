"""The showcase: one small world that uses the kit."""
from tavik.tavik import TAVIK


class Showcase:
    def __init__(self):
        self.app = TAVIK()
        self.app.makeText("hello", "你好，tavik！", (0, 0, 4), (1, 1, 1, 1), scale=1.5)
