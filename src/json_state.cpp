// The state of the interpreter's json module that the native decoder
// relies on: captured at load, checked at each call (see json_state.h for
// what is checked and why that is enough).
#include "json_state.h"

#include <cstdint>

namespace pemu {

namespace {

// ---- The state captured at load ----
//
// Held for the life of the process, like the interned names: the module is
// never unloaded, and these are compared by identity at each call.
struct JsonState {
    bool ready = false;
    PyObject* module = nullptr;
    PyObject* module_namespace = nullptr;
    PyObject* module_builtins_entry = nullptr;
    PyObject* loads = nullptr;
    PyObject* loads_code = nullptr;
    PyObject* loads_defaults = nullptr;
    PyObject* loads_kwdefaults = nullptr;
    Py_ssize_t loads_kwdefaults_size = 0;
    PyObject* decoder = nullptr;
    PyTypeObject* decoder_class = nullptr;
    unsigned int decoder_tag = 0;
    PyObject* decode = nullptr;
    PyObject* decode_code = nullptr;
    PyObject* decode_defaults = nullptr;
    PyObject* decode_kwdefaults = nullptr;
    PyObject* raw_decode = nullptr;
    PyObject* raw_decode_code = nullptr;
    PyObject* raw_decode_defaults = nullptr;
    PyObject* raw_decode_kwdefaults = nullptr;
    PyObject* scan_once = nullptr;
    PyObject* decoder_namespace = nullptr;
    PyObject* decoder_builtins_entry = nullptr;
    PyObject* builtins = nullptr;  // the dict
    PyObject* isinstance = nullptr;
    PyObject* str = nullptr;
    PyObject* len = nullptr;
    // Interned names looked up at each call.
    PyObject* name_default_decoder = nullptr;
    PyObject* name_builtins = nullptr;
    PyObject* name_isinstance = nullptr;
    PyObject* name_str = nullptr;
    PyObject* name_len = nullptr;
    PyObject* name_decode = nullptr;
    PyObject* name_raw_decode = nullptr;
    PyObject* name_scan_once = nullptr;
    // The version tags of the five dicts the checks read, as of the last
    // call whose checks all passed (0: none yet), and the decoder's
    // instance dict then (not held: a dict made later at its address has
    // another tag, as every tag is new).
    PyObject* instance_dict = nullptr;
    std::uint64_t module_namespace_tag = 0, decoder_namespace_tag = 0, builtins_tag = 0,
                  loads_kwdefaults_tag = 0, instance_dict_tag = 0;
};

JsonState state;

// Frames of the other route that count against the recursion limit before
// its scanner counts the first container (loads, decode, raw_decode, the
// call of the scanner, the entry into the evaluation loop), with room to
// spare: a margin too large only sends documents near the limit to the
// other route.
constexpr int kRecursionMargin = 10;

// Held by the state for good (see above).
PyObject* keep(const Ref& object) {
    PyObject* p = object.get();
    Py_XINCREF(p);
    return p;
}

Ref lookup_or_empty(PyObject* dict, const char* name) {
    return Ref::borrow(PyDict_GetItemString(dict, name));
}

// The builtins dict a namespace's __builtins__ entry stands for.
Ref builtins_dict_of(PyObject* entry) {
    if (entry == nullptr) return Ref();
    if (PyModule_Check(entry)) return Ref::borrow(PyModule_GetDict(entry));
    if (PyDict_Check(entry)) return Ref::borrow(entry);
    return Ref();
}

// Whether the version tag of `cls` stands for its current state (from 3.13
// on, the interpreter resets a stale tag to 0 instead of clearing a flag).
bool tag_valid(PyTypeObject* cls) {
#if PY_VERSION_HEX >= 0x030D0000
    return cls->tp_version_tag != 0;
#else
    return PyType_HasFeature(cls, Py_TPFLAGS_VALID_VERSION_TAG) && cls->tp_version_tag != 0;
#endif
}

// Gives `cls` a valid version tag if it has none; whether it has one.
bool assign_version_tag(PyTypeObject* cls) {
#if PY_VERSION_HEX >= 0x030C0000
    PyUnstable_Type_AssignVersionTag(cls);
#else
    // A lookup through the interpreter's type cache assigns one.
    Ref name = Ref::steal(PyUnicode_InternFromString("decode"));
    _PyType_Lookup(cls, name.get());
#endif
    return tag_valid(cls);
}

struct Function {
    Ref function, code, defaults, kwdefaults;
};

// A plain Python function as found, with its code and defaults.
bool read_function(PyObject* object, Function& out) {
    if (object == nullptr || !PyFunction_Check(object)) return false;
    out.function = Ref::borrow(object);
    out.code = Ref::borrow(PyFunction_GET_CODE(object));
    out.defaults = Ref::borrow(PyFunction_GET_DEFAULTS(object));
    out.kwdefaults = Ref::borrow(PyFunction_GET_KW_DEFAULTS(object));
    return true;
}

bool attribute_is(PyObject* object, const char* name, PyObject* expected) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, name));
    return value.is(expected);
}

