// Module creation and execution, imports, global lookup and class creation.
//
// Each native module owns one static `ModuleFrame`: the process-wide state of
// that module (the module object once created, the interpreter that created
// it, its namespace, the `builtins` module and the builtins resolved at load).
// A module declares itself with VARNOK_MODULE, which defines its static
// `ModuleFrame` (whose definition carries the create and exec slots), the
// reference `frame` to it in the module's anonymous namespace (which the
// module declares `extern` before its first use), and the exported
// `PyInit_<name>`.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "dict_memo.hpp"
#include "function.hpp"
#include "shortcut.hpp"

namespace vk {

struct ModuleFrame;
using ModuleStep = int (*)(ModuleFrame& frame) noexcept;

struct ModuleInfo {
    const char* short_name;        // "_mod"
    const char* full_name;         // "varnokpy._mod"
    const char* source_path;       // "src/varnokpy/_mod"
    const char* doc;               // module docstring or nullptr
    const char* const* builtins;   // names resolved once at load, nullptr-terminated
    bool generators;               // registers the generator type at load
    ModuleStep constants;          // interned strings and constants (may be null)
    ModuleStep prebuilt;           // cached tuples, slices, code objects (may be null)
    ModuleStep body;               // the module body
};

struct ModuleFrame {
    const ModuleInfo& info;
    PyModuleDef def;
    PyModuleDef_Slot slots[3];
    PyObject* module = nullptr;       // recorded by the exec step
    int64_t interp_id = -1;
    PyObject* dict = nullptr;         // module namespace (borrowed from module)
    PyObject* builtins_module = nullptr;
    PyObject* builtins_dict = nullptr;
    PyObject* resolved[16] = {};      // builtins resolved at load, in `info.builtins` order
    // The `__defaults__` or `__kwdefaults__` of a function of this module was
    // replaced: what its calls compute may differ from what it did at load.
    bool functions_changed = false;

    explicit ModuleFrame(const ModuleInfo& info) noexcept;

    PyObject* builtin(int i) const noexcept { return resolved[i]; }

    // Module body statements.
    int import_module(const char* name) noexcept;              // import M (binds M)
    int import_from(const char* module, const char* const* names) noexcept;  // from M import a, b
    int bind(const char* name, Ref value) noexcept;            // module global

    // Creation steps, called by the create and exec slots of `def`.
    PyObject* create(PyObject* spec) noexcept;
    int exec(PyObject* module) noexcept;
};

// A module global looked up at call time (the namespace, then `builtins`),
// with the lookup remembered while neither dict changes (and neither could
// run code in a lookup: DictMemo). Failing lookups raise NameError "name
// '%U' is not defined".
struct GlobalName {
    const char* text;
    PyObject* name = nullptr;          // interned, created at load
    DictMemo<2, PyObject*> found;      // the value (borrowed: the dict holding it is unchanged)

    explicit constexpr GlobalName(const char* t) noexcept : text(t) {}
    int init() noexcept;
    Ref get(const ModuleFrame& frame) noexcept;
    // Whether the value `get` would give is `expected`, for the guards of
    // shortcuts that are valid only while a global is the load-time object.
    // Runs no code: false (no exception set) when the lookup fails or could
    // run code.
    bool is(const ModuleFrame& frame, PyObject* expected) noexcept;
};

// Interned string created once at load.
PyObject* intern(const char* s) noexcept;

// Interns a table of names into their slots (slots already set are kept).
struct Interned {
    PyObject** slot;
    const char* text;
};
int intern_all(std::initializer_list<Interned> names) noexcept;

// What one `from M import a, b, ...` statement that runs at call time found
// the last time it went through the import machinery, and the state it read
// that answer from. One per statement, in static storage; the references it
// holds live as long as the process, like the rest of a module's state.
class ImportCache {
public:
    constexpr ImportCache() noexcept = default;
    ImportCache(const ImportCache&) = delete;
    ImportCache& operator=(const ImportCache&) = delete;

private:
    friend int import_names(PyObject*, PyObject*, PyObject*, Ref*, ImportCache*) noexcept;
    static constexpr Py_ssize_t kMaxNames = 8;

    // Borrowed: the statement's own constants, compared by identity.
    PyObject* module_name_ = nullptr;
    PyObject* fromlist_ = nullptr;
    // The rest are owned references.
    PyObject* modules_ = nullptr;           // sys.modules
    uint64_t modules_version_ = 0;
    PyObject* module_ = nullptr;            // sys.modules[module_name]
    PyObject* module_dict_ = nullptr;       // its namespace
    uint64_t module_dict_version_ = 0;
    PyObject* spec_ = nullptr;              // its __spec__
    PyTypeObject* spec_type_ = nullptr;
    unsigned int spec_type_version_ = 0;
    PyObject* spec_dict_ = nullptr;         // __spec__.__dict__
    uint64_t spec_dict_version_ = 0;
    PyObject* values_[kMaxNames] = {};
    Py_ssize_t count_ = 0;                  // 0: nothing remembered

    Shortcut answer(PyObject* module_name, PyObject* fromlist, Ref* out) noexcept;
    int remember(PyObject* module_name, PyObject* fromlist, PyObject* module, Ref* values) noexcept;
    void swap(ImportCache& other) noexcept;
    void drop() noexcept;
};

// `from <module_name> import <fromlist...>` with the frame's rules (the
// module's attribute, else a loaded submodule `<module_name>.<name>`, else
// ImportError "cannot import name %S"); the values go to `out` in fromlist
// order. `fromlist` is a tuple or list of str; `globals` the importer's
// namespace. With a `cache`, a statement that runs again answers from it
// while nothing its last answer was read from has changed (module.cpp says
// what that covers); shortcuts off, every run goes through the machinery.
// CAUTION: may run arbitrary Python code
int import_names(PyObject* globals, PyObject* module_name, PyObject* fromlist, Ref* out,
                 ImportCache* cache = nullptr) noexcept;

// One entry of a class body: `value` stored under `key`.
struct ClassEntry {
    const char* key;
    Ref value;
};

// Class statement: metaclass from the bases, `__prepare__`, then
// `__module__`, `__qualname__`, `__doc__` and the entries in order, then the
// metaclass call.
Ref create_class(ModuleFrame& frame, const char* name, PyObject* bases, const char* doc,
                 ClassEntry* entries, size_t nentries) noexcept;

}  // namespace vk

#define VARNOK_MODULE(NAME, INFO)                                                  \
    static ::vk::ModuleFrame NAME##_frame(INFO);                                   \
    namespace {                                                                    \
    ::vk::ModuleFrame& frame = NAME##_frame;                                       \
    }                                                                              \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##NAME() {  \
        return PyModuleDef_Init(&NAME##_frame.def);                                \
    }
