# 第五课：模型展览
# gm("名字") 加载 tavik 自带的模型，setPos 把它放到想要的位置。
from tavik.tavik import *

app = TAVIK(showAxis=False)
models = [("car", "小汽车"), ("tree", "树"), ("house", "房子"), ("robot", "机器人"),
          ("rocket", "火箭"), ("ball", "球"), ("star", "星星"), ("tower", "塔")]

for i, (name, chinese) in enumerate(models):
    x = (i - 3.5) * 3              # 每隔 3 个单位放一个
    model = app.gm(name)
    if model is not None:          # 加载失败时 gm 会返回 None
        model.setPos(x, 0, 0)
        model.setH(30)             # 转一点角度，看得更立体
    app.makeText("name" + name, chinese, (x, 0, 4.2), Color.white, scale=0.7)

app.run()
