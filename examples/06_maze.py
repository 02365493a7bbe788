# 第六课：走迷宫
# AStar 在网格上找最短路线，PathMoveCtrl 让机器人沿着路线一步一步走过去。
from tavik.tavik import *

maze = [
    "##########",
    "#S...#...#",
    "#.##.#.#.#",
    "#.#..#.#.#",
    "#.#.##.#.#",
    "#...#..#E#",
    "##.....#.#",
    "##########",
]

app = TAVIK(showAxis=False)
grid = AStar(len(maze), len(maze[0]))     # 第一个坐标 r 是行，第二个坐标 c 是列


def position(r, c):
    """网格的 (行, 列) 变成三维空间的点：列向右（X），行向前（-Y）。"""
    return (c * 1.0, -r * 1.0, 0)


for r, line in enumerate(maze):
    for c, cell in enumerate(line):
        if cell == "#":
            grid.setWalkable(r, c, False)
            wall = app.cm("box")             # 引擎自带的小方块
            wall.setPos(c - 0.5, -r - 0.5, 0)
            wall.setTextureOff(1)            # 去掉方块自带的花纹
            wall.setColor(Color.gray)
        elif cell == "S":
            grid.setStartNode(r, c)
        elif cell == "E":
            grid.setEndNode(r, c)
            app.makeText("goal", "终点", (c, -r, 1.5), Color.yellow, scale=0.6)

status = makeLabel(app, "机器人出发啦……", 20, 30)

if grid.findPath():
    points = [position(node.r, node.c) for node in grid.getPath()]
    robot = app.render.attachNewNode("walker")   # 一个空节点，机器人站在它上面
    model = app.gm("robot")
    if model is not None:
        model.reparentTo(robot)
        model.setScale(0.4)
        model.setH(90)                        # 模型的脸朝 -Y，转 90 度让它朝 +X（前进的方向）

    def arrived():
        status["text"] = "到达终点！一共走了 %d 格" % (len(points) - 1)
        status.resetFrameSize()  # 文字变了，黑框跟着变大小

    mover = PathMoveCtrl()
    mover.start(robot, points, 0.05, arrived)
    app.update = mover.update                 # 每一帧走一步
else:
    status["text"] = "没有路可以走到终点"
    status.resetFrameSize()  # 文字变了，黑框跟着变大小

app.camera_controller.radius = 14
app.camera_controller.update_camera_position()
app.run()
