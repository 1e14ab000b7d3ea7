// Reading a frame's columns from pandas' blocks or from its `values` array.
#include "frame_columns.hpp"

#include "../host/loaded.hpp"

#include "../host/calls.hpp"
#include "../host/constants.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace patch_eus {

Text values_name{"values"};

namespace {

Text manager_name{"_mgr"};
Text blocks_name{"blocks"};
Text block_numbers_name{"blknos"};
Text block_places_name{"blklocs"};
Text dtype_name{"dtype"};
Text char_name{"char"};
Text get_values_name{"get_values"};
Text array_struct_name{"__array_struct__"};
Text numpy_name{"numpy"};
Text ndarray_name{"ndarray"};
Text strings_module_name{"pandas.core.arrays.string_"};
Text string_dtype_name{"StringDtype"};
Text object_code{"O"};
Text double_code{"d"};

// The C side of numpy's array interface (version 3), as numpy documents it:
// what `__array_struct__` hands out in a capsule.
struct ArrayInterface {
    int two;  // always 2
    int nd;
    char typekind;
    int itemsize;
    int flags;
    Py_intptr_t* shape;
    Py_intptr_t* strides;
    void* data;
    PyObject* descr;
};
constexpr int kNotSwapped = 0x200;  // the items are in the machine's byte order
constexpr int kHasDescr = 0x800;    // structured items

// The layout of a numpy array, from its `__array_struct__` (numpy builds
// that from the array's fields, checking every allocation, where its
// `__array_interface__` dict is not sound when memory runs out): 1 with
// `data`, `shape` and `strides` for a 2-D array of objects, or of doubles
// in the machine's byte order when `doubles` is set; 0 for anything else,
// -1 on error.
int array_layout(PyObject* array, bool doubles, const char*& data, Py_ssize_t shape[2],
                 Py_ssize_t strides[2]) {
    PyTypeObject* ndarray = class_of(loaded_module(numpy_name), ndarray_name);
    if (!ndarray) return PyErr_Occurred() ? -1 : 0;
    if (Py_TYPE(array) != ndarray) return 0;
    Ref capsule = Ref::steal(PyObject_GetAttr(array, array_struct_name));
    if (!capsule) return -1;
    if (!PyCapsule_CheckExact(capsule.get())) return 0;
    const auto* iface =
        static_cast<const ArrayInterface*>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!iface) return -1;
    if (iface->two != 2 || iface->nd != 2 || (iface->flags & kHasDescr) || !iface->shape ||
        !iface->strides)
        return 0;
    const bool items = doubles ? iface->typekind == 'f' && iface->itemsize == sizeof(double) &&
                                     (iface->flags & kNotSwapped)
                               : iface->typekind == 'O' && iface->itemsize == sizeof(PyObject*);
    if (!items) return 0;
    for (int k = 0; k < 2; ++k) {
        shape[k] = static_cast<Py_ssize_t>(iface->shape[k]);
        strides[k] = static_cast<Py_ssize_t>(iface->strides[k]);
    }
    data = static_cast<const char*>(iface->data);
    if (shape[0] < 0 || shape[1] < 0) return 0;
    return data || shape[0] == 0 || shape[1] == 0 ? 1 : 0;
}

