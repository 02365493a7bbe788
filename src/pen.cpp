// The 3D turtle Pen: deferred moves, lines, dots, colour and thickness,
// building the recording into geometry, vertex edits, polylines; two
// heading angles, turns, moving along the heading, aiming and arrows.
//
// The engine's LineSegs forgets its lines at every build, while a pen keeps
// everything drawn since clear().  So the LineSegs a pen creates is paired
// with a recording held here (strokes, per-vertex colours, colour,
// thickness) that mirrors what the LineSegs would hold if it never forgot,
// and update() builds from the recording exactly the geometry the engine's
// own build makes.  A recorder that the pen did not create itself is
// driven call by call.  The plain Python the pen renders, and is measured
// against: tests/reference/pen.py (which plays its own strokes back into
// the recorder before each build).
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <unordered_map>
#include <vector>

#include "py.hpp"
#include "units.hpp"

using py::Ref;

namespace {

py::Name nameLineSegs("LineSegs");
py::Name nameRender("render");
py::Name nameAttachNewNode("attachNewNode");
py::Name nameLsg("_Pen__lsg");
py::Name nameMto("_Pen__mto");
py::Name nameRotZAttr("_Pen__rotZ");
py::Name nameRotYAttr("_Pen__rotY");
py::Name nameNp("np");
py::Name nameLineNode("lineNode");
py::Name nameThickness("_current_thickness");
py::Name nameRotZ("rotZ");
py::Name nameRotY("rotY");
py::Name nameNormalizeAngle("_normalize_angle");
py::Name nameMoveTo("moveTo");
py::Name nameDrawTo("drawTo");
py::Name nameLineTo("lineTo");
py::Name nameGetPos("getPos");
py::Name nameForward("forward");
py::Name nameTowards("towards");
py::Name nameDUp("dUp");
py::Name nameUpdate("update");
py::Name nameDraw("draw");
py::Name nameLength("length");
py::Name nameSetColor("setColor");
py::Name nameSetThickness("setThickness");
py::Name nameReset("reset");
py::Name nameCreate("create");
py::Name nameGetCurrentPosition("getCurrentPosition");
py::Name nameGetNumVertices("getNumVertices");
py::Name nameSetVertex("setVertex");
py::Name nameGetChildren("get_children");
py::Name nameDetach("detach");
py::Name nameGetName("getName");
py::Name nameMath("math");
py::Name nameAbs("abs");
py::Name nameRadians("radians");
py::Name nameDegrees("degrees");
py::Name nameSin("sin");
py::Name nameCos("cos");
py::Name nameAtan2("atan2");
// Engine names used to build geometry and read the recorder's colour.
py::Name nameGetV3cp("getV3cp");
py::Name nameUHDynamic("UHDynamic");
py::Name nameUHStatic("UHStatic");
py::Name nameSetNumRows("setNumRows");
py::Name nameModifyArray("modifyArray");
py::Name nameModifyHandle("modifyHandle");
py::Name nameCopyDataFrom("copyDataFrom");
py::Name nameGetArray("getArray");
py::Name nameGetHandle("getHandle");
py::Name nameGetData("getData");
py::Name nameGetGeom("getGeom");
py::Name nameGetVertexData("getVertexData");
py::Name nameSetData4f("setData4f");
py::Name nameSetData3f("setData3f");
py::Name nameSetRow("setRow");
py::Name nameAddConsecutiveVertices("addConsecutiveVertices");
py::Name nameAddVertex("addVertex");
py::Name nameClosePrimitive("closePrimitive");
py::Name nameAddPrimitive("addPrimitive");
py::Name nameAddGeom("addGeom");
py::Name nameMake("make");
py::Name nameMakeVertex("makeVertex");
py::Name nameMUnchanged("MUnchanged");
py::Name textColourData("colour");  // the one-row data a colour is packed in
py::Name textColorColumn("color");
py::Name textVertexColumn("vertex");
py::Name textBuiltData("lineSegs");  // as the engine names a build's data

const char towardsMessage[] = "towards方法需要三个参数或一个坐标元组/列表/LPoint3f对象";
constexpr double degreesToRadians = Py_MATH_PI / 180.0;  // as math.radians computes it (M_PI is not standard C++)

// The build stands in for the engine's own LineSegs.create(), which no
// name a script rebinds in panda3d.core can reach: it builds with the
// engine's classes as taken at import (py::engine()), so no code of a
// script's is looked up while the pen builds.

// Room for one more item, so that a push_back after it cannot throw; false
// with MemoryError when there is none.
template <typename Item>
bool roomForOne(std::vector<Item>& items) {
    if (items.size() < items.capacity()) return true;
    try {
        items.reserve(items.size() < 16 ? 16 : items.size() * 2);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// `function(*arguments)` with the interpreter's own message when
// `arguments` is not iterable.
Ref starCall(PyObject* function, PyObject* arguments) {
    static PyObject* caller = nullptr;  // strong
    if (!caller) {
        Ref globals = Ref::steal(PyDict_New());
        if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return {};
        caller = PyRun_String("lambda f, a: f(*a)", Py_eval_input, globals.get(), globals.get());
        if (!caller) return {};
    }
    return py::call(caller, {function, arguments});
}

// ---- the recording -----------------------------------------------------------

struct Vertex {
    float x, y, z;
    uint32_t colour;  // index into Recording::colours
};

struct Colour {
    float rgba[4];
    bool packed = false;
    uint8_t bytes[4] = {};  // as the engine stores it in a vertex
};

// Everything the pen's LineSegs would hold since clear() if its build did
// not forget, plus the vertex data of the latest non-empty build.
struct Recording {
    Ref recorder;                   // the LineSegs; keeps its address unique
    std::vector<Vertex> vertices;   // in recording order
    std::vector<size_t> strokes;    // index of each stroke's first vertex
    std::vector<Colour> colours{Colour{{1.0f, 1.0f, 1.0f, 1.0f}}};
    uint32_t colour = 0;
    float thickness = 1.0f;
    Ref builtData;                  // GeomVertexData of the latest build
    long builtCount = 0;

    // Each returns false with MemoryError when the recording cannot grow.
    bool moveTo(float x, float y, float z) {
        if (!roomForOne(strokes) || !roomForOne(vertices)) return false;
        strokes.push_back(vertices.size());
        vertices.push_back({x, y, z, colour});
        return true;
    }
    // The first point ever drawn starts a stroke, as the engine does.
    bool drawTo(float x, float y, float z) {
        if (vertices.empty()) return moveTo(x, y, z);
        if (!roomForOne(vertices)) return false;
        vertices.push_back({x, y, z, colour});
        return true;
    }
    // Asking an empty recorder where it is records a point at the origin.
    // The position is copied out: the caller goes on to call the engine,
    // and whatever runs meanwhile may grow the recording and move it.
    bool currentPosition(Vertex& out) {
        if (vertices.empty() && !moveTo(0.0f, 0.0f, 0.0f)) return false;
        out = vertices.back();
        return true;
    }
    void reset() {
        vertices.clear();
        strokes.clear();
        Colour current = colours[colour];
        colours.assign(1, current);  // within capacity: cannot throw
        colour = 0;
    }
};

// Recordings by the address of their LineSegs.  Never destroyed: it would
// outlive the interpreter at exit.
auto& recordings = *new std::unordered_map<PyObject*, std::unique_ptr<Recording>>();
PyObject* lastRecorder = nullptr;  // one-entry lookup cache
Recording* lastRecording = nullptr;

// Frees the recordings whose LineSegs nothing but this table holds.  That
// is memory only, never a change a program can see: a LineSegs cannot be
// weakly referenced, has no attributes and is not tracked by the collector,
// so once this table holds its last reference no code can reach it again,
// and it goes together with its recording.  A reference left anywhere only
// keeps both for longer.  Every function of the pen that works on a
// recording holds its LineSegs meanwhile, so none is freed under it.
void forgetUnreachable() {
    for (auto entry = recordings.begin(); entry != recordings.end();) {
        if (Py_REFCNT(entry->first) == 1) {
            if (entry->first == lastRecorder) lastRecorder = nullptr, lastRecording = nullptr;
            entry = recordings.erase(entry);
        } else {
            ++entry;
        }
    }
}

bool adoptRecorder(PyObject* recorder) {
    if (!py::isExactly(recorder, py::engine().lineSegs)) return true;
    forgetUnreachable();
    try {
        auto recording = std::make_unique<Recording>();
        recording->recorder = Ref::borrow(recorder);
        recordings[recorder] = std::move(recording);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// The recording of a pen's recorder, or null for a recorder driven as is.
Recording* recordingOf(PyObject* recorder) {
    if (recorder == lastRecorder) return lastRecording;
    auto found = recordings.find(recorder);
    if (found == recordings.end()) return nullptr;
    lastRecorder = recorder;
    lastRecording = found->second.get();
    return lastRecording;
}

// Converts as the engine converts each coordinate it is given.
bool toFloat(PyObject* value, float& out) {
    double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) return false;
    out = static_cast<float>(converted);
    return true;
}

// Where the recorder stands after the engine took `arguments` as a move: for
// argument shapes other than three coordinates the engine itself decides.
bool engineConverts(Recording& recording, PyObject* name, PyObject* arguments, float point[3]) {
    PyObject* recorder = recording.recorder.get();
    Ref method = py::getAttr(recorder, name);
    Ref done = method ? starCall(method.get(), arguments) : Ref();
    Ref position = done ? py::callMethod(recorder, nameGetCurrentPosition) : Ref();
    if (!position || !py::callAndDrop(recorder, nameReset)) return false;
    Ref items[3];
    if (!py::unpack(position.get(), items, 3)) return false;
    for (int axis = 0; axis < 3; axis++) {
        if (!toFloat(items[axis].get(), point[axis])) return false;
    }
    return true;
}

// `recorder.moveTo(*arguments)` or `recorder.drawTo(*arguments)`.
bool recordPoint(Recording& recording, PyObject* name, PyObject* arguments, bool draw) {
    Ref tuple;
    if (PyTuple_CheckExact(arguments)) {
        tuple = Ref::borrow(arguments);
    } else if (Py_TYPE(arguments)->tp_iter || PySequence_Check(arguments)) {
        tuple = Ref::steal(PySequence_Tuple(arguments));
        if (!tuple) return false;
    } else {
        Ref method = py::getAttr(recording.recorder.get(), name);
        return method && starCall(method.get(), arguments);  // raises
    }
    float point[3];
    if (PyTuple_GET_SIZE(tuple.get()) == 3) {
        for (int axis = 0; axis < 3; axis++) {
            if (!toFloat(PyTuple_GET_ITEM(tuple.get(), axis), point[axis])) return false;
        }
    } else if (!engineConverts(recording, name, tuple.get(), point)) {
        return false;
    }
    return draw ? recording.drawTo(point[0], point[1], point[2]) : recording.moveTo(point[0], point[1], point[2]);
}

// ---- building the recording ------------------------------------------------------
//
// Building calls the engine many times, and making any object can start a
// collection that runs a script's finalizer, which may draw with this very
// pen, clear it or change its colour.  So nothing below keeps a pointer or
// a reference into the recording across a call: the colour table is read
// afresh after each one, and what the geometry is made of is copied out in
// one go, with no call in between.

// The four bytes the engine stores for a colour, asked of the engine itself.
bool packColour(const float rgba[4], PyObject* format, uint8_t bytes[4]) {
    Ref usage = py::getAttr(py::engine().geom, nameUHStatic);
    if (!usage) return false;
    Ref data = py::call(py::engine().geomVertexData, {textColourData, format, usage.get()});
    if (!data) return false;
    Ref one = py::number(1L);
    if (!one || !py::callAndDrop(data.get(), nameSetNumRows, {one.get()})) return false;
    Ref writer = py::call(py::engine().geomVertexWriter, {data.get(), textColorColumn});
    if (!writer) return false;
    Ref setData = py::getAttr(writer.get(), nameSetData4f);
    if (!setData) return false;
    Ref components = py::floats({rgba[0], rgba[1], rgba[2], rgba[3]});
    if (!components || !Ref::steal(PyObject_Call(setData.get(), components.get(), nullptr))) return false;
    Ref zero = py::number(0L);
    Ref array = zero ? py::callMethod(data.get(), nameGetArray, {zero.get()}) : Ref();
    Ref handle = array ? py::callMethod(array.get(), nameGetHandle) : Ref();
    Ref packed = handle ? py::callMethod(handle.get(), nameGetData) : Ref();
    if (!packed) return false;
    if (!PyBytes_Check(packed.get()) || PyBytes_GET_SIZE(packed.get()) != 16) {
        PyErr_SetString(PyExc_SystemError, "unexpected vertex layout");
        return false;
    }
    std::memcpy(bytes, PyBytes_AS_STRING(packed.get()) + 12, 4);
    return true;
}

// Packs every colour of the table that is not packed yet.  A colour is
// packed from a copy and stored only if its entry still holds that colour;
// the table is walked again until a walk finds nothing left to pack.
bool packColours(Recording& recording, PyObject* format) {
    for (bool packedAny = true; packedAny;) {
        packedAny = false;
        for (size_t index = 0; index < recording.colours.size(); index++) {
            if (recording.colours[index].packed) continue;
            Colour colour = recording.colours[index];
            if (!packColour(colour.rgba, format, colour.bytes)) return false;
            packedAny = true;
            if (index >= recording.colours.size()) break;
            Colour& entry = recording.colours[index];
            if (!entry.packed && std::memcmp(entry.rgba, colour.rgba, sizeof colour.rgba) == 0) {
                std::memcpy(entry.bytes, colour.bytes, sizeof colour.bytes);
                entry.packed = true;
            }
        }
    }
    return true;
}

// What one build is made of, copied out of the recording.
struct Snapshot {
    Ref rows;                     // bytes: x, y, z as float32 and the packed colour, per vertex (v3cp)
    std::vector<size_t> strokes;  // index of each stroke's first vertex
    size_t count = 0;             // vertices
    float thickness = 1.0f;
};

// Copies the recording, whose colours are all packed, without any call
// that could run code in between.
bool takeSnapshot(const Recording& recording, Snapshot& out) {
    size_t count = recording.vertices.size();
    out.rows = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * 16)));
    if (!out.rows) return false;
    try {
        out.strokes = recording.strokes;
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
    }
    char* row = PyBytes_AS_STRING(out.rows.get());
    for (const Vertex& vertex : recording.vertices) {
        std::memcpy(row, &vertex.x, 4);
        std::memcpy(row + 4, &vertex.y, 4);
        std::memcpy(row + 8, &vertex.z, 4);
        std::memcpy(row + 12, recording.colours[vertex.colour].bytes, 4);
        row += 16;
    }
    out.count = count;
    out.thickness = recording.thickness;
    return true;
}

// The vertex data of a build, and in `snapshot` what it was made of.
Ref makeVertexData(Recording& recording, Snapshot& snapshot) {
    Ref format = py::callMethod(py::engine().geomVertexFormat, nameGetV3cp);
    if (!format || !packColours(recording, format.get()) || !takeSnapshot(recording, snapshot)) return {};
    Ref usage = py::getAttr(py::engine().geom, nameUHDynamic);
    if (!usage) return {};
    Ref data = py::call(py::engine().geomVertexData, {textBuiltData, format.get(), usage.get()});
    if (!data) return {};
    Ref rowCount = py::number(static_cast<long>(snapshot.count));
    if (!rowCount || !py::callAndDrop(data.get(), nameSetNumRows, {rowCount.get()})) return {};
    Ref zero = py::number(0L);
    Ref array = zero ? py::callMethod(data.get(), nameModifyArray, {zero.get()}) : Ref();
    Ref handle = array ? py::callMethod(array.get(), nameModifyHandle) : Ref();
    if (!handle || !py::callAndDrop(handle.get(), nameCopyDataFrom, {snapshot.rows.get()})) return {};
    return data;
}

// Adds the strokes of one kind (lines, or single points) to `primitive`,
// numbering vertices in recording order as the engine's build does.
bool fillPrimitive(const Snapshot& snapshot, PyObject* primitive, bool points) {
    Ref addConsecutive = py::getAttr(primitive, nameAddConsecutiveVertices);
    Ref addVertex = addConsecutive ? py::getAttr(primitive, nameAddVertex) : Ref();
    Ref close = addVertex ? py::getAttr(primitive, nameClosePrimitive) : Ref();
    if (!close) return false;
    size_t strokeCount = snapshot.strokes.size();
    for (size_t stroke = 0; stroke < strokeCount; stroke++) {
        size_t start = snapshot.strokes[stroke];
        size_t end = stroke + 1 < strokeCount ? snapshot.strokes[stroke + 1] : snapshot.count;
        if ((end - start < 2) != points) continue;
        Ref first = py::number(static_cast<long>(start));
        Ref count = first ? py::number(static_cast<long>(end - start)) : Ref();
        if (!count) return false;
        Ref added = points ? py::call(addVertex.get(), {first.get()})
                           : py::call(addConsecutive.get(), {first.get(), count.get()});
        if (!added || !py::call(close.get())) return false;
    }
    return true;
}

Ref renderState(float thickness) {
    Ref unchanged = py::getAttr(py::engine().renderModeAttrib, nameMUnchanged);
    Ref thick = unchanged ? py::number(static_cast<double>(thickness)) : Ref();
    Ref mode = thick ? py::callMethod(py::engine().renderModeAttrib, nameMake, {unchanged.get(), thick.get()}) : Ref();
    Ref vertexColour = mode ? py::callMethod(py::engine().colorAttrib, nameMakeVertex) : Ref();
    return vertexColour ? py::callMethod(py::engine().renderState, nameMake, {mode.get(), vertexColour.get()}) : Ref();
}

// One Geom per primitive kind, lines first, both sharing the vertex data.
bool addGeoms(const Snapshot& snapshot, PyObject* node, PyObject* data) {
    Ref state = renderState(snapshot.thickness);
    Ref usage = state ? py::getAttr(py::engine().geom, nameUHStatic) : Ref();
    if (!usage) return false;
    for (PyObject* kind : {py::engine().geomLinestrips, py::engine().geomPoints}) {
        Ref primitive = py::call(kind, {usage.get()});
        if (!primitive || !fillPrimitive(snapshot, primitive.get(), kind == py::engine().geomPoints)) return false;
        Ref count = py::callMethod(primitive.get(), nameGetNumVertices);
        int any = count ? py::truth(count.get()) : -1;
        if (any < 0) return false;
        if (!any) continue;
        Ref geom = py::call(py::engine().geom, {data});
        if (!geom || !py::callAndDrop(geom.get(), nameAddPrimitive, {primitive.get()}) ||
            !py::callAndDrop(node, nameAddGeom, {geom.get(), state.get()})) {
            return false;
        }
    }
    return true;
}

// What the engine's create(True) would return if it held the recording.
Ref build(Recording& recording) {
    Ref name = py::callMethod(recording.recorder.get(), nameGetName);
    Ref node = name ? py::call(py::engine().geomNode, {name.get()}) : Ref();
    if (!node) return {};
    if (recording.vertices.empty()) return node;  // the latest build's data stays
    Snapshot snapshot;
    Ref data = makeVertexData(recording, snapshot);
    if (!data) return {};
    if (!snapshot.count) return node;  // cleared meanwhile
    if (!addGeoms(snapshot, node.get(), data.get())) return {};
    recording.builtData = std::move(data);
    recording.builtCount = static_cast<long>(snapshot.count);
    return node;
}

// ---- the recorder as the pen uses it ---------------------------------------------

Ref recorderOf(PyObject* self) { return py::getAttr(self, nameLsg); }

// `self.__lsg.moveTo(*self.__mto)`, read in the order the interpreter reads
// it: the recorder, its method, then the pending move.
bool moveRecorder(PyObject* self) {
    Ref recorder = recorderOf(self);
    if (!recorder) return false;
    Recording* recording = recordingOf(recorder.get());  // lives while `recorder` is held
    Ref method;
    if (!recording && !(method = py::getAttr(recorder.get(), nameMoveTo))) return false;
    Ref pending = py::getAttr(self, nameMto);
    if (!pending) return false;
    if (recording) return recordPoint(*recording, nameMoveTo, pending.get(), false);
    return bool(starCall(method.get(), pending.get()));
}

Ref makePoint(Vertex vertex) {
    Ref coordinates = py::floats({vertex.x, vertex.y, vertex.z});
    return coordinates ? Ref::steal(PyObject_Call(py::engine().point3, coordinates.get(), nullptr)) : Ref();
}

Ref recorderPosition(PyObject* recorder) {
    if (Recording* recording = recordingOf(recorder)) {
        Vertex current;
        return recording->currentPosition(current) ? makePoint(current) : Ref();
    }
    return py::callMethod(recorder, nameGetCurrentPosition);
}

// ---- angles ------------------------------------------------------------------------

// Python's `angle % 360` then `-= 360` above 180, for a C long.
long normalizedLong(long angle) {
    long remainder = angle % 360;
    if (remainder < 0) remainder += 360;
    return remainder > 180 ? remainder - 360 : remainder;
}

// The same for a float, rounding as the interpreter's float `%` does.
double normalizedDouble(double angle) {
    double remainder = std::fmod(angle, 360.0);
    if (remainder) {
        if (remainder < 0) remainder += 360.0;
    } else {
        remainder = std::copysign(0.0, 360.0);
    }
    return remainder > 180 ? remainder - 360.0 : remainder;
}

Ref normalizeAngle(PyObject* angle) {
    Ref full = py::number(360L);
    Ref half = full ? py::number(180L) : Ref();
    if (!half) return {};
    Ref remainder = Ref::steal(PyNumber_Remainder(angle, full.get()));
    int above = remainder ? PyObject_RichCompareBool(remainder.get(), half.get(), Py_GT) : -1;
    if (above <= 0) return above < 0 ? Ref() : std::move(remainder);
    return Ref::steal(PyNumber_InPlaceSubtract(remainder.get(), full.get()));
}

// ---- fast paths ---------------------------------------------------------------------
//
// A turtle step is a handful of lookups and a little arithmetic; done call
// by call through the interpreter it costs far more than the engine work.
// For an exact Pen whose class, instance and module globals are as the
// module made them, and for plain int and float values, the steps below
// give the very same results as `Pen.forward` and the turns (`Pen.dLeft`
// and the others) of tests/reference/pen.py, without the calls.  Anything
// else takes the general path.

py::Definition penDefinition;
PyObject* originalMath = nullptr;  // strong
PyObject* originalAbs = nullptr;   // strong
PyObject *originalRadians = nullptr, *originalSin = nullptr, *originalCos = nullptr;  // strong

bool sameEntry(PyObject* dict, PyObject* name, PyObject* expected) {
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (!found && PyErr_Occurred()) PyErr_Clear();
    return found == expected;
}

// The instance dictionary, when no entry of it hides one of `methods`.
// With `stringKeys`, its keys must all be exact strings: looking up a name
// next to a key with an __eq__ of its own runs that code, which could free
// values a fast path already holds borrowed from earlier lookups.
Ref plainInstance(PyObject* self, std::initializer_list<PyObject*> methods, bool stringKeys = false) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        PyErr_Clear();
        return {};
    }
    if (!PyDict_CheckExact(dict.get())) return {};
    PyObject *key, *value;
    for (Py_ssize_t position = 0; stringKeys && PyDict_Next(dict.get(), &position, &key, &value);) {
        if (!PyUnicode_CheckExact(key)) return {};
    }
    for (PyObject* method : methods) {
        if (!sameEntry(dict.get(), method, nullptr)) return {};
    }
    return dict;
}

