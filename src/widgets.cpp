// The screen widgets: one call puts a label, a button or a text entry on
// the pixel layer, placed from the window's top-left corner, in the kit's
// one look (black frame, white left-aligned 16-pixel text, Chinese font).
// The plain Python they render, keyword for keyword:
// tests/reference/widgets.py.
#include "py.hpp"
#include "units.hpp"

using py::Ref;

namespace {

py::Name nameDirectLabel("DirectLabel");
py::Name nameDirectButton("DirectButton");
py::Name nameDirectEntry("DirectEntry");
py::Name nameTextNode("TextNode");
py::Name nameALeft("ALeft");
py::Name namePixel2d("pixel2d");
py::Name nameCnFont("cnFont");

const char filenameTextMessage[] = "文字要用字符串：请用 str(...) 把 Filename 变成字符串";

// DirectGui reads a text that is not a string as one text per state, by
// index, falling back to the last one; the engine's Filename does not check
// an index, so a Filename shorter than the widget's number of states would
// abort the process.  That case alone raises; every other value, a tuple
// or list of texts per state among them, goes to DirectGui as given.
bool fitsStates(PyObject* txt, long states) {
    Py_ssize_t characters = py::uncheckedLength(txt);
    if (characters == -2) return false;
    if (characters == -1 || characters >= states) return true;
    PyErr_SetString(PyExc_TypeError, filenameTextMessage);
    return false;
}

// The fixed look and the keyword names, made once at import and shared by
// every call, as the constants of a function body are.
struct Look {
    PyObject* frameColor = nullptr;   // (0, 0, 0, 1)
    PyObject* borderWidth = nullptr;  // (0.05, 0.05)
    PyObject* textColor = nullptr;    // (1, 1, 1, 1)
    PyObject* scale = nullptr;        // 16
    PyObject* labelKeywords = nullptr;
    PyObject* buttonKeywords = nullptr;
    PyObject* entryKeywords = nullptr;
};
Look look;

// Builds a tuple of interned keyword names.
Ref keywordTuple(std::initializer_list<const char*> names) {
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!result) return {};
    Py_ssize_t index = 0;
    for (const char* name : names) {
        PyObject* keyword = PyUnicode_InternFromString(name);
        if (!keyword) return {};
        PyTuple_SET_ITEM(result.get(), index++, keyword);
    }
    return result;
}

// Kept for the life of the process, like the module's own constants.
bool makeLook() {
    Ref (*const makers[7])() = {
        [] { return py::integers({0, 0, 0, 1}); },
        [] { return py::floats({0.05, 0.05}); },
        [] { return py::integers({1, 1, 1, 1}); },
        [] { return py::number(16L); },
        [] {
            return keywordTuple({"text", "parent", "pos", "scale", "frameColor", "borderWidth", "text_fg",
                                 "text_align", "text_font"});
        },
        [] {
            return keywordTuple({"text", "parent", "pos", "scale", "frameColor", "borderWidth", "text_fg",
                                 "text_align", "text_font", "command"});
        },
        [] {
            return keywordTuple({"initialText", "parent", "pos", "scale", "frameColor", "borderWidth", "text_fg",
                                 "text_align", "text_font", "numLines"});
        },
    };
    PyObject** slots[7] = {&look.frameColor,   &look.borderWidth,    &look.textColor,    &look.scale,
                           &look.labelKeywords, &look.buttonKeywords, &look.entryKeywords};
    for (int index = 0; index < 7; index++) {
        Ref made = makers[index]();  // each checked before the next is made
        if (!made) return false;
        *slots[index] = made.release();
    }
    return true;
}

// What every widget needs from the application object and the position,
// read in the order the builders of tests/reference/widgets.py
// (`makeLabel`, `makeButton`, `makeEntry`) read them.
struct Placement {
    Ref widgetClass;
    Ref parent;
    Ref pos;
    Ref align;
    Ref font;
};

bool place(PyObject* className, PyObject* tv, PyObject* x, PyObject* y, Placement& out) {
    out.widgetClass = py::global(className);
    out.parent = out.widgetClass ? py::getAttr(tv, namePixel2d) : Ref();
    Ref up = out.parent ? Ref::steal(PyNumber_Negative(y)) : Ref();
    Ref zero = up ? py::number(0L) : Ref();
    out.pos = zero ? py::tuple({x, zero.get(), up.get()}) : Ref();
    Ref textNode = out.pos ? py::global(nameTextNode) : Ref();
    out.align = textNode ? py::getAttr(textNode.get(), nameALeft) : Ref();
    out.font = out.align ? py::getAttr(tv, nameCnFont) : Ref();
    return bool(out.font);
}

// Calls the widget class with the shared look; `first` is the text (or
// initial text) and `last` the builder's own final keyword, if any.
PyObject* build(PyObject* className, PyObject* keywords, py::Args args, PyObject* last, long states) {
    Placement placement;
    if (!place(className, args[0], args[2], args[3], placement)) return nullptr;
    PyObject* txt = args[1];
    if (states && !fitsStates(txt, states)) return nullptr;
    if (!last) {
        return py::callWithKeywords(placement.widgetClass.get(),
                                    {txt, placement.parent.get(), placement.pos.get(), look.scale, look.frameColor,
                                     look.borderWidth, look.textColor, placement.align.get(), placement.font.get()},
                                    keywords)
            .release();
    }
    return py::callWithKeywords(placement.widgetClass.get(),
                                {txt, placement.parent.get(), placement.pos.get(), look.scale, look.frameColor,
                                 look.borderWidth, look.textColor, placement.align.get(), placement.font.get(), last},
                                keywords)
        .release();
}

// A label has one state, a button four; an entry takes its initial text as
// a string only.
PyObject* makeLabel(py::Args args) { return build(nameDirectLabel, look.labelKeywords, args, nullptr, 1); }
PyObject* makeButton(py::Args args) { return build(nameDirectButton, look.buttonKeywords, args, args[4], 4); }
PyObject* makeEntry(py::Args args) { return build(nameDirectEntry, look.entryKeywords, args, args[4], 0); }

}  // namespace

bool addWidgets() {
    return makeLook() && py::defineFunction({"makeLabel", "(tv, txt, x, y)", nullptr, makeLabel}) &&
           py::defineFunction({"makeButton", "(tv, txt, x, y, cmd)", nullptr, makeButton}) &&
           py::defineFunction({"makeEntry", "(tv, txt, x, y, lines=1)", nullptr, makeEntry});
}
