// Adding one document to the index, and the stored model behind it.
#include "atomicfile.hpp"
#include "finderytd.hpp"
#include "pyutil.hpp"

namespace finderytd {

namespace {

bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object load_model(py::object engine) {
    py::object is_loaded = engine.attr("is_loaded");
    if (wr::truthy(is_loaded)) return is_loaded;
    py::object filename = engine.attr("model_filename");
    if (!wr::truthy(attr("os").attr("path").attr("exists")(filename))) return is_loaded;

    py::object data = attr("joblib").attr("load")(filename);
    if (!wr::truthy(data)) return py::bool_(false);
    // Marked loaded before the values are read: a stored dict that lacks a
    // key leaves the values read so far and is not read again.
    engine.attr("is_loaded") = py::bool_(true);
    engine.attr("tfidf_matrix") = data[py::str("matrix")];
    engine.attr("tfidf_vectorizer") = data[py::str("vectorizer")];
    engine.attr("document_names") = data[py::str("document_names")];
    engine.attr("detected_languages") = data[py::str("detected_languages")];
    engine.attr("cleaned_text") = data[py::str("cleaned_text")];
    return engine.attr("is_loaded");
}

void train_model(py::object engine, py::object doc) {
    if (!wr::truthy(doc) || !wr::truthy(doc.attr("text"))) return;
    py::object id = doc.attr("id");
    if (contains(engine.attr("document_names"), id)) return;

    engine.attr("load_model")();
    py::dict preprocessed_documents;

    // A stored copy of the same document (from an earlier engine object) is
    // dropped, so the document ends up once, last, with its new text.
    py::object names = engine.attr("document_names");
    if (contains(names, id)) {
        names.attr("remove")(id);
        wr::log_info({"td--removed doc for document names"});
    }
    py::object languages = engine.attr("detected_languages");
    if (contains(languages, id)) {
        wr::log_info({"keys"});
        py::list keys(languages.attr("keys")());
        wr::log_info(keys);
        py::object ix = keys.attr("index")(id);
        wr::log_info({"index ", ix, " for docid ", id});
        languages.attr("__delitem__")(id);
        wr::log_info({"td--removed ", id, " to detected languages"});
    }
    py::object cleaned = engine.attr("cleaned_text");
    if (contains(cleaned, id)) {
        cleaned.attr("__delitem__")(id);
        wr::log_info({"td--deleted doc to cleaned text"});
    }

    names.attr("append")(id);
    languages[id] = doc.attr("detected_language");
    py::object text = doc.attr("cleaned_text");
    preprocessed_documents[id] = text;
    cleaned[id] = text;

    // Every training refits over all indexed texts: vocabulary and idf
    // weights change with each document, so no row can be kept.
    py::object Tfidf = attr("TfidfVectorizer");
    if (engine.attr("tfidf_vectorizer").is_none()) {
        py::object values = preprocessed_documents.attr("values")();
        engine.attr("tfidf_vectorizer") = Tfidf().attr("fit")(values);
        engine.attr("tfidf_matrix") = engine.attr("tfidf_vectorizer").attr("transform")(values);
    } else {
        engine.attr("tfidf_vectorizer") = Tfidf();
        engine.attr("tfidf_matrix") = engine.attr("tfidf_vectorizer")
                                          .attr("fit_transform")(cleaned.attr("values")());
    }
    engine.attr("is_loaded") = py::bool_(true);

    py::dict model_data;
    model_data["matrix"] = engine.attr("tfidf_matrix");
    model_data["vectorizer"] = engine.attr("tfidf_vectorizer");
    model_data["document_names"] = names;
    model_data["detected_languages"] = languages;
    model_data["cleaned_text"] = cleaned;
    // A plain dump truncates the stored model first, so a failed or killed
    // write would lose the whole index: the new file replaces it whole.
    wr::replace_file_with(engine.attr("model_filename"), [&](py::handle tmp) {
        attr("joblib").attr("dump")(model_data, tmp);
    });

    py::dict dictionary;
    dictionary["multilang_models"] = languages;
    dictionary["document_names"] = names;
    engine.attr("save_debug_json")(dictionary, engine.attr("debug_model_filename"));
}

}  // namespace

void init_training(py::handle cls) {
    wr::def_method(cls, "train_model", &train_model, py::arg("doc"));
    wr::def_method(cls, "load_model", &load_model);
}

}  // namespace finderytd
