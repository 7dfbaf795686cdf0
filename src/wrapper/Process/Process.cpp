// The facade the host calls: one base path, the language options and one
// search engine; turns files into documents, trains them, forwards queries.
#include <pybind11/pybind11.h>

#include <string>

#include "dirlock.hpp"
#include "process.hpp"
#include "pyutil.hpp"

namespace py = pybind11;

namespace {

// Collaborators are read from this module's attributes at call time, so a
// host (or a test) that replaces one of them is honoured.
py::object dep(const char* name) { return wr::this_module().attr(name); }

py::object process_class() { return dep("Process"); }

void init(py::object proc, py::object base_path, py::object is_detect_language,
          py::object translate_to, py::object type) {
    wr::log_info(py::str("starting process"));
    // `+` as the host does it: a base path that is not a string fails here.
    py::object modeldir =
        py::reinterpret_steal<py::object>(PyNumber_Add(base_path.ptr(), py::str("/models").ptr()));
    if (!modeldir) throw py::error_already_set();
    py::object os = dep("os");
    if (!wr::truthy(os.attr("path").attr("exists")(modeldir))) os.attr("makedirs")(modeldir);
    proc.attr("modeldir") = modeldir;
    proc.attr("base_path") = base_path;
    proc.attr("is_detect_language") = is_detect_language;
    proc.attr("translate_to") = translate_to;

    py::object kinds = dep("Enginekind");
    py::object engine = py::none();
    if (type.equal(kinds.attr("SB"))) {
        engine = dep("FinderySB")(modeldir, is_detect_language);
    } else if (type.equal(kinds.attr("TD"))) {
        engine = dep("FinderyTD")(modeldir);
    }
    proc.attr("document_search") = engine;
}

py::object create_online_pipeline_multilingual(py::object base_path, py::object is_detect_language,
                                               py::object translate_to) {
    return process_class()(base_path, is_detect_language, translate_to,
                           dep("Enginekind").attr("SB"));
}

py::object create_batch_pipeline(py::object base_path, py::object is_detect_language,
                                 py::object translate_to) {
    return process_class()(base_path, is_detect_language, translate_to,
                           dep("Enginekind").attr("TD"));
}

void load(py::object download_dir) {
    static const char* const corpora[] = {"punkt", "stopwords", "wordnet", "rslp"};
    wr::log_info(py::str("Downloading resources..."));
    py::object os = dep("os");
    // The models go to the interpreter hosting the library; a bare "python3"
    // could be another one and the download would land where nobody looks.
    py::object quote = wr::import_attr("shlex", "quote");
    py::object python = quote(wr::import_attr("sys", "executable"));
    for (const char* model : {"xx_ent_wiki_sm", "pt_core_news_sm"})
        os.attr("system")(wr::cat({python, " -m spacy download ", model}));

    py::object nltk = dep("nltk");
    if (!wr::truthy(download_dir) || !wr::truthy(os.attr("path").attr("exists")(download_dir))) {
        wr::log_info(py::str("Downloading more resources..."));
        for (const char* name : corpora)
            nltk.attr("download")(name, py::arg("download_dir") = download_dir);
    }
    for (const char* name : corpora) nltk.attr("download")(name);
    wr::log_info(py::str("Finish Downloading resources..."));
}

// The module's `nltk`, imported on first use (PEP 562): only the resource
// download needs it, and importing it costs over a second.
py::object module_getattr(py::str name) {
    if (name.cast<std::string>() != "nltk")
        wr::raise(PyExc_AttributeError, {"module 'wrapper.Process' has no attribute '", name, "'"});
    py::object nltk = wr::import("nltk");
    wr::this_module().attr("nltk") = nltk;
    return nltk;
}

bool ends_with_any(py::handle path, std::initializer_list<const char*> suffixes) {
    py::tuple t(suffixes.size());
    std::size_t i = 0;
    for (const char* s : suffixes) t[i++] = py::str(s);
    return wr::truthy(path.attr("endswith")(t));
}

py::object compile(py::object base_path, py::object complement_path,
                   py::object is_detect_language, py::object translate_to) {
    // Only the type check of a path join; the path itself is built by
    // formatting, as a plain "/" between the two.
    dep("os").attr("path").attr("join")(base_path, complement_path);
    py::object format = wr::import_attr("builtins", "format");
    py::str path = wr::cat({format(base_path), "/", format(complement_path)});

    if (!ends_with_any(path, {".txt", ".csv", ".pdf", ".docx", ".jpg", ".jpeg", ".png", ".mp4"})) {
        wr::log_warning(py::str("Not supported document"));
        wr::raise_exception({"Not supported extension for document ", format(complement_path)});
    }
    if (ends_with_any(path, {".txt", ".csv", ".docx"}))
        wr::raise_exception({"Without support for document with extension .txt, .csv or .docx."});

    const char* kind = ends_with_any(path, {".pdf"})                   ? "PDF"
                       : ends_with_any(path, {".jpg", ".png", ".jpeg"}) ? "Image"
                                                                        : "Video";
    py::object doc = dep(kind)(base_path, is_detect_language, translate_to);
    doc.attr("create_features")(path);
    return doc;
}

py::object compile_doc(py::object proc, py::object complement_path, py::object file_index) {
    py::object doc = process_class().attr("compile")(proc.attr("base_path"), complement_path,
                                                     proc.attr("is_detect_language"),
                                                     proc.attr("translate_to"));
    doc.attr("id") = file_index;
    return doc;
}

// The engines say which of the documents they were given they filed (one
// whose id they hold already, or without text, is passed over): only those
// get their pages kept, or a passed-over document's pages would stand beside
// another version's entry in the index. An engine of the host's own that
// does not say is taken to have filed everything.
constexpr const char* kFiled = "_filed";

void clear_filed(py::handle engine) {
    if (PyObject_SetAttrString(engine.ptr(), kFiled, Py_None) != 0) PyErr_Clear();
}

py::object filed_of(py::handle engine, py::handle given) {
    py::object filed = py::getattr(engine, kFiled, py::none());
    return filed.is_none() ? py::reinterpret_borrow<py::object>(given) : filed;
}

// Every change of the index and of the pages kept beside it is made under
// the models directory's lock, taken here before the engine takes it again:
// two writers of one id then leave one version's entry and the same
// version's pages, never one of each.
py::object train_doc(py::object proc, py::object file) {
    wr::DirLock lock(proc.attr("modeldir"), wr::kTrainingLockWait);
    py::object engine = proc.attr("document_search");
    clear_filed(engine);
    engine.attr("train_model")(file);
    process::keep_pages(proc, filed_of(engine, py::make_tuple(file)));
    return file;
}

// Many compiled documents with one refit and one write of the engine's model;
// the index ends as one train_doc per document, in the same order, leaves it.
// A list comes back as itself; any other iterable is read once, into a list.
py::object train_docs(py::object proc, py::object files) {
    if (!PyList_Check(files.ptr())) files = py::list(files);
    wr::DirLock lock(proc.attr("modeldir"), wr::kTrainingLockWait);
    py::object engine = proc.attr("document_search");
    clear_filed(engine);
    engine.attr("train_batch")(files);
    process::keep_pages(proc, filed_of(engine, files));
    return files;
}

// Files whose content changed (or that are new) with one refit and one write:
// each replaces the stored copy of its id, or is added at the end. A
// document without text is passed over by the engine, and so by the pages.
py::object update_docs(py::object proc, py::object files) {
    if (!PyList_Check(files.ptr())) files = py::list(files);
    wr::DirLock lock(proc.attr("modeldir"), wr::kTrainingLockWait);
    proc.attr("document_search").attr("update_documents")(files);
    py::list with_text;
    for (py::handle doc : files)
        if (wr::truthy(doc) && wr::truthy(py::getattr(doc, "text", py::bool_(true)))) with_text.append(doc);
    process::keep_pages(proc, with_text);
    return files;
}

// The kept pages go with their documents; a page store the engine never
// held is dropped too, so nothing of a removed id is left to show. The
// pages go first: a removal stopped half way then leaves an entry whose
// hits say to index it again (and which the next removal takes), never
// page files that nothing names.
py::object remove_docs(py::object proc, py::object ids) {
    // A string is left for the engine to refuse, not read as its characters.
    const bool text = PyUnicode_Check(ids.ptr()) || PyBytes_Check(ids.ptr());
    if (text) return proc.attr("document_search").attr("remove_documents")(ids);
    if (!PyList_Check(ids.ptr()) && !PyTuple_Check(ids.ptr())) ids = py::list(ids);
    wr::DirLock lock(proc.attr("modeldir"), wr::kTrainingLockWait);
    process::forget_pages(proc, ids);
    return proc.attr("document_search").attr("remove_documents")(ids);
}

py::object compile_and_train(py::object proc, py::object complement_path, py::object file_index) {
    py::object doc = proc.attr("compile_doc")(complement_path, file_index);
    return train_doc(proc, doc);
}

py::object search(py::object proc, py::object query, py::object detected_language,
                  py::object page, py::object results_per_page) {
    const py::object asked = query, asked_language = detected_language;
    py::object translate_to = proc.attr("translate_to");
    auto settled = wr::unpack(
        dep("Tonguecheck").attr("detect_lang")(query, translate_to, detected_language), 3);
    detected_language = settled[0];
    query = settled[1];
    wr::log_info({"Language detected: ", detected_language, " - Query: ", query});
    py::object language = wr::truthy(translate_to) ? translate_to.attr("value")
                                                   : detected_language.attr("value");
    py::object result = proc.attr("document_search")
                            .attr("search_documents")(query, language, page, results_per_page);
    process::remember_query(proc, asked, asked_language, language, query, result);
    return result;
}

}  // namespace

