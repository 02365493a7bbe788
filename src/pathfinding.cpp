// Grid path finding: AStarNode, one cell, and AStar, the grid with its A*
// search on 8 neighbours (no corner cutting, octile heuristic).
//
// Every method has a general form that goes step by step through ordinary
// attribute reads and method calls, so subclasses, replaced nodes and odd
// attribute values behave as the plain algorithm (tests/reference/astar.py,
// method for method) says.  Construction and
// findPath also have native forms, taken only when nothing a script could
// have changed is in play; they give the same nodes, the same scores and
// the same lists, down to the order of ties in the open list.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "py.hpp"
#include "units.hpp"

using py::Ref;

namespace {

py::Name nameF("f");
py::Name nameG("g");
py::Name nameH("h");
py::Name nameWalkable("walkable");
py::Name nameParent("parent");
py::Name nameCostMultiplier("costMultiplier");
py::Name nameR("r");
py::Name nameC("c");
py::Name nameOpen("_open");
py::Name nameClosed("_closed");
py::Name nameEndNode("_endNode");
py::Name nameStartNode("_startNode");
py::Name namePath("_path");
py::Name nameStraightCost("_straightCost");
py::Name nameDiagCost("_diagCost");
py::Name nameNumCols("_numCols");
py::Name nameNumRows("_numRows");
py::Name nameNodes("_nodes");
py::Name nameAStarNode("AStarNode");
py::Name nameRange("range");
py::Name nameAppend("append");
py::Name nameInsert("insert");
py::Name namePop("pop");
py::Name nameSort("sort");
py::Name nameKey("key");
py::Name nameGetNode("getNode");
py::Name nameGetNumCols("getNumCols");
py::Name nameGetNumRows("getNumRows");
py::Name nameIsOpen("isOpen");
py::Name nameIsClosed("isClosed");
py::Name nameDiagonal("diagonal");
py::Name nameSortFun("sortFun");
py::Name nameSearch("search");
py::Name nameBuildPath("buildPath");

const char cycleMessage[] = "无法回溯路径：父节点形成了环，回不到起点（代价乘数或代价是否设成了负数？）";
const char tooLargeMessage[] = "网格太大，内存放不下这么多节点";

// Objects made once at import and kept for the life of the process: the
// initial values every node and grid shares.  Never destroyed: the
// references must not be released after the interpreter has gone.
struct Shared {
    Ref zero, one, straightCost, diagCost, emptyTuple;
    Ref keyOnly;  // ("key",)
};
Shared& shared = *new Shared;

// The two classes as defined, for the guard of the native build and search.
py::Definition nodeDefinition, gridDefinition;

// ---- small helpers ------------------------------------------------------------

bool setAll(PyObject* object, std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    for (const auto& [name, value] : items) {
        if (!py::setAttr(object, name, value)) return false;
    }
    return true;
}

// The truth of `value`, or -1 with an exception set.
int truthOf(const Ref& value) { return value ? py::truth(value.get()) : -1; }

// builtins.max/min of two values: the later one wins only when strictly
// greater (smaller).
Ref pick(PyObject* first, PyObject* second, int op) {
    int later = PyObject_RichCompareBool(second, first, op);
    if (later < 0) return {};
    return Ref::borrow(later ? second : first);
}

// ---- AStarNode ------------------------------------------------------------------

// The attributes in the order the constructor sets them; both ways of
// making a node go through here so every node has the same layout.
bool initNode(PyObject* node, PyObject* r, PyObject* c) {
    return setAll(node, {{nameF, shared.zero.get()}, {nameG, shared.zero.get()}, {nameH, shared.zero.get()}, {nameWalkable, Py_True},
                         {nameParent, Py_None}, {nameCostMultiplier, shared.one.get()}, {nameR, r}, {nameC, c}});
}

PyObject* nodeInit(py::Args args) { return initNode(args[0], args[1], args[2]) ? py::none() : nullptr; }

// A node made without calling the class, for the native grid build: the
// class is known to be the original, whose only method is the constructor.
Ref newNode(PyObject* r, PyObject* c) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(nodeDefinition.type());
    Ref node = Ref::steal(type->tp_new(type, shared.emptyTuple.get(), nullptr));
    if (!node || !initNode(node.get(), r, c)) return {};
    return node;
}

const char nodeDoc[] =
    "\n"
    "    节点类，代表网格中的一个单元格\n"
    "\n"
    "    Attributes:\n"
    "        f: 总代价 (f = g + h)\n"
    "        g: 从起点到当前节点的实际代价\n"
    "        h: 从当前节点到终点的估计代价\n"
    "        walkable: 是否可通行\n"
    "        parent: 父节点，用于回溯路径\n"
    "        costMultiplier: 代价乘数，可用于设置不同地形的难度\n"
    "        r, c: 节点在网格中的行和列坐标\n"
    "    ";

const char nodeInitDoc[] =
    "\n"
    "        初始化节点\n"
    "\n"
    "        Args:\n"
    "            pr: 节点所在的行\n"
    "            pc: 节点所在的列\n"
    "        ";

// ---- AStar: construction --------------------------------------------------------

// A size as range() would count it: negative sizes make no rows.
long long countOf(PyObject* size, int& overflow) {
    long long count = PyLong_AsLongLongAndOverflow(size, &overflow);
    if (overflow > 0) return 0;
    overflow = 0;
    return count < 0 ? 0 : count;
}

// ---- AStar: the memory a grid may take -------------------------------------------

// What one cell of the native build costs: its node (an object holding
// eight attributes) and its slot in the row's list.  Measured over grids
// of 500² to 2000² cells: 163 to 169 bytes on CPython 3.11, 147 to 154 on
// 3.12 and 3.13.  A little less is counted, so a grid refused would not
// have fitted; a row's own list costs at least 64 bytes more.
#if PY_VERSION_HEX >= 0x030C0000
constexpr double bytesPerCell = 144.0;
#else
constexpr double bytesPerCell = 160.0;
#endif
constexpr double bytesPerRow = 64.0;

// Below this many bytes a grid is built without asking first: a failure
// would be no different from any other small allocation.
constexpr double probeFrom = double(1 << 26);
constexpr double unlimited = HUGE_VAL;

#if defined(__unix__) || defined(__APPLE__)
// What is in use, in bytes, of what a resource limit counts: the address
// space (`field` 0 of /proc/self/statm) or the data segment (5).  Zero
// where the system does not say.
double inUse(int field) {
    std::ifstream statm("/proc/self/statm");
    double pages = 0;
    for (int index = 0; index <= field; index++) {
        if (!(statm >> pages)) return 0.0;
    }
    return pages * double(sysconf(_SC_PAGESIZE));
}

// The room the soft limit `resource` leaves above what is in use.
double roomUnder(int resource, int usageField) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return unlimited;
    return double(limit.rlim_cur) - inUse(usageField);
}
#endif

#ifdef __linux__
// The number a control group file holds, or `otherwise` ("max", or no
// such file).
double readBytes(const std::string& path, double otherwise) {
    std::ifstream file(path);
    double value;
    return file >> value ? value : otherwise;
}

