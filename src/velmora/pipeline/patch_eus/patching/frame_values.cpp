// The score lookup read straight from the frame's values array, held as a
// compact index instead of a dict of tuples.
//
// `iterrows` of pandas' DataFrame hands out, for row k, a Series built from
// `frame.values[k]` with the columns as its index; reading "muta", "donem",
// "eus_skor" and "eus_ihtimal" from it gives back the elements of that row,
// unless pandas converts the row while building the Series.  Building a
// Series per row, and a dict of tuples over a million rows, costs far more
// than the database work itself.  So when the frame is provably one for
// which the Series hold the row's own elements, and every firm and period is
// a value whose equality the index can decide without running Python code,
// the lookup is kept as
//
//   groups:  one per distinct (firm, period) key, in the order the keys
//            first occur, with the first row (whose firm and period objects
//            a dict would keep as the key) and the last row (whose score and
//            probability a dict would keep as the value);
//
// and the elements are read where `values` would take them from, when
// needed.  The guard, in one sentence: the frame's type is exactly pandas'
// DataFrame, its instance dict does not shadow `iterrows`, the `iterrows`
// and `values` its type holds are the functions pandas' frame module
// defines, its columns are exactly the four labels in table order, `values`
// holds objects, every row holds an int or a non-NaN float before a third
// text, every firm and period is an exact str, an exact int, None or a NaN
// float, and every calendar entry is an exact str.  Anything else is left
// to `iterrows` and the dict.
#include "patching.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace patch_eus {

