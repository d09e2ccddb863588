// Owning reference: the one way this module holds a strong reference in C++ code, so that
// every early return releases what was taken without cleanup ladders.
#pragma once

#include <Python.h>

#include <utility>

namespace tessu {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        Ref old(std::move(*this));
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (typically a C API result, which may be null).
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject *p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject *get() const noexcept { return p_; }
    // Hands the reference to a caller that steals it (a return value, PyTuple_SET_ITEM).
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Out-parameter for C API calls that write a new reference (PyDict_GetItemRef & co).
    PyObject **out() noexcept {
        Py_CLEAR(p_);
        return &p_;
    }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

} // namespace tessu
