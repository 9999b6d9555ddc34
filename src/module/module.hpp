// What the other subsystems use of the module frame.
#pragma once

#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/python_api.hpp"
#include "module/ref.hpp"