namespace {

// An entry of a dict whose keys are strs, borrowed, or NULL; nothing raised.
PyObject* entry(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (!found) PyErr_Clear();
    return found;
}

// sys.modules[name] (borrowed), or NULL when absent.
PyObject* loaded_module(PyObject* name) {
    PyObject* found = entry(PyImport_GetModuleDict(), name);
    return found && PyModule_Check(found) ? found : nullptr;
}

// The class `name` of a loaded module, or NULL.
PyTypeObject* class_of(PyObject* module, PyObject* name) {
    if (!module) return nullptr;
    PyObject* found = entry(PyModule_GetDict(module), name);
    return found && PyType_Check(found) ? reinterpret_cast<PyTypeObject*>(found) : nullptr;
}

// Whether `fn` is a plain function named `name` whose code was compiled from
// `module`'s own file and which runs in that module's globals.  Errors count
// as "no" and are cleared: the prescribed path is always a valid answer.
bool defined_by(PyObject* fn, PyObject* module, PyObject* name) {
    if (!fn || !PyFunction_Check(fn)) return false;
    PyObject* module_dict = PyModule_GetDict(module);
    if (PyFunction_GET_GLOBALS(fn) != module_dict) return false;
    PyObject* file = entry(module_dict, text::dunder_file);
    Ref code_name = Ref::steal(PyObject_GetAttr(PyFunction_GET_CODE(fn), text::co_name));
    Ref code_file = Ref::steal(PyObject_GetAttr(PyFunction_GET_CODE(fn), text::co_filename));
    if (!code_name || !code_file || !file || !PyUnicode_Check(file) ||
        !PyUnicode_Check(code_name.get()) || !PyUnicode_Check(code_file.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Compare(code_name.get(), name) == 0 &&
           PyUnicode_Compare(code_file.get(), file) == 0;
}

// Whether `frame` is pandas' own DataFrame with pandas' own `iterrows` and
// `values`, and nothing in the instance shadowing `iterrows`.
bool is_plain_frame(PyObject* frame) {
    PyObject* frame_module = loaded_module(text::pandas_frame);
    PyTypeObject* frame_type = class_of(frame_module, text::DataFrame);
    if (!frame_type || Py_TYPE(frame) != frame_type) return false;

    if (!defined_by(_PyType_Lookup(frame_type, text::iterrows), frame_module, text::iterrows))
        return false;
    PyObject* values = _PyType_Lookup(frame_type, text::values);
    if (!values || Py_TYPE(values) != &PyProperty_Type) return false;
    Ref getter = Ref::steal(PyObject_GetAttr(values, text::fget));
    if (!getter) {
        PyErr_Clear();
        return false;
    }
    if (!defined_by(getter.get(), frame_module, text::values)) return false;

    PyObject** dict = _PyObject_GetDictPtr(frame);
    if (dict && *dict) {
        PyObject* shadow = PyDict_GetItemWithError(*dict, text::iterrows);
        if (shadow || PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// 1 when `columns` is pandas' Index holding exactly the four labels in table
// order, 0 when not, -1 on error.
int has_table_columns(PyObject* columns) {
    PyTypeObject* index_type = class_of(loaded_module(text::pandas_index), text::Index);
    if (!index_type || Py_TYPE(columns) != index_type) return 0;
    Ref labels = Ref::steal(PySequence_List(columns));
    if (!labels) return -1;
    PyObject* const expected[] = {text::muta, text::donem, text::eus_skor, text::eus_ihtimal};
    if (PyList_GET_SIZE(labels.get()) != 4) return 0;
    for (Py_ssize_t j = 0; j < 4; ++j) {
        PyObject* label = PyList_GET_ITEM(labels.get(), j);
        if (!PyUnicode_CheckExact(label) || PyUnicode_Compare(label, expected[j]) != 0) return 0;
    }
    return 1;
}

// One column of the frame as `values` would hold it, read in place: either
// the objects of an object array, or the doubles of a float64 array, which
// `values` would hold as the floats made from them.
struct Column {
    bool doubles = false;
    const char* data = nullptr;
    Py_ssize_t stride = 0;

    // Borrowed; objects only.
    PyObject* object(Py_ssize_t row) const {
        PyObject* element;
        std::memcpy(&element, data + row * stride, sizeof element);
        return element;
    }
    double number(Py_ssize_t row) const {
        double element;
        std::memcpy(&element, data + row * stride, sizeof element);
        return element;
    }
    // A new reference to the element `values` would hold.
    PyObject* element(Py_ssize_t row) const {
        if (doubles) return PyFloat_FromDouble(number(row));
        PyObject* element = object(row);
        Py_INCREF(element);
        return element;
    }
};

struct Columns {
    Py_ssize_t count = 0;
    Column column[4];
    std::vector<Ref> arrays;  // keep the data alive
};

// The layout of a numpy array from its `__array_interface__`: 1 with
// `data`, `shape` and `strides` for a 2-D array whose items are `typestr`,
// 0 for anything else, -1 on error.
int array_layout(PyObject* array, const char* typestr, const char*& data, Py_ssize_t shape[2],
                 Py_ssize_t strides[2]) {
    PyTypeObject* ndarray = class_of(loaded_module(text::numpy), text::ndarray);
    if (!ndarray || Py_TYPE(array) != ndarray) return 0;
    Ref iface = Ref::steal(PyObject_GetAttr(array, text::array_interface));
    if (!iface) return -1;
    if (!PyDict_CheckExact(iface.get())) return 0;
    PyObject* kind = entry(iface.get(), text::typestr);
    PyObject* dims = entry(iface.get(), text::shape);
    PyObject* start = entry(iface.get(), text::data);
    PyObject* steps = entry(iface.get(), text::strides);
    if (!kind || !PyUnicode_Check(kind) || PyUnicode_CompareWithASCIIString(kind, typestr) != 0)
        return 0;
    if (!dims || !PyTuple_Check(dims) || PyTuple_GET_SIZE(dims) != 2) return 0;
    if (!start || !PyTuple_Check(start) || PyTuple_GET_SIZE(start) != 2) return 0;
    shape[0] = PyLong_AsSsize_t(PyTuple_GET_ITEM(dims, 0));
    shape[1] = PyLong_AsSsize_t(PyTuple_GET_ITEM(dims, 1));
    data = static_cast<const char*>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(start, 0)));
    if (PyErr_Occurred()) return -1;
    if (shape[0] < 0 || shape[1] < 0) return 0;
    const Py_ssize_t item = std::strcmp(typestr, "|O") == 0
                                ? static_cast<Py_ssize_t>(sizeof(PyObject*))
                                : static_cast<Py_ssize_t>(sizeof(double));
    strides[1] = item;
    strides[0] = shape[1] * item;
    if (steps && steps != Py_None) {
        if (!PyTuple_Check(steps) || PyTuple_GET_SIZE(steps) != 2) return 0;
        strides[0] = PyLong_AsSsize_t(PyTuple_GET_ITEM(steps, 0));
        strides[1] = PyLong_AsSsize_t(PyTuple_GET_ITEM(steps, 1));
        if (PyErr_Occurred()) return -1;
    }
    return data || shape[0] == 0 || shape[1] == 0 ? 1 : 0;
}

const char* native_double() {
    const uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first ? "<f8" : ">f8";
}

// The columns straight from pandas' blocks.  `values` of a frame with
// several blocks fills an object array block by block with
// `block.get_values(object)` (for a float64 block: its doubles made floats;
// for an object block: a copy of its objects); of a frame with one numpy
// block it is that block's array.  Covered: float64 and object blocks, and
// pandas' string blocks read through their own `get_values(object)`.  1, 0
// when the blocks are of another kind, -1 on error.
int columns_from_blocks(PyObject* eus, Columns& out) {
    PyTypeObject* string_dtype = class_of(loaded_module(text::pandas_strings), text::StringDtype);
    PyTypeObject* numpy_dtype = class_of(loaded_module(text::numpy), text::dtype);
    if (!numpy_dtype) return 0;
    Ref manager = Ref::steal(PyObject_GetAttr(eus, text::mgr));
    Ref blocks = manager ? Ref::steal(PyObject_GetAttr(manager.get(), text::blocks)) : Ref();
    Ref numbers = manager ? Ref::steal(PyObject_GetAttr(manager.get(), text::blknos)) : Ref();
    Ref places = manager ? Ref::steal(PyObject_GetAttr(manager.get(), text::blklocs)) : Ref();
    Ref number_list = numbers ? Ref::steal(PySequence_List(numbers.get())) : Ref();
    Ref place_list = places ? Ref::steal(PySequence_List(places.get())) : Ref();
    if (!blocks || !number_list || !place_list) return -1;
    if (!PyTuple_Check(blocks.get()) || PyList_GET_SIZE(number_list.get()) != 4 ||
        PyList_GET_SIZE(place_list.get()) != 4)
        return 0;
    const Py_ssize_t block_count = PyTuple_GET_SIZE(blocks.get());
    std::vector<PyObject*> read(static_cast<size_t>(block_count), nullptr);  // per block
    std::vector<bool> doubles(static_cast<size_t>(block_count), false);
    Py_ssize_t rows = -1;
    for (int j = 0; j < 4; ++j) {
        // numpy integers: read through __index__.
        Py_ssize_t b = PyNumber_AsSsize_t(PyList_GET_ITEM(number_list.get(), j), nullptr);
        Py_ssize_t place = PyNumber_AsSsize_t(PyList_GET_ITEM(place_list.get(), j), nullptr);
        if (PyErr_Occurred()) return -1;
        if (b < 0 || b >= block_count || place < 0) return 0;
        PyObject* block = PyTuple_GET_ITEM(blocks.get(), b);
        if (!read[static_cast<size_t>(b)]) {
            Ref dtype = Ref::steal(PyObject_GetAttr(block, text::dtype));
            if (!dtype) return -1;
            Ref array;
            if (PyObject_TypeCheck(dtype.get(), numpy_dtype)) {
                Ref code = Ref::steal(PyObject_GetAttr(dtype.get(), text::char_code));
                if (!code) return -1;
                if (!PyUnicode_Check(code.get())) return 0;
                bool is_double = PyUnicode_Compare(code.get(), text::double_code) == 0;
                bool is_object = PyUnicode_Compare(code.get(), text::object_code) == 0;
                if (!is_double && !is_object) return 0;
                doubles[static_cast<size_t>(b)] = is_double;
                array = Ref::steal(PyObject_GetAttr(block, text::values));
            } else if (string_dtype && Py_TYPE(dtype.get()) == string_dtype && block_count > 1) {
                Ref object_dtype = Ref::steal(
                    PyObject_CallOneArg(reinterpret_cast<PyObject*>(numpy_dtype), text::object_code));
                if (!object_dtype) return -1;
                array = Ref::steal(call_method1(block, text::get_values, object_dtype.get()));
            } else {
                return 0;
            }
            if (!array) return -1;
            read[static_cast<size_t>(b)] = array.get();
            out.arrays.push_back(std::move(array));
        }
        const char* data = nullptr;
        Py_ssize_t shape[2], strides[2];
        int covered = array_layout(read[static_cast<size_t>(b)],
                                   doubles[static_cast<size_t>(b)] ? native_double() : "|O", data,
                                   shape, strides);
        if (covered <= 0) return covered;
        if (place >= shape[0] || (rows >= 0 && shape[1] != rows)) return 0;
        rows = shape[1];
        out.column[j].doubles = doubles[static_cast<size_t>(b)];
        out.column[j].data = data + place * strides[0];
        out.column[j].stride = strides[1];
    }
    if (block_count == 1 && doubles[0]) return 0;  // values would be float64
    out.count = rows;
    return 1;
}

// Whether the Series that pandas builds from this row of objects holds these
// very objects.  Without a dtype, pandas converts an object row only when all
// of its elements fit one kind: datetimes, timedeltas, periods, intervals or
// (with string inference) text, missing values aside; pandas 1.5 decides
// from the first three texts it meets.  An int or a non-NaN float before a
// third text fits no kind, so such a row stays exactly as it is.  Anything
// unusual says "no".
bool row_kept_as_is(const Columns& columns, Py_ssize_t row) {
    int texts = 0;
    for (int j = 0; j < 4; ++j) {
        const Column& c = columns.column[j];
        if (c.doubles) {
            if (!std::isnan(c.number(row))) return true;
            continue;
        }
        PyObject* v = c.object(row);
        if (PyFloat_CheckExact(v)) {
            if (!std::isnan(PyFloat_AS_DOUBLE(v))) return true;
        } else if (PyLong_CheckExact(v)) {
            return true;
        } else if (PyUnicode_Check(v)) {
            if (++texts == 3) return false;
        } else if (v != Py_None) {
            return false;
        }
    }
    return false;
}

// Row numbers and ids are 32-bit: frames of more rows are not covered.
using Id = int32_t;
constexpr Py_ssize_t kMaxRows = INT32_MAX;

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

// Gives firm and period values small ids, equal ids exactly for values that
// are equal as dict keys: exact str by content, exact int by value (these
// never equal each other), None and NaN floats by identity (a NaN equals
// only itself).  No Python code runs.
class Ids {
public:
    // The id of `v`, a new one if `v` is unseen and `add` is set; -1 when `v`
    // is of another kind (or unseen and not added).
    Id find(PyObject* v, bool add) {
        if (v == last_ && last_) return last_id_;
        size_t hash;
        if (PyUnicode_CheckExact(v)) {
#if PY_VERSION_HEX < 0x030C0000
            if (PyUnicode_READY(v) < 0) {
                PyErr_Clear();
                return -1;
            }
#endif
            hash = text_hash(v);
        } else if (PyLong_CheckExact(v)) {
            Py_hash_t h = PyObject_Hash(v);  // an int's own hash cannot fail
            if (h == -1) {
                PyErr_Clear();
                return -1;
            }
            hash = static_cast<size_t>(h);
        } else if (v == Py_None ||
                   (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)))) {
            hash = reinterpret_cast<uintptr_t>(v) >> 4;
        } else {
            return -1;
        }
        if (slots_.empty()) {
            if (!add) return -1;
            grow();
        }
        size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Id id = slots_[i];
            if (id < 0) {
                if (!add || values_.size() >= static_cast<size_t>(kMaxRows)) return -1;
                Id fresh = static_cast<Id>(values_.size());
                slots_[i] = fresh;
                values_.push_back(v);
                hashes_.push_back(hash);
                if (values_.size() * 2 > slots_.size()) grow();
                return remember(v, fresh);
            }
            if (hashes_[static_cast<size_t>(id)] == hash && same(values_[static_cast<size_t>(id)], v))
                return remember(v, id);
        }
    }

    // The first value seen with that id.
    PyObject* value(Id id) const { return values_[static_cast<size_t>(id)]; }
    Id size() const { return static_cast<Id>(values_.size()); }

private:
    Id remember(PyObject* v, Id id) {
        last_ = v;
        last_id_ = id;
        return id;
    }

    static bool same(PyObject* a, PyObject* b) {
        if (a == b) return true;
        if (Py_TYPE(a) != Py_TYPE(b)) return false;
        if (PyUnicode_CheckExact(a)) return PyUnicode_Compare(a, b) == 0;
        if (PyLong_CheckExact(a)) return PyObject_RichCompareBool(a, b, Py_EQ) == 1;
        return false;  // None and NaN floats: identity only
    }

    void grow() {
        size_t size = slots_.empty() ? 64 : slots_.size() * 2;
        slots_.assign(size, -1);
        size_t mask = size - 1;
        for (size_t id = 0; id < values_.size(); ++id) {
            size_t i = hashes_[id] & mask;
            while (slots_[i] >= 0) i = (i + 1) & mask;
            slots_[i] = static_cast<Id>(id);
        }
    }

    std::vector<Id> slots_;
    std::vector<PyObject*> values_;  // borrowed: the frame's elements
    std::vector<size_t> hashes_;
    PyObject* last_ = nullptr;  // the last value looked up, often met again
    Id last_id_ = -1;
};

// One distinct (firm, period) key of the lookup.
struct Group {
    Id firm;
    Id period;
    Id first_row;  // its firm and period objects are the key's
    Id last_row;   // its score and probability are the value
};

// (firm id, period id) -> group: a dense table when firms x periods is
// small beside the row count, open addressing otherwise.
class GroupTable {
public:
    GroupTable(Id firms, Id periods, Py_ssize_t rows) : firms_(firms) {
        const double cells = static_cast<double>(firms) * static_cast<double>(periods);
        dense_ = cells <= 2.0 * static_cast<double>(rows) + 4096.0;
        if (dense_) {
            cells_.assign(static_cast<size_t>(cells), -1);
        } else {
            size_t size = 64;
            while (size < static_cast<size_t>(rows) * 2) size *= 2;
            slots_.assign(size, Slot{0, -1});
        }
    }

