// Keys of the native JSON decoder (see json_keys.h).
#include "json_keys.h"

#include "names.h"

namespace pemu {

namespace {

// The module's own interned name with the text of `key`, a compact
// ASCII str, if the key is one that the envelope reads or the merge
// rule sets: handing that out spares them a comparison of text, and
// interns nothing new.
PyObject* module_name(PyObject* key) {
    PyObject* const names[] = {N->meta, N->result, N->frame, N->ts, N->source, N->module,
                               N->frame_format, N->id, N->type, N->name, N->source_name,
                               N->source_key, N->output_port_idx, N->frame_id,
                               N->feed_port_idx, N->encoder, N->with_base64};
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    for (PyObject* name : names)
        if (PyUnicode_GET_LENGTH(name) == length &&
            std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key), static_cast<std::size_t>(length)) == 0)
            return name;
    return nullptr;
}

}  // namespace

// The one object of this document for a key equal to `key`: equal
// keys are one str within a document, as the interpreter's scanner
// makes them.
Ref KeyDecoder::same_key(const Ref& key) {
    if (!memo_) memo_ = Ref::steal(PyDict_New());
    PyObject* kept = PyDict_SetDefault(memo_.get(), key.get(), key.get());
    if (kept == nullptr) throw_error();
    return Ref::borrow(kept);
}

// A key that is not a short run of plain ASCII: with escapes, non-ASCII or
// long, or within eight bytes of the end; short ASCII text made from
// escapes still goes through the table.
Ref KeyDecoder::other_key() {
    Ref key = strings_.string();
    auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key.get()));
    if (PyUnicode_IS_COMPACT_ASCII(key.get()) && length <= static_cast<std::size_t>(kMaxTableKey)) {
        const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(key.get()));
        return table_key(text, length, key_hash(text, length), std::move(key));
    }
    return same_key(key);
}

Ref KeyDecoder::new_table_key(PyObject*& slot, const unsigned char* text, std::size_t n,
                                Ref made) {
    Ref key = made ? std::move(made) : StringDecoder::ascii(text, n);  // `text` may die from here on
    if (PyObject* name = module_name(key.get())) key = Ref::borrow(name);
    key = same_key(key);
    if (PyUnicode_IS_COMPACT_ASCII(key.get())) {
        if (slot != nullptr) same_key(Ref::borrow(slot));
        Ref evicted = Ref::steal_or_null(slot);  // a str: freeing it runs no code
        slot = Ref(key).release();               // held by the table for good
    }
    return key;
}

}  // namespace pemu
