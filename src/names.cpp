// The interned names and constants of names.h, made once per process.
#include "names.h"

namespace pemu {

const Names* N = nullptr;

namespace names {

void init() {
    if (N != nullptr) return;
    // Built in full before it is published, so a failure half-way leaves
    // N null; the strings made so far are released with `made`.
    static Names table;
// One term of a sum, so it cannot be parenthesised.
#define PEMU_COUNT_NAME(ident, text) +1  // NOLINT(bugprone-macro-parentheses)
    constexpr size_t kObjects = 4 PEMU_NAMES(PEMU_COUNT_NAME);
#undef PEMU_COUNT_NAME
    Ref made[kObjects];
    size_t count = 0;
    auto keep = [&](PyObject*& slot, PyObject* object) {
        made[count++] = Ref::steal(object);
        slot = made[count - 1].get();
    };
#define PEMU_MAKE_NAME(ident, text) keep(table.ident, PyUnicode_InternFromString(text));
    PEMU_NAMES(PEMU_MAKE_NAME)
#undef PEMU_MAKE_NAME
    keep(table.zero, PyLong_FromLong(0));
    keep(table.one, PyLong_FromLong(1));
    keep(table.empty_tuple, PyTuple_New(0));
    keep(table.empty_str, PyUnicode_FromString(""));
    // Published: from here on the table owns these references for good.
    for (size_t i = 0; i < count; ++i) made[i].release();
    N = &table;
}

}  // namespace names
}  // namespace pemu
