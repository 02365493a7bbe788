# 第七课：点一点小测验
# ClickCtrl 让模型可以被鼠标点击：点中以后会调用我们写好的函数。
import random

from tavik.tavik import *

app = TAVIK(showAxis=False)
models = {"car": "小汽车", "tree": "树", "house": "房子", "rocket": "火箭"}

click = ClickCtrl()
for i, name in enumerate(models):
    model = app.gm(name)
    if model is not None:
        model.setPos((i - 1.5) * 3.5, 0, 0)
        click.setModelClick(model, "quiz", name)   # 给模型贴上标签 quiz=名字

question = random.choice(list(models))
prompt = makeLabel(app, "请点击：" + models[question], 20, 30)
result = makeLabel(app, "", 20, 70)


def on_click(model, point):
    """点中模型时调用：model 是被点的模型，point 是点中的位置。"""
    global question
    answer = model.getTag("quiz")
    if answer == question:
        result["text"] = "答对了！"
        result.resetFrameSize()  # 文字变了，黑框跟着变大小
        question = random.choice(list(models))
        prompt["text"] = "请点击：" + models[question]
        prompt.resetFrameSize()  # 文字变了，黑框跟着变大小
    else:
        result["text"] = "不对哦，那是" + models[answer]
        result.resetFrameSize()  # 文字变了，黑框跟着变大小


click.addCallback("quiz", on_click)
app.run()