// The room the memory limits of the process's control group and of its
// ancestors leave (cgroup v2, or the memory controller of v1), as far as
// they can be read.
double roomInControlGroup() {
    struct Hierarchy {
        const char* prefix;  // of the process's line in /proc/self/cgroup
        const char* root;
        const char* limitFile;
        const char* usageFile;
    };
    const Hierarchy hierarchies[] = {{"0::", "/sys/fs/cgroup", "memory.max", "memory.current"},
                                     {":memory:", "/sys/fs/cgroup/memory", "memory.limit_in_bytes",
                                      "memory.usage_in_bytes"}};
    double room = unlimited;
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
        for (const Hierarchy& hierarchy : hierarchies) {
            size_t found = line.find(hierarchy.prefix);
            if (found == std::string::npos || (hierarchy.prefix[0] == '0' && found != 0)) continue;
            std::string group = line.substr(found + std::strlen(hierarchy.prefix));
            for (;;) {
                std::string directory = hierarchy.root + (group == "/" ? std::string() : group) + "/";
                double limit = readBytes(directory + hierarchy.limitFile, unlimited);
                if (limit != unlimited) room = std::min(room, limit - readBytes(directory + hierarchy.usageFile, 0.0));
                size_t slash = group.find_last_of('/');
                if (group.empty() || group == "/" || slash == std::string::npos) break;
                group = slash == 0 ? "/" : group.substr(0, slash);
            }
        }
    }
    return room;
}
#endif

// How much more memory the process may take before one of its own limits
// stops it: the address-space and data limits, and its control group's.
// Memory the system as a whole cannot give is left to the allocator.
double memoryRoom() {
    double room = unlimited;
#if defined(__unix__) || defined(__APPLE__)
    room = std::min(roomUnder(RLIMIT_AS, 0), roomUnder(RLIMIT_DATA, 5));
#endif
#ifdef __linux__
    room = std::min(room, roomInControlGroup());
#endif
    return room;
}

// No grid bigger than the memory the process can have is built; asking
// for one fails at once instead of after the memory has run out (or the
// system has stopped the process for taking it).  Beyond what the address
// space or the process's limits allow the answer is plain; below that, the
// allocator is asked for the whole grid in one piece (and given it back
// untouched), which it refuses when the system cannot provide it.
bool countsFit(long long cols, long long rows, bool colsOverflow, bool rowsOverflow) {
    double needed = double(cols) * (bytesPerRow + bytesPerCell * double(rows > 0 ? rows : 0));
    bool fits = !colsOverflow && !(cols > 0 && rowsOverflow) && needed <= double(PY_SSIZE_T_MAX);
    if (fits && needed >= probeFrom) {
        fits = needed <= memoryRoom();
        void* probe = fits ? PyMem_RawMalloc(size_t(needed)) : nullptr;
        fits = probe != nullptr;
        PyMem_RawFree(probe);
    }
    if (!fits) PyErr_SetString(PyExc_MemoryError, tooLargeMessage);
    return fits;
}

// The sizes are ints (or bools).
bool fitsInMemory(PyObject* numCols, PyObject* numRows) {
    int colsOverflow = 0, rowsOverflow = 0;
    long long cols = countOf(numCols, colsOverflow);
    if (PyErr_Occurred()) return false;
    long long rows = countOf(numRows, rowsOverflow);
    if (PyErr_Occurred()) return false;
    return countsFit(cols, rows, colsOverflow, rowsOverflow);
}

// The same guard for sizes that are not ints but give them through
// __index__: the ranges the build made already hold the counts, so
// reading them runs no more of the script's code.  Other objects in
// place of range are left to themselves.
bool rangesFit(PyObject* outer, PyObject* inner) {
    if (Py_TYPE(outer) != &PyRange_Type || Py_TYPE(inner) != &PyRange_Type) return true;
    long long counts[2];
    bool overflow[2];
    PyObject* ranges[2] = {outer, inner};
    for (int k = 0; k < 2; k++) {
        Py_ssize_t length = PyObject_Size(ranges[k]);
        overflow[k] = length < 0;
        if (overflow[k]) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
        }
        counts[k] = overflow[k] ? 0 : length;
    }
    return countsFit(counts[0], counts[1], overflow[0], overflow[1]);
}

// The grid as `AStar.__init__` of tests/reference/astar.py builds it:
// ranges over the attributes, one call of the module's AStarNode per cell.
bool buildGeneral(PyObject* self) {
    Ref range = py::global(nameRange);
    Ref numCols = range ? py::getAttr(self, nameNumCols) : Ref();
    Ref outer = numCols ? py::call(range.get(), {numCols.get()}) : Ref();
    Ref rowsIterator = outer ? Ref::steal(PyObject_GetIter(outer.get())) : Ref();
    if (!rowsIterator) return false;
    while (Ref i = Ref::steal(PyIter_Next(rowsIterator.get()))) {
        Ref row = Ref::steal(PyList_New(0));
        range = row ? py::global(nameRange) : Ref();
        Ref numRows = range ? py::getAttr(self, nameNumRows) : Ref();
        Ref inner = numRows ? py::call(range.get(), {numRows.get()}) : Ref();
        Ref columns = inner && rangesFit(outer.get(), inner.get()) ? Ref::steal(PyObject_GetIter(inner.get())) : Ref();
        if (!columns) return false;
        while (Ref j = Ref::steal(PyIter_Next(columns.get()))) {
            Ref nodeClass = py::global(nameAStarNode);
            Ref node = nodeClass ? py::call(nodeClass.get(), {i.get(), j.get()}) : Ref();
            if (!node || PyList_Append(row.get(), node.get()) < 0) return false;
        }
        if (PyErr_Occurred()) return false;
        Ref nodes = py::getAttr(self, nameNodes);
        if (!nodes || !py::callMethod(nodes.get(), nameAppend, {row.get()})) return false;
    }
    return !PyErr_Occurred();
}

// The same grid made natively; the column numbers are shared by all rows,
// and made only when there is a row to hold them: a grid without rows
// costs nothing, whatever the other size says.
bool buildNative(PyObject* nodes, Py_ssize_t numCols, Py_ssize_t numRows) {
    if (numCols <= 0) return true;
    std::vector<Ref> columns;
    columns.reserve(size_t(std::max<Py_ssize_t>(numRows, 0)));
    for (Py_ssize_t j = 0; j < numRows; j++) {
        columns.push_back(Ref::steal(PyLong_FromSsize_t(j)));
        if (!columns.back()) return false;
    }
    for (Py_ssize_t i = 0; i < numCols; i++) {
        Ref r = Ref::steal(PyLong_FromSsize_t(i));
        Ref row = r ? Ref::steal(PyList_New(std::max<Py_ssize_t>(numRows, 0))) : Ref();
        if (!row) return false;
        for (Py_ssize_t j = 0; j < numRows; j++) {
            Ref node = newNode(r.get(), columns[size_t(j)].get());
            if (!node) return false;
            PyList_SET_ITEM(row.get(), j, node.release());
        }
        if (PyList_Append(nodes, row.get()) < 0) return false;
    }
    return true;
}

