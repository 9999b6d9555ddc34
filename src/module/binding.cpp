// The one binder behind every module function, and its messages.
#include "module/binding.hpp"

#include <vector>

#include "module/python_api.hpp"

namespace sorva {
namespace {

std::string full_name(const Binding& binding) { return std::string(binding.function) + "()"; }

[[noreturn]] void too_many(const Binding& binding, std::size_t given)
{
    std::string message = full_name(binding) + " takes ";
    std::size_t count = binding.positional.size();
    if (binding.required == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(binding.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    fail(PyExc_TypeError, std::move(message));
}

[[noreturn]] void missing(const Binding& binding, const Bound& bound)
{
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < binding.required; ++i) {
        if (bound[i] == nullptr) {
            names.push_back(binding.positional[i]);
        }
    }
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                list += " and ";
            } else {
                list += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    fail(PyExc_TypeError,
         full_name(binding) + " missing " + std::to_string(names.size()) + " required positional " +
             (names.size() == 1 ? "argument" : "arguments") + ": " + list);
}

bool same_name(PyObject* keyword, std::string_view name)
{
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
        discard_exception();  // a name holding a lone surrogate matches no parameter
        return false;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size)) == name;
}

}  // namespace

Bound bind(const Binding& binding, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
{
    Bound bound{};
    std::size_t given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    std::size_t positional_count = binding.positional.size();
    if (given > positional_count) {
        too_many(binding, given);
    }
    for (std::size_t i = 0; i < given; ++i) {
        bound[i] = args[i];
    }
    Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = kMaxParameters;
        for (std::size_t j = 0; j < binding.keyword_only.size() && slot == kMaxParameters; ++j) {
            if (same_name(keyword, binding.keyword_only[j])) {
                slot = positional_count + j;
            }
        }
        for (std::size_t j = 0; j < positional_count && slot == kMaxParameters; ++j) {
            if (same_name(keyword, binding.positional[j])) {
                slot = j;
            }
        }
        if (slot == kMaxParameters) {
            fail(PyExc_TypeError,
                 full_name(binding) + " got an unexpected keyword argument '" + utf8_lossy(keyword) + "'");
        }
        if (bound[slot] != nullptr) {
            std::string_view name =
                slot < positional_count ? binding.positional[slot] : binding.keyword_only[slot - positional_count];
            fail(PyExc_TypeError, full_name(binding) + " got multiple values for argument '" + std::string(name) + "'");
        }
        bound[slot] = args[given + static_cast<std::size_t>(k)];
    }
    for (std::size_t i = 0; i < binding.required; ++i) {
        if (bound[i] == nullptr) {
            missing(binding, bound);
        }
    }
    return bound;
}

std::string argument_prefix(std::string_view name)
{
    std::string prefix = "argument '";
    prefix += name;
    prefix += "': ";
    return prefix;
}

void rewrap_argument_error(std::string_view name)
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    Ref original = take_exception();
    if (!Py_IS_TYPE(original.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        restore_exception(std::move(original));
        return;
    }
    Ref message = new_str(argument_prefix(name) + exception_message(original.get()));
    Ref replacement = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // PyException_SetCause steals; GetCause hands out a new reference.
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    restore_exception(std::move(replacement));
}

}  // namespace sorva