// `math` and `abs` as the movement would find them are the ones of import.
bool plainMath() {
    if (!originalMath) return false;
    Ref math = py::global(nameMath);
    Ref abs = math ? py::global(nameAbs) : Ref();
    if (!abs) {
        PyErr_Clear();
        return false;
    }
    if (math.get() != originalMath || abs.get() != originalAbs) return false;
    PyObject* mathDict = PyModule_GetDict(originalMath);
    return sameEntry(mathDict, nameRadians, originalRadians) && sameEntry(mathDict, nameSin, originalSin) &&
           sameEntry(mathDict, nameCos, originalCos);
}

// The pen position as three plain numbers; `fromOrigin` when asking the
// recorder will first record the origin.
bool plainPosition(PyObject* pending, Recording& recording, double position[3], bool& fromOrigin) {
    fromOrigin = false;
    if (pending == Py_None) {
        if (recording.vertices.empty()) {
            fromOrigin = true;
            position[0] = position[1] = position[2] = 0.0;
        } else {
            const Vertex& last = recording.vertices.back();
            position[0] = last.x, position[1] = last.y, position[2] = last.z;
        }
        return true;
    }
    if (!PyTuple_CheckExact(pending) || PyTuple_GET_SIZE(pending) != 3) return false;
    for (int axis = 0; axis < 3; axis++) {
        if (!py::plainNumber(PyTuple_GET_ITEM(pending, axis), position[axis])) return false;
    }
    return true;
}

