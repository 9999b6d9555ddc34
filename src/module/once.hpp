// Process-wide objects made on first use and kept for the life of the
// process: the module object, the classes, the fault type, interned names.
#pragma once

#include <Python.h>

#include <atomic>

#include "module/ref.hpp"

namespace sorva {

// The object stored in `slot`, made by `make` (which returns a Ref or
// throws) when none is stored yet. Threads may race here: on a free-threaded
// interpreter at any time, under the GIL whenever `make` runs Python code
// that lets another thread in. Each racer makes its own object, the first one
// stored wins and the others drop theirs. No lock is held while `make` runs:
// a thread waiting on one would stall the interpreter's stop-the-world pauses,
// and `make` re-entering here would wait on itself.
template <class Make>
PyObject* first_stored(std::atomic<PyObject*>& slot, Make&& make)
{
    // Acquire: a thread that sees the pointer sees the object fully made.
    PyObject* stored = slot.load(std::memory_order_acquire);
    if (stored != nullptr) {
        return stored;
    }
    Ref made = make();
    if (slot.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
        return made.release();  // kept for good
    }
    return stored;
}

}  // namespace sorva
