// The generator bodies (the selection's pairs, the key walks, the generator
// expressions that feed `_sum_terms`) and the methods that make generators.
#pragma once

// A generator object of `fn` around `body` (a new body, or nullptr when the
// allocation failed).
Ref spawn(vk::Function* fn, vk::GenBody* body) noexcept {
    if (!body) {
        PyErr_NoMemory();
        return Ref();
    }
    return vk::make_generator(fn, body);
}

// `a, b = pair`, with the interpreter's messages.
// CAUTION: may run arbitrary Python code
int unpack_pair(PyObject* pair, Ref& a, Ref& b) noexcept {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pair)->tp_iter && !PySequence_Check(pair)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        }
        return -1;
    }
    Ref* slots[] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// _iteritems_internal(self, *vals) and iteritems(self, *vals): the pairs
// (k, self[k]) of the selection, in selection order; `iteritems` warns first.
class PairsBody final : public vk::GenBody {
public:
    PairsBody(PyObject* self, PyObject* vals, PyObject* warning) noexcept
        : self_(Ref::borrow(self)), vals_(Ref::borrow(vals)), warning_(warning) {}

    // CAUTION: may run arbitrary Python code
    PyObject* resume() noexcept override {
        if (!self_) return nullptr;  // cleared by the collector: exhausted
        if (!it_) {
            if (warning_ && warn_deprecated(warning_) < 0) return nullptr;
            Ref selection = selection_of(self_.get(), Vals::of(vals_.get()));
            if (!selection) return nullptr;
            it_ = Ref::steal(PyObject_GetIter(selection.get()));
            if (!it_) return nullptr;
        }
        Ref it = it_.dup();
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) return nullptr;
        Ref value = Ref::steal(PyObject_GetItem(self_.get(), key.get()));
        if (!value) return nullptr;
        return PyTuple_Pack(2, key.get(), value.get());
    }
    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(self_.get());
        Py_VISIT(vals_.get());
        Py_VISIT(it_.get());
        return 0;
    }
    void clear() noexcept override {
        it_.reset();
        vals_.reset();
        self_.reset();
    }

private:
    Ref self_, vals_, it_;
    PyObject* warning_;  // interned for the process, or nullptr
};

// __iter__(self), iterkeys(self), itervalues(self): walk what `self.keys()`
// returns; `itervalues` yields self[k] instead of k. The deprecated ones warn
// first.
class KeysBody final : public vk::GenBody {
public:
    KeysBody(PyObject* self, PyObject* warning, bool values) noexcept
        : self_(Ref::borrow(self)), warning_(warning), values_(values) {}

    // CAUTION: may run arbitrary Python code
    PyObject* resume() noexcept override {
        if (!self_) return nullptr;  // cleared by the collector: exhausted
        if (!it_) {
            if (warning_ && warn_deprecated(warning_) < 0) return nullptr;
            Ref keys = vk::call_method(N.keys, {self_.get()});
            if (!keys) return nullptr;
            it_ = Ref::steal(PyObject_GetIter(keys.get()));
            if (!it_) return nullptr;
        }
        Ref it = it_.dup();
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key || !values_) return key.release();
        return PyObject_GetItem(self_.get(), key.get());
    }
    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(self_.get());
        Py_VISIT(it_.get());
        return 0;
    }
    void clear() noexcept override {
        it_.reset();
        self_.reset();
    }

private:
    Ref self_, it_;
    PyObject* warning_;
    bool values_;
};

// The generator expressions that feed `_sum_terms`:
//   sum:          (v for k, v in self._iteritems_internal(*vals))
//   prod, walk d: (w * self[k] for k, w in d.items() if k in self)
//   prod, walk s: (d[k] * v for k, v in self._iteritems_internal(*vals) if k in d)
//   prod, list:   (w * self[i] for i, w in enumerate(d) if i in self)
class TermsBody final : public vk::GenBody {
public:
    enum Kind { Values, CoefficientsFirst, SelectionFirst };

    TermsBody(Kind kind, PyObject* it, PyObject* owner) noexcept
        : kind_(kind), it_(Ref::borrow(it)), owner_(Ref::borrow(owner)) {}

    // CAUTION: may run arbitrary Python code
    PyObject* resume() noexcept override {
        if (!it_ || !owner_) return nullptr;  // cleared by the collector: exhausted
        Ref it = it_.dup();
        Ref owner = owner_.dup();
        for (;;) {
            Ref pair = Ref::steal(PyIter_Next(it.get()));
            if (!pair) return nullptr;
            Ref key, value;
            if (unpack_pair(pair.get(), key, value) < 0) return nullptr;
            pair.reset();
            if (kind_ == Values) return value.release();
            int found = PySequence_Contains(owner.get(), key.get());
            if (found < 0) return nullptr;
            if (!found) continue;
            Ref other = Ref::steal(PyObject_GetItem(owner.get(), key.get()));
            if (!other) return nullptr;
            // The coefficient is always the left operand.
            if (kind_ == CoefficientsFirst) return PyNumber_Multiply(value.get(), other.get());
            return PyNumber_Multiply(other.get(), value.get());
        }
    }
    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(it_.get());
        Py_VISIT(owner_.get());
        return 0;
    }
    void clear() noexcept override {
        it_.reset();
        owner_.reset();
    }

private:
    Kind kind_;
    Ref it_;     // the iterator of the outermost iterable
    Ref owner_;  // the mapping of the membership test and item lookup
};

// Creates a generator expression of `enclosing` over `iterable`: the
// iterator is taken in the enclosing function, as Python does.
// CAUTION: may run arbitrary Python code
Ref make_genexpr(const char* enclosing_tb, const char* qualname, int line, TermsBody::Kind kind, PyObject* iterable,
                 PyObject* owner) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        std::string name = std::string(enclosing_tb) + ".genexpr";
        vk::add_traceback_entry(name.c_str(), frame.info.source_path, line);
        return Ref();
    }
    auto* body = new (std::nothrow) TermsBody(kind, it.get(), owner);
    if (!body) {
        PyErr_NoMemory();
        return Ref();
    }
    return vk::make_generator("genexpr", qualname, frame.info.source_path, line, body);
}

PyObject* keyshelf_iteritems_internal(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) PairsBody(a[0], a[1], nullptr)).release();
}
PyObject* keyshelf_iteritems(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) PairsBody(a[0], a[1], kIteritemsWarning)).release();
}
PyObject* keyshelf_iter(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], nullptr, false)).release();
}
PyObject* keyshelf_iterkeys(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], kIterkeysWarning, false)).release();
}
PyObject* keyshelf_itervalues(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], kItervaluesWarning, true)).release();
}
