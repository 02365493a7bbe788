# 第十二课：自己画出来的螺旋线
# animate(pen) 之后，pen.update() 不再一下子显示全部线条，
# 而是一段一段地画出来，笔尖上还有一只小海龟（小箭头）指着前进的方向。
from tavik.tavik import *
from tavik.extras import *

app = TAVIK(showAxis=False)
app.bgColor(Color.black)
pen = Pen(app)
animate(pen, speed=2)      # 每一帧画 2 段；写成 0 就关掉动画

colors = [Color.red, Color.orange, Color.yellow, Color.green, Color.cyan, Color.blue, Color.purple]
pen.size(3)
step = 0.2
for i in range(140):
    pen.color(colors[i // 20])   # 每画 20 段换一种颜色
    pen.forward(step, True)
    pen.dLeft(59)                # 比 60 度少一点点，六边形就一圈圈转起来
    step = step + 0.08

pen.update()               # 开始画！

lookFrom(app, "top")       # 从正上方往下看
frameAll(app)              # 让整幅画刚好装进窗口（还没画完的部分也算在内）

# 按 S 键把窗口里的画面存成图片
app.accept("s", lambda: print("保存好了：", saveImage(app, "螺旋线.png")))
app.run()
