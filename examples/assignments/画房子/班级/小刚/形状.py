# 小刚自己的小模块：画屋顶
def 屋顶(pen):
    pen.moveTo(0, 0, 3)
    pen.lineTo(2, 0, 5)
    pen.lineTo(4, 0, 3)
