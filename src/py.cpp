#include "py.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#if PY_VERSION_HEX >= 0x030C0000
#define MEMBER_SSIZE Py_T_PYSSIZET
#define MEMBER_OBJECT Py_T_OBJECT_EX
#define MEMBER_READONLY Py_READONLY
#else
#include <structmember.h>
#define MEMBER_SSIZE T_PYSSIZET
#define MEMBER_OBJECT T_OBJECT_EX
#define MEMBER_READONLY READONLY
#endif

namespace py {

namespace {

Name* allNames = nullptr;

PyObject* theModuleDict = nullptr;    // strong, for the life of the process
PyObject* theBuiltinsDict = nullptr;  // strong
PyObject* theModuleName = nullptr;    // strong
PyTypeObject* functionType = nullptr;

Name nameCode("__code__");
Name nameArgCount("co_argcount");
Name nameVarNames("co_varnames");
Name nameFlags("co_flags");
Name nameDefaults("__defaults__");
Name nameSignature("signature");
Name nameBuiltins("__builtins__");
Name nameLength("length");
Name nameMath("math");
Name nameSqrt("sqrt");

constexpr Py_ssize_t maxParameters = 16;
constexpr long codeHasVarargs = 0x04;  // CO_VARARGS

}  // namespace

Name::Name(const char* text) noexcept : text(text), next(allNames) { allNames = this; }

bool Name::internAll() {
    for (Name* name = allNames; name; name = name->next) {
        if (name->object) continue;
        name->object = PyUnicode_InternFromString(name->text);
        if (!name->object) return false;
    }
    return true;
}

// ---- calls -------------------------------------------------------------

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

Ref callMethod(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[maxParameters + 1];
    if (args.size() >= maxParameters) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for callMethod");
        return {};
    }
    stack[0] = self;
    size_t count = 1;
    for (PyObject* arg : args) stack[count++] = arg;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref callWithKeywords(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* keywords) {
    Py_ssize_t keywordCount = keywords ? PyTuple_GET_SIZE(keywords) : 0;
    size_t positional = args.size() - static_cast<size_t>(keywordCount);
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), positional, keywords));
}

bool callAndDrop(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
    return bool(callMethod(self, name, args));
}

bool callOn(PyObject* self, PyObject* attribute, PyObject* name, std::initializer_list<PyObject*> args) {
    Ref target = getAttr(self, attribute);
    return target && callAndDrop(target.get(), name, args);
}

Ref getAttr(PyObject* object, PyObject* name) { return Ref::steal(PyObject_GetAttr(object, name)); }

Ref getAttr(PyObject* object, PyObject* attribute, PyObject* name) {
    Ref outer = getAttr(object, attribute);
    return outer ? getAttr(outer.get(), name) : Ref();
}

bool setAttr(PyObject* object, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(object, name, value) == 0;
}

