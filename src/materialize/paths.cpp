// The pathlib calls through which the artefacts reach the disk.
#include "materialize/paths.hpp"

namespace sorva::materialize {

Ref output_path(PyObject* pathlib, std::string_view output_dir)
{
    Ref text = new_str(output_dir);
    return call_method(pathlib, names::path, text.get());
}

void make_directory(PyObject* path)
{
    Ref mkdir = getattr(path, names::mkdir);
    // Filled in this order: a mkdir taking **kwargs sees parents first.
    Ref options = check(PyDict_New());
    check_status(PyDict_SetItemString(options.get(), "parents", Py_True));
    check_status(PyDict_SetItemString(options.get(), "exist_ok", Py_True));
    call_with_keywords(mkdir.get(), options.get());
}

Ref join(PyObject* path, std::string_view name)
{
    Ref text = new_str(name);
    return call_method(path, names::truediv, text.get());
}

void write_text(PyObject* path, PyObject* text)
{
    // The encoding goes as the second positional argument, not as a keyword.
    Ref encoding = new_str("utf-8");
    call_method(path, names::write_text, text, encoding.get());
}

}  // namespace sorva::materialize