bool capture(PyObject* json_module) {
    if (!PyModule_CheckExact(json_module)) return false;
    PyObject* ns = PyModule_GetDict(json_module);
    Ref module_builtins_entry = lookup_or_empty(ns, "__builtins__");
    Ref builtins = builtins_dict_of(module_builtins_entry.get());
    if (!builtins) return false;

    Function loads;
    if (!read_function(PyDict_GetItemString(ns, "loads"), loads)) return false;
    if (!loads.kwdefaults || !PyDict_CheckExact(loads.kwdefaults.get())) return false;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(loads.kwdefaults.get(), &pos, &key, &value))
        if (value != Py_None) return false;

    Ref decoder = lookup_or_empty(ns, "_default_decoder");
    Ref decoder_module = Ref::steal(PyImport_ImportModule("json.decoder"));
    Ref scanner_module = Ref::steal(PyImport_ImportModule("json.scanner"));
    if (!PyModule_CheckExact(decoder_module.get()) || !PyModule_CheckExact(scanner_module.get()))
        return false;
    PyObject* decoder_ns = PyModule_GetDict(decoder_module.get());
    Ref decoder_class = lookup_or_empty(decoder_ns, "JSONDecoder");
    if (!decoder || !decoder_class || !PyType_Check(decoder_class.get()) ||
        !Py_TYPE(decoder.get())->tp_dict ||
        reinterpret_cast<PyObject*>(Py_TYPE(decoder.get())) != decoder_class.get())
        return false;
    auto* cls = reinterpret_cast<PyTypeObject*>(decoder_class.get());
    Ref probe = Ref::steal(PyObject_GetAttrString(decoder_class.get(), "decode"));
    if (!assign_version_tag(cls)) return false;
    unsigned int tag = cls->tp_version_tag;
    if (cls->tp_getattro != PyObject_GenericGetAttr) return false;
    Ref scan_once_name = Ref::steal(PyUnicode_InternFromString("scan_once"));
    if (_PyType_Lookup(cls, scan_once_name.get()) != nullptr) return false;
    Function decode;
    Function raw_decode;
    if (!read_function(PyDict_GetItemString(cls->tp_dict, "decode"), decode) ||
        !read_function(PyDict_GetItemString(cls->tp_dict, "raw_decode"), raw_decode))
        return false;
    // The class's own functions must be what attribute access finds.
    Ref found_raw = Ref::steal(PyObject_GetAttrString(decoder_class.get(), "raw_decode"));
    if (!probe.is(decode.function.get()) || !found_raw.is(raw_decode.function.get())) return false;

    PyObject** instance_dict = _PyObject_GetDictPtr(decoder.get());
    if (instance_dict == nullptr || *instance_dict == nullptr) return false;
    if (PyDict_GetItemString(*instance_dict, "decode") != nullptr ||
        PyDict_GetItemString(*instance_dict, "raw_decode") != nullptr)
        return false;
    Ref scan_once = lookup_or_empty(*instance_dict, "scan_once");
    Ref c_scanner = lookup_or_empty(PyModule_GetDict(scanner_module.get()), "c_make_scanner");
    if (!scan_once || !c_scanner || !PyType_Check(c_scanner.get()) ||
        reinterpret_cast<PyObject*>(Py_TYPE(scan_once.get())) != c_scanner.get())
        return false;
    if (!attribute_is(scan_once.get(), "strict", Py_True) ||
        !attribute_is(scan_once.get(), "object_hook", Py_None) ||
        !attribute_is(scan_once.get(), "object_pairs_hook", Py_None) ||
        !attribute_is(scan_once.get(), "parse_float", reinterpret_cast<PyObject*>(&PyFloat_Type)) ||
        !attribute_is(scan_once.get(), "parse_int", reinterpret_cast<PyObject*>(&PyLong_Type)))
        return false;

    Ref decoder_builtins_entry = lookup_or_empty(decoder_ns, "__builtins__");
    Ref decoder_builtins = builtins_dict_of(decoder_builtins_entry.get());
    if (!decoder_builtins.is(builtins.get())) return false;
    Ref isinstance = lookup_or_empty(builtins.get(), "isinstance");
    Ref str = lookup_or_empty(builtins.get(), "str");
    Ref len = lookup_or_empty(builtins.get(), "len");
    if (!isinstance || !str.is(reinterpret_cast<PyObject*>(&PyUnicode_Type)) || !len) return false;
    if (PyDict_GetItemString(ns, "isinstance") != nullptr ||
        PyDict_GetItemString(ns, "str") != nullptr ||
        PyDict_GetItemString(decoder_ns, "len") != nullptr)
        return false;

    JsonState s;
    s.module = keep(Ref::borrow(json_module));
    s.module_namespace = keep(Ref::borrow(ns));
    s.module_builtins_entry = keep(module_builtins_entry);
    s.loads = keep(loads.function);
    s.loads_code = keep(loads.code);
    s.loads_defaults = keep(loads.defaults);
    s.loads_kwdefaults = keep(loads.kwdefaults);
    s.loads_kwdefaults_size = PyDict_Size(loads.kwdefaults.get());
    s.decoder = keep(decoder);
    s.decoder_class = reinterpret_cast<PyTypeObject*>(keep(decoder_class));
    s.decoder_tag = tag;
    s.decode = keep(decode.function);
    s.decode_code = keep(decode.code);
    s.decode_defaults = keep(decode.defaults);
    s.decode_kwdefaults = keep(decode.kwdefaults);
    s.raw_decode = keep(raw_decode.function);
    s.raw_decode_code = keep(raw_decode.code);
    s.raw_decode_defaults = keep(raw_decode.defaults);
    s.raw_decode_kwdefaults = keep(raw_decode.kwdefaults);
    s.scan_once = keep(scan_once);
    s.decoder_namespace = keep(Ref::borrow(decoder_ns));
    s.decoder_builtins_entry = keep(decoder_builtins_entry);
    s.builtins = keep(builtins);
    s.isinstance = keep(isinstance);
    s.str = keep(str);
    s.len = keep(len);
    s.name_default_decoder = PyUnicode_InternFromString("_default_decoder");
    s.name_builtins = PyUnicode_InternFromString("__builtins__");
    s.name_isinstance = PyUnicode_InternFromString("isinstance");
    s.name_str = PyUnicode_InternFromString("str");
    s.name_len = PyUnicode_InternFromString("len");
    s.name_decode = PyUnicode_InternFromString("decode");
    s.name_raw_decode = PyUnicode_InternFromString("raw_decode");
    s.name_scan_once = PyUnicode_InternFromString("scan_once");
    s.ready = s.name_default_decoder && s.name_builtins && s.name_isinstance && s.name_str &&
              s.name_len && s.name_decode && s.name_raw_decode && s.name_scan_once;
    // A state captured by an earlier load stays referenced (it is small, and
    // a load runs once per process in practice); the latest one is used.
    state = s;
    return state.ready;
}

