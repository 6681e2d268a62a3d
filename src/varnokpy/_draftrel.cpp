// varnokpy._draftrel: `DraftRel`, the temporary constraint object that the
// overloaded comparison operators of the modelling objects produce.
//
// A DraftRel holds the two sides and the sense of a comparison in three plain
// instance attributes (`_lhs`, `_sense`, `_rhs`). The constructor normalises
// comparisons that involve a matrix variable or a matrix linear or quadratic
// expression into `lhs - rhs` against 0.0, except that a matrix variable
// compared with a general or nonlinear expression is kept as two sides. The
// sense is stored untouched and never validated.
//
// Besides that it only prints itself, pairs two constraints into an
// implication with `>>`, and refuses to be truth-tested or compared again:
// Python would otherwise evaluate `lb <= expr <= ub` silently as
// `(lb <= expr) and (expr <= ub)` and drop half of the constraint.
//
// The expression modules are imported inside every construction, not at
// load: they import this module themselves (on their first comparison), so
// loading this module must not need them.
#include "frame.hpp"

#include "cpython311.hpp"

#include <algorithm>
#include <iterator>

namespace {

using namespace vk::prelude;

// ============================================================================
// Module state
// ============================================================================

const char* const kBuiltins[] = {"object", nullptr};
enum Builtin { B_object };

int module_constants(vk::ModuleFrame&) noexcept;
int module_prebuilt(vk::ModuleFrame&) noexcept;
int module_body(vk::ModuleFrame&) noexcept;

const vk::ModuleInfo kInfo = {
    "_draftrel", "varnokpy._draftrel", "src/varnokpy/_draftrel", nullptr, kBuiltins, false,
    module_constants, module_prebuilt, module_body,
};

// The module's frame, defined by VARNOK_MODULE at the end of this file.
extern vk::ModuleFrame& frame;

// Interned names and text constants.
struct Names {
    PyObject *lhs, *sense, *rhs, *item, *less_equal, *greater_equal, *implication;
    PyObject *repr_open, *repr_le, *repr_ge, *repr_eq, *repr_close, *empty;
    PyObject *core, *matrixapi;
} N;

vk::GlobalName g_VarnokError("VarnokError"), g_VRK("VRK"), g_DraftRel("DraftRel");

PyObject* kZero = nullptr;  // 0.0, the right-hand side after the matrix rule

// `from varnokpy._core import GenExpr, LinExpr, NLExpr` and
// `from varnokpy._matrixapi import MLinExpr, MQuadExpr, MVar, MNLExpr`.
enum CoreName { C_GenExpr, C_LinExpr, C_NLExpr, C_count };
enum MatrixName { M_MLinExpr, M_MQuadExpr, M_MVar, M_MNLExpr, M_count };
PyObject* kCoreFromlist = nullptr;
PyObject* kMatrixFromlist = nullptr;
// Each statement's last answer: after the first construction, the two
// imports cost a few version-tag comparisons while nothing was changed.
vk::ImportCache core_import, matrix_import;

// VarnokError(0, message) arguments.
PyObject* kNoBoolArgs = nullptr;
PyObject* kNoCompareArgs = nullptr;

const char kNoBoolMessage[] = "Constraint has no bool value (are you trying \"lb <= expr <= ub\"?)";
const char kNoCompareMessage[] = "Constraint comparison not implemented";

Ref tuple_of_strings(std::initializer_list<const char*> items) noexcept {
    Ref t = Ref::steal(PyTuple_New((Py_ssize_t)items.size()));
    if (!t) return Ref();
    Py_ssize_t i = 0;
    for (const char* s : items) {
        PyObject* o = vk::intern(s);
        if (!o) return Ref();
        PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    }
    return t;
}

int module_constants(vk::ModuleFrame&) noexcept {
    if (vk::intern_all({
        {&N.lhs, "_lhs"},
        {&N.sense, "_sense"},
        {&N.rhs, "_rhs"},
        {&N.item, "item"},
        {&N.less_equal, "LESS_EQUAL"},
        {&N.greater_equal, "GREATER_EQUAL"},
        {&N.implication, "I"},
        {&N.repr_open, "<varnok.DraftRel: "},
        {&N.repr_le, " <= "},
        {&N.repr_ge, " >= "},
        {&N.repr_eq, " == "},
        {&N.repr_close, ">"},
        {&N.empty, ""},
        {&N.core, "varnokpy._core"},
        {&N.matrixapi, "varnokpy._matrixapi"},
        }) < 0)
        return -1;
    if (!kZero && !(kZero = PyFloat_FromDouble(0.0))) return -1;
    for (vk::GlobalName* g : {&g_VarnokError, &g_VRK, &g_DraftRel})
        if (g->init() < 0) return -1;
    return 0;
}

int module_prebuilt(vk::ModuleFrame&) noexcept {
    if (!kCoreFromlist) kCoreFromlist = tuple_of_strings({"GenExpr", "LinExpr", "NLExpr"}).release();
    if (!kMatrixFromlist)
        kMatrixFromlist = tuple_of_strings({"MLinExpr", "MQuadExpr", "MVar", "MNLExpr"}).release();
    if (!kCoreFromlist || !kMatrixFromlist) return -1;
    for (auto [slot, text] : {std::pair{&kNoBoolArgs, kNoBoolMessage}, std::pair{&kNoCompareArgs, kNoCompareMessage}}) {
        if (!*slot && !(*slot = Py_BuildValue("(is)", 0, text))) return -1;
    }
    return 0;
}

// ============================================================================
// Helpers
// ============================================================================

// `isinstance(o, cls)`: 1, 0, or -1 with an exception set.
// CAUTION: may run arbitrary Python code (__instancecheck__)
inline int is_a(PyObject* o, const Ref& cls) noexcept { return PyObject_IsInstance(o, cls.get()); }

// The first class of `classes` that `o` is an instance of, tested in order
// and stopping at the first match: 1 for a match, 0 for none, -1 on error.
// CAUTION: may run arbitrary Python code
int is_any(PyObject* o, std::initializer_list<const Ref*> classes) noexcept {
    for (const Ref* cls : classes) {
        int r = is_a(o, *cls);
        if (r != 0) return r;
    }
    return 0;
}

// `raise VarnokError(*args)`, with the raise statement's handling of the
// object that the call returns.
// CAUTION: may run arbitrary Python code
PyObject* raise_varnok_error(PyObject* args) noexcept {
    Ref cls = g_VarnokError.get(frame);
    if (!cls) return nullptr;
    Ref exc = Ref::steal(PyObject_Call(cls.get(), args, nullptr));
    if (!exc) return nullptr;
    if (PyExceptionClass_Check(exc.get())) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(exc.get()));
        if (!instance) return nullptr;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         exc.get(), Py_TYPE(instance.get()));
            return nullptr;
        }
        exc = std::move(instance);
    } else if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

