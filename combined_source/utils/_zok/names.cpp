#include "names.hpp"

namespace zok {

PyObject* g_names[static_cast<int>(N::count_)];

namespace {
const char* const k_texts[] = {
#define ZOK_TEXT(id, text) text,
    ZOK_NAMES(ZOK_TEXT)
#undef ZOK_TEXT
};
}  // namespace

int init_names() noexcept {
    constexpr int n = static_cast<int>(N::count_);
    if (g_names[n - 1]) return 0;  // a failed earlier initialisation may have made them
    for (int i = 0; i < n; ++i) {
        if (g_names[i]) continue;
        g_names[i] = PyUnicode_InternFromString(k_texts[i]);
        if (!g_names[i]) return -1;
    }
    return 0;
}

}  // namespace zok
