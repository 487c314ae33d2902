// Traceback entries for exceptions leaving the module's functions. A code
// object is made for the failing line (its first line is the line the entry
// shows), a frame for it, and the frame is added to the pending traceback.
#include "function.hpp"

namespace zok {

[[gnu::cold, gnu::noinline]] void add_traceback(PyObject* qualname, PyObject* varnames,
                                                int argcount, const char* filename, int line,
                                                PyObject* globals) noexcept {
    compat::PendingError pending;
    Ref file = Ref::steal(PyUnicode_FromString(filename));
    Ref code;
    if (file) {
        code = Ref::steal(reinterpret_cast<PyObject*>(compat::new_code(
            argcount, varnames, file.get(), qualname, qualname, line, g.empty_bytes,
            g.empty_tuple)));
    }
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals,
                        nullptr)));
    }
    if (!frame) {
        // Out of memory while decorating: the caller's exception matters more
        // than the entry, so drop this error and report the original one.
        PyErr_Clear();
        pending.restore();
        return;
    }
    pending.restore();
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace zok
