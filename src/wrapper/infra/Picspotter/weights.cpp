// Fetching the trained YOLOv3 weights from their public address. They come
// from no package index this project installs from, so a user with a network
// fetches them once, with the command named in the detector's error.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "atomicfile.hpp"
#include "darknet.hpp"
#include "picspotter.hpp"
#include "pyutil.hpp"

namespace picspotter {

const char* const kWeightsUrl = "https://pjreddie.com/media/files/yolov3.weights";
const char* const kFetchCommand = "wrapper fetch-weights";

namespace {

// No single read waits longer than this; the overall limit is the caller's.
constexpr double kReadTimeout = 60.0;
constexpr long kChunk = 1 << 20;

// Copies the response body into `file` until it ends or the deadline (on the
// host's monotonic clock) passes;
// returns the number of bytes copied.
long long copy_body(py::handle response, py::handle file, py::handle url, double timeout,
                    double deadline) {
    py::object monotonic = wr::import_attr("time", "monotonic");
    long long copied = 0;
    for (;;) {
        if (monotonic().cast<double>() > deadline)
            wr::raise(PyExc_TimeoutError,
                      {"download of ", url, " did not finish within ", py::float_(timeout), " s"});
        // read1: at most one read from the connection, so a trickling server
        // cannot hold the loop past the deadline.
        py::bytes chunk = response.attr("read1")(kChunk);
        const auto size = static_cast<long long>(py::len(chunk));
        if (size == 0) return copied;
        file.attr("write")(chunk);
        copied += size;
    }
}

// The parameter count of the network that res/yolov3.cfg defines: the weights
// file must hold exactly that many floats after its header.
std::uint64_t expected_parameters() {
    py::object config = model_path("yolov3.cfg");
    if (!wr::truthy(attr("os").attr("path").attr("isfile")(config)))
        wr::raise(PyExc_FileNotFoundError,
                  {"YOLOv3 network definition not found: ", config,
                   " (it ships with the package: reinstall wrapper)"});
    const std::string raw = py::bytes(read_file(config, "rb"));
    try {
        return darknet::parameter_count(raw);
    } catch (const darknet::CfgError& error) {
        wr::raise(PyExc_ValueError,
                  {"cannot tell the size of the weights from ", config, ": ", error.what()});
    }
}

// Little-endian, as darknet writes them on every machine it runs on.
std::int32_t le_int32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return static_cast<std::int32_t>(value);
}

// The size a weights file for `parameters` floats has, given its first bytes
// (fewer than a header's prefix: none can be right).
long long weights_size(const std::string& head, std::uint64_t parameters) {
    if (head.size() < darknet::kHeaderPrefix) return -1;
    return static_cast<long long>(darknet::header_bytes(le_int32(head, 0), le_int32(head, 4)) +
                                  4 * parameters);
}

}  // namespace

py::object fetch_weights(py::object url, double timeout) {
    if (url.is_none()) url = py::str(kWeightsUrl);
    if (!(timeout > 0)) wr::raise(PyExc_ValueError, {"timeout must be positive"});
    py::object os = attr("os");
    py::object target = model_path("yolov3.weights");
    // Known before anything is fetched, so that a download of the wrong
    // file (or of a part of the right one) is never put in place.
    const std::uint64_t parameters = expected_parameters();
    os.attr("makedirs")(os.attr("path").attr("dirname")(target), py::arg("exist_ok") = true);

    // One limit for the whole download, connection included; a stalled read
    // overshoots it by at most one read's own timeout.
    const double deadline = wr::import_attr("time", "monotonic")().cast<double>() + timeout;
    wr::log_info({"Downloading YOLOv3 weights from ", url, " to ", target});
    // An HTTP error status raises here (urllib's HTTPError), before any file
    // is made.
    py::object response = wr::import_attr("urllib.request", "urlopen")(
        url, py::arg("timeout") = std::min(timeout, kReadTimeout));
    // Written beside the target and renamed over it only when complete, so an
    // interrupted download never leaves a truncated file that the detector
    // would then try to load.
    try {
        py::object headers = response.attr("headers");
        if (headers.attr("get_content_type")().equal(py::str("text/html")))
            wr::raise(PyExc_OSError,
                      {"the server at ", url, " answered with a web page, not the weights"});
        py::object declared = headers.attr("get")("Content-Length");
        // A declared length that no header width allows is refused before
        // hundreds of megabytes are read.
        if (!declared.is_none()) {
            const long long length = py::int_(declared).cast<long long>();
            const long long narrow =
                static_cast<long long>(darknet::kHeaderPrefix + 4 + 4 * parameters);
            if (length != narrow && length != narrow + 4)
                wr::raise(PyExc_OSError,
                          {"the server at ", url, " offers ", declared, " bytes, but the network "
                           "in yolov3.cfg needs ", narrow + 4, " (", py::int_(parameters),
                           " parameters after a header)"});
        }
        wr::replace_file_with(target, [&](py::handle partial) {
            py::object file = wr::import_attr("builtins", "open")(partial, "wb");
            long long copied = 0;
            try {
                copied = copy_body(response, file, url, timeout, deadline);
            } catch (...) {
                file.attr("close")();
                throw;
            }
            file.attr("close")();
            if (!declared.is_none() && py::int_(declared).cast<long long>() != copied)
                wr::raise(PyExc_OSError, {"download of ", url, " ended after ", copied, " of ",
                                          declared, " bytes"});
            if (copied == 0) wr::raise(PyExc_OSError, {"download of ", url, " gave no data"});
            // The header's own version decides its width, so the size is
            // known only once the first bytes are in.
            const std::string head = py::bytes(
                read_file(partial, "rb", static_cast<Py_ssize_t>(darknet::kHeaderPrefix)));
            const long long expected = weights_size(head, parameters);
            if (copied != expected)
                wr::raise(PyExc_OSError,
                          {"download of ", url, " gave ", copied, " bytes, not the ",
                           py::int_(parameters), " parameters after a header that the network "
                           "in yolov3.cfg needs; not kept"});
        });
    } catch (...) {
        response.attr("close")();
        throw;
    }
    response.attr("close")();
    wr::log_info({"YOLOv3 weights saved to ", target});
    return target;
}

}  // namespace picspotter
