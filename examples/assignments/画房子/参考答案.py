# 作业：画一座房子（老师的参考答案）
# 墙是一个正方形，上面是两条线组成的屋顶，中间有一条横梁；房子上方写着“我的家”。
from tavik.tavik import *

app = TAVIK()
pen = Pen(app)
pen.color((0.8, 0.3, 0.1, 1))
pen.size(3)

pen.moveTo(0, 0, 0)                     # 从左下角出发，沿着墙和屋顶走一圈
for x, z in [(4, 0), (4, 3), (2, 5), (0, 3), (0, 0)]:
    pen.lineTo(x, 0, z)
pen.moveTo(0, 0, 3)                     # 屋顶下面的横梁
pen.lineTo(4, 0, 3)
pen.update()

app.makeText("title", "我的家", pos=(2, 0, 6), scale=0.8)
app.run()
