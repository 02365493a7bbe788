# 第二课：立体星星
# towards 让画笔朝向一个点，drawVec 画一支带箭头的向量。
import math

from tavik.tavik import *

app = TAVIK()
pen = Pen(app)

# 从原点向四面八方射出 12 支箭
colors = [Color.red, Color.orange, Color.yellow, Color.green, Color.cyan, Color.purple]
for i in range(12):
    angle = math.radians(i * 30)
    direction = LVector3f(4 * math.cos(angle), 4 * math.sin(angle), 2 * math.sin(3 * angle))
    pen.color(colors[i % len(colors)])
    pen.drawVec(LPoint3f(0, 0, 0), direction, 0.4)

# 在高处画一颗五角星：每次先朝向下一个顶点，再走过去
corners = []
for i in range(5):
    angle = math.radians(90 + i * 144)      # 每次跳过一个顶点，就成了五角星
    corners.append((3 * math.cos(angle), 3 * math.sin(angle), 5))

pen.color(Color.white)
pen.moveTo(*corners[0])
for corner in corners[1:] + [corners[0]]:
    pen.towards(corner)                      # 朝向下一个顶点
    pen.forward(dist(pen.getPos(), corner), True)

pen.update()
app.run()