// The native build applies when the module's AStarNode and range are the
// originals, the node class is as defined, and the sizes are plain ints.
bool nativeBuildApplies(PyObject* numCols, PyObject* numRows, PyObject* nodes) {
    if (!nodeDefinition.asDefined() || !PyLong_CheckExact(numCols) || !PyLong_CheckExact(numRows) ||
        !PyList_CheckExact(nodes)) {
        return false;
    }
    // Without a module AStarNode the general build fails where the plain
    // one does: at the first node, so a grid with no cells still stands.
    Ref nodeClass = py::global(nameAStarNode);
    Ref range = nodeClass ? py::global(nameRange) : Ref();
    if (!range) {
        PyErr_Clear();
        return false;
    }
    return nodeClass.get() == nodeDefinition.type() && range.get() == reinterpret_cast<PyObject*>(&PyRange_Type);
}

bool buildGrid(PyObject* self) {
    // Only for the original class as defined can the attributes be read
    // ahead of the build without running any code of the script's.
    if (!gridDefinition.holds(self)) return buildGeneral(self);
    Ref numCols = py::getAttr(self, nameNumCols);
    Ref numRows = numCols ? py::getAttr(self, nameNumRows) : Ref();
    Ref nodes = numRows ? py::getAttr(self, nameNodes) : Ref();
    if (!nodes) return false;
    if (PyLong_Check(numCols.get()) && PyLong_Check(numRows.get()) && !fitsInMemory(numCols.get(), numRows.get())) {
        return false;
    }
    if (!nativeBuildApplies(numCols.get(), numRows.get(), nodes.get())) return buildGeneral(self);
    // Many small objects are made at once; collecting in between finds
    // nothing to free, so the collector waits until the grid stands.
    int overflow = 0;
    Py_ssize_t cols = Py_ssize_t(countOf(numCols.get(), overflow));
    Py_ssize_t rows = Py_ssize_t(countOf(numRows.get(), overflow));
    int collecting = PyGC_Disable();
    bool built = buildNative(nodes.get(), cols, rows);
    if (collecting) PyGC_Enable();
    return built;
}

PyObject* gridInit(py::Args args) {
    PyObject* self = args[0];
    Ref nodes = Ref::steal(PyList_New(0));
    if (!nodes) return nullptr;
    if (!setAll(self, {{nameOpen, Py_None},
                       {nameClosed, Py_None},
                       {nameEndNode, Py_None},
                       {nameStartNode, Py_None},
                       {namePath, Py_None},
                       {nameStraightCost, shared.straightCost.get()},
                       {nameDiagCost, shared.diagCost.get()},
                       {nameNumCols, args[1]},
                       {nameNumRows, args[2]},
                       {nameNodes, nodes.get()}})) {
        return nullptr;
    }
    return buildGrid(self) ? py::none() : nullptr;
}

// ---- AStar: accessors -----------------------------------------------------------

Ref nodeAt(PyObject* self, PyObject* r, PyObject* c) {
    Ref nodes = py::getAttr(self, nameNodes);
    Ref row = nodes ? py::subscript(nodes.get(), r) : Ref();
    return row ? py::subscript(row.get(), c) : Ref();
}

PyObject* getNode(py::Args args) { return nodeAt(args[0], args[1], args[2]).release(); }

PyObject* setStartNode(py::Args args) {
    Ref node = nodeAt(args[0], args[1], args[2]);
    return node && py::setAttr(args[0], nameStartNode, node.get()) ? py::none() : nullptr;
}

PyObject* getStartNode(py::Args args) { return py::getAttr(args[0], nameStartNode).release(); }

PyObject* setEndNode(py::Args args) {
    Ref node = nodeAt(args[0], args[1], args[2]);
    return node && py::setAttr(args[0], nameEndNode, node.get()) ? py::none() : nullptr;
}

PyObject* getEndNode(py::Args args) { return py::getAttr(args[0], nameEndNode).release(); }

PyObject* setWalkable(py::Args args) {
    Ref node = nodeAt(args[0], args[1], args[2]);
    return node && py::setAttr(node.get(), nameWalkable, args[3]) ? py::none() : nullptr;
}

PyObject* getNumCols(py::Args args) { return py::getAttr(args[0], nameNumCols).release(); }
PyObject* getNumRows(py::Args args) { return py::getAttr(args[0], nameNumRows).release(); }
PyObject* getPath(py::Args args) { return py::getAttr(args[0], namePath).release(); }

