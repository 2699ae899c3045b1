// PemuData: the data envelope of one input.  It holds the feed's Meta,
// builds payload documents to publish and reads received payloads back.
#include "calls.h"
#include "classes.h"
#include "items.h"
#include "json_decoder.h"
#include "meta.h"
#include "names.h"

#include <optional>

namespace pemu {

namespace {

// The sign of an exact int, which compares with 0 without asking it;
// nullopt for any other object.
std::optional<int> exact_int_sign(PyObject* version) {
    if (!PyLong_CheckExact(version)) return std::nullopt;
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(version, &overflow);
    if (overflow != 0) return overflow;
    return value > 0 ? 1 : value < 0 ? -1 : 0;
}

// `version > 0` (creation) and `version == 0` (parsing), by the
// interpreter's comparison.
bool selects_full_payload(PyObject* version) {
    std::optional<int> sign = exact_int_sign(version);
    return sign ? *sign > 0 : compare(version, N->zero, Py_GT);
}
bool selects_frame_only(PyObject* version) {
    std::optional<int> sign = exact_int_sign(version);
    return sign ? *sign == 0 : compare(version, N->zero, Py_EQ);
}

Ref envelope_init(const Call& c) {
    PyObject* self = c.self();
    Ref meta_class = c.global(N->Meta);
    // Meta's own parameter order differs, hence keywords only.
    Ref meta = instantiate(meta_class.get(), {{N->cur_node, c.arg(2)},
                                              {N->feed_idx, c.arg(1)},
                                              {N->src_node, c.arg(3)},
                                              {N->src_port, c.arg(4)},
                                              {N->src_name, c.arg(5)}});
    set_attribute(self, N->meta, meta.get());
    return none();
}

// self.meta.frame_format.<name>
Ref frame_format_attribute(PyObject* self, PyObject* name) {
    Ref meta = getattr(self, N->meta);
    Ref frame_format = getattr(meta.get(), N->frame_format);
    return getattr(frame_format.get(), name);
}

// The encoder and flag to use: the ones given, or where a value is None
// the envelope's frame-format descriptor's.
void effective_format(PyObject* self, Ref& encoder, Ref& with_base64) {
    if (encoder.is_none()) encoder = frame_format_attribute(self, N->encoder);
    if (with_base64.is_none()) with_base64 = frame_format_attribute(self, N->with_base64);
}

Ref create_pemu_data(const Call& c) {
    PyObject* self = c.self();
    PyObject* version = c.arg(1);
    PyObject* ext_info = c.arg(2);
    Ref result = Ref::borrow(c.arg(3));
    PyObject* frame = c.arg(4);
    Ref encoder = Ref::borrow(c.arg(5));
    Ref with_base64 = Ref::borrow(c.arg(6));

    if (!selects_full_payload(version)) {
        // Frame-only payload.
        if (frame == Py_None) return none();
        Ref img_to_base64str = c.global(N->img_to_base64str);
        return call_with(img_to_base64str.get(), {}, {{N->image, frame}});
    }

    Ref meta = getattr(self, N->meta);
    Method to_dict = get_method(meta.get(), N->to_dict);
    Ref meta_data = bound_body(to_dict) == meta_to_dict ? metadata_mapping(to_dict.self.get())
                                                        : call(to_dict, {});
    if (truth(ext_info) && PyDict_Check(ext_info)) {
        ItemIterator items(ext_info);
        Ref key;
        Ref value;
        while (items.next(key, value)) setitem(meta_data.get(), key.get(), value.get());
    }
    if (result.is_none()) result = Ref::steal(PyList_New(0));

    Ref frame_as_text = none();
    if (frame != Py_None) {
        effective_format(self, encoder, with_base64);
        Ref img_to_str = c.global(N->img_to_str);
        frame_as_text = call_with(
            img_to_str.get(), {},
            {{N->image, frame}, {N->encoder, encoder.get()}, {N->with_base64, with_base64.get()}});
        Ref frame_format = new_dict();
        dict_set(frame_format.get(), N->encoder, encoder.get());
        dict_set(frame_format.get(), N->with_base64, with_base64.get());
        setitem(meta_data.get(), N->frame_format, frame_format.get());
    }

    Ref payload = new_dict();
    dict_set(payload.get(), N->meta, meta_data.get());
    dict_set(payload.get(), N->result, result.get());
    dict_set(payload.get(), N->frame, frame_as_text.get());
    return payload;
}

// mapping.get(key, default) (or .get(key) when `fallback` is null, which
// answers None); an exact dict cannot override get, so it is read directly.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping)) {
        Ref value = dict_lookup(mapping, key);
        if (value) return value;
        return Ref::borrow(fallback != nullptr ? fallback : Py_None);
    }
    Ref get = getattr(mapping, N->get);
    return fallback != nullptr ? call(get.get(), key, fallback) : call(get.get(), key);
}

