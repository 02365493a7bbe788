# 第九课：太阳系
# 给 app.update 一个函数，它每一帧都会被调用一次：让行星一点一点绕着太阳转。
import math

from tavik.tavik import *

app = TAVIK(showAxis=False)
app.bgColor(Color.black)


def planet(size, color):
    ball = app.gm("ball")
    ball.setScale(size)
    ball.setMaterialOff(1)        # 去掉模型自带的材质，才能换成我们的颜色
    ball.setColor(color)
    return ball


sun = planet(3, Color.yellow)
earth = planet(1, Color.blue)
moon = planet(0.4, Color.white)
mars = planet(0.8, Color.orange)
app.makeText("sun", "太阳", (0, 0, 2.5), Color.yellow, scale=0.8)

frame = 0


def update():
    global frame
    frame = frame + 1
    angle = math.radians(frame)
    earth.setPos(8 * math.cos(angle), 8 * math.sin(angle), 0)
    moon.setPos(earth.getPos() + LVector3(1.5 * math.cos(angle * 12), 1.5 * math.sin(angle * 12), 0))
    mars.setPos(12 * math.cos(angle * 0.5), 12 * math.sin(angle * 0.5), 0)


app.update = update
app.run()
