// The inspection driver: imports the listed modules and collects a record per asset.
#include "inspect/inspect.hpp"

#include <cstddef>
#include <utility>

#include "declare/declare.hpp"
#include "inspect/record.hpp"
#include "inspect/str_builder.hpp"

namespace sorva::inspect {
namespace {

// "3.14.0" from sys.version_info.
std::string python_version(PyObject* sys)
{
    Ref info = getattr(sys, names::version_info);
    std::string text;
    for (Name* part : {&names::major, &names::minor, &names::micro}) {
        Ref number = getattr(info.get(), *part);
        long long value = PyLong_AsLongLong(number.get());
        if (value == -1 && PyErr_Occurred()) {
            throw_pending();
        }
        if (!text.empty()) {
            text += '.';
        }
        text += std::to_string(value);
    }
    return text;
}

// Imports one listed module. Whatever its import raises leaves it out with a
// line on standard error, except a KeyboardInterrupt: that is the user
// stopping the run, and a partial result must not hide it.
Ref import_listed(const Stdlib& stdlib, const std::string& name)
{
    Ref text = new_str(name);
    Ref module = try_call_method(stdlib.importlib.get(), names::import_module, text.get());
    if (module) {
        return module;
    }
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        throw_pending();
    }
    Ref error = take_exception();
    write_stderr("sorva: skipping module '" + name + "': " + exception_text(error.get()) + "\n");
    return {};
}

std::string module_prefix(const std::string& name) { return "module '" + name + "': "; }

// The inspection output, {"assets":[...]}, written a record at a time and
// moved into the str being built: a large output exists once, and each
// record's text passes through the cache only.
class Records {
public:
    Records() { writer_.raw("{\"assets\":["); }

    void add(const Stdlib& stdlib, const ModuleFacts& facts, PyObject* member)
    {
        if (!empty_) {
            writer_.raw(",");
        }
        write_asset_record(stdlib, facts, member, writer_);
        empty_ = false;
        take_piece();
    }

    Ref finish()
    {
        writer_.raw("]}");
        take_piece();
        return text_.finish();
    }

private:
    void take_piece()
    {
        text_.append(writer_.text());
        writer_.clear();
    }

    PieceOutput piece_;
    json::TextWriter writer_{piece_};
    StrBuilder text_;
    bool empty_ = true;
};

// The value of one `inspect.getmembers` item, a (name, value) tuple.
Ref member_value(PyObject* item)
{
    PyObject* value = PyTuple_GetItem(expect_tuple(item), 1);
    if (value == nullptr) {
        throw_pending();
    }
    return Ref::borrow(value);
}

// The records of one module, each written as soon as it has been read.
void add_module_records(const Stdlib& stdlib, PyObject* module, const std::string& python_version, Records& records)
{
    std::string module_source_json;
    {
        json::Document source;
        json::write(source.string(inspect::module_source(stdlib, module)), module_source_json);
    }
    const ModuleFacts facts{module, module_source_json, python_version};
    Ref members = call_method(stdlib.inspect.get(), names::getmembers, module);
    Ref iterator = check(PyObject_GetIter(members.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = member_value(item.get());
        if (declare::is_asset(value.get())) {
            records.add(stdlib, facts, value.get());
        }
    }
    if (PyErr_Occurred()) {
        throw_pending();
    }
}

// A message that already quotes the module's name, as the interpreter's
// "<module 'sys' (built-in)> is a built-in module" does, is left as it is.
bool names_module(std::string_view message, const std::string& name)
{
    return message.find("'" + name + "'") != std::string_view::npos;
}

// The pending exception, when it is a plain built-in error, becomes one of
// the same type whose message starts with "module '{name}': ", caused by the
// original; anything else (an exception class of the user's, or one that
// cannot be made from a message alone) passes unchanged.
void name_module_in_pending(const std::string& name)
{
    Ref original = take_exception();
    PyTypeObject* type = Py_TYPE(original.get());
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
        PyObject_TypeCheck(original.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        std::string message = exception_message(original.get());
        if (names_module(message, name)) {
            restore_exception(std::move(original));
            return;
        }
        Ref text = new_str(module_prefix(name) + message);
        if (Ref renamed = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(type), text.get()))) {
            PyException_SetCause(renamed.get(), Ref::borrow(original.get()).release());  // steals
            restore_exception(std::move(renamed));
            return;
        }
        discard_exception();
    }
    restore_exception(std::move(original));
}

// Whatever makes a listed module impossible to inspect says which module it was.
void inspect_listed(const Stdlib& stdlib, const std::string& name, PyObject* module, const std::string& python_version,
                    Records& records)
{
    try {
        add_module_records(stdlib, module, python_version, records);
    } catch (CheckFailed& e) {
        if (!names_module(e.message, name)) {
            e.message.insert(0, module_prefix(name));
        }
        throw;
    } catch (const PythonError&) {
        name_module_in_pending(name);
        throw;
    }
}

}  // namespace

Ref inspect_modules(const std::vector<std::string>& modules)
{
    const Stdlib stdlib =
        Stdlib::import({&Stdlib::importlib, &Stdlib::inspect, &Stdlib::textwrap, &Stdlib::sys, &Stdlib::pathlib});
    const std::string version = python_version(stdlib.sys.get());
    Records records;
    for (const std::string& name : modules) {
        if (Ref module = import_listed(stdlib, name)) {
            inspect_listed(stdlib, name, module.get(), version, records);
        }
    }
    return records.finish();
}

}  // namespace sorva::inspect