py::Fast forwardFast(PyObject* self, PyObject* distance, PyObject* draw) {
    if (!penDefinition.holds(self) || !plainMath() || (draw != Py_True && draw != Py_False)) return py::Fast::General;
    double n, rotZ, rotY, position[3];
    if (!py::plainNumber(distance, n)) return py::Fast::General;
    Ref dict = plainInstance(self, {nameGetPos, nameLineTo, nameMoveTo}, true);
    if (!dict) return py::Fast::General;
    // Held, not borrowed: a key of the learner's in the dictionary may run
    // code during a later lookup that replaces these entries.
    Ref recorder = Ref::borrow(PyDict_GetItemWithError(dict.get(), nameLsg));
    Ref pending = Ref::borrow(PyDict_GetItemWithError(dict.get(), nameMto));
    Ref storedZ = Ref::borrow(PyDict_GetItemWithError(dict.get(), nameRotZAttr));
    Ref storedY = Ref::borrow(PyDict_GetItemWithError(dict.get(), nameRotYAttr));
    Recording* recording = recorder ? recordingOf(recorder.get()) : nullptr;
    bool fromOrigin;
    if (!recording || !pending || !storedZ || !storedY || !py::plainNumber(storedZ.get(), rotZ) ||
        !py::plainNumber(storedY.get(), rotY) || !std::isfinite(rotZ) || !std::isfinite(rotY) ||
        !plainPosition(pending.get(), *recording, position, fromOrigin)) {
        PyErr_Clear();
        return py::Fast::General;
    }
    Vertex origin;
    if (fromOrigin && !recording->currentPosition(origin)) return py::Fast::Failed;
    double rotZRad = rotZ * degreesToRadians, rotYRad = rotY * degreesToRadians;
    double length = std::fabs(n);
    double yzLength = std::sin(rotYRad) * length;
    double zChange = std::cos(rotYRad) * length;
    double xChange = std::cos(rotZRad) * yzLength;
    double yChange = std::sin(rotZRad) * yzLength;
    double direction = n >= 0 ? 1.0 : -1.0;
    double target[3] = {position[0] + xChange * direction, position[1] + yChange * direction,
                        position[2] + zChange * direction};
    if (draw == Py_False) {
        Ref move = py::floats({target[0], target[1], target[2]});
        return move && PyDict_SetItem(dict.get(), nameMto, move.get()) == 0 ? py::Fast::Done : py::Fast::Failed;
    }
    if (pending.get() != Py_None) {
        if (!recording->moveTo(static_cast<float>(position[0]), static_cast<float>(position[1]),
                               static_cast<float>(position[2])) ||
            PyDict_SetItem(dict.get(), nameMto, Py_None) < 0) {
            return py::Fast::Failed;
        }
    }
    bool drawn = recording->drawTo(static_cast<float>(target[0]), static_cast<float>(target[1]),
                                   static_cast<float>(target[2]));
    return drawn ? py::Fast::Done : py::Fast::Failed;
}