    // The group of the key; -1 when there is none yet, to be set by the
    // caller through the reference.
    Id& at(Id firm, Id period) {
        if (dense_) return cells_[cell(firm, period)];
        const uint64_t key = key_of(firm, period);
        size_t mask = slots_.size() - 1;
        for (size_t i = mix(key) & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.group < 0) {
                s.key = key;
                return s.group;
            }
            if (s.key == key) return s.group;
        }
    }

    Id find(Id firm, Id period) const {
        if (dense_) return cells_[cell(firm, period)];
        const uint64_t key = key_of(firm, period);
        size_t mask = slots_.size() - 1;
        for (size_t i = mix(key) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.group < 0) return -1;
            if (s.key == key) return s.group;
        }
    }

private:
    struct Slot {
        uint64_t key;
        Id group;
    };
    size_t cell(Id firm, Id period) const {
        return static_cast<size_t>(period) * static_cast<size_t>(firms_) + static_cast<size_t>(firm);
    }
    static uint64_t key_of(Id firm, Id period) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(period)) << 32) |
               static_cast<uint32_t>(firm);
    }
    static size_t mix(uint64_t key) {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        return static_cast<size_t>(key);
    }
    Id firms_;
    bool dense_ = false;
    std::vector<Id> cells_;
    std::vector<Slot> slots_;
};

}  // namespace

