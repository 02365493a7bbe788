// The orbit camera: rotate with the left button, pan with the right
// button, zoom with the wheel.  The orbit is centred on `target_pos`, so
// after a pan the camera keeps circling the moved target.  The plain
// Python it renders, step for step: `CameraController` in
// tests/reference/camera.py.
#include "py.hpp"
#include "units.hpp"

using py::Ref;

namespace {

py::Name nameBase("base");
py::Name nameTargetPos("target_pos");
py::Name nameRadius("radius");
py::Name nameTheta("theta");
py::Name namePhi("phi");
py::Name nameMouseDown("mouse_down");
py::Name nameRightMouseDown("right_mouse_down");
py::Name nameLastMouseX("last_mouse_x");
py::Name nameLastMouseY("last_mouse_y");
py::Name nameDisableMouse("disableMouse");
py::Name nameUpdateCameraPosition("update_camera_position");
py::Name nameAccept("accept");
py::Name nameTaskMgr("taskMgr");
py::Name nameAdd("add");
py::Name nameUpdateMouse("update_mouse");
py::Name nameOnMouseDown("on_mouse_down");
py::Name nameOnMouseUp("on_mouse_up");
py::Name nameOnRightMouseDown("on_right_mouse_down");
py::Name nameOnRightMouseUp("on_right_mouse_up");
py::Name nameDecreaseRadius("decrease_radius");
py::Name nameIncreaseRadius("increase_radius");
py::Name nameMouseWatcherNode("mouseWatcherNode");
py::Name nameHasMouse("hasMouse");
py::Name nameGetMouseX("getMouseX");
py::Name nameGetMouseY("getMouseY");
py::Name nameCamera("camera");
py::Name nameSetPos("setPos");
py::Name nameGetPos("getPos");
py::Name nameLookAt("lookAt");
py::Name nameCont("cont");
py::Name nameLPoint3("LPoint3");
py::Name nameLVector3("LVector3");
py::Name nameNormalized("normalized");
py::Name nameCross("cross");
py::Name nameRadians("radians");
py::Name nameSin("sin");
py::Name nameCos("cos");

bool setNumber(PyObject* self, PyObject* name, long value) {
    Ref number = py::number(value);
    return number && py::setAttr(self, name, number.get());
}

// `math.<function>(self.<attribute>)`: the function is looked up first.
Ref mathOfAttribute(PyObject* function, PyObject* self, PyObject* attribute) {
    Ref callee = py::mathFunction(function);
    Ref argument = callee ? py::getAttr(self, attribute) : Ref();
    return argument ? py::call(callee.get(), {argument.get()}) : Ref();
}

// `radius * first(phi) * second(theta)`, with `second` left out when null.
Ref sphericalComponent(PyObject* self, PyObject* first, PyObject* phi, PyObject* second, PyObject* theta) {
    Ref radius = py::getAttr(self, nameRadius);
    Ref factor = radius ? py::mathCall(first, {phi}) : Ref();
    Ref product = factor ? py::multiply(radius.get(), factor.get()) : Ref();
    if (!product || !second) return product;
    factor = py::mathCall(second, {theta});
    return factor ? py::multiply(product.get(), factor.get()) : Ref();
}

// The spherical offset of the camera from the target, computed from
// `radius`, `theta` and `phi` with the module's `math` in the order of the
// formulas of `CameraController.update_camera_position`
// (tests/reference/camera.py) (so an infinite angle raises the math module's domain error,
// as it should); x, y, z go to `offset`.
bool sphericalOffset(PyObject* self, Ref* offset) {
    Ref theta = mathOfAttribute(nameRadians, self, nameTheta);
    Ref phi = theta ? mathOfAttribute(nameRadians, self, namePhi) : Ref();
    offset[0] = phi ? sphericalComponent(self, nameSin, phi.get(), nameSin, theta.get()) : Ref();
    offset[1] = offset[0] ? sphericalComponent(self, nameSin, phi.get(), nameCos, theta.get()) : Ref();
    offset[2] = offset[1] ? sphericalComponent(self, nameCos, phi.get(), nullptr, nullptr) : Ref();
    return bool(offset[2]);
}

// The orbit is centred on the target:
//     camera = self.base.camera
//     if camera is None: return          # no window, no camera to place
//     camera.setPos(LPoint3(self.target_pos) + LVector3(x, y, z))
//     camera.lookAt(self.target_pos)
PyObject* updateCameraPosition(py::Args args) {
    PyObject* self = args[0];
    Ref offset[3];
    if (!sphericalOffset(self, offset)) return nullptr;
    Ref camera = py::getAttr(self, nameBase, nameCamera);
    if (!camera) return nullptr;
    if (camera.get() == Py_None) return py::none();
    Ref setPos = py::getAttr(camera.get(), nameSetPos);
    Ref pointType = setPos ? py::global(nameLPoint3) : Ref();
    Ref target = pointType ? py::getAttr(self, nameTargetPos) : Ref();
    Ref centre = target ? py::call(pointType.get(), {target.get()}) : Ref();
    Ref vectorType = centre ? py::global(nameLVector3) : Ref();
    Ref shift = vectorType ? py::call(vectorType.get(), {offset[0].get(), offset[1].get(), offset[2].get()}) : Ref();
    Ref position = shift ? py::add(centre.get(), shift.get()) : Ref();
    if (!position || !py::call(setPos.get(), {position.get()})) return nullptr;
    Ref lookAt = py::getAttr(camera.get(), nameLookAt);
    target = lookAt ? py::getAttr(self, nameTargetPos) : Ref();
    return target ? py::call(lookAt.get(), {target.get()}).release() : nullptr;
}

// `base.accept(event, self.<handler>)`: the callee first, then the
// arguments in order.
bool acceptEvent(PyObject* self, PyObject* base, const char* event, PyObject* handler) {
    Ref accept = py::getAttr(base, nameAccept);
    Ref eventName = accept ? py::text(event) : Ref();
    Ref bound = eventName ? py::getAttr(self, handler) : Ref();
    return bound && py::call(accept.get(), {eventName.get(), bound.get()});
}

PyObject* init(py::Args args) {
    PyObject* self = args[0];
    PyObject* base = args[1];
    if (!py::setAttr(self, nameBase, base) || !py::setAttr(self, nameTargetPos, args[2]) ||
        !py::setAttr(self, nameRadius, args[3]) || !setNumber(self, nameTheta, 45) || !setNumber(self, namePhi, 45)) {
        return nullptr;
    }
    if (!py::callMethod(base, nameDisableMouse) || !py::callMethod(self, nameUpdateCameraPosition)) return nullptr;
    if (!py::setAttr(self, nameMouseDown, Py_False) || !py::setAttr(self, nameRightMouseDown, Py_False) ||
        !setNumber(self, nameLastMouseX, 0) || !setNumber(self, nameLastMouseY, 0)) {
        return nullptr;
    }
    if (!acceptEvent(self, base, "mouse1", nameOnMouseDown) || !acceptEvent(self, base, "mouse1-up", nameOnMouseUp) ||
        !acceptEvent(self, base, "mouse3", nameOnRightMouseDown) ||
        !acceptEvent(self, base, "mouse3-up", nameOnRightMouseUp)) {
        return nullptr;
    }
    Ref add = py::getAttr(base, nameTaskMgr, nameAdd);
    Ref task = add ? py::getAttr(self, nameUpdateMouse) : Ref();
    Ref taskName = task ? py::text("UpdateMouseTask") : Ref();
    if (!taskName || !py::call(add.get(), {task.get(), taskName.get()})) return nullptr;
    if (!acceptEvent(self, base, "wheel_up", nameDecreaseRadius) ||
        !acceptEvent(self, base, "wheel_down", nameIncreaseRadius)) {
        return nullptr;
    }
    return py::none();
}

// 1 while the pointer is inside the window, 0 when it is outside or there
// is no pointer at all (running without a window), -1 on error.
int pointerInside(PyObject* self, Ref& watcher) {
    watcher = py::getAttr(self, nameBase, nameMouseWatcherNode);
    if (!watcher) return -1;
    if (watcher.get() == Py_None) return 0;
    Ref hasMouse = py::callMethod(watcher.get(), nameHasMouse);
    return hasMouse ? py::truth(hasMouse.get()) : -1;
}

// A press samples the pointer only while it is inside the window; a press
// from outside (or one sent by code) keeps the last sample instead of
// failing inside the event loop.
PyObject* pressButton(PyObject* self, PyObject* flag) {
    if (!py::setAttr(self, flag, Py_True)) return nullptr;
    Ref watcher;
    int inside = pointerInside(self, watcher);
    if (inside < 0) return nullptr;
    if (inside) {
        Ref x = py::callMethod(watcher.get(), nameGetMouseX);
        if (!x || !py::setAttr(self, nameLastMouseX, x.get())) return nullptr;
        Ref y = py::callMethod(watcher.get(), nameGetMouseY);
        if (!y || !py::setAttr(self, nameLastMouseY, y.get())) return nullptr;
    }
    return py::none();
}

PyObject* releaseButton(PyObject* self, PyObject* flag) {
    return py::setAttr(self, flag, Py_False) ? py::none() : nullptr;
}

PyObject* onMouseDown(py::Args args) { return pressButton(args[0], nameMouseDown); }
PyObject* onMouseUp(py::Args args) { return releaseButton(args[0], nameMouseDown); }
PyObject* onRightMouseDown(py::Args args) { return pressButton(args[0], nameRightMouseDown); }
PyObject* onRightMouseUp(py::Args args) { return releaseButton(args[0], nameRightMouseDown); }

// `attribute += delta * 100`
bool turnBy(PyObject* self, PyObject* attribute, PyObject* delta) {
    Ref hundred = py::number(100L);
    Ref angle = hundred ? py::getAttr(self, attribute) : Ref();
    Ref step = angle ? py::multiply(delta, hundred.get()) : Ref();
    Ref turned = step ? Ref::steal(PyNumber_InPlaceAdd(angle.get(), step.get())) : Ref();
    return turned && py::setAttr(self, attribute, turned.get());
}

// `phi = max(5, min(175, phi))`, keeping the objects that min and max pick.
bool clampPhi(PyObject* self) {
    Ref phi = py::getAttr(self, namePhi);
    Ref low = phi ? py::number(5L) : Ref();
    Ref high = low ? py::number(175L) : Ref();
    if (!high) return false;
    int below = PyObject_RichCompareBool(phi.get(), high.get(), Py_LT);
    if (below < 0) return false;
    Ref clamped = below ? std::move(phi) : std::move(high);
    int above = PyObject_RichCompareBool(clamped.get(), low.get(), Py_GT);
    if (above < 0) return false;
    return py::setAttr(self, namePhi, above ? clamped.get() : low.get());
}

bool rotate(PyObject* self, PyObject* dx, PyObject* dy) {
    return turnBy(self, nameTheta, dx) && turnBy(self, namePhi, dy) && clampPhi(self) &&
           py::callMethod(self, nameUpdateCameraPosition);
}

Ref normalizedCross(PyObject* first, PyObject* second) {
    Ref product = py::callMethod(first, nameCross, {second});
    return product ? py::callMethod(product.get(), nameNormalized) : Ref();
}

// The pan speed: a tenth of the radius per unit of pointer travel, doubled
// while the pointer moves faster than 0.05 per frame.  The travel is
// `math.sqrt(dx**2 + dy**2)` with the numbers' own operators.
Ref panSpeed(PyObject* self, PyObject* dx, PyObject* dy) {
    Ref travel = py::rootOfSquares({dx, dy});
    Ref radius = travel ? py::getAttr(self, nameRadius) : Ref();
    Ref tenth = radius ? py::number(0.1) : Ref();
    Ref speed = tenth ? py::multiply(radius.get(), tenth.get()) : Ref();
    Ref limit = speed ? py::number(0.05) : Ref();
    int fast = limit ? PyObject_RichCompareBool(travel.get(), limit.get(), Py_GT) : -1;
    if (fast <= 0) return fast < 0 ? Ref() : std::move(speed);
    Ref two = py::number(2L);
    return two ? py::multiply(speed.get(), two.get()) : Ref();
}

// Every `self.base.camera` and `self.target_pos` of the step is read where
// it stands, since the engine calls in between may run a script's code.
bool pan(PyObject* self, PyObject* dxObject, PyObject* dyObject) {
    Ref speed = panSpeed(self, dxObject, dyObject);
    Ref camera = speed ? py::getAttr(self, nameBase, nameCamera) : Ref();
    Ref cameraPos = camera ? py::callMethod(camera.get(), nameGetPos) : Ref();
    Ref target = cameraPos ? py::getAttr(self, nameTargetPos) : Ref();
    Ref toTarget = target ? py::subtract(target.get(), cameraPos.get()) : Ref();
    Ref targetDir = toTarget ? py::callMethod(toTarget.get(), nameNormalized) : Ref();
    Ref vectorType = targetDir ? py::global(nameLVector3) : Ref();
    Ref zero = vectorType ? py::number(0L) : Ref();
    Ref one = zero ? py::number(1L) : Ref();
    Ref worldUp = one ? py::call(vectorType.get(), {zero.get(), zero.get(), one.get()}) : Ref();
    Ref right = worldUp ? normalizedCross(targetDir.get(), worldUp.get()) : Ref();
    Ref up = right ? normalizedCross(right.get(), targetDir.get()) : Ref();
    Ref panX = up ? py::multiply(dxObject, speed.get()) : Ref();
    Ref panY = panX ? py::multiply(dyObject, speed.get()) : Ref();
    Ref alongRight = panY ? py::multiply(right.get(), panX.get()) : Ref();
    Ref alongUp = alongRight ? py::multiply(up.get(), panY.get()) : Ref();
    Ref sum = alongUp ? py::add(alongRight.get(), alongUp.get()) : Ref();
    Ref panVector = sum ? Ref::steal(PyNumber_Negative(sum.get())) : Ref();
    Ref newCameraPos = panVector ? py::add(cameraPos.get(), panVector.get()) : Ref();
    target = newCameraPos ? py::getAttr(self, nameTargetPos) : Ref();
    Ref newTargetPos = target ? py::add(target.get(), panVector.get()) : Ref();
    camera = newTargetPos ? py::getAttr(self, nameBase, nameCamera) : Ref();
    if (!camera || !py::callMethod(camera.get(), nameSetPos, {newCameraPos.get()})) return false;
    if (!py::setAttr(self, nameTargetPos, newTargetPos.get())) return false;
    Ref lookAt = py::getAttr(self, nameBase, nameCamera);
    lookAt = lookAt ? py::getAttr(lookAt.get(), nameLookAt) : Ref();
    Ref currentTarget = lookAt ? py::getAttr(self, nameTargetPos) : Ref();
    return currentTarget && py::call(lookAt.get(), {currentTarget.get()});
}

PyObject* taskContinue(PyObject* task) { return py::getAttr(task, nameCont).release(); }

PyObject* updateMouse(py::Args args) {
    PyObject* self = args[0];
    Ref watcher;
    int inside = pointerInside(self, watcher);
    if (inside < 0) return nullptr;
    if (!inside) return taskContinue(args[1]);
    Ref x = py::callMethod(watcher.get(), nameGetMouseX);
    Ref y = x ? py::callMethod(watcher.get(), nameGetMouseY) : Ref();
    if (!y) return nullptr;
    for (PyObject* flag : {nameMouseDown.get(), nameRightMouseDown.get()}) {
        Ref held = py::getAttr(self, flag);
        int isHeld = held ? py::truth(held.get()) : -1;
        if (isHeld < 0) return nullptr;
        if (!isHeld) continue;
        Ref lastX = py::getAttr(self, nameLastMouseX);
        Ref dx = lastX ? py::subtract(x.get(), lastX.get()) : Ref();
        Ref lastY = dx ? py::getAttr(self, nameLastMouseY) : Ref();
        Ref dy = lastY ? py::subtract(y.get(), lastY.get()) : Ref();
        if (!dy) return nullptr;
        bool moved = flag == nameMouseDown.get() ? rotate(self, dx.get(), dy.get()) : pan(self, dx.get(), dy.get());
        if (!moved) return nullptr;
        break;  // rotating takes precedence over panning
    }
    if (!py::setAttr(self, nameLastMouseX, x.get()) || !py::setAttr(self, nameLastMouseY, y.get())) return nullptr;
    return taskContinue(args[1]);
}

// radius = max(1, radius - 1): the decremented radius only when it is
// strictly greater than 1, otherwise the integer 1.
PyObject* decreaseRadius(py::Args args) {
    PyObject* self = args[0];
    Ref one = py::number(1L);
    Ref radius = one ? py::getAttr(self, nameRadius) : Ref();
    Ref smaller = radius ? py::subtract(radius.get(), one.get()) : Ref();
    int greater = smaller ? PyObject_RichCompareBool(smaller.get(), one.get(), Py_GT) : -1;
    if (greater < 0 || !py::setAttr(self, nameRadius, greater ? smaller.get() : one.get())) return nullptr;
    return py::callMethod(self, nameUpdateCameraPosition).release();
}

PyObject* increaseRadius(py::Args args) {
    PyObject* self = args[0];
    Ref one = py::number(1L);
    Ref radius = one ? py::getAttr(self, nameRadius) : Ref();
    Ref larger = radius ? py::add(radius.get(), one.get()) : Ref();
    if (!larger || !py::setAttr(self, nameRadius, larger.get())) return nullptr;
    return py::callMethod(self, nameUpdateCameraPosition).release();
}

}  // namespace

bool addCamera() {
    return bool(py::defineClass({"CameraController", nullptr, "摄像机控制工具类，实现围绕目标旋转等功能", {
        py::method({"__init__", "(self, base, target_pos=LPoint3(0, 0, 0), radius=10)", nullptr, init}),
        py::method({"on_mouse_down", "(self)", "鼠标按下事件处理", onMouseDown}),
        py::method({"on_mouse_up", "(self)", "鼠标释放事件处理", onMouseUp}),
        py::method({"on_right_mouse_down", "(self)", "鼠标右键按下事件处理", onRightMouseDown}),
        py::method({"on_right_mouse_up", "(self)", "鼠标右键释放事件处理", onRightMouseUp}),
        py::method({"update_mouse", "(self, task)", "鼠标移动更新任务", updateMouse}),
        py::method({"decrease_radius", "(self)", "减小旋转半径", decreaseRadius}),
        py::method({"increase_radius", "(self)", "增大旋转半径", increaseRadius}),
        py::method({"update_camera_position", "(self)", "根据当前旋转角度和半径更新摄像机位置", updateCameraPosition}),
    }}));
}