// `after = before + sign * by` (sign 1 or -1) when a long holds every step.
bool turnedLong(long before, long by, int sign, long& after) {
    if (sign < 0) {
        if (by == LONG_MIN) return false;
        by = -by;
    }
    if (by > 0 ? before > LONG_MAX - by : before < LONG_MIN - by) return false;
    after = before + by;
    return true;
}

// `self.<angle> += sign * n` for plain numbers.
py::Fast turnFast(PyObject* self, PyObject* storedName, PyObject* n, int sign) {
    if (!penDefinition.holds(self) || (!PyLong_CheckExact(n) && !PyFloat_CheckExact(n))) return py::Fast::General;
    Ref dict = plainInstance(self, {nameNormalizeAngle});
    if (!dict) return py::Fast::General;
    PyObject* stored = PyDict_GetItemWithError(dict.get(), storedName);
    if (!stored) {
        PyErr_Clear();
        return py::Fast::General;
    }
    Ref turned;
    if (PyLong_CheckExact(stored) && PyLong_CheckExact(n)) {
        int overflowStored, overflowN;
        long before = PyLong_AsLongAndOverflow(stored, &overflowStored);
        long by = PyLong_AsLongAndOverflow(n, &overflowN);
        long after;
        if (overflowStored || overflowN || PyErr_Occurred() || !turnedLong(before, by, sign, after)) {
            PyErr_Clear();
            return py::Fast::General;
        }
        turned = py::number(normalizedLong(after));
    } else {
        double before, by;
        if (!py::plainNumber(stored, before) || !py::plainNumber(n, by)) return py::Fast::General;
        turned = py::number(normalizedDouble(sign > 0 ? before + by : before - by));
    }
    return turned && PyDict_SetItem(dict.get(), storedName, turned.get()) == 0 ? py::Fast::Done : py::Fast::Failed;
}

