# Type stub of the extension module tavik.tavik, for editors and type checkers.
# Names, parameters, defaults and docstrings are those of the running module;
# tests/test_stubs.py holds the two together (mypy's stubtest and a docstring
# comparison), so an edit here that drifts from the module fails the suite.
from collections.abc import Callable, Iterable, Sequence
from typing import Any, ClassVar, TypeAlias

# The engine names, bound in the order the module's import binds them.
from direct.showbase.ShowBase import ShowBase as ShowBase
from panda3d.core import (
    BitMask32 as BitMask32,
    LPoint3 as LPoint3,
    LVector3 as LVector3,
    LVector3f as LVector3f,
    NodePath as NodePath,
)
from direct.gui.OnscreenText import OnscreenText as OnscreenText
from panda3d.core import WindowProperties as WindowProperties
from panda3d.core import LineSegs as LineSegs
from panda3d.core import *
from direct.showbase import DirectObject as DirectObject
from direct.gui.DirectGui import DirectButton as DirectButton, DirectEntry as DirectEntry, DirectLabel as DirectLabel
import math as math
import os as os
from importlib import resources as resources

# A 3D point as the kit's calls take it: anything that unpacks into x, y, z.
_Point: TypeAlias = tuple[float, float, float] | list[float] | LPoint3f | Iterable[float]
# A colour: red, green, blue and alpha, each from 0 to 1.
_RGBA: TypeAlias = tuple[float, float, float, float] | list[float] | LVecBase4f
# A point that is read by index 0, 1 and 2 (a path's points, drawPath's items).
_IndexedPoint: TypeAlias = Sequence[float] | LVecBase3f
# A callable run with no arguments: the per-frame hook, a button's command, a path's end.
_Action: TypeAlias = Callable[[], object]
# A click callback: the clicked model and the clicked point in world coordinates.
_ClickCallback: TypeAlias = Callable[[NodePath, LPoint3f], object]

GLTF_AVAILABLE: bool

# Bound only when the optional glTF loader imports (GLTF_AVAILABLE is then True).
def load_model(file_path: str, gltf_settings: Any = None) -> ModelRoot:
    """Load a glTF file from file_path and return a ModelRoot"""

def dist(pos1: _Point, pos2: _Point) -> float:
    """
    计算两个3D坐标点之间的距离
    pos1和pos2可以是元组、列表或LPoint3f对象
    返回两点间的距离
    """

class Color:
    red: ClassVar[tuple[float, float, float, float]]
    green: ClassVar[tuple[float, float, float, float]]
    blue: ClassVar[tuple[float, float, float, float]]
    yellow: ClassVar[tuple[float, float, float, float]]
    cyan: ClassVar[tuple[float, float, float, float]]
    pink: ClassVar[tuple[float, float, float, float]]
    brown: ClassVar[tuple[float, float, float, float]]
    purple: ClassVar[tuple[float, float, float, float]]
    orange: ClassVar[tuple[float, float, float, float]]
    tan: ClassVar[tuple[float, float, float, float]]
    gray: ClassVar[tuple[float, float, float, float]]
    white: ClassVar[tuple[float, float, float, float]]
    black: ClassVar[tuple[float, float, float, float]]
    sky: ClassVar[tuple[float, float, float, float]]

class CameraController:
    """摄像机控制工具类，实现围绕目标旋转等功能"""

    base: ShowBase
    target_pos: LPoint3f
    radius: float
    theta: float
    phi: float
    mouse_down: bool
    right_mouse_down: bool
    last_mouse_x: float
    last_mouse_y: float
    def __init__(self, base: ShowBase, target_pos: LPoint3f = LPoint3f(0, 0, 0), radius: float = 10) -> None: ...
    def on_mouse_down(self) -> None:
        """鼠标按下事件处理"""
    def on_mouse_up(self) -> None:
        """鼠标释放事件处理"""
    def on_right_mouse_down(self) -> None:
        """鼠标右键按下事件处理"""
    def on_right_mouse_up(self) -> None:
        """鼠标右键释放事件处理"""
    def update_mouse(self, task: PythonTask) -> int:
        """鼠标移动更新任务"""
    def decrease_radius(self) -> None:
        """减小旋转半径"""
    def increase_radius(self) -> None:
        """增大旋转半径"""
    def update_camera_position(self) -> None:
        """根据当前旋转角度和半径更新摄像机位置"""