Ref parse_pemu_data(const Call& c) {
    PyObject* self = c.self();
    Ref data = Ref::borrow(c.arg(1));
    PyObject* version = c.arg(2);
    Ref encoder = Ref::borrow(c.arg(3));
    Ref with_base64 = Ref::borrow(c.arg(4));

    if (selects_frame_only(version)) {
        // Frame-only payload.
        Ref base64_to_img = c.global(N->base64_to_img);
        return call_with(base64_to_img.get(), {}, {{N->b64_bytes, data.get()}});
    }

    if (PyBytes_Check(data.get())) {
        // json.loads(data.decode()): the callee is looked up before the
        // bytes are decoded.  An exact bytes object decodes as UTF-8
        // directly; a subclass may override decode.
        Ref json = c.global(N->json);
        Ref loads = module_attribute(json.get(), N->loads);
        // Decoded natively when nothing could tell the difference; where
        // the decoder declines, the route below runs from the start.
        Ref decoded = PyBytes_CheckExact(data.get())
                          ? decode_payload_natively(json.get(), loads.get(), data.get())
                          : Ref();
        if (decoded) {
            data = std::move(decoded);
        } else {
            Ref text = PyBytes_CheckExact(data.get())
                           ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.get()),
                                                             PyBytes_GET_SIZE(data.get()), nullptr))
                           : call_method(data.get(), N->decode);
            data = call(loads.get(), text.get());
        }
    }

    // data.get("meta", {}); an exact dict needs the new default only when
    // it has no "meta".
    Ref meta_info = PyDict_CheckExact(data.get()) ? dict_lookup(data.get(), N->meta) : Ref();
    if (!meta_info) {
        Ref empty = new_dict();
        meta_info = mapping_get(data.get(), N->meta, empty.get());
    }
    {
        Ref meta = getattr(self, N->meta);
        Method update = get_method(meta.get(), N->update_source);
        Ref source_info = mapping_get(meta_info.get(), N->source, nullptr);
        if (bound_body(update) == meta_update_source)
            forward_update(update.self.get(), N->source, source_info.get());
        else
            call(update, {}, {{N->source_info, source_info.get()}});
    }
    {
        Ref meta = getattr(self, N->meta);
        Method update = get_method(meta.get(), N->update_frame_format);
        Ref frame_format_info = mapping_get(meta_info.get(), N->frame_format, nullptr);
        if (bound_body(update) == meta_update_frame_format)
            forward_update(update.self.get(), N->frame_format, frame_format_info.get());
        else
            call(update, {frame_format_info.get()});
    }

    Ref frame_data = mapping_get(data.get(), N->frame, Py_None);
    Ref frame = none();
    if (truth(frame_data.get())) {
        effective_format(self, encoder, with_base64);
        Ref str_to_img = c.global(N->str_to_img);
        frame = call_with(str_to_img.get(), {},
                          {{N->img_as_str, frame_data.get()},
                           {N->encoder, encoder.get()},
                           {N->with_base64, with_base64.get()}});
    }
    setitem(data.get(), N->frame, frame.get());
    return data;
}

const char kCreateDoc[] =
    "\n"
    "            Generate payload to publish\n"
    "        Args:\n"
    "            with_base64:\n"
    "            encoder:\n"
    "            version:\n"
    "                0.x -> publish frame data only into redis port\n"
    "                1.x or later -> publish frame + metadata into redis port\n"
    "            ext_info: extra information to add meta\n"
    "            result: processing result e.g. detections\n"
    "            frame: processed frame cv2.ndarray\n"
    "\n"
    "        Returns:\n"
    "            {\n"
    "                \"meta\": {\n"
    "                    \"ts\":\n"
    "                    \"module\": {},\n"
    "                    \"source\": {},\n"
    "                    \"frame_format\": {}\n"
    "                }\n"
    "                \"frame\": {},\n"
    "                \"result\": {}\n"
    "            }\n"
    "\n"
    "        ";

const char kParseDoc[] =
    "\n"
    "\n"
    "        Args:\n"
    "            data:  data from redis - dict or redis_string\n"
    "            version:\n"
    "            encoder:\n"
    "            with_base64:\n"
    "\n"
    "        Returns:\n"
    "\n"
    "        ";

const char kInitDoc[] =
    "\n"
    "\n"
    "        Args:\n"
    "            feed_idx: the input index at current module\n"
    "            cur_node: current module\n"
    "        ";

const MethodSpec kPemuDataMethods[] = {
    {"__init__", "self, feed_idx, cur_node, src_node=None, src_port=None, src_name=None", kInitDoc,
     envelope_init},
    {"parse_pemu_data", "self, data, version=1, encoder=None, with_base64=None", kParseDoc,
     parse_pemu_data},
    {"create_pemu_data",
     "self, version=1, ext_info=None, result=None, frame=None, encoder=Encoder.JPG, "
     "with_base64=False",
     kCreateDoc, create_pemu_data},
};

}  // namespace

const ClassSpec kPemuDataClass = {"PemuData", "frame=None, result=None", kPemuDataMethods, 3,
                                  "meta"};

}  // namespace pemu
