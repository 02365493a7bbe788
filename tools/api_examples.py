"""The API reference's short examples, notes and attribute lists, one entry per public call.

tools/docsite.py writes the reference from these and from the running module;
`program()` is the one program that runs every example (the docs build and
tests/test_docs.py run it headless), so an example that stops working fails
the build.
"""

PRELUDE = "from tavik.tavik import *\nfrom tavik.extras import *\n\napp = TAVIK()\n"
# Made afresh before each example, so each one starts from the same state.
SETUP = (
    "pen = Pen(app)\n"
    "grid = AStar(5, 8)\n"
    "grid.setStartNode(0, 0)\n"
    "grid.setEndNode(4, 7)\n"
    "car = app.gm(\"car\")\n"
    "click = ClickCtrl()\n"
    "mover = PathMoveCtrl()\n"
)

# How the reference writes the object a method is called on.
INSTANCE = {"CameraController": "app.camera_controller", "TAVIK": "app", "Pen": "pen", "AStarNode": "node",
            "AStar": "grid", "ClickCtrl": "click", "PathMoveCtrl": "mover", "Handle": "timer"}

EXAMPLES = {
    "dist": 'd = dist((0, 0, 0), (3, 4, 0))\nprint(d)                                     # 5.0',
    "Color": 'pen.color(Color.orange)                      # 14 种颜色之一\n'
             'app.bgColor(Color.sky)                       # sky 就是默认的天蓝色背景',
    "CameraController": 'cc = app.camera_controller                   # TAVIK() 已经建好了一个\n'
                        'print(cc.theta, cc.phi, cc.radius)           # 45 45 40',
    "CameraController.on_mouse_down": 'cc = app.camera_controller\n'
                                      'app.accept("r", cc.on_mouse_down)            # 按住 r 键也像按住左键一样转动',
    "CameraController.on_mouse_up": 'cc = app.camera_controller\n'
                                    'app.accept("r-up", cc.on_mouse_up)           # 松开 r 键停止转动',
    "CameraController.on_right_mouse_down": 'cc = app.camera_controller\n'
                                            'app.accept("p", cc.on_right_mouse_down)      # 按住 p 键平移',
    "CameraController.on_right_mouse_up": 'cc = app.camera_controller\n'
                                          'app.accept("p-up", cc.on_right_mouse_up)     # 松开 p 键停止平移',
    "CameraController.update_mouse": 'print(app.taskMgr.hasTaskNamed("UpdateMouseTask"))   # True\n'
                                     '# update_mouse 就是这个每帧运行的任务，不需要自己调用',
    "CameraController.decrease_radius": 'app.camera_controller.decrease_radius()      # 和滚轮向前滚一格一样：拉近 1\n'
                                        'print(app.camera_controller.radius)          # 39',
    "CameraController.increase_radius": 'app.camera_controller.increase_radius()      # 和滚轮向后滚一格一样：拉远 1\n'
                                        'print(app.camera_controller.radius)',
    "CameraController.update_camera_position": 'app.camera_controller.phi = 10               # 几乎从正上方往下看\n'
                                               'app.camera_controller.update_camera_position()   # 改了角度或半径后调用它',
    "TAVIK": 'app = TAVIK()                                # 每个程序只能有一个 TAVIK\n'
             'app.run()                                    # 进入主循环，关闭窗口才结束',
    "TAVIK.textNodeslookAtCamera": 'app.makeText("hello", "你好")\n'
                                   'app.textNodeslookAtCamera()                  # 每帧都会自动调用：文字转向摄像机',
    "TAVIK.updateScene": 'app.update = lambda: print("又一帧")          # updateScene 每帧调用一次 app.update\n'
                         'app.taskMgr.step()                           # 跑一帧：打印“又一帧”',
    "TAVIK.bgColor": 'app.bgColor((1, 0.5, 0))                     # 橙色：3 个 0 到 1 之间的数\n'
                     'app.bgColor(Color.sky)                       # 或者 4 个数 (r, g, b, a)',
    "TAVIK.setup_scene": 'app.setup_scene()                            # 再放一个坐标轴模型（TAVIK() 已经放过一个）\n'
                         'app.setup_scene(showAxis=False)              # False：什么也不做',
    "TAVIK.cm": 'box = app.cm("box")                          # 引擎自带的方块；也可以是你的模型文件\n'
                'box.setPos(0, 0, 2)',
    "TAVIK.loadCnFont": 'app.loadCnFont()                             # TAVIK() 已经调用过；找不到字体也不报错\n'
                        'print(app.cnFont is not None)                # True：中文字体已经加载',
    "TAVIK.gm": 'car = app.gm("car")                          # car tree house robot rocket ball star tower\n'
                'car.setPos(3, 0, 0)                          # 加载失败时 gm 打印原因并返回 None',
    "TAVIK.makeText": 'title = app.makeText("title", "小汽车", pos=(0, 0, 2), color=Color.yellow, scale=0.8)\n'
                      'title.setZ(3)                                # 返回的是 NodePath：可以再移动',
    "Pen": 'pen = Pen(app)                               # 新画笔：在原点，朝向 +X\n'
           'print(pen.getPos(), pen.rotZ, pen.rotY)      # LPoint3f(0, 0, 0) 0 90',
    "Pen.moveTo": 'pen.moveTo(1, 2, 0)                          # 只移动，不画线\n'
                  'pen.lineTo(4, 2, 0)                          # 从 (1, 2, 0) 画到 (4, 2, 0)',
    "Pen.dot": 'pen.moveTo(0, 0, 3)\n'
               'pen.dot()                                    # 在 (0, 0, 3) 点一个点；之前必须 moveTo',
    "Pen.lineTo": 'pen.lineTo(0, 5, 0)                          # 从笔的位置画到 (0, 5, 0)\n'
                  'pen.update()',
    "Pen.color": 'pen.color(Color.red)                         # 之后画的线是红色，已经画的不变\n'
                 'pen.color((1, 0.5, 0, 1))                    # 也可以自己给 (r, g, b, a)',
    "Pen.size": 'pen.size(4)                                  # 下一次 update() 里的所有线都是 4 像素粗\n'
                'pen.update()',
    "Pen.clear": 'pen.clear()                                  # 擦掉这支笔画的一切，方向不变\n'
                 'print(pen.getPos())                          # 回到原点：LPoint3f(0, 0, 0)',
    "Pen.update": 'pen.forward(3, True)\n'
                  'pen.update()                                 # 画好的线这时才出现在窗口里',
    "Pen.rotZ": 'pen.rotZ = 90                                # 在 xy 平面里朝向 +Y\n'
                'print(pen.rotZ)                              # 90',
    "Pen.rotY": 'pen.rotY = 0                                 # 0 朝正上方，90 水平，180 朝正下方\n'
                'print(pen.rotY)                              # 0',
    "Pen.dLeft": 'pen.dLeft(90)                                # 左转 90 度\nprint(pen.rotZ)                              # 90',
    "Pen.dRight": 'pen.dRight(90)                               # 右转 90 度\nprint(pen.rotZ)                              # -90',
    "Pen.dUp": 'pen.dUp(90)                                  # 抬头 90 度：朝正上方\nprint(pen.rotY)                              # 0',
    "Pen.dDown": 'pen.dDown(45)                                # 低头 45 度\nprint(pen.rotY)                              # 135',
    "Pen.forward": 'pen.forward(5, True)                         # 向前 5，边走边画\n'
                   'pen.forward(-2)                              # 后退 2，只移动不画',
    "Pen.getPos": 'pen.forward(5)\n'
                  'x, y, z = pen.getPos()                       # x 是 5.0，y、z 差不多是 0',
    "Pen.towards": 'pen.towards(0, 0, 10)                        # 朝向 (0, 0, 10)；也可以写 pen.towards((0, 0, 10))\n'
                   'pen.forward(10, True)                        # 正好走到那个点',
    "Pen.setVertex": 'pen.drawPath([(0, 0, 0), (5, 0, 0)])\npen.update()\n'
                     'pen.setVertex(1, 5, 0, 3)                    # 第 1 个顶点（线的终点）挪到 (5, 0, 3)',
    "Pen.drawPath": 'pen.drawPath([(0, 0, 0), (2, 0, 0), (2, 2, 0), (0, 0, 0)])   # 一个三角形\n'
                    'pen.update()',
    "Pen.drawVec": 'pen.drawVec(LPoint3f(0, 0, 0), LVector3f(0, 0, 4), 0.5)   # 向上的箭头，箭头边长 0.5\n'
                   '# drawVec 自己会调用 update()',
    "makeLabel": 'label = makeLabel(app, "得分：0", 20, 30)      # 离窗口左边 20 像素、上边 30 像素\n'
                 'label["text"] = "得分：1"                     # 换文字',
    "makeButton": 'button = makeButton(app, "打招呼", 20, 80, lambda: print("你好"))\n'
                  '# 点一下按钮就调用那个函数（不带参数）',
    "makeEntry": 'entry = makeEntry(app, "3", 140, 30)         # 输入框，里面先写着 3\n'
                 'print(entry.get())                           # 读出里面的文字：3',
    "AStarNode": 'node = grid.getNode(1, 2)                    # 网格的每个格子都是一个 AStarNode\n'
                 'print(node.r, node.c, node.walkable)         # 1 2 True',
    "AStar": 'grid = AStar(3, 5)                           # r 从 0 到 2（由 numCols 限定），c 从 0 到 4\n'
             'print(grid.getNode(2, 4).r, grid.getNode(2, 4).c)   # 2 4',
    "AStar.getNode": 'node = grid.getNode(0, 3)\n'
                     'node.costMultiplier = 5                      # 走进这个格子的代价是平常的 5 倍',
    "AStar.setStartNode": 'grid.setStartNode(1, 1)                      # 起点换成 (1, 1)\n'
                          'print(grid.getStartNode().r)                 # 1',
    "AStar.getStartNode": 'start = grid.getStartNode()                  # 没设置过时是 None\n'
                          'print(start.r, start.c)                      # 0 0',
    "AStar.setEndNode": 'grid.setEndNode(3, 6)                        # 终点换成 (3, 6)\n'
                        'print(grid.getEndNode().c)                   # 6',
    "AStar.getEndNode": 'end = grid.getEndNode()\n'
                        'print(end.r, end.c)                          # 4 7',
    "AStar.setWalkable": 'grid.setWalkable(2, 2, False)                # (2, 2) 变成障碍\n'
                         'print(grid.getNode(2, 2).walkable)           # False',
    "AStar.getNumCols": 'print(grid.getNumCols())                     # 5：第一个坐标 r 有 5 个值（0 到 4）',
    "AStar.getNumRows": 'print(grid.getNumRows())                     # 8：第二个坐标 c 有 8 个值（0 到 7）',
    "AStar.findPath": 'if grid.findPath():                          # True：找到路了\n'
                      '    print([(node.r, node.c) for node in grid.getPath()])',
    "AStar.sortFun": 'grid.findPath()\n'
                     'print(grid.sortFun(grid.getEndNode()))       # 就是节点的 f 值：终点的总代价',
    "AStar.search": 'grid.findPath()                              # findPath 准备好起点，再调用 search\n'
                    'print(len(grid._closed))                     # search 展开过的格子数',
    "AStar.buildPath": 'grid.findPath()                              # 找到路时 findPath 已经调用过 buildPath\n'
                       'grid.buildPath()                             # 从终点沿 parent 回溯到起点',
    "AStar.getPath": 'grid.findPath()\n'
                     'print(len(grid.getPath()))                   # 路上的格子数（含起点和终点）',
    "AStar.isOpen": 'grid.findPath()\n'
                    'print(grid.isOpen(grid.getNode(0, 0)))       # False：起点已经展开过了',
    "AStar.isClosed": 'grid.findPath()\n'
                      'print(grid.isClosed(grid.getNode(0, 0)))     # True',
    "AStar.diagonal": 'print(grid.diagonal(grid.getNode(0, 0)))     # 到终点 (4, 7) 的估计：1.414×4 + 3，约 8.656\n'
                      '# 估计时不看障碍，也不看 costMultiplier',
    "ClickCtrl": 'click = ClickCtrl()                          # 要在 TAVIK() 之后创建\n'
                 'click.setModelClick(car, "kind", "car")',
    "ClickCtrl.setModelClick": 'click.setModelClick(car, "kind", "car")      # 给模型贴标签 kind=car，它就能被点中\n'
                               'print(car.getTag("kind"))                    # car',
    "ClickCtrl.addCallback": 'click.setModelClick(car, "kind", "car")\n'
                             'click.addCallback("kind", lambda model, point: print(model.getTag("kind"), point))',
    "ClickCtrl.onMouseClick": 'click.onMouseClick()                         # 鼠标左键按下时自动调用\n'
                              '# 指针不在窗口里时什么也不做',
    "PathMoveCtrl": 'mover = PathMoveCtrl()\n'
                    'mover.start(car, [(0, 0, 0), (5, 0, 0), (5, 5, 0)], 0.05, lambda: print("到了"))\n'
                    'app.update = mover.update                    # 每帧走一步',
    "PathMoveCtrl.start": 'mover.start(car, [(0, 0, 0), (5, 0, 0)], mStep=0.1, loop=True)   # 永远循环：完成回调不会被调用\n'
                          'app.update = mover.update',
    "PathMoveCtrl.updateHeading": 'mover.start(car, [(0, 0, 0), (0, 5, 0)])\n'
                                  'mover.update()                                # 到第一个点，转向下一个点（updateHeading）\n'
                                  'print(round(car.getH()))                     # 90：朝着 +Y',
    "PathMoveCtrl.update": 'mover.start(car, [(0, 0, 0), (1, 0, 0)])\n'
                           'app.update = mover.update                    # 每帧走一步（默认步长 0.025）',
    "PathMoveCtrl.stop": 'mover.start(car, [(0, 0, 0), (5, 0, 0)])\n'
                         'mover.stop()                                 # 停在原地，完成回调不会被调用',
    "drawAxies": 'drawAxies(pen, 0, 6, 0.5)                     # 从 0 画到 6，箭头大小 0.5\n'
                 '# drawAxies 自己会调用 pen.update()',
    "frameAll": 'pen.moveTo(95, 95, 0)\npen.forward(10, True)\npen.update()\n'
                'frameAll(app)                                # 离原点很远的线也整个装进窗口',
    "lookFrom": 'lookFrom(app, "top")                         # 从正上方看；也可以写 "上"\n'
                'lookFrom(app, "front")                       # 从前面看：XZ 平面上的画正着读',
    "animate": 'animate(pen, speed=1)                        # 以后每次 update() 都一帧画一段\n'
               'pen.forward(3, True)\npen.update()',
    "saveImage": 'path = saveImage(app, "我的画.png")            # 返回图片的完整路径\n'
                 'print(path.endswith("我的画.png"))           # True',
    "keyDown": 'def update():\n'
               '    if keyDown("left"):                      # 左方向键按着的时候\n'
               '        car.setX(car.getX() - 0.1)\n'
               'app.update = update',
    "onKey": 'onKey("space", lambda: print("跳！"))          # 每按一次空格调用一次\n'
             'onKey("上", lambda: car.setZ(car.getZ() + 1))   # 中文也可以：上方向键',
    "onKeyUp": 'onKeyUp("space", lambda: print("松开了"))       # 松开空格时调用',
    "onClick": 'def plant(x, y, z):                          # x, y 是点到的地面上的点，z 是 0\n'
               '    app.gm("tree").setPos(x, y, z)\n'
               'onClick(plant)',
    "touching": 'ball = app.gm("ball")\nball.setPos(1, 0, 0)\n'
                'print(touching(car, ball))                   # True：两个盒子重叠了',
    "touchingAny": 'stars = [app.gm("star"), app.gm("star")]\nstars[0].setPos(9, 0, 0)\n'
                   'print(touchingAny(car, stars) is stars[1])    # True：第二颗就在车子那里',
    "playSound": 'playSound("coin")                            # 自带：ding coin jump hit win lose\n'
                 'playSound("ding", 0.3)                       # 第二个数是音量，0 到 1',
    "every": 'timer = every(1, lambda: print("又过了一秒"))   # 每秒调用一次\n'
             'timer.stop()                                 # 停下来',
    "after": 'after(3, car.hide)                           # 3 秒以后把车藏起来（只调用一次）',
    "dt": 'def update():\n'
          '    car.setX(car.getX() + 5 * dt())          # 每秒走 5，快电脑慢电脑都一样\n'
          'app.update = update',
    "circle": 'circle(pen, 3)                               # 圆心在笔左边 3 远的地方，画一整圈\n'
              'circle(pen, 2, 90)                           # 四分之一个圆\npen.update()',
    "fill": 'with fill(pen, Color.yellow):                # with 里画出的形状填上黄色\n'
            '    circle(pen, 2)\npen.update()\n'
            'fill(pen, Color.red, [(0, 0, 0), (4, 0, 0), (0, 3, 0)])   # 或者直接给三个以上的点',
    "writeAt": 'pen.forward(3)\n'
               'writeAt(app, pen, "这里", Color.yellow)       # 在笔的位置写字',
    "home": 'pen.forward(5, True)\n'
            'home(pen)                                    # 回到原点，朝向 +X，不画线\n'
            'print(pen.getPos(), pen.rotZ, pen.rotY)      # (0, 0, 0) 0 90',
    "Handle": 'timer = every(1, lambda: print("滴答"))       # every、after、onKey、onKeyUp、onClick 都返回 Handle\n'
              'print(timer.running)                         # True',
    "Handle.stop": 'timer = after(5, lambda: print("时间到"))\n'
                   'timer.stop()                                 # 5 秒还没到就停下：不会打印了',
}

