// The native JSON decoder (see json_decoder.h): the containers' state
// machine, UTF-8 bytes straight into Python objects, declining on anything
// it does not take.  Strings, keys and numbers are read by json_strings.h,
// json_keys.h and json_numbers.h.
#include "json_decoder.h"

#include "json_keys.h"
#include "json_numbers.h"
#include "json_state.h"

#include <vector>

namespace pemu {

namespace {

inline unsigned char closing(bool is_object) { return is_object ? '}' : ']'; }

// A container being filled: for an object, the dict and the key whose
// value is being read; for an array, where its items begin on the stack of
// items (the list is made when it closes, at its length).  Each owns what
// it holds; a container joins its parent once it is closed.
struct Open {
    Ref container;
    Ref key;
    std::size_t first_item;
    bool is_object;
};

class Decoder {
public:
    Decoder(const unsigned char* begin, const unsigned char* end, int budget)
        : keys_(begin, end), max_depth_(static_cast<std::size_t>(budget)) {
        open_.reserve(16);  // room for a payload's nesting in one allocation
        items_.reserve(64);
    }

    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    ~Decoder() {
        for (PyObject* item : items_) Py_DECREF(item);
    }

    Ref document() {
        at().skip_space();
        Ref value = parse_value();
        at().skip_space();
        if (at().p != at().end) decline();
        return value;
    }

private:
    // One value, nested containers included, without recursion: the
    // containers still open are kept in `open_`, innermost last.
    Ref parse_value() {
        for (;;) {
            Ref value;
            unsigned char c = at().peek_byte();
            if (c == '{' || c == '[') {
                ++at().p;
                if (open_.size() >= max_depth_) decline();
                bool is_object = c == '{';
                if (next_byte() != closing(is_object)) {
                    open_.push_back(Open{is_object ? Ref::steal(PyDict_New()) : Ref(), Ref(),
                                         items_.size(), is_object});
                    if (is_object) read_key(open_.back());
                    continue;  // to its first value
                }
                ++at().p;  // empty
                value = Ref::steal(is_object ? PyDict_New() : PyList_New(0));
            } else {
                value = parse_scalar(c);
            }
            // `value` is complete: it joins the innermost open container,
            // which may end here too, and so on outwards.
            for (;;) {
                if (open_.empty()) return value;
                Open& top = open_.back();
                if (top.is_object) {
                    check(PyDict_SetItem(top.container.get(), top.key.get(), value.get()));
                } else {
                    items_.push_back(value.get());  // may throw: `value` owns it until then
                    (void)value.release();
                }
                unsigned char next = next_byte();
                ++at().p;
                if (next == ',') {
                    at().skip_space();
                    if (top.is_object) read_key(top);
                    break;  // to the next value
                }
                if (next != closing(top.is_object)) decline();
                value = top.is_object ? std::move(top.container) : list_from(top.first_item);
                open_.pop_back();
            }
        }
    }

    // A key, its colon and the space up to its value.
    [[gnu::always_inline]] void read_key(Open& object) {
        if (at().peek_byte() != '"') decline();
        ++at().p;
        object.key = keys_.key();
        if (next_byte() != ':') decline();
        ++at().p;
        at().skip_space();
    }

    Ref parse_scalar(unsigned char c) {
        switch (c) {
            case '"':
                ++at().p;
                return keys_.value();
            case 't':
                at().expect_word("true", 4);
                return Ref::borrow(Py_True);
            case 'f':
                at().expect_word("false", 5);
                return Ref::borrow(Py_False);
            case 'n':
                at().expect_word("null", 4);
                return none();
            default:
                if (c == '-' || (c >= '0' && c <= '9')) return decode_number(at());
                decline();  // NaN, Infinity or an error
        }
    }

    // A list of the items from `first` on, taken off the stack of items.
    Ref list_from(std::size_t first) {
        auto n = static_cast<Py_ssize_t>(items_.size() - first);
        Ref list = Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list.get(), i, items_[first + static_cast<std::size_t>(i)]);
        items_.resize(first);  // the list holds them now
        return list;
    }

    Cursor& at() { return keys_.at(); }

    // The byte at the cursor once any space is skipped: most often there
    // is none before a colon, comma or closing bracket.
    unsigned char next_byte() {
        if (*at().p <= ' ') at().skip_space();
        return at().peek_byte();
    }

    KeyDecoder keys_;  // and the strings, and the cursor
    std::size_t max_depth_;
    std::vector<Open> open_;
    std::vector<PyObject*> items_;  // of the arrays still open, owned
};

}  // namespace

Ref decode_payload_natively(PyObject* json_module, PyObject* loads, PyObject* bytes) {
    if (!json_untouched(json_module, loads)) return Ref();
    int budget = recursion_budget();
    if (budget < 0) return Ref();
    const auto* begin = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
    try {
        Decoder decoder(begin, begin + PyBytes_GET_SIZE(bytes), budget);
        return decoder.document();
    } catch (const Decline&) {
    } catch (const PyError&) {
    } catch (...) {  // std::bad_alloc from the stack of open containers
    }
    PyErr_Clear();
    return Ref();
}

}  // namespace pemu