// ---- The checks at each call ----

// A dict's version tag: the interpreter gives a dict one when it is made
// and a new one on each change of its contents, from a counter that only
// grows, so no tag is given twice (3.6 to 3.13; deprecated from 3.12, where
// dict watchers exist too, but renewed the same way).
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
inline std::uint64_t dict_tag(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Looks a name up without an error: a failed lookup (only possible with a
// dict whose keys compare oddly) reads as "something is there".
inline PyObject* peek(PyObject* dict, PyObject* name, bool& failed) {
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        failed = true;
    }
    return value;
}

inline bool function_unchanged(PyObject* function, PyObject* code, PyObject* defaults,
                               PyObject* kwdefaults) {
    return PyFunction_GET_CODE(function) == code && PyFunction_GET_DEFAULTS(function) == defaults &&
           PyFunction_GET_KW_DEFAULTS(function) == kwdefaults;
}

// Whether the decoder's class, changed since its tag was read, still holds
// what the route needs: generic attribute access, the same decode and
// raw_decode, and nothing under scan_once (which would hide the instance's).
// A class changed and changed back passes, and its new tag is kept.
bool class_still_fits() {
    PyTypeObject* cls = state.decoder_class;
    if (cls->tp_getattro != PyObject_GenericGetAttr) return false;
    if (_PyType_Lookup(cls, state.name_decode) != state.decode ||
        _PyType_Lookup(cls, state.name_raw_decode) != state.raw_decode ||
        _PyType_Lookup(cls, state.name_scan_once) != nullptr)
        return false;
    if (!assign_version_tag(cls)) return false;
    state.decoder_tag = cls->tp_version_tag;
    return true;
}

// The lookups in the five dicts that json_untouched() relies on, done in
// full; `instance_dict` is the decoder's.
bool namespaces_fit(PyObject* instance_dict) {
    const JsonState& s = state;
    if (PyDict_Size(s.loads_kwdefaults) != s.loads_kwdefaults_size) return false;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(s.loads_kwdefaults, &pos, &key, &value))
        if (value != Py_None) return false;

    bool failed = false;
    PyObject* ns = s.module_namespace;
    if (peek(ns, s.name_default_decoder, failed) != s.decoder ||
        peek(ns, s.name_builtins, failed) != s.module_builtins_entry ||
        peek(ns, s.name_isinstance, failed) != nullptr || peek(ns, s.name_str, failed) != nullptr)
        return false;
    PyObject* dns = s.decoder_namespace;
    if (peek(dns, s.name_builtins, failed) != s.decoder_builtins_entry ||
        peek(dns, s.name_len, failed) != nullptr)
        return false;
    PyObject* builtins = s.builtins;
    if (peek(builtins, s.name_isinstance, failed) != s.isinstance ||
        peek(builtins, s.name_str, failed) != s.str || peek(builtins, s.name_len, failed) != s.len)
        return false;

    if (peek(instance_dict, s.name_scan_once, failed) != s.scan_once ||
        peek(instance_dict, s.name_decode, failed) != nullptr ||
        peek(instance_dict, s.name_raw_decode, failed) != nullptr)
        return false;
    return !failed;
}

}  // namespace