int hasAttr(PyObject* object, PyObject* name) {
    Ref value = getAttr(object, name);
    if (value) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// ---- sequences that do not check an index ------------------------------------

namespace {

PyTypeObject* uncheckedSequence = nullptr;  // strong; the engine's Filename

binaryfunc subscriptOf(PyTypeObject* type) { return type->tp_as_mapping ? type->tp_as_mapping->mp_subscript : nullptr; }

// Whether `value`'s item lookup is the unchecked type's own (a subclass may
// give its own __getitem__, which then stands).
bool readsUnchecked(PyObject* value) {
    return uncheckedSequence && PyObject_TypeCheck(value, uncheckedSequence) &&
           subscriptOf(Py_TYPE(value)) == subscriptOf(uncheckedSequence);
}

// False with an IndexError set when `object` is an unchecked sequence and
// `index` lies past its end.
bool withinUnchecked(PyObject* object, Py_ssize_t index) {
    Py_ssize_t length = uncheckedLength(object);
    if (length == -2) return false;
    if (length >= 0 && index >= length) {
        PyErr_Format(PyExc_IndexError, "%.200s index out of range", Py_TYPE(object)->tp_name);
        return false;
    }
    return true;
}

}  // namespace

bool setUncheckedSequence(PyObject* type) {
    if (!PyType_Check(type)) {
        PyErr_SetString(PyExc_TypeError, "an unchecked sequence must be a class");
        return false;
    }
    Py_XSETREF(uncheckedSequence, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
    return true;
}

Py_ssize_t uncheckedLength(PyObject* value) {
    if (!readsUnchecked(value)) return -1;
    // the class's own `length`, which a subclass cannot make lie
    Ref length = callMethod(reinterpret_cast<PyObject*>(uncheckedSequence), nameLength, {value});
    Py_ssize_t count = length ? PyLong_AsSsize_t(length.get()) : -1;
    if (count < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative length");
        return -2;
    }
    return count;
}

Ref getItem(PyObject* object, Py_ssize_t index) {
    if (!withinUnchecked(object, index)) return {};
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? Ref::steal(PyObject_GetItem(object, key.get())) : Ref();
}

Ref subscript(PyObject* object, PyObject* key) {
    // Only an int key is checked here: any other runs its own __index__
    // once, in the engine, as `object[key]` would.
    if (PyLong_Check(key) && readsUnchecked(object)) {
        Py_ssize_t index = PyLong_AsSsize_t(key);
        if (index == -1 && PyErr_Occurred()) PyErr_Clear();  // too large either way: the engine says so
        else if (!withinUnchecked(object, index)) return {};
    }
    return Ref::steal(PyObject_GetItem(object, key));
}

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(theModuleDict, name);
    if (!found && !PyErr_Occurred()) found = PyDict_GetItemWithError(theBuiltinsDict, name);
    if (!found && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(found);
}

PyObject* moduleDict() { return theModuleDict; }

Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
Ref subtract(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
Ref multiply(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }

Ref squared(PyObject* value) {
    Ref two = number(2L);
    return two ? Ref::steal(PyNumber_Power(value, two.get(), Py_None)) : Ref();
}

Ref mathFunction(PyObject* function) {
    Ref math = global(nameMath);
    return math ? getAttr(math.get(), function) : Ref();
}

Ref mathCall(PyObject* function, std::initializer_list<PyObject*> args) {
    Ref callee = mathFunction(function);
    return callee ? call(callee.get(), args) : Ref();
}

Ref rootOfSquares(std::initializer_list<PyObject*> components) {
    Ref sqrt = mathFunction(nameSqrt);
    if (!sqrt) return {};
    Ref sum;
    for (PyObject* component : components) {
        Ref square = squared(component);
        if (!square) return {};
        sum = sum ? add(sum.get(), square.get()) : std::move(square);
        if (!sum) return {};
    }
    return call(sqrt.get(), {sum.get()});
}

Ref number(double value) { return Ref::steal(PyFloat_FromDouble(value)); }
Ref number(long value) { return Ref::steal(PyLong_FromLong(value)); }
Ref text(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!result) return {};
    Py_ssize_t index = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(result.get(), index++, Py_NewRef(item));
    return result;
}

namespace {

template <typename Item, typename Make>
Ref tupleOf(std::initializer_list<Item> items, Make make) {
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!result) return {};
    Py_ssize_t index = 0;
    for (Item item : items) {
        PyObject* value = make(item);
        if (!value) return {};
        PyTuple_SET_ITEM(result.get(), index++, value);
    }
    return result;
}

}  // namespace

Ref floats(std::initializer_list<double> items) { return tupleOf(items, PyFloat_FromDouble); }

Ref integers(std::initializer_list<long> items) { return tupleOf(items, PyLong_FromLong); }

Ref concat(std::initializer_list<PyObject*> strings) {
    Ref parts = tuple(strings);
    Ref empty = parts ? text("") : Ref();
    return empty ? Ref::steal(PyUnicode_Join(empty.get(), parts.get())) : Ref();
}

bool unpack(PyObject* value, Ref* items, Py_ssize_t count) {
    if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) && PySequence_Fast_GET_SIZE(value) == count) {
        for (Py_ssize_t index = 0; index < count; index++) {
            items[index] = Ref::borrow(PySequence_Fast_GET_ITEM(value, index));
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t index = 0; index < count; index++) {
        items[index] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[index]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", count, index);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
        return false;
    }
    return !PyErr_Occurred();
}

