// The application object TAVIK: window, background, per-frame scene task
// with the learner's `update` hook, demo scene, models, the Chinese font
// and billboard text; and the axes gizmo drawn with a pen.  The plain
// Python it renders, step for step: tests/reference/application.py.
#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

#include "py.hpp"
#include "units.hpp"

using py::Ref;

namespace {

py::Name nameShowBase("ShowBase");
py::Name nameInit("__init__");
py::Name namePrint("print");
py::Name nameWindowProperties("WindowProperties");
py::Name nameSetTitle("setTitle");
py::Name nameSetSize("setSize");
py::Name nameWin("win");
py::Name nameRequestProperties("requestProperties");
py::Name nameBackgroundColor("_background_color");
py::Name nameSetBackgroundColor("setBackgroundColor");
py::Name nameCnFont("cnFont");
py::Name nameTextNodes("textNodes");
py::Name nameSetClearColorActive("setClearColorActive");
py::Name nameSetClearDepthActive("setClearDepthActive");
py::Name nameSetClearColor("setClearColor");
py::Name nameSetClearDepth("setClearDepth");
py::Name nameLoadCnFont("loadCnFont");
py::Name nameSetupScene("setup_scene");
py::Name nameCameraController("CameraController");
py::Name nameCameraControllerAttribute("camera_controller");
py::Name nameLPoint3("LPoint3");
py::Name nameUpdate("update");
py::Name nameTaskMgr("taskMgr");
py::Name nameAdd("add");
py::Name nameUpdateScene("updateScene");
py::Name nameRender("render");
py::Name nameAspect2d("aspect2d");
py::Name nameRender2d("render2d");
py::Name nameShow("show");
py::Name nameTextNodesLookAtCamera("textNodeslookAtCamera");
py::Name nameCont("cont");
py::Name nameCamera("camera");
py::Name nameGetPos("getPos");
py::Name nameLookAt("lookAt");
py::Name nameIsEmpty("isEmpty");
py::Name nameGetTransform("getTransform");
py::Name nameLoader("loader");
py::Name nameLoadModel("loadModel");
py::Name nameLoadFont("loadFont");
py::Name nameSetScale("setScale");
py::Name nameReparentTo("reparentTo");
py::Name nameNoCache("noCache");
py::Name nameResources("resources");
py::Name namePkgResources("pkg_resources");
py::Name nameFiles("files");
py::Name nameJoinpath("joinpath");
py::Name nameResourceFilename("resource_filename");
py::Name nameGltfAvailable("GLTF_AVAILABLE");
py::Name nameLoadModelFunction("load_model");
py::Name nameNodePath("NodePath");
py::Name nameOs("os");
py::Name namePath("path");
py::Name nameExists("exists");
py::Name nameJoin("join");
py::Name nameDirname("dirname");
py::Name nameFile("__file__");
py::Name nameSetPixelsPerUnit("setPixelsPerUnit");
py::Name nameGetPixelsPerUnit("getPixelsPerUnit");
py::Name nameTextNode("TextNode");
py::Name nameFont("font");
py::Name nameSetText("setText");
py::Name nameSetAlign("setAlign");
py::Name nameAttachNewNode("attachNewNode");
py::Name nameSetPos("setPos");
py::Name nameSetColor("setColor");
py::Name nameSetTwoSided("setTwoSided");
py::Name nameAppend("append");
py::Name nameColor("color");
py::Name nameColorPalette("Color");
py::Name nameRed("red");
py::Name nameGreen("green");
py::Name nameBlue("blue");
py::Name nameDrawPath("drawPath");
py::Name nameReplace("replace");
py::Name nameSplit("split");
py::Name nameLower("lower");

const char packageName[] = "tavik";
const char fontFile[] = "zkwy.ttf";

// ---- construction ---------------------------------------------------------

bool printLine(PyObject* line) {
    Ref print = py::global(namePrint);
    return print && py::call(print.get(), {line});
}

bool requestWindow(PyObject* self) {
    Ref propertiesType = py::global(nameWindowProperties);
    Ref properties = propertiesType ? py::call(propertiesType.get()) : Ref();
    Ref title = properties ? py::text("Norvane3D编程") : Ref();
    Ref width = title ? py::number(1000L) : Ref();
    Ref height = width ? py::number(750L) : Ref();
    if (!height || !py::callAndDrop(properties.get(), nameSetTitle, {title.get()}) ||
        !py::callAndDrop(properties.get(), nameSetSize, {width.get(), height.get()})) {
        return false;
    }
    // Without a main window, or with an offscreen buffer, there is nothing
    // to title or resize: the kit then runs headless.
    Ref window = py::getAttr(self, nameWin);
    if (!window) return false;
    int canRequest = py::hasAttr(window.get(), nameRequestProperties);
    if (canRequest <= 0) return canRequest == 0;
    return py::callAndDrop(window.get(), nameRequestProperties, {properties.get()});
}

// `self.win.setClearColor(<colour>)`; `colour` null reads `self._background_color`.
bool setClearColour(PyObject* self, PyObject* colour) {
    Ref window = py::getAttr(self, nameWin);
    Ref method = window ? py::getAttr(window.get(), nameSetClearColor) : Ref();
    Ref value = !method ? Ref() : colour ? Ref::borrow(colour) : py::getAttr(self, nameBackgroundColor);
    // The window takes a colour as a tuple, not a list: hand it a tuple of
    // the same items (the list itself stays stored as given).
    Ref colourTuple = value ? Ref::steal(PySequence_Tuple(value.get())) : Ref();
    return colourTuple && py::call(method.get(), {colourTuple.get()});
}

// Each statement reads `self.win` again, as `TAVIK.__init__` and
// `TAVIK.bgColor` of tests/reference/application.py do.
bool clearWindow(PyObject* self, PyObject* colour, bool alsoDepth) {
    Ref window = py::getAttr(self, nameWin);
    int present = window ? py::truth(window.get()) : -1;
    if (present <= 0) return present == 0;
    if (!py::callOn(self, nameWin, nameSetClearColorActive, {Py_True})) return false;
    if (alsoDepth && !py::callOn(self, nameWin, nameSetClearDepthActive, {Py_True})) return false;
    if (!setClearColour(self, colour)) return false;
    if (!alsoDepth) return true;
    Ref one = py::number(1.0);
    return one && py::callOn(self, nameWin, nameSetClearDepth, {one.get()});
}

bool attachCameraController(PyObject* self) {
    Ref controllerType = py::global(nameCameraController);
    Ref pointType = controllerType ? py::global(nameLPoint3) : Ref();
    Ref zero = pointType ? py::number(0L) : Ref();
    Ref radius = zero ? py::number(40L) : Ref();
    Ref origin = radius ? py::call(pointType.get(), {zero.get(), zero.get(), zero.get()}) : Ref();
    Ref controller = origin ? py::call(controllerType.get(), {self, origin.get(), radius.get()}) : Ref();
    return controller && py::setAttr(self, nameCameraControllerAttribute, controller.get());
}

// `self.taskMgr.add(self.updateScene, "updateSceneTask")`.
bool addSceneTask(PyObject* self) {
    Ref taskManager = py::getAttr(self, nameTaskMgr);
    Ref add = taskManager ? py::getAttr(taskManager.get(), nameAdd) : Ref();
    Ref task = add ? py::getAttr(self, nameUpdateScene) : Ref();
    Ref taskName = task ? py::text("updateSceneTask") : Ref();
    return taskName && py::call(add.get(), {task.get(), taskName.get()});
}

PyObject* init(py::Args args) {
    PyObject* self = args[0];
    Ref showBase = py::global(nameShowBase);
    Ref showBaseInit = showBase ? py::getAttr(showBase.get(), nameInit) : Ref();
    if (!showBaseInit || !py::call(showBaseInit.get(), {self})) return nullptr;
    Ref banner = py::text("嗨，Norvane3D编程欢迎您！仰望星空，探索无限！DEV_MODE260331");
    if (!banner || !printLine(banner.get()) || !requestWindow(self)) return nullptr;
    Ref one = py::number(1L);
    Ref sky = one ? py::floats({0.2, 0.6, 0.8}) : Ref();
    Ref alpha = sky ? py::tuple({one.get()}) : Ref();
    Ref background = alpha ? Ref::steal(PySequence_Concat(sky.get(), alpha.get())) : Ref();
    if (!background || !py::setAttr(self, nameBackgroundColor, background.get())) return nullptr;
    Ref setBackground = py::getAttr(self, nameSetBackgroundColor);
    Ref stored = setBackground ? py::getAttr(self, nameBackgroundColor) : Ref();
    if (!stored || !py::call(setBackground.get(), {stored.get()})) return nullptr;
    Ref textNodes = Ref::steal(PyList_New(0));
    if (!textNodes || !py::setAttr(self, nameCnFont, Py_None) || !py::setAttr(self, nameTextNodes, textNodes.get())) {
        return nullptr;
    }
    if (!clearWindow(self, nullptr, true) || !py::callAndDrop(self, nameLoadCnFont) ||
        !py::callAndDrop(self, nameSetupScene, {args[1]}) || !attachCameraController(self) ||
        !py::setAttr(self, nameUpdate, Py_None) || !addSceneTask(self)) {
        return nullptr;
    }
    for (PyObject* layer : {nameRender.get(), nameAspect2d.get(), nameRender2d.get()}) {
        if (!py::callOn(self, layer, nameShow)) return nullptr;
    }
    return py::none();
}

// ---- per frame ------------------------------------------------------------

// Turns one text node so that its forward axis points away from the camera:
// the body of the loop of `TAVIK.textNodeslookAtCamera` in
// tests/reference/application.py.
bool faceAwayFromCamera(PyObject* self, PyObject* textPath) {
    Ref camera = py::getAttr(self, nameCamera);
    Ref cameraPos = camera ? py::callMethod(camera.get(), nameGetPos) : Ref();
    Ref textPos = cameraPos ? py::callMethod(textPath, nameGetPos) : Ref();
    Ref direction = textPos ? py::subtract(cameraPos.get(), textPos.get()) : Ref();
    Ref opposite = direction ? Ref::steal(PyNumber_Negative(direction.get())) : Ref();
    // `t.lookAt(text_pos + opposite_direction)`: the method, then its argument.
    Ref lookAt = opposite ? py::getAttr(textPath, nameLookAt) : Ref();
    Ref away = lookAt ? py::add(textPos.get(), opposite.get()) : Ref();
    return away && py::call(lookAt.get(), {away.get()});
}

// ---- facing the camera without the interpreter ----------------------------------
//
// With hundreds of labels the per-frame turning is most of a frame.  For
// the common case (a plain list of plain NodePaths, the camera a plain
// NodePath attribute) the loop below does the work of
// `TAVIK.textNodeslookAtCamera` (tests/reference/application.py) without
// the interpreter: the camera cannot move while labels turn, so its position
// is read once; the target point is computed in the engine's float
// arithmetic; and a label whose transform is the very one that facing this
// camera position produced is left alone, since turning it again would set
// that same (shared, unique) transform.

struct Facing {
    Ref transform;  // the label's transform right after it was turned
    float camera[3];
};

std::vector<Facing>& facings = *new std::vector<Facing>();  // by list position; outlives the interpreter

// The application class as defined, for the guard of the quick loop.
py::Definition applicationDefinition;

// The engine's own NodePath: a script that rebinds the name changes
// nothing the loop does (`TAVIK.textNodeslookAtCamera` never looks it up).
bool isPlainNodePath(PyObject* object) { return py::isExactly(object, py::engine().nodePath); }

// Whether every `self.camera` read inside the loop gives `camera` without
// running any code: the application class as defined, nothing named
// camera on the way, and the camera a plain NodePath.
bool cameraIsPlain(PyObject* self, PyObject* camera) {
    return isPlainNodePath(camera) && applicationDefinition.readsOwn(self, nameCamera);
}

bool readPoint(PyObject* point, float out[3]) {
    for (Py_ssize_t axis = 0; axis < 3; axis++) {
        Ref item = Ref::steal(PySequence_GetItem(point, axis));
        double value;
        if (!item || !py::toDouble(item.get(), value)) return false;
        out[axis] = static_cast<float>(value);
    }
    return true;
}

// -1 on error, 1 when the label already faces away from `camera`.
int alreadyFacing(PyObject* transform, size_t index, const float camera[3]) {
    if (index >= facings.size() || !facings[index].transform) return 0;
    const Facing& facing = facings[index];
    for (int axis = 0; axis < 3; axis++) {
        if (facing.camera[axis] != camera[axis]) return 0;
    }
    return PyObject_RichCompareBool(transform, facing.transform.get(), Py_EQ);
}

// faceAwayFromCamera for a plain label and a camera position read once:
// `text_pos + -(camera_pos - text_pos)` rounded as the engine's floats are.
bool turnPlainLabel(PyObject* textPath, const float camera[3]) {
    double away[3];
    float textPos[3];
    Ref position = py::callMethod(textPath, nameGetPos);
    if (!position || !readPoint(position.get(), textPos)) return false;
    for (int axis = 0; axis < 3; axis++) {
        float text = textPos[axis];
        float direction = camera[axis] - text;
        float opposite = -direction;
        away[axis] = static_cast<float>(text + opposite);
    }
    Ref coordinates = py::floats({away[0], away[1], away[2]});
    Ref target = coordinates ? Ref::steal(PyObject_Call(py::engine().point3, coordinates.get(), nullptr)) : Ref();
    return target && py::callAndDrop(textPath, nameLookAt, {target.get()});
}

// One label of the plain loop: skipped when removed or already facing.
// While the camera moves every label turns, and nothing is kept for later.
bool facePlainLabel(PyObject* textPath, size_t index, const float camera[3], bool cameraStill) {
    Ref empty = py::callMethod(textPath, nameIsEmpty);
    int removed = empty ? py::truth(empty.get()) : -1;
    if (removed) return removed > 0;
    if (!cameraStill) return turnPlainLabel(textPath, camera);
    Ref transform = py::callMethod(textPath, nameGetTransform);
    int facing = transform ? alreadyFacing(transform.get(), index, camera) : -1;
    if (facing) return facing > 0;
    if (!turnPlainLabel(textPath, camera)) return false;
    transform = py::callMethod(textPath, nameGetTransform);
    if (!transform) return false;
    try {
        if (facings.size() <= index) facings.resize(index + 1);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
    }
    facings[index].transform = std::move(transform);
    std::copy(camera, camera + 3, facings[index].camera);
    return true;
}

// Any other label, exactly as `TAVIK.textNodeslookAtCamera` in
// tests/reference/application.py turns it.
bool faceAnyLabel(PyObject* self, PyObject* textPath) {
    Ref empty = py::callMethod(textPath, nameIsEmpty);
    int removed = empty ? py::truth(empty.get()) : -1;
    if (removed < 0) return false;
    return removed || faceAwayFromCamera(self, textPath);
}

// Plain labels the quick way until the first other one: whatever that one
// runs may change the list or the camera, so the rest take the steps of
// `TAVIK.textNodeslookAtCamera` (tests/reference/application.py).
PyObject* facePlainList(PyObject* self, PyObject* camera, PyObject* textNodes) {
    static float lastCamera[3] = {NAN, NAN, NAN};
    float position[3];
    Ref cameraPos = py::callMethod(camera, nameGetPos);
    if (!cameraPos || !readPoint(cameraPos.get(), position)) return nullptr;
    bool cameraStill = std::equal(position, position + 3, lastCamera);
    std::copy(position, position + 3, lastCamera);
    bool plain = true;
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(textNodes); index++) {
        Ref textPath = Ref::borrow(PyList_GET_ITEM(textNodes, index));
        plain = plain && isPlainNodePath(textPath.get());
        bool faced = plain ? facePlainLabel(textPath.get(), static_cast<size_t>(index), position, cameraStill)
                           : faceAnyLabel(self, textPath.get());
        if (!faced) return nullptr;
    }
    if (facings.size() > static_cast<size_t>(PyList_GET_SIZE(textNodes))) facings.resize(PyList_GET_SIZE(textNodes));
    return py::none();
}

