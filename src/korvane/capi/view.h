// Strided 1-D views of buffer-protocol memory (doubles or 32-bit integers),
// held for as long as the view lives.
#ifndef KORVANE_CAPI_VIEW_H
#define KORVANE_CAPI_VIEW_H

#include <Python.h>

#include <cstdint>
#include <cstring>

namespace korvane::capi {

template <class T>
struct ElementType;
template <>
struct ElementType<double> {
    static constexpr char code = 'd';
    static constexpr const char *name = "double";
};
template <>
struct ElementType<std::int32_t> {
    static constexpr char code = 'i';
    static constexpr const char *name = "int";
};

// A strided 1-D view of another object's memory, taken through the buffer
// protocol and held until release() or destruction, so the exporter can
// neither free nor resize the memory meanwhile.  Reading and writing it calls
// nothing in the interpreter.
template <class T>
class View {
public:
    View() noexcept = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    ~View() { release(); }

    // 0, or -1 with an exception set and nothing held.
    int acquire(PyObject *obj, bool writable)
    {
        release();
        const int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &buf_, flags) < 0)
            return -1;
        held_ = true;
        if (buf_.ndim != 1) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions (expected %d, got %d)", 1,
                         buf_.ndim);
            release();
            return -1;
        }
        if (!is_element_format(buf_.format) || buf_.itemsize != sizeof(T) ||
            (buf_.suboffsets && buf_.suboffsets[0] >= 0)) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer dtype mismatch, expected '%s' but got '%s' of %zd bytes",
                         ElementType<T>::name, buf_.format ? buf_.format : "B", buf_.itemsize);
            release();
            return -1;
        }
        base_ = static_cast<char *>(buf_.buf);
        size_ = buf_.shape[0];
        stride_ = buf_.strides[0];
        return 0;
    }

    void release() noexcept
    {
        if (held_) {
            PyBuffer_Release(&buf_);
            held_ = false;
        }
    }

    Py_ssize_t size() const noexcept { return size_; }
    // Repeat element 0 for every index.
    void broadcast() noexcept { stride_ = 0; }
    const T *contiguous_data() const noexcept { return reinterpret_cast<const T *>(base_); }

    T operator[](Py_ssize_t i) const noexcept
    {
        T value;
        std::memcpy(&value, base_ + i * stride_, sizeof(T));
        return value;
    }
    void set(Py_ssize_t i, T value) noexcept { std::memcpy(base_ + i * stride_, &value, sizeof(T)); }

private:
    // One native item of T: "d", "@d" or "=d" (likewise "i").
    static bool is_element_format(const char *fmt)
    {
        if (!fmt)
            return false;
        if (*fmt == '@' || *fmt == '=')
            ++fmt;
        return fmt[0] == ElementType<T>::code && fmt[1] == '\0';
    }

    Py_buffer buf_{};
    bool held_ = false;
    char *base_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t stride_ = 0;
};

}  // namespace korvane::capi

#endif  // KORVANE_CAPI_VIEW_H
