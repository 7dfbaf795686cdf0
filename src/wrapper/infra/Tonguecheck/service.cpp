// Driving googletrans's asynchronous client from blocking calls.
//
// googletrans 4 returns coroutines and keeps an httpx.AsyncClient whose
// pooled connections belong to the loop that opened them. So one call gets
// one private loop for all of its requests (a loop per request would strand
// the pooled connections on a closed loop), and the call closes the client
// and the loop before returning. The loop is never installed as the thread's
// current loop, so nothing of it is visible after the call.
//
// A caller whose thread already runs a loop (an async host calling us
// synchronously) cannot run a second one there; the private loop then runs
// on a worker thread for the length of the call, and the caller blocks as it
// would on any other blocking call.
#include "tonguecheck.hpp"

#include "pyutil.hpp"

#include <optional>

namespace tonguecheck {

namespace {

py::object copy_list(py::handle seq) {
    // The translator keeps the sequence it is given; a copy keeps a later
    // change of the module's list out of a running call.
    PyObject* copy = PySequence_List(seq.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(copy);
}

bool caller_runs_loop(const py::object& asyncio) {
    try {
        asyncio.attr("get_running_loop")();
        return true;
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_RuntimeError)) return false;
        throw;
    }
}

}  // namespace

ServiceSession::ServiceSession() : loop_(py::none()), thread_(py::none()) {
    // raise_exception: by default googletrans answers an HTTP error with a
    // stand-in result (the text itself as its translation, "en" as its
    // language), a failure that would pass for success; with it, a refused
    // request raises and is handled as a failed request.
    translator_ = attr("Translator")(py::arg("service_urls") = copy_list(attr("SERVICE_URLS")),
                                     py::arg("raise_exception") = true);
}

ServiceSession::~ServiceSession() {
    if (translator_.is_none()) return;
    try {
        close();
    } catch (py::error_already_set&) {
        // Only reached while another error is leaving the call: that one is
        // what the caller needs to see.
    }
}

void ServiceSession::open_loop() {
    py::object asyncio = wr::import("asyncio");
    const bool nested = caller_runs_loop(asyncio);
    loop_ = asyncio.attr("new_event_loop")();
    if (!nested) return;
    try {
        thread_ = wr::import_attr("threading", "Thread")(
            py::arg("target") = loop_.attr("run_forever"),
            py::arg("name") = "Tonguecheck service loop", py::arg("daemon") = true);
        thread_.attr("start")();
    } catch (py::error_already_set&) {
        thread_ = py::none();
        loop_.attr("close")();
        loop_ = py::none();
        throw;
    }
}

py::object ServiceSession::finish(py::object result) {
    // A synchronous replacement of the client answers directly.
    if (!py::hasattr(result, "__await__")) return result;
    try {
        if (loop_.is_none()) open_loop();
        if (thread_.is_none()) return loop_.attr("run_until_complete")(result);
        py::object future =
            wr::import_attr("asyncio", "run_coroutine_threadsafe")(result, loop_);
        return future.attr("result")();
    } catch (py::error_already_set&) {
        // A coroutine that never ran would warn about it when collected.
        if (py::hasattr(result, "cr_frame") && !result.attr("cr_frame").is_none()) {
            try {
                result.attr("close")();
            } catch (py::error_already_set&) {
            }
        }
        throw;
    }
}

py::object ServiceSession::translate(py::handle text, py::handle dest) {
    return finish(translator_.attr("translate")(text, py::arg("dest") = dest));
}

py::object ServiceSession::detect(py::handle text) {
    return finish(translator_.attr("detect")(text));
}

void ServiceSession::close() {
    py::object translator = translator_;
    translator_ = py::none();
    // Without a request the client has opened nothing and no loop exists.
    if (loop_.is_none()) return;

    std::optional<py::error_already_set> first;
    try {
        py::object client = py::getattr(translator, "client", py::none());
        if (py::hasattr(client, "aclose")) finish(client.attr("aclose")());
        finish(loop_.attr("shutdown_asyncgens")());
    } catch (py::error_already_set& e) {
        first.emplace(e);
    }
    // The loop and its thread go whatever happened above.
    try {
        if (!thread_.is_none()) {
            loop_.attr("call_soon_threadsafe")(loop_.attr("stop"));
            thread_.attr("join")();
            thread_ = py::none();
        }
        loop_.attr("close")();
        loop_ = py::none();
    } catch (py::error_already_set& e) {
        if (!first) first.emplace(e);
    }
    if (first) throw *first;
}

}  // namespace tonguecheck
