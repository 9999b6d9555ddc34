// Name: the interned str through which every attribute lookup and method
// call reaches the interpreter, and the names the features use.
#pragma once

#include <Python.h>

#include <atomic>

#include "module/errors.hpp"
#include "module/once.hpp"

namespace sorva {

// A str made on first use and kept for the life of the process, so that
// lookups repeated for every member or call neither build nor hash a new
// str. The module lives in one interpreter only, so one object serves
// every call.
class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get()
    {
        return first_stored(object_, [this] { return check(PyUnicode_InternFromString(text_)); });
    }

private:
    const char* text_;
    // Threads of a free-threaded interpreter look names up at the same time.
    std::atomic<PyObject*> object_{nullptr};
};

namespace names {
inline Name all{"__all__"};
inline Name asset{"asset"};
inline Name builtins{"builtins"};
inline Name dedent{"dedent"};
inline Name doc{"__doc__"};
inline Name dumps{"dumps"};
inline Name dunder_name{"__name__"};
inline Name empty{"empty"};
inline Name exit{"exit"};
inline Name get_source{"get_source"};
inline Name getmembers{"getmembers"};
inline Name getsource{"getsource"};
inline Name getsourcefile{"getsourcefile"};
inline Name import_module{"import_module"};
inline Name importlib{"importlib"};
inline Name inspect{"inspect"};
inline Name isinstance{"isinstance"};
inline Name json{"json"};
inline Name loader{"__loader__"};
inline Name loads{"loads"};
inline Name major{"major"};
inline Name micro{"micro"};
inline Name minor{"minor"};
inline Name mkdir{"mkdir"};
inline Name module{"__module__"};
inline Name path{"Path"};
inline Name pathlib{"pathlib"};
inline Name qualname{"__qualname__"};
inline Name resolve{"resolve"};
inline Name return_annotation{"return_annotation"};
inline Name signature{"signature"};
inline Name signature_class{"Signature"};
inline Name sorva_kind{"__sorva_kind__"};
inline Name sorva_metadata{"__sorva_metadata__"};
inline Name sorva_original{"__sorva_original__"};
inline Name strip{"strip"};
inline Name sys{"sys"};
inline Name textwrap{"textwrap"};
inline Name truediv{"__truediv__"};
inline Name version_info{"version_info"};
inline Name write_text{"write_text"};
}  // namespace names

}  // namespace sorva
