// Adding documents to the index, and the stored state behind it.
#include "atomicfile.hpp"
#include "finderysb.hpp"
#include "pyutil.hpp"

namespace finderysb {

namespace {

// The model for a language key that has none yet. The single-model key
// stands for the same multilingual model that serves every language, so it
// is asked for without a language rather than through the language table,
// which does not know it.
py::object model_for_key(py::handle engine, py::handle key) {
    py::object language = py::none();
    if (!key.equal(engine.attr("model_main")))
        language = attr("Idiomark").attr("get_language_from_nltk_language")(key);
    return attr("Phrasecoder")(engine.attr("base_path"), py::arg("vect_lang") = language)
        .attr("model");
}

py::object load_model(py::object engine) {
    py::object is_loaded = engine.attr("is_loaded");
    if (wr::truthy(is_loaded)) return is_loaded;

    py::object filename = engine.attr("model_filename");
    py::object loaded_model_data = py::none();
    if (wr::truthy(attr("os").attr("path").attr("exists")(filename)))
        loaded_model_data = attr("joblib").attr("load")(filename);

    if (wr::truthy(loaded_model_data)) {
        engine.attr("embedded_documents") = loaded_model_data[py::str("embedded_documents")];
        engine.attr("document_names") = loaded_model_data[py::str("document_names")];
        engine.attr("multilang_models") = loaded_model_data[py::str("multilang_models")];
    } else {
        if (wr::truthy(engine.attr("supported_languages"))) {
            py::object idiomark = attr("Idiomark");
            wr::log_debug({"doc language type ", py::type::of(idiomark)});
            py::object table = idiomark.attr("nltk_languages").attr("value");
            wr::log_debug({"doc language nltk_languages ", py::type::of(table), " ", table});
            py::object models = engine.attr("multilang_models");
            py::object names = engine.attr("document_names");
            py::object embedded = engine.attr("embedded_documents");
            for (py::handle key : table) {
                wr::log_debug({"loading model for language ", key});
                py::object language = idiomark.attr("get_language_from_nltk_language")(key);
                models[key] = attr("Phrasecoder")(engine.attr("base_path"),
                                                  py::arg("vect_lang") = language)
                                  .attr("model");
                names[key] = py::list();
                embedded[key] = py::list();
            }
        }
        engine.attr("save_model")();
    }
    engine.attr("is_loaded") = py::bool_(true);
    return engine.attr("is_loaded");
}

// The key a document is filed under. In single-model mode every document
// goes to the one model, and its language is not read: a document indexed
// without detection has none.
py::object language_key(py::handle engine, py::handle doc) {
    if (!wr::truthy(engine.attr("supported_languages"))) return engine.attr("model_main");
    py::object key = doc.attr("detected_language").attr("value");
    py::object target = doc.attr("translate_to");
    // A translated document is filed under the language it was translated into.
    if (wr::truthy(target)) key = target.attr("value");
    return key;
}

// Files one document in memory; true when it was added. An id already listed
// under its key and an empty text add nothing.
bool file_document(py::handle engine, py::handle key, py::handle doc) {
    if (!wr::truthy(doc)) return false;
    {
        py::object names = engine.attr("document_names");
        if (wr::contains(names, key) && wr::contains(names[key], doc.attr("id"))) return false;
    }
    py::object text = doc.attr("text");
    if (!wr::truthy(text)) return false;

    engine.attr("load_model")();
    py::object models = engine.attr("multilang_models");
    py::object names = engine.attr("document_names");
    py::object embedded = engine.attr("embedded_documents");
    if (!wr::contains(models, key)) {
        models[key] = model_for_key(engine, key);
        names[key] = py::list();
        embedded[key] = py::list();
    }
    // The embedding first: a document whose embedding fails must not leave
    // its id behind, or every later name would pair with the wrong score.
    py::object embedding =
        models[key].attr("encode")(text, py::arg("convert_to_tensor") = true);
    py::object id = doc.attr("id");
    names[key].attr("append")(id);
    embedded[key].attr("append")(embedding);
    return true;
}

void train_model(py::object engine, py::object doc) {
    py::object key = language_key(engine, doc);
    file_document(engine, key, doc);
    engine.attr("save_model")();
}

// Files every document as train_model would, one after the other, but
// writes the state once at the end instead of once per document: the write
// rewrites every embedding and grows with the index, so it dominates a
// large import. The documents are embedded one at a time because a batched
// encode does not give bit-identical embeddings. If one document fails, the
// documents filed before it are saved (as single calls would have left
// them) and its error propagates.
py::int_ train_batch(py::object engine, py::object docs) {
    std::size_t seen = 0, filed = 0;
    try {
        for (py::handle doc : docs) {
            ++seen;
            py::object key = language_key(engine, doc);
            if (file_document(engine, key, doc)) ++filed;
        }
    } catch (py::error_already_set& e) {
        if (filed > 0) {
            try {
                engine.attr("save_model")();
            } catch (py::error_already_set& save_error) {
                // The document's own failure is the one reported; this one
                // is logged so that it is not lost.
                wr::log_error(wr::format_exc(save_error));
            }
        }
        throw;
    }
    if (seen > 0) engine.attr("save_model")();
    return py::int_(filed);
}

void save_model(py::object engine) {
    py::dict model_data;
    model_data["multilang_models"] = engine.attr("multilang_models");
    model_data["embedded_documents"] = engine.attr("embedded_documents");
    model_data["document_names"] = engine.attr("document_names");
    // A plain dump truncates the stored state first, so a failed or killed
    // write would lose the whole index: the new file replaces it whole.
    wr::replace_file_with(engine.attr("model_filename"), [&](py::handle tmp) {
        attr("joblib").attr("dump")(model_data, tmp);
    });

    py::dict dictionary;
    dictionary["document_names"] = engine.attr("document_names");
    engine.attr("save_debug_json")(dictionary, engine.attr("debug_model_filename"));
    engine.attr("is_loaded") = py::bool_(true);
}

}  // namespace

void init_training(py::handle cls) {
    wr::def_method(cls, "train_model", &train_model, py::arg("doc"));
    wr::def_method(cls, "train_batch", &train_batch, py::arg("docs"));
    wr::def_method(cls, "save_model", &save_model);
    wr::def_method(cls, "load_model", &load_model);
}

}  // namespace finderysb