bool toDouble(PyObject* value, double& out) {
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

bool plainNumber(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (!PyLong_CheckExact(value)) return false;
    out = PyLong_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // too large: the general path raises it where the plain code does
        return false;
    }
    return true;
}

int compare(PyObject* left, PyObject* right, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, op));
    return result ? truth(result.get()) : -1;
}

PyObject* raiseReplacing(PyObject* type, const char* message) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* handled = PyErr_GetRaisedException();
#else
    PyObject *handledType, *handled, *handledTraceback;
    PyErr_Fetch(&handledType, &handled, &handledTraceback);
    PyErr_NormalizeException(&handledType, &handled, &handledTraceback);
    if (handled && handledTraceback) PyException_SetTraceback(handled, handledTraceback);
    Py_XDECREF(handledType);
    Py_XDECREF(handledTraceback);
#endif
    Ref messageText = text(message);
    Ref replacement = messageText ? call(type, {messageText.get()}) : Ref();
    if (!replacement) {
        Py_XDECREF(handled);
        return nullptr;
    }
    if (handled) PyException_SetContext(replacement.get(), handled);  // steals
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(replacement.release());
#else
    PyErr_Restore(Py_NewRef(type), replacement.release(), nullptr);
#endif
    return nullptr;
}

// ---- the engine's own classes ------------------------------------------------

namespace {

EngineClasses engineClasses{};

}  // namespace

const EngineClasses& engine() { return engineClasses; }

bool takeEngineClasses() {
    if (engineClasses.nodePath) return true;  // a second import finds the same engine
    Ref core = Ref::steal(PyImport_ImportModule("panda3d.core"));
    if (!core) return false;
    EngineClasses taken{};
    const std::pair<PyObject**, const char*> names[] = {
        {&taken.nodePath, "NodePath"},
        {&taken.point3, "LPoint3f"},
        {&taken.vector3, "LVector3f"},
        {&taken.vecBase3, "LVecBase3f"},
        {&taken.vecBase4, "LVecBase4f"},
        {&taken.filename, "Filename"},
        {&taken.lineSegs, "LineSegs"},
        {&taken.geom, "Geom"},
        {&taken.geomNode, "GeomNode"},
        {&taken.geomVertexData, "GeomVertexData"},
        {&taken.geomVertexFormat, "GeomVertexFormat"},
        {&taken.geomVertexWriter, "GeomVertexWriter"},
        {&taken.geomLinestrips, "GeomLinestrips"},
        {&taken.geomPoints, "GeomPoints"},
        {&taken.renderState, "RenderState"},
        {&taken.renderModeAttrib, "RenderModeAttrib"},
        {&taken.colorAttrib, "ColorAttrib"},
    };
    for (const auto& [slot, name] : names) {
        *slot = PyObject_GetAttrString(core.get(), name);
        if (!*slot) {
            for (const auto& [made, unused] : names) Py_CLEAR(*made);
            return false;
        }
    }
    engineClasses = taken;
    return true;
}

// ---- the guard of the fast paths ---------------------------------------------

