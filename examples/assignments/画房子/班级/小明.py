# 小明：先画屋顶，再倒着画墙，横梁分成两段画
from tavik.tavik import *

app = TAVIK()
p = Pen(app)
p.color((0.2, 0.4, 0.9, 1))
p.moveTo(0, 0, 3)
p.lineTo(2, 0, 5)
p.lineTo(4, 0, 3)
p.lineTo(4, 0, 0)
p.lineTo(0, 0, 0)
p.lineTo(0, 0, 3)
p.lineTo(2, 0, 3)
p.lineTo(4, 0, 3)
p.update()
app.makeText("title", "我的家", pos=(2, 0, 6))
app.run()
