// Files an engine keeps beside its model for speed (a search index, counts,
// lists): each names the model file it was made from, is written under the
// model's lock right after the model, and is used only while the model is
// still that file. A stale, damaged or missing one costs time, never a
// document.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "binimage.hpp"

namespace wr {

namespace py = pybind11;

// Which model file a file stored beside it was made from: its size,
// modification time and fingerprints of its first and last bytes.
struct ModelIdentity {
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::uint64_t head = 0, tail = 0;
    bool operator==(const ModelIdentity& o) const {
        return size == o.size && mtime_ns == o.mtime_ns && head == o.head && tail == o.tail;
    }
};
std::optional<ModelIdentity> model_identity(const std::string& path);
std::optional<ModelIdentity> model_identity_of_fd(int fd);
void put_identity(image::Writer& out, const ModelIdentity& id);
ModelIdentity get_identity(image::Reader& in);

// The path of the file `name` in the directory of the engine's model_filename.
py::object beside_model(py::handle engine, const char* name);
// Under the model's lock, after the model: replaces the file `name` beside
// it with the bytes `make` gives for the model file just written, or removes
// it when they are none. A failure is logged as a warning (after `prefix`,
// ending in `otherwise`: what it costs), never raised: the model is written
// already.
void write_beside_model(py::handle engine, const char* name, const char* prefix, const char* otherwise,
                        const std::function<std::optional<std::string>(const ModelIdentity&)>& make);

// A value kept on an engine object as a capsule named `capsule` in its
// attribute `attr_name`; null when there is none.
template <typename T>
std::shared_ptr<T> held_on(py::handle engine, const char* attr_name, const char* capsule) {
    py::object value = py::getattr(engine, attr_name, py::none());
    if (!PyCapsule_IsValid(value.ptr(), capsule)) return nullptr;
    return *static_cast<std::shared_ptr<T>*>(PyCapsule_GetPointer(value.ptr(), capsule));
}

// Keeps `value` there, replacing what was.
template <typename T>
void hold_on(py::handle engine, const char* attr_name, const char* capsule, std::shared_ptr<T> value) {
    auto* kept = new std::shared_ptr<T>(std::move(value));
    py::capsule wrapped;
    try {
        wrapped = py::capsule(kept, capsule, [](void* p) { delete static_cast<std::shared_ptr<T>*>(p); });
    } catch (...) {
        delete kept;
        throw;
    }
    engine.attr(attr_name) = wrapped;
}

}  // namespace wr