bool json_untouched(PyObject* json_module, PyObject* loads) {
    JsonState& s = state;
    // (A ready state always holds a decoder; said again for the analyser.)
    if (!s.ready || json_module != s.module || loads != s.loads || s.decoder == nullptr)
        return false;
    PyThreadState* thread = PyThreadState_Get();
    if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr) return false;
    if (!function_unchanged(loads, s.loads_code, s.loads_defaults, s.loads_kwdefaults))
        return false;
    if (Py_TYPE(s.decoder) != s.decoder_class) return false;
    bool tag_holds = tag_valid(s.decoder_class) && s.decoder_class->tp_version_tag == s.decoder_tag;
    if (!tag_holds && !class_still_fits()) return false;
    if (!function_unchanged(s.decode, s.decode_code, s.decode_defaults, s.decode_kwdefaults) ||
        !function_unchanged(s.raw_decode, s.raw_decode_code, s.raw_decode_defaults,
                            s.raw_decode_kwdefaults))
        return false;

    // The dicts' contents: unchanged since the last call that passed when
    // none has a new version tag (and the decoder still has that instance
    // dict), else looked up in full and their tags kept.
    PyObject** dict_slot = _PyObject_GetDictPtr(s.decoder);
    if (dict_slot != nullptr && *dict_slot != nullptr && *dict_slot == s.instance_dict &&
        s.module_namespace_tag != 0 && dict_tag(s.module_namespace) == s.module_namespace_tag &&
        dict_tag(s.decoder_namespace) == s.decoder_namespace_tag &&
        dict_tag(s.builtins) == s.builtins_tag &&
        dict_tag(s.loads_kwdefaults) == s.loads_kwdefaults_tag &&
        dict_tag(s.instance_dict) == s.instance_dict_tag)
        return true;
    // The tags are read before the lookups: a lookup can run code (a key's
    // __eq__), and a change it makes then shows as a new tag next time.
    std::uint64_t tags[] = {dict_tag(s.module_namespace), dict_tag(s.decoder_namespace),
                            dict_tag(s.builtins), dict_tag(s.loads_kwdefaults)};
    s.module_namespace_tag = 0;
    if (dict_slot == nullptr || *dict_slot == nullptr) return false;
    PyObject* instance_dict = *dict_slot;
    std::uint64_t instance_tag = dict_tag(instance_dict);
    if (!namespaces_fit(instance_dict)) return false;
    s.instance_dict = instance_dict;
    s.module_namespace_tag = tags[0];
    s.decoder_namespace_tag = tags[1];
    s.builtins_tag = tags[2];
    s.loads_kwdefaults_tag = tags[3];
    s.instance_dict_tag = instance_tag;
    return true;
}

// How many nested containers the other route's scanner could count from
// here without reaching the recursion limit, less the margin; negative when
// the frames of that route might not fit.
int recursion_budget() {
    PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    if (thread->py_recursion_remaining <= kRecursionMargin) return -1;
    int left = thread->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    int left = thread->recursion_remaining;
#else
    int left = Py_GetRecursionLimit() - thread->recursion_depth;
#endif
    return left - kRecursionMargin;
}

void capture_json_state(PyObject* json_module) noexcept {
    bool captured = entry<bool>(false, [&] { return capture(json_module); });
    if (!captured) {
        state.ready = false;
        PyErr_Clear();
    }
}

}  // namespace pemu
