# 小游戏：开车收星星
# 方向键开车（上、下前进后退，左、右转弯），60 秒内收齐 8 颗星星。touchingAny 判断碰到了哪颗星星，every 每秒倒计时。
import random

from tavik.tavik import *
from tavik.extras import *

app = TAVIK(showAxis=False)
app.camera_controller.radius = 30
app.camera_controller.update_camera_position()

# 地面：一个填了草绿色的正方形
ground = Pen(app)
fill(ground, (0.35, 0.7, 0.35), [(-12, -12, -0.01), (12, -12, -0.01), (12, 12, -0.01), (-12, 12, -0.01)])

player = app.render.attachNewNode("player")   # 一个空节点，汽车坐在上面
car = app.gm("car")
car.reparentTo(player)
car.setH(180)                  # 汽车模型的车头朝 -Y，转过来让它朝 +Y：player 的前方

stars = []


def newStar(x, y):
    star = app.gm("star")
    star.setPos(x, y, 0)
    star.setScale(0.8)
    stars.append(star)


newStar(0, 6)                  # 第一颗就在车头前面
for i in range(7):             # 其他的在左右两边，离开车子至少 3
    newStar(random.choice([-1, 1]) * random.uniform(3, 10), random.uniform(-10, 10))

score = 0
timeLeft = 60
playing = True
label = makeLabel(app, "星星：0", 20, 30)
clock = makeLabel(app, "时间：60", 20, 80)
SPEED = 8                      # 每秒走 8
TURN = 120                     # 每秒转 120 度


def update():
    global score, playing
    if not playing:
        return
    step = dt()
    if keyDown("up"):
        player.setY(player, SPEED * step)      # 沿着自己的前方走
    if keyDown("down"):
        player.setY(player, -SPEED * step)
    if keyDown("left"):
        player.setH(player.getH() + TURN * step)
    if keyDown("right"):
        player.setH(player.getH() - TURN * step)
    for star in stars:
        star.setH(star.getH() + 90 * step)     # 星星慢慢转
    star = touchingAny(player, stars)
    if star is not None:
        stars.remove(star)
        star.removeNode()
        score = score + 1
        label["text"] = "星星：%d" % score
        label.resetFrameSize()
        playSound("coin")
        if not stars:
            playing = False
            ticking.stop()
            playSound("win")
            app.makeText("end", "全部收齐啦！", (0, 0, 3), Color.yellow)


def tick():
    global timeLeft, playing
    timeLeft = timeLeft - 1
    clock["text"] = "时间：%d" % timeLeft
    clock.resetFrameSize()
    if timeLeft == 0:
        playing = False
        ticking.stop()
        playSound("lose")
        app.makeText("end", "时间到！", (0, 0, 3), Color.red)


ticking = every(1, tick)       # 每秒调用一次 tick
app.update = update
app.run()
