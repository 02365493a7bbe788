// Interaction and motion: ClickCtrl picks the nearest tagged model under
// the pointer with a collision ray; PathMoveCtrl walks a model along a
// list of points one step per call.  The plain Python they render, step
// for step: `ClickCtrl` in tests/reference/camera.py and `PlainMover` in
// tests/reference/mover.py.
//
// The mover's step is called for every moving model in every frame, so it
// has a native rendition of its vector arithmetic.  That rendition runs
// only while every object involved is one of the engine's own exact types
// (whose methods nobody can replace) and repeats the engine's single-
// precision operations one for one, so its results are bit-identical to
// the ordinary calls of `PlainMover.update` (tests/reference/mover.py);
// anything else takes those calls.
#include <cmath>

#include "py.hpp"
#include "units.hpp"

// The engine does its vector arithmetic in single precision without fused
// multiply-adds; the native step rounds as it does because the build never
// contracts a multiply and an add (see CMakeLists.txt).

using py::Ref;

namespace {

py::Name nameBase("base");
py::Name nameRender("render");
py::Name nameCamera("camera");
py::Name nameCamNode("camNode");
py::Name nameMouseWatcherNode("mouseWatcherNode");
py::Name nameCollisionTraverser("CollisionTraverser");
py::Name nameCollisionHandlerQueue("CollisionHandlerQueue");
py::Name nameCollisionNode("CollisionNode");
py::Name nameCollisionRay("CollisionRay");
py::Name nameGeomNode("GeomNode");
py::Name nameGetDefaultCollideMask("getDefaultCollideMask");
py::Name nameCollisionTraverserAttribute("collisionTraverser");
py::Name nameCollisionHandler("collisionHandler");
py::Name namePickerNode("pickerNode");
py::Name namePickerNP("pickerNP");
py::Name namePickerRay("pickerRay");
py::Name nameClickHandlers("click_handlers");
py::Name nameShowCollisions("showCollisions");
py::Name nameAttachNewNode("attachNewNode");
py::Name nameSetFromCollideMask("setFromCollideMask");
py::Name nameSetIntoCollideMask("setIntoCollideMask");
py::Name nameAddSolid("addSolid");
py::Name nameAddCollider("addCollider");
py::Name nameAccept("accept");
py::Name nameOnMouseClick("onMouseClick");
py::Name nameSetTag("setTag");
py::Name nameFindAllMatches("findAllMatches");
py::Name nameNode("node");
py::Name nameHasMouse("hasMouse");
py::Name nameGetMouse("getMouse");
py::Name nameGetX("getX");
py::Name nameGetY("getY");
py::Name nameSetFromLens("setFromLens");
py::Name nameTraverse("traverse");
py::Name nameGetNumEntries("getNumEntries");
py::Name nameSortEntries("sortEntries");
py::Name nameGetEntry("getEntry");
py::Name nameGetIntoNodePath("getIntoNodePath");
py::Name nameFindNetTag("findNetTag");
py::Name nameIsEmpty("isEmpty");
py::Name nameGetSurfacePoint("getSurfacePoint");

py::Name nameModel("model");
py::Name namePath("path");
py::Name nameMStep("mStep");
py::Name nameMtni("mtni");
py::Name nameMf("mf");
py::Name nameCompleteCB("completeCB");
py::Name nameLoop("loop");
py::Name nameLVector3("LVector3");
py::Name nameDegrees("degrees");
py::Name nameAtan2("atan2");
py::Name nameX("x");
py::Name nameY("y");
py::Name nameGetPos("getPos");
py::Name nameSetPos("setPos");
py::Name nameSetH("setH");
py::Name nameLength("length");
py::Name nameNormalized("normalized");
py::Name nameUpdateHeading("updateHeading");

// ---- ClickCtrl -----------------------------------------------------------

Ref globalAttr(PyObject* name, PyObject* attribute) {
    Ref found = py::global(name);
    return found ? py::getAttr(found.get(), attribute) : Ref();
}

Ref construct(PyObject* className, std::initializer_list<PyObject*> args = {}) {
    Ref cls = py::global(className);
    return cls ? py::call(cls.get(), args) : Ref();
}

Ref defaultCollideMask() {
    Ref getMask = globalAttr(nameGeomNode, nameGetDefaultCollideMask);
    return getMask ? py::call(getMask.get()) : Ref();
}

// `self.<holder>.<method>(self.<first>, self.<second>)` and shorter forms:
// the callee, then each argument, then the call.
bool callOnWithAttributes(PyObject* self, PyObject* holder, PyObject* method, std::initializer_list<PyObject*> names) {
    constexpr size_t most = 2;
    if (names.size() > most) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for callOnWithAttributes");
        return false;
    }
    Ref callee = py::getAttr(self, holder, method);
    if (!callee) return false;
    Ref values[most];
    PyObject* arguments[most] = {};
    size_t count = 0;
    for (PyObject* name : names) {
        values[count] = py::getAttr(self, name);
        if (!values[count]) return false;
        arguments[count] = values[count].get();
        count++;
    }
    return bool(Ref::steal(PyObject_Vectorcall(callee.get(), arguments, count, nullptr)));
}

