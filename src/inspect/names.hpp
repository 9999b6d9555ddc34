// The Python names that inspection looks up on every member and asset.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "module/errors.hpp"
#include "module/ref.hpp"

namespace sorva::inspect {

// A str made on first use and kept for the life of the process, so that the
// lookups repeated for every member neither build nor hash a new str. The
// module lives in one interpreter only, so one object serves every call.
class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}

    PyObject* get()
    {
        if (object_ == nullptr) {
            object_ = check(PyUnicode_InternFromString(text_)).release();  // kept for good
        }
        return object_;
    }

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

namespace names {
inline Name asset{"asset"};
inline Name builtins{"builtins"};
inline Name dedent{"dedent"};
inline Name dunder_name{"__name__"};
inline Name empty{"empty"};
inline Name getmembers{"getmembers"};
inline Name getsource{"getsource"};
inline Name getsourcefile{"getsourcefile"};
inline Name get_source{"get_source"};
inline Name import_module{"import_module"};
inline Name isinstance{"isinstance"};
inline Name loader{"__loader__"};
inline Name path{"Path"};
inline Name resolve{"resolve"};
inline Name return_annotation{"return_annotation"};
inline Name signature{"signature"};
inline Name signature_class{"Signature"};
inline Name sorva_kind{"__sorva_kind__"};
inline Name sorva_metadata{"__sorva_metadata__"};
inline Name sorva_original{"__sorva_original__"};
inline Name strip{"strip"};
}  // namespace names

// obj.name(args...), the method looked up and called without a bound method
// in between. A NULL result is handed back as it is, for callers that catch.
template <class... Args>
PyObject* try_call_named(PyObject* obj, Name& name, Args... args)
{
    std::array<PyObject*, sizeof...(Args) + 1> vector{obj, args...};
    return PyObject_VectorcallMethod(name.get(), vector.data(), vector.size(), nullptr);
}

template <class... Args>
Ref call_named(PyObject* obj, Name& name, Args... args)
{
    return check(try_call_named(obj, name, args...));
}

inline Ref getattr_named(PyObject* obj, Name& name)
{
    return check(PyObject_GetAttr(obj, name.get()));
}

}  // namespace sorva::inspect
