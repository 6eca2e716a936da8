// Instance<Record>, borrow guards, field getters, dealloc and heap-type creation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "velko/boundary.hpp"
#include "velko/convert.hpp"
#include "velko/messages.hpp"
#include "velko/pyref.hpp"

namespace velko::py {

/// Each Python class specialises this in its module.cpp with:
///   static constexpr const char* kName = "builtins.X";   (static storage: 3.10 keeps it)
///   static std::span<const PyType_Slot> slots();          (the class's own slots)
template <class Record>
struct PyClassDef;

/// 0 free, n > 0 readers, -1 one writer. Only touched with the interpreter lock held.
using BorrowFlag = std::intptr_t;

template <class Record>
struct Instance {
    PyObject_HEAD Record record;
    BorrowFlag borrow;
};

/// The class's type object, made on first use and kept for the life of the process.
template <class Record>
PyTypeObject* type_of();

/// The class name Python shows, without the "builtins." qualifier.
template <class Record>
constexpr std::string_view class_name() {
    std::string_view name = PyClassDef<Record>::kName;
    return name.substr(name.find('.') + 1);
}

/// Type test of the receiver: the instance, or the downcast TypeError naming the class.
template <class Record>
Instance<Record>* receiver(PyObject* self) {
    if (!PyObject_TypeCheck(self, type_of<Record>())) throw_downcast(self, class_name<Record>());
    return reinterpret_cast<Instance<Record>*>(self);
}

/// A shared borrow of the receiver's record, given back on every path out.
template <class Record>
class Shared {
public:
    explicit Shared(PyObject* self) : instance_(receiver<Record>(self)) {
        if (instance_->borrow == -1) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        ++instance_->borrow;
    }
    /// For an operand already known to be of the class.
    explicit Shared(Instance<Record>* instance) : instance_(instance) {
        if (instance_->borrow == -1) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        ++instance_->borrow;
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared() { --instance_->borrow; }
    const Record& operator*() const { return instance_->record; }
    const Record* operator->() const { return &instance_->record; }

private:
    Instance<Record>* instance_;
};

/// The exclusive borrow, for operations that change the record.
template <class Record>
class Exclusive {
public:
    explicit Exclusive(PyObject* self) : instance_(receiver<Record>(self)) {
        if (instance_->borrow != 0) throw_error(PyExc_RuntimeError, "Already borrowed");
        instance_->borrow = -1;
    }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    ~Exclusive() { instance_->borrow = 0; }
    Record& operator*() const { return instance_->record; }
    Record* operator->() const { return &instance_->record; }

private:
    Instance<Record>* instance_;
};

/// Allocates an instance of `type` holding `record`; NULL leaves the interpreter's error pending.
template <class Record>
PyObject* allocate(PyTypeObject* type, Record&& record) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            raise_lazy(PyExc_SystemError, kNoExceptionSet);
        }
        return nullptr;
    }
    auto* instance = reinterpret_cast<Instance<Record>*>(obj);
    std::construct_at(&instance->record, std::move(record));
    instance->borrow = 0;
    return obj;
}

/// Constructor result: the new instance, or the interpreter's allocation error.
template <class Record>
Ref construct(PyTypeObject* type, Record&& record) {
    return Ref::checked(allocate(type, std::move(record)));
}

/// Result conversion of a record: a new instance; failing to allocate it is an abort, except
/// when the interpreter ran out of memory (its MemoryError is raised as it is).
template <class Record>
    requires requires { PyClassDef<Record>::kName; }
Ref to_python(Record&& record) {
    PyObject* obj = allocate(type_of<Record>(), std::move(record));
    if (obj == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError) != 0) throw ErrorAlreadySet{};
        fail(std::string(kErrUnwrap) + ": " + describe_pending_error());
    }
    return Ref::steal(obj);
}

template <class Record>
    requires requires { PyClassDef<Record>::kName; }
Ref to_python(std::optional<Record>&& record) {
    if (!record) return none();
    return to_python(std::move(*record));
}

/// tp_dealloc: drops the record and frees the object; nothing may escape into the interpreter.
template <class Record>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    // Record destructors are noexcept: anything thrown in one ends the process right there.
    std::destroy_at(&reinterpret_cast<Instance<Record>*>(self)->record);
    freefunc free = type->tp_free;
    if (free == nullptr) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

template <class>
struct MemberOf;
template <class Record, class Field>
struct MemberOf<Field Record::*> {
    using record = Record;
};

/// Getter of one field: a shared borrow, then the field's result conversion.
template <auto Member>
PyObject* read_field(PyObject* self, void*) {
    using Record = typename MemberOf<decltype(Member)>::record;
    return guarded([&] {
        const Shared<Record> record(self);
        return to_python((*record).*Member);
    });
}

/// The only casts of function pointers: into the types CPython's tables hold.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
template <class Function>
void* as_slot(Function function) {
    return reinterpret_cast<void*>(function);
}

template <class Record>
PyTypeObject* type_of() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    std::vector<PyType_Slot> slots{
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, as_slot(&dealloc<Record>)},
    };
    for (const PyType_Slot& slot : PyClassDef<Record>::slots()) slots.push_back(slot);
    slots.push_back({0, nullptr});
    PyType_Spec spec{
        PyClassDef<Record>::kName,
        static_cast<int>(sizeof(Instance<Record>)),
        0,
        Py_TPFLAGS_DEFAULT,
        slots.data(),
    };
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) {
        PyErr_Print();
        fail("An error occurred while initializing class " + std::string(class_name<Record>()));
    }
    // Building may run Python code; if another build stored a type meanwhile, keep that one.
    if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(made);
    return type;
}

}  // namespace velko::py
