// Normalised source text: what inspect.getsource gives, dedented and trimmed.
#include "inspect/record.hpp"

namespace sorva::inspect {
namespace {

std::string normalised(const Stdlib& stdlib, const Ref& source)
{
    Ref dedented = call_method(stdlib.textwrap.get(), names::dedent, source.get());
    Ref stripped = call_method(dedented.get(), names::strip);
    std::string_view text = utf8_view(stripped.get());
    std::string normalised;
    normalised.reserve(text.size() + 1);
    normalised.append(text);
    normalised.push_back('\n');
    return normalised;
}

// The module's loader answers "" for its source: an empty file.
bool loader_reads_empty(PyObject* module)
{
    Ref loader = getattr_or_empty(module, names::loader);
    Ref name = loader ? getattr_or_empty(module, names::dunder_name) : Ref();
    Ref source = name ? try_call_method(loader.get(), names::get_source, name.get()) : Ref();
    if (!source) {
        if (PyErr_Occurred()) {
            discard_exception();
        }
        return false;
    }
    return PyUnicode_Check(source.get()) && PyUnicode_GET_LENGTH(source.get()) == 0;
}

}  // namespace

std::string normalised_source(const Stdlib& stdlib, PyObject* object)
{
    return normalised(stdlib, call_method(stdlib.inspect.get(), names::getsource, object));
}

// Before 3.13 inspect.getsource refuses an empty file (a package's empty
// __init__.py, most often) with OSError; later versions read it as empty
// text, and so does this on every version.
std::string module_source(const Stdlib& stdlib, PyObject* module)
{
    Ref source = try_call_method(stdlib.inspect.get(), names::getsource, module);
    if (!source) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) {
            throw_pending();
        }
        Ref error = take_exception();
        if (!loader_reads_empty(module)) {
            restore_exception(std::move(error));
            throw_pending();
        }
        source = new_str("");
    }
    return normalised(stdlib, source);
}

}  // namespace sorva::inspect