// `VRK.<name>`, read at call time.
// CAUTION: may run arbitrary Python code
Ref vrk_constant(PyObject* name) noexcept {
    Ref vrk = g_VRK.get(frame);
    if (!vrk) return Ref();
    return vk::getattr(vrk.get(), name);
}

// `sense == constant`, truth-tested. A plain equality comparison, never an
// identity shortcut: a sense object decides for itself what it equals.
// CAUTION: may run arbitrary Python code
int sense_is(PyObject* sense, PyObject* constant_name) noexcept {
    Ref constant = vrk_constant(constant_name);
    if (!constant) return -1;
    Ref eq = Ref::steal(PyObject_RichCompare(sense, constant.get(), Py_EQ));
    if (!eq) return -1;
    return PyObject_IsTrue(eq.get());
}

// ============================================================================
// Shortcut: number operands
// ============================================================================
//
// `DraftRel(1, sense, 2.5)` tests each side against the sibling classes and
// finds nothing. When both sides are an exact int or float and every class
// tested is a plain class (its metaclass exactly `type`, so no
// `__instancecheck__`) other than int, float and object, each of those
// isinstance tests is a subtype test of int or float, whose bases are fixed,
// and the `__class__` that a failed test reads is the built-in one: all are
// false and none runs code. The sides are then stored as they are. Which
// classes were found plain is remembered by identity (a class cannot change
// its metaclass once it is `type`), so a call only compares pointers.

struct PlainClasses {
    PyObject* classes[C_count + M_count] = {};  // owned: the identities checked
    bool plain = false;
} plain_classes;