// The lookup of a covered frame: the groups, the firm and period ids, and
// the columns they read from.
struct CompactLookup::Index {
    Columns columns;
    Ids firms;
    Ids periods;
    std::vector<Group> groups;
    std::unique_ptr<GroupTable> table;
    // The firms of each period id, in the order their (firm, period) keys
    // first occur.
    std::vector<size_t> period_start;
    std::vector<Id> period_firms;
    // The interpreter's hash of each firm.
    std::vector<Py_hash_t> firm_hashes;
};

CompactLookup::CompactLookup() = default;
CompactLookup::~CompactLookup() = default;

namespace {

// The columns through `values` itself, for frames whose blocks are of
// another kind.
int columns_from_values(PyObject* eus, Columns& out) {
    Ref values = Ref::steal(PyObject_GetAttr(eus, text::values));
    if (!values) return -1;
    const char* data = nullptr;
    Py_ssize_t shape[2], strides[2];
    int covered = array_layout(values.get(), "|O", data, shape, strides);
    if (covered <= 0 || shape[1] != 4) return covered < 0 ? -1 : 0;
    out.count = shape[0];
    for (int j = 0; j < 4; ++j) {
        out.column[j].doubles = false;
        out.column[j].data = data + j * strides[1];
        out.column[j].stride = strides[0];
    }
    out.arrays.push_back(std::move(values));
    return 1;
}

}  // namespace

