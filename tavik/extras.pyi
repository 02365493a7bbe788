"""Learner helpers beside the kit: frame the whole scene, look from one side,
watch a pen draw stroke by stroke, and save what the window shows; and,
from `tavik.game`, keys, clicks, touching, sound, timers and turtle moves.

Learners write ``from tavik.extras import *`` after ``from tavik.tavik import *``.
Everything here works through the kit's public objects (the application's
``camera_controller``, a pen's ``update``, ``lineNode`` and ``np``); the kit
itself is left as it is.
"""
import os
from typing import Literal

from tavik import game as game
from tavik.game import *
from tavik.tavik import TAVIK, Pen

__all__ = ["frameAll", "lookFrom", "animate", "saveImage",
           "keyDown", "onKey", "onKeyUp", "onClick", "touching", "touchingAny", "playSound",
           "every", "after", "dt", "circle", "fill", "writeAt", "home"]

def frameAll(app: TAVIK) -> bool:
    """让摄像机把 render 下所有看得见的东西都装进窗口（四周留一点空）。

    保持摄像机控制器现在的 theta 和 phi（观察的方向），只把 target_pos 设为
    场景的中心、把 radius 设为刚好装下的距离，再由控制器摆好摄像机，
    所以之后用鼠标旋转、缩放都从这里接着来。
    场景里什么都看不见时（没有模型、没有画好的线），摄像机保持不动。
    返回 True 表示已经对准了场景，返回 False 表示场景是空的。
    """
    ...


def lookFrom(app: TAVIK, side: Literal["front", "back", "left", "right", "top", "前", "后", "左", "右", "上"]) -> None:
    """让摄像机从某一边看过来，side 可以是：

    "front" 或 "前"：站在 -Y 一侧向 +Y 看，XZ 平面上的画从左往右、正着读；
    "back" 或 "后"：站在 +Y 一侧向 -Y 看；
    "left" 或 "左"：站在 -X 一侧向 +X 看；
    "right" 或 "右"：站在 +X 一侧向 -X 看；
    "top" 或 "上"：从正上方往下看，X 轴朝右。
    只改变摄像机控制器的 theta 和 phi，target_pos 和 radius 不变，
    之后鼠标照样可以旋转、平移和缩放。side 写错时抛出 ValueError。
    """
    ...


def animate(pen: Pen, speed: float = 2) -> None:
    """让画笔画画的过程看得见：从这以后，每次 pen.update() 新画的线条会一段一段地出现。

    speed 是每一帧画出的线段数（可以是小数，0.5 表示两帧画一段），
    speed 为 0 时关掉动画，以后的 update() 又会一下子全部显示。
    画的时候，笔尖上有一个和线条同色的小箭头（小海龟），指着前进的方向，
    全部画完就消失。画笔记录的内容、位置、角度、lineNode、setVertex
    和最后画出的图形都和不用动画时完全一样，只是屏幕上慢一点出现。
    """
    ...


def saveImage(app: TAVIK, path: str | os.PathLike[str]) -> str:
    """把窗口里现在的画面保存成 PNG 图片，返回图片文件的完整路径。

    path 是文件名，例如 "我的画.png"；没写扩展名时自动加上 .png。
    保存之前先画一帧，所以刚画好的线条也会在图片里。
    """
    ...