// ---- Pen: line drawing -----------------------------------------------------------------

PyObject* init(py::Args args) {
    PyObject *self = args[0], *app = args[1];
    Ref lineSegs = py::global(nameLineSegs);
    Ref recorder = lineSegs ? py::call(lineSegs.get()) : Ref();
    if (!recorder || !adoptRecorder(recorder.get()) || !py::setAttr(self, nameLsg, recorder.get())) return nullptr;
    Ref render = py::getAttr(app, nameRender);
    Ref containerName = render ? py::text("linesCtn") : Ref();
    Ref container = containerName ? py::callMethod(render.get(), nameAttachNewNode, {containerName.get()}) : Ref();
    Ref heading = container ? py::number(0L) : Ref();
    Ref tilt = heading ? py::number(90L) : Ref();
    Ref one = tilt ? py::number(1L) : Ref();
    if (!one || !py::setAttr(self, nameNp, container.get()) ||
        !py::setAttr(self, nameLineNode, Py_None) || !py::setAttr(self, nameRotZAttr, heading.get()) ||
        !py::setAttr(self, nameRotYAttr, tilt.get()) || !py::setAttr(self, nameMto, Py_None) ||
        !py::setAttr(self, nameThickness, one.get())) {
        return nullptr;
    }
    return py::none();
}

PyObject* moveTo(py::Args args) {
    Ref target = py::tuple({args[1], args[2], args[3]});
    return target && py::setAttr(args[0], nameMto, target.get()) ? py::none() : nullptr;
}

PyObject* dot(py::Args args) { return moveRecorder(args[0]) ? py::none() : nullptr; }

PyObject* lineTo(py::Args args) {
    PyObject* self = args[0];
    Ref pending = py::getAttr(self, nameMto);
    if (!pending) return nullptr;
    if (pending.get() != Py_None && (!moveRecorder(self) || !py::setAttr(self, nameMto, Py_None))) return nullptr;
    Ref recorder = recorderOf(self);
    if (!recorder) return nullptr;
    if (Recording* recording = recordingOf(recorder.get())) {
        Ref point = py::tuple({args[1], args[2], args[3]});
        return point && recordPoint(*recording, nameDrawTo, point.get(), true) ? py::none() : nullptr;
    }
    return py::callAndDrop(recorder.get(), nameDrawTo, {args[1], args[2], args[3]}) ? py::none() : nullptr;
}

// Whether the engine converts `colour` without running any code of the
// learner's: only the numbers inside a tuple can run code.
bool plainColour(PyObject* colour) {
    if (!PyTuple_Check(colour)) return true;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(colour); index++) {
        PyObject* item = PyTuple_GET_ITEM(colour, index);
        if (!PyFloat_CheckExact(item) && !PyLong_CheckExact(item) && !PyBool_Check(item)) return false;
    }
    return true;
}

// The colour the recorder holds, as the engine packs it into a vertex, read
// from a one-point build of the recorder (which the pen keeps empty).
bool colourOfRecorder(PyObject* recorder, Colour& colour) {
    Ref zero = py::number(0.0);
    Ref first = zero ? py::number(0L) : Ref();
    if (!first || !py::callAndDrop(recorder, nameMoveTo, {zero.get(), zero.get(), zero.get()})) return false;
    Ref node = py::callMethod(recorder, nameCreate);
    Ref geom = node ? py::callMethod(node.get(), nameGetGeom, {first.get()}) : Ref();
    Ref data = geom ? py::callMethod(geom.get(), nameGetVertexData) : Ref();
    Ref array = data ? py::callMethod(data.get(), nameGetArray, {first.get()}) : Ref();
    Ref handle = array ? py::callMethod(array.get(), nameGetHandle) : Ref();
    Ref bytes = handle ? py::callMethod(handle.get(), nameGetData) : Ref();
    if (!bytes) return false;
    Py_ssize_t size = PyBytes_Check(bytes.get()) ? PyBytes_GET_SIZE(bytes.get()) : 0;
    if (size < 16 || size % 16) {
        PyErr_SetString(PyExc_SystemError, "unexpected vertex layout");
        return false;
    }
    std::memcpy(colour.bytes, PyBytes_AS_STRING(bytes.get()) + size - 4, 4);  // the point just made
    for (int channel = 0; channel < 4; channel++) colour.rgba[channel] = colour.bytes[channel] / 255.0f;
    colour.packed = true;
    return true;
}

// Keeps the colour as the engine converted it, for the vertices to come.  A
// colour whose conversion runs the learner's code is not converted twice:
// the engine's result is read back instead.
bool recordColour(Recording& recording, PyObject* colour) {
    Colour recorded;
    if (!plainColour(colour)) {
        if (!colourOfRecorder(recording.recorder.get(), recorded)) return false;
    } else {
        Ref converted = py::call(py::engine().vecBase4, {colour});
        if (!converted) return false;
        for (Py_ssize_t index = 0; index < 4; index++) {
            Ref component = Ref::steal(PySequence_GetItem(converted.get(), index));
            if (!component || !toFloat(component.get(), recorded.rgba[index])) return false;
        }
    }
    // Colours are numbered in the order given, so the current one has no
    // vertex unless the last vertex has it: then it is simply replaced, and
    // a pen whose colour changes every frame without drawing does not grow.
    const std::vector<Vertex>& vertices = recording.vertices;
    if (vertices.empty() || vertices.back().colour != recording.colour) {
        recording.colours[recording.colour] = recorded;
        return true;
    }
    if (!roomForOne(recording.colours)) return false;
    recording.colours.push_back(recorded);
    recording.colour = static_cast<uint32_t>(recording.colours.size() - 1);
    return true;
}

PyObject* color(py::Args args) {
    Ref recorder = recorderOf(args[0]);
    if (!recorder || !py::callAndDrop(recorder.get(), nameSetColor, {args[1]})) return nullptr;
    Recording* recording = recordingOf(recorder.get());
    if (recording && !recordColour(*recording, args[1])) return nullptr;
    return py::none();
}

