# 第十课：换背景颜色
# 每个按钮换一种背景颜色；bgColor 接受 3 个或 4 个 0 到 1 之间的数。
from tavik.tavik import *

app = TAVIK()
choices = [("天蓝", Color.sky), ("红", Color.red), ("绿", Color.green), ("蓝", Color.blue),
           ("黄", Color.yellow), ("粉", Color.pink), ("紫", Color.purple), ("黑", Color.black)]
shown = makeLabel(app, "现在是：天蓝", 20, 30)


def chooser(name, color):
    def choose():
        app.bgColor(color)
        shown["text"] = "现在是：" + name
        shown.resetFrameSize()  # 文字变了，黑框跟着变大小
    return choose


for i, (name, color) in enumerate(choices):
    makeButton(app, name, 20 + i * 60, 80, chooser(name, color))

# 也可以自己调颜色：红、绿、蓝三个数
makeButton(app, "橙色 (1, 0.5, 0)", 20, 130, chooser("橙色", (1, 0.5, 0)))
app.run()
