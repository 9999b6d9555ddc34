// What the inspection driver uses to turn one module's members into records.
#pragma once

#include <Python.h>

#include <string>

#include "module/module.hpp"
#include "json/json.hpp"

namespace sorva::inspect {

// What every record of one module shares.
struct ModuleFacts {
    PyObject* module;
    // The module's normalised source as JSON text, quoted and escaped once
    // for all its records: each carries it, and it is most of the output.
    const std::string& module_source_json;
    const std::string& python_version;  // formed once per call
};

// inspect.getsource(object), dedented, stripped and ended with one line feed.
std::string normalised_source(const Stdlib& stdlib, PyObject* object);

// The same for a module, whose empty file reads as empty text.
std::string module_source(const Stdlib& stdlib, PyObject* module);

// Reads the inspection record of one asset member, then writes its text.
void write_asset_record(const Stdlib& stdlib, const ModuleFacts& facts, PyObject* member, json::TextWriter& out);

}  // namespace sorva::inspect
