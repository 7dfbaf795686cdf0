// Filing, replacing and removing documents, and the stored state behind them.
#include <cstddef>
#include <vector>

#include "finderysb.hpp"
#include "modelstore.hpp"
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

// Reads the stored state into the engine object; false when there is none.
bool read_stored(py::handle engine) {
    py::object filename = engine.attr("model_filename");
    if (!wr::truthy(attr("os").attr("path").attr("exists")(filename))) return false;
    py::object opened = wr::open_stored(filename);
    py::object loaded_model_data = attr("joblib").attr("load")(filename);
    if (!wr::truthy(loaded_model_data)) return false;
    engine.attr("embedded_documents") = loaded_model_data[py::str("embedded_documents")];
    engine.attr("document_names") = loaded_model_data[py::str("document_names")];
    engine.attr("multilang_models") = loaded_model_data[py::str("multilang_models")];
    read_lists(engine, opened);
    wr::remember_stored(engine, opened);
    return true;
}

py::object load_model(py::object engine) {
    py::object is_loaded = engine.attr("is_loaded");
    if (wr::truthy(is_loaded)) return is_loaded;

    if (!read_stored(engine)) {
        wr::StoreChange change(engine, engine.attr("model_filename"));
        // Another engine object may have created it while this one waited:
        // saving a fresh state now would drop what that one filed.
        if (!read_stored(engine)) {
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
    }
    engine.attr("is_loaded") = py::bool_(true);
    return engine.attr("is_loaded");
}

// Under the directory's lock: if another engine object (in this process or
// another) replaced the stored state since this one read or wrote it, the
// in-memory state is stale and would overwrite that writer's documents, so it
// is read again. Without another writer nothing changes.
void reread_if_replaced(py::object engine, const wr::StoreChange& change) {
    if (!wr::truthy(engine.attr("is_loaded")) || !change.replaced()) return;
    wr::log_info({"sb--stored state replaced by another writer; reading it again"});
    engine.attr("is_loaded") = py::bool_(false);
    engine.attr("multilang_models") = py::dict();
    engine.attr("embedded_documents") = py::dict();
    engine.attr("document_names") = py::dict();
    wr::forget_stored(engine);
    engine.attr("load_model")();
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

// Which of the documents of the last training call were filed: the facade
// keeps pages for those alone.
constexpr const char* kFiled = "_filed";

void train_model(py::object engine, py::object doc) {
    engine.attr(kFiled) = py::list();
    py::object key = language_key(engine, doc);
    wr::StoreChange change(engine, engine.attr("model_filename"));
    reread_if_replaced(engine, change);
    const bool filed = file_document(engine, key, doc);
    engine.attr("save_model")();
    if (filed) engine.attr(kFiled) = py::make_tuple(doc);
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
    py::list filed_docs;
    engine.attr(kFiled) = filed_docs;
    wr::StoreChange change(engine, engine.attr("model_filename"));
    reread_if_replaced(engine, change);
    try {
        for (py::handle doc : docs) {
            ++seen;
            py::object key = language_key(engine, doc);
            if (file_document(engine, key, doc)) {
                ++filed;
                filed_docs.append(doc);
            }
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
    // write would lose the whole index: the new file replaces it whole. An
    // explicit save writes this object's state even over another writer's.
    wr::StoreChange change(engine, engine.attr("model_filename"));
    change.write([&](py::handle tmp) { attr("joblib").attr("dump")(model_data, tmp); });
    write_lists(engine);

    py::dict dictionary;
    dictionary["document_names"] = engine.attr("document_names");
    engine.attr("save_debug_json")(dictionary, engine.attr("debug_model_filename"));
    engine.attr("is_loaded") = py::bool_(true);
}

// Replaces the embedding of each document whose id is filed and files the
// others at the end of their key's list, leaving what filing every document
// afresh, in the resulting order, would leave: a document under the same key
// keeps its place, one whose key changed (its language, say) moves to the
// end of the new key's list. Documents without text are passed over as
// train_model passes them over; a later document of the same id wins. Every
// embedding is computed before anything changes, so a document that fails
// to embed changes nothing; the embeddings are computed one at a time, as
// train_model computes them, because a batched encode differs in the last
// bits.
py::int_ update_documents(py::object engine, py::iterable docs) {
    struct Copy {
        py::object id, key, text, embedding;
    };
    std::vector<Copy> copies;
    for (py::handle doc : docs) {
        if (!wr::truthy(doc) || !wr::truthy(doc.attr("text"))) continue;
        copies.push_back({doc.attr("id"), language_key(engine, doc), doc.attr("text"), {}});
    }
    if (copies.empty()) return py::int_(0);

    wr::StoreChange change(engine, engine.attr("model_filename"));
    reread_if_replaced(engine, change);
    engine.attr("load_model")();
    py::object models = engine.attr("multilang_models");
    py::dict new_models;  // made for keys the index has not seen yet
    for (Copy& copy : copies) {
        py::object model;
        if (wr::contains(models, copy.key)) {
            model = models[copy.key];
        } else {
            if (!wr::contains(new_models, copy.key))
                new_models[copy.key] = model_for_key(engine, copy.key);
            model = new_models[copy.key];
        }
        copy.embedding = model.attr("encode")(copy.text, py::arg("convert_to_tensor") = true);
    }

    py::object names = engine.attr("document_names");
    py::object embedded = engine.attr("embedded_documents");
    for (auto item : new_models) {
        models[item.first] = item.second;
        names[item.first] = py::list();
        embedded[item.first] = py::list();
    }
    // Where each filed id is: id -> [(key, position)]. An id may be filed
    // under more than one key by an index that followed a changed language
    // with train_model; every copy but the replaced one goes.
    py::dict where;
    for (py::handle key : py::list(names)) {
        std::size_t position = 0;
        for (py::handle id : names[key]) {
            if (!wr::contains(where, id)) where[id] = py::list();
            where[id].attr("append")(py::make_tuple(key, position++));
        }
    }
    py::dict dropped;  // key -> set of positions to leave out
    for (const Copy& copy : copies) {
        bool replaced = false;
        if (wr::contains(where, copy.id)) {
            for (py::handle place : where[copy.id]) {
                py::object key = place[py::int_(0)], position = place[py::int_(1)];
                if (!replaced && key.equal(copy.key)) {
                    embedded[key][position] = copy.embedding;
                    replaced = true;
                    continue;
                }
                if (!wr::contains(dropped, key)) dropped[key] = py::set();
                dropped[key].attr("add")(position);
            }
        }
        if (replaced) continue;
        py::list place;
        place.append(py::make_tuple(copy.key, py::len(names[copy.key])));
        where[copy.id] = place;
        names[copy.key].attr("append")(copy.id);
        embedded[copy.key].attr("append")(copy.embedding);
    }
    for (auto item : dropped) {
        py::list kept_names, kept_embedded;
        py::object key_names = names[item.first], key_embedded = embedded[item.first];
        const std::size_t n = py::len(key_names);
        for (std::size_t i = 0; i < n; ++i) {
            if (wr::contains(item.second, py::int_(i))) continue;
            kept_names.append(key_names[py::int_(i)]);
            kept_embedded.append(key_embedded[py::int_(i)]);
        }
        names[item.first] = kept_names;
        embedded[item.first] = kept_embedded;
    }
    engine.attr("save_model")();
    return py::int_(copies.size());
}

// Removes the documents of these ids under every key; unknown ids are passed
// over. Keys stay, with their models, even when their lists empty.
py::int_ remove_documents(py::object engine, py::object ids) {
    py::set gone = wr::removal_ids(ids);
    if (gone.empty()) return py::int_(0);

    wr::StoreChange change(engine, engine.attr("model_filename"));
    reread_if_replaced(engine, change);
    engine.attr("load_model")();
    py::object names = engine.attr("document_names");
    py::object embedded = engine.attr("embedded_documents");
    std::size_t removed = 0;
    for (py::handle key : py::list(names)) {
        py::object key_names = names[key], key_embedded = embedded[key];
        py::list kept_names, kept_embedded;
        const std::size_t n = py::len(key_names);
        for (std::size_t i = 0; i < n; ++i) {
            py::object id = key_names[py::int_(i)];
            if (wr::contains(gone, id)) continue;
            kept_names.append(id);
            kept_embedded.append(key_embedded[py::int_(i)]);
        }
        if (py::len(kept_names) == n) continue;
        removed += n - py::len(kept_names);
        names[key] = kept_names;
        embedded[key] = kept_embedded;
    }
    if (removed > 0) engine.attr("save_model")();
    return py::int_(removed);
}

}  // namespace

void init_training(py::handle cls) {
    wr::def_method(cls, "train_model", &train_model, py::arg("doc"));
    wr::def_method(cls, "train_batch", &train_batch, py::arg("docs"));
    wr::def_method(cls, "update_documents", &update_documents, py::arg("docs"));
    wr::def_method(cls, "remove_documents", &remove_documents, py::arg("ids"));
    wr::def_method(cls, "save_model", &save_model);
    wr::def_method(cls, "load_model", &load_model);
}

}  // namespace finderysb
