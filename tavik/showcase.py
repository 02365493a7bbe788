"""The showcase: one small world that uses every part of the kit.

On the left a turtle drawing with arrows and the axes gizmo; in the middle
Chinese labels and a few of the packaged models; on the right a grid with
obstacles where a robot walks the path that AStar finds to a target cell.
Clicking a grid cell or a model re-plans the walk, the button restarts it,
and the entry takes a target cell typed as "r,c".
"""
import math

from tavik.tavik import (AStar, ClickCtrl, Color, LPoint3f, LVector3f, PathMoveCtrl, Pen, TAVIK, drawAxies,
                         makeButton, makeEntry, makeLabel)

GRID = [
    "..........",
    "...#......",
    "...#..##..",
    "...#...#..",
    ".......#..",
    "..###..#..",
    "......##..",
    ".#........",
    ".#...###..",
    "..........",
]
GRID_ORIGIN = (3.0, 5.0)       # world x, y of cell (0, 0)
START = (9, 0)
FIRST_TARGET = (0, 9)
STEP = 0.06
DECORATIONS = [("tree", (-1, 8), "树"), ("house", (4, 11), "房子"), ("rocket", (11, 3), "火箭")]


def cell_centre(r, c, z=0.0):
    """Rows run towards -Y, columns towards +X."""
    return (GRID_ORIGIN[0] + c, GRID_ORIGIN[1] - r, z)


def parse_cell(text):
    """'r,c' (also with a Chinese comma) -> (r, c), or None."""
    parts = text.replace("，", ",").split(",")
    if len(parts) != 2:
        return None
    try:
        return int(parts[0]), int(parts[1])
    except ValueError:
        return None


