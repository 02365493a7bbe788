# 小游戏：和机器人赛跑走迷宫
# 机器人用 AStar 找到最短的路走向终点；你按方向键一格一格地走，顺路吃金星，看谁先到终点。
from tavik.tavik import *
from tavik.extras import *

maze = [
    "##########",
    "#S*..#..*#",
    "#.##.#.#.#",
    "#.#..#.#.#",
    "#.#*##.#.#",
    "#...#..#E#",
    "##*....#.#",
    "##########",
]

app = TAVIK(showAxis=False)
lookFrom(app, "top")
app.camera_controller.target_pos = LPoint3(4.5, -3.5, 0)
app.camera_controller.radius = 16
app.camera_controller.update_camera_position()
grid = AStar(len(maze), len(maze[0]))


def position(r, c):
    """网格的 (行, 列) 变成三维空间的点：列向右（X），行向前（-Y）。"""
    return (c * 1.0, -r * 1.0, 0)


coins = []
for r, line in enumerate(maze):
    for c, cell in enumerate(line):
        if cell == "#":
            grid.setWalkable(r, c, False)
            wall = app.cm("box")
            wall.setPos(c - 0.5, -r - 0.5, 0)
            wall.setTextureOff(1)
            wall.setColor(Color.gray)
        elif cell == "S":
            grid.setStartNode(r, c)
            start = (r, c)
        elif cell == "E":
            grid.setEndNode(r, c)
            goal = (r, c)
            flag = Pen(app)                 # 终点：一块黄色的地砖
            fill(flag, Color.yellow, [(c - 0.5, -r - 0.5, 0.01), (c + 0.5, -r - 0.5, 0.01),
                                      (c + 0.5, -r + 0.5, 0.01), (c - 0.5, -r + 0.5, 0.01)])
        elif cell == "*":
            coin = app.gm("star")
            coin.setPos(position(r, c))
            coin.setScale(0.5)
            coin.setP(-90)                  # 躺平，从上面看得见
            coins.append(coin)

robot = app.render.attachNewNode("walker")   # 一个空节点，机器人站在它上面
model = app.gm("robot")
model.reparentTo(robot)
model.setScale(0.35)
model.setH(90)

player = app.gm("car")
player.setScale(0.3)
here = start
player.setPos(position(*here))

score = 0
finished = False
label = makeLabel(app, "金星：0", 20, 30)
MOVES = {"up": (-1, 0), "down": (1, 0), "left": (0, -1), "right": (0, 1)}


def show(text):
    label["text"] = text
    label.resetFrameSize()


def walk(direction):
    global here, score, finished
    if finished:
        return
    r, c = here[0] + MOVES[direction][0], here[1] + MOVES[direction][1]
    if maze[r][c] == "#":
        playSound("hit", 0.4)          # 撞墙了
        return
    here = (r, c)
    player.setPos(position(r, c))
    coin = touchingAny(player, coins)
    if coin is not None:
        coins.remove(coin)
        coin.removeNode()
        score = score + 1
        playSound("coin")
    show("金星：%d" % score)
    if here == goal:
        finished = True
        mover.stop()
        playSound("win")
        show("你赢了！金星：%d" % score)


def robotArrived():
    global finished
    if not finished:
        finished = True
        playSound("lose")
        show("机器人先到了！金星：%d" % score)


onKey("up", lambda: walk("up"))         # 每按一次方向键走一格
onKey("down", lambda: walk("down"))
onKey("left", lambda: walk("left"))
onKey("right", lambda: walk("right"))

grid.findPath()
mover = PathMoveCtrl()
mover.start(robot, [position(node.r, node.c) for node in grid.getPath()], 0.03, robotArrived)
app.update = mover.update
app.run()
