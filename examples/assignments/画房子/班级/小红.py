# 小红：只画了墙，忘了屋顶和标题
from tavik.tavik import *

app = TAVIK()
pen = Pen(app)
pen.moveTo(0, 0, 0)
for x, z in [(4, 0), (4, 3), (0, 3), (0, 0)]:
    pen.lineTo(x, 0, z)
pen.update()
app.run()