int CompactLookup::build(PyObject* eus, int& failed_line) {
    failed_line = 64;
    if (!is_plain_frame(eus)) return 0;

    Ref columns = Ref::steal(PyObject_GetAttr(eus, text::columns));
    if (!columns) return -1;
    int covered = has_table_columns(columns.get());
    if (covered <= 0) return covered;

    auto index = std::make_unique<Index>();
    covered = columns_from_blocks(eus, index->columns);
    if (covered < 0) {
        // pandas' internals are not what this reads; `values` is public.
        PyErr_Clear();
        covered = 0;
    }
    if (!covered) {
        index->columns = Columns();
        covered = columns_from_values(eus, index->columns);
        if (covered <= 0) return covered;
    }
    const Columns& c = index->columns;
    if (c.column[0].doubles || c.column[1].doubles || c.count > kMaxRows) return 0;

    std::vector<Id> row_firm(static_cast<size_t>(c.count));
    std::vector<Id> row_period(static_cast<size_t>(c.count));
    for (Py_ssize_t i = 0; i < c.count; ++i) {
        if (!row_kept_as_is(c, i)) return 0;
        Id firm = index->firms.find(c.column[0].object(i), true);
        Id period = index->periods.find(c.column[1].object(i), true);
        if (firm < 0 || period < 0) return 0;
        row_firm[static_cast<size_t>(i)] = firm;
        row_period[static_cast<size_t>(i)] = period;
    }

    const Id firms = index->firms.size();
    const Id periods = index->periods.size();
    index->table = std::make_unique<GroupTable>(firms, periods, c.count);
    index->groups.reserve(static_cast<size_t>(c.count));
    for (Id i = 0; i < static_cast<Id>(c.count); ++i) {
        const Id firm = row_firm[static_cast<size_t>(i)];
        const Id period = row_period[static_cast<size_t>(i)];
        Id& group = index->table->at(firm, period);
        if (group < 0) {
            group = static_cast<Id>(index->groups.size());
            index->groups.push_back(Group{firm, period, i, i});
        } else {
            index->groups[static_cast<size_t>(group)].last_row = i;
        }
    }

    // Each period's firms in first-occurrence order of their keys.
    index->period_start.assign(static_cast<size_t>(periods) + 1, 0);
    for (const Group& g : index->groups) ++index->period_start[static_cast<size_t>(g.period) + 1];
    for (size_t p = 0; p < static_cast<size_t>(periods); ++p)
        index->period_start[p + 1] += index->period_start[p];
    index->period_firms.resize(index->groups.size());
    std::vector<size_t> fill(index->period_start.begin(), index->period_start.end() - 1);
    for (const Group& g : index->groups)
        index->period_firms[fill[static_cast<size_t>(g.period)]++] = g.firm;

    // The hashes of strs, ints, None and floats cannot fail.
    index->firm_hashes.resize(static_cast<size_t>(firms));
    for (Id f = 0; f < firms; ++f) {
        Py_hash_t h = PyObject_Hash(index->firms.value(f));
        if (h == -1) return -1;
        index->firm_hashes[static_cast<size_t>(f)] = h;
    }

    index_ = std::move(index);
    return 1;
}

