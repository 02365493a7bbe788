// The orbit camera: rotate with the left button, pan with the right
// button, zoom with the wheel.  The orbit is centred on `target_pos`, so
// after a pan the camera keeps circling the moved target.
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
py::Name nameMath("math");
py::Name nameRadians("radians");
py::Name nameSin("sin");
py::Name nameCos("cos");
py::Name nameSqrt("sqrt");

bool setNumber(PyObject* self, PyObject* name, long value) {
    Ref number = py::number(value);
    return number && py::setAttr(self, name, number.get());
}

Ref attrOf(PyObject* self, PyObject* first, PyObject* second) {
    Ref outer = py::getAttr(self, first);
    return outer ? py::getAttr(outer.get(), second) : Ref();
}

// `math.<function>(argument)`, through the module's `math` as it is now.
Ref mathCall(PyObject* function, PyObject* argument) {
    Ref math = py::global(nameMath);
    return math ? py::callMethod(math.get(), function, {argument}) : Ref();
}

// `radius * first(phi) * second(theta)`, with `second` left out when null.
Ref sphericalComponent(PyObject* self, PyObject* first, PyObject* phi, PyObject* second, PyObject* theta) {
    Ref radius = py::getAttr(self, nameRadius);
    Ref factor = radius ? mathCall(first, phi) : Ref();
    Ref product = factor ? Ref::steal(PyNumber_Multiply(radius.get(), factor.get())) : Ref();
    if (!product || !second) return product;
    factor = mathCall(second, theta);
    return factor ? Ref::steal(PyNumber_Multiply(product.get(), factor.get())) : Ref();
}

// The spherical offset of the camera from the target, as the engine's
// vector type, computed from `radius`, `theta` and `phi` with the module's
// `math` in the order of the formulas (so an infinite angle raises the
// math module's domain error, as it should).
Ref sphericalOffset(PyObject* self) {
    Ref thetaDegrees = py::getAttr(self, nameTheta);
    Ref theta = thetaDegrees ? mathCall(nameRadians, thetaDegrees.get()) : Ref();
    Ref phiDegrees = theta ? py::getAttr(self, namePhi) : Ref();
    Ref phi = phiDegrees ? mathCall(nameRadians, phiDegrees.get()) : Ref();
    Ref x = phi ? sphericalComponent(self, nameSin, phi.get(), nameSin, theta.get()) : Ref();
    Ref y = x ? sphericalComponent(self, nameSin, phi.get(), nameCos, theta.get()) : Ref();
    Ref z = y ? sphericalComponent(self, nameCos, phi.get(), nullptr, nullptr) : Ref();
    Ref vectorType = z ? py::global(nameLVector3) : Ref();
    return vectorType ? py::call(vectorType.get(), {x.get(), y.get(), z.get()}) : Ref();
}

PyObject* updateCameraPosition(py::Args args) {
    PyObject* self = args[0];
    Ref offset = sphericalOffset(self);
    Ref target = offset ? py::getAttr(self, nameTargetPos) : Ref();
    Ref pointType = target ? py::global(nameLPoint3) : Ref();
    Ref centre = pointType ? py::call(pointType.get(), {target.get()}) : Ref();
    Ref position = centre ? Ref::steal(PyNumber_Add(centre.get(), offset.get())) : Ref();
    Ref camera = position ? attrOf(self, nameBase, nameCamera) : Ref();
    if (!camera) return nullptr;
    if (camera.get() == Py_None) return py::none();  // no window, no camera to place
    if (!py::callMethod(camera.get(), nameSetPos, {position.get()})) return nullptr;
    if (!py::callMethod(camera.get(), nameLookAt, {target.get()})) return nullptr;
    return py::none();
}

// Registers `handler` (looked up on the controller) for `event` on base.
bool acceptEvent(PyObject* self, PyObject* base, const char* event, PyObject* handler) {
    Ref bound = py::getAttr(self, handler);
    Ref eventName = bound ? py::text(event) : Ref();
    return eventName && py::callMethod(base, nameAccept, {eventName.get(), bound.get()});
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
    Ref taskManager = py::getAttr(base, nameTaskMgr);
    Ref task = taskManager ? py::getAttr(self, nameUpdateMouse) : Ref();
    Ref taskName = task ? py::text("UpdateMouseTask") : Ref();
    if (!taskName || !py::callMethod(taskManager.get(), nameAdd, {task.get(), taskName.get()})) return nullptr;
    if (!acceptEvent(self, base, "wheel_up", nameDecreaseRadius) ||
        !acceptEvent(self, base, "wheel_down", nameIncreaseRadius)) {
        return nullptr;
    }
    return py::none();
}