class Showcase:
    def __init__(self, app=None):
        self.app = app or TAVIK(showAxis=False)
        self.pen = Pen(self.app)
        self.draw_turtle_figure()
        self.place_labels()
        self.grid = self.build_grid()
        self.click = ClickCtrl()
        self.click.addCallback("cell", self.on_cell_clicked)
        self.click.addCallback("model", self.on_model_clicked)
        self.tag_grid_cells()
        self.place_models()
        self.robot = self.make_robot()
        self.mover = PathMoveCtrl()
        self.build_controls()
        self.app.update = self.update
        self.look_from_the_front()
        self.restart()

    # ---- the scene ---------------------------------------------------------

    def look_from_the_front(self):
        """From -Y, so the turtle drawing stands left and the grid right."""
        camera = self.app.camera_controller
        camera.target_pos = LPoint3f(2, 0, 0)
        camera.radius, camera.theta, camera.phi = 40, 180, 55
        camera.update_camera_position()

    def draw_turtle_figure(self):
        pen = self.pen
        drawAxies(pen, 0, 3, 0.3)
        pen.size(2)
        pen.moveTo(-7, 0, 0)
        colours = [Color.red, Color.orange, Color.yellow, Color.green, Color.cyan, Color.purple]
        for petal in range(12):
            pen.color(colours[petal % len(colours)])
            for _ in range(2):
                for _ in range(10):
                    pen.forward(0.35, True)
                    pen.dLeft(9)
                pen.dLeft(90)
            pen.dLeft(30)
        for index in range(6):
            angle = math.radians(index * 60)
            pen.color(colours[index])
            pen.drawVec(LPoint3f(-7, 0, 0), LVector3f(2 * math.cos(angle), 2 * math.sin(angle), 3), 0.3)
        pen.update()

    def place_labels(self):
        self.app.makeText("title", "tavik 三维编程", (0, 0, 7), Color.white, scale=1.2)
        self.app.makeText("turtle", "海龟画图", (-7, 0, 4.5), Color.yellow, scale=0.8)
        self.app.makeText("maze", "点一点格子：机器人会走过去", (GRID_ORIGIN[0] + 4.5, GRID_ORIGIN[1] + 1.5, 2),
                          Color.white, scale=0.6)

    def build_grid(self):
        grid = AStar(len(GRID), len(GRID[0]))
        pen = self.pen
        pen.color(Color.white)
        pen.size(1)
        for r, line in enumerate(GRID):
            for c, cell in enumerate(line):
                if cell == "#":
                    grid.setWalkable(r, c, False)
                    block = self.app.cm("box")
                    block.setPos(GRID_ORIGIN[0] + c - 0.45, GRID_ORIGIN[1] - r - 0.45, 0)
                    block.setScale(0.9, 0.9, 0.6)
                    block.setTextureOff(1)
                    block.setColor(Color.gray)
        left, top = GRID_ORIGIN[0] - 0.5, GRID_ORIGIN[1] + 0.5
        rows, columns = len(GRID), len(GRID[0])
        for r in range(rows + 1):
            pen.drawPath([(left, top - r, 0), (left + columns, top - r, 0)])
        for c in range(columns + 1):
            pen.drawPath([(left + c, top, 0), (left + c, top - rows, 0)])
        pen.update()
        return grid

    def tag_grid_cells(self):
        """Flat tiles under the walkable cells, so that a click finds its cell."""
        for r, line in enumerate(GRID):
            for c, cell in enumerate(line):
                if cell == "#":
                    continue
                tile = self.app.cm("box")
                tile.setScale(0.96, 0.96, 0.02)
                tile.setPos(GRID_ORIGIN[0] + c - 0.48, GRID_ORIGIN[1] - r - 0.48, -0.03)
                tile.setTextureOff(1)
                tile.setColor(0.3, 0.55, 0.35, 1)
                self.click.setModelClick(tile, "cell", f"{r},{c}")

    def place_models(self):
        for name, (r, c), chinese in DECORATIONS:
            model = self.app.gm(name)
            if model is None:
                continue
            model.setPos(*cell_centre(r, c))
            self.click.setModelClick(model, "model", f"{name}")
            self.app.makeText("label_" + name, chinese, cell_centre(r, c, 3.2), Color.yellow, scale=0.6)
        self.model_targets = {name: self.nearest_walkable(r, c) for name, (r, c), _ in DECORATIONS}

    def make_robot(self):
        """The mover turns a model's +X along its way; the robot faces -Y, so it
        stands in a holder, turned to face the holder's +X."""
        holder = self.app.render.attachNewNode("robot")
        robot = self.app.gm("robot")
        robot.reparentTo(holder)
        robot.setScale(0.45)
        robot.setH(90)
        return holder

    def build_controls(self):
        self.status = makeLabel(self.app, "", 20, 30)
        makeButton(self.app, "重新开始", 20, 70, self.restart)
        makeLabel(self.app, "目标格子 (行,列)：", 20, 110)
        self.entry = makeEntry(self.app, "%d,%d" % FIRST_TARGET, 170, 110)
        self.entry["command"] = self.on_entry

    # ---- walking -------------------------------------------------------------

    def nearest_walkable(self, r, c):
        rows, columns = len(GRID), len(GRID[0])
        candidates = [(abs(r - i) + abs(c - j), i, j) for i in range(rows) for j in range(columns)
                      if GRID[i][j] != "#"]
        _, i, j = min(candidates)
        return i, j

    def walk_to(self, target):
        rows, columns = len(GRID), len(GRID[0])
        r, c = target
        if not (0 <= r < rows and 0 <= c < columns):
            self.say(f"格子 {r},{c} 不在网格里")
            return
        if GRID[r][c] == "#":
            self.say(f"格子 {r},{c} 是障碍物")
            return
        here = self.robot.getPos()
        start = self.nearest_walkable(round(GRID_ORIGIN[1] - here.y), round(here.x - GRID_ORIGIN[0]))
        self.grid.setStartNode(*start)
        self.grid.setEndNode(r, c)
        if not self.grid.findPath():
            self.say(f"到不了 {r},{c}")
            return
        cells = [(node.r, node.c) for node in self.grid.getPath()]
        points = [cell_centre(i, j) for i, j in cells]
        self.target = (r, c)
        self.say(f"机器人去 {r},{c}：{len(cells) - 1} 步")
        self.mover.start(self.robot, [tuple(here)] + points, STEP, self.on_arrived)

    def on_arrived(self):
        self.say("到达 %d,%d！点一个格子再走" % self.target)

    def say(self, text):
        self.status["text"] = text
        self.status.resetFrameSize()  # the frame keeps its first size otherwise

    def restart(self):
        self.mover.stop()
        self.robot.setPos(*cell_centre(*START))
        self.walk_to(FIRST_TARGET)

    def update(self):
        self.mover.update()

    # ---- input ---------------------------------------------------------------

    def on_cell_clicked(self, tile, point):
        self.walk_to(tuple(int(part) for part in tile.getTag("cell").split(",")))

    def on_model_clicked(self, model, point):
        self.walk_to(self.model_targets[model.getTag("model")])

    def on_entry(self, text):
        cell = parse_cell(text)
        if cell is None:
            self.say("请输入 行,列 例如 3,4")
        else:
            self.walk_to(cell)


def run_showcase(frames=None, screenshot=None):
    """`python -m tavik`: the window until it is closed, or N frames and a screenshot.

    Without a display it runs on a virtual screen for 120 frames; returns the exit code.
    """
    from tavik.classroom.display import ensure_display
    virtual = ensure_display()
    from panda3d.core import loadPrcFileData
    loadPrcFileData("tavik-showcase", "audio-library-name null\nwin-size 1000 750")
    if frames is None and virtual:
        frames = 120
    showcase = Showcase()
    if frames is None:
        showcase.app.run()
        return 0
    for _ in range(frames):
        showcase.app.taskMgr.step()
    from tavik.extras import saveImage
    print(saveImage(showcase.app, screenshot))
    return 0
