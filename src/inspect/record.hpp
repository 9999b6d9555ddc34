// What the inspection driver uses to turn one module's members into records.
#pragma once

#include <Python.h>

#include <string>

#include "json/json.hpp"
#include "module/ref.hpp"

namespace sorva::inspect {

// The standard modules one call works with, imported once per call.
struct Toolkit {
    Ref importlib;
    Ref inspect;
    Ref textwrap;
    Ref sys;
    Ref pathlib;
};

// What every record of one module shares.
struct ModuleFacts {
    PyObject* module;
    const std::string& module_source;   // normalised once per module
    const std::string& python_version;  // formed once per call
};

// inspect.getsource(object), dedented, stripped and ended with one line feed.
std::string normalised_source(const Toolkit& tools, PyObject* object);

// The same for a module, whose empty file reads as empty text.
std::string module_source(const Toolkit& tools, PyObject* module);

// The member declares itself an asset: its `__sorva_kind__` is the str
// "asset". A member that cannot answer is simply not one.
bool is_asset(PyObject* member);

// The inspection record of one asset member.
json::Value asset_record(const Toolkit& tools, const ModuleFacts& facts, PyObject* member);

}  // namespace sorva::inspect