// 1 while the pointer is inside the window, 0 when it is outside or there
// is no pointer at all (running without a window), -1 on error.
int pointerInside(PyObject* self, Ref& watcher) {
    watcher = attrOf(self, nameBase, nameMouseWatcherNode);
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
    Ref step = angle ? Ref::steal(PyNumber_Multiply(delta, hundred.get())) : Ref();
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

Ref scaled(PyObject* vector, PyObject* factor) { return Ref::steal(PyNumber_Multiply(vector, factor)); }

Ref normalizedCross(PyObject* first, PyObject* second) {
    Ref product = py::callMethod(first, nameCross, {second});
    return product ? py::callMethod(product.get(), nameNormalized) : Ref();
}

// The pan speed: a tenth of the radius per unit of pointer travel, doubled
// while the pointer moves faster than 0.05 per frame.  The travel is
// `math.sqrt(dx**2 + dy**2)` with the numbers' own operators.
Ref panSpeed(PyObject* self, PyObject* dx, PyObject* dy) {
    Ref two = py::number(2L);
    Ref dxSquared = two ? Ref::steal(PyNumber_Power(dx, two.get(), Py_None)) : Ref();
    Ref dySquared = dxSquared ? Ref::steal(PyNumber_Power(dy, two.get(), Py_None)) : Ref();
    Ref sum = dySquared ? Ref::steal(PyNumber_Add(dxSquared.get(), dySquared.get())) : Ref();
    Ref travel = sum ? mathCall(nameSqrt, sum.get()) : Ref();
    Ref radius = travel ? py::getAttr(self, nameRadius) : Ref();
    Ref tenth = radius ? py::number(0.1) : Ref();
    Ref speed = tenth ? Ref::steal(PyNumber_Multiply(radius.get(), tenth.get())) : Ref();
    Ref limit = speed ? py::number(0.05) : Ref();
    int fast = limit ? PyObject_RichCompareBool(travel.get(), limit.get(), Py_GT) : -1;
    if (fast <= 0) return fast < 0 ? Ref() : std::move(speed);
    return Ref::steal(PyNumber_Multiply(speed.get(), two.get()));
}

bool pan(PyObject* self, PyObject* dxObject, PyObject* dyObject) {
    Ref speed = panSpeed(self, dxObject, dyObject);
    Ref camera = speed ? attrOf(self, nameBase, nameCamera) : Ref();
    Ref cameraPos = camera ? py::callMethod(camera.get(), nameGetPos) : Ref();
    Ref target = cameraPos ? py::getAttr(self, nameTargetPos) : Ref();
    Ref toTarget = target ? Ref::steal(PyNumber_Subtract(target.get(), cameraPos.get())) : Ref();
    Ref targetDir = toTarget ? py::callMethod(toTarget.get(), nameNormalized) : Ref();
    Ref vectorType = targetDir ? py::global(nameLVector3) : Ref();
    Ref zero = vectorType ? py::number(0L) : Ref();
    Ref one = zero ? py::number(1L) : Ref();
    Ref worldUp = one ? py::call(vectorType.get(), {zero.get(), zero.get(), one.get()}) : Ref();
    Ref right = worldUp ? normalizedCross(targetDir.get(), worldUp.get()) : Ref();
    Ref up = right ? normalizedCross(right.get(), targetDir.get()) : Ref();
    Ref panX = up ? Ref::steal(PyNumber_Multiply(dxObject, speed.get())) : Ref();
    Ref panY = panX ? Ref::steal(PyNumber_Multiply(dyObject, speed.get())) : Ref();
    Ref alongRight = panY ? scaled(right.get(), panX.get()) : Ref();
    Ref alongUp = alongRight ? scaled(up.get(), panY.get()) : Ref();
    Ref sum = alongUp ? Ref::steal(PyNumber_Add(alongRight.get(), alongUp.get())) : Ref();
    Ref panVector = sum ? Ref::steal(PyNumber_Negative(sum.get())) : Ref();
    Ref newCameraPos = panVector ? Ref::steal(PyNumber_Add(cameraPos.get(), panVector.get())) : Ref();
    Ref newTargetPos = newCameraPos ? Ref::steal(PyNumber_Add(target.get(), panVector.get())) : Ref();
    if (!newTargetPos || !py::callMethod(camera.get(), nameSetPos, {newCameraPos.get()})) return false;
    if (!py::setAttr(self, nameTargetPos, newTargetPos.get())) return false;
    Ref currentTarget = py::getAttr(self, nameTargetPos);
    return currentTarget && py::callMethod(camera.get(), nameLookAt, {currentTarget.get()});
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
        Ref lastY = lastX ? py::getAttr(self, nameLastMouseY) : Ref();
        Ref dx = lastY ? Ref::steal(PyNumber_Subtract(x.get(), lastX.get())) : Ref();
        Ref dy = dx ? Ref::steal(PyNumber_Subtract(y.get(), lastY.get())) : Ref();
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
    Ref smaller = radius ? Ref::steal(PyNumber_Subtract(radius.get(), one.get())) : Ref();
    int greater = smaller ? PyObject_RichCompareBool(smaller.get(), one.get(), Py_GT) : -1;
    if (greater < 0 || !py::setAttr(self, nameRadius, greater ? smaller.get() : one.get())) return nullptr;
    return py::callMethod(self, nameUpdateCameraPosition).release();
}

PyObject* increaseRadius(py::Args args) {
    PyObject* self = args[0];
    Ref one = py::number(1L);
    Ref radius = one ? py::getAttr(self, nameRadius) : Ref();
    Ref larger = radius ? Ref::steal(PyNumber_Add(radius.get(), one.get())) : Ref();
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