namespace {

// The same objects under the same names.  An unchanged namespace keeps
// its order, so the two are walked side by side; another order (a name
// removed and set again) is compared name by name.  Class namespaces hold
// only exact str keys, so no lookup here runs any code.
bool sameNamespace(PyObject* live, PyObject* copy) {
    if (!live || PyDict_GET_SIZE(live) != PyDict_GET_SIZE(copy)) return false;
    Py_ssize_t livePosition = 0, copyPosition = 0;
    PyObject *liveKey, *liveValue, *key, *value;
    bool sameOrder = true;
    while (sameOrder && PyDict_Next(copy, &copyPosition, &key, &value)) {
        if (!PyDict_Next(live, &livePosition, &liveKey, &liveValue)) return false;
        if (liveKey != key) sameOrder = false;
        else if (liveValue != value) return false;
    }
    if (sameOrder) return true;
    copyPosition = 0;
    while (PyDict_Next(copy, &copyPosition, &key, &value)) {
        if (PyDict_GetItemWithError(live, key) != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The namespace of a class a script can change (a heap type: its own dict).
PyObject* namespaceOf(PyObject* cls) { return reinterpret_cast<PyTypeObject*>(cls)->tp_dict; }

// The namespace of any class: since 3.12 the interpreter keeps a static
// builtin type's elsewhere.
Ref anyNamespace(PyObject* cls) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
#else
    return Ref::borrow(reinterpret_cast<PyTypeObject*>(cls)->tp_dict);
#endif
}

bool canChange(PyObject* cls) { return !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_IMMUTABLETYPE); }

}  // namespace

bool Definition::take(PyObject* defined) {
    PyObject* mro = reinterpret_cast<PyTypeObject*>(defined)->tp_mro;
    Ref copies = Ref::steal(PyList_New(0));
    if (!mro || !copies) return false;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(mro); index++) {
        PyObject* base = PyTuple_GET_ITEM(mro, index);
        if (!canChange(base)) continue;
        Ref copy = Ref::steal(PyDict_Copy(namespaceOf(base)));
        Ref pair = copy ? tuple({base, copy.get()}) : Ref();
        if (!pair || PyList_Append(copies.get(), pair.get()) < 0) return false;
    }
    Ref frozen = Ref::steal(PyList_AsTuple(copies.get()));
    if (!frozen) return false;
    Py_XSETREF(cls, Py_NewRef(defined));
    Py_XSETREF(namespaces, frozen.release());
    confirmedTag = 0;
    return true;
}

bool Definition::asDefined() const {
    if (!namespaces) return false;
    const PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_version_tag != 0 && type->tp_version_tag == confirmedTag) return true;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(namespaces); index++) {
        PyObject* pair = PyTuple_GET_ITEM(namespaces, index);
        if (!sameNamespace(namespaceOf(PyTuple_GET_ITEM(pair, 0)), PyTuple_GET_ITEM(pair, 1))) return false;
    }
    confirmedTag = type->tp_version_tag;
    return true;
}

bool Definition::holds(PyObject* object) const {
    PyTypeObject* type = Py_TYPE(object);
    return cls && reinterpret_cast<PyObject*>(type) == cls && type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr && asDefined();
}

bool Definition::readsOwn(PyObject* object, PyObject* name) const {
    PyTypeObject* type = Py_TYPE(object);
    if (!cls || !PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls)) ||
        type->tp_getattro != PyObject_GenericGetAttr || !type->tp_mro || !asDefined()) {
        return false;
    }
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(type->tp_mro); index++) {
        Ref dict = anyNamespace(PyTuple_GET_ITEM(type->tp_mro, index));
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        if (PyDict_GetItemWithError(dict.get(), name) || PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// ---- C++ exceptions ------------------------------------------------------

PyObject* raiseFromCxx() noexcept {
    // An error raised before the C++ one is the first error: it stands.
    if (PyErr_Occurred()) return nullptr;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();  // a container asked for more than it can hold
    } catch (const std::overflow_error& error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::out_of_range& error) {
        PyErr_SetString(PyExc_IndexError, error.what());
    } catch (const std::invalid_argument& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "C++ exception in tavik: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in tavik");
    }
    return nullptr;
}

// ---- the function type -------------------------------------------------
//
// Functions and methods of the kit are objects of one small type that
// behaves like a Python function: it binds as a method, binds arguments
// by position or keyword with the interpreter's own messages, and reports
// an exact __doc__ and a full signature.  The signature comes from a
// Python "carrier" function compiled from the parameter list at import,
// so defaults are evaluated once in the module namespace, as a def would.

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* owner;           // the defining class, or null for a module function
    PyObject* carrier;         // Python function with the same signature
    PyObject* parameterNames;  // tuple of the positional-or-keyword names
    PyObject* defaults;        // tuple, the carrier's own when it has defaults
    PyObject* dict;            // attributes a script or tool sets, made on demand
    Py_ssize_t parameterCount;
    bool hasVarargs;
};

