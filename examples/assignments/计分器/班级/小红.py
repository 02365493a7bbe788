# 小红的计分器：忘了按钮，也没有写名字
from tavik.tavik import *

app = TAVIK()
score = 0
label = makeLabel(app, "得分：" + str(score), 20, 30)
app.run()