// Does an exact int or float ever pass `isinstance(x, cls)`? Runs no code.
bool never_holds_numbers(PyObject* cls) noexcept {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(cls);
    return !PyType_IsSubtype(&PyLong_Type, t) && !PyType_IsSubtype(&PyFloat_Type, t);
}

// Both sides are to be stored untouched (done), or not taken (nothing was
// tested yet).
vk::Shortcut number_sides(PyObject* lhs, PyObject* rhs, const Ref* core, const Ref* matrix) noexcept {
    if (!vk::shortcuts_on()) return vk::Shortcut::not_taken();
    auto number = [](PyObject* o) noexcept { return PyLong_CheckExact(o) || PyFloat_CheckExact(o); };
    if (!number(lhs) || !number(rhs)) return vk::Shortcut::not_taken();
    PyObject* classes[C_count + M_count];
    for (int i = 0; i < C_count; ++i) classes[i] = core[i].get();
    for (int i = 0; i < M_count; ++i) classes[C_count + i] = matrix[i].get();
    bool plain = plain_classes.plain;
    if (!std::equal(std::begin(classes), std::end(classes), std::begin(plain_classes.classes))) {
        PlainClasses fresh;
        fresh.plain = true;
        for (size_t i = 0; i < std::size(classes); ++i) {
            fresh.classes[i] = Py_NewRef(classes[i]);
            // LinExpr is only called, never tested.
            if (i != C_LinExpr && !never_holds_numbers(classes[i])) fresh.plain = false;
        }
        plain = fresh.plain;
        // Publish, then release the classes checked before (a decref may run
        // code that constructs another DraftRel).
        std::swap(fresh, plain_classes);
        for (PyObject* old : fresh.classes) Py_XDECREF(old);
    }
    return plain ? vk::Shortcut::done() : vk::Shortcut::not_taken();
}

// ============================================================================
// Shortcut: the three attribute stores
// ============================================================================
//
// On an instance of exactly the class made at load, while that class is
// unmodified since it was checked (type version tag) and was found with the
// generic `__setattr__` and no class attribute named `_lhs`, `_sense` or
// `_rhs`, each store is the generic one: the value goes into the instance's
// inline slot for the name, appended to the insertion order. A fresh
// instance has those slots empty; anything else (a dict made already, a
// second `__init__` on the same instance, a subclass) takes the ordinary
// stores.

PyObject* draftrel_class = nullptr;  // the class made by the module body (owned)

struct StoreSlots {
    unsigned int version = 0;  // the class's version tag when checked; 0: not usable
    Py_ssize_t slot[3] = {};   // `_lhs`, `_sense`, `_rhs`
} store_slots;

// Checks the class and finds the three slots. Runs no code.
bool learn_store_slots(PyTypeObject* t) noexcept {
    store_slots.version = 0;
    if (PyType_GetSlot(t, Py_tp_setattro) != reinterpret_cast<void*>(PyObject_GenericSetAttr)) return false;
    PyObject* const names[] = {N.lhs, N.sense, N.rhs};
    for (PyObject* name : names)
        if (vk::py311::type_lookup(t, name)) return false;
    const unsigned int version = vk::py311::type_version(t);
    if (!version) return false;
    for (int i = 0; i < 3; ++i)
        if ((store_slots.slot[i] = vk::py311::instance_slot(t, names[i])) < 0) return false;
    store_slots.version = version;
    return true;
}

// The three stores (done), or not taken (nothing was stored). Runs no code.
vk::Shortcut store_inline(PyObject* self, PyObject* lhs, PyObject* sense, PyObject* rhs) noexcept {
    using vk::py311::Probe;
    if (!vk::py311::usable(Probe::instance_values) || !vk::py311::usable(Probe::type_version))
        return vk::Shortcut::not_taken();
    PyTypeObject* t = Py_TYPE(self);
    if (reinterpret_cast<PyObject*>(t) != draftrel_class) return vk::Shortcut::not_taken();
    if ((!store_slots.version || vk::py311::type_version(t) != store_slots.version) && !learn_store_slots(t))
        return vk::Shortcut::not_taken();
    PyObject** values = vk::py311::instance_values(self);
    const Py_ssize_t* slot = store_slots.slot;
    if (!values || values[slot[0]] || values[slot[1]] || values[slot[2]]) return vk::Shortcut::not_taken();
    vk::py311::store_instance_value(values, slot[0], lhs);
    vk::py311::store_instance_value(values, slot[1], sense);
    vk::py311::store_instance_value(values, slot[2], rhs);
    return vk::Shortcut::done();
}

