// The module's state: every object _treeops keeps (interned names, the
// classes and callables it was configured with, its caches), in one place,
// made in one place (init_state) and checked in one place before a pass
// uses what configure() or configure_render() set. One copy per process, raw
// pointers never freed (a static destructor would run after the interpreter
// is gone); the interpreter that first imports the module owns it, and other
// interpreters of the process are refused (their importers then use the
// Python loops).
#pragma once

#include "../_zok/ref.hpp"

#include <cstdint>

namespace treeops {

// What the passes share: made at initialisation (the first four) and set by
// configure() (the rest).
struct Globals {
    PyObject* ast = nullptr;           // ast.AST
    PyObject* empty_tuple = nullptr;
    PyObject* visit_prefix = nullptr;  // "visit_"
    PyObject* method_names = nullptr;  // class name -> "visit_" + class name
    // Set by configure():
    PyObject* std_name = nullptr;      // ast.Name
    PyObject* gast_name = nullptr;     // gast.Name
    PyObject* copy_location = nullptr; // ast.copy_location
    PyObject* plan = nullptr;          // plan(cls) -> how nodes of cls are converted
    PyObject* plans = nullptr;         // the dict plan() fills
    bool names_located = false;        // both Name kinds carry the four position attributes
    // Set by configure_walk() (null without it, or where the standard
    // visitor has no visit_Constant):
    PyObject* stock_visit_constant = nullptr;  // ast.NodeVisitor.visit_Constant
    PyObject* ast_globals = nullptr;           // the ast module's dict, which that function reads
    PyObject* constant_kinds = nullptr;        // tuple of the node classes it is taken for
    // `_attributes` tuples seen to list the four positions (a few, replaced
    // in turn): the check of a node's own `_attributes` is then a pointer test.
    PyObject* listed[4] = {};
    int listed_next = 0;
};

// Interned attribute names, made at initialisation.
struct Names {
    PyObject* id;
    PyObject* ctx;
    PyObject* annotation;
    PyObject* type_comment;
    PyObject* visit;
    PyObject* dunder_class;
    PyObject* dunder_name;
    PyObject* fields;
    PyObject* attributes;  // "_attributes"
    PyObject* position[4];  // lineno, col_offset, end_lineno, end_col_offset
    PyObject* value;
    PyObject* kind;
    PyObject* attr;
    PyObject* func;
    PyObject* args;
    PyObject* keywords;
    PyObject* arg;
    // the fields of the other kinds the renderer writes
    PyObject* elts;
    PyObject* slice;
    PyObject* lower;
    PyObject* upper;
    PyObject* step;
    PyObject* left;
    PyObject* op;
    PyObject* right;
    PyObject* operand;
    PyObject* ops;
    PyObject* comparators;
    PyObject* values;
    PyObject* keys;
    PyObject* body;
    PyObject* test;
    PyObject* orelse;
    PyObject* elt;
    PyObject* generators;
    PyObject* target;
    PyObject* iter;
    PyObject* ifs;
    PyObject* is_async;
    PyObject* key;
    PyObject* generic_visit;
    PyObject* const_names;    // "_const_node_type_names"
    PyObject* dunder_func;    // "__func__"
    PyObject* dunder_doc;     // "__doc__"
    PyObject* dunder_wrapped; // "__wrapped__"
    PyObject* stock_visit;    // "_STOCK_VISIT"
    PyObject* walk_global;    // "_walk"
    PyObject* generic_global; // "_GENERIC_VISIT"
};

// An operator kind the renderer writes: its class (set by configure_render),
// its text and how strongly it binds.
struct RenderOp {
    PyObject* kind = nullptr;
    PyObject* text = nullptr;
    int strength = 0;
};

// What the renderer works with: the gast kinds it writes (set by
// configure_render, with the Python renderer it hands everything else to and
// the text ending every rendering, or None) and its fixed pieces of text.
struct Render {
    PyObject* name = nullptr;
    PyObject* attribute = nullptr;
    PyObject* call = nullptr;
    PyObject* constant = nullptr;
    PyObject* keyword = nullptr;
    PyObject* fallback = nullptr;
    PyObject* end = nullptr;
    PyObject* u_prefix = nullptr;  // "u"
    PyObject* dot = nullptr;       // "."
    PyObject* open = nullptr;      // "("
    PyObject* close = nullptr;     // ")"
    PyObject* comma = nullptr;     // ", "
    PyObject* star_star = nullptr; // "**"
    PyObject* equals = nullptr;    // "="
    PyObject* empty = nullptr;     // ""
    // Set by configure_render's `kinds` (null without it: those nodes go to
    // the fallback).
    PyObject* tuple = nullptr;
    PyObject* list = nullptr;
    PyObject* subscript = nullptr;
    PyObject* starred = nullptr;
    PyObject* slice = nullptr;
    PyObject* binop = nullptr;
    PyObject* unaryop = nullptr;
    PyObject* compare = nullptr;
    PyObject* boolop = nullptr;
    PyObject* ifexp = nullptr;
    PyObject* dict = nullptr;
    PyObject* set = nullptr;
    PyObject* listcomp = nullptr;
    PyObject* genexp = nullptr;
    PyObject* setcomp = nullptr;
    PyObject* dictcomp = nullptr;
    PyObject* comprehension = nullptr;
    RenderOp binary[13];
    RenderOp unary[4];
    RenderOp comparison[10];
    RenderOp boolean[2];
    // Made at initialisation:
    PyObject* space_dot = nullptr;      // " ." (after an int)
    PyObject* open_square = nullptr;    // "["
    PyObject* close_square = nullptr;   // "]"
    PyObject* open_curly = nullptr;     // "{"
    PyObject* close_curly = nullptr;    // "}"
    PyObject* colon = nullptr;          // ":"
    PyObject* colon_space = nullptr;    // ": "
    PyObject* star = nullptr;           // "*"
    PyObject* trailing_comma = nullptr; // ","
    PyObject* if_ = nullptr;            // " if "
    PyObject* else_ = nullptr;          // " else "
    PyObject* ellipsis = nullptr;       // "..."
    PyObject* inf = nullptr;            // "inf"
    PyObject* inf_text = nullptr;       // "1e309": a number too large for a float
    PyObject* nan = nullptr;            // "nan"
    PyObject* nan_text = nullptr;       // "(1e309-1e309)"
    PyObject* for_ = nullptr;           // " for "
    PyObject* async_for = nullptr;      // " async for "
    PyObject* in_ = nullptr;            // " in "
};

// The `_fields` tuples of node kinds, for the change walk: a few slots found
// by the kind's address, each holding the kind's attribute version tag when
// it was filled. A slot serves only while the kind still has that tag, so a
// reassigned `_fields` is read afresh, and a kind made at a dead one's
// address (a new tag) is not mistaken for it. The kind itself is not held.
struct KindFields {
    static constexpr int kSlots = 128;
    struct Slot {
        PyTypeObject* kind = nullptr;  // not a reference: compared, never used
        unsigned int version = 0;
        PyObject* fields = nullptr;    // a tuple of exact str (owned)
    };
    Slot slots[kSlots];
};

// Processor classes seen to define no legacy constant method of a name
// ("visit_Num" and the like, interned): a few slots found by class and
// name, each holding the class's attribute version tag when it was
// filled, so that a method added to the class or a base later is seen.
struct LegacyAbsent {
    static constexpr int kSlots = 16;
    struct Slot {
        PyTypeObject* cls = nullptr;  // not a reference: compared, never used
        unsigned int version = 0;
        PyObject* name = nullptr;     // owned, so its address is not reused
    };
    Slot slots[kSlots];
};

// How node kinds read a field name (see fields.cpp): slots found by kind
// and name, each holding the kind's attribute version tag when it was
// filled, so that a descriptor or a default added to the kind or a base
// later is seen. Nothing but the names is held.
struct FieldReads {
    // A pair goes to one set of kWays slots, by last use (a few hundred
    // pairs in a table of single slots collide often enough to refill
    // slots in turn).
    static constexpr int kBits = 10;
    static constexpr int kWays = 4;
    static constexpr int kSlots = (1 << kBits) * kWays;
    struct Slot {
        PyTypeObject* kind = nullptr;  // not a reference: compared, never used
        unsigned int version = 0;
        PyObject* name = nullptr;      // owned, so its address is not reused
        bool plain = false;            // read from the instance's dict
        bool none = false;             // the classes give the name None
    };
    Slot slots[kSlots];
};

struct State {
    int64_t interpreter_id = -1;  // the interpreter that made the state
    Globals globals;
    Names names;
    Render render;
    KindFields kind_fields;
    LegacyAbsent legacy_absent;
    FieldReads field_reads;
};
extern State state;

// The short names the passes use for the parts of the state.
inline Globals& g = state.globals;
inline Names& names = state.names;
inline Render& render_kinds = state.render;
inline KindFields& kind_fields = state.kind_fields;
inline LegacyAbsent& legacy_absent = state.legacy_absent;
inline FieldReads& field_reads = state.field_reads;

// Makes the state on the first import (later imports by the same
// interpreter find it made): 0, or -1 with the error set.
int init_state() noexcept;

// Whether the conversion (configure) and the renderer (configure_render)
// were set up: 0, or -1 with RuntimeError set.
int conversion_ready() noexcept;
int renderer_ready() noexcept;

}  // namespace treeops
