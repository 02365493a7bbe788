# 第一课：画正方形和螺旋线
# 画笔 Pen 就像一只小海龟：往前走（forward）、左转（dLeft），走过的地方留下线条。
from tavik.tavik import *

app = TAVIK()          # 打开窗口
pen = Pen(app)         # 拿出一支画笔

# 红色正方形：走 5 步，左转 90 度，重复 4 次
pen.color(Color.red)   # 笔的颜色
pen.size(3)            # 笔的粗细（像素）
for i in range(4):
    pen.forward(5, True)   # True：边走边画
    pen.dLeft(90)          # 向左转 90 度

# 黄色螺旋线：每走一步，步子就长一点
pen.moveTo(-3, -3, 0)      # 只移动、不画线
pen.color(Color.yellow)
step = 0.2
for i in range(60):
    pen.forward(step, True)
    pen.dLeft(30)
    step = step + 0.05

pen.update()           # 把画好的线条显示出来
app.run()              # 开始运行，关闭窗口就结束
