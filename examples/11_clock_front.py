# 第十一课：正面看的钟
# 钟面画在 XZ 平面上（X 向右，Z 向上），就像贴在墙上一样。
# lookFrom(app, "front") 让摄像机站到前面正对着它，frameAll(app) 让整个钟刚好装进窗口。
import math
import time

from tavik.tavik import *
from tavik.extras import *

app = TAVIK(showAxis=False)
app.bgColor(Color.white)


def onFace(angle, length):
    """钟面上的一个点：angle 是从 12 点开始顺时针转过的角度，length 是离中心多远。"""
    a = math.radians(angle)
    return (length * math.sin(a), 0, length * math.cos(a))   # y 一直是 0：都在 XZ 平面上


# 钟的外圈：用 60 段短线围成一个圆
face = Pen(app)
face.color(Color.black)
face.size(4)
face.moveTo(*onFace(0, 10))
for i in range(1, 61):
    face.lineTo(*onFace(i * 6, 10))

# 刻度：每 5 分钟一根长刻度，其他是短刻度
for minute in range(60):
    inner = 8.6 if minute % 5 == 0 else 9.3
    face.moveTo(*onFace(minute * 6, inner))
    face.lineTo(*onFace(minute * 6, 9.8))
face.update()

# 数字 1 到 12
for hour in range(1, 13):
    x, y, z = onFace(hour * 30, 7.4)
    app.makeText("hour" + str(hour), str(hour), (x, -0.1, z), Color.black, scale=1.4)

# 时针和分针：按电脑上现在的时间画
now = time.localtime()
hands = Pen(app)
hands.size(6)
hands.color(Color.blue)
hands.moveTo(0, -0.1, 0)                       # y 稍微小一点，指针就在钟面前面
hands.lineTo(*onFace((now.tm_hour % 12 + now.tm_min / 60) * 30, 5))
hands.color(Color.green)
hands.moveTo(0, -0.1, 0)
hands.lineTo(*onFace(now.tm_min * 6, 7.5))
hands.update()

# 秒针：先画好一根线，再在每一帧用 setVertex 挪动它的尖（第 1 号顶点）
second = Pen(app)
second.size(2)
second.color(Color.red)
second.moveTo(0, -0.2, 0)                      # 第 0 号顶点：中心
second.lineTo(*onFace(0, 8.5))                 # 第 1 号顶点：尖
second.update()


def update():
    x, y, z = onFace(time.time() % 60 * 6, 8.5)
    second.setVertex(1, x, -0.2, z)


app.update = update

lookFrom(app, "front")     # 站到前面（-Y 那边）看过去
frameAll(app)              # 让整个钟刚好装进窗口
app.run()
