// The inspection driver.
#include "inspect/inspect.hpp"

#include "module/module.hpp"

namespace sorva::inspect {

Ref inspect_modules(const std::vector<std::string>&)
{
    fail(PyExc_NotImplementedError, "inspect_modules is not implemented yet");
}

}  // namespace sorva::inspect