PyObject* textNodesLookAtCamera(py::Args args) {
    PyObject* self = args[0];
    Ref textNodes = py::getAttr(self, nameTextNodes);
    if (!textNodes) return nullptr;
    if (PyList_CheckExact(textNodes.get()) && PyList_GET_SIZE(textNodes.get()) == 0) return py::none();
    // Running without a window there is no camera to face.
    Ref camera = py::getAttr(self, nameCamera);
    if (!camera) return nullptr;
    if (camera.get() == Py_None) return py::none();
    if (PyList_CheckExact(textNodes.get()) && cameraIsPlain(self, camera.get())) {
        // A removed camera has no position: the reference loop fails at
        // the first label, as it should, and not before.
        Ref removed = py::callMethod(camera.get(), nameIsEmpty);
        int cameraRemoved = removed ? py::truth(removed.get()) : -1;
        if (cameraRemoved < 0) return nullptr;
        if (!cameraRemoved) return facePlainList(self, camera.get(), textNodes.get());
    }
    Ref iterator = Ref::steal(PyObject_GetIter(textNodes.get()));
    if (!iterator) return nullptr;
    while (Ref textPath = Ref::steal(PyIter_Next(iterator.get()))) {
        // A label the learner removed stays listed; it has nothing to turn.
        if (!faceAnyLabel(self, textPath.get())) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : py::none();
}

PyObject* updateScene(py::Args args) {
    PyObject* self = args[0];
    if (!py::callAndDrop(self, nameTextNodesLookAtCamera)) return nullptr;
    Ref hook = py::getAttr(self, nameUpdate);
    int present = hook ? PyObject_RichCompareBool(hook.get(), Py_None, Py_NE) : -1;
    if (present < 0) return nullptr;
    if (present) {
        hook = py::getAttr(self, nameUpdate);  // read again for the call
        if (!hook || !py::call(hook.get())) return nullptr;
    }
    return py::getAttr(args[1], nameCont).release();
}

// ---- background and demo scene -----------------------------------------------

PyObject* bgColor(py::Args args) {
    PyObject* self = args[0];
    Ref color = Ref::borrow(args[1]);
    Py_ssize_t length = PyObject_Length(color.get());
    if (length < 0) return nullptr;
    if (length == 3) {
        Ref items[3];
        for (Py_ssize_t index = 0; index < 3; index++) {
            items[index] = py::getItem(color.get(), index);
            if (!items[index]) return nullptr;
        }
        Ref one = py::number(1L);
        color = one ? py::tuple({items[0].get(), items[1].get(), items[2].get(), one.get()}) : Ref();
        if (!color) return nullptr;
    } else {
        // The second test asks for the length again, as `elif len(color) != 4`
        // of `TAVIK.bgColor` (tests/reference/application.py) does.
        length = PyObject_Length(color.get());
        if (length < 0) return nullptr;
        if (length != 4) {
            PyErr_SetString(PyExc_ValueError, "颜色必须是3或4个元素的元组");
            return nullptr;
        }
    }
    if (!py::setAttr(self, nameBackgroundColor, color.get()) ||
        !py::callAndDrop(self, nameSetBackgroundColor, {color.get()}) || !py::callAndDrop(self, nameLoadCnFont) ||
        !clearWindow(self, color.get(), false)) {
        return nullptr;
    }
    return color.release();
}

// `model.reparentTo(self.render)`.
bool attachToRender(PyObject* self, PyObject* model) {
    Ref reparentTo = py::getAttr(model, nameReparentTo);
    Ref render = reparentTo ? py::getAttr(self, nameRender) : Ref();
    return render && py::call(reparentTo.get(), {render.get()});
}

PyObject* setupScene(py::Args args) {
    PyObject* self = args[0];
    int show = py::truth(args[1]);
    if (show <= 0) return show < 0 ? nullptr : py::none();
    Ref loader = py::getAttr(self, nameLoader);
    Ref modelName = loader ? py::text("zup-axis") : Ref();
    Ref axis = modelName ? py::callMethod(loader.get(), nameLoadModel, {modelName.get()}) : Ref();
    Ref one = axis ? py::number(1L) : Ref();
    if (!one || !py::callAndDrop(axis.get(), nameSetScale, {one.get(), one.get(), one.get()})) return nullptr;
    return attachToRender(self, axis.get()) ? py::none() : nullptr;
}

// ---- models -----------------------------------------------------------------


PyObject* cm(py::Args args) {
    PyObject* self = args[0];
    Ref loader = py::getAttr(self, nameLoader);
    Ref loadModel = loader ? py::getAttr(loader.get(), nameLoadModel) : Ref();
    Ref keywords = loadModel ? py::tuple({nameNoCache.get()}) : Ref();
    Ref model = keywords ? py::callWithKeywords(loadModel.get(), {args[1], args[2]}, keywords.get()) : Ref();
    if (!model || !attachToRender(self, model.get())) return nullptr;
    return model.release();
}

// The file-system path of a packaged data file, through whichever resource
// mechanism the import chose.
Ref packagedFile(PyObject* fileName, bool asText) {
    Ref resources = py::global(nameResources);
    if (!resources) return {};
    Ref package = py::text(packageName);
    if (!package) return {};
    if (resources.get() == Py_None) {
        Ref pkgResources = py::global(namePkgResources);
        return pkgResources ? py::callMethod(pkgResources.get(), nameResourceFilename, {package.get(), fileName})
                            : Ref();
    }
    Ref root = py::callMethod(resources.get(), nameFiles, {package.get()});
    Ref path = root ? py::callMethod(root.get(), nameJoinpath, {fileName}) : Ref();
    if (path && asText) return Ref::steal(PyObject_Str(path.get()));
    return path;
}

Ref loadPackagedModel(PyObject* self, PyObject* modelName) {
    Ref suffix = py::text(".glb");
    Ref fileName = suffix ? py::add(modelName, suffix.get()) : Ref();
    Ref modelPath = fileName ? packagedFile(fileName.get(), false) : Ref();
    Ref useGltf = modelPath ? py::global(nameGltfAvailable) : Ref();
    int gltf = useGltf ? py::truth(useGltf.get()) : -1;
    if (gltf < 0) return {};
    Ref model;
    if (gltf) {
        // `NodePath(load_model(str(model_path)))`: both names, then the path.
        Ref nodePathType = py::global(nameNodePath);
        Ref loadModel = nodePathType ? py::global(nameLoadModelFunction) : Ref();
        Ref pathText = loadModel ? Ref::steal(PyObject_Str(modelPath.get())) : Ref();
        Ref node = pathText ? py::call(loadModel.get(), {pathText.get()}) : Ref();
        model = node ? py::call(nodePathType.get(), {node.get()}) : Ref();
    } else {
        Ref loader = py::getAttr(self, nameLoader);
        Ref loadModel = loader ? py::getAttr(loader.get(), nameLoadModel) : Ref();
        Ref pathText = loadModel ? Ref::steal(PyObject_Str(modelPath.get())) : Ref();
        model = pathText ? py::call(loadModel.get(), {pathText.get()}) : Ref();
    }
    if (!model || !attachToRender(self, model.get())) return {};
    return model;
}

bool pendingIsException() { return PyErr_ExceptionMatches(PyExc_Exception); }

PyObject* gm(py::Args args) {
    Ref model = loadPackagedModel(args[0], args[1]);
    if (model) return model.release();
    if (!pendingIsException()) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    Ref error = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref error = Ref::steal(value);
#endif
    // `print(...)`: the function first, then the line it prints.
    Ref print = py::global(namePrint);
    Ref name = print ? Ref::steal(PyObject_Str(args[1])) : Ref();
    Ref reason = name ? Ref::steal(PyObject_Str(error.get())) : Ref();
    Ref prefix = reason ? py::text("加载模型 '") : Ref();
    Ref middle = prefix ? py::text("' 失败: ") : Ref();
    Ref line = middle ? py::concat({prefix.get(), name.get(), middle.get(), reason.get()}) : Ref();
    if (!line || !py::call(print.get(), {line.get()})) return nullptr;
    return py::none();
}

// ---- the Chinese font ----------------------------------------------------------

// "C:\dir\f.ttf" -> "/c/dir/f.ttf": the engine wants its portable form.
Ref convertToUnixPath(PyObject* path) {
    Ref backslash = py::text("\\");
    Ref slash = backslash ? py::text("/") : Ref();
    Ref colon = slash ? py::text(":") : Ref();
    Ref one = colon ? py::number(1L) : Ref();
    if (!one) return {};
    Ref unixPath = py::callMethod(path, nameReplace, {backslash.get(), slash.get()});
    int hasColon = unixPath ? PySequence_Contains(unixPath.get(), colon.get()) : -1;
    if (hasColon <= 0) return hasColon < 0 ? Ref() : std::move(unixPath);
    Ref parts = py::callMethod(unixPath.get(), nameSplit, {colon.get(), one.get()});
    Ref drive = parts ? py::getItem(parts.get(), 0) : Ref();
    Ref rest = drive ? py::getItem(parts.get(), 1) : Ref();
    Ref lowered = rest ? py::callMethod(drive.get(), nameLower) : Ref();
    Ref rooted = lowered ? py::add(slash.get(), lowered.get()) : Ref();
    return rooted ? py::add(rooted.get(), rest.get()) : Ref();
}

// `os.path.<function>`.
Ref osPathFunction(PyObject* function) {
    Ref os = py::global(nameOs);
    Ref path = os ? py::getAttr(os.get(), namePath) : Ref();
    return path ? py::getAttr(path.get(), function) : Ref();
}

Ref osPathCall(PyObject* function, std::initializer_list<PyObject*> args) {
    Ref method = osPathFunction(function);
    return method ? Ref::steal(PyObject_Vectorcall(method.get(), args.begin(), args.size(), nullptr)) : Ref();
}

// 1 when the path exists, 0 when not, -1 with an exception set.
int pathExists(PyObject* path) {
    Ref exists = osPathCall(nameExists, {path});
    return exists ? py::truth(exists.get()) : -1;
}

// The engine hands back its cached font on a second load, and refuses (with
// an assertion on stderr) to change the resolution of a font that has
// already drawn text.  When the font already has the wanted resolution there
// is nothing to change, so every background change stays quiet.
// 1 when it has, 0 when not (or the font cannot say), -1 on error.
int hasPixelsPerUnit(PyObject* font, PyObject* pixels) {
    Ref current = py::callMethod(font, nameGetPixelsPerUnit);
    if (!current) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return PyObject_RichCompareBool(current.get(), pixels, Py_EQ);
}

// Loads `path` as the font; 1 when loaded, 0 when the engine gave None.
int adoptFont(PyObject* self, PyObject* path) {
    Ref loader = py::getAttr(self, nameLoader);
    Ref font = loader ? py::callMethod(loader.get(), nameLoadFont, {path}) : Ref();
    if (!font) return -1;
    if (font.get() == Py_None) return 0;
    Ref pixels = py::number(30L);
    if (!pixels || !py::setAttr(self, nameCnFont, font.get())) return -1;
    int alreadySet = hasPixelsPerUnit(font.get(), pixels.get());
    if (alreadySet < 0) return -1;
    if (!alreadySet && !py::callAndDrop(font.get(), nameSetPixelsPerUnit, {pixels.get()})) return -1;
    return 1;
}

// The packaged font, or the one beside the module file in a development tree.
int loadPackagedFont(PyObject* self) {
    Ref fileName = py::text(fontFile);
    Ref fontPath = fileName ? packagedFile(fileName.get(), true) : Ref();
    int exists = fontPath ? pathExists(fontPath.get()) : -1;
    if (exists < 0) return -1;
    if (!exists) {
        // `os.path.join(os.path.dirname(__file__), font_file)`, in that order.
        Ref join = osPathFunction(nameJoin);
        Ref dirname = join ? osPathFunction(nameDirname) : Ref();
        Ref moduleFile = dirname ? py::global(nameFile) : Ref();
        Ref directory = moduleFile ? py::call(dirname.get(), {moduleFile.get()}) : Ref();
        Ref devPath = directory ? py::call(join.get(), {directory.get(), fileName.get()}) : Ref();
        int devExists = devPath ? pathExists(devPath.get()) : -1;
        if (devExists < 0) return -1;
        if (devExists) fontPath = std::move(devPath);
    }
    exists = pathExists(fontPath.get());
    if (exists <= 0) return exists;
    Ref unixPath = convertToUnixPath(fontPath.get());
    return unixPath ? adoptFont(self, unixPath.get()) : -1;
}

// A missing or unreadable font is not an error: text then uses the
// engine's default font.  Only exceptions derived from Exception are dropped.
bool discardOrdinaryError() {
    if (!pendingIsException()) return false;
    PyErr_Clear();
    return true;
}

PyObject* loadCnFont(py::Args args) {
    PyObject* self = args[0];
    int loaded = loadPackagedFont(self);
    if (loaded < 0 && !discardOrdinaryError()) return nullptr;
    if (loaded > 0) return py::none();
    Ref bareName = py::text(fontFile);
    if (!bareName) return nullptr;
    if (adoptFont(self, bareName.get()) < 0 && !discardOrdinaryError()) return nullptr;
    return py::none();
}

// ---- billboard text ---------------------------------------------------------------

// TextNode.setText aborts the process on a string that has no UTF-8 form
// (a lone surrogate, as text read with errors="surrogateescape" holds).  It
// gets the UnicodeEncodeError the engine raises for such a string as a node
// name instead, before the engine sees it.
bool encodable(PyObject* text) {
    if (!PyUnicode_Check(text)) return true;
    Py_ssize_t size;
    return PyUnicode_AsUTF8AndSize(text, &size) != nullptr;
}

PyObject* makeText(py::Args args) {
    PyObject* self = args[0];
    PyObject *nodeName = args[1], *text = args[2], *pos = args[3], *color = args[4], *align = args[5],
             *scale = args[6];
    Ref textNodeType = py::global(nameTextNode);
    Ref textNode = textNodeType ? py::call(textNodeType.get(), {nodeName}) : Ref();
    Ref font = textNode ? py::getAttr(self, nameCnFont) : Ref();
    if (!font || !py::setAttr(textNode.get(), nameFont, font.get()) || !encodable(text) ||
        !py::callAndDrop(textNode.get(), nameSetText, {text}) || !py::callAndDrop(textNode.get(), nameSetAlign, {align})) {
        return nullptr;
    }
    Ref render = py::getAttr(self, nameRender);
    Ref textPath = render ? py::callMethod(render.get(), nameAttachNewNode, {textNode.get()}) : Ref();
    if (!textPath || !py::callAndDrop(textPath.get(), nameSetPos, {pos}) ||
        !py::callAndDrop(textPath.get(), nameSetScale, {scale}) || !py::callAndDrop(textPath.get(), nameSetColor, {color}) ||
        !py::callAndDrop(textPath.get(), nameSetTwoSided, {Py_True}) ||
        !py::callOn(self, nameTextNodes, nameAppend, {textPath.get()})) {
        return nullptr;
    }
    return textPath.release();
}

// ---- axes gizmo -------------------------------------------------------------------

// The arrow polyline of one axis: shaft from n1 to n2, then a closed
// triangular head whose wings lie n3 back from the tip and n3 off the axis.
// `place(along, across)` builds one point of the polyline.  The Z head is
// written across-first (`drawAxies` in tests/reference/application.py),
// so its second wing negates n3 before subtracting.
template <typename Place>
Ref arrowPath(PyObject* n1, PyObject* n2, PyObject* n3, bool acrossFirst, Place place) {
    Ref list = Ref::steal(PyList_New(0));
    Ref back1 = list ? py::subtract(n2, n3) : Ref();
    Ref back2, minus;
    if (back1 && acrossFirst) {
        minus = Ref::steal(PyNumber_Negative(n3));
        back2 = minus ? py::subtract(n2, n3) : Ref();
    } else if (back1) {
        back2 = py::subtract(n2, n3);
        minus = back2 ? Ref::steal(PyNumber_Negative(n3)) : Ref();
    }
    if (!back2 || !minus) return {};
    PyObject* corners[5][2] = {{n1, nullptr}, {n2, nullptr}, {back1.get(), n3}, {back2.get(), minus.get()},
                               {n2, nullptr}};
    for (auto& corner : corners) {
        Ref point = place(corner[0], corner[1]);
        if (!point || PyList_Append(list.get(), point.get()) < 0) return {};
    }
    return list;
}

// pen.color(Color.<colourName>), then pen.drawPath(<the arrow polyline>).
template <typename Place>
bool drawArrow(PyObject* pen, PyObject* colourName, PyObject* n1, PyObject* n2, PyObject* n3, bool acrossFirst,
               Place place) {
    Ref color = py::getAttr(pen, nameColor);
    Ref palette = color ? py::global(nameColorPalette) : Ref();
    Ref colour = palette ? py::getAttr(palette.get(), colourName) : Ref();
    if (!colour || !py::call(color.get(), {colour.get()})) return false;
    Ref drawPath = py::getAttr(pen, nameDrawPath);
    Ref path = drawPath ? arrowPath(n1, n2, n3, acrossFirst, place) : Ref();
    return path && py::call(drawPath.get(), {path.get()});
}

PyObject* drawAxies(py::Args args) {
    PyObject *pen = args[0], *n1 = args[1], *n2 = args[2], *n3 = args[3];
    Ref zero = py::number(0L);
    if (!zero) return nullptr;
    PyObject* o = zero.get();
    auto orZero = [o](PyObject* value) { return value ? value : o; };
    // X and Y heads lie in the vertical plane of their axis; the Z head in XZ.
    auto alongX = [&](PyObject* along, PyObject* across) { return py::tuple({along, o, orZero(across)}); };
    auto alongY = [&](PyObject* along, PyObject* across) { return py::tuple({o, along, orZero(across)}); };
    auto alongZ = [&](PyObject* along, PyObject* across) { return py::tuple({orZero(across), o, along}); };
    if (!drawArrow(pen, nameRed, n1, n2, n3, false, alongX) || !drawArrow(pen, nameGreen, n1, n2, n3, false, alongY) ||
        !drawArrow(pen, nameBlue, n1, n2, n3, true, alongZ)) {
        return nullptr;
    }
    return py::callAndDrop(pen, nameUpdate) ? py::none() : nullptr;  // whatever update() returns is dropped
}

const char loadCnFontDoc[] =
    "加载中文字体\n"
    "        从site-packages/tavik中加载中文字体，\n"
    "        模仿gm中从whl包资源加载的方法进行加载字体ttf，\n"
    "        字体文件名:zkwy.ttf\n"
    "        加载成功之后，给self.cnFont赋值。\n"
    "        ";

}  // namespace

