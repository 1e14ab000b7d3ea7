// The hash table behind ValueIds.
#include "value_ids.hpp"

#include <cmath>
#include <cstring>

namespace patch_eus {

namespace {

// Whether the characters of a str can be read in place (false on error).
bool ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text) == 0;
#else
    (void)text;
    return true;
#endif
}

// A hash of a str's characters (its kind, length and code units), which is
// all that str equality looks at.
size_t text_hash(PyObject* v) {
    const Py_ssize_t size = PyUnicode_GET_LENGTH(v) * PyUnicode_KIND(v);
    const unsigned char* at = static_cast<const unsigned char*>(PyUnicode_DATA(v));
    uint64_t h = 0xcbf29ce484222325ULL ^ static_cast<uint64_t>(size);
    for (Py_ssize_t k = 0; k < size; ++k) h = (h ^ at[k]) * 0x100000001b3ULL;
    h ^= h >> 29;
    return static_cast<size_t>(h);
}

bool same_text(PyObject* a, PyObject* b) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// Whether two values of the kinds handled are equal as dict keys: 1, 0, or
// -1 on error.
int same(PyObject* known, PyObject* v) {
    if (known == v) return 1;
    if (Py_TYPE(known) != Py_TYPE(v)) return 0;
    if (PyUnicode_CheckExact(v)) return same_text(known, v);
    if (PyLong_CheckExact(v)) return PyObject_RichCompareBool(known, v, Py_EQ);
    return 0;  // None and NaN floats: identity only
}

}  // namespace

// hash_of and slot_of are inlined: they are the inner steps of every row's ids.

ValueIds::~ValueIds() {
    for (PyObject* v : values_) Py_DECREF(v);
}

[[gnu::always_inline]] inline int ValueIds::hash_of(PyObject* v, size_t& hash) {
    if (PyUnicode_CheckExact(v)) {
        hash = text_hash(v);
    } else if (PyLong_CheckExact(v)) {
        const Py_hash_t h = PyObject_Hash(v);
        if (h == -1) return -1;
        hash = static_cast<size_t>(h);
    } else if (v == Py_None || (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)))) {
        hash = reinterpret_cast<uintptr_t>(v) >> 4;
    } else {
        return 0;
    }
    return 1;
}

[[gnu::always_inline]] inline int ValueIds::slot_of(PyObject* v, size_t hash, size_t& slot) const {
    const size_t mask = slots_.size() - 1;
    for (slot = hash & mask;; slot = (slot + 1) & mask) {
        const int32_t id = slots_[slot];
        if (id < 0) return 0;
        if (hashes_[static_cast<size_t>(id)] != hash) continue;
        const int equal = same(values_[static_cast<size_t>(id)], v);
        if (equal) return equal < 0 ? -1 : 0;
    }
}

int ValueIds::add(PyObject* v, int32_t& id) {
    id = last_id_;
    if (v == last_) return 1;
    if (PyUnicode_CheckExact(v)) {
        if (!ready(v)) return -1;
        // Runs of rows often name the same text, each in an object of its own.
        if (last_ && PyUnicode_CheckExact(last_) && same_text(last_, v)) return 1;
    }
    id = -1;
    size_t hash;
    if (int handled = hash_of(v, hash); handled <= 0) return handled;
    if (slots_.empty()) grow();
    size_t slot;
    if (slot_of(v, hash, slot) < 0) return -1;
    id = slots_[slot];
    if (id < 0) {
        if (values_.size() >= static_cast<size_t>(INT32_MAX)) return 0;
        // Room first (this may throw std::bad_alloc), so that every value
        // kept holds its reference.
        if (values_.size() == values_.capacity()) {
            values_.reserve(values_.size() * 2 + 16);
            hashes_.reserve(values_.capacity());
        }
        id = static_cast<int32_t>(values_.size());
        slots_[slot] = id;
        Py_INCREF(v);
        values_.push_back(v);
        hashes_.push_back(hash);
        if (values_.size() * 2 > slots_.size()) grow();
    }
    // The value held here, so that it stays valid however long it is kept.
    last_ = values_[static_cast<size_t>(id)];
    last_id_ = id;
    return 1;
}

int ValueIds::find(PyObject* text, int32_t& id) {
    id = -1;
    if (slots_.empty()) return 0;
    if (!ready(text)) return -1;
    size_t slot;
    if (slot_of(text, text_hash(text), slot) < 0) return -1;
    id = slots_[slot];
    return 0;
}

void ValueIds::grow() {
    const size_t size = slots_.empty() ? 64 : slots_.size() * 2;
    slots_.assign(size, -1);
    const size_t mask = size - 1;
    for (size_t id = 0; id < values_.size(); ++id) {
        size_t i = hashes_[id] & mask;
        while (slots_[i] >= 0) i = (i + 1) & mask;
        slots_[i] = static_cast<int32_t>(id);
    }
}

}  // namespace patch_eus
