"""Game helpers beside the kit: keys, clicks on the ground, touching models,
sounds, timers, and the turtle moves a learner misses (circle, fill, write, home).

``from tavik.extras import *`` brings these in too. They find the application
through the engine's global ``base`` that ``TAVIK()`` publishes, so a learner's
call needs no ``app`` where the engine already knows it.
"""
import os
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import TypeVar, overload

from panda3d.core import NodePath

from tavik.tavik import TAVIK, Pen

__all__ = ["keyDown", "onKey", "onKeyUp", "onClick", "touching", "touchingAny", "playSound",
           "every", "after", "dt", "circle", "fill", "writeAt", "home"]

_Thing = TypeVar("_Thing", bound=NodePath | Pen)
_Colour = tuple[float, float, float] | tuple[float, float, float, float]

class Handle:
    """every、after、onKey、onKeyUp、onClick 返回的东西：调用 stop() 就停下来，以后不再调用那个函数。"""

    running: bool

    def __init__(self, stopping: Callable[[], object]) -> None: ...
    def stop(self) -> None:
        """停下来：以后不再调用那个函数。可以调用好几次。"""


class _FillRecording:
    """Notes every point the pen goes to inside a `with fill(...)` block."""

    def __init__(self, pen: Pen, colour: tuple[float, float, float, float]) -> None: ...
    def __enter__(self) -> _FillRecording: ...
    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> bool: ...


def keyDown(key: str) -> bool:
    """这个键现在是不是按着：按着返回 True，没按返回 False。在 app.update 里每帧读一次。

    key 可以写 "left" "right" "up" "down" "space" "enter" "shift"、字母 "a" 到 "z"、
    数字 "0" 到 "9"，引擎的名字（"arrow_left"），或者中文 "左" "右" "上" "下" "空格"。
    写错名字时抛出 ValueError，并列出能用的名字。
    """
    ...


def onKey(key: str, function: Callable[[], object]) -> Handle:
    """按下 key 这个键时调用 function()（不带参数）。按住不放只算一次。

    key 的写法和 keyDown 一样，例如 onKey("space", 跳)。
    返回一个 Handle：调用它的 stop() 以后不再调用。
    """
    ...


def onKeyUp(key: str, function: Callable[[], object]) -> Handle:
    """松开 key 这个键时调用 function()（不带参数）。

    key 的写法和 keyDown 一样。返回一个 Handle：调用它的 stop() 以后不再调用。
    """
    ...


def onClick(function: Callable[[float, float, float], object]) -> Handle:
    """点一下窗口（鼠标左键按下再松开、没有拖动）时调用 function(x, y, z)：

    x, y, z 是鼠标指着的地面（z = 0 的平面）上的那一点，z 总是 0。
    点在天空上（指着的地方碰不到地面）时不调用。拖动鼠标转摄像机不算点击。
    返回一个 Handle：调用它的 stop() 以后不再调用。
    """
    ...


def touching(a: NodePath | Pen, b: NodePath | Pen) -> bool:
    """两个模型（或画笔画的图形）是不是碰在一起：碰到或重叠返回 True，分开返回 False。

    按包围盒判断：把每个模型装进一个和坐标轴平行的最小盒子，两个盒子相交就算碰到，
    所以转了角度的模型，盒子会比模型本身大一点。藏起来（hide）或已经删掉的模型不算碰到。
    """
    ...


def touchingAny(a: NodePath | Pen, others: Iterable[_Thing]) -> _Thing | None:
    """a 碰到了 others 列表里的哪一个：返回按列表顺序第一个碰到的，一个也没碰到时返回 None。

    判断方法和 touching 一样（包围盒）；列表里的 a 自己不算。
    每帧检查一百个模型也很快：没有移动的模型，它的盒子只算一次。
    """
    ...


def playSound(sound: str | os.PathLike[str], volume: float = 1.0) -> None:
    """播放一个声音，马上返回（不用等声音放完）。

    sound 可以是自带的声音 "ding" "coin" "jump" "hit" "win" "lose"，
    也可以是一个 .wav 或 .ogg 文件的名字（放在程序旁边）或完整路径。
    volume 是音量，0 到 1，默认 1。电脑没有声卡时什么也听不到，但不会出错。
    同一个声音还没放完又播放时，从头再放。
    """
    ...


def every(seconds: float, function: Callable[[], object]) -> Handle:
    """每隔 seconds 秒调用一次 function()（不带参数），一直重复。

    例如 every(1, 倒计时) 每秒调用一次。返回一个 Handle：调用它的 stop() 就停下来。
    """
    ...


def after(seconds: float, function: Callable[[], object]) -> Handle:
    """seconds 秒以后调用一次 function()（不带参数），只调用一次。

    返回一个 Handle：在时间到之前调用它的 stop()，function 就不会被调用。
    """
    ...


def dt() -> float:
    """上一帧到这一帧过了多少秒（最多 0.1 秒）。

    在 app.update 里用 速度 × dt() 来移动，快电脑和慢电脑上就一样快：
    例如 car.setX(car.getX() + 5 * dt()) 每秒走 5。
    """
    ...


def circle(pen: Pen, radius: float, extent: float = 360) -> None:
    """让画笔画一个圆（或一段圆弧），像 Python 小海龟的 circle：

    圆心在画笔左边 radius 远的地方（radius 是负数时在右边），画笔沿着圆走 extent 度
    （默认 360，整个圆）后停在圆上，方向也跟着转过 extent 度。
    圆在画笔现在的平面里：画笔水平时就是水平的圆。画完要 pen.update() 才显示。
    """
    ...


@overload
def fill(pen: Pen, color: _Colour, points: Iterable[Iterable[float]]) -> NodePath | None:
    """画一个填了颜色的形状（两面都看得见）。两种用法：

    with fill(pen, Color.yellow):   # with 里画笔走过的路线围成的形状被填上颜色
        circle(pen, 3)
    fill(pen, Color.red, [(0, 0, 0), (4, 0, 0), (0, 3, 0)])   # 直接用这些点围成的多边形
    形状挂在 pen.np 下面，马上显示；pen.clear() 会把它和线条一起擦掉。
    用 points 时返回形状的 NodePath（点少于 3 个时返回 None）。
    """
    ...


@overload
def fill(pen: Pen, color: _Colour, points: None = None) -> _FillRecording:
    """画一个填了颜色的形状（两面都看得见）。两种用法：

    with fill(pen, Color.yellow):   # with 里画笔走过的路线围成的形状被填上颜色
        circle(pen, 3)
    fill(pen, Color.red, [(0, 0, 0), (4, 0, 0), (0, 3, 0)])   # 直接用这些点围成的多边形
    形状挂在 pen.np 下面，马上显示；pen.clear() 会把它和线条一起擦掉。
    用 points 时返回形状的 NodePath（点少于 3 个时返回 None）。
    """
    ...


def writeAt(app: TAVIK, pen: Pen, text: object, color: _Colour = (1, 0, 0, 1), scale: float = 1) -> NodePath:
    """在画笔现在的位置写字（总是朝着摄像机），返回文字的 NodePath。

    color 是文字的颜色，scale 是大小，和 app.makeText 一样。中文也可以写。
    """
    ...


def home(pen: Pen) -> None:
    """让画笔回到原点 (0, 0, 0)，朝向 +X（rotZ = 0，rotY = 90），不画线。"""
    ...