PyObject* size(py::Args args) {
    PyObject *self = args[0], *n = args[1];
    Ref recorder = recorderOf(self);
    if (!recorder) return nullptr;
    Recording* recording = recordingOf(recorder.get());
    // A number of the learner's own is converted once, as the engine would
    // convert it, and the engine is given the result.
    Ref thickness = Ref::borrow(n);
    if (recording && PyNumber_Check(n) && !PyFloat_CheckExact(n) && !PyLong_CheckExact(n)) {
        double value;
        if (!py::toDouble(n, value)) return nullptr;
        thickness = py::number(value);
        if (!thickness) return nullptr;
    }
    if (!py::callAndDrop(recorder.get(), nameSetThickness, {thickness.get()})) return nullptr;
    if (recording && !toFloat(thickness.get(), recording->thickness)) return nullptr;
    return py::setAttr(self, nameThickness, n) ? py::none() : nullptr;
}

PyObject* clear(py::Args args) {
    PyObject* self = args[0];
    Ref recorder = recorderOf(self);
    if (!recorder || !py::callAndDrop(recorder.get(), nameReset)) return nullptr;
    if (Recording* recording = recordingOf(recorder.get())) recording->reset();
    Ref container = py::getAttr(self, nameNp);
    Ref children = container ? py::callMethod(container.get(), nameGetChildren) : Ref();
    Ref one = py::number(1L);
    if (!children || !one || !py::callAndDrop(children.get(), nameDetach) || !py::setAttr(self, nameMto, Py_None) ||
        !py::setAttr(self, nameThickness, one.get())) {
        return nullptr;
    }
    return py::none();
}

PyObject* update(py::Args args) {
    PyObject* self = args[0];
    Ref recorder = recorderOf(self);
    if (!recorder) return nullptr;
    Recording* recording = recordingOf(recorder.get());
    Ref geom = recording ? build(*recording) : py::callMethod(recorder.get(), nameCreate, {Py_True});
    Ref container = geom ? py::getAttr(self, nameNp) : Ref();
    Ref lineNode = container ? py::callMethod(container.get(), nameAttachNewNode, {geom.get()}) : Ref();
    return lineNode && py::setAttr(self, nameLineNode, lineNode.get()) ? py::none() : nullptr;
}

PyObject* getPos(py::Args args) {
    Ref pending = py::getAttr(args[0], nameMto);
    if (!pending) return nullptr;
    if (pending.get() != Py_None) return py::getAttr(args[0], nameMto).release();  // read again to return it
    Ref recorder = recorderOf(args[0]);
    return recorder ? recorderPosition(recorder.get()).release() : nullptr;
}

// The vertex index as the learner gave it: an int, or another number cut to one.
Ref vertexIndex(PyObject* n) {
    if (PyLong_Check(n)) return Ref::borrow(n);
    if (PyNumber_Check(n)) return Ref::steal(PyNumber_Long(n));
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "n", "int",
                 Py_TYPE(n)->tp_name);
    return {};
}

