# 小明的计分器：标签、按钮、名字都有
from tavik.tavik import *

app = TAVIK()
score = 0
label = makeLabel(app, "得分：0", 20, 30)


def add_one():
    global score
    score += 1
    label["text"] = "得分：" + str(score)
    label.resetFrameSize()


makeButton(app, "加一分", 20, 80, add_one)
app.makeText("name", "小明", pos=(0, 0, 2))
print("满分是", 10)
app.run()
