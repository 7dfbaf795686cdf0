// Tesseract's library in this process, for the short reads of a PDF's
// language sample. The tesseract program loads its model at every start
// (about a tenth of a second), which is as much as reading the sample
// itself; a reader kept in the process loads it once. The program is still
// what reads the documents (through ocrmypdf) and what any read falls back
// to when the library cannot be used here.
#include "tess_library.hpp"

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "pyutil.hpp"

namespace pagewring {

namespace {

// The few functions of Tesseract's C interface the reads need.
struct Library {
    void* (*create)() = nullptr;
    void (*destroy)(void*) = nullptr;
    int (*init)(void*, const char*, const char*) = nullptr;
    int (*set_variable)(void*, const char*, const char*) = nullptr;
    void (*set_page_seg_mode)(void*, int) = nullptr;
    void (*set_image)(void*, const unsigned char*, int, int, int, int) = nullptr;
    int (*recognize)(void*, void*) = nullptr;
    char* (*utf8_text)(void*) = nullptr;
    void (*delete_text)(const char*) = nullptr;
    void (*clear)(void*) = nullptr;
    void* (*monitor_create)() = nullptr;
    void (*monitor_delete)(void*) = nullptr;
    void (*monitor_deadline)(void*, int) = nullptr;
};

template <typename F>
bool bind(void* handle, const char* name, F& slot) {
    void* symbol = ::dlsym(handle, name);
    slot = reinterpret_cast<F>(symbol);
    return symbol != nullptr;
}

// Whether this process runs one thread only (the folder run's workers, the
// command line): its own tasks, counted by the kernel.
bool single_threaded() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return false;
    int count = 0;
    while (const dirent* entry = ::readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(tasks);
    return count == 1;
}

// Null when the library is not there or would not read alone on its core.
// It is loaded only by a process of one thread: setting the environment for
// OpenMP while another thread may read it is undefined, and a host with
// threads of its own keeps its OpenMP as it set it (the program reads
// instead).
const Library* load_library() {
    // Tesseract's OpenMP would start a team of threads for every line (four
    // times the CPU for the same text on a busy machine); the program is run
    // with one thread, and so is the library. OpenMP reads its limit once,
    // when it loads, which is here unless something loaded it before.
    const bool limit_given = std::getenv("OMP_THREAD_LIMIT") != nullptr;
    const bool openmp_loaded = ::dlopen("libgomp.so.1", RTLD_LAZY | RTLD_NOLOAD) != nullptr;
    if (!limit_given && !openmp_loaded) ::setenv("OMP_THREAD_LIMIT", "1", 0);
    void* handle = ::dlopen("libtesseract.so.5", RTLD_LAZY | RTLD_LOCAL);
    if (!limit_given && !openmp_loaded) ::unsetenv("OMP_THREAD_LIMIT");
    if (handle == nullptr) return nullptr;
    if (!limit_given) {
        void* openmp = ::dlopen("libgomp.so.1", RTLD_LAZY | RTLD_NOLOAD);
        if (openmp != nullptr) {
            int (*thread_limit)() = nullptr;
            if (bind(openmp, "omp_get_thread_limit", thread_limit) && thread_limit() != 1) return nullptr;
        }
    }
    Library l;
    const bool all = bind(handle, "TessBaseAPICreate", l.create) &&
                     bind(handle, "TessBaseAPIDelete", l.destroy) &&
                     bind(handle, "TessBaseAPIInit3", l.init) &&
                     bind(handle, "TessBaseAPISetVariable", l.set_variable) &&
                     bind(handle, "TessBaseAPISetPageSegMode", l.set_page_seg_mode) &&
                     bind(handle, "TessBaseAPISetImage", l.set_image) &&
                     bind(handle, "TessBaseAPIRecognize", l.recognize) &&
                     bind(handle, "TessBaseAPIGetUTF8Text", l.utf8_text) &&
                     bind(handle, "TessDeleteText", l.delete_text) &&
                     bind(handle, "TessBaseAPIClear", l.clear) &&
                     bind(handle, "TessMonitorCreate", l.monitor_create) &&
                     bind(handle, "TessMonitorDelete", l.monitor_delete) &&
                     bind(handle, "TessMonitorSetDeadlineMSecs", l.monitor_deadline);
    if (!all) return nullptr;
    return new Library(l);  // kept for the life of the process
}

// Loaded at the first read made while the process has one thread (asked
// again at later reads until then); called under the GIL.
const Library* library() {
    static bool tried = false;
    static const Library* usable = nullptr;
    if (!tried && single_threaded()) {
        tried = true;
        usable = load_library();
    }
    return usable;
}

// Readers with their model loaded, not in use. Taken and given back under
// the GIL, so threads never share one; a forked worker inherits them.
std::vector<void*>& idle_readers() {
    static auto* readers = new std::vector<void*>();  // leaked: outlives the interpreter
    return *readers;
}

// Readers are ended before the interpreter (and Tesseract's own caches,
// which complain of what is still held) go away.
void end_readers() {
    const Library* lib = library();
    if (lib == nullptr) return;
    for (void* reader : idle_readers()) lib->destroy(reader);
    idle_readers().clear();
}

void* take_reader(const Library& lib) {
    static bool ending_registered = false;
    if (!idle_readers().empty()) {
        void* reader = idle_readers().back();
        idle_readers().pop_back();
        return reader;
    }
    if (!ending_registered) {
        wr::import_attr("atexit", "register")(py::cpp_function(&end_readers));
        ending_registered = true;
    }
    void* reader = lib.create();
    if (reader == nullptr) return nullptr;
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        // Tesseract's messages (resolution guesses and the like) are the
        // program's standard error when it runs; here they are nobody's.
        lib.set_variable(reader, "debug_file", "/dev/null");
        // The engine's default language, as the program reads without -l.
        status = lib.init(reader, nullptr, "eng");
    }
    if (status != 0) {
        lib.destroy(reader);
        return nullptr;
    }
    return reader;
}

}  // namespace