// The engine writes a vertex without checking its row, and the range test
// is made with the index's own comparisons (an int subclass may say
// anything, or rebuild the pen meanwhile): the row is checked again
// against the data it goes to.
bool rowExists(PyObject* index, long count) {
    Py_ssize_t row = PyLong_AsSsize_t(index);
    if (row == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return row >= 0 && row < count;
}

// -1 on error, 0 when `method` is the engine's own setVertex of `recorder`
// and `index` is not a row of the engine's latest build, else 1.
int engineAcceptsRow(PyObject* recorder, PyObject* method, PyObject* index) {
    static PyCFunction engineSetVertex = nullptr;
    if (!engineSetVertex) {
        Ref sample = py::call(py::engine().lineSegs);
        Ref bound = sample ? py::getAttr(sample.get(), nameSetVertex) : Ref();
        if (!bound) return -1;
        engineSetVertex = PyCFunction_Check(bound.get()) ? PyCFunction_GetFunction(bound.get()) : nullptr;
    }
    if (!PyCFunction_Check(method) || PyCFunction_GetFunction(method) != engineSetVertex ||
        PyCFunction_GetSelf(method) != recorder) {
        return 1;
    }
    Ref countMethod = py::getAttr(py::engine().lineSegs, nameGetNumVertices);
    Ref count = countMethod ? py::call(countMethod.get(), {recorder}) : Ref();
    long rows = count ? PyLong_AsLong(count.get()) : -1;
    if (rows == -1 && PyErr_Occurred()) return -1;
    return rowExists(index, rows);
}

PyObject* setVertex(py::Args args) {
    PyObject* self = args[0];
    Ref index = vertexIndex(args[1]);
    if (!index) return nullptr;
    double coordinates[3];
    for (int axis = 0; axis < 3; axis++) {
        if (!py::toDouble(args[2 + axis], coordinates[axis])) return nullptr;
    }
    Ref point = py::floats({coordinates[0], coordinates[1], coordinates[2]});
    Ref zero = point ? py::number(0L) : Ref();
    // `n >= 0 and n < self.__lsg.getNumVertices()`, then `self.__lsg.setVertex(...)`.
    int notNegative = zero ? PyObject_RichCompareBool(index.get(), zero.get(), Py_GE) : -1;
    if (notNegative <= 0) return notNegative < 0 ? nullptr : py::none();
    Ref counted = recorderOf(self);
    if (!counted) return nullptr;
    const Recording* countedRecording = recordingOf(counted.get());
    Ref count = countedRecording ? py::number(countedRecording->builtCount)
                                 : py::callMethod(counted.get(), nameGetNumVertices);
    int below = count ? PyObject_RichCompareBool(index.get(), count.get(), Py_LT) : -1;
    if (below <= 0) return below < 0 ? nullptr : py::none();
    Ref recorder = recorderOf(self);
    if (!recorder) return nullptr;
    PyObject *x = PyTuple_GET_ITEM(point.get(), 0), *y = PyTuple_GET_ITEM(point.get(), 1),
             *z = PyTuple_GET_ITEM(point.get(), 2);
    Recording* recording = recordingOf(recorder.get());
    if (!recording) {
        Ref method = py::getAttr(recorder.get(), nameSetVertex);
        int accepted = method ? engineAcceptsRow(recorder.get(), method.get(), index.get()) : -1;
        if (accepted <= 0) return accepted < 0 ? nullptr : py::none();
        return py::call(method.get(), {index.get(), x, y, z}) ? py::none() : nullptr;
    }
    // The data and its row count, held together: making the writer may run
    // code (a finalizer) that builds this pen again.
    Ref data = Ref::borrow(recording->builtData.get());
    long rows = recording->builtCount;
    if (!data || !rowExists(index.get(), rows)) return py::none();
    Ref writer = py::call(py::engine().geomVertexWriter, {data.get(), textVertexColumn});
    if (!writer || !py::callAndDrop(writer.get(), nameSetRow, {index.get()}) ||
        !py::callAndDrop(writer.get(), nameSetData3f, {x, y, z})) {
        return nullptr;
    }
    return py::none();
}

// `method(item[0], item[1], item[2])`, the method already looked up, as a
// call written out in full evaluates it (`Pen.drawPath` and `Pen.drawVec`
// of tests/reference/pen.py).
bool callWithCoordinates(PyObject* method, PyObject* item) {
    Ref x = py::getItem(item, 0);
    Ref y = x ? py::getItem(item, 1) : Ref();
    Ref z = y ? py::getItem(item, 2) : Ref();
    return z && py::call(method, {x.get(), y.get(), z.get()});
}

PyObject* drawPath(py::Args args) {
    PyObject *self = args[0], *path = args[1];
    Py_ssize_t length = PyObject_Length(path);
    if (length < 0) return nullptr;
    for (Py_ssize_t index = 0; index < length; index++) {
        Ref item = py::getItem(path, index);
        Ref method = item ? py::getAttr(self, index == 0 ? nameMoveTo : nameLineTo) : Ref();
        if (!method || !callWithCoordinates(method.get(), item.get())) return nullptr;
    }
    return py::none();
}

// ---- Pen: orientation and movement ---------------------------------------------------

PyObject* getRotZ(py::Args args) { return py::getAttr(args[0], nameRotZAttr).release(); }
PyObject* getRotY(py::Args args) { return py::getAttr(args[0], nameRotYAttr).release(); }

bool storeAngle(PyObject* self, PyObject* storedName, PyObject* value) {
    Ref normalized = py::callMethod(self, nameNormalizeAngle, {value});
    return normalized && py::setAttr(self, storedName, normalized.get());
}

PyObject* setRotZ(py::Args args) { return storeAngle(args[0], nameRotZAttr, args[1]) ? py::none() : nullptr; }
PyObject* setRotY(py::Args args) { return storeAngle(args[0], nameRotYAttr, args[1]) ? py::none() : nullptr; }

PyObject* normalizeAngleMethod(py::Args args) { return normalizeAngle(args[1]).release(); }

// `self.<property> += n` (sign 1) or `-= n` (sign -1).
PyObject* turn(PyObject* self, PyObject* angle, PyObject* storedName, PyObject* n, int sign) {
    py::Fast fast = turnFast(self, storedName, n, sign);
    if (fast != py::Fast::General) return fast == py::Fast::Done ? py::none() : nullptr;
    Ref before = py::getAttr(self, angle);
    if (!before) return nullptr;
    Ref after = Ref::steal(sign > 0 ? PyNumber_InPlaceAdd(before.get(), n) : PyNumber_InPlaceSubtract(before.get(), n));
    return after && py::setAttr(self, angle, after.get()) ? py::none() : nullptr;
}

PyObject* dLeft(py::Args args) { return turn(args[0], nameRotZ, nameRotZAttr, args[1], 1); }
PyObject* dRight(py::Args args) { return turn(args[0], nameRotZ, nameRotZAttr, args[1], -1); }
PyObject* dUp(py::Args args) { return turn(args[0], nameRotY, nameRotYAttr, args[1], -1); }
PyObject* dDown(py::Args args) { return turn(args[0], nameRotY, nameRotYAttr, args[1], 1); }

Ref absolute(PyObject* n) {
    Ref abs = py::global(nameAbs);
    return abs ? py::call(abs.get(), {n}) : Ref();
}

Ref angleInRadians(PyObject* self, PyObject* property) {
    Ref radians = py::mathFunction(nameRadians);
    Ref angle = radians ? py::getAttr(self, property) : Ref();
    return angle ? py::call(radians.get(), {angle.get()}) : Ref();
}

// `factor * abs(n)`
Ref timesLength(PyObject* factor, PyObject* n) {
    Ref length = absolute(n);
    return length ? py::multiply(factor, length.get()) : Ref();
}

// `Pen.forward` of tests/reference/pen.py, statement by statement.
PyObject* forwardGeneral(PyObject* self, PyObject* n, PyObject* draw) {
    Ref position = py::callMethod(self, nameGetPos);
    Ref current[3];
    if (!position || !py::unpack(position.get(), current, 3)) return nullptr;
    Ref rotZRad = angleInRadians(self, nameRotZ);
    Ref rotYRad = rotZRad ? angleInRadians(self, nameRotY) : Ref();
    if (!rotYRad) return nullptr;
    Ref sinY = py::mathCall(nameSin, {rotYRad.get()});
    Ref yzLength = sinY ? timesLength(sinY.get(), n) : Ref();
    Ref cosY = yzLength ? py::mathCall(nameCos, {rotYRad.get()}) : Ref();
    Ref zChange = cosY ? timesLength(cosY.get(), n) : Ref();
    Ref cosZ = zChange ? py::mathCall(nameCos, {rotZRad.get()}) : Ref();
    Ref xChange = cosZ ? py::multiply(cosZ.get(), yzLength.get()) : Ref();
    Ref sinZ = xChange ? py::mathCall(nameSin, {rotZRad.get()}) : Ref();
    Ref yChange = sinZ ? py::multiply(sinZ.get(), yzLength.get()) : Ref();
    Ref zero = yChange ? py::number(0L) : Ref();
    int forwards = zero ? PyObject_RichCompareBool(n, zero.get(), Py_GE) : -1;
    if (forwards < 0) return nullptr;
    Ref direction = py::number(forwards ? 1L : -1L);
    if (!direction) return nullptr;
    const Ref* changes[3] = {&xChange, &yChange, &zChange};
    Ref target[3];
    for (int axis = 0; axis < 3; axis++) {
        Ref step = py::multiply(changes[axis]->get(), direction.get());
        target[axis] = step ? py::add(current[axis].get(), step.get()) : Ref();
        if (!target[axis]) return nullptr;
    }
    int drawing = py::truth(draw);
    if (drawing < 0) return nullptr;
    Ref done = py::callMethod(self, drawing ? nameLineTo : nameMoveTo,
                              {target[0].get(), target[1].get(), target[2].get()});
    return done ? py::none() : nullptr;
}

PyObject* forward(py::Args args) {
    py::Fast fast = forwardFast(args[0], args[1], args[2]);
    if (fast != py::Fast::General) return fast == py::Fast::Done ? py::none() : nullptr;
    return forwardGeneral(args[0], args[1], args[2]);
}

// The target of towards(*args) in `target`; false with ValueError when the
// arguments are not a point.
bool towardsTarget(PyObject* arguments, Ref target[3]) {
    Py_ssize_t count = PyTuple_GET_SIZE(arguments);
    if (count == 3) {
        for (Py_ssize_t index = 0; index < 3; index++) target[index] = Ref::borrow(PyTuple_GET_ITEM(arguments, index));
        return true;
    }
    if (count != 1) {
        PyErr_SetString(PyExc_ValueError, towardsMessage);
        return false;
    }
    if (py::unpack(PyTuple_GET_ITEM(arguments, 0), target, 3)) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        py::raiseReplacing(PyExc_ValueError, towardsMessage);
    }
    return false;
}

// 1 when `value == 0`, 0 when not, -1 on error.
int isZero(const Ref& value) {
    Ref zero = py::number(0L);
    return zero ? PyObject_RichCompareBool(value.get(), zero.get(), Py_EQ) : -1;
}

