// Thin helpers over the C API.
#include "module/python_api.hpp"

#include <unistd.h>

#include <cerrno>

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

std::string lossy_text(PyObject* str)
{
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    // Surrogates pass through the encoder as their three-byte forms, which
    // the decoder then replaces byte by byte.
    Ref bytes = check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    Ref clean = check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                           PyBytes_GET_SIZE(bytes.get()), "replace"));
    const char* utf8 = PyUnicode_AsUTF8AndSize(clean.get(), &size);
    if (utf8 == nullptr) {
        throw_pending();
    }
    return std::string(utf8, static_cast<std::size_t>(size));
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

void fail_conversion(PyObject* obj, std::string_view target)
{
    fail(PyExc_TypeError, conversion_message(obj, target));
}

std::string_view text_of(PyObject* obj)
{
    if (!PyUnicode_Check(obj)) {
        fail_conversion(obj, "PyString");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) {
        throw_pending();
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

Ref new_text(std::string_view utf8)
{
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

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

Ref import_module(const char* name)
{
    return check(PyImport_ImportModule(name));
}

Ref getattr(PyObject* obj, const char* name)
{
    return check(PyObject_GetAttrString(obj, name));
}

Ref getattr(PyObject* obj, PyObject* name)
{
    return check(PyObject_GetAttr(obj, name));
}

Ref str_of(PyObject* obj)
{
    return check(PyObject_Str(obj));
}

}  // namespace sorva