std::optional<std::string> read_grey_in_process(std::string_view pixels, long long width,
                                                long long height, long long stride, int page_mode,
                                                bool invert, double seconds) {
    if (width <= 0 || height <= 0 || stride < width || width > (1 << 20) || height > (1 << 20) ||
        static_cast<unsigned long long>(stride) * static_cast<unsigned long long>(height) >
            pixels.size())
        return std::nullopt;
    // A host that points pytesseract at another program means that program.
    py::object command = py::getattr(attr("pytesseract").attr("pytesseract"), "tesseract_cmd", py::none());
    if (!py::isinstance<py::str>(command) || command.cast<std::string>() != "tesseract") return std::nullopt;
    const Library* lib = library();
    if (lib == nullptr) return std::nullopt;
    void* reader = take_reader(*lib);
    if (reader == nullptr) return std::nullopt;

    std::string text;
    bool late = false;
    {
        py::gil_scoped_release unlocked;
        lib->set_page_seg_mode(reader, page_mode);
        lib->set_variable(reader, "tessedit_do_invert", invert ? "1" : "0");
        lib->set_image(reader, reinterpret_cast<const unsigned char*>(pixels.data()),
                       static_cast<int>(width), static_cast<int>(height), 1, static_cast<int>(stride));
        void* monitor = lib->monitor_create();
        const double limit_ms = std::isfinite(seconds) && seconds > 0 ? seconds * 1000.0 : 0.0;
        if (monitor != nullptr && limit_ms > 0)
            lib->monitor_deadline(monitor, static_cast<int>(std::min(limit_ms, 2.0e9)));
        const auto start = std::chrono::steady_clock::now();
        lib->recognize(reader, monitor);
        late = limit_ms > 0 && std::chrono::duration<double, std::milli>(
                                   std::chrono::steady_clock::now() - start).count() > limit_ms;
        if (monitor != nullptr) lib->monitor_delete(monitor);
        if (char* out = lib->utf8_text(reader)) {
            text = out;
            lib->delete_text(out);
        }
        lib->clear(reader);
    }
    idle_readers().push_back(reader);
    // As pytesseract reports a run that ran out of time.
    if (late) wr::raise(PyExc_RuntimeError, {"Tesseract process timeout"});
    return text;
}

}  // namespace pagewring