ATTRIBUTES = {
    "CameraController": [
        ("theta", "水平方向的角度（度）：0 时摄像机在目标的 +Y 一侧，90 时在 +X 一侧；左键左右拖动改变它"),
        ("phi", "和正上方（+Z）的夹角（度）：0 正上方，90 水平，180 正下方；左键上下拖动改变它，拖动时限制在 5 到 175"),
        ("radius", "摄像机到目标的距离；滚轮一格改变 1，最小 1"),
        ("target_pos", "摄像机对准的点（LPoint3），右键拖动时跟着平移"),
        ("mouse_down", "左键是否按着"),
        ("right_mouse_down", "右键是否按着"),
    ],
    "TAVIK": [
        ("update", "每帧调用一次的函数（不带参数），开始时是 None；在 TAVIK() 之后赋值：`app.update = 函数`"),
        ("camera_controller", "鼠标控制的摄像机（CameraController），目标在原点，半径 40"),
        ("cnFont", "中文字体，加载失败时是 None"),
        ("textNodes", "makeText 做出的所有文字（NodePath 的列表）"),
        ("run()", "从 ShowBase 继承：进入主循环，关闭窗口才结束"),
        ("render / camera / loader / taskMgr", "从 ShowBase 继承的场景根节点、摄像机、加载器和任务管理器"),
    ],
    "Pen": [
        ("np", "这支笔的容器节点（NodePath），每次 update() 画出的线都挂在它下面"),
        ("lineNode", "最近一次 update() 画出的节点，之前是 None"),
    ],
    "AStarNode": [
        ("r, c", "格子的两个坐标：`getNode(r, c)` 用的就是它们"),
        ("walkable", "能不能走进去（`setWalkable` 改它）"),
        ("costMultiplier", "走进这个格子的代价乘数，默认 1.0"),
        ("parent", "寻路时从哪个格子走过来的"),
        ("f, g, h", "寻路时的总代价、已走代价、估计代价"),
    ],
    "AStar": [
        ("_straightCost", "直走一步的代价，1.0"),
        ("_diagCost", "斜走一步的代价，1.414"),
    ],
    "ClickCtrl": [
        ("click_handlers", "标签名 → 回调函数 的字典"),
    ],
    "Handle": [
        ("running", "还在运行时是 True；stop() 以后，或者 after 已经调用过以后，是 False"),
    ],
    "PathMoveCtrl": [
        ("model", "正在移动的模型"),
        ("path", "路线：点的列表"),
        ("mStep", "每步走多远"),
        ("mtni", "正在走向的点的序号；停下时是 None"),
        ("mf", "是否正在移动"),
        ("completeCB", "走完最后一个点时调用的函数"),
        ("loop", "走完后是否从头再来"),
    ],
}

