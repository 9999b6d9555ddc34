// The inspection driver: imports the listed modules and collects a record per asset.
#include "inspect/inspect.hpp"

#include <cstddef>

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

}  // namespace

Ref inspect_modules(const std::vector<std::string>& modules)
{
    const Stdlib stdlib =
        Stdlib::import({&Stdlib::importlib, &Stdlib::inspect, &Stdlib::textwrap, &Stdlib::sys, &Stdlib::pathlib});
    const std::string version = python_version(stdlib.sys.get());
    Records records;
    for (const std::string& name : modules) {
        if (Ref module = import_listed(stdlib, name)) {
            add_module_records(stdlib, module.get(), version, records);
        }
    }
    return records.finish();
}

}  // namespace sorva::inspect
