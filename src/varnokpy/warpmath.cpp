// varnokpy.warpmath: the ten elementary functions of modelling objects
// (sqrt, sin, cos, tan, exp, log, log2, log10, logistic, square).
//
// Nothing is evaluated here. Each public function hands its argument and one
// tree constructor of `_ExprTree` to `_apply_warpmath`, which is the only
// place that tells matrix-friendly objects from everything else:
//   - term path: the argument becomes one expression tree, the constructor
//     puts its node on top, and `NLExpr` wraps the result;
//   - matrix path: the argument becomes an object array of trees, and
//     `numpy.vectorize` maps a per-call element function over it, wrapping
//     each new tree into its own `NLExpr` before `MNLExpr` wraps the array.
//
// Every module global (`_apply_warpmath`, `_ExprTree`, `NLExpr` and the four
// matrix classes) is looked up at the moment the Python-level code would read
// it, so rebinding a module attribute is seen by the next call. NumPy is
// imported on the matrix path only, at each such call; a model that never
// touches matrices never loads it.
//
// The module raises nothing of its own: every failure is the one raised by
// the sibling classes, the tree function or NumPy, passed on unchanged.
#include "frame.hpp"

namespace {

using namespace vk::prelude;

// ============================================================================
// Module state
// ============================================================================

int module_constants(vk::ModuleFrame&) noexcept;
int module_prebuilt(vk::ModuleFrame&) noexcept;
int module_body(vk::ModuleFrame&) noexcept;

const char kModuleDoc[] =
    "Varnok nonlinear functions module\n"
    "\n"
    "The functions of this module (sqrt, sin, cos, tan, exp, log, log2, log10,\n"
    "logistic, square) accept any modelling object (a variable, a linear,\n"
    "quadratic or nonlinear expression, or one of their matrix-friendly\n"
    "counterparts) or a number, and return an NLExpr or MNLExpr that can be\n"
    "used to add nonlinear constraints to a model. Matrix-friendly arguments\n"
    "are transformed element by element.\n"
    "\n"
    "Example:\n"
    "  from varnokpy import warpmath\n"
    "  from varnokpy._core import Var\n"
    "\n"
    "  x, y, z = Var(\"x\"), Var(\"y\"), Var(\"z\")   # three free variables\n"
    "  c = z == warpmath.sin(x + y)              # z = sin(x + y)\n";

const vk::ModuleInfo kInfo = {
    "warpmath", "varnokpy.warpmath", "src/varnokpy/warpmath", kModuleDoc, nullptr, false,
    module_constants, module_prebuilt, module_body,
};

// The module's frame, defined by VARNOK_MODULE at the end of this file.
extern vk::ModuleFrame& frame;

// The public functions in definition order; the index selects the tree
// constructor that each passes on.
enum Warp { W_sqrt, W_sin, W_cos, W_tan, W_exp, W_log, W_log2, W_log10, W_logistic, W_square, W_count };

const char* const kConstructorNames[W_count] = {
    "_from_sqrt", "_from_sin", "_from_cos", "_from_tan", "_from_exp",
    "_from_log", "_from_log2", "_from_log10", "_from_logistic", "_from_square",
};

// Interned attribute names.
struct Names {
    PyObject* constructor[W_count];
    PyObject *coerce, *coerce_array, *vectorize;
} N;

vk::GlobalName g_apply("_apply_warpmath"), g_ExprTree("_ExprTree"), g_NLExpr("NLExpr"), g_MVar("MVar"),
    g_MLinExpr("MLinExpr"), g_MQuadExpr("MQuadExpr"), g_MNLExpr("MNLExpr");

int module_constants(vk::ModuleFrame&) noexcept {
    for (int i = 0; i < W_count; ++i)
        if (!N.constructor[i] && !(N.constructor[i] = vk::intern(kConstructorNames[i]))) return -1;
    if (vk::intern_all({
        {&N.coerce, "_coerce_to_exprtree"},
        {&N.coerce_array, "_coerce_to_exprtree_array"},
        {&N.vectorize, "vectorize"},
        }) < 0)
        return -1;
    for (vk::GlobalName* g : {&g_apply, &g_ExprTree, &g_NLExpr, &g_MVar, &g_MLinExpr, &g_MQuadExpr, &g_MNLExpr})
        if (g->init() < 0) return -1;
    return 0;
}

// ============================================================================
// The element function of the matrix path
// ============================================================================
//
// `numpy.vectorize` needs a Python callable of one tree. It is the nested
// function `f(x)` of `_apply_warpmath`: created per call, holding that call's
// tree function (the closure), and reading `NLExpr` from the module namespace
// at every element, as a nested function would. It reports its failures under
// the nested name, so a traceback through NumPy still says where it came from.

// f(x): NLExpr(warp_math(x)), with this call's tree function as the closure.
// CAUTION: may run arbitrary Python code
PyObject* element_apply(vk::Function* fn, PyObject* const* a) noexcept {
    // Held across the calls below: the tree function may drop every other
    // reference to this element function.
    Ref warp_math = Ref::borrow(fn->closure);
    if (!warp_math) {
        // Only a function resurrected after the cycle collector cleared it.
        PyErr_SetString(PyExc_RuntimeError, "element function called after it was cleared");
        return nullptr;
    }
    Ref nlexpr = g_NLExpr.get(frame);
    if (!nlexpr) return nullptr;
    Ref tree = vk::call(warp_math.get(), {a[0]});
    if (!tree) return nullptr;
    return vk::call(nlexpr.get(), {tree.get()}).release();
}

const vk::FunctionSpec kElement = {"f", "_apply_warpmath.<locals>.f", "x", element_apply, nullptr, __LINE__, false};

// Made once at load; each matrix call makes its own closure from it.
PyObject* element_prototype = nullptr;

int module_prebuilt(vk::ModuleFrame& f) noexcept {
    if (!element_prototype) element_prototype = vk::make_function(f, kElement, Ref()).release();
    return element_prototype ? 0 : -1;
}

// ============================================================================
// Classification and application
// ============================================================================

// `(MVar, MLinExpr, MQuadExpr, MNLExpr)`, read from the namespace now and in
// this order, before any of them is tested.
Ref matrix_classes() noexcept {
    Ref t = Ref::steal(PyTuple_New(4));
    if (!t) return Ref();
    Py_ssize_t i = 0;
    for (vk::GlobalName* g : {&g_MVar, &g_MLinExpr, &g_MQuadExpr, &g_MNLExpr}) {
        Ref cls = g->get(frame);
        if (!cls) return Ref();
        PyTuple_SET_ITEM(t.get(), i++, cls.release());
    }
    return t;
}

// NLExpr(warp_math(NLExpr._coerce_to_exprtree(arg)))
// CAUTION: may run arbitrary Python code
Ref apply_to_term(PyObject* arg, PyObject* warp_math) noexcept {
    Ref root;
    {
        Ref nlexpr = g_NLExpr.get(frame);
        if (!nlexpr) return Ref();
        Ref coerce = vk::getattr(nlexpr.get(), N.coerce);
        if (!coerce) return Ref();
        root = vk::call(coerce.get(), {arg});
        if (!root) return Ref();
    }
    // The wrapper is read before the tree function runs, as the nested call
    // `NLExpr(warp_math(root))` evaluates it.
    Ref nlexpr = g_NLExpr.get(frame);
    if (!nlexpr) return Ref();
    Ref tree = vk::call(warp_math, {root.get()});
    if (!tree) return Ref();
    return vk::call(nlexpr.get(), {tree.get()});
}

// MNLExpr(numpy.vectorize(f)(MNLExpr._coerce_to_exprtree_array(arg)))
// CAUTION: may run arbitrary Python code
Ref apply_to_matrix(PyObject* arg, PyObject* warp_math) noexcept {
    // Every matrix call goes through the import system; after the first one
    // this is a lookup in sys.modules, and NumPy is never loaded for scalars.
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return Ref();
    Ref tree_array;
    {
        Ref mnlexpr = g_MNLExpr.get(frame);
        if (!mnlexpr) return Ref();
        Ref coerce = vk::getattr(mnlexpr.get(), N.coerce_array);
        if (!coerce) return Ref();
        tree_array = vk::call(coerce.get(), {arg});
        if (!tree_array) return Ref();
    }
    Ref f = vk::make_closure(element_prototype, warp_math);
    if (!f) return Ref();
    // No output types: NumPy calls `f` once on the first element to learn the
    // result type, and refuses arrays without elements. Both are NumPy's
    // documented rules for this call and are kept as they are.
    Ref vectorize = vk::getattr(numpy.get(), N.vectorize);
    if (!vectorize) return Ref();
    Ref vectorized = vk::call(vectorize.get(), {f.get()});
    if (!vectorized) return Ref();
    Ref mnlexpr = g_MNLExpr.get(frame);
    if (!mnlexpr) return Ref();
    Ref expressions = vk::call(vectorized.get(), {tree_array.get()});
    if (!expressions) return Ref();
    return vk::call(mnlexpr.get(), {expressions.get()});
}

// _apply_warpmath(arg, warp_math)
PyObject* apply_warpmath(vk::Function*, PyObject* const* a) noexcept {
    PyObject *arg = a[0], *warp_math = a[1];
    Ref classes = matrix_classes();
    if (!classes) return nullptr;
    // isinstance with the tuple: tested in order, first match wins,
    // __instancecheck__ and subclasses honoured.
    int matrix = PyObject_IsInstance(arg, classes.get());
    if (matrix < 0) return nullptr;
    classes.reset();
    return (matrix ? apply_to_matrix(arg, warp_math) : apply_to_term(arg, warp_math)).release();
}

// ============================================================================
// Public functions
// ============================================================================

// _apply_warpmath(expr, _ExprTree._from_<name>)
template <Warp W>
PyObject* warp_function(vk::Function*, PyObject* const* a) noexcept {
    Ref apply = g_apply.get(frame);
    if (!apply) return nullptr;
    Ref tree_class = g_ExprTree.get(frame);
    if (!tree_class) return nullptr;
    Ref constructor = vk::getattr(tree_class.get(), N.constructor[W]);
    if (!constructor) return nullptr;
    return vk::call(apply.get(), {a[0], constructor.get()}).release();
}

#define WARP_DOC(NAME, WHAT)                                                          \
    "\n"                                                                              \
    "  ROUTINE:\n"                                                                    \
    "    " NAME "(expr)\n"                                                            \
    "\n"                                                                              \
    "  PURPOSE:\n"                                                                    \
    "    Build an expression that represents " WHAT ".\n"                             \
    "\n"                                                                              \
    "  ARGUMENTS:\n"                                                                  \
    "    expr: A modelling object (Var, LinExpr, QuadExpr, NLExpr, MVar,\n"           \
    "          MLinExpr, MQuadExpr, MNLExpr) or a numeric value.\n"                   \
    "\n"                                                                              \
    "  RETURN VALUE:\n"                                                               \
    "    An NLExpr for a term-based object (variable, linear, quadratic or\n"         \
    "    nonlinear expression) or a number; an MNLExpr, built element by\n"           \
    "    element, for a matrix-friendly object (MVar, MLinExpr, MQuadExpr,\n"         \
    "    MNLExpr).\n"                                                                 \
    "\n"                                                                              \
    "  EXAMPLE:\n"                                                                    \
    "    x = Var(\"x\")\n"                                                            \
    "    e = warpmath." NAME "(x)\n"                                                  \
    "  "

// Line numbers name the statement's place in this source for tracebacks.
const vk::FunctionSpec kApply = {"_apply_warpmath", "_apply_warpmath", "arg, warp_math", apply_warpmath, nullptr,
                                 __LINE__, false};
const vk::FunctionSpec kPublic[W_count] = {
    {"sqrt", "sqrt", "expr", warp_function<W_sqrt>, WARP_DOC("sqrt", "the square root of the argument"), __LINE__,
     false},
    {"sin", "sin", "expr", warp_function<W_sin>, WARP_DOC("sin", "the sine of the argument"), __LINE__, false},
    {"cos", "cos", "expr", warp_function<W_cos>, WARP_DOC("cos", "the cosine of the argument"), __LINE__, false},
    {"tan", "tan", "expr", warp_function<W_tan>, WARP_DOC("tan", "the tangent of the argument"), __LINE__, false},
    {"exp", "exp", "expr", warp_function<W_exp>,
     WARP_DOC("exp", "e (the base of the natural logarithm) raised to the power of the argument"), __LINE__, false},
    {"log", "log", "expr", warp_function<W_log>, WARP_DOC("log", "the natural logarithm of the argument"), __LINE__,
     false},
    {"log2", "log2", "expr", warp_function<W_log2>, WARP_DOC("log2", "the base 2 logarithm of the argument"),
     __LINE__, false},
    {"log10", "log10", "expr", warp_function<W_log10>, WARP_DOC("log10", "the base 10 logarithm of the argument"),
     __LINE__, false},
    {"logistic", "logistic", "expr", warp_function<W_logistic>,
     WARP_DOC("logistic", "the logistic function 1 / (1 + exp(-x)) of the argument"), __LINE__, false},
    {"square", "square", "expr", warp_function<W_square>, WARP_DOC("square", "the square of the argument"), __LINE__,
     false},
};

// ============================================================================
// Module body
// ============================================================================

int module_body(vk::ModuleFrame& f) noexcept {
    // import math
    if (f.import_module("math") < 0) return -1;
    // from varnokpy._core import Var, LinExpr, QuadExpr, NLExpr, _ExprTree
    const char* const core_names[] = {"Var", "LinExpr", "QuadExpr", "NLExpr", "_ExprTree", nullptr};
    if (f.import_from("varnokpy._core", core_names) < 0) return -1;
    // from varnokpy._matrixapi import MVar, MLinExpr, MQuadExpr, MNLExpr
    const char* const matrix_names[] = {"MVar", "MLinExpr", "MQuadExpr", "MNLExpr", nullptr};
    if (f.import_from("varnokpy._matrixapi", matrix_names) < 0) return -1;

    if (f.bind("_apply_warpmath", vk::make_function(f, kApply, Ref())) < 0) return -1;
    for (const vk::FunctionSpec& spec : kPublic)
        if (f.bind(spec.name, vk::make_function(f, spec, Ref())) < 0) return -1;
    return 0;
}

}  // namespace

VARNOK_MODULE(warpmath, kInfo)