// `self.<holder>.<method>(<global>)`
bool callOnWithGlobal(PyObject* self, PyObject* holder, PyObject* method, PyObject* globalName) {
    Ref callee = py::getAttr(self, holder, method);
    Ref value = callee ? py::global(globalName) : Ref();
    return value && py::call(callee.get(), {value.get()});
}

// `<target>.<method>(GeomNode.getDefaultCollideMask())`
bool setMask(PyObject* target, PyObject* method) {
    Ref callee = py::getAttr(target, method);
    Ref mask = callee ? defaultCollideMask() : Ref();
    return mask && py::call(callee.get(), {mask.get()});
}

bool setNew(PyObject* self, PyObject* attribute, PyObject* className, std::initializer_list<PyObject*> args = {}) {
    Ref made = construct(className, args);
    return made && py::setAttr(self, attribute, made.get());
}

bool showCollisionsIfAsked(PyObject* self, PyObject* showCollisions) {
    int show = py::truth(showCollisions);
    if (show <= 0) return show == 0;
    return callOnWithGlobal(self, nameCollisionTraverserAttribute, nameShowCollisions, nameRender);
}

// `self.pickerNP = base.camera.attachNewNode(self.pickerNode)`, then
// `self.pickerNode.setFromCollideMask(GeomNode.getDefaultCollideMask())`.
bool attachPicker(PyObject* self) {
    Ref base = py::global(nameBase);
    Ref camera = base ? py::getAttr(base.get(), nameCamera) : Ref();
    Ref attach = camera ? py::getAttr(camera.get(), nameAttachNewNode) : Ref();
    Ref pickerNode = attach ? py::getAttr(self, namePickerNode) : Ref();
    Ref pickerNP = pickerNode ? py::call(attach.get(), {pickerNode.get()}) : Ref();
    if (!pickerNP || !py::setAttr(self, namePickerNP, pickerNP.get())) return false;
    pickerNode = py::getAttr(self, namePickerNode);
    return pickerNode && setMask(pickerNode.get(), nameSetFromCollideMask);
}

bool addRay(PyObject* self) {
    if (!setNew(self, namePickerRay, nameCollisionRay)) return false;
    return callOnWithAttributes(self, namePickerNode, nameAddSolid, {namePickerRay}) &&
           callOnWithAttributes(self, nameCollisionTraverserAttribute, nameAddCollider,
                                {namePickerNP, nameCollisionHandler});
}

PyObject* clickInit(py::Args args) {
    PyObject* self = args[0];
    if (!setNew(self, nameCollisionTraverserAttribute, nameCollisionTraverser)) return nullptr;
    if (!showCollisionsIfAsked(self, args[1])) return nullptr;
    if (!setNew(self, nameCollisionHandler, nameCollisionHandlerQueue)) return nullptr;
    Ref rayName = py::text("mouseRay");
    if (!rayName || !setNew(self, namePickerNode, nameCollisionNode, {rayName.get()})) return nullptr;
    if (!attachPicker(self) || !addRay(self)) return nullptr;
    Ref handlers = Ref::steal(PyDict_New());
    if (!handlers || !py::setAttr(self, nameClickHandlers, handlers.get())) return nullptr;
    // The controller's own accept: base's "mouse1" stays with the camera.
    Ref accept = py::getAttr(self, nameAccept);
    Ref event = accept ? py::text("mouse1") : Ref();
    Ref handler = event ? py::getAttr(self, nameOnMouseClick) : Ref();
    if (!handler || !py::call(accept.get(), {event.get(), handler.get()})) return nullptr;
    return py::none();
}

