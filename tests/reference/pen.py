"""The pen written in plain Python: the rendition the native pen is compared
with by the tests and measured against by the benchmarks.

It makes the same engine calls as the native pen.  The engine's recorder
forgets its lines at every build, while the pen keeps everything drawn
since the last clear(); so this rendition keeps its own list of strokes
as well and plays it back into the recorder before each build.
"""
import math

from panda3d.core import LineSegs, LVecBase4f


class Pen:
    def __init__(self, app):
        self.__lsg = LineSegs()
        self.np = app.render.attachNewNode("linesCtn")
        self.lineNode = None
        self.__rotZ = 0
        self.__rotY = 90
        self.__mto = None
        self._current_thickness = 1
        # Strokes since clear(), each a list of (x, y, z, colour); the colour
        # every new vertex gets; whether the recorder holds the strokes now.
        self._strokes = []
        self._colour = LVecBase4f(1, 1, 1, 1)
        self._recorded = True

    # The recorder as the pen sees it: holding every stroke since clear().
    def _recorder(self):
        if not self._recorded:
            colour = self._colour
            for stroke in self._strokes:
                first = True
                for x, y, z, c in stroke:
                    if c is not colour:
                        self.__lsg.setColor(c)
                        colour = c
                    if first:
                        self.__lsg.moveTo(x, y, z)
                        first = False
                    else:
                        self.__lsg.drawTo(x, y, z)
            if colour is not self._colour:
                self.__lsg.setColor(self._colour)
            self._recorded = True
        return self.__lsg

    def _record(self, x, y, z, new_stroke):
        if new_stroke or not self._strokes:
            self._strokes.append([(x, y, z, self._colour)])
        else:
            self._strokes[-1].append((x, y, z, self._colour))

    def moveTo(self, x, y, z):
        self.__mto = (x, y, z)

    def dot(self):
        x, y, z = self.__mto
        self._recorder().moveTo(x, y, z)
        self._record(x, y, z, True)

    def lineTo(self, x, y, z):
        lsg = self.__lsg if self._recorded else self._recorder()
        if self.__mto is not None:
            mx, my, mz = self.__mto
            lsg.moveTo(mx, my, mz)
            self._record(mx, my, mz, True)
            self.__mto = None
        lsg.drawTo(x, y, z)
        self._record(x, y, z, False)

    def color(self, c):
        self.__lsg.setColor(c)
        self._colour = LVecBase4f(c)

    def size(self, n):
        self.__lsg.setThickness(n)
        self._current_thickness = n

    def clear(self):
        self.__lsg.reset()
        self._strokes = []
        self._recorded = True
        self.np.get_children().detach()
        self.__mto = None
        self._current_thickness = 1

    def update(self):
        geom = self._recorder().create(True)
        self._recorded = not self._strokes
        self.lineNode = self.np.attachNewNode(geom)

    @property
    def rotZ(self):
        return self.__rotZ

    @rotZ.setter
    def rotZ(self, value):
        self.__rotZ = self._normalize_angle(value)

    @property
    def rotY(self):
        return self.__rotY

    @rotY.setter
    def rotY(self, value):
        self.__rotY = self._normalize_angle(value)

    def _normalize_angle(self, angle):
        angle = angle % 360
        if angle > 180:
            angle -= 360
        return angle

    def dLeft(self, n):
        self.rotZ += n

    def dRight(self, n):
        self.rotZ -= n

    def dUp(self, n):
        self.rotY -= n

    def dDown(self, n):
        self.rotY += n

    def forward(self, n, draw=False):
        cx, cy, cz = self.getPos()
        rotZ_rad = math.radians(self.rotZ)
        rotY_rad = math.radians(self.rotY)
        yz_length = math.sin(rotY_rad) * abs(n)
        z_change = math.cos(rotY_rad) * abs(n)
        x_change = math.cos(rotZ_rad) * yz_length
        y_change = math.sin(rotZ_rad) * yz_length
        direction = 1 if n >= 0 else -1
        tx = cx + x_change * direction
        ty = cy + y_change * direction
        tz = cz + z_change * direction
        if draw:
            self.lineTo(tx, ty, tz)
        else:
            self.moveTo(tx, ty, tz)

    def getPos(self):
        if self.__mto is not None:
            return self.__mto
        lsg = self._recorder()
        if not self._strokes:
            self._record(0.0, 0.0, 0.0, True)
        return lsg.getCurrentPosition()

    def towards(self, *args):
        if len(args) == 1:
            try:
                x, y, z = args[0]
            except (TypeError, ValueError):
                raise ValueError("towards方法需要三个参数或一个坐标元组/列表/LPoint3f对象")
        elif len(args) == 3:
            x, y, z = args
        else:
            raise ValueError("towards方法需要三个参数或一个坐标元组/列表/LPoint3f对象")
        cx, cy, cz = self.getPos()
        dx, dy, dz = x - cx, y - cy, z - cz
        distance = math.sqrt(dx**2 + dy**2 + dz**2)
        if distance == 0:
            return
        rotZ = math.degrees(math.atan2(dy, dx))
        xy_distance = math.sqrt(dx**2 + dy**2)
        if xy_distance == 0:
            rotY = 0 if dz > 0 else 180
        else:
            rotY = math.degrees(math.atan2(xy_distance, dz))
        self.rotZ = rotZ
        self.rotY = rotY

    def setVertex(self, n, x, y, z):
        n = int(n)
        x, y, z = float(x), float(y), float(z)
        if 0 <= n < self.__lsg.getNumVertices():
            self.__lsg.setVertex(n, x, y, z)

    def drawPath(self, path):
        for i in range(len(path)):
            c = path[i]
            if i == 0:
                self.moveTo(c[0], c[1], c[2])
            else:
                self.lineTo(c[0], c[1], c[2])

    def drawVec(self, sv, dv, arsz=0.3):
        m = dv.length()
        self.moveTo(sv[0], sv[1], sv[2])
        self.towards(sv + dv)
        self.forward(m, draw=True)
        self.dUp(150)
        self.forward(arsz, draw=True)
        self.dUp(120)
        self.forward(arsz, draw=True)
        self.dUp(120)
        self.forward(arsz, draw=True)
        self.update()
