// The runtime every feature builds on, and the only header of it they
// include: the reference type, the error rules, interned names and calls
// into Python, the argument binder, the classes' shared slots and the objects
// made once per process. Version differences stay inside (compat.hpp).
#pragma once

#include "module/binding.hpp"
#include "module/compat.hpp"
#include "module/errors.hpp"
#include "module/names.hpp"
#include "module/once.hpp"
#include "module/python_api.hpp"
#include "module/ref.hpp"
#include "module/types.hpp"
