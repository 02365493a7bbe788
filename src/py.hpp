// The shared layer for Python objects: owning references, interned names,
// calls and arithmetic, argument binding, building classes and functions
// from tables, the engine's own classes, and the guard every fast path
// takes.  Every other unit talks to the interpreter through this header.
//
// How errors travel.  Each unit is a C++ rendition of plain Python code
// (tests/reference/), and it must fail where that code fails, with the
// same exception.  Whatever can fail returns an empty Ref (or false, or
// -1) with the Python exception set; the caller passes that up unchanged.
// A run of statements is written as a chain in which each step runs only
// when the one before it gave something:
//
//     Ref math = py::global(nameMath);
//     Ref sqrt = math ? py::getAttr(math.get(), nameSqrt) : Ref();
//     Ref root = sqrt ? py::call(sqrt.get(), {value}) : Ref();
//     return root.release();  // null when any step failed
//
// Each line tests the line just above it, so after the first failure every
// later step is skipped and the last Ref is empty, with that first error
// still set: a chain reads top to bottom in the order the Python code
// evaluates it, and needs no check but the last.  Answers that can fail
// are ints: 1 (yes), 0 (no), -1 (error set), passed on as
// `if (x <= 0) return x < 0 ? nullptr : ...`.  An error is cleared only
// where the behaviour drops it, and said so beside the clearing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>

namespace py {

// An owning reference: move-only, releases in its destructor.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : object(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object); }

    // Takes over a new reference (which may be null after a failed call).
    static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const noexcept { return object; }
    PyObject* release() noexcept { return std::exchange(object, nullptr); }
    explicit operator bool() const noexcept { return object != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object, other.object); }

private:
    explicit Ref(PyObject* owned) noexcept : object(owned) {}
    PyObject* object = nullptr;
};

// An attribute or global name, interned once when the module is executed.
// Declare as a static object; `get()` never returns null after import.
class Name {
public:
    explicit Name(const char* text) noexcept;
    PyObject* get() const noexcept { return object; }
    operator PyObject*() const noexcept { return object; }

    static bool internAll();  // called once at import

private:
    const char* text;
    PyObject* object = nullptr;
    Name* next;
};

// ---- calls -------------------------------------------------------------

Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {});
Ref callMethod(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {});
// `args` holds the positional arguments followed by one value per keyword
// name; `keywords` is a tuple of those names (or null).
Ref callWithKeywords(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* keywords);

// `self.<name>(args)` with its result dropped.
bool callAndDrop(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {});
// `self.<attribute>.<name>(args)` with its result dropped: the attribute
// is read, then the method, then the call is made.
bool callOn(PyObject* self, PyObject* attribute, PyObject* name, std::initializer_list<PyObject*> args = {});

Ref getAttr(PyObject* object, PyObject* name);
// `object.<attribute>.<name>`: the first read, then the second.
Ref getAttr(PyObject* object, PyObject* attribute, PyObject* name);
bool setAttr(PyObject* object, PyObject* name, PyObject* value);
// `object[index]`; checked first for an unchecked sequence (below).
Ref getItem(PyObject* object, Py_ssize_t index);
Ref subscript(PyObject* object, PyObject* key);  // `object[key]`, checked the same way
// 1 when the attribute exists, 0 when not, -1 on another error.
int hasAttr(PyObject* object, PyObject* name);

// A module global as a function body sees it when it runs: the module
// namespace first, then builtins; NameError when neither has it.
Ref global(PyObject* name);
PyObject* moduleDict();  // borrowed; the namespace of tavik.tavik

// ---- arithmetic, with each operand's own operators ----------------------

Ref add(PyObject* a, PyObject* b);       // a + b
Ref subtract(PyObject* a, PyObject* b);  // a - b
Ref multiply(PyObject* a, PyObject* b);  // a * b
Ref squared(PyObject* value);            // value ** 2

// `math.<function>`, through the module global `math` as it is now.
Ref mathFunction(PyObject* function);
// `math.<function>(args)`, the function looked up before the call.
Ref mathCall(PyObject* function, std::initializer_list<PyObject*> args);
// `math.sqrt(a**2 + b**2 + ...)` as it is written: math.sqrt looked up
// first, then the squares summed left to right, then the call.
Ref rootOfSquares(std::initializer_list<PyObject*> components);

Ref number(double value);
Ref number(long value);
Ref text(const char* utf8);
Ref tuple(std::initializer_list<PyObject*> items);  // borrowed items
Ref floats(std::initializer_list<double> items);    // a tuple of floats
Ref integers(std::initializer_list<long> items);    // a tuple of ints
Ref concat(std::initializer_list<PyObject*> strings);  // "".join(strings)

// The engine's Filename reads an item without checking the index: past
// its end it aborts the process. The module frame names that class at
// import; getItem and subscript then refuse an int index past its end with
// an IndexError, as a str does. (It is not iterable, so nothing else reads
// it by index.)
bool setUncheckedSequence(PyObject* type);
// Its length when `value` is read through the unchecked class's own item
// lookup, -1 when it is not, -2 with an exception set.
Py_ssize_t uncheckedLength(PyObject* value);

// Unpacks an iterable into exactly `count` items as `a, b, c = value`
// does, with the interpreter's TypeError or ValueError when it cannot.
bool unpack(PyObject* value, Ref* items, Py_ssize_t count);

