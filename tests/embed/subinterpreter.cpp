// Embeds the interpreter, imports sorva._sorva in the main interpreter, then
// tries again from a legacy sub-interpreter, which must be refused.
// Usage: subinterpreter STAGING_DIR. Prints "main: " and "sub: " with what each import did.
#include <Python.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s STAGING_DIR\n", argv[0]);
        return 2;
    }
    // Each interpreter has a sys.stdout of its own, so each flushes its line before the other writes.
    const auto import = [&](const char* who) {
        const std::string code = "import sys\nsys.path.insert(0, r'''" + std::string(argv[1]) +
                                 "''')\ntry:\n    import sorva._sorva\n    print('" + who +
                                 ": imported', flush=True)\nexcept ImportError as e:\n    print('" + who +
                                 ": ImportError:', e, flush=True)\n";
        return PyRun_SimpleString(code.c_str()) == 0;
    };
    Py_Initialize();
    const bool main_ran = import("main");
    PyThreadState* main_state = PyThreadState_Get();
    PyThreadState* sub_state = Py_NewInterpreter();
    if (sub_state == nullptr) return 1;
    const bool sub_ran = import("sub");
    Py_EndInterpreter(sub_state);
    PyThreadState_Swap(main_state);
    Py_Finalize();
    return main_ran && sub_ran ? 0 : 1;
}