PyObject* setModelClick(py::Args args) {
    PyObject* model = args[1];
    if (!py::callMethod(model, nameSetTag, {args[2], args[3]})) return nullptr;
    Ref pattern = py::text("**/+GeomNode");
    Ref matches = pattern ? py::callMethod(model, nameFindAllMatches, {pattern.get()}) : Ref();
    Ref iterator = matches ? Ref::steal(PyObject_GetIter(matches.get())) : Ref();
    if (!iterator) return nullptr;
    while (Ref found = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref node = py::callMethod(found.get(), nameNode);
        if (!node || !setMask(node.get(), nameSetIntoCollideMask)) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : py::none();
}

PyObject* addCallback(py::Args args) {
    Ref handlers = py::getAttr(args[0], nameClickHandlers);
    if (!handlers || PyObject_SetItem(handlers.get(), args[1], args[2]) < 0) return nullptr;
    return py::none();
}

// `self.collisionHandler.getEntry(0)`
Ref nearestEntry(PyObject* self) {
    Ref zero = py::number(0L);
    Ref queue = zero ? py::getAttr(self, nameCollisionHandler) : Ref();
    return queue ? py::callMethod(queue.get(), nameGetEntry, {zero.get()}) : Ref();
}

// `base.mouseWatcherNode`, read afresh at each use.
Ref mouseWatcher() {
    Ref base = py::global(nameBase);
    return base ? py::getAttr(base.get(), nameMouseWatcherNode) : Ref();
}

// Aims the ray from the lens through the pointer and fills the queue;
// 1 when it holds at least one hit, 0 when not (or no pointer), -1 on error.
// `base`, its watcher and the ray are read where each is used, since the
// watcher's methods may run code that replaces them.
int castRay(PyObject* self) {
    Ref watcher = mouseWatcher();
    Ref hasMouse = watcher ? py::callMethod(watcher.get(), nameHasMouse) : Ref();
    int inside = hasMouse ? py::truth(hasMouse.get()) : -1;
    if (inside <= 0) return inside;
    watcher = mouseWatcher();
    Ref mouse = watcher ? py::callMethod(watcher.get(), nameGetMouse) : Ref();
    Ref aim = mouse ? py::getAttr(self, namePickerRay, nameSetFromLens) : Ref();
    Ref base = aim ? py::global(nameBase) : Ref();
    Ref lens = base ? py::getAttr(base.get(), nameCamNode) : Ref();
    Ref x = lens ? py::callMethod(mouse.get(), nameGetX) : Ref();
    Ref y = x ? py::callMethod(mouse.get(), nameGetY) : Ref();
    if (!y || !py::call(aim.get(), {lens.get(), x.get(), y.get()})) return -1;
    if (!callOnWithGlobal(self, nameCollisionTraverserAttribute, nameTraverse, nameRender)) return -1;
    Ref queue = py::getAttr(self, nameCollisionHandler);
    Ref count = queue ? py::callMethod(queue.get(), nameGetNumEntries) : Ref();
    Ref zero = count ? py::number(0L) : Ref();
    if (!zero) return -1;
    return PyObject_RichCompareBool(count.get(), zero.get(), Py_GT);
}

// Calls the callback of the first registered tag name found at or above
// the picked node; 1 when one ran, 0 when none matched, -1 on error.
int dispatchTags(PyObject* self, PyObject* picked) {
    Ref handlers = py::getAttr(self, nameClickHandlers);
    Ref iterator = handlers ? Ref::steal(PyObject_GetIter(handlers.get())) : Ref();
    if (!iterator) return -1;
    while (Ref tagName = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref tagged = py::callMethod(picked, nameFindNetTag, {tagName.get()});
        Ref empty = tagged ? py::callMethod(tagged.get(), nameIsEmpty) : Ref();
        int isEmpty = empty ? py::truth(empty.get()) : -1;
        if (isEmpty < 0) return -1;
        if (isEmpty) continue;
        Ref entry = nearestEntry(self);
        Ref surfacePoint = entry ? py::getAttr(entry.get(), nameGetSurfacePoint) : Ref();
        Ref render = surfacePoint ? py::global(nameRender) : Ref();
        Ref point = render ? py::call(surfacePoint.get(), {render.get()}) : Ref();
        Ref table = point ? py::getAttr(self, nameClickHandlers) : Ref();
        Ref callback = table ? Ref::steal(PyObject_GetItem(table.get(), tagName.get())) : Ref();
        if (!callback || !py::call(callback.get(), {tagged.get(), point.get()})) return -1;
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* onMouseClick(py::Args args) {
    PyObject* self = args[0];
    int hit = castRay(self);
    if (hit <= 0) return hit < 0 ? nullptr : py::none();
    if (!py::callOn(self, nameCollisionHandler, nameSortEntries)) return nullptr;
    Ref entry = nearestEntry(self);
    Ref picked = entry ? py::callMethod(entry.get(), nameGetIntoNodePath) : Ref();
    if (!picked || dispatchTags(self, picked.get()) < 0) return nullptr;
    return py::none();
}

const char clickDoc[] =
    "\n"
    "    点击控制器类\n"
    "    功能：\n"
    "    - 处理鼠标点击事件\n"
    "    - 检测点击的3D物体\n"
    "    - 调用用户定义的回调函数\n"
    "    ";

const char clickInitDoc[] =
    "\n"
    "        初始化点击控制器\n"
    "        参数：\n"
    "        - show_collisions: 是否显示碰撞信息（用于调试）\n"
    "        ";

const char setModelClickDoc[] =
    "\n"
    "        为模型设置碰撞检测\n"
    "        参数：\n"
    "        - model: 要设置碰撞检测的模型\n"
    "        - tag_name: 模型的分类标签\n"
    "        - tag_value: 模型的标签值（可以存储额外信息）\n"
    "        ";

const char addCallbackDoc[] =
    "\n"
    "        添加点击回调函数\n"
    "        参数：\n"
    "        - tag_name: 模型的分类标签\n"
    "        - callback: 点击回调函数，接收两个参数：点击的模型和点击位置\n"
    "        ";

// ---- PathMoveCtrl: the engine's own types ----------------------------------
//
// The native step reproduces the exact engine types of py::engine(), taken
// from the engine module itself, not from our namespace.

struct Vec3 {
    float v[3];
};

// The components of an exact engine 3-vector, as its indexing gives them.
bool readEngineVector(PyObject* vector, Vec3& out) {
    for (Py_ssize_t axis = 0; axis < 3; axis++) {
        Ref item = Ref::steal(PySequence_GetItem(vector, axis));
        if (!item || !PyFloat_CheckExact(item.get())) return false;
        out.v[axis] = static_cast<float>(PyFloat_AS_DOUBLE(item.get()));
    }
    return true;
}

// A plain number as the engine converts it for a single-precision
// parameter; false (no exception) for anything else.
bool singlePrecision(PyObject* value, float& out) {
    double wide;
    if (!py::plainNumber(value, wide)) return false;
    out = static_cast<float>(wide);
    return true;
}

// A point the native step can read without running any Python code:
// an exact tuple or list of plain numbers, or an exact engine 3-vector.
bool readPlainPoint(PyObject* node, Vec3& out) {
    if (PyTuple_CheckExact(node) || PyList_CheckExact(node)) {
        if (PySequence_Fast_GET_SIZE(node) < 3) return false;
        for (Py_ssize_t axis = 0; axis < 3; axis++) {
            if (!singlePrecision(PySequence_Fast_GET_ITEM(node, axis), out.v[axis])) return false;
        }
        return true;
    }
    if (py::isExactly(node, py::engine().point3) || py::isExactly(node, py::engine().vector3) || py::isExactly(node, py::engine().vecBase3)) {
        if (readEngineVector(node, out)) return true;
        PyErr_Clear();
    }
    return false;
}

// The engine's single-precision vector operations, one for one.  Its dot
// product adds the last two squares first (a pairwise reduction), and its
// division by the length multiplies by the reciprocal.
float lengthSquared(const Vec3& a) { return a.v[0] * a.v[0] + (a.v[1] * a.v[1] + a.v[2] * a.v[2]); }

Vec3 difference(const Vec3& a, const Vec3& b) { return {{a.v[0] - b.v[0], a.v[1] - b.v[1], a.v[2] - b.v[2]}}; }

Vec3 normalized(const Vec3& a) {
    float squared = lengthSquared(a);
    if (squared == 0.0f) return {{0.0f, 0.0f, 0.0f}};
    if (squared == 1.0f) return a;
    float reciprocal = 1.0f / std::sqrt(squared);
    return {{a.v[0] * reciprocal, a.v[1] * reciprocal, a.v[2] * reciprocal}};
}

Vec3 advanced(const Vec3& from, const Vec3& direction, float step) {
    Vec3 scaled = {{direction.v[0] * step, direction.v[1] * step, direction.v[2] * step}};
    return {{from.v[0] + scaled.v[0], from.v[1] + scaled.v[1], from.v[2] + scaled.v[2]}};
}

// `model.setPos(point)`: the single-precision components go over exactly
// as three floats.
bool setPosNative(PyObject* model, const Vec3& position) {
    Ref x = py::number(static_cast<double>(position.v[0]));
    Ref y = x ? py::number(static_cast<double>(position.v[1])) : Ref();
    Ref z = y ? py::number(static_cast<double>(position.v[2])) : Ref();
    return z && py::callMethod(model, nameSetPos, {x.get(), y.get(), z.get()});
}

// `LVector3(node[0], node[1], node[2])`
Ref vectorOf(PyObject* vectorType, PyObject* node) {
    Ref items[3];
    for (Py_ssize_t axis = 0; axis < 3; axis++) {
        items[axis] = py::getItem(node, axis);
        if (!items[axis]) return {};
    }
    return py::call(vectorType, {items[0].get(), items[1].get(), items[2].get()});
}

Ref vectorOf(PyObject* vectorType, const Vec3& point) {
    Ref x = py::number(static_cast<double>(point.v[0]));
    Ref y = x ? py::number(static_cast<double>(point.v[1])) : Ref();
    Ref z = y ? py::number(static_cast<double>(point.v[2])) : Ref();
    return z ? py::call(vectorType, {x.get(), y.get(), z.get()}) : Ref();
}

// ---- PathMoveCtrl: methods ---------------------------------------------

PyObject* moverInit(py::Args args) {
    PyObject* self = args[0];
    Ref step = py::number(0.025);
    if (!step || !py::setAttr(self, nameModel, Py_None) || !py::setAttr(self, namePath, Py_None) ||
        !py::setAttr(self, nameMStep, step.get()) || !py::setAttr(self, nameMtni, Py_None) ||
        !py::setAttr(self, nameMf, Py_False) || !py::setAttr(self, nameCompleteCB, Py_None) ||
        !py::setAttr(self, nameLoop, Py_False)) {
        return nullptr;
    }
    return py::none();
}

PyObject* moverStart(py::Args args) {
    PyObject* self = args[0];
    PyObject* model = args[1];
    PyObject* path = args[2];
    Ref zero = py::number(0L);
    if (!zero || !py::setAttr(self, nameModel, model) || !py::setAttr(self, namePath, path) ||
        !py::setAttr(self, nameMStep, args[3]) || !py::setAttr(self, nameMtni, zero.get()) ||
        !py::setAttr(self, nameMf, Py_True) || !py::setAttr(self, nameCompleteCB, args[4]) ||
        !py::setAttr(self, nameLoop, args[5])) {
        return nullptr;
    }
    // node = path[0]; model.setPos(LVector3(node[0], node[1], node[2]))
    Ref first = py::getItem(path, 0);
    Ref setPos = first ? py::getAttr(model, nameSetPos) : Ref();
    Ref vectorType = setPos ? py::global(nameLVector3) : Ref();
    Ref position = vectorType ? vectorOf(vectorType.get(), first.get()) : Ref();
    if (!position || !py::call(setPos.get(), {position.get()})) return nullptr;
    return py::callMethod(self, nameUpdateHeading).release();
}

// `self.<name> is None`: 1, 0, or -1 on error; `value` receives the attribute.
int isNoneAttr(PyObject* self, PyObject* name, Ref& value) {
    value = py::getAttr(self, name);
    if (!value) return -1;
    return value.get() == Py_None;
}

// `self.path[self.mtni]`
Ref indexedPoint(PyObject* self) {
    Ref path = py::getAttr(self, namePath);
    Ref target = path ? py::getAttr(self, nameMtni) : Ref();
    return target ? py::subscript(path.get(), target.get()) : Ref();
}

// `math.degrees(math.atan2(endPos.y - currentPos.y, endPos.x - currentPos.x))`:
// each function is looked up before its arguments are worked out.
Ref headingTowards(PyObject* endPos, PyObject* currentPos) {
    Ref degrees = py::mathFunction(nameDegrees);
    Ref atan2 = degrees ? py::mathFunction(nameAtan2) : Ref();
    Ref endY = atan2 ? py::getAttr(endPos, nameY) : Ref();
    Ref currentY = endY ? py::getAttr(currentPos, nameY) : Ref();
    Ref dy = currentY ? py::subtract(endY.get(), currentY.get()) : Ref();
    Ref endX = dy ? py::getAttr(endPos, nameX) : Ref();
    Ref currentX = endX ? py::getAttr(currentPos, nameX) : Ref();
    Ref dx = currentX ? py::subtract(endX.get(), currentX.get()) : Ref();
    Ref radians = dx ? py::call(atan2.get(), {dy.get(), dx.get()}) : Ref();
    return radians ? py::call(degrees.get(), {radians.get()}) : Ref();
}

PyObject* updateHeading(py::Args args) {
    PyObject* self = args[0];
    Ref model, path, target;
    int missing = isNoneAttr(self, nameModel, model);
    if (!missing) missing = isNoneAttr(self, namePath, path);
    if (!missing) missing = isNoneAttr(self, nameMtni, target);
    if (missing) return missing < 0 ? nullptr : py::none();
    // Each use reads the attribute again: the model's own methods or the
    // path's indexing may have replaced them in between.
    model = py::getAttr(self, nameModel);
    Ref currentPos = model ? py::callMethod(model.get(), nameGetPos) : Ref();
    Ref node = currentPos ? indexedPoint(self) : Ref();
    Ref vectorType = node ? py::global(nameLVector3) : Ref();
    Ref endPos = vectorType ? vectorOf(vectorType.get(), node.get()) : Ref();
    // self.model.setH(<heading>): the callee before its argument.
    model = endPos ? py::getAttr(self, nameModel) : Ref();
    Ref setH = model ? py::getAttr(model.get(), nameSetH) : Ref();
    Ref heading = setH ? headingTowards(endPos.get(), currentPos.get()) : Ref();
    if (!heading || !py::call(setH.get(), {heading.get()})) return nullptr;
    return py::none();
}

// The arrival on the target point (the model already stands on it): the
// next target, the way back to the first point, or the end of the run.
PyObject* arrive(PyObject* self) {
    Ref target = py::getAttr(self, nameMtni);
    Ref path = target ? py::getAttr(self, namePath) : Ref();
    Py_ssize_t size = path ? PyObject_Size(path.get()) : -1;
    Ref lastIndex = size >= 0 ? Ref::steal(PyLong_FromSsize_t(size - 1)) : Ref();
    int atLast = lastIndex ? py::compare(target.get(), lastIndex.get(), Py_EQ) : -1;
    if (atLast < 0) return nullptr;
    if (!atLast) {
        Ref current = py::getAttr(self, nameMtni);
        Ref one = current ? py::number(1L) : Ref();
        Ref next = one ? Ref::steal(PyNumber_InPlaceAdd(current.get(), one.get())) : Ref();
        if (!next || !py::setAttr(self, nameMtni, next.get())) return nullptr;
        return py::callMethod(self, nameUpdateHeading).release();
    }
    Ref loop = py::getAttr(self, nameLoop);
    int looping = loop ? py::compare(loop.get(), Py_True, Py_EQ) : -1;
    if (looping < 0) return nullptr;
    if (looping) {
        Ref zero = py::number(0L);
        return zero && py::setAttr(self, nameMtni, zero.get()) ? py::none() : nullptr;
    }
    if (!py::setAttr(self, nameMf, Py_False)) return nullptr;
    Ref callback = py::getAttr(self, nameCompleteCB);
    if (!callback) return nullptr;
    if (callback.get() == Py_None) return py::none();
    callback = py::getAttr(self, nameCompleteCB);
    return callback && py::call(callback.get()) ? py::none() : nullptr;
}

// `self.model.setPos(position)`: the model is read when it is used, as
// whatever ran since the last read (a comparison, an operator of the
// step, the model's own methods) may have replaced it.
PyObject* placeModel(PyObject* self, PyObject* position) {
    Ref model = py::getAttr(self, nameModel);
    if (!model || !py::callMethod(model.get(), nameSetPos, {position})) return nullptr;
    return py::none();
}

// `self.model.setPos(currentPos + direction * self.mStep)`: the model and
// its method first, then the step, then the arithmetic.
PyObject* advanceGeneral(PyObject* self, PyObject* currentPos, PyObject* direction) {
    Ref model = py::getAttr(self, nameModel);
    Ref setPos = model ? py::getAttr(model.get(), nameSetPos) : Ref();
    Ref step = setPos ? py::getAttr(self, nameMStep) : Ref();
    Ref stride = step ? py::multiply(direction, step.get()) : Ref();
    Ref newPos = stride ? py::add(currentPos, stride.get()) : Ref();
    return newPos && py::call(setPos.get(), {newPos.get()}) ? py::none() : nullptr;
}

// One step through the ordinary engine calls.
PyObject* stepGeneral(PyObject* self, PyObject* currentPos, PyObject* endPos) {
    Ref offset = py::subtract(currentPos, endPos);
    Ref distance = offset ? py::callMethod(offset.get(), nameLength) : Ref();
    Ref step = distance ? py::getAttr(self, nameMStep) : Ref();
    int arrived = step ? PyObject_RichCompareBool(distance.get(), step.get(), Py_LT) : -1;
    if (arrived < 0) return nullptr;
    if (arrived) return placeModel(self, endPos) ? arrive(self) : nullptr;
    Ref towards = py::subtract(endPos, currentPos);
    Ref direction = towards ? py::callMethod(towards.get(), nameNormalized) : Ref();
    return direction ? advanceGeneral(self, currentPos, direction.get()) : nullptr;
}

// `self.model.setPos(point)` for a point computed natively: as three floats
// while the model is still the engine model the step started with (the same
// call for it), else as the engine object `PlainMover.update`
// (tests/reference/mover.py) would pass.
PyObject* placeModelNative(PyObject* self, PyObject* model, PyObject* pointType, const Vec3& point) {
    Ref current = py::getAttr(self, nameModel);
    if (!current) return nullptr;
    if (current.get() == model) return setPosNative(model, point) ? py::none() : nullptr;
    Ref position = vectorOf(pointType, point);
    if (!position || !py::callMethod(current.get(), nameSetPos, {position.get()})) return nullptr;
    return py::none();
}

// One step in native arithmetic; `current` and `end` are the components
// of the model's position (the engine point `currentPos`) and the target.
PyObject* stepNative(PyObject* self, PyObject* model, PyObject* vectorType, PyObject* currentPos, const Vec3& current,
                     const Vec3& end) {
    double distance = std::sqrt(lengthSquared(difference(current, end)));
    Ref step = py::getAttr(self, nameMStep);
    if (!step) return nullptr;
    int arrived;
    if (PyFloat_CheckExact(step.get())) {
        arrived = distance < PyFloat_AS_DOUBLE(step.get());
    } else {
        Ref distanceObject = py::number(distance);
        arrived = distanceObject ? PyObject_RichCompareBool(distanceObject.get(), step.get(), Py_LT) : -1;
    }
    if (arrived < 0) return nullptr;
    if (arrived) return placeModelNative(self, model, vectorType, end) ? arrive(self) : nullptr;
    // `self.model.setPos(currentPos + direction * self.mStep)`: the model
    // and its method, then the step, read again as `PlainMover.update`
    // (tests/reference/mover.py) does.
    // The engine model's own method is called natively; a plain number of
    // a step is used natively, anything else through its own operators.
    Ref target = py::getAttr(self, nameModel);
    if (!target) return nullptr;
    bool sameModel = target.get() == model;
    Ref setPos = sameModel ? Ref() : py::getAttr(target.get(), nameSetPos);
    if (!sameModel && !setPos) return nullptr;
    step = py::getAttr(self, nameMStep);
    if (!step) return nullptr;
    float stride;
    Ref newPos;
    if (singlePrecision(step.get(), stride)) {
        Vec3 next = advanced(current, normalized(difference(end, current)), stride);
        if (sameModel) return setPosNative(model, next) ? py::none() : nullptr;
        newPos = vectorOf(py::engine().point3, next);
    } else {
        Ref endPos = vectorOf(vectorType, end);
        Ref towards = endPos ? py::subtract(endPos.get(), currentPos) : Ref();
        Ref direction = towards ? py::callMethod(towards.get(), nameNormalized) : Ref();
        Ref stepped = direction ? py::multiply(direction.get(), step.get()) : Ref();
        newPos = stepped ? py::add(currentPos, stepped.get()) : Ref();
    }
    if (!newPos) return nullptr;
    bool placed = sameModel ? bool(py::callMethod(model, nameSetPos, {newPos.get()}))
                            : bool(py::call(setPos.get(), {newPos.get()}));
    return placed ? py::none() : nullptr;
}

PyObject* moverUpdate(py::Args args) {
    PyObject* self = args[0];
    Ref moving = py::getAttr(self, nameMf);
    int isMoving = moving ? py::truth(moving.get()) : -1;
    if (isMoving <= 0) return isMoving < 0 ? nullptr : py::none();
    Ref model, path;
    int missing = isNoneAttr(self, nameModel, model);
    if (!missing) missing = isNoneAttr(self, namePath, path);
    if (missing) return missing < 0 ? nullptr : py::none();
    model = py::getAttr(self, nameModel);
    Ref currentPos = model ? py::callMethod(model.get(), nameGetPos) : Ref();
    Ref node = currentPos ? indexedPoint(self) : Ref();
    Ref vectorType = node ? py::global(nameLVector3) : Ref();
    if (!vectorType) return nullptr;
    Vec3 current, end;
    if (py::isExactly(model.get(), py::engine().nodePath) && vectorType.get() == py::engine().vector3 &&
        py::isExactly(currentPos.get(), py::engine().point3) && readPlainPoint(node.get(), end)) {
        if (readEngineVector(currentPos.get(), current)) {
            return stepNative(self, model.get(), vectorType.get(), currentPos.get(), current, end);
        }
        PyErr_Clear();
    }
    Ref endPos = vectorOf(vectorType.get(), node.get());
    return endPos ? stepGeneral(self, currentPos.get(), endPos.get()) : nullptr;
}

PyObject* moverStop(py::Args args) {
    PyObject* self = args[0];
    if (!py::setAttr(self, nameMf, Py_False) || !py::setAttr(self, nameMtni, Py_None)) return nullptr;
    return py::none();
}

const char moverDoc[] =
    "\n"
    "    路径移动控制器类\n"
    "    功能：\n"
    "    - 控制模型沿着指定路径移动\n"
    "    - 自动计算并更新模型的偏航角\n"
    "    - 提供开始、更新和停止方法\n"
    "    ";

const char startDoc[] =
    "\n"
    "        开始路径移动\n"
    "        参数：\n"
    "        - model: 要移动的模型\n"
    "        - path: 移动路径,格式为[(x1,y1,z1),(x2,y2,z2),...]\n"
    "        - mStep: 移动步长（速度）\n"
    "        - completeCB: 路径移动完成后的回调函数\n"
    "        ";

}  // namespace

bool addInteraction() {
    Ref click = py::defineClass({"ClickCtrl", "DirectObject.DirectObject", clickDoc, {
        py::method({"__init__", "(self, show_collisions=False)", clickInitDoc, clickInit}),
        py::method({"setModelClick", "(self, model, tag_name, tag_value)", setModelClickDoc, setModelClick}),
        py::method({"addCallback", "(self, tag_name, callback)", addCallbackDoc, addCallback}),
        py::method({"onMouseClick", "(self)", "鼠标左键点击事件处理函数", onMouseClick}),
    }});
    if (!click) return false;
    return bool(py::defineClass({"PathMoveCtrl", nullptr, moverDoc, {
        py::method({"__init__", "(self)", "初始化路径移动控制器", moverInit}),
        py::method({"start", "(self, model, path, mStep=0.025, completeCB=None, loop=False)", startDoc, moverStart}),
        py::method({"updateHeading", "(self)", "更新模型的偏航角", updateHeading}),
        py::method({"update", "(self)", "执行路径移动一步", moverUpdate}),
        py::method({"stop", "(self)", "强制停止路径移动并重置状态", moverStop}),
    }}));
}
