# 第八课：计算器
# makeEntry 是输入框，makeButton 是按钮，makeLabel 用来显示文字。
from tavik.tavik import *

app = TAVIK()
makeLabel(app, "第一个数：", 20, 30)
first = makeEntry(app, "3", 140, 30)
makeLabel(app, "第二个数：", 20, 70)
second = makeEntry(app, "4", 140, 70)
result = makeLabel(app, "结果：", 20, 160)


def calculator(sign):
    """做出一个按钮要用的函数：按下按钮时按 sign 计算。"""
    def calculate():
        try:
            a = float(first.get())
            b = float(second.get())
        except ValueError:
            result["text"] = "请输入数字"
            result.resetFrameSize()  # 文字变了，黑框跟着变大小
            return
        if sign == "+":
            answer = a + b
        elif sign == "-":
            answer = a - b
        elif sign == "×":
            answer = a * b
        elif b == 0:
            result["text"] = "不能除以 0"
            result.resetFrameSize()  # 文字变了，黑框跟着变大小
            return
        else:
            answer = a / b
        result["text"] = "结果：%g %s %g = %g" % (a, sign, b, answer)
        result.resetFrameSize()  # 文字变了，黑框跟着变大小
    return calculate


for i, (name, sign) in enumerate([("加", "+"), ("减", "-"), ("乘", "×"), ("除", "÷")]):
    makeButton(app, name + " " + sign, 20 + i * 70, 115, calculator(sign))

app.run()