// ============================================================================
// DraftRel
// ============================================================================

// Step 4: `self._lhs = lhs; self._sense = sense; self._rhs = rhs`, by
// ordinary attribute assignment: a subclass's __setattr__ sees all three.
// CAUTION: may run arbitrary Python code
PyObject* store_sides(PyObject* self, PyObject* lhs, PyObject* sense, PyObject* rhs) noexcept {
    if (vk::Shortcut s = store_inline(self, lhs, sense, rhs); s.taken()) return s.release();
    if (vk::setattr(self, N.lhs, lhs) < 0) return nullptr;
    if (vk::setattr(self, N.sense, sense) < 0) return nullptr;
    if (vk::setattr(self, N.rhs, rhs) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __init__(self, lhs, sense, rhs)
PyObject* draftrel_init(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *sense = a[2];
    Ref lhs = Ref::borrow(a[1]), rhs = Ref::borrow(a[3]);

    Ref core[C_count], matrix[M_count];
    if (vk::import_names(frame.dict, N.core, kCoreFromlist, core, &core_import) < 0) return nullptr;
    if (vk::import_names(frame.dict, N.matrixapi, kMatrixFromlist, matrix, &matrix_import) < 0) return nullptr;
    if (vk::Shortcut s = number_sides(lhs.get(), rhs.get(), core, matrix); s.taken())
        return s.ok() ? store_sides(self, lhs.get(), sense, rhs.get()) : nullptr;
    const Ref &GenExpr = core[C_GenExpr], &LinExpr = core[C_LinExpr], &NLExpr = core[C_NLExpr];
    const Ref &MVar = matrix[M_MVar], &MLinExpr = matrix[M_MLinExpr], &MQuadExpr = matrix[M_MQuadExpr],
              &MNLExpr = matrix[M_MNLExpr];

    // A matrix variable against a general or nonlinear expression keeps two
    // sides: a difference of the two would not be a linear matrix object.
    int general = is_a(lhs.get(), MVar);
    if (general > 0) general = is_any(rhs.get(), {&GenExpr, &NLExpr});
    if (general < 0) return nullptr;
    if (general) {
        int nonlinear = is_any(rhs.get(), {&NLExpr, &MNLExpr});
        if (nonlinear < 0) return nullptr;
        if (!nonlinear) {
            Ref item = vk::call_method(N.item, {lhs.get()});
            if (!item) return nullptr;
            lhs = vk::call(LinExpr.get(), {item.get()});
            if (!lhs) return nullptr;
        }
    } else {
        // Any other comparison with a linear or quadratic matrix object on
        // either side becomes `lhs - rhs` against zero.
        int affine = is_any(lhs.get(), {&MVar, &MLinExpr, &MQuadExpr});
        if (affine == 0) affine = is_any(rhs.get(), {&MVar, &MLinExpr, &MQuadExpr});
        if (affine < 0) return nullptr;
        if (affine) {
            Ref difference = Ref::steal(PyNumber_Subtract(lhs.get(), rhs.get()));
            if (!difference) return nullptr;
            lhs = std::move(difference);
            rhs = Ref::borrow(kZero);
        }
    }

    return store_sides(self, lhs.get(), sense, rhs.get());
}

// __repr__(self): "<varnok.DraftRel: " lhs sense rhs ">"
PyObject* draftrel_repr(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref lhs = vk::getattr(self, N.lhs);
    if (!lhs) return nullptr;
    Ref lhs_text = Ref::steal(PyObject_Str(lhs.get()));
    if (!lhs_text) return nullptr;

    Ref sense = vk::getattr(self, N.sense);
    if (!sense) return nullptr;
    // Anything but the two inequality senses prints as equality, the
    // implication sense "I" included.
    PyObject* sense_text = N.repr_eq;
    int r = sense_is(sense.get(), N.less_equal);
    if (r < 0) return nullptr;
    if (r) {
        sense_text = N.repr_le;
    } else {
        r = sense_is(sense.get(), N.greater_equal);
        if (r < 0) return nullptr;
        if (r) sense_text = N.repr_ge;
    }

    Ref rhs = vk::getattr(self, N.rhs);
    if (!rhs) return nullptr;
    Ref rhs_text = Ref::steal(PyObject_Str(rhs.get()));
    if (!rhs_text) return nullptr;

    PyObject* pieces[] = {N.repr_open, lhs_text.get(), sense_text, rhs_text.get(), N.repr_close};
    Ref list = Ref::steal(PyList_New(std::size(pieces)));
    if (!list) return nullptr;
    for (size_t i = 0; i < std::size(pieces); ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(pieces[i]));
    return PyUnicode_Join(N.empty, list.get());
}

// __rshift__(self, other): DraftRel(self, "I", other)
PyObject* draftrel_rshift(vk::Function*, PyObject* const* a) noexcept {
    Ref cls = g_DraftRel.get(frame);
    if (!cls) return nullptr;
    return vk::call(cls.get(), {a[0], N.implication, a[1]}).release();
}

// __le__(self, rhs), __ge__(self, rhs): a constraint is not a side of another.
PyObject* draftrel_compare(vk::Function*, PyObject* const*) noexcept { return raise_varnok_error(kNoCompareArgs); }

// __bool__(self): reached by `lb <= expr <= ub`, among others.
PyObject* draftrel_bool(vk::Function*, PyObject* const*) noexcept { return raise_varnok_error(kNoBoolArgs); }

// ============================================================================
// Class body
// ============================================================================

const char kClassDoc[] =
    "\n"
    "  Varnok temporary constraint object. Objects of this class are created as\n"
    "  intermediate results when constraints are built with overloaded operators.\n"
    "  ";

// Line numbers name the statement's place in this source for tracebacks.
const vk::FunctionSpec kInit = {"__init__", "DraftRel.__init__", "self, lhs, sense, rhs", draftrel_init, nullptr,
                                __LINE__, false};
const vk::FunctionSpec kRepr = {"__repr__", "DraftRel.__repr__", "self", draftrel_repr, nullptr, __LINE__, false};
const vk::FunctionSpec kRShift = {"__rshift__", "DraftRel.__rshift__", "self, other", draftrel_rshift, nullptr,
                                  __LINE__, false};
const vk::FunctionSpec kLe = {"__le__", "DraftRel.__le__", "self, rhs", draftrel_compare, nullptr, __LINE__, false};
const vk::FunctionSpec kGe = {"__ge__", "DraftRel.__ge__", "self, rhs", draftrel_compare, nullptr, __LINE__, false};
const vk::FunctionSpec kBool = {"__bool__", "DraftRel.__bool__", "self", draftrel_bool, nullptr, __LINE__, false};

int module_body(vk::ModuleFrame& f) noexcept {
    // from varnokpy._exception import VarnokError
    const char* const exception_names[] = {"VarnokError", nullptr};
    if (f.import_from("varnokpy._exception", exception_names) < 0) return -1;
    // from varnokpy._vrk import VRK
    const char* const vrk_names[] = {"VRK", nullptr};
    if (f.import_from("varnokpy._vrk", vrk_names) < 0) return -1;

    // class DraftRel(object)
    vk::ClassEntry entries[] = {
        {"__init__", vk::make_function(f, kInit, Ref())},
        {"__repr__", vk::make_function(f, kRepr, Ref())},
        {"__rshift__", vk::make_function(f, kRShift, Ref())},
        {"__le__", vk::make_function(f, kLe, Ref())},
        {"__ge__", vk::make_function(f, kGe, Ref())},
        {"__bool__", vk::make_function(f, kBool, Ref())},
    };
    Ref bases = Ref::steal(PyTuple_Pack(1, f.builtin(B_object)));
    if (!bases) return -1;
    Ref cls = vk::create_class(f, "DraftRel", bases.get(), kClassDoc, entries, std::size(entries));
    if (!cls) return -1;
    vk::set_field(draftrel_class, cls.dup());
    return f.bind("DraftRel", std::move(cls));
}

}  // namespace

VARNOK_MODULE(_draftrel, kInfo)
