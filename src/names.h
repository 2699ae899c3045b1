// Interned strings and small constants used throughout the module.
//
// They are made once per process by names::init() and kept for the life of
// the process: the module is never unloaded, and releasing them at exit
// would run after the interpreter is gone.  That is the one place where
// references are held outside a Ref, and the reason is written here.
#pragma once

#include "refs.h"

namespace pemu {

// X(C++ identifier, text)
#define PEMU_NAMES(X)                                  \
    X(id, "id")                                        \
    X(type, "type")                                    \
    X(name, "name")                                    \
    X(get, "get")                                      \
    X(items, "items")                                  \
    X(source_name, "source_name")                      \
    X(source_key, "source_key")                        \
    X(output_port_idx, "output_port_idx")              \
    X(frame_id, "frame_id")                            \
    X(ts, "ts")                                        \
    X(feed_port_idx, "feed_port_idx")                  \
    X(cur_node, "cur_node")                            \
    X(feed_idx, "feed_idx")                            \
    X(src_node, "src_node")                            \
    X(src_output_port, "src_output_port")              \
    X(src_name, "src_name")                            \
    X(src_port, "src_port")                            \
    X(module, "module")                                \
    X(source, "source")                                \
    X(frame_format, "frame_format")                    \
    X(meta, "meta")                                    \
    X(result, "result")                                \
    X(frame, "frame")                                  \
    X(update, "update")                                \
    X(to_dict, "to_dict")                              \
    X(update_source, "update_source")                  \
    X(update_frame_format, "update_frame_format")      \
    X(source_info, "source_info")                      \
    X(encoder, "encoder")                              \
    X(with_base64, "with_base64")                      \
    X(image, "image")                                  \
    X(img_as_str, "img_as_str")                        \
    X(b64_bytes, "b64_bytes")                          \
    X(time, "time")                                    \
    X(json, "json")                                    \
    X(loads, "loads")                                  \
    X(decode, "decode")                                \
    X(img_to_str, "img_to_str")                        \
    X(str_to_img, "str_to_img")                        \
    X(Encoder, "Encoder")                              \
    X(base64_to_img, "base64_to_img")                  \
    X(img_to_base64str, "img_to_base64str")            \
    X(JPG, "JPG")                                      \
    X(MetaSource, "MetaSource")                        \
    X(MetaModule, "MetaModule")                        \
    X(MetaFrameFormat, "MetaFrameFormat")              \
    X(Meta, "Meta")                                    \
    X(PemuData, "PemuData")                            \
    X(dunder_dict, "__dict__")                         \
    X(dunder_module, "__module__")                     \
    X(dunder_init, "__init__")                     \
    X(dunder_qualname, "__qualname__")                 \
    X(underscore, "_")                                 \
    X(module_name, "pemu_sdk.redis.pemu_data")

struct Names {
#define PEMU_DECLARE_NAME(ident, text) PyObject* ident;
    PEMU_NAMES(PEMU_DECLARE_NAME)
#undef PEMU_DECLARE_NAME
    PyObject* zero;         // the int 0
    PyObject* one;          // the int 1
    PyObject* empty_tuple;  // ()
    PyObject* empty_str;    // ""
};

// The table; valid after names::init() has succeeded once.
extern const Names* N;

namespace names {
// Makes the table on first use; throws on failure (and then tries again on
// the next import).
void init();
}  // namespace names

}  // namespace pemu