Function* asFunction(PyObject* object) { return reinterpret_cast<Function*>(object); }

void raiseTooManyPositional(Function* function, Py_ssize_t given) {
    Py_ssize_t defaultCount = PyTuple_GET_SIZE(function->defaults);
    Py_ssize_t most = function->parameterCount;
    std::string accepted = std::to_string(most);
    if (defaultCount) accepted = "from " + std::to_string(most - defaultCount) + " to " + accepted;
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given", function->qualname,
                 accepted.c_str(), (most == 1 && !defaultCount) ? "" : "s", given, given == 1 ? "was" : "were");
}

void raiseMissing(Function* function, PyObject* const* bound) {
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) return;
    for (Py_ssize_t index = 0; index < function->parameterCount; index++) {
        if (bound[index]) continue;
        Ref quoted = Ref::steal(PyUnicode_FromFormat("'%U'", PyTuple_GET_ITEM(function->parameterNames, index)));
        if (!quoted || PyList_Append(missing.get(), quoted.get()) < 0) return;
    }
    Py_ssize_t count = PyList_GET_SIZE(missing.get());
    Ref listed;
    if (count == 1) {
        listed = Ref::borrow(PyList_GET_ITEM(missing.get(), 0));
    } else {
        Ref head = Ref::steal(PyList_GetSlice(missing.get(), 0, count - 1));
        Ref separator = text(", ");
        if (!head || !separator) return;
        Ref joined = Ref::steal(PyUnicode_Join(separator.get(), head.get()));
        if (!joined) return;
        listed = Ref::steal(PyUnicode_FromFormat("%U%s and %U", joined.get(), count > 2 ? "," : "",
                                                 PyList_GET_ITEM(missing.get(), count - 1)));
    }
    if (!listed) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", function->qualname, count,
                 count == 1 ? "" : "s", listed.get());
}

Py_ssize_t findParameter(Function* function, PyObject* keyword) {
    for (Py_ssize_t index = 0; index < function->parameterCount; index++) {
        if (PyTuple_GET_ITEM(function->parameterNames, index) == keyword) return index;
    }
    for (Py_ssize_t index = 0; index < function->parameterCount; index++) {
        int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(function->parameterNames, index), keyword, Py_EQ);
        if (equal < 0) return -2;
        if (equal) return index;
    }
    return -1;
}

// Fills `bound` with borrowed references, as the interpreter binds the
// arguments of a def: positional, then keywords, then defaults.
bool bindArguments(Function* function, PyObject* const* args, Py_ssize_t given, PyObject* keywords,
                   PyObject** bound, Ref& varargs) {
    Py_ssize_t count = function->parameterCount;
    Py_ssize_t positional = given < count ? given : count;
    for (Py_ssize_t index = 0; index < count; index++) bound[index] = index < positional ? args[index] : nullptr;
    if (function->hasVarargs) {
        varargs = Ref::steal(PyTuple_New(given > count ? given - count : 0));
        if (!varargs) return false;
        for (Py_ssize_t index = count; index < given; index++) {
            PyTuple_SET_ITEM(varargs.get(), index - count, Py_NewRef(args[index]));
        }
        bound[count] = varargs.get();
    }
    Py_ssize_t keywordCount = keywords ? PyTuple_GET_SIZE(keywords) : 0;
    for (Py_ssize_t k = 0; k < keywordCount; k++) {
        PyObject* keyword = PyTuple_GET_ITEM(keywords, k);
        Py_ssize_t index = findParameter(function, keyword);
        if (index == -2) return false;
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", function->qualname, keyword);
            return false;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", function->qualname, keyword);
            return false;
        }
        bound[index] = args[given + k];
    }
    if (given > count && !function->hasVarargs) {
        raiseTooManyPositional(function, given);
        return false;
    }
    Py_ssize_t firstDefault = count - PyTuple_GET_SIZE(function->defaults);
    bool complete = true;
    for (Py_ssize_t index = 0; index < count; index++) {
        if (bound[index]) continue;
        if (index >= firstDefault) {
            bound[index] = PyTuple_GET_ITEM(function->defaults, index - firstDefault);
        } else {
            complete = false;
        }
    }
    if (!complete) raiseMissing(function, bound);
    return complete;
}

