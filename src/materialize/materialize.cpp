// The materialisation driver.
#include "materialize/materialize.hpp"

#include "module/module.hpp"

namespace sorva::materialize {

Ref materialize_asset(std::string_view, std::string_view, std::string_view, const std::optional<std::string>&)
{
    fail(PyExc_NotImplementedError, "materialize_asset is not implemented yet");
}

}  // namespace sorva::materialize
