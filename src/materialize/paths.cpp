// The pathlib calls through which the artefacts reach the disk.
#include "materialize/paths.hpp"

#include "module/module.hpp"

namespace sorva::materialize {

Ref output_path(PyObject* pathlib, std::string_view output_dir)
{
    Ref path_class = getattr(pathlib, "Path");
    Ref text = new_text(output_dir);
    return call(path_class.get(), text.get());
}

void make_directory(PyObject* path)
{
    Ref mkdir = getattr(path, "mkdir");
    Ref no_args = check(PyTuple_New(0));
    // Filled in this order: a mkdir taking **kwargs sees parents first.
    Ref options = check(PyDict_New());
    check_status(PyDict_SetItemString(options.get(), "parents", Py_True));
    check_status(PyDict_SetItemString(options.get(), "exist_ok", Py_True));
    check(PyObject_Call(mkdir.get(), no_args.get(), options.get()));
}

Ref join(PyObject* path, std::string_view name)
{
    Ref text = new_text(name);
    return call_method(path, "__truediv__", text.get());
}

void write_text(PyObject* path, PyObject* text)
{
    // The encoding goes as the second positional argument, not as a keyword.
    Ref encoding = new_text("utf-8");
    call_method(path, "write_text", text, encoding.get());
}

}  // namespace sorva::materialize