PyObject* bindAndRun(Function* function, PyObject* const* args, size_t flags, PyObject* keywords) {
    Py_ssize_t given = PyVectorcall_NARGS(flags);
    if (!keywords && given == function->parameterCount && !function->hasVarargs) return function->impl(args);
    PyObject* bound[maxParameters + 1] = {};
    Ref varargs;
    if (!bindArguments(function, args, given, keywords, bound, varargs)) return nullptr;
    return function->impl(bound);
}

// Calls of these functions under way, one inside another.  A subclass can
// make two of them call each other (say search = findPath) with no Python
// frame in between.  Each call counts as a level of recursion like a call
// of a def, but one level can take kilobytes of C stack (several times
// more under sanitizers) and before 3.14 the interpreter's limit does not
// look at the stack, so their own nesting has a lower bound too.  Only a
// cycle of calls gets anywhere near it.
int nestedCalls = 0;
constexpr int maxNestedCalls = 400;

PyObject* Function_vectorcall(PyObject* callable, PyObject* const* args, size_t flags, PyObject* keywords) {
    if (nestedCalls >= maxNestedCalls) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    nestedCalls++;
    PyObject* result = nullptr;
    try {
        result = bindAndRun(asFunction(callable), args, flags, keywords);
    } catch (...) {
        result = raiseFromCxx();
    }
    nestedCalls--;
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* Function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

int Function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* function = asFunction(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->owner);
    Py_VISIT(function->carrier);
    Py_VISIT(function->defaults);
    Py_VISIT(function->dict);
    return 0;
}

int Function_clear(PyObject* self) {
    Function* function = asFunction(self);
    Py_CLEAR(function->owner);
    Py_CLEAR(function->carrier);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->dict);
    return 0;
}

void Function_dealloc(PyObject* self) {
    Function* function = asFunction(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Function_clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->parameterNames);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* Function_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U>", asFunction(self)->qualname); }

PyObject* Function_get_doc(PyObject* self, void*) { return Py_NewRef(asFunction(self)->doc); }

PyObject* Function_get_signature(PyObject* self, void*) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    return callMethod(inspect.get(), nameSignature, {asFunction(self)->carrier}).release();
}

// As a def's: None when no parameter has a default, else the very tuple
// of the objects evaluated at import, which the signature shows too.
PyObject* Function_get_defaults(PyObject* self, void*) {
    PyObject* defaults = asFunction(self)->defaults;
    return Py_NewRef(PyTuple_GET_SIZE(defaults) ? defaults : Py_None);
}

PyObject* Function_get_kwdefaults(PyObject* self, void*) {
    return PyObject_GetAttrString(asFunction(self)->carrier, "__kwdefaults__");
}

// No parameter is annotated; tools that read annotations get the def's.
PyObject* Function_get_annotations(PyObject* self, void*) {
    return PyObject_GetAttrString(asFunction(self)->carrier, "__annotations__");
}

// Pickled and copied by reference, as a def is: the qualified name, which
// pickle looks up in __module__ and checks to give back this very object.
PyObject* Function_reduce(PyObject* self, PyObject*) { return Py_NewRef(asFunction(self)->qualname); }

PyObject* Function_get_objclass(PyObject* self, void*) {
    PyObject* owner = asFunction(self)->owner;
    if (!owner) {
        PyErr_SetString(PyExc_AttributeError, "__objclass__");
        return nullptr;
    }
    return Py_NewRef(owner);
}