// Reads a Python number as a C double; false with an exception set.
bool toDouble(PyObject* value, double& out);
// A plain number as a C double: an exact float, or an exact int the
// interpreter converts without error.  False, with nothing set, for
// anything else (whose conversion might run a script's code).
bool plainNumber(PyObject* value, double& out);
// The truth of `left <op> right` as an `if` sees it (no identity shortcut,
// unlike PyObject_RichCompareBool): 1, 0, or -1 with an exception set.
int compare(PyObject* left, PyObject* right, int op);
// Returns the truth of a value: 1, 0, or -1 with an exception set.
inline int truth(PyObject* value) { return PyObject_IsTrue(value); }
inline PyObject* none() { return Py_NewRef(Py_None); }
inline PyObject* boolean(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

// Raises `type` with a UTF-8 message whose context is the exception being
// handled (as a `raise` inside an `except` block does). Returns null.
PyObject* raiseReplacing(PyObject* type, const char* message);

// Inside a `catch`: raises the Python error matching the C++ exception
// being handled (MemoryError for a failed allocation), unless a Python
// error is already set, which then stands. Returns null.
PyObject* raiseFromCxx() noexcept;

// ---- functions, methods and classes -----------------------------------

// A bound argument list: parameters in declaration order (self first for
// methods); a `*args` parameter arrives as a tuple in its place.
using Args = PyObject* const*;
using Impl = PyObject* (*)(Args);

struct FunctionDef {
    const char* name;
    const char* parameters;  // Python parameter list, e.g. "(self, x, y=0)"
    const char* doc;         // exact __doc__, or nullptr for None
    Impl impl;
};

// One row of a class body: a method, a property (getter and setter, each
// with its own docstring), or a class attribute (value built at definition).
struct MemberDef {
    enum class Kind { Method, Property, Value } kind;
    FunctionDef function;  // the method, or the property's getter
    FunctionDef setter;
    Ref (*makeValue)();
};

inline MemberDef method(FunctionDef def) { return {MemberDef::Kind::Method, def, {}, nullptr}; }
inline MemberDef property(FunctionDef getter, FunctionDef setter) {
    return {MemberDef::Kind::Property, getter, setter, nullptr};
}
inline MemberDef value(const char* name, Ref (*make)()) {
    return {MemberDef::Kind::Value, {name, nullptr, nullptr, nullptr}, {}, make};
}

struct ClassDef {
    const char* name;
    const char* bases;  // Python expression in the module namespace, or nullptr
    const char* doc;    // nullptr for None
    std::initializer_list<MemberDef> members;
};

// Defines a class (as a `class` statement would) and binds it in the module.
Ref defineClass(const ClassDef& def);
// Defines a module-level function and binds it in the module.
bool defineFunction(const FunctionDef& def);
// Binds a module global.
bool bindGlobal(const char* name, PyObject* value);

// ---- the engine's own classes -----------------------------------------
//
// Taken from panda3d.core once, at import, and kept for the life of the
// process.  Code that must do what the engine's own class does (make its
// point, build its geometry, recognise its exact objects) uses these, so a
// script that rebinds a name, in panda3d.core or in this module, changes
// nothing there.  The engine's classes cannot be changed themselves.
struct EngineClasses {
    PyObject* nodePath;
    PyObject* point3;      // LPoint3f
    PyObject* vector3;     // LVector3f
    PyObject* vecBase3;    // LVecBase3f
    PyObject* vecBase4;    // LVecBase4f
    PyObject* filename;
    PyObject* lineSegs;
    PyObject* geom;
    PyObject* geomNode;
    PyObject* geomVertexData;
    PyObject* geomVertexFormat;
    PyObject* geomVertexWriter;
    PyObject* geomLinestrips;
    PyObject* geomPoints;
    PyObject* renderState;
    PyObject* renderModeAttrib;
    PyObject* colorAttrib;
};
const EngineClasses& engine();  // valid after takeEngineClasses()
bool takeEngineClasses();       // once, at import
// Whether `object` is exactly of the engine class `type` (no subclass).
inline bool isExactly(PyObject* object, PyObject* type) {
    return reinterpret_cast<PyObject*>(Py_TYPE(object)) == type;
}

// ---- the guard of the fast paths ---------------------------------------------
//
// Some methods have a fast path beside their general one: the same result
// without the interpreter, for the case where no code of a script's could
// run or be found on the way.  Whether that is so depends first on the
// classes involved being as this module defined them.  A Definition is a
// copy of a class's namespace and of each base's that a script can change,
// taken right after the class is defined; the guard compares the live
// namespaces with it, name by name, object by object.  Every fast path
// takes this guard before anything else, so it and its general twin differ
// only in the work.
//
// The comparison is made again only after the class (or a base) may have
// changed: the interpreter gives a class a new version tag, never used
// before, after any change to it or its bases (that is what its own method
// cache trusts), so a tag seen right after a comparison that held still
// vouches for it.  A class without a tag is compared every time.
class Definition {
public:
    // Right after the class is defined (and again on a second import).
    bool take(PyObject* cls);
    PyObject* type() const { return cls; }  // borrowed
    // The class and its bases still hold the namespaces they were defined with.
    bool asDefined() const;
    // `object` is exactly of the class, and the class is as defined.
    bool holds(PyObject* object) const;
    // `object` is of the class or a subclass, the class is as defined, and
    // reading `name` from `object` finds its own attribute without running
    // any code: ordinary attribute access, and no class on its way
    // (a subclass's included) has anything of that name.
    bool readsOwn(PyObject* object, PyObject* name) const;

private:
    PyObject* cls = nullptr;         // strong; never released (it would outlive the interpreter)
    PyObject* namespaces = nullptr;  // strong; ((class, copy of its namespace), ...) along the MRO
    mutable unsigned int confirmedTag = 0;  // the class's version tag when last found as defined
};

// What a fast path did: the work (Done), or failed on the way with an
// exception set (Failed), or nothing at all, because something it met is
// not what it can answer for (General): the general path then runs from
// the start, as if the fast one had not been tried.
enum class Fast { Done, Failed, General };

bool initialize(PyObject* module);  // once, before any define*

}  // namespace py
