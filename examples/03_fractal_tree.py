# 第三课：分形树
# 一根树枝的顶端长出三根更短的树枝，每根树枝又长出三根……这就是“递归”。
from tavik.tavik import *

app = TAVIK()
pen = Pen(app)
pen.size(2)
pen.dUp(90)            # 画笔一开始朝向 +X，抬头 90 度就朝上了


def branch(length, depth):
    start_z, start_y = pen.rotZ, pen.rotY     # 记住现在的方向
    pen.color(Color.brown if depth > 1 else Color.green)
    pen.forward(length, True)                 # 画出这根树枝
    tip = tuple(pen.getPos())                 # 记住树枝顶端的位置
    if depth == 0:
        return
    for turn in (0, 120, 240):                # 朝三个方向各长一根新枝
        pen.moveTo(*tip)
        pen.rotZ = start_z + turn
        pen.rotY = start_y + 35
        branch(length * 0.7, depth - 1)


branch(4, 4)
pen.update()
app.run()