PyMemberDef functionMembers[] = {
    {"__vectorcalloffset__", MEMBER_SSIZE, offsetof(Function, vectorcall), MEMBER_READONLY, nullptr},
    {"__name__", MEMBER_OBJECT, offsetof(Function, name), MEMBER_READONLY, nullptr},
    {"__qualname__", MEMBER_OBJECT, offsetof(Function, qualname), MEMBER_READONLY, nullptr},
    {"__module__", MEMBER_OBJECT, offsetof(Function, module), MEMBER_READONLY, nullptr},
    {"__dictoffset__", MEMBER_SSIZE, offsetof(Function, dict), MEMBER_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef functionMethods[] = {
    {"__reduce__", Function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef functionGetSets[] = {
    {"__doc__", Function_get_doc, nullptr, nullptr, nullptr},
    {"__signature__", Function_get_signature, nullptr, nullptr, nullptr},
    {"__objclass__", Function_get_objclass, nullptr, nullptr, nullptr},
    {"__defaults__", Function_get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", Function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", Function_get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot functionSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(Function_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(Function_repr)},
    {Py_tp_members, functionMembers},
    {Py_tp_methods, functionMethods},
    {Py_tp_getset, functionGetSets},
    {0, nullptr},
};

PyType_Spec functionSpec = {
    "tavik.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    functionSlots,
};

// Compiles "def name<parameters>: pass" in the module namespace; the
// defaults are evaluated there and then, exactly once.
Ref makeCarrier(const char* name, const char* parameters) {
    std::string source = std::string("def ") + name + parameters + ":\n    pass\n";
    Ref code = Ref::steal(Py_CompileString(source.c_str(), "<tavik>", Py_file_input));
    Ref locals = code ? Ref::steal(PyDict_New()) : Ref();
    if (!locals) return {};
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), theModuleDict, locals.get()));
    if (!done) return {};
    return Ref::borrow(PyDict_GetItemString(locals.get(), name));
}

bool readCarrier(Function* function) {
    Ref code = getAttr(function->carrier, nameCode);
    if (!code) return false;
    Ref argCount = getAttr(code.get(), nameArgCount);
    Ref varNames = argCount ? getAttr(code.get(), nameVarNames) : Ref();
    Ref flags = varNames ? getAttr(code.get(), nameFlags) : Ref();
    Ref defaults = flags ? getAttr(function->carrier, nameDefaults) : Ref();
    if (!defaults) return false;
    function->parameterCount = PyLong_AsSsize_t(argCount.get());
    long codeFlags = PyLong_AsLong(flags.get());
    if (PyErr_Occurred()) return false;
    if (function->parameterCount >= maxParameters) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return false;
    }
    function->hasVarargs = (codeFlags & codeHasVarargs) != 0;
    function->parameterNames = PyTuple_GetSlice(varNames.get(), 0, function->parameterCount);
    function->defaults = defaults.get() == Py_None ? PyTuple_New(0) : defaults.release();
    return function->parameterNames && function->defaults;
}

Ref makeFunction(const FunctionDef& def, const char* ownerName) {
    Function* function = PyObject_GC_New(Function, functionType);
    if (!function) return {};
    Py_INCREF(functionType);
    function->vectorcall = Function_vectorcall;
    function->impl = def.impl;
    function->name = function->qualname = function->doc = nullptr;
    function->owner = function->carrier = function->parameterNames = function->defaults = function->dict = nullptr;
    function->module = Py_NewRef(theModuleName);
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(function));
    PyObject_GC_Track(function);

    function->name = PyUnicode_FromString(def.name);
    function->qualname = ownerName ? PyUnicode_FromFormat("%s.%s", ownerName, def.name) : Py_XNewRef(function->name);
    function->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    if (!function->name || !function->qualname || !function->doc) return {};
    function->carrier = makeCarrier(def.name, def.parameters).release();
    if (!function->carrier || !readCarrier(function)) return {};
    return result;
}

Ref makeProperty(const FunctionDef& getter, const FunctionDef& setter, const char* ownerName) {
    Ref get = makeFunction(getter, ownerName);
    Ref set = get ? makeFunction(setter, ownerName) : Ref();
    Ref propertyType = Ref::borrow(PyDict_GetItemString(theBuiltinsDict, "property"));
    if (!set || !propertyType) return {};
    return call(propertyType.get(), {get.get(), set.get()});
}

