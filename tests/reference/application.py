"""The application object, its billboard text and the axes gizmo, written as
plain Python, step by step.

The kit's `TAVIK` turns hundreds of labels a frame without the interpreter
when the labels and the camera are plain engine node paths; this is the
loop it must match, label for label.  The rest of the class is here so that
a test can construct it in a fresh interpreter and compare the whole
application, not one method.

Where the kit is safer than the steps it was first written from, this
rendition is too: the window is titled only when there is a window that
takes properties, the clear colour is handed over as a tuple, a font whose
resolution is already right is not set again, and a text without a UTF-8
form is refused before the engine sees it.
"""
import os
from importlib import resources

from direct.showbase.ShowBase import ShowBase
from panda3d.core import LPoint3, NodePath, TextNode, WindowProperties

try:
    from gltf import load_model
    GLTF_AVAILABLE = True
except ImportError:
    GLTF_AVAILABLE = False

from reference.camera import CameraController

BANNER = "嗨，Norvane3D编程欢迎您！仰望星空，探索无限！DEV_MODE260331"
TITLE = "Norvane3D编程"
BACKGROUND_MESSAGE = "颜色必须是3或4个元素的元组"
FONT_FILE = "zkwy.ttf"
PACKAGE = "tavik"


class Color:
    red = (1.0, 0.0, 0.0, 1.0)
    green = (0.0, 1.0, 0.0, 1.0)
    blue = (0.0, 0.0, 1.0, 1.0)


class TAVIK(ShowBase):
    def __init__(self, showAxis=True):
        ShowBase.__init__(self)
        print(BANNER)
        properties = WindowProperties()
        properties.setTitle(TITLE)
        properties.setSize(1000, 750)
        # Headless (no window, or an offscreen buffer) there is nothing to title.
        if hasattr(self.win, "requestProperties"):
            self.win.requestProperties(properties)
        self._background_color = (0.2, 0.6, 0.8) + (1,)
        self.setBackgroundColor(self._background_color)
        self.cnFont = None
        self.textNodes = []
        if self.win:
            self.win.setClearColorActive(True)
            self.win.setClearDepthActive(True)
            self.win.setClearColor(tuple(self._background_color))
            self.win.setClearDepth(1.0)
        self.loadCnFont()
        self.setup_scene(showAxis)
        self.camera_controller = CameraController(self, LPoint3(0, 0, 0), 40)
        self.update = None
        self.taskMgr.add(self.updateScene, "updateSceneTask")
        self.render.show()
        self.aspect2d.show()
        self.render2d.show()

    def textNodeslookAtCamera(self):
        text_nodes = self.textNodes
        if type(text_nodes) is list and not text_nodes:
            return
        # Running without a window there is no camera to face.
        if self.camera is None:
            return
        for t in text_nodes:
            # A label the learner removed stays listed; it has nothing to turn.
            if t.isEmpty():
                continue
            camera_pos = self.camera.getPos()
            text_pos = t.getPos()
            direction = camera_pos - text_pos
            opposite_direction = -direction
            t.lookAt(text_pos + opposite_direction)

    def updateScene(self, task):
        self.textNodeslookAtCamera()
        if self.update != None:  # noqa: E711 (an inequality, as written)
            self.update()
        return task.cont

    def bgColor(self, color):
        if len(color) == 3:
            color = (color[0], color[1], color[2], 1)
        elif len(color) != 4:
            raise ValueError(BACKGROUND_MESSAGE)
        self._background_color = color
        self.setBackgroundColor(color)
        self.loadCnFont()
        if self.win:
            self.win.setClearColorActive(True)
            self.win.setClearColor(tuple(color))
        return color

    def setup_scene(self, showAxis=True):
        """设置演示场景"""
        if not showAxis:
            return
        axis = self.loader.loadModel("zup-axis")
        axis.setScale(1, 1, 1)
        axis.reparentTo(self.render)

    def cm(self, fn, nc=True):
        b = self.loader.loadModel(fn, noCache=nc)
        b.reparentTo(self.render)
        return b

    def loadCnFont(self):
        def convert_to_unix_path(path):
            """将Windows路径转换为Unix风格路径"""
            unix_path = path.replace("\\", "/")
            if ":" in unix_path:
                drive, rest = unix_path.split(":", 1)
                unix_path = "/" + drive.lower() + rest
            return unix_path

        font_loaded = False
        try:
            font_path_str = str(resources.files(PACKAGE).joinpath(FONT_FILE))
            if not os.path.exists(font_path_str):
                dev_font_path = os.path.join(os.path.dirname(__file__), FONT_FILE)
                if os.path.exists(dev_font_path):
                    font_path_str = dev_font_path
            if os.path.exists(font_path_str):
                font_loaded = self._adopt_font(convert_to_unix_path(font_path_str))
        except Exception:
            pass
        if not font_loaded:
            try:
                self._adopt_font(FONT_FILE)
            except Exception:
                pass

    def _adopt_font(self, path):
        font = self.loader.loadFont(path)
        if font is None:
            return False
        self.cnFont = font
        # The engine hands back its cached font, and refuses to change the
        # resolution of one that has drawn text: set it only when it differs.
        if getattr(font, "getPixelsPerUnit", lambda: None)() != 30:
            font.setPixelsPerUnit(30)
        return True

    def gm(self, model_name):
        """加载模型并返回节点"""
        try:
            model_path = resources.files(PACKAGE).joinpath(model_name + ".glb")
            if GLTF_AVAILABLE:
                model = NodePath(load_model(str(model_path)))
            else:
                model = self.loader.loadModel(str(model_path))
            model.reparentTo(self.render)
            return model
        except Exception as e:
            print("加载模型 '" + str(model_name) + "' 失败: " + str(e))
            return None

    def makeText(self, nodeName, text="None", pos=(0, 0, 0), color=(1, 0, 0, 1), align=TextNode.ACenter, scale=1):
        """创建文字节点"""
        textNode = TextNode(nodeName)
        textNode.font = self.cnFont
        if isinstance(text, str):
            text.encode("utf-8")  # the engine aborts on a lone surrogate; this raises instead
        textNode.setText(text)
        textNode.setAlign(align)
        textNodePath = self.render.attachNewNode(textNode)
        textNodePath.setPos(pos)
        textNodePath.setScale(scale)
        textNodePath.setColor(color)
        textNodePath.setTwoSided(True)
        self.textNodes.append(textNodePath)
        return textNodePath


def drawAxies(pen, n1=0, n2=5, n3=0.5):
    pen.color(Color.red)
    pen.drawPath([(n1, 0, 0), (n2, 0, 0), (n2 - n3, 0, n3), (n2 - n3, 0, -n3), (n2, 0, 0)])
    pen.color(Color.green)
    pen.drawPath([(0, n1, 0), (0, n2, 0), (0, n2 - n3, n3), (0, n2 - n3, -n3), (0, n2, 0)])
    pen.color(Color.blue)
    pen.drawPath([(0, 0, n1), (0, 0, n2), (n3, 0, n2 - n3), (-n3, 0, n2 - n3), (0, 0, n2)])
    pen.update()
