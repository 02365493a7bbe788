# 小刚：房子画完整了，还在旁边种了一棵树
from tavik.tavik import *
from 形状 import 屋顶

app = TAVIK()
pen = Pen(app)
pen.moveTo(0, 0, 0)
for x, z in [(4, 0), (4, 3), (0, 3), (0, 0)]:
    pen.lineTo(x, 0, z)
屋顶(pen)
pen.update()
app.makeText("title", "我的家", pos=(2, 0, 6))
tree = app.gm("tree")
tree.setPos(6, 0, 0)
app.run()
