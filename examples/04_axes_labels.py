# 第四课：坐标轴和中文标签
# drawAxies 用画笔画出 X（红）、Y（绿）、Z（蓝）三根坐标轴，makeText 放上永远面向我们的文字。
from tavik.tavik import *

app = TAVIK(showAxis=False)    # 不要自带的坐标轴模型，我们自己画
pen = Pen(app)
pen.size(3)
drawAxies(pen, 0, 6, 0.5)      # 从 0 画到 6，箭头大小 0.5

app.makeText("x", "X 轴", (7, 0, 0), Color.red, scale=0.8)
app.makeText("y", "Y 轴", (0, 7, 0), Color.green, scale=0.8)
app.makeText("z", "Z 轴（向上）", (0, 0, 7), Color.blue, scale=0.8)
app.makeText("origin", "原点", (0, 0, -1), Color.white, scale=0.6)

# 用鼠标左键拖动旋转摄像机：文字总是转过来面对你
app.run()
