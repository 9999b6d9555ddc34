// Thin helpers over the C API.
#include "module/python_api.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace sorva {

void write_stderr(std::string_view text) noexcept
{
    while (!text.empty()) {
        ssize_t written = ::write(2, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::string_view utf8_view(PyObject* obj)
{
    if (!PyUnicode_Check(obj)) {
        fail_conversion(obj, "PyString");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) {
        throw_pending();
    }
    return {utf8, static_cast<std::size_t>(size)};
}

std::string utf8_lossy(PyObject* str)
{
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
        return {utf8, static_cast<std::size_t>(size)};
    }
    discard_exception();
    // Surrogates pass through the encoder as their three-byte forms, which
    // the decoder then replaces byte by byte.
    Ref bytes = check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    Ref clean = check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    return utf8_copy(clean.get());
}

std::string str_utf8(PyObject* obj)
{
    Ref text = check(PyObject_Str(obj));
    return utf8_copy(text.get());
}

Ref new_str(std::string_view utf8)
{
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

std::string conversion_message(PyObject* obj, std::string_view target)
{
    std::string message = "'";
    message += type_name_of(obj);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    return message;
}

void fail_conversion(PyObject* obj, std::string_view target) { fail(PyExc_TypeError, conversion_message(obj, target)); }

PyObject* expect_list(PyObject* obj)
{
    if (!PyList_Check(obj)) {
        fail_conversion(obj, "PyList");
    }
    return obj;
}

PyObject* expect_tuple(PyObject* obj)
{
    if (!PyTuple_Check(obj)) {
        fail_conversion(obj, "PyTuple");
    }
    return obj;
}

PyObject* expect_dict(PyObject* obj)
{
    if (!PyDict_Check(obj)) {
        fail_conversion(obj, "PyDict");
    }
    return obj;
}

bool to_bool(PyObject* obj)
{
    if (!PyBool_Check(obj)) {
        fail_conversion(obj, "PyBool");
    }
    return obj == Py_True;
}

Ref import_module(Name& name) { return check(PyImport_Import(name.get())); }

Ref getattr(PyObject* obj, Name& name) { return check(PyObject_GetAttr(obj, name.get())); }

Ref getattr_or_empty(PyObject* obj, Name& name)
{
    Ref value = Ref::steal(PyObject_GetAttr(obj, name.get()));
    if (!value) {
        discard_exception();
    }
    return value;
}

Ref call_with_keywords(PyObject* callable, PyObject* kwargs)
{
    Ref no_args = check(PyTuple_New(0));
    return check(PyObject_Call(callable, no_args.get(), kwargs));
}

Stdlib Stdlib::import(std::initializer_list<Member> wanted)
{
    static constexpr std::pair<Member, Name*> kModules[] = {
        {&Stdlib::importlib, &names::importlib},
        {&Stdlib::inspect, &names::inspect},
        {&Stdlib::json, &names::json},
        {&Stdlib::pathlib, &names::pathlib},
        {&Stdlib::sys, &names::sys},
        {&Stdlib::textwrap, &names::textwrap},
    };
    Stdlib stdlib;
    for (Member member : wanted) {
        for (const auto& [known, name] : kModules) {
            if (known == member) {
                stdlib.*member = import_module(*name);
            }
        }
    }
    return stdlib;
}

std::string resolved_path(PyObject* pathlib, PyObject* file)
{
    Ref path = call_method(pathlib, names::path, file);
    Ref resolved = call_method(path.get(), names::resolve);
    return str_utf8(resolved.get());
}

}  // namespace sorva
