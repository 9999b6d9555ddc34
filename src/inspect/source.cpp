// Normalised source text: what inspect.getsource gives, dedented and trimmed.
#include "inspect/names.hpp"
#include "inspect/record.hpp"
#include "module/compat.hpp"
#include "module/module.hpp"

namespace sorva::inspect {

namespace {

std::string normalised(const Toolkit& tools, Ref source)
{
    Ref dedented = call_named(tools.textwrap.get(), names::dedent, source.get());
    Ref stripped = call_named(dedented.get(), names::strip);
    std::string_view text = text_of(stripped.get());
    std::string normalised;
    normalised.reserve(text.size() + 1);
    normalised.append(text);
    normalised.push_back('\n');
    return normalised;
}

// The module's loader answers "" for its source: an empty file.
bool loader_reads_empty(PyObject* module)
{
    Ref loader = Ref::steal(PyObject_GetAttr(module, names::loader.get()));
    Ref name = loader ? Ref::steal(PyObject_GetAttr(module, names::dunder_name.get())) : Ref();
    Ref source = name ? Ref::steal(try_call_named(loader.get(), names::get_source, name.get())) : Ref();
    if (!source) {
        discard_exception();
        return false;
    }
    return PyUnicode_Check(source.get()) && PyUnicode_GET_LENGTH(source.get()) == 0;
}

}  // namespace

std::string normalised_source(const Toolkit& tools, PyObject* object)
{
    return normalised(tools, call_named(tools.inspect.get(), names::getsource, object));
}

// Before 3.13 inspect.getsource refuses an empty file (a package's empty
// __init__.py, most often) with OSError; later versions read it as empty
// text, and so does this on every version.
std::string module_source(const Toolkit& tools, PyObject* module)
{
    Ref source = Ref::steal(try_call_named(tools.inspect.get(), names::getsource, module));
    if (!source) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) {
            throw_pending();
        }
        Ref error = take_exception();
        if (!loader_reads_empty(module)) {
            compat::restore_raised(std::move(error));
            throw_pending();
        }
        source = new_text("");
    }
    return normalised(tools, std::move(source));
}

}  // namespace sorva::inspect
