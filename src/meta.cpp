// Meta: the frame metadata of one feed.  It stamps its creation time, builds
// its three descriptors, forwards updates to them and assembles their live
// mappings into a new metadata mapping on every to_dict.
#include "meta.h"

#include "calls.h"
#include "classes.h"
#include "descriptors.h"
#include "merge.h"
#include "names.h"

namespace pemu {

namespace {

Ref meta_init(const Call& c) {
    PyObject* self = c.self();
    PyObject* cur_node = c.arg(1);
    PyObject* feed_idx = c.arg(2);
    PyObject* src_node = c.arg(3);
    PyObject* src_port = c.arg(4);
    PyObject* src_name = c.arg(5);

    Ref time = c.global(N->time);
    Ref time_function = module_attribute(time.get(), N->time);
    Ref now = call_no_args(time_function.get());
    set_attribute(self, N->ts, now.get());

    Ref module_class = c.global(N->MetaModule);
    Ref module =
        instantiate(module_class.get(), {{N->cur_node, cur_node}, {N->feed_port_idx, feed_idx}});
    set_attribute(self, N->module, module.get());

    Ref source_class = c.global(N->MetaSource);
    Ref source = instantiate(
        source_class.get(),
        {{N->src_node, src_node}, {N->src_output_port, src_port}, {N->src_name, src_name}});
    set_attribute(self, N->source, source.get());

    Ref frame_format_class = c.global(N->MetaFrameFormat);
    Ref frame_format = instantiate(frame_format_class.get(), {});
    set_attribute(self, N->frame_format, frame_format.get());
    return none();
}

}  // namespace

// meta.<component>.update(info), with None replaced by a new empty dict.
// When the update is the descriptors' own, the merge runs directly, and an
// empty mapping (what None stands for) is not merged at all: it would
// change nothing.
void forward_update(PyObject* meta, PyObject* component_name, PyObject* info) {
    Ref component = getattr(meta, component_name);
    Method update = get_method(component.get(), N->update);
    if (bound_body(update) == record_update) {
        if (info == Py_None || (PyDict_CheckExact(info) && PyDict_GET_SIZE(info) == 0)) return;
        merge(update.self.get(), info);
        return;
    }
    Ref mapping = info == Py_None ? new_dict() : Ref::borrow(info);
    call(update, {mapping.get()});
}

Ref meta_update_source(const Call& c) {
    forward_update(c.self(), N->source, c.arg(1));
    return none();
}
Ref meta_update_frame_format(const Call& c) {
    forward_update(c.self(), N->frame_format, c.arg(1));
    return none();
}
Ref meta_update_module(const Call& c) {
    forward_update(c.self(), N->module, c.arg(1));
    return none();
}

// {"ts": ..., "source": ..., "module": ..., "frame_format": ...}, the
// components' own to_dict results; read directly where that is the
// descriptors' to_dict.
Ref metadata_mapping(PyObject* meta) {
    Ref mapping = new_dict();
    Ref ts = getattr(meta, N->ts);
    dict_set(mapping.get(), N->ts, ts.get());
    for (PyObject* name : {N->source, N->module, N->frame_format}) {
        Ref component = getattr(meta, name);
        Method to_dict = get_method(component.get(), N->to_dict);
        Ref component_dict = bound_body(to_dict) == record_to_dict ? record_dict(to_dict.self.get())
                                                                   : call(to_dict, {});
        dict_set(mapping.get(), name, component_dict.get());
    }
    return mapping;
}

Ref meta_to_dict(const Call& c) { return metadata_mapping(c.self()); }

namespace {

const MethodSpec kMetaMethods[] = {
    {"__init__", "self, cur_node, feed_idx, src_node, src_port, src_name", nullptr, meta_init},
    {"update_source", "self, source_info=None", nullptr, meta_update_source},
    {"update_frame_format", "self, frame_format_info=None", nullptr, meta_update_frame_format},
    {"update_module", "self, module_info=None", nullptr, meta_update_module},
    {"to_dict", "self", nullptr, meta_to_dict},
};

}  // namespace

const ClassSpec kMetaClass = {"Meta", "", kMetaMethods, 5, "ts, module, source, frame_format"};

}  // namespace pemu
