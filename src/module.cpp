// The module frame: what importing tavik.tavik does.  The engine names
// are bound first, then the optional loaders are probed, then the public
// classes and functions are defined in their fixed order.
#include "py.hpp"
#include "units.hpp"

using py::Ref;

namespace {


// `from module import a, b, ...`, binding each name in the namespace.
bool importFrom(const char* module, std::initializer_list<const char*> names) {
    Ref fromList = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromList) return false;
    Py_ssize_t index = 0;
    for (const char* name : names) {
        PyObject* item = PyUnicode_FromString(name);
        if (!item) return false;
        PyTuple_SET_ITEM(fromList.get(), index++, item);
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevel(module, py::moduleDict(), nullptr, fromList.get(), 0));
    if (!imported) return false;
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(imported.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
            return false;
        }
        if (!py::bindGlobal(name, value.get())) return false;
    }
    return true;
}

// `import module`, for a top-level module.
bool importModule(const char* module) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    return imported && py::bindGlobal(module, imported.get());
}

// `from module import *`: the public names, or those of __all__.
bool importAll(const char* module) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    if (!imported) return false;
    Ref names = Ref::steal(PyObject_GetAttrString(imported.get(), "__all__"));
    bool publicOnly = false;
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        names = Ref::steal(PyMapping_Keys(PyModule_GetDict(imported.get())));
        publicOnly = true;
    }
    Ref iterator = names ? Ref::steal(PyObject_GetIter(names.get())) : Ref();
    if (!iterator) return false;
    while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
        if (publicOnly && PyUnicode_Check(name.get()) && PyUnicode_READ_CHAR(name.get(), 0) == '_') continue;
        Ref value = Ref::steal(PyObject_GetAttr(imported.get(), name.get()));
        if (!value || PyDict_SetItem(py::moduleDict(), name.get(), value.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

// Prefers importlib.resources; falls back to pkg_resources only when the
// former cannot be imported.
bool chooseResourceMechanism() {
    if (importFrom("importlib", {"resources"})) return true;
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    PyErr_Clear();
    return importModule("pkg_resources") && py::bindGlobal("resources", Py_None);
}

// The glTF loader is optional: without it models load through the engine.
bool probeGltf() {
    if (importFrom("gltf", {"load_model"})) return py::bindGlobal("GLTF_AVAILABLE", Py_True);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    PyErr_Clear();
    return py::bindGlobal("GLTF_AVAILABLE", Py_False);
}

bool importEngine() {
    return importFrom("direct.showbase.ShowBase", {"ShowBase"}) &&
           importFrom("panda3d.core", {"LPoint3", "LVector3", "BitMask32", "NodePath", "LVector3f"}) &&
           importFrom("direct.gui.OnscreenText", {"OnscreenText"}) &&
           importFrom("panda3d.core", {"WindowProperties"}) && importFrom("panda3d.core", {"LineSegs"}) &&
           importAll("panda3d.core") && importFrom("direct.showbase", {"DirectObject"}) &&
           importFrom("direct.gui.DirectGui", {"DirectLabel", "DirectButton", "DirectEntry"}) &&
           importModule("math") && importModule("os") && chooseResourceMechanism() && probeGltf();
}

// The engine's Filename reads items past its end (see py::setUncheckedSequence).
bool guardUncheckedSequences() { return py::setUncheckedSequence(py::engine().filename); }

// ---- dist ----------------------------------------------------------------

const char distDoc[] =
    "\n"
    "    计算两个3D坐标点之间的距离\n"
    "    pos1和pos2可以是元组、列表或LPoint3f对象\n"
    "    返回两点间的距离\n"
    "    ";

bool unpackPoint(PyObject* point, Ref* xyz) {
    if (py::unpack(point, xyz, 3)) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        py::raiseReplacing(PyExc_ValueError, "dist函数需要两个3D坐标点（元组、列表或LPoint3f对象）");
    }
    return false;
}

// dx, dy and dz first, then `math.sqrt(dx**2 + dy**2 + dz**2)`: the
// function is looked up before its argument is worked out, and the sum
// goes left to right, the order in which a failing component, a custom
// number or a replaced `math` sees the work (`plain_dist` in
// tests/test_written_order.py).
PyObject* dist(py::Args args) {
    Ref first[3], second[3];
    if (!unpackPoint(args[0], first) || !unpackPoint(args[1], second)) return nullptr;
    Ref differences[3];
    for (int axis = 0; axis < 3; axis++) {
        differences[axis] = py::subtract(second[axis].get(), first[axis].get());
        if (!differences[axis]) return nullptr;
    }
    return py::rootOfSquares({differences[0].get(), differences[1].get(), differences[2].get()}).release();
}

// ---- Color -----------------------------------------------------------------

template <int R, int G, int B>
Ref colour() {
    return py::floats({R / 1000.0, G / 1000.0, B / 1000.0, 1.0});
}

bool defineColor() {
    return py::defineClass({"Color", nullptr, nullptr, {
        py::value("red", colour<1000, 0, 0>),
        py::value("green", colour<0, 1000, 0>),
        py::value("blue", colour<0, 0, 1000>),
        py::value("yellow", colour<1000, 1000, 0>),
        py::value("cyan", colour<0, 1000, 1000>),
        py::value("pink", colour<1000, 400, 1000>),
        py::value("brown", colour<600, 200, 0>),
        py::value("purple", colour<588, 400, 1000>),
        py::value("orange", colour<1000, 400, 0>),
        py::value("tan", colour<867, 788, 659>),
        py::value("gray", colour<314, 314, 314>),
        py::value("white", colour<1000, 1000, 1000>),
        py::value("black", colour<0, 0, 0>),
        py::value("sky", colour<200, 600, 800>),
    }}) ? true : false;
}

int execModule(PyObject* module) {
    try {
        bool defined = py::initialize(module) && importEngine() && py::takeEngineClasses() &&
                       guardUncheckedSequences() && py::defineFunction({"dist", "(pos1, pos2)", distDoc, dist}) &&
                       defineColor() && addCamera() && addApplication() && addPen() && addWidgets() &&
                       addPathFinding() && addInteraction() && addAxesGizmo();
        return defined ? 0 : -1;
    } catch (...) {
        py::raiseFromCxx();
        return -1;
    }
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "tavik", nullptr, 0, nullptr, moduleSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tavik() { return PyModuleDef_Init(&moduleDef); }
