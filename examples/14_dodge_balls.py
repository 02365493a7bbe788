# 小游戏：躲开掉下来的球
# 左右方向键移动机器人，躲开从天上掉下来的球：每躲过一个得 1 分，被砸中 3 次游戏结束，按空格重来。
import random

from tavik.tavik import *
from tavik.extras import *

app = TAVIK(showAxis=False)
lookFrom(app, "front")
app.camera_controller.target_pos = LPoint3(0, 0, 5)
app.camera_controller.radius = 28
app.camera_controller.update_camera_position()

player = app.gm("robot")
player.setScale(0.6)

balls = []
score = 0
lives = 3
label = makeLabel(app, "得分：0    生命：3", 20, 30)
ending = app.makeText("end", "游戏结束：按空格重来", (0, 0, 8), Color.red)
ending.hide()                  # 游戏结束时才显示
SPEED = 10                     # 机器人每秒走 10
FALL = 6                       # 球每秒落下 6


def show():
    label["text"] = "得分：%d    生命：%d" % (score, lives)
    label.resetFrameSize()


def dropBall():
    ball = app.gm("ball")
    ball.setPos(random.uniform(-9, 9), 0, 14)
    ball.setScale(0.8)
    balls.append(ball)


def update():
    global score, lives
    if lives == 0:
        return
    step = dt()
    if keyDown("left") and player.getX() > -9:
        player.setX(player.getX() - SPEED * step)
    if keyDown("right") and player.getX() < 9:
        player.setX(player.getX() + SPEED * step)
    for ball in list(balls):
        ball.setZ(ball.getZ() - FALL * step)
        if touching(ball, player):
            balls.remove(ball)
            ball.removeNode()
            lives = lives - 1
            playSound("hit")
            if lives == 0:
                dropping.stop()
                playSound("lose")
                ending.show()
        elif ball.getZ() < -1:
            balls.remove(ball)
            ball.removeNode()
            score = score + 1
            playSound("ding", 0.3)
    show()


def restart():
    global score, lives, dropping
    if lives > 0:
        return
    for ball in balls:
        ball.removeNode()
    balls.clear()
    score, lives = 0, 3
    ending.hide()
    dropping = every(0.7, dropBall)


dropBall()
dropping = every(0.7, dropBall)    # 每 0.7 秒掉下一个球
onKey("space", restart)
app.update = update
app.run()
