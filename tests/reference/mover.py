"""The path mover written as plain Python, step by step: the reference for the
differential tests and the baseline of the mover benchmark."""
import math

from panda3d.core import LVector3


class PlainMover:
    """The mover as ordinary Python."""

    def __init__(self):
        self.model = None
        self.path = None
        self.mStep = 0.025
        self.mtni = None
        self.mf = False
        self.completeCB = None
        self.loop = False

    def start(self, model, path, mStep=0.025, completeCB=None, loop=False):
        self.model, self.path, self.mStep = model, path, mStep
        self.mtni, self.mf = 0, True
        self.completeCB, self.loop = completeCB, loop
        node = path[0]
        model.setPos(LVector3(node[0], node[1], node[2]))
        self.updateHeading()

    def updateHeading(self):
        if self.model is None or self.path is None or self.mtni is None:
            return
        currentPos = self.model.getPos()
        node = self.path[self.mtni]
        endPos = LVector3(node[0], node[1], node[2])
        self.model.setH(math.degrees(math.atan2(endPos.y - currentPos.y, endPos.x - currentPos.x)))

    def update(self):
        if not self.mf or self.model is None or self.path is None:
            return
        currentPos = self.model.getPos()
        node = self.path[self.mtni]
        endPos = LVector3(node[0], node[1], node[2])
        dist = (currentPos - endPos).length()
        if dist < self.mStep:
            self.model.setPos(endPos)
            if self.mtni == len(self.path) - 1:
                if self.loop == True:  # noqa: E712
                    self.mtni = 0
                else:
                    self.mf = False
                    if self.completeCB is not None:
                        self.completeCB()
            else:
                self.mtni += 1
                self.updateHeading()
        else:
            direction = (endPos - currentPos).normalized()
            self.model.setPos(currentPos + direction * self.mStep)

    def stop(self):
        self.mf = False
        self.mtni = None
