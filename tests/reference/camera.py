"""The orbit camera and the click controller written as plain Python, step by
step: the reference for the tests of the order in which the kit reads
attributes, looks up methods and evaluates arguments.

The camera is the kit's own rendition: the orbit is centred on the target,
a press samples the pointer only while it is in the window, and without a
window (no watcher, no camera) nothing is read from them.
"""
import math

from direct.showbase import DirectObject
from panda3d.core import (CollisionHandlerQueue, CollisionNode, CollisionRay, CollisionTraverser, GeomNode,
                          LPoint3, LVector3)


class CameraController:
    def __init__(self, base, target_pos=LPoint3(0, 0, 0), radius=10):
        self.base = base
        self.target_pos = target_pos
        self.radius = radius
        self.theta = 45
        self.phi = 45
        base.disableMouse()
        self.update_camera_position()
        self.mouse_down = False
        self.right_mouse_down = False
        self.last_mouse_x = 0
        self.last_mouse_y = 0
        base.accept("mouse1", self.on_mouse_down)
        base.accept("mouse1-up", self.on_mouse_up)
        base.accept("mouse3", self.on_right_mouse_down)
        base.accept("mouse3-up", self.on_right_mouse_up)
        base.taskMgr.add(self.update_mouse, "UpdateMouseTask")
        base.accept("wheel_up", self.decrease_radius)
        base.accept("wheel_down", self.increase_radius)

    def on_mouse_down(self):
        self.mouse_down = True
        watcher = self.base.mouseWatcherNode
        if watcher is not None and watcher.hasMouse():
            self.last_mouse_x = watcher.getMouseX()
            self.last_mouse_y = watcher.getMouseY()

    def on_mouse_up(self):
        self.mouse_down = False

    def on_right_mouse_down(self):
        self.right_mouse_down = True
        watcher = self.base.mouseWatcherNode
        if watcher is not None and watcher.hasMouse():
            self.last_mouse_x = watcher.getMouseX()
            self.last_mouse_y = watcher.getMouseY()

    def on_right_mouse_up(self):
        self.right_mouse_down = False

    def update_mouse(self, task):
        watcher = self.base.mouseWatcherNode
        if watcher is None or not watcher.hasMouse():
            return task.cont
        x = watcher.getMouseX()
        y = watcher.getMouseY()
        if self.mouse_down:
            dx = x - self.last_mouse_x
            dy = y - self.last_mouse_y
            self.theta += dx * 100
            self.phi += dy * 100
            self.phi = max(5, min(175, self.phi))
            self.update_camera_position()
        elif self.right_mouse_down:
            dx = x - self.last_mouse_x
            dy = y - self.last_mouse_y
            mouse_speed = math.sqrt(dx ** 2 + dy ** 2)
            base_pan_speed = self.radius * 0.1
            pan_speed = base_pan_speed * 2 if mouse_speed > 0.05 else base_pan_speed
            camera_pos = self.base.camera.getPos()
            target_dir = (self.target_pos - camera_pos).normalized()
            world_up = LVector3(0, 0, 1)
            right = target_dir.cross(world_up).normalized()
            up = right.cross(target_dir).normalized()
            pan_x = dx * pan_speed
            pan_y = dy * pan_speed
            pan_vector = -(right * pan_x + up * pan_y)
            new_camera_pos = camera_pos + pan_vector
            new_target_pos = self.target_pos + pan_vector
            self.base.camera.setPos(new_camera_pos)
            self.target_pos = new_target_pos
            self.base.camera.lookAt(self.target_pos)
        self.last_mouse_x = x
        self.last_mouse_y = y
        return task.cont

    def decrease_radius(self):
        self.radius = max(1, self.radius - 1)
        self.update_camera_position()

    def increase_radius(self):
        self.radius += 1
        self.update_camera_position()

    def update_camera_position(self):
        theta = math.radians(self.theta)
        phi = math.radians(self.phi)
        x = self.radius * math.sin(phi) * math.sin(theta)
        y = self.radius * math.sin(phi) * math.cos(theta)
        z = self.radius * math.cos(phi)
        camera = self.base.camera
        if camera is None:
            return
        camera.setPos(LPoint3(self.target_pos) + LVector3(x, y, z))
        camera.lookAt(self.target_pos)


class ClickCtrl(DirectObject.DirectObject):
    def __init__(self, show_collisions=False):
        self.collisionTraverser = CollisionTraverser()
        if show_collisions:
            self.collisionTraverser.showCollisions(render)  # noqa: F821 (the framework's global)
        self.collisionHandler = CollisionHandlerQueue()
        self.pickerNode = CollisionNode("mouseRay")
        self.pickerNP = base.camera.attachNewNode(self.pickerNode)  # noqa: F821
        self.pickerNode.setFromCollideMask(GeomNode.getDefaultCollideMask())
        self.pickerRay = CollisionRay()
        self.pickerNode.addSolid(self.pickerRay)
        self.collisionTraverser.addCollider(self.pickerNP, self.collisionHandler)
        self.click_handlers = {}
        self.accept("mouse1", self.onMouseClick)

    def setModelClick(self, model, tag_name, tag_value):
        model.setTag(tag_name, tag_value)
        for found in model.findAllMatches("**/+GeomNode"):
            found.node().setIntoCollideMask(GeomNode.getDefaultCollideMask())

    def addCallback(self, tag_name, callback):
        self.click_handlers[tag_name] = callback

    def onMouseClick(self):
        if not base.mouseWatcherNode.hasMouse():  # noqa: F821
            return
        mpos = base.mouseWatcherNode.getMouse()  # noqa: F821
        self.pickerRay.setFromLens(base.camNode, mpos.getX(), mpos.getY())  # noqa: F821
        self.collisionTraverser.traverse(render)  # noqa: F821
        if self.collisionHandler.getNumEntries() > 0:
            self.collisionHandler.sortEntries()
            pickedObj = self.collisionHandler.getEntry(0).getIntoNodePath()
            for tag_name in self.click_handlers:
                taggedObj = pickedObj.findNetTag(tag_name)
                if not taggedObj.isEmpty():
                    collisionPoint = self.collisionHandler.getEntry(0).getSurfacePoint(render)  # noqa: F821
                    self.click_handlers[tag_name](taggedObj, collisionPoint)
                    break