class TAVIK(ShowBase):
    """Norvane3D开发框架主类"""

    _background_color: Sequence[float]
    cnFont: TextFont | None
    textNodes: list[NodePath]
    camera_controller: CameraController
    update: _Action | None
    def __init__(self, showAxis: bool = True) -> None: ...
    def textNodeslookAtCamera(self) -> None: ...
    def updateScene(self, task: PythonTask) -> int: ...
    def bgColor(self, color: Sequence[float]) -> Sequence[float]: ...
    def setup_scene(self, showAxis: bool = True) -> None:
        """设置演示场景"""
    def cm(self, fn: str, nc: bool = True) -> NodePath: ...
    def loadCnFont(self) -> None:
        """加载中文字体
        从site-packages/tavik中加载中文字体，
        模仿gm中从whl包资源加载的方法进行加载字体ttf，
        字体文件名:zkwy.ttf
        加载成功之后，给self.cnFont赋值。
        """
    def gm(self, model_name: str) -> NodePath:
        """加载模型并返回节点"""
    def makeText(
        self,
        nodeName: str,
        text: str = "None",
        pos: tuple[float, float, float] | LVecBase3f = (0, 0, 0),
        color: _RGBA = (1, 0, 0, 1),
        align: int = TextNode.ACenter,
        scale: float = 1,
    ) -> NodePath:
        """创建文字节点"""

class Pen:
    np: NodePath
    lineNode: NodePath | None
    _current_thickness: float
    def __init__(self, app: ShowBase) -> None: ...
    def moveTo(self, x: float, y: float, z: float) -> None:
        """记录移动目标位置，不立即调用__lsg.moveTo
        防止连续moveTo产生无用的顶点，只有在lineTo时才会实际移动
        """
    def dot(self) -> None: ...
    def lineTo(self, x: float, y: float, z: float) -> None:
        """绘制线条到指定位置"""
    def color(self, c: _RGBA) -> None:
        """设置画笔颜色"""
    def size(self, n: float) -> None:
        """设置线条粗细"""
    def clear(self) -> None:
        """清空画笔，重置所有状态"""
    def update(self) -> None: ...
    @property
    def rotZ(self) -> float:
        """获取或设置Pen在其xy平面的旋转度数"""
    @rotZ.setter
    def rotZ(self, value: float) -> None:
        """设置Pen在其xy平面的旋转度数，维持在(-180,180]范围内"""
    @property
    def rotY(self) -> float:
        """获取或设置Pen在其zx平面的旋转度数"""
    @rotY.setter
    def rotY(self, value: float) -> None:
        """设置Pen在其zx平面的旋转度数，维持在(-180,180]范围内"""
    def _normalize_angle(self, angle: float) -> float:
        """将角度归一化到(-180,180]范围内"""
    def dLeft(self, n: float) -> None:
        """让Pen左转n度，即rotZ增加n"""
    def dRight(self, n: float) -> None:
        """让Pen右转n度，即rotZ减少n度"""
    def dUp(self, n: float) -> None:
        """让Pen向上抬头n度，即rotY减少n度"""
    def dDown(self, n: float) -> None:
        """让Pen向下低头n度，即rotY增加n度"""
    def forward(self, n: float, draw: bool = False) -> None:
        """通过rotZ和rotY让画笔前进n，n的正负数表示前进和后退
        如果draw为False，只移动不绘制线条
        如果draw为True，移动并绘制线条
        """
    def getPos(self) -> tuple[float, float, float] | LPoint3f:
        """获取当前笔头的位置"""
    def towards(self, *args: float | _Point) -> None:
        """用提供的坐标更新画笔的rotZ和rotY属性，让画笔面向目标坐标
        支持多种参数格式：
        1. towards(x, y, z) - 三个独立参数
        2. towards((x, y, z)) - 一个坐标元组
        3. towards([x, y, z]) - 一个坐标列表
        4. towards(LPoint3f(x, y, z)) - Panda3D的LPoint3f对象
        """
    def setVertex(self, n: int, x: float, y: float, z: float) -> None:
        """设置指定顶点的坐标"""
    def drawPath(self, path: Sequence[_IndexedPoint]) -> None: ...
    def drawVec(self, sv: LPoint3f, dv: LVector3f, arsz: float = 0.3) -> None: ...

def makeLabel(tv: TAVIK, txt: str, x: float, y: float) -> DirectLabel: ...
def makeButton(tv: TAVIK, txt: str, x: float, y: float, cmd: _Action) -> DirectButton: ...
def makeEntry(tv: TAVIK, txt: str, x: float, y: float, lines: int = 1) -> DirectEntry: ...

class AStarNode:
    """
    节点类，代表网格中的一个单元格

    Attributes:
        f: 总代价 (f = g + h)
        g: 从起点到当前节点的实际代价
        h: 从当前节点到终点的估计代价
        walkable: 是否可通行
        parent: 父节点，用于回溯路径
        costMultiplier: 代价乘数，可用于设置不同地形的难度
        r, c: 节点在网格中的行和列坐标
    """

    f: float
    g: float
    h: float
    walkable: bool
    parent: AStarNode | None
    costMultiplier: float
    r: int
    c: int
    def __init__(self, pr: int, pc: int) -> None:
        """
        初始化节点

        Args:
            pr: 节点所在的行
            pc: 节点所在的列
        """

