// The four module functions, one record each: name and parameters, docstring
// and body. A body gets its arguments bound by name, converts them and hands
// over to its feature.
#include "extension/functions.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "declare/declare.hpp"
#include "inspect/inspect.hpp"
#include "materialize/materialize.hpp"
#include "module/module.hpp"

namespace sorva {
namespace {

std::optional<std::string> optional_text(std::string_view name, PyObject* arg)
{
    if (omitted(arg)) {
        return std::nullopt;
    }
    return convert_argument(name, [&] { return utf8_copy(arg); });
}

std::string_view required_text(std::string_view name, PyObject* arg)
{
    return convert_argument(name, [&] { return utf8_view(arg); });
}

PyObject* omitted_as_null(PyObject* arg) { return omitted(arg) ? nullptr : arg; }

std::vector<std::string> module_names(PyObject* arg)
{
    return convert_argument("modules", [&] {
        if (PyUnicode_Check(arg)) {
            fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
        }
        if (!PySequence_Check(arg)) {
            fail_conversion(arg, "Sequence");
        }
        // The length only sizes the result, and a sequence may claim any
        // length it likes: iteration decides how many names there are.
        constexpr Py_ssize_t kMostReserved = 4096;
        std::vector<std::string> names;
        Py_ssize_t size = PySequence_Size(arg);
        if (size < 0) {
            discard_exception();
        } else {
            names.reserve(static_cast<std::size_t>(std::min(size, kMostReserved)));
        }
        Ref iterator = check(PyObject_GetIter(arg));
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            names.push_back(utf8_copy(item.get()));
        }
        if (PyErr_Occurred()) {
            throw_pending();
        }
        return names;
    });
}

constexpr std::string_view kAssetKeywords[] = {"name", "inputs", "partitions", "serializer"};
constexpr Binding kAssetBinding{"asset", {}, 0, kAssetKeywords};
struct AssetArgs {
    PyObject* name;
    PyObject* inputs;
    PyObject* partitions;
    PyObject* serializer;
};

Ref asset_body(const AssetArgs& args)
{
    std::optional<std::string> name = optional_text("name", args.name);
    std::optional<std::string> serializer = optional_text("serializer", args.serializer);
    return declare::asset(
        std::move(name), std::move(serializer), omitted_as_null(args.inputs), omitted_as_null(args.partitions));
}

constexpr std::string_view kPartitionsParams[] = {"values"};
constexpr Binding kPartitionsBinding{"partitions", kPartitionsParams, 1, {}};
struct PartitionsArgs {
    PyObject* values;
};

Ref partitions_body(const PartitionsArgs& args)
{
    PyObject* values = convert_argument("values", [&] { return expect_list(args.values); });
    return declare::partitions(values);
}

constexpr std::string_view kInspectParams[] = {"modules"};
constexpr Binding kInspectBinding{"inspect_modules", kInspectParams, 1, {}};
struct InspectArgs {
    PyObject* modules;
};

Ref inspect_body(const InspectArgs& args) { return inspect::inspect_modules(module_names(args.modules)); }

constexpr std::string_view kMaterializeParams[] = {"module_name", "function_name", "output_dir", "input_kwargs_json"};
constexpr Binding kMaterializeBinding{"materialize_asset", kMaterializeParams, 3, {}};
struct MaterializeArgs {
    PyObject* module_name;
    PyObject* function_name;
    PyObject* output_dir;
    PyObject* input_kwargs_json;
};

Ref materialize_body(const MaterializeArgs& args)
{
    std::string_view module_name = required_text("module_name", args.module_name);
    std::string_view function_name = required_text("function_name", args.function_name);
    std::string_view output_dir = required_text("output_dir", args.output_dir);
    std::optional<std::string> input_kwargs_json = optional_text("input_kwargs_json", args.input_kwargs_json);
    return materialize::materialize_asset(module_name, function_name, output_dir, input_kwargs_json);
}

constexpr const char* kAssetDoc =
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n--\n\n"
    "Decorator that registers a Python function as a sorva asset.\n"
    "\n"
    "Usage\n"
    "-----\n"
    "    from sorva import asset\n"
    "\n"
    "    @asset()\n"
    "    def my_data():\n"
    "        return {\"value\": 42}\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    Override the asset's display name / continuity key.\n"
    "    Defaults to ``\"<file>:<function_name>\"``.\n"
    "inputs : dict[str, asset], optional\n"
    "    Declare upstream dependencies.  Map parameter names to other\n"
    "    ``@asset``-decorated functions.  Sorva will materialize upstream\n"
    "    assets first and pass their values as keyword arguments.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        @asset()\n"
    "        def raw(): return [1, 2, 3]\n"
    "\n"
    "        @asset(inputs={\"data\": raw})\n"
    "        def processed(data): return [x * 2 for x in data]\n"
    "\n"
    "partitions : dict[str, partitions(...)], optional\n"
    "    Declare a partitioned asset.  Each dimension maps to a\n"
    "    ``partitions([...])`` call that enumerates the static partition keys.\n"
    "    Sorva will create one materialization job per partition combination.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        from sorva import asset, partitions\n"
    "\n"
    "        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "        def prices(ticker: str):\n"
    "            return fetch_price(ticker)\n"
    "\n"
    "serializer : str, optional\n"
    "    Reserved for future use.  Leave unset.";

constexpr const char* kPartitionsDoc =
    "partitions(values)\n--\n\n"
    "Declare a static partition universe for use with ``@asset(partitions=...)``.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from sorva import asset, partitions\n"
    "\n"
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "    def prices(ticker: str): ...";

constexpr const char* kInspectDoc =
    "inspect_modules(modules)\n--\n\n"
    "Inspect modules for sorva assets. Called by the `python -m sorva.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__sorva_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.";

constexpr const char* kMaterializeDoc =
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n--\n\n"
    "Materialize a single asset function. Called by the `python -m sorva.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.";

using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The fast-convention entry point of one function: bind, run the body, and
// turn whatever it throws into the Python exception.
template <const Binding& binding, class Args, Ref (*body)(const Args&)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return guard([&] { return body(bind<binding, Args>(args, nargsf, kwnames)); });
}

struct FunctionRecord {
    const Binding& binding;  // name and parameters
    const char* doc;         // starts with the text signature
    Entry entry;
};

constexpr FunctionRecord kFunctions[] = {
    {kAssetBinding, kAssetDoc, entry<kAssetBinding, AssetArgs, asset_body>},
    {kPartitionsBinding, kPartitionsDoc, entry<kPartitionsBinding, PartitionsArgs, partitions_body>},
    {kInspectBinding, kInspectDoc, entry<kInspectBinding, InspectArgs, inspect_body>},
    {kMaterializeBinding, kMaterializeDoc, entry<kMaterializeBinding, MaterializeArgs, materialize_body>},
};

// Method records live as long as the functions made from them: for good.
auto g_methods = [] {
    std::array<PyMethodDef, std::size(kFunctions)> methods{};
    for (std::size_t i = 0; i < methods.size(); ++i) {
        const FunctionRecord& record = kFunctions[i];
        methods[i] = {record.binding.function,
                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
                      METH_FASTCALL | METH_KEYWORDS,
                      record.doc};
    }
    return methods;
}();

}  // namespace

std::span<PyMethodDef> module_functions() { return g_methods; }

}  // namespace sorva
