// Embeds the interpreter, imports sorva._sorva in the main interpreter, then
// tries again from a legacy sub-interpreter, which must be refused.
// Usage: subinterpreter STAGING_DIR. Prints what happened; exit 0 when the
// sub-interpreter got ImportError and the main import worked.
#include <Python.h>

#include <cstdio>
#include <string>

namespace {

bool import_in_current(const char* staging, std::string& outcome)
{
    std::string code = "import sys\nsys.path.insert(0, r'''" + std::string(staging) +
                       "''')\n"
                       "try:\n"
                       "    import sorva._sorva\n"
                       "    outcome = 'imported'\n"
                       "except ImportError as e:\n"
                       "    outcome = 'ImportError: ' + str(e)\n";
    PyObject* globals = PyDict_New();
    PyObject* result = PyRun_String(code.c_str(), Py_file_input, globals, globals);
    bool ran = result != nullptr;
    if (ran) {
        PyObject* text = PyDict_GetItemString(globals, "outcome");
        outcome = PyUnicode_AsUTF8(text);
    } else {
        PyErr_Print();
    }
    Py_XDECREF(result);
    Py_DECREF(globals);
    return ran;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s STAGING_DIR\n", argv[0]);
        return 2;
    }
    Py_Initialize();
    std::string main_outcome;
    if (!import_in_current(argv[1], main_outcome)) {
        return 1;
    }
    std::printf("main: %s\n", main_outcome.c_str());

    PyThreadState* main_state = PyThreadState_Get();
    PyThreadState* sub_state = Py_NewInterpreter();
    if (sub_state == nullptr) {
        std::fprintf(stderr, "could not create a sub-interpreter\n");
        return 1;
    }
    std::string sub_outcome;
    bool ran = import_in_current(argv[1], sub_outcome);
    Py_EndInterpreter(sub_state);
    PyThreadState_Swap(main_state);
    if (!ran) {
        return 1;
    }
    std::printf("sub: %s\n", sub_outcome.c_str());
    Py_Finalize();
    bool refused = sub_outcome.rfind("ImportError: ", 0) == 0;
    return main_outcome == "imported" && refused ? 0 : 1;
}