class AStar:
    """A*寻路算法类，包含网格管理和寻路功能"""

    _open: list[AStarNode] | None
    _closed: list[AStarNode] | None
    _endNode: AStarNode | None
    _startNode: AStarNode | None
    _path: list[AStarNode] | None
    _straightCost: float
    _diagCost: float
    _numCols: int
    _numRows: int
    _nodes: list[list[AStarNode]]
    def __init__(self, numCols: int, numRows: int) -> None:
        """
        初始化A*算法实例

        Args:
            numCols: 网格的列数
            numRows: 网格的行数
        """
    def getNode(self, r: int, c: int) -> AStarNode:
        """获取指定位置的节点"""
    def setStartNode(self, r: int, c: int) -> None:
        """设置起点节点"""
    def getStartNode(self) -> AStarNode | None:
        """获取起点节点"""
    def setEndNode(self, r: int, c: int) -> None:
        """设置终点节点"""
    def getEndNode(self) -> AStarNode | None:
        """获取终点节点"""
    def setWalkable(self, r: int, c: int, value: bool) -> None:
        """
        设置指定位置节点的可通行性

        Args:
            value: True表示可通行，False表示不可通行
        """
    def getNumCols(self) -> int:
        """获取网格列数"""
    def getNumRows(self) -> int:
        """获取网格行数"""
    def findPath(self) -> bool:
        """
        执行A*寻路算法

        Returns:
            True: 找到路径
            False: 未找到路径
        """
    def sortFun(self, node: AStarNode) -> float:
        """排序函数，用于按f值对节点进行排序"""
    def search(self) -> bool:
        """
        核心搜索算法

        Returns:
            True: 找到路径
            False: 未找到路径
        """
    def buildPath(self) -> None:
        """构建路径，从终点回溯到起点"""
    def getPath(self) -> list[AStarNode]:
        """
        获取找到的路径

        Returns:
            路径节点列表，从起点到终点
        """
    def isOpen(self, node: AStarNode) -> bool:
        """检查节点是否在开放列表中"""
    def isClosed(self, node: AStarNode) -> bool:
        """检查节点是否在关闭列表中"""
    def diagonal(self, node: AStarNode) -> float:
        """计算节点到终点的对角线启发值"""

class ClickCtrl(DirectObject.DirectObject):
    """
    点击控制器类
    功能：
    - 处理鼠标点击事件
    - 检测点击的3D物体
    - 调用用户定义的回调函数
    """

    collisionTraverser: CollisionTraverser
    collisionHandler: CollisionHandlerQueue
    pickerNode: CollisionNode
    pickerNP: NodePath
    pickerRay: CollisionRay
    click_handlers: dict[str, _ClickCallback]
    def __init__(self, show_collisions: bool = False) -> None:
        """
        初始化点击控制器
        参数：
        - show_collisions: 是否显示碰撞信息（用于调试）
        """
    def setModelClick(self, model: NodePath, tag_name: str, tag_value: str) -> None:
        """
        为模型设置碰撞检测
        参数：
        - model: 要设置碰撞检测的模型
        - tag_name: 模型的分类标签
        - tag_value: 模型的标签值（可以存储额外信息）
        """
    def addCallback(self, tag_name: str, callback: _ClickCallback) -> None:
        """
        添加点击回调函数
        参数：
        - tag_name: 模型的分类标签
        - callback: 点击回调函数，接收两个参数：点击的模型和点击位置
        """
    def onMouseClick(self) -> None:
        """鼠标左键点击事件处理函数"""

class PathMoveCtrl:
    """
    路径移动控制器类
    功能：
    - 控制模型沿着指定路径移动
    - 自动计算并更新模型的偏航角
    - 提供开始、更新和停止方法
    """

    model: NodePath | None
    path: Sequence[_IndexedPoint] | None
    mStep: float
    mtni: int | None
    mf: bool
    completeCB: _Action | None
    loop: bool
    def __init__(self) -> None:
        """初始化路径移动控制器"""
    def start(
        self,
        model: NodePath,
        path: Sequence[_IndexedPoint],
        mStep: float = 0.025,
        completeCB: _Action | None = None,
        loop: bool = False,
    ) -> None:
        """
        开始路径移动
        参数：
        - model: 要移动的模型
        - path: 移动路径,格式为[(x1,y1,z1),(x2,y2,z2),...]
        - mStep: 移动步长（速度）
        - completeCB: 路径移动完成后的回调函数
        """
    def updateHeading(self) -> None:
        """更新模型的偏航角"""
    def update(self) -> None:
        """执行路径移动一步"""
    def stop(self) -> None:
        """强制停止路径移动并重置状态"""

def drawAxies(pen: Pen, n1: float = 0, n2: float = 5, n3: float = 0.5) -> None: ...