PYBIND11_MODULE(Process, m) {
    wr::this_module() = m;
    // Importing these loads the whole system.
    m.attr("File") = wr::import_attr("wrapper.core.File", "File");
    m.attr("Image") = wr::import_attr("wrapper.core.Image", "Image");
    m.attr("Video") = wr::import_attr("wrapper.core.Video", "Video");
    m.attr("PDF") = wr::import_attr("wrapper.core.PDF", "PDF");
    py::object Idiomark = wr::import_attr("wrapper.infra.Idiomark", "Idiomark");
    m.attr("Idiomark") = Idiomark;
    m.attr("Enginekind") = wr::import_attr("wrapper.infra.Enginekind", "Enginekind");
    m.attr("Tonguecheck") = wr::import("wrapper.infra.Tonguecheck");
    m.attr("os") = wr::import("os");
    m.def("__getattr__", &module_getattr, py::arg("name"));  // nltk
    m.attr("FinderyTD") = wr::import_attr("wrapper.core.FinderyTD", "FinderyTD");
    m.attr("FinderySB") = wr::import_attr("wrapper.core.FinderySB", "FinderySB");
    m.attr("logging") = wr::import("logging");

    py::dict annotations;
    annotations["base_path"] = wr::import_attr("builtins", "str");
    annotations["is_detect_language"] = wr::import_attr("builtins", "bool");
    annotations["translate_to"] = Idiomark;
    py::object cls = wr::make_class(
        m, "Process", {{"__annotations__", annotations}, {"document_search", py::none()}});

    wr::def_init(cls, &init, py::arg("base_path"), py::arg("is_detect_language") = false,
                 py::arg("translate_to") = py::none(), py::arg("type") = py::none());
    // The default target of the online pipeline is looked up once, here.
    wr::def_static(cls, "create_online_pipeline_multilingual",
                   &create_online_pipeline_multilingual, py::arg("base_path"),
                   py::arg("is_detect_language") = true,
                   py::arg("translate_to") = Idiomark.attr("ENGLISH"));
    wr::def_static(cls, "create_batch_pipeline", &create_batch_pipeline, py::arg("base_path"),
                   py::arg("is_detect_language") = false, py::arg("translate_to") = py::none());
    wr::def_static(cls, "load", &load, py::arg("download_dir") = py::none());
    wr::def_static(cls, "compile", &compile, py::arg("base_path"), py::arg("complement_path"),
                   py::arg("is_detect_language") = false, py::arg("translate_to") = py::none());
    wr::def_method(cls, "compile_doc", &compile_doc, py::arg("complement_path"),
                   py::arg("file_index"));
    wr::def_method(cls, "train_doc", &train_doc, py::arg("file"));
    wr::def_method(cls, "train_docs", &train_docs, py::arg("files"));
    wr::def_method(cls, "update_docs", &update_docs, py::arg("files"));
    wr::def_method(cls, "remove_docs", &remove_docs, py::arg("ids"));
    wr::def_method(cls, "compile_and_train", &compile_and_train, py::arg("complement_path"),
                   py::arg("file_index"));
    wr::def_method(cls, "search", &search, py::arg("query"),
                   py::arg("detected_language") = py::none(), py::arg("page") = 1,
                   py::arg("results_per_page") = 10);
    process::init_passages(cls);
}
