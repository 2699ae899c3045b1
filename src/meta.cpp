// Meta: the frame metadata of one feed.  It stamps its creation time, builds
// its three descriptors, forwards updates to them and assembles their live
// mappings into a new metadata mapping on every to_dict.
#include "classes.h"
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
    Ref now = call(time_function.get());
    setattr(self, N->ts, now.get());

    Ref module_class = c.global(N->MetaModule);
    Ref module =
        instantiate(module_class.get(), {{N->cur_node, cur_node}, {N->feed_port_idx, feed_idx}});
    setattr(self, N->module, module.get());

    Ref source_class = c.global(N->MetaSource);
    Ref source = instantiate(
        source_class.get(),
        {{N->src_node, src_node}, {N->src_output_port, src_port}, {N->src_name, src_name}});
    setattr(self, N->source, source.get());

    Ref frame_format_class = c.global(N->MetaFrameFormat);
    Ref frame_format = instantiate(frame_format_class.get(), {});
    setattr(self, N->frame_format, frame_format.get());
    return none();
}

// self.<component>.update(info), with None replaced by a new empty dict.
Ref forward_update(const Call& c, PyObject* component_name) {
    Ref info = Ref::borrow(c.arg(1));
    if (info.is_none()) info = new_dict();
    Ref component = getattr(c.self(), component_name);
    call(get_method(component.get(), N->update), {info.get()});
    return none();
}

Ref update_source(const Call& c) { return forward_update(c, N->source); }
Ref update_frame_format(const Call& c) { return forward_update(c, N->frame_format); }
Ref update_module(const Call& c) { return forward_update(c, N->module); }

Ref meta_to_dict(const Call& c) {
    PyObject* self = c.self();
    Ref mapping = new_dict();
    Ref ts = getattr(self, N->ts);
    dict_set(mapping.get(), N->ts, ts.get());
    for (PyObject* name : {N->source, N->module, N->frame_format}) {
        Ref component = getattr(self, name);
        Ref component_dict = call(get_method(component.get(), N->to_dict), {});
        dict_set(mapping.get(), name, component_dict.get());
    }
    return mapping;
}

const MethodSpec kMetaMethods[] = {
    {"__init__", "self, cur_node, feed_idx, src_node, src_port, src_name", nullptr, meta_init},
    {"update_source", "self, source_info=None", nullptr, update_source},
    {"update_frame_format", "self, frame_format_info=None", nullptr, update_frame_format},
    {"update_module", "self, module_info=None", nullptr, update_module},
    {"to_dict", "self", nullptr, meta_to_dict},
};

}  // namespace

const ClassSpec kMetaClass = {"Meta", "", kMetaMethods, 5};

}  // namespace pemu