// `Pen.towards` of tests/reference/pen.py, statement by statement.
PyObject* towards(py::Args args) {
    PyObject* self = args[0];
    Ref target[3];
    if (!towardsTarget(args[1], target)) return nullptr;
    Ref position = py::callMethod(self, nameGetPos);
    Ref current[3];
    if (!position || !py::unpack(position.get(), current, 3)) return nullptr;
    Ref delta[3];
    for (int axis = 0; axis < 3; axis++) {
        delta[axis] = py::subtract(target[axis].get(), current[axis].get());
        if (!delta[axis]) return nullptr;
    }
    Ref distance = py::rootOfSquares({delta[0].get(), delta[1].get(), delta[2].get()});
    int still = distance ? isZero(distance) : -1;
    if (still) return still < 0 ? nullptr : py::none();
    Ref headingRad = py::mathCall(nameAtan2, {delta[1].get(), delta[0].get()});
    Ref heading = headingRad ? py::mathCall(nameDegrees, {headingRad.get()}) : Ref();
    // One after the other: as arguments of one call they would be worked
    // out in no set order, the second even with the first's error pending.
    Ref flat = heading ? py::rootOfSquares({delta[0].get(), delta[1].get()}) : Ref();
    int vertical = flat ? isZero(flat) : -1;
    if (vertical < 0) return nullptr;
    Ref tilt;
    if (vertical) {
        Ref zero = py::number(0L);
        int up = zero ? PyObject_RichCompareBool(delta[2].get(), zero.get(), Py_GT) : -1;
        if (up < 0) return nullptr;
        tilt = py::number(up ? 0L : 180L);
    } else {
        Ref tiltRad = py::mathCall(nameAtan2, {flat.get(), delta[2].get()});
        tilt = tiltRad ? py::mathCall(nameDegrees, {tiltRad.get()}) : Ref();
    }
    if (!tilt || !py::setAttr(self, nameRotZ, heading.get()) || !py::setAttr(self, nameRotY, tilt.get())) {
        return nullptr;
    }
    return py::none();
}

// forward(n, draw=True), by keyword as a learner's override expects.
bool drawForward(PyObject* self, PyObject* n) {
    Ref forwardMethod = py::getAttr(self, nameForward);
    Ref keywords = forwardMethod ? py::tuple({nameDraw.get()}) : Ref();
    return keywords && py::callWithKeywords(forwardMethod.get(), {n, Py_True}, keywords.get());
}

PyObject* drawVec(py::Args args) {
    PyObject *self = args[0], *start = args[1], *vector = args[2], *arrowSize = args[3];
    Ref length = py::callMethod(vector, nameLength);
    Ref moveToMethod = length ? py::getAttr(self, nameMoveTo) : Ref();
    if (!moveToMethod || !callWithCoordinates(moveToMethod.get(), start)) return nullptr;
    Ref tip = py::add(start, vector);
    if (!tip || !py::callAndDrop(self, nameTowards, {tip.get()}) || !drawForward(self, length.get())) return nullptr;
    Ref first = py::number(150L);
    Ref next = first ? py::number(120L) : Ref();
    if (!next) return nullptr;
    for (PyObject* turnBy : {first.get(), next.get(), next.get()}) {
        if (!py::callAndDrop(self, nameDUp, {turnBy}) || !drawForward(self, arrowSize)) return nullptr;
    }
    return py::callAndDrop(self, nameUpdate) ? py::none() : nullptr;
}

const char moveToDoc[] =
    "记录移动目标位置，不立即调用__lsg.moveTo\n"
    "        防止连续moveTo产生无用的顶点，只有在lineTo时才会实际移动\n"
    "        ";
const char towardsDoc[] =
    "用提供的坐标更新画笔的rotZ和rotY属性，让画笔面向目标坐标\n"
    "        支持多种参数格式：\n"
    "        1. towards(x, y, z) - 三个独立参数\n"
    "        2. towards((x, y, z)) - 一个坐标元组\n"
    "        3. towards([x, y, z]) - 一个坐标列表\n"
    "        4. towards(LPoint3f(x, y, z)) - Panda3D的LPoint3f对象\n"
    "        ";
const char forwardDoc[] =
    "通过rotZ和rotY让画笔前进n，n的正负数表示前进和后退\n"
    "        如果draw为False，只移动不绘制线条\n"
    "        如果draw为True，移动并绘制线条\n"
    "        ";

// Keeps what the fast paths compare against: the class as defined, and
// the module globals the movement uses, as they are right after definition.
bool rememberOriginals(PyObject* cls) {
    if (!penDefinition.take(cls)) return false;
    Ref math = py::global(nameMath);
    Ref abs = math ? py::global(nameAbs) : Ref();
    if (!abs) return false;
    PyObject* mathDict = PyModule_Check(math.get()) ? PyModule_GetDict(math.get()) : nullptr;
    if (!mathDict) return true;  // no fast path without the math module
    originalRadians = Py_XNewRef(PyDict_GetItemWithError(mathDict, nameRadians));
    originalSin = Py_XNewRef(PyDict_GetItemWithError(mathDict, nameSin));
    originalCos = Py_XNewRef(PyDict_GetItemWithError(mathDict, nameCos));
    if (PyErr_Occurred()) return false;
    if (originalRadians && originalSin && originalCos) {
        originalMath = math.release();
        originalAbs = abs.release();
    }
    return true;
}

}  // namespace

bool addPen() {
    Ref cls = py::defineClass({"Pen", nullptr, nullptr, {
        py::method({"__init__", "(self, app)", nullptr, init}),
        py::method({"moveTo", "(self, x, y, z)", moveToDoc, moveTo}),
        py::method({"dot", "(self)", nullptr, dot}),
        py::method({"lineTo", "(self, x, y, z)", "绘制线条到指定位置", lineTo}),
        py::method({"color", "(self, c)", "设置画笔颜色", color}),
        py::method({"size", "(self, n)", "设置线条粗细", size}),
        py::method({"clear", "(self)", "清空画笔，重置所有状态", clear}),
        py::method({"update", "(self)", nullptr, update}),
        py::property({"rotZ", "(self)", "获取或设置Pen在其xy平面的旋转度数", getRotZ},
                     {"rotZ", "(self, value)", "设置Pen在其xy平面的旋转度数，维持在(-180,180]范围内", setRotZ}),
        py::property({"rotY", "(self)", "获取或设置Pen在其zx平面的旋转度数", getRotY},
                     {"rotY", "(self, value)", "设置Pen在其zx平面的旋转度数，维持在(-180,180]范围内", setRotY}),
        py::method({"_normalize_angle", "(self, angle)", "将角度归一化到(-180,180]范围内", normalizeAngleMethod}),
        py::method({"dLeft", "(self, n)", "让Pen左转n度，即rotZ增加n", dLeft}),
        py::method({"dRight", "(self, n)", "让Pen右转n度，即rotZ减少n度", dRight}),
        py::method({"dUp", "(self, n)", "让Pen向上抬头n度，即rotY减少n度", dUp}),
        py::method({"dDown", "(self, n)", "让Pen向下低头n度，即rotY增加n度", dDown}),
        py::method({"forward", "(self, n, draw=False)", forwardDoc, forward}),
        py::method({"getPos", "(self)", "获取当前笔头的位置", getPos}),
        py::method({"towards", "(self, *args)", towardsDoc, towards}),
        py::method({"setVertex", "(self, n, x, y, z)", "设置指定顶点的坐标", setVertex}),
        py::method({"drawPath", "(self, path)", nullptr, drawPath}),
        py::method({"drawVec", "(self, sv, dv, arsz=0.3)", nullptr, drawVec}),
    }});
    return cls && rememberOriginals(cls.get());
}
