# 小丽的计分器：分数放在 3D 场景里，按钮在屏幕上
from tavik.tavik import *
from 名字 import 我的名字

app = TAVIK()
score = [0]
board = app.makeText("board", "得分 0", pos=(0, 0, 3))


def add_one():
    score[0] += 1
    board.node().setText("得分 " + str(score[0]))


makeButton(app, "加一分", 20, 30, add_one)
app.makeText("name", 我的名字, pos=(0, 0, 1))
app.run()