int64_t CompactLookup::period_of(PyObject* calendar_entry) {
    return index_->periods.find(calendar_entry, false);
}

PyObject* CompactLookup::firms_of(int64_t period) const {
    Ref firms = Ref::steal(PySet_New(nullptr));
    if (!firms || period < 0) return firms.release();
    const Index& x = *index_;
    // Holding only strs, ints, None and floats, the set cannot be part of a
    // reference cycle; untracked, the collector does not walk it over and
    // over while the search runs.
    PyObject_GC_UnTrack(firms.get());
    // One object stands for all equal firms: the sets come out the same
    // (same hashes added in the same order), and touch a few thousand firm
    // objects instead of one per row.
    for (size_t k = x.period_start[static_cast<size_t>(period)];
         k < x.period_start[static_cast<size_t>(period) + 1]; ++k) {
        if (PySet_Add(firms.get(), x.firms.value(x.period_firms[k])) < 0) return nullptr;
    }
    return firms.release();
}

size_t CompactLookup::firm_count(int64_t period) const {
    if (period < 0) return 0;
    return index_->period_start[static_cast<size_t>(period) + 1] -
           index_->period_start[static_cast<size_t>(period)];
}

const int32_t* CompactLookup::period_firms(int64_t period) const {
    return index_->period_firms.data() + index_->period_start[static_cast<size_t>(period)];
}