Ref evaluate(const char* expression) {
    return Ref::steal(PyRun_String(expression, Py_eval_input, theModuleDict, theModuleDict));
}

void adopt(PyObject* member, PyObject* owner) {
    if (Py_TYPE(member) != functionType) return;
    Function* function = asFunction(member);
    Py_XSETREF(function->owner, Py_NewRef(owner));
}

}  // namespace

// ---- classes and module functions --------------------------------------

Ref defineClass(const ClassDef& def) {
    Ref namespaceDict = Ref::steal(PyDict_New());
    Ref qualname = text(def.name);
    if (!namespaceDict || !qualname) return {};
    if (PyDict_SetItemString(namespaceDict.get(), "__module__", theModuleName) < 0 ||
        PyDict_SetItemString(namespaceDict.get(), "__qualname__", qualname.get()) < 0) {
        return {};
    }
    if (def.doc) {
        Ref doc = text(def.doc);
        if (!doc || PyDict_SetItemString(namespaceDict.get(), "__doc__", doc.get()) < 0) return {};
    }
    for (const MemberDef& member : def.members) {
        Ref made;
        switch (member.kind) {
            case MemberDef::Kind::Method: made = makeFunction(member.function, def.name); break;
            case MemberDef::Kind::Property: made = makeProperty(member.function, member.setter, def.name); break;
            case MemberDef::Kind::Value: made = member.makeValue(); break;
        }
        if (!made || PyDict_SetItemString(namespaceDict.get(), member.function.name, made.get()) < 0) return {};
    }
    Ref bases = def.bases ? evaluate(def.bases) : Ref::steal(PyTuple_New(0));
    if (bases && !PyTuple_Check(bases.get())) bases = tuple({bases.get()});
    if (!bases) return {};
    PyObject* metaclass = PyTuple_GET_SIZE(bases.get()) ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)))
                                                       : reinterpret_cast<PyObject*>(&PyType_Type);
    Ref cls = call(metaclass, {qualname.get(), bases.get(), namespaceDict.get()});
    if (!cls) return {};
    PyObject* key;
    PyObject* member;
    Py_ssize_t position = 0;
    while (PyDict_Next(namespaceDict.get(), &position, &key, &member)) {
        if (PyObject_TypeCheck(member, &PyProperty_Type)) {
            // A property's accessors belong to the class too.
            for (const char* accessor : {"fget", "fset"}) {
                Ref function = Ref::steal(PyObject_GetAttrString(member, accessor));
                if (!function) return {};
                adopt(function.get(), cls.get());
            }
        } else {
            adopt(member, cls.get());
        }
    }
    if (PyDict_SetItemString(theModuleDict, def.name, cls.get()) < 0) return {};
    return cls;
}

bool defineFunction(const FunctionDef& def) {
    Ref function = makeFunction(def, nullptr);
    return function && PyDict_SetItemString(theModuleDict, def.name, function.get()) == 0;
}

bool bindGlobal(const char* name, PyObject* value) { return PyDict_SetItemString(theModuleDict, name, value) == 0; }

bool initialize(PyObject* module) {
    if (!Name::internAll()) return false;
    if (!functionType) {
        functionType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&functionSpec));
        if (!functionType) return false;
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed, the importing frame's
    if (!builtins) return false;
    Py_XSETREF(theBuiltinsDict, Py_NewRef(builtins));
    Py_XSETREF(theModuleDict, Py_NewRef(PyModule_GetDict(module)));
    Py_XSETREF(theModuleName, PyModule_GetNameObject(module));
    if (!theModuleName) return false;
    // Where the import of a module written in Python puts it: after the
    // module's own attributes, before anything its top level binds.  The
    // code compiled here later (parameter lists, base classes) finds it
    // and adds no other.
    return PyDict_SetDefault(theModuleDict, nameBuiltins, theBuiltinsDict) != nullptr;
}

}  // namespace py
