// Loading the module: the standard modules, the codec names of the sibling
// module, and the five classes, bound in this order into the namespace.
//
// The module uses multi-phase initialisation, so loading runs with the
// module's __spec__ and __package__ already set (the relative import of the
// sibling needs them), and a failed load leaves nothing in sys.modules: the
// next import starts again from the beginning.
#include "binding.h"
#include "calls.h"
#include "classes.h"
#include "descriptors.h"
#include "function.h"
#include "json_state.h"
#include "names.h"

#include <cstring>

namespace pemu {

namespace {

// The objects that defaults and class attributes are written as.
Ref resolve_default(const char* text, PyObject* globals, PyObject* builtins) {
    if (std::strcmp(text, "None") == 0) return none();
    if (std::strcmp(text, "False") == 0) return Ref::borrow(Py_False);
    if (std::strcmp(text, "1") == 0) return Ref::borrow(N->one);
    if (std::strcmp(text, "Encoder.JPG") == 0) {
        // Read once, here, while the class is made: later changes to
        // Encoder do not reach the default.
        Ref encoder = module_global(globals, builtins, N->Encoder);
        return getattr(encoder.get(), N->JPG);
    }
    PyErr_Format(PyExc_SystemError, "pemu_data: unknown default '%s'", text);
    throw_error();
}

// `from <module> import <name>`: the attribute, else an already loaded
// submodule of that name.
Ref import_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal_or_null(PyObject_GetAttr(module, name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    Ref module_name = Ref::steal_or_null(PyModule_GetNameObject(module));
    if (module_name) {
        Ref full_name =
            Ref::steal_or_null(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        if (full_name) value = Ref::steal_or_null(PyImport_GetModule(full_name.get()));
    }
    if (!value) {
        // Replaces whatever the look-up in sys.modules may have raised.
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        throw_error();
    }
    return value;
}

// type(name, (), namespace), the namespace holding __module__, __qualname__,
// the class-level attributes and the methods, in that order.
Ref make_class(const ClassSpec& declared, PyObject* globals, PyObject* builtins) {
    Ref name = Ref::steal(PyUnicode_InternFromString(declared.name));
    Ref ns = new_dict();
    dict_set(ns.get(), N->dunder_module, N->module_name);
    dict_set(ns.get(), N->dunder_qualname, name.get());
    for (const ParamText& attribute : parse_params(declared.attributes)) {
        Ref key = Ref::steal(PyUnicode_InternFromString(attribute.name.c_str()));
        Ref value = resolve_default(attribute.value.c_str(), globals, builtins);
        dict_set(ns.get(), key.get(), value.get());
    }
    for (std::size_t i = 0; i < declared.nmethods; ++i) {
        const MethodSpec& method = declared.methods[i];
        Ref function = make_function(method, name.get(), globals, builtins, resolve_default);
        Ref key = Ref::steal(PyUnicode_InternFromString(method.name));
        dict_set(ns.get(), key.get(), function.get());
    }
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), N->empty_tuple, ns.get());
}

void load(PyObject* module) {
    names::init();
    init_function_type();
    PyObject* globals = PyModule_GetDict(module);  // borrowed from the module
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    PyObject* builtins = PyModule_GetDict(builtins_module.get());

    for (PyObject* name : {N->time, N->json}) {
        Ref imported =
            Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
        dict_set(globals, name, imported.get());
        if (name == N->json) capture_json_state(imported.get());
    }

    // from .utils import img_to_str, str_to_img, Encoder, base64_to_img, img_to_base64str
    PyObject* const codec_names[] = {N->img_to_str, N->str_to_img, N->Encoder, N->base64_to_img,
                                     N->img_to_base64str};
    Ref fromlist = Ref::steal(PyList_New(0));
    for (PyObject* name : codec_names) check(PyList_Append(fromlist.get(), name));
    Ref utils_name = Ref::steal(PyUnicode_FromString("utils"));
    Ref utils = Ref::steal(
        PyImport_ImportModuleLevelObject(utils_name.get(), globals, nullptr, fromlist.get(), 1));
    for (PyObject* name : codec_names) {
        Ref value = import_from(utils.get(), name);
        dict_set(globals, name, value.get());
    }

    for (const ClassSpec* declared : {&kMetaSourceClass, &kMetaModuleClass, &kMetaFrameFormatClass,
                                  &kMetaClass, &kPemuDataClass}) {
        Ref cls = make_class(*declared, globals, builtins);
        learn_instance_dict(cls.get());
        prepare_class(cls.get(), declared->instance_attributes);
        Ref name = getattr(cls.get(), N->dunder_qualname);
        dict_set(globals, name.get(), cls.get());
    }
}

int exec_module(PyObject* module) noexcept {
    return entry<int>(-1, [&] {
        load(module);
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pemu_sdk.redis.pemu_data",
    nullptr,  // no docstring
    0,        // no per-module state: everything lives in the namespace
    nullptr,  // no module-level functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace pemu

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_pemu_data() {
    return PyModuleDef_Init(&pemu::module_def);
}
