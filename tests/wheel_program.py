# 橙色的正方形和一行字：检查安装好的 tavik 能不能画出东西。
from tavik.tavik import *

app = TAVIK()
pen = Pen(app)
pen.color(Color.orange)
pen.size(4)
pen.moveTo(-2, -2, 0)
for side in range(4):
    pen.forward(4, True)
    pen.dLeft(90)
pen.update()
app.makeText("title", "正方形", pos=(0, 0, 3), color=Color.yellow)
print("画图用的是", app.pipe.getInterfaceName())
app.run()