bool identityEquality(PyObject* object) {
    return Py_TYPE(object)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// Membership by linear scan: the length once, then entry k of the list as
// the attribute holds it at that moment, compared by equality.  While no
// code of the script's has run, the attribute cannot have changed and is
// not read again.
PyObject* contains(PyObject* self, PyObject* listName, PyObject* node) {
    Ref list = py::getAttr(self, listName);
    if (!list) return nullptr;
    Py_ssize_t length = PyObject_Size(list.get());
    if (length < 0) return nullptr;
    bool untouched = gridDefinition.readsOwn(self, listName) && PyList_CheckExact(list.get()) && identityEquality(node);
    for (Py_ssize_t k = 0; k < length; k++) {
        if (!untouched) {
            list = py::getAttr(self, listName);
            if (!list) return nullptr;
        }
        Ref entry = PyList_CheckExact(list.get()) ? Ref::borrow(PyList_GetItem(list.get(), k))
                                                   : py::getItem(list.get(), k);
        if (!entry) return nullptr;
        if (untouched && identityEquality(entry.get())) {
            if (entry.get() == node) return py::boolean(true);
            continue;
        }
        untouched = false;
        int equal = py::compare(entry.get(), node, Py_EQ);
        if (equal < 0) return nullptr;
        if (equal) return py::boolean(true);
    }
    return py::boolean(false);
}

PyObject* isOpen(py::Args args) { return contains(args[0], nameOpen, args[1]); }
PyObject* isClosed(py::Args args) { return contains(args[0], nameClosed, args[1]); }

// ---- AStar: the general search --------------------------------------------------

PyObject* sortFun(py::Args args) { return py::getAttr(args[1], nameF).release(); }

// `AStar.diagonal` of tests/reference/astar.py: `abs(node.r -
// self._endNode.r)` and the same for c, the node's coordinate read before
// the end node is looked up.
PyObject* diagonal(py::Args args) {
    PyObject *self = args[0], *node = args[1];
    Ref nodeR = py::getAttr(node, nameR);
    Ref end = nodeR ? py::getAttr(self, nameEndNode) : Ref();
    Ref endR = end ? py::getAttr(end.get(), nameR) : Ref();
    Ref differenceR = endR ? py::subtract(nodeR.get(), endR.get()) : Ref();
    Ref dx = differenceR ? Ref::steal(PyNumber_Absolute(differenceR.get())) : Ref();
    Ref nodeC = dx ? py::getAttr(node, nameC) : Ref();
    Ref end2 = nodeC ? py::getAttr(self, nameEndNode) : Ref();
    Ref endC = end2 ? py::getAttr(end2.get(), nameC) : Ref();
    Ref differenceC = endC ? py::subtract(nodeC.get(), endC.get()) : Ref();
    Ref dy = differenceC ? Ref::steal(PyNumber_Absolute(differenceC.get())) : Ref();
    Ref diag = dy ? pick(dx.get(), dy.get(), Py_LT) : Ref();
    Ref straight = diag ? py::add(dx.get(), dy.get()) : Ref();
    Ref diagCost = straight ? py::getAttr(self, nameDiagCost) : Ref();
    Ref diagPart = diagCost ? py::multiply(diagCost.get(), diag.get()) : Ref();
    Ref straightCost = diagPart ? py::getAttr(self, nameStraightCost) : Ref();
    Ref two = straightCost ? py::number(2L) : Ref();
    Ref twice = two ? py::multiply(two.get(), diag.get()) : Ref();
    Ref rest = twice ? py::subtract(straight.get(), twice.get()) : Ref();
    Ref straightPart = rest ? py::multiply(straightCost.get(), rest.get()) : Ref();
    return straightPart ? py::add(diagPart.get(), straightPart.get()).release() : nullptr;
}

// Calls `body(i)` for each i of range(start, stop) as Python ints;
// returns false with an exception set when either fails.
template <typename Body>
bool forRange(PyObject* start, PyObject* stop, Body body) {
    Ref first = Ref::steal(PyNumber_Index(start));
    Ref last = first ? Ref::steal(PyNumber_Index(stop)) : Ref();
    Ref one = last ? py::number(1L) : Ref();
    if (!one) return false;
    for (Ref i = std::move(first);;) {
        int inside = PyObject_RichCompareBool(i.get(), last.get(), Py_LT);
        if (inside < 0) return false;
        if (!inside) return true;
        if (!body(i.get())) return false;
        i = py::add(i.get(), one.get());
        if (!i) return false;
    }
}

// `self.getNode(first.r, second.c).walkable`: 1, 0 or -1.
int walkableAt(PyObject* self, PyObject* first, PyObject* second) {
    Ref getNode = py::getAttr(self, nameGetNode);
    Ref r = getNode ? py::getAttr(first, nameR) : Ref();
    Ref c = r ? py::getAttr(second, nameC) : Ref();
    Ref cell = c ? py::call(getNode.get(), {r.get(), c.get()}) : Ref();
    return cell ? truthOf(py::getAttr(cell.get(), nameWalkable)) : -1;
}

// The `continue` test of the inner loop of `AStar.search`
// (tests/reference/astar.py): 1 when the candidate is skipped, 0 when not.
int skipCandidate(PyObject* self, PyObject* node, PyObject* test) {
    if (test == node) return 1;
    int walkable = truthOf(py::getAttr(test, nameWalkable));
    if (walkable <= 0) return walkable < 0 ? -1 : 1;
    for (int corner = 0; corner < 2; corner++) {
        int open = corner == 0 ? walkableAt(self, node, test) : walkableAt(self, test, node);
        if (open <= 0) return open < 0 ? -1 : 1;
    }
    return 0;
}

// Cost of the step from `node` to `test`, read from the grid's attributes.
Ref stepCost(PyObject* self, PyObject* node, PyObject* test) {
    Ref cost = py::getAttr(self, nameStraightCost);
    if (!cost) return {};
    for (PyObject* name : {nameR.get(), nameC.get()}) {
        Ref mine = py::getAttr(node, name);
        Ref theirs = mine ? py::getAttr(test, name) : Ref();
        int same = theirs ? py::compare(mine.get(), theirs.get(), Py_EQ) : -1;
        if (same < 0) return {};
        if (same) return cost;
    }
    return py::getAttr(self, nameDiagCost);
}

bool setScores(PyObject* test, PyObject* f, PyObject* g, PyObject* h, PyObject* parent) {
    return setAll(test, {{nameF, f}, {nameG, g}, {nameH, h}, {nameParent, parent}});
}

// The rest of the inner loop of `AStar.search` (tests/reference/astar.py)
// for one candidate that is not skipped: its cost and scores, then the
// open and closed lists.
bool examine(PyObject* self, PyObject* node, PyObject* test) {
    Ref cost = stepCost(self, node, test);
    Ref nodeG = cost ? py::getAttr(node, nameG) : Ref();
    Ref multiplier = nodeG ? py::getAttr(test, nameCostMultiplier) : Ref();
    Ref stepG = multiplier ? py::multiply(cost.get(), multiplier.get()) : Ref();
    Ref g = stepG ? py::add(nodeG.get(), stepG.get()) : Ref();
    Ref h = g ? py::callMethod(self, nameDiagonal, {test}) : Ref();
    Ref f = h ? py::add(g.get(), h.get()) : Ref();
    int known = f ? truthOf(py::callMethod(self, nameIsOpen, {test})) : -1;
    if (known == 0) known = truthOf(py::callMethod(self, nameIsClosed, {test}));
    if (known < 0) return false;
    if (known) {
        Ref testF = py::getAttr(test, nameF);
        int better = testF ? py::compare(testF.get(), f.get(), Py_GT) : -1;
        if (better < 0) return false;
        return !better || setScores(test, f.get(), g.get(), h.get(), node);
    }
    if (!setScores(test, f.get(), g.get(), h.get(), node)) return false;
    Ref open = py::getAttr(self, nameOpen);
    return open && py::callMethod(open.get(), nameAppend, {test});
}

// The two loops over the clipped 3x3 window around `node`, as in
// `AStar.search` of tests/reference/astar.py.
bool expand(PyObject* self, PyObject* node) {
    Ref bounds[4];
    for (int axis = 0; axis < 2; axis++) {
        PyObject* coordinate = axis == 0 ? nameR.get() : nameC.get();
        Ref one = py::number(1L);
        Ref zero = one ? py::number(0L) : Ref();
        Ref low = zero ? py::getAttr(node, coordinate) : Ref();
        Ref below = low ? py::subtract(low.get(), one.get()) : Ref();
        bounds[2 * axis] = below ? pick(zero.get(), below.get(), Py_GT) : Ref();
        Ref extent = bounds[2 * axis] ? py::callMethod(self, axis == 0 ? nameGetNumCols : nameGetNumRows) : Ref();
        Ref lastIndex = extent ? py::subtract(extent.get(), one.get()) : Ref();
        Ref high = lastIndex ? py::getAttr(node, coordinate) : Ref();
        Ref above = high ? py::add(high.get(), one.get()) : Ref();
        bounds[2 * axis + 1] = above ? pick(lastIndex.get(), above.get(), Py_LT) : Ref();
        if (!bounds[2 * axis + 1]) return false;
    }
    Ref one = py::number(1L);
    Ref stopR = one ? py::add(bounds[1].get(), one.get()) : Ref();
    if (!stopR) return false;
    return forRange(bounds[0].get(), stopR.get(), [&](PyObject* i) {
        Ref stopC = py::add(bounds[3].get(), one.get());
        return stopC && forRange(bounds[2].get(), stopC.get(), [&](PyObject* j) {
                   Ref test = py::callMethod(self, nameGetNode, {i, j});
                   int skip = test ? skipCandidate(self, node, test.get()) : -1;
                   return skip == 1 || (skip == 0 && examine(self, node, test.get()));
               });
    });
}

// The loop of `AStar.search` (tests/reference/astar.py); 1 when the end
// was reached, 0 when the open list ran empty, -1 with an exception set.
int searchGeneral(PyObject* self) {
    Ref node = py::getAttr(self, nameStartNode);
    if (!node) return -1;
    for (;;) {
        Ref end = py::getAttr(self, nameEndNode);
        int away = end ? py::compare(node.get(), end.get(), Py_NE) : -1;
        if (away <= 0) break;
        if (!expand(self, node.get())) return -1;
        Ref closed = py::getAttr(self, nameClosed);
        if (!closed || !py::callMethod(closed.get(), nameAppend, {node.get()})) return -1;
        Ref open = py::getAttr(self, nameOpen);
        Py_ssize_t waiting = open ? PyObject_Size(open.get()) : -1;
        if (waiting < 0) return -1;
        if (waiting == 0) return 0;
        open = py::getAttr(self, nameOpen);
        Ref sort = open ? py::getAttr(open.get(), nameSort) : Ref();
        Ref key = sort ? py::getAttr(self, nameSortFun) : Ref();
        Ref sorted = key ? py::callWithKeywords(sort.get(), {key.get()}, shared.keyOnly.get()) : Ref();
        Ref openAgain = sorted ? py::getAttr(self, nameOpen) : Ref();
        node = openAgain ? py::callMethod(openAgain.get(), namePop, {shared.zero.get()}) : Ref();
        if (!node) return -1;
    }
    if (PyErr_Occurred()) return -1;
    return py::callMethod(self, nameBuildPath) ? 1 : -1;
}

PyObject* search(py::Args args) {
    int found = searchGeneral(args[0]);
    return found < 0 ? nullptr : py::boolean(found);
}

// `AStar.buildPath` of tests/reference/astar.py, guard included: parent
// links that lead round in a loop (only negative costs can make one) raise
// instead of walking for ever.
PyObject* buildPath(py::Args args) {
    PyObject* self = args[0];
    Ref path = Ref::steal(PyList_New(0));
    if (!path || !py::setAttr(self, namePath, path.get())) return nullptr;
    Ref node = py::getAttr(self, nameEndNode);
    Ref current = node ? py::getAttr(self, namePath) : Ref();
    if (!current || !py::callMethod(current.get(), nameAppend, {node.get()})) return nullptr;
    std::unordered_set<PyObject*> seen{node.get()};  // the path keeps them alive
    for (;;) {
        Ref start = py::getAttr(self, nameStartNode);
        if (!start) return nullptr;
        if (node.get() == start.get()) return py::none();
        node = py::getAttr(node.get(), nameParent);
        if (!node) return nullptr;
        if (!seen.insert(node.get()).second) {
            PyErr_SetString(PyExc_ValueError, cycleMessage);
            return nullptr;
        }
        Ref list = py::getAttr(self, namePath);
        if (!list || !py::callMethod(list.get(), nameInsert, {shared.zero.get(), node.get()})) return nullptr;
    }
}

// `AStar.findPath` of tests/reference/astar.py from the start node's
// scores on.
PyObject* prepareAndSearch(PyObject* self) {
    Ref start = py::getAttr(self, nameStartNode);
    if (!start || !py::setAttr(start.get(), nameG, shared.zero.get())) return nullptr;
    Ref diagonal = py::getAttr(self, nameDiagonal);
    Ref start2 = diagonal ? py::getAttr(self, nameStartNode) : Ref();
    Ref h = start2 ? py::call(diagonal.get(), {start2.get()}) : Ref();
    Ref start3 = h ? py::getAttr(self, nameStartNode) : Ref();
    if (!start3 || !py::setAttr(start3.get(), nameH, h.get())) return nullptr;
    Ref start4 = py::getAttr(self, nameStartNode);
    Ref g = start4 ? py::getAttr(start4.get(), nameG) : Ref();
    Ref start5 = g ? py::getAttr(self, nameStartNode) : Ref();
    Ref h2 = start5 ? py::getAttr(start5.get(), nameH) : Ref();
    Ref f = h2 ? py::add(g.get(), h2.get()) : Ref();
    Ref start6 = f ? py::getAttr(self, nameStartNode) : Ref();
    if (!start6 || !py::setAttr(start6.get(), nameF, f.get())) return nullptr;
    return py::callMethod(self, nameSearch).release();
}

// ---- AStar: the native search ----------------------------------------------------
//
// The open list is sorted stably by f before every removal, and a node
// whose f improves keeps its place, so among equal f the order is the
// order the list had before the sort.  That order is (f, stamp): stamps
// grow over the search, and a node gets a new one whenever it enters the
// list or its f improves.  Within one expansion the improved nodes take
// theirs first, in their previous (f, stamp) order, which is the order
// they stood in; then the new nodes, in the order they were appended.
// Proof sketch: take A and B of equal f at a sort.  If neither changed
// since the previous sort, their order is the previous one (induction).
// If only B changed (improved or appended), its old f was larger or it
// was not there, so it stood behind A, and its new stamp is larger.  If
// both changed, the rule above gives exactly their list order.

enum : uint8_t { Unseen = 0, Opened = 1, Closed = 2 };
// Per cell: whether its node was read, and what was found.  A node the
// native search cannot answer for (another class, moved coordinates, a
// value whose truth or product would run the script's code) is marked
// odd; only when the search needs it does the native search give up.
enum : uint8_t { Loaded = 1, Odd = 2, Walkable = 4, OddMultiplier = 8, IntegerG = 16, HasParent = 32 };

// Nodes are read a short run of a row at a time: the run lies together in
// memory, and the search usually needs its neighbours soon after.
constexpr Py_ssize_t loadRun = 64;

// h is not kept: the heuristic gives the same double every time.
struct Cell {
    double f, g, multiplier;
    int32_t parent;
    int32_t heapIndex;
    int32_t held;  // index of the node in Search::nodes
    uint64_t stamp;
    uint8_t state;
    uint8_t flags;
};

struct Search {
    Py_ssize_t numCols = 0, numRows = 0;
    std::vector<Ref> rows;  // the inner lists of the grid
    double straightCost = 0, diagCost = 0;
    int32_t endR = 0, endC = 0, start = 0, end = 0;
    Cell* cells = nullptr;
    std::vector<Ref> nodes;        // every node looked at, kept alive
    std::vector<int32_t> reached;  // cells whose scores were written
    std::vector<int32_t> closed;
    std::vector<int32_t> heap;
    uint64_t nextStamp = 0;
    bool found = false;  // whether run() reached the end

    ~Search() { std::free(cells); }

    int32_t index(Py_ssize_t r, Py_ssize_t c) const { return int32_t(r * numRows + c); }
    PyObject* node(int32_t cell) const { return nodes[size_t(cells[cell].held)].get(); }

    double heuristic(Py_ssize_t r, Py_ssize_t c) const {
        long long dx = std::llabs(r - endR), dy = std::llabs(c - endC);
        long long diag = std::min(dx, dy), straight = dx + dy;
        return diagCost * double(diag) + straightCost * double(straight - 2 * diag);
    }

    bool before(int32_t a, int32_t b) const {
        const Cell &x = cells[a], &y = cells[b];
        return x.f < y.f || (!(y.f < x.f) && x.stamp < y.stamp);
    }
    void place(size_t position, int32_t cell) {
        heap[position] = cell;
        cells[cell].heapIndex = int32_t(position);
    }
    void siftUp(size_t position) {
        int32_t cell = heap[position];
        while (position > 0) {
            size_t parent = (position - 1) / 2;
            if (!before(cell, heap[parent])) break;
            place(position, heap[parent]);
            position = parent;
        }
        place(position, cell);
    }
    void siftDown(size_t position) {
        int32_t cell = heap[position];
        size_t size = heap.size();
        for (;;) {
            size_t child = 2 * position + 1;
            if (child >= size) break;
            if (child + 1 < size && before(heap[child + 1], heap[child])) child++;
            if (!before(heap[child], cell)) break;
            place(position, heap[child]);
            position = child;
        }
        place(position, cell);
    }
    int32_t popFirst() {
        int32_t first = heap[0];
        int32_t last = heap.back();
        heap.pop_back();
        if (!heap.empty()) {
            place(0, last);
            siftDown(0);
        }
        return first;
    }

    void loadOne(int32_t cell, Py_ssize_t r, Py_ssize_t c);
    void readMultiplier(Cell& slot, PyObject* node, uint8_t& flags);
    // The flags of a cell, its run of nodes read if need be.
    uint8_t flagsOf(int32_t cell, Py_ssize_t r, Py_ssize_t c) {
        if (!(cells[cell].flags & Loaded)) {
            Py_ssize_t first = c - c % loadRun, last = std::min(numRows, first + loadRun);
            for (Py_ssize_t j = first; j < last; j++) loadOne(index(r, j), r, j);
        }
        return cells[cell].flags;
    }
    py::Fast run();
    std::vector<int32_t> inMemoryOrder(const std::vector<int32_t>& cellList) const;
    bool writeBack(PyObject* open, PyObject* closedList);
    PyObject* buildPath(PyObject* self);
};

// A coordinate attribute that is exactly the given int.
bool isCoordinate(PyObject* node, PyObject* name, Py_ssize_t expected) {
    Ref value = py::getAttr(node, name);
    if (!value || !PyLong_CheckExact(value.get())) return false;
    int overflow;
    long long number = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    return !overflow && number == expected;
}

// Reads a cell's node: its coordinates, walkability and, when it can be
// entered, its multiplier.  Leaves no exception set.
void Search::loadOne(int32_t cell, Py_ssize_t r, Py_ssize_t c) {
    Cell& slot = cells[cell];
    if (slot.flags & Loaded) return;
    slot.flags = Loaded | Odd;
    PyObject* row = rows[size_t(r)].get();
    if (c >= PyList_GET_SIZE(row)) return;
    // Even a plain attribute read can run the script's code (a key of the
    // node's __dict__ with an __eq__ of its own), which may empty the row
    // and free the node: hold it, and check afterwards that it is still
    // the one in the grid.
    Ref node = Ref::borrow(PyList_GET_ITEM(row, c));
    bool plain = Py_TYPE(node.get()) == reinterpret_cast<PyTypeObject*>(nodeDefinition.type()) &&
                 isCoordinate(node.get(), nameR, r) && isCoordinate(node.get(), nameC, c);
    Ref walkable = plain ? py::getAttr(node.get(), nameWalkable) : Ref();
    PyObject* value = walkable.get();
    // Only values whose truth runs no code of the script's.
    if (!value || !(PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
                    PyUnicode_CheckExact(value) || value == Py_None)) {
        PyErr_Clear();
        return;
    }
    uint8_t flags = Loaded;
    if (PyObject_IsTrue(value)) {
        flags |= Walkable;
        readMultiplier(slot, node.get(), flags);
    }
    if (c >= PyList_GET_SIZE(row) || PyList_GET_ITEM(row, c) != node.get()) return;
    slot.held = int32_t(nodes.size());
    nodes.push_back(std::move(node));
    slot.flags = flags;
}

// Plain numbers only: a finite float, or an int the float product
// converts exactly as the interpreter does.
void Search::readMultiplier(Cell& slot, PyObject* node, uint8_t& flags) {
    Ref value = py::getAttr(node, nameCostMultiplier);
    double multiplier = NAN;
    if (!value) {
        PyErr_Clear();
    } else if (PyFloat_CheckExact(value.get())) {
        multiplier = PyFloat_AS_DOUBLE(value.get());
    } else if (PyLong_CheckExact(value.get()) || PyBool_Check(value.get())) {
        int overflow;
        long long number = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
        if (!overflow) multiplier = double(number);
    }
    if (std::isfinite(multiplier)) {
        slot.multiplier = multiplier;
    } else {
        flags |= OddMultiplier;
    }
}

// The loop of the search on the native open list.  Nothing is written to
// any Python object here, so the general path can start over after it.
py::Fast Search::run() {
    int32_t node = start;
    while (node != end) {
        Cell& current = cells[node];
        Py_ssize_t r = node / numRows, c = node % numRows;
        struct Improved {
            double f;
            uint64_t stamp;
            int32_t cell;
        } improved[8];
        int32_t appended[8];
        int improvedCount = 0, appendedCount = 0;
        for (Py_ssize_t i = std::max<Py_ssize_t>(0, r - 1); i <= std::min(numCols - 1, r + 1); i++) {
            for (Py_ssize_t j = std::max<Py_ssize_t>(0, c - 1); j <= std::min(numRows - 1, c + 1); j++) {
                int32_t test = index(i, j);
                if (test == node) continue;
                int32_t cornerA = index(r, j), cornerB = index(i, c);
                uint8_t flags = flagsOf(test, i, j);
                if (flags & Odd) return py::Fast::General;
                if (!(flags & Walkable)) continue;
                uint8_t corner = flagsOf(cornerA, r, j);
                if (corner & Odd) return py::Fast::General;
                if (!(corner & Walkable)) continue;
                corner = flagsOf(cornerB, i, c);
                if (corner & Odd) return py::Fast::General;
                if (!(corner & Walkable)) continue;
                if (flags & OddMultiplier) return py::Fast::General;
                Cell& candidate = cells[test];
                double cost = (r == i || c == j) ? straightCost : diagCost;
                double g = current.g + cost * candidate.multiplier;
                double h = heuristic(i, j);
                double f = g + h;
                if (std::isnan(f)) return py::Fast::General;  // the list's sort order would be undefined
                if (candidate.state != Unseen) {
                    if (!(candidate.f > f)) continue;
                    if (candidate.state == Opened) improved[improvedCount++] = {candidate.f, candidate.stamp, test};
                } else {
                    candidate.state = Opened;
                    appended[appendedCount++] = test;
                    reached.push_back(test);
                }
                candidate.f = f;
                candidate.g = g;
                candidate.parent = node;
                candidate.flags = uint8_t((candidate.flags & ~IntegerG) | HasParent);
            }
        }
        current.state = Closed;
        closed.push_back(node);
        // At most eight entries: an insertion sort by (f, stamp).
        for (int k = 1; k < improvedCount; k++) {
            Improved moving = improved[k];
            int slot = k;
            for (; slot > 0; slot--) {
                const Improved& before = improved[slot - 1];
                bool after = before.f < moving.f || (!(moving.f < before.f) && before.stamp < moving.stamp);
                if (after) break;
                improved[slot] = before;
            }
            improved[slot] = moving;
        }
        for (int k = 0; k < improvedCount; k++) {
            cells[improved[k].cell].stamp = nextStamp++;
            siftUp(size_t(cells[improved[k].cell].heapIndex));
        }
        for (int k = 0; k < appendedCount; k++) {
            cells[appended[k]].stamp = nextStamp++;
            heap.push_back(appended[k]);
            siftUp(heap.size() - 1);
        }
        if (heap.empty()) return py::Fast::Done;
        node = popFirst();
    }
    found = true;
    return py::Fast::Done;
}

// The cells grouped by run of a row, as the grid's nodes lie in memory,
// so that writing to them streams instead of jumping (a counting sort).
std::vector<int32_t> Search::inMemoryOrder(const std::vector<int32_t>& cellList) const {
    size_t runs = size_t((numCols * numRows + loadRun - 1) / loadRun);
    std::vector<int32_t> firstOfRun(runs + 1, 0);
    for (int32_t cell : cellList) firstOfRun[size_t(cell / loadRun) + 1]++;
    for (size_t run = 0; run < runs; run++) firstOfRun[run + 1] += firstOfRun[run];
    std::vector<int32_t> ordered(cellList.size());
    for (int32_t cell : cellList) ordered[size_t(firstOfRun[size_t(cell / loadRun)]++)] = cell;
    return ordered;
}

// g as findPath leaves it: the start keeps the int 0 unless improved.
Ref gObject(const Cell& cell) {
    return (cell.flags & IntegerG) ? Ref::borrow(shared.zero.get()) : py::number(cell.g);
}

// Puts the scores on the nodes (start first: g, h, f as findPath writes
// them) and fills the two lists as `AStar.search` of
// tests/reference/astar.py leaves them.
bool Search::writeBack(PyObject* open, PyObject* closedList) {
    for (int32_t cell : inMemoryOrder(reached)) {
        const Cell& slot = cells[cell];
        PyObject* target = node(cell);
        Ref f = py::number(slot.f);
        Ref g = f ? gObject(slot) : Ref();
        Ref h = g ? py::number(heuristic(cell / numRows, cell % numRows)) : Ref();
        if (!h) return false;
        bool written = cell == start ? setAll(target, {{nameG, g.get()}, {nameH, h.get()}, {nameF, f.get()}})
                                     : setAll(target, {{nameF, f.get()}, {nameG, g.get()}, {nameH, h.get()}});
        if (!written) return false;
        if ((slot.flags & HasParent) && !py::setAttr(target, nameParent, node(slot.parent))) return false;
    }
    for (int32_t cell : closed) {
        if (PyList_Append(closedList, node(cell)) < 0) return false;
    }
    std::sort(heap.begin(), heap.end(), [this](int32_t a, int32_t b) { return before(a, b); });
    for (int32_t cell : heap) {
        if (PyList_Append(open, node(cell)) < 0) return false;
    }
    return true;
}

PyObject* Search::buildPath(PyObject* self) {
    std::vector<int32_t> walk{end};
    std::vector<bool> seen(size_t(numCols * numRows));
    seen[size_t(end)] = true;
    bool loop = false;
    for (int32_t cell = end; cell != start;) {
        cell = cells[cell].parent;
        if (seen[size_t(cell)]) {
            loop = true;
            break;
        }
        seen[size_t(cell)] = true;
        walk.push_back(cell);
    }
    Ref path = Ref::steal(PyList_New(Py_ssize_t(walk.size())));
    if (!path) return nullptr;
    for (size_t k = 0; k < walk.size(); k++) {
        PyList_SET_ITEM(path.get(), Py_ssize_t(k), Ref::borrow(node(walk[walk.size() - 1 - k])).release());
    }
    if (!py::setAttr(self, namePath, path.get())) return nullptr;
    if (loop) {
        PyErr_SetString(PyExc_ValueError, cycleMessage);
        return nullptr;
    }
    return py::boolean(true);
}

// The methods the native findPath stands in for.
const py::Name* const replacedMethods[] = {&nameGetNumCols, &nameGetNumRows, &nameGetNode, &nameIsOpen, &nameIsClosed,
                                           &nameDiagonal, &nameSortFun, &nameBuildPath, &nameSearch};

// A finite float attribute of the grid, or false.
bool plainCost(PyObject* self, PyObject* name, double& out) {
    Ref value = py::getAttr(self, name);
    if (!value) {
        PyErr_Clear();
        return false;
    }
    if (!PyFloat_CheckExact(value.get())) return false;
    out = PyFloat_AS_DOUBLE(value.get());
    return std::isfinite(out);
}

// A node that is exactly the original class, sits where its coordinates
// say and is the object the grid holds there; its cell or -1.
int32_t cellOf(const Search& search, PyObject* node) {
    if (Py_TYPE(node) != reinterpret_cast<PyTypeObject*>(nodeDefinition.type())) return -1;
    Ref r = py::getAttr(node, nameR);
    Ref c = r ? py::getAttr(node, nameC) : Ref();
    if (!c) {
        PyErr_Clear();
        return -1;
    }
    if (!PyLong_CheckExact(r.get()) || !PyLong_CheckExact(c.get())) return -1;
    Py_ssize_t row = PyLong_AsSsize_t(r.get());
    Py_ssize_t column = row == -1 && PyErr_Occurred() ? -1 : PyLong_AsSsize_t(c.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    if (row < 0 || row >= search.numCols || column < 0 || column >= search.numRows) return -1;
    // Reading r and c may have run the script's code and shortened the row.
    PyObject* held = search.rows[size_t(row)].get();
    if (column >= PyList_GET_SIZE(held) || PyList_GET_ITEM(held, column) != node) return -1;
    return search.index(row, column);
}

// Whether the native search can stand in for `AStar.findPath` of
// tests/reference/astar.py on this grid:
// the original classes unchanged, no method replaced on the object, plain
// costs and sizes, and the grid's lists as the constructor made them.
bool prepareNative(PyObject* self, PyObject* start, PyObject* end, Search& search) {
    if (!gridDefinition.holds(self) || !nodeDefinition.asDefined()) return false;
    Ref own = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!own) {
        PyErr_Clear();
        return false;
    }
    for (const py::Name* name : replacedMethods) {
        if (PyDict_GetItemWithError(own.get(), name->get()) || PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    if (!plainCost(self, nameStraightCost, search.straightCost) || !plainCost(self, nameDiagCost, search.diagCost)) {
        return false;
    }
    Ref numCols = py::getAttr(self, nameNumCols);
    Ref numRows = numCols ? py::getAttr(self, nameNumRows) : Ref();
    Ref nodes = numRows ? py::getAttr(self, nameNodes) : Ref();
    if (!nodes) {
        PyErr_Clear();
        return false;
    }
    if (!PyLong_CheckExact(numCols.get()) || !PyLong_CheckExact(numRows.get()) || !PyList_CheckExact(nodes.get())) {
        return false;
    }
    search.numCols = PyLong_AsSsize_t(numCols.get());
    search.numRows = search.numCols == -1 && PyErr_Occurred() ? -1 : PyLong_AsSsize_t(numRows.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (search.numCols <= 0 || search.numRows <= 0 || PyList_GET_SIZE(nodes.get()) != search.numCols) return false;
    if (search.numCols > INT32_MAX / search.numRows) return false;
    search.rows.reserve(size_t(search.numCols));
    for (Py_ssize_t i = 0; i < search.numCols; i++) {
        PyObject* row = PyList_GET_ITEM(nodes.get(), i);
        if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) != search.numRows) return false;
        search.rows.push_back(Ref::borrow(row));
    }
    search.start = cellOf(search, start);
    search.end = search.start < 0 ? -1 : cellOf(search, end);
    if (search.end < 0) return false;
    search.endR = int32_t(search.end / search.numRows);
    search.endC = int32_t(search.end % search.numRows);
    size_t count = size_t(search.numCols * search.numRows);
    // Zeroed pages from the system, touched only where the search goes.
    search.cells = static_cast<Cell*>(std::calloc(count, sizeof(Cell)));
    if (!search.cells) throw std::bad_alloc();
    Py_ssize_t startR = search.start / search.numRows, startC = search.start % search.numRows;
    if (search.flagsOf(search.start, startR, startC) & Odd) return false;
    Cell& first = search.cells[search.start];
    first.g = 0.0;
    first.f = 0.0 + search.heuristic(startR, startC);
    if (std::isnan(first.f)) return false;
    first.flags |= IntegerG;
    search.reached.push_back(search.start);
    return true;
}

// findPath natively; `found` tells whether a path was found.
py::Fast findNative(PyObject* self, PyObject* start, PyObject* end, PyObject* open, PyObject* closed, bool& found) {
    Search search;
    if (!prepareNative(self, start, end, search) || search.run() == py::Fast::General) return py::Fast::General;
    if (!search.writeBack(open, closed)) return py::Fast::Failed;
    found = search.found;
    if (!found) return py::Fast::Done;
    Ref done = Ref::steal(search.buildPath(self));
    return done ? py::Fast::Done : py::Fast::Failed;
}

PyObject* findPath(py::Args args) {
    PyObject* self = args[0];
    Ref open = Ref::steal(PyList_New(0));
    if (!open || !py::setAttr(self, nameOpen, open.get())) return nullptr;
    Ref closed = Ref::steal(PyList_New(0));
    if (!closed || !py::setAttr(self, nameClosed, closed.get())) return nullptr;
    Ref start = py::getAttr(self, nameStartNode);
    if (!start) return nullptr;
    if (start.get() == Py_None) return py::boolean(false);
    Ref end = py::getAttr(self, nameEndNode);
    if (!end) return nullptr;
    if (end.get() == Py_None) return py::boolean(false);
    bool found = false;
    py::Fast native = findNative(self, start.get(), end.get(), open.get(), closed.get(), found);
    if (native == py::Fast::General) return prepareAndSearch(self);
    return native == py::Fast::Done ? py::boolean(found) : nullptr;
}

// ---- docstrings -----------------------------------------------------------------

const char gridInitDoc[] =
    "\n"
    "        初始化A*算法实例\n"
    "\n"
    "        Args:\n"
    "            numCols: 网格的列数\n"
    "            numRows: 网格的行数\n"
    "        ";

const char setWalkableDoc[] =
    "\n"
    "        设置指定位置节点的可通行性\n"
    "\n"
    "        Args:\n"
    "            value: True表示可通行，False表示不可通行\n"
    "        ";

const char findPathDoc[] =
    "\n"
    "        执行A*寻路算法\n"
    "\n"
    "        Returns:\n"
    "            True: 找到路径\n"
    "            False: 未找到路径\n"
    "        ";

const char searchDoc[] =
    "\n"
    "        核心搜索算法\n"
    "\n"
    "        Returns:\n"
    "            True: 找到路径\n"
    "            False: 未找到路径\n"
    "        ";

const char getPathDoc[] =
    "\n"
    "        获取找到的路径\n"
    "\n"
    "        Returns:\n"
    "            路径节点列表，从起点到终点\n"
    "        ";

bool makeShared() {
    Ref zero = py::number(0L);
    Ref one = zero ? py::number(1.0) : Ref();
    Ref straight = one ? py::number(1.0) : Ref();
    Ref diag = straight ? py::number(1.414) : Ref();
    Ref empty = diag ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref key = empty ? py::tuple({nameKey.get()}) : Ref();
    if (!key) return false;
    shared.zero = std::move(zero);
    shared.one = std::move(one);
    shared.straightCost = std::move(straight);
    shared.diagCost = std::move(diag);
    shared.emptyTuple = std::move(empty);
    shared.keyOnly = std::move(key);
    return true;
}

}  // namespace

bool addPathFinding() {
    if (!shared.zero && !makeShared()) return false;
    Ref nodeClass = py::defineClass({"AStarNode", nullptr, nodeDoc, {
        py::method({"__init__", "(self, pr, pc)", nodeInitDoc, nodeInit}),
    }});
    if (!nodeClass || !nodeDefinition.take(nodeClass.get())) return false;
    Ref gridClass = py::defineClass({"AStar", nullptr, "A*寻路算法类，包含网格管理和寻路功能", {
        py::method({"__init__", "(self, numCols, numRows)", gridInitDoc, gridInit}),
        py::method({"getNode", "(self, r, c)", "获取指定位置的节点", getNode}),
        py::method({"setStartNode", "(self, r, c)", "设置起点节点", setStartNode}),
        py::method({"getStartNode", "(self)", "获取起点节点", getStartNode}),
        py::method({"setEndNode", "(self, r, c)", "设置终点节点", setEndNode}),
        py::method({"getEndNode", "(self)", "获取终点节点", getEndNode}),
        py::method({"setWalkable", "(self, r, c, value)", setWalkableDoc, setWalkable}),
        py::method({"getNumCols", "(self)", "获取网格列数", getNumCols}),
        py::method({"getNumRows", "(self)", "获取网格行数", getNumRows}),
        py::method({"findPath", "(self)", findPathDoc, findPath}),
        py::method({"sortFun", "(self, node)", "排序函数，用于按f值对节点进行排序", sortFun}),
        py::method({"search", "(self)", searchDoc, search}),
        py::method({"buildPath", "(self)", "构建路径，从终点回溯到起点", buildPath}),
        py::method({"getPath", "(self)", getPathDoc, getPath}),
        py::method({"isOpen", "(self, node)", "检查节点是否在开放列表中", isOpen}),
        py::method({"isClosed", "(self, node)", "检查节点是否在关闭列表中", isClosed}),
        py::method({"diagonal", "(self, node)", "计算节点到终点的对角线启发值", diagonal}),
    }});
    return gridClass && gridDefinition.take(gridClass.get());
}