bool addApplication() {
    Ref cls = py::defineClass({"TAVIK", "ShowBase", "Norvane3D开发框架主类", {
        py::method({"__init__", "(self, showAxis=True)", nullptr, init}),
        py::method({"textNodeslookAtCamera", "(self)", nullptr, textNodesLookAtCamera}),
        py::method({"updateScene", "(self, task)", nullptr, updateScene}),
        py::method({"bgColor", "(self, color)", nullptr, bgColor}),
        py::method({"setup_scene", "(self, showAxis=True)", "设置演示场景", setupScene}),
        py::method({"cm", "(self, fn, nc=True)", nullptr, cm}),
        py::method({"loadCnFont", "(self)", loadCnFontDoc, loadCnFont}),
        py::method({"gm", "(self, model_name)", "加载模型并返回节点", gm}),
        py::method({"makeText",
                    "(self, nodeName, text='None', pos=(0, 0, 0), color=(1, 0, 0, 1), align=TextNode.ACenter, "
                    "scale=1)",
                    "创建文字节点", makeText}),
    }});
    return cls && applicationDefinition.take(cls.get());
}

bool addAxesGizmo() { return py::defineFunction({"drawAxies", "(pen, n1=0, n2=5, n3=0.5)", nullptr, drawAxies}); }
