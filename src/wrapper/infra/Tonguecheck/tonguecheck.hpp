// Pieces of the language-services module shared between its source files.
#pragma once

#include <pybind11/pybind11.h>

namespace tonguecheck {

namespace py = pybind11;

// The module object, set once when it loads. Collaborators (Wordwash,
// Translator, Idiomark, time, the endpoint list) are read from it at call
// time, so a host or a test that patches one of them is honoured.
py::module_& self();
inline py::object attr(const char* name) { return self().attr(name); }

// lingua's verdict on `text` as an Idiomark member; ValueError otherwise.
py::object detect_language(py::handle text);

// The text cut into sentences for `language`, blank ones dropped, each one
// normalised and trimmed: what is sent to the translation service.
py::list clean_pieces(py::handle text, py::handle language);

// One translator and the private event loop that drives it, for the length
// of one call. googletrans answers with coroutines; this keeps every request
// a plain blocking call and leaves no loop, thread or connection behind.
class ServiceSession {
public:
    ServiceSession();
    ~ServiceSession();
    ServiceSession(const ServiceSession&) = delete;
    ServiceSession& operator=(const ServiceSession&) = delete;

    py::object translate(py::handle text, py::handle dest);
    py::object detect(py::handle text);
    // Closes the client's connections and the loop; raises what closing
    // raises. The destructor does the same silently when a call failed.
    void close();

private:
    py::object finish(py::object result);
    void open_loop();

    py::object translator_;
    py::object loop_;    // None until the first request
    py::object thread_;  // runs loop_ when the caller's thread already runs one
};

void init_detect(py::module_& m);
void init_translate(py::module_& m);

}  // namespace tonguecheck
