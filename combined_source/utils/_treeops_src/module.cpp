// combined_source.utils._treeops: the command line's native tree passes.
// Not part of the post-processor's surface; convert.py and HUJ.py use it
// and fall back to their Python code without it.
#include "treeops.hpp"

namespace treeops {

// edits(changes, top, site, fields, walked, hooks, string_kinds, leaves, misplaced): changes.py's walk
PyObject* edits(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

namespace {

PyMethodDef module_methods[] = {
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure)), METH_FASTCALL,
     "configure(std_name, gast_name, copy_location, plan, plans, /)\n--\n\n"
     "Sets what the conversion works with: the two Name classes, the location\n"
     "copy, the function that plans the conversion of a node class, and the dict\n"
     "of plans it fills."},
    {"configure_render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure_render)),
     METH_FASTCALL,
     "configure_render(name, attribute, call, constant, keyword, fallback, end, kinds=None, /)\n--\n\n"
     "Sets the gast kinds the renderer writes, the renderer it hands every other\n"
     "node to, and the text that ends each rendering (None for none); `kinds`\n"
     "maps the names of the other node and operator kinds it writes to their\n"
     "classes (without it, only the first five are written here)."},
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(render)), METH_FASTCALL | METH_KEYWORDS,
     "render(node)\n--\n\n"
     "The source text of a gast node: the kinds configured are written here,\n"
     "everything else by the configured renderer."},
    {"same", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(same)), METH_FASTCALL,
     "same(x, y, left, right, kinds, skip, settle, report, /)\n--\n\n"
     "Whether trees x and y are equal, field by field (see trees.same)."},
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)), METH_FASTCALL,
     "walk(processor, node, visit, generic, /)\n--\n\n"
     "Visits the children of `node` and stores what each visit returns in the\n"
     "child's place; returns `node`. Children go to `visit` unless it is None,\n"
     "else to processor.visit_<ClassName>, else to `generic` unless it is None,\n"
     "else they are walked the same way."},
    {"configure_walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure_walk)), METH_FASTCALL,
     "configure_walk(visit_constant, ast_globals, kinds, /)\n--\n\n"
     "Sets the standard visitor's visit_Constant (None for none), the dict of the\n"
     "module whose globals it reads, and the node classes for which the walk\n"
     "makes its call of generic_visit itself where that is all it would do."},
    {"edits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(edits)), METH_FASTCALL,
     "edits(changes, top, site, fields, walked, hooks, string_kinds, leaves, misplaced, /)\n--\n\n"
     "The byte edits of the changes below `top` (see changes.Changes.edits)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept;

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "combined_source.utils._treeops",
    "Native passes over syntax trees for the command line: conversion to gast, traversal, tree comparison "
    "and the renderer's common texts.",
    0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

int exec_module(PyObject* module) noexcept {
    if (init_state() < 0 || ready_converter_type() < 0 || PyType_Ready(&GenericVisitType) < 0) return -1;
    PyObject* ns = PyModule_GetDict(module);  // borrowed
    if (!ns || PyDict_SetItemString(ns, "Converter", reinterpret_cast<PyObject*>(&ConverterType)) < 0) return -1;
    return PyDict_SetItemString(ns, "GenericVisit", reinterpret_cast<PyObject*>(&GenericVisitType));
}

}  // namespace

}  // namespace treeops

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__treeops() {
    return PyModuleDef_Init(&treeops::module_def);
}
