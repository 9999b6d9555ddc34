// Normalised source text: what inspect.getsource gives, dedented and trimmed.
#include "inspect/names.hpp"
#include "inspect/record.hpp"
#include "module/module.hpp"

namespace sorva::inspect {

std::string normalised_source(const Toolkit& tools, PyObject* object)
{
    Ref source = call_named(tools.inspect.get(), names::getsource, object);
    Ref dedented = call_named(tools.textwrap.get(), names::dedent, source.get());
    Ref stripped = call_named(dedented.get(), names::strip);
    std::string_view text = text_of(stripped.get());
    std::string normalised;
    normalised.reserve(text.size() + 1);
    normalised.append(text);
    normalised.push_back('\n');
    return normalised;
}

}  // namespace sorva::inspect
