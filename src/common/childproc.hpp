// Running an outside program so that it can never outlive or block its caller.
#pragma once

#include <pybind11/pybind11.h>

namespace wr {

namespace py = pybind11;

// Starts `command` (a list of arguments, no shell) with `popen` (the host's
// subprocess.Popen, or a stand-in with its interface) in a session of its
// own, so that it and every process it starts form one process group, and
// waits at most `seconds` for it. Standard input is closed; both output
// streams are captured as text (undecodable bytes replaced). `env` None
// means the caller's environment.
//
// On time-out the whole group is killed and subprocess.TimeoutExpired is
// raised; when the wait is interrupted (KeyboardInterrupt, any error) the
// group is killed before the error goes on. Returns a
// subprocess.CompletedProcess.
py::object run_bounded(py::handle popen, py::handle command, py::handle env, double seconds);

}  // namespace wr
