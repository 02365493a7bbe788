# 作业“计分器”的检查：每个函数看一个学生程序最后的场景，答对得分。
# 用法：python -m tavik grade 班级 --out 报告 --checks 检查.py
from tavik.classroom.checks import check


@check(points=2, message="屏幕上有“得分”")
def shows_the_score(scene):
    return scene.has_text("得分")


@check(points=1, message="得分从 0 开始")
def starts_at_zero(scene):
    return any("得分" in text.text and "0" in text.text for text in scene.texts)


@check(points=2, message="有一个“加一分”按钮")
def has_the_button(scene):
    return any(text.kind == "widget" and "加一分" in text.text for text in scene.texts)


@check(points=1, message="3D 场景里写了自己的名字")
def signed(scene):
    return any(text.kind == "scene" for text in scene.texts)


@check(points=1, message="打印了满分 10")
def printed_the_top_score(scene):
    return scene.printed("10")