// The columns straight from pandas' blocks.  `values` of a frame with
// several blocks fills an object array block by block with
// `block.get_values(object)` (for a float64 block: its doubles made floats;
// for an object block: a copy of its objects); of a frame with one numpy
// block it is that block's array.  Read here: float64 and object blocks, and
// pandas' string blocks through their own `get_values(object)`.  1, 0 when
// the blocks are of another kind, -1 on error.
int columns_from_blocks(PyObject* frame, FrameColumns& out) {
    PyTypeObject* string_dtype = class_of(loaded_module(strings_module_name), string_dtype_name);
    if (!string_dtype && PyErr_Occurred()) return -1;
    PyTypeObject* numpy_dtype = class_of(loaded_module(numpy_name), dtype_name);
    if (!numpy_dtype) return PyErr_Occurred() ? -1 : 0;
    Ref manager = Ref::steal(PyObject_GetAttr(frame, manager_name));
    if (!manager) return -1;
    Ref blocks = Ref::steal(PyObject_GetAttr(manager.get(), blocks_name));
    if (!blocks) return -1;
    Ref numbers = Ref::steal(PyObject_GetAttr(manager.get(), block_numbers_name));
    if (!numbers) return -1;
    Ref places = Ref::steal(PyObject_GetAttr(manager.get(), block_places_name));
    if (!places) return -1;
    Ref number_list = Ref::steal(PySequence_List(numbers.get()));
    if (!number_list) return -1;
    Ref place_list = Ref::steal(PySequence_List(places.get()));
    if (!place_list) return -1;
    if (!PyTuple_Check(blocks.get()) || PyList_GET_SIZE(number_list.get()) != 4 ||
        PyList_GET_SIZE(place_list.get()) != 4)
        return 0;
    const Py_ssize_t block_count = PyTuple_GET_SIZE(blocks.get());
    std::vector<PyObject*> read(static_cast<size_t>(block_count), nullptr);  // per block
    std::vector<bool> doubles(static_cast<size_t>(block_count), false);
    Py_ssize_t rows = -1;
    for (int j = 0; j < 4; ++j) {
        // numpy integers: read through __index__.
        const Py_ssize_t b = PyNumber_AsSsize_t(PyList_GET_ITEM(number_list.get(), j), nullptr);
        if (b == -1 && PyErr_Occurred()) return -1;
        const Py_ssize_t place = PyNumber_AsSsize_t(PyList_GET_ITEM(place_list.get(), j), nullptr);
        if (place == -1 && PyErr_Occurred()) return -1;
        if (b < 0 || b >= block_count || place < 0) return 0;
        const size_t k = static_cast<size_t>(b);
        PyObject* block = PyTuple_GET_ITEM(blocks.get(), b);
        if (!read[k]) {
            Ref dtype = Ref::steal(PyObject_GetAttr(block, dtype_name));
            if (!dtype) return -1;
            Ref array;
            if (PyObject_TypeCheck(dtype.get(), numpy_dtype)) {
                Ref code = Ref::steal(PyObject_GetAttr(dtype.get(), char_name));
                if (!code) return -1;
                if (!PyUnicode_Check(code.get())) return 0;
                const bool is_double = PyUnicode_Compare(code.get(), double_code) == 0;
                const bool is_object = PyUnicode_Compare(code.get(), object_code) == 0;
                if (!is_double && !is_object) return 0;
                doubles[k] = is_double;
                array = Ref::steal(PyObject_GetAttr(block, values_name));
            } else if (string_dtype && Py_TYPE(dtype.get()) == string_dtype && block_count > 1) {
                Ref object_dtype = Ref::steal(
                    PyObject_CallOneArg(reinterpret_cast<PyObject*>(numpy_dtype), object_code));
                if (!object_dtype) return -1;
                array = Ref::steal(call_method(block, get_values_name, object_dtype.get()));
            } else {
                return 0;
            }
            if (!array) return -1;
            read[k] = array.get();
            out.arrays.push_back(std::move(array));
        }
        const char* data = nullptr;
        Py_ssize_t shape[2], strides[2];
        int covered = array_layout(read[k], doubles[k], data, shape, strides);
        if (covered <= 0) return covered;
        if (place >= shape[0] || (rows >= 0 && shape[1] != rows)) return 0;
        rows = shape[1];
        out.column[j].doubles = doubles[k];
        out.column[j].data = data + place * strides[0];
        out.column[j].stride = strides[1];
    }
    if (block_count == 1 && doubles[0]) return 0;  // values would be float64
    out.rows = rows;
    return 1;
}

// The columns through `values` itself, for frames whose blocks are of
// another kind.
int columns_from_values(PyObject* frame, FrameColumns& out) {
    Ref values = Ref::steal(PyObject_GetAttr(frame, values_name));
    if (!values) return -1;
    const char* data = nullptr;
    Py_ssize_t shape[2], strides[2];
    int covered = array_layout(values.get(), false, data, shape, strides);
    if (covered <= 0 || shape[1] != 4) return covered < 0 ? -1 : 0;
    out.rows = shape[0];
    for (int j = 0; j < 4; ++j) {
        out.column[j].doubles = false;
        out.column[j].data = data + j * strides[1];
        out.column[j].stride = strides[0];
    }
    out.arrays.push_back(std::move(values));
    return 1;
}

}  // namespace

PyObject* Column::object(Py_ssize_t row) const {
    PyObject* element;
    std::memcpy(&element, data + row * stride, sizeof element);
    return element;
}

double Column::number(Py_ssize_t row) const {
    double element;
    std::memcpy(&element, data + row * stride, sizeof element);
    return element;
}

PyObject* Column::element(Py_ssize_t row) const {
    if (doubles) return PyFloat_FromDouble(number(row));
    PyObject* element = object(row);
    Py_INCREF(element);
    return element;
}

int FrameColumns::read(PyObject* frame) {
    int covered = columns_from_blocks(frame, *this);
    if (covered < 0) {
        // pandas' internals are not what this reads (they raised): `values`
        // is public, and iterrows reads the frame through it.  The host
        // running out of memory, and what is not an Exception (an
        // interrupt), are passed on.
        if (PyErr_ExceptionMatches(PyExc_MemoryError) ||
            !PyErr_ExceptionMatches(PyExc_Exception))
            return -1;
        PyErr_Clear();
        covered = 0;
    }
    if (covered) return 1;
    *this = FrameColumns();
    return columns_from_values(frame, *this);
}

// Without a dtype, pandas converts an object row only when all of its
// elements fit one kind: datetimes, timedeltas, periods, intervals or (with
// string inference) text, missing values aside; pandas 1.5 decides from the
// first three texts it meets.  An int or a non-NaN float before a third text
// fits no kind, so such a row stays exactly as it is.  Anything unusual says
// "no".
bool FrameColumns::row_kept_as_is(Py_ssize_t row) const {
    int texts = 0;
    for (const Column& c : column) {
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

}  // namespace patch_eus