NOTES = {
    "CameraController": (
        "!!! tip \"用程序摆摄像机\"\n"
        "    改 `theta`、`phi`、`radius`（或 `target_pos`）以后调用 `update_camera_position()`，"
        "摄像机才会移到新位置：\n\n"
        "    ```\n"
        "    app.camera_controller.theta = 0\n"
        "    app.camera_controller.phi = 80\n"
        "    app.camera_controller.radius = 20\n"
        "    app.camera_controller.update_camera_position()\n"
        "    ```\n\n"
        "    只有鼠标拖动时 `phi` 才会被限制在 5 到 175；自己赋值时不要用 0 或 180（正上方、正下方）。"
        "详见[摄像机](camera.md)。"),
    "TAVIK": (
        "!!! note \"app.update\"\n"
        "    `update` 是一个属性，不是方法：在 `TAVIK()` 之后写 `app.update = 函数`。函数不带参数，每帧调用一次。"
        "只能有一个；要做好几件事，就写一个函数把它们都调用一遍（见[教程：每一帧](tutorial/update.md)）。"),
    "Pen.size": (
        "!!! warning \"粗细管的是下一次 update() 的全部线条\"\n"
        "    `size()` 不像 `color()` 那样只管之后画的线：下一次 `update()` 时，"
        "这支笔记录下的所有线（包括 `size()` 之前画的）都用最后一次给的粗细。"
        "想要粗细不同的线，就用两支笔。"),
    "AStar": (
        "!!! warning \"AStar(numCols, numRows)：r 由 numCols 限定\"\n"
        "    第一个坐标 `r` 可以从 0 到 `numCols - 1`，第二个坐标 `c` 从 0 到 `numRows - 1`——"
        "虽然说明里把 `r` 叫作“行”、把 `numCols` 叫作“列数”。"
        "所以一个 8 行 10 列的地图 `maze`（`maze[r][c]`）要写成 `AStar(len(maze), len(maze[0]))`，"
        "也就是 `AStar(8, 10)`。"),
    "Handle": (
        "!!! note \"不用自己创建\"\n"
        "    `every`、`after`、`onKey`、`onKeyUp`、`onClick` 返回一个 Handle；调用它的 `stop()`，"
        "以后就不再调用那个函数。"),
    "PathMoveCtrl.start": (
        "!!! warning \"loop=True 时完成回调永远不会被调用\"\n"
        "    循环的路线没有终点，所以 `completeCB` 不会被调用。"
        "只有 `True`（或 `1`）才算循环，`loop=\"yes\"` 这样的值会走完一遍就停。"),
}


def program():
    """One program that runs every example after a fresh setup, ending with the TAVIK example's run()."""
    construct, run = EXAMPLES["TAVIK"].splitlines()
    others = {name: code for name, code in EXAMPLES.items() if name != "TAVIK"}
    return (
        "from tavik.tavik import *\nfrom tavik.extras import *\n\n"
        f"{construct}\n"
        f"EXAMPLES = {others!r}\n"
        f"SETUP = {SETUP!r}\n"
        "for name, code in EXAMPLES.items():\n"
        "    space = {'app': app, '__name__': '__main__'}\n"
        "    exec('from tavik.tavik import *\\nfrom tavik.extras import *', space)\n"
        "    exec(SETUP, space)\n"
        "    try:\n"
        "        exec(compile(code, 'API example ' + name, 'exec'), space)\n"
        "    except Exception as error:\n"
        "        raise RuntimeError('the API example of ' + name + ' fails') from error\n"
        "    app.update = None\n"
        f"{run}\n"
    )