PyObject* CompactLookup::firm(int32_t id) const { return index_->firms.value(id); }

Py_hash_t CompactLookup::hash(int32_t id) const { return index_->firm_hashes[static_cast<size_t>(id)]; }

bool CompactLookup::has(int32_t id, int64_t period) const {
    return period >= 0 && index_->table->find(id, static_cast<Id>(period)) >= 0;
}

int CompactLookup::value_of(PyObject* muta, int64_t period, Ref& skor, Ref& iht) {
    Index& x = *index_;
    Id firm = x.firms.find(muta, false);
    Id group = firm < 0 || period < 0 ? -1 : x.table->find(firm, static_cast<Id>(period));
    if (group < 0) {
        // Cannot happen: the firm was found in that period's set.
        PyErr_SetString(PyExc_KeyError, "firm and period not in the score lookup");
        return -1;
    }
    Id row = x.groups[static_cast<size_t>(group)].last_row;
    skor = Ref::steal(x.columns.column[2].element(row));
    iht = Ref::steal(x.columns.column[3].element(row));
    return skor && iht ? 0 : -1;
}

PyObject* CompactLookup::as_dict() const {
    const Index& x = *index_;
    const Column* c = x.columns.column;
    Ref lookup = Ref::steal(PyDict_New());
    if (!lookup) return nullptr;
    for (const Group& g : x.groups) {
        Ref key = Ref::steal(PyTuple_Pack(2, c[0].object(g.first_row), c[1].object(g.first_row)));
        Ref skor = Ref::steal(c[2].element(g.last_row));
        Ref iht = Ref::steal(c[3].element(g.last_row));
        if (!key || !skor || !iht) return nullptr;
        Ref value = Ref::steal(PyTuple_Pack(2, skor.get(), iht.get()));
        if (!value || PyDict_SetItem(lookup.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return lookup.release();
}

}  // namespace patch_eus
