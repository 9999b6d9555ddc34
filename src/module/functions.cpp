// The four module functions: bind, convert, hand over to the subsystem.
#include "module/functions.hpp"

#include <algorithm>
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

constexpr std::string_view kAssetKeywords[] = {"name", "inputs", "partitions", "serializer"};
constexpr std::string_view kPartitionsParams[] = {"values"};
constexpr std::string_view kInspectParams[] = {"modules"};
constexpr std::string_view kMaterializeParams[] = {"module_name", "function_name", "output_dir",
                                                   "input_kwargs_json"};

constexpr Binding kAssetBinding{"asset", {}, 0, kAssetKeywords};
constexpr Binding kPartitionsBinding{"partitions", kPartitionsParams, 1, {}};
constexpr Binding kInspectBinding{"inspect_modules", kInspectParams, 1, {}};
constexpr Binding kMaterializeBinding{"materialize_asset", kMaterializeParams, 3, {}};

std::optional<std::string> optional_text(std::string_view name, PyObject* arg)
{
    if (omitted(arg)) {
        return std::nullopt;
    }
    return convert_argument(name, [&] { return to_text(arg); });
}

std::string_view required_text(std::string_view name, PyObject* arg)
{
    return convert_argument(name, [&] { return text_of(arg); });
}

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
            names.push_back(to_text(item.get()));
        }
        if (PyErr_Occurred()) {
            throw_pending();
        }
        return names;
    });
}

PyObject* asset_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return guard([&] {
        Bound bound = bind(kAssetBinding, args, nargsf, kwnames);
        std::optional<std::string> name = optional_text("name", bound[0]);
        std::optional<std::string> serializer = optional_text("serializer", bound[3]);
        return declare::asset(std::move(name), std::move(serializer), omitted(bound[1]) ? nullptr : bound[1],
                              omitted(bound[2]) ? nullptr : bound[2]);
    });
}

PyObject* partitions_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return guard([&] {
        Bound bound = bind(kPartitionsBinding, args, nargsf, kwnames);
        PyObject* values = convert_argument("values", [&] { return expect_list(bound[0]); });
        return declare::partitions(values);
    });
}

PyObject* inspect_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return guard([&] {
        Bound bound = bind(kInspectBinding, args, nargsf, kwnames);
        return inspect::inspect_modules(module_names(bound[0]));
    });
}

PyObject* materialize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    return guard([&] {
        Bound bound = bind(kMaterializeBinding, args, nargsf, kwnames);
        std::string_view module_name = required_text("module_name", bound[0]);
        std::string_view function_name = required_text("function_name", bound[1]);
        std::string_view output_dir = required_text("output_dir", bound[2]);
        std::optional<std::string> input_kwargs_json = optional_text("input_kwargs_json", bound[3]);
        return materialize::materialize_asset(module_name, function_name, output_dir, input_kwargs_json);
    });
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

template <PyObject* (*Entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction as_cfunction()
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

PyMethodDef g_functions[] = {
    {"asset", as_cfunction<asset_entry>(), METH_FASTCALL | METH_KEYWORDS, kAssetDoc},
    {"partitions", as_cfunction<partitions_entry>(), METH_FASTCALL | METH_KEYWORDS, kPartitionsDoc},
    {"inspect_modules", as_cfunction<inspect_entry>(), METH_FASTCALL | METH_KEYWORDS, kInspectDoc},
    {"materialize_asset", as_cfunction<materialize_entry>(), METH_FASTCALL | METH_KEYWORDS, kMaterializeDoc},
};

}  // namespace

std::span<PyMethodDef> module_functions()
{
    return g_functions;
}

}  // namespace sorva
