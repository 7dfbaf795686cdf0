"""How set-up reads the named-entity corpora: labels mapped, text restored
as written, sentence-start copies, and the benchmark's placing of returned
entities in the text."""

import json
import pathlib
import random
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "bench"))
import ner_corpora as nc  # noqa: E402


@pytest.mark.parametrize("tags, mapping, expected", [
    # Unknown and dropped labels become O; what follows a dropped entity starts anew.
    (["B-OTH", "I-OTH", "B-PER", "I-PER"], nc.UNER, ["O", "O", "B-PER", "I-PER"]),
    (["B-LEGISLACAO", "I-PESSOA", "I-PESSOA", "O"], nc.LENER, ["O", "B-PER", "I-PER", "O"]),
    # IOB1: I- throughout, B- only where two of a kind touch.
    (["I-LOC", "I-LOC", "B-LOC", "O", "I-MISC"], nc.IDENTITY,
     ["B-LOC", "I-LOC", "B-LOC", "O", "B-MISC"]),
    # Two WNUT labels on one of ours stay two entities.
    (["B-group", "I-group", "B-corporation"], nc.WNUT17, ["B-ORG", "I-ORG", "B-ORG"]),
    (["B-O", "I-O", "O"], nc.UNER_EARLY, ["O", "O", "O"]),
])
def test_labels_are_mapped_to_valid_iob2(tags, mapping, expected):
    assert nc.map_tags(tags, mapping) == expected


def uner(lines, said):
    rows = [f"{i}\t{w}\t{t}" + ("\t-\tx" if t != "O" else "") for i, (w, t) in enumerate(lines, 1)]
    return "# sent_id = s1\n" + f"# text = {said}\n" + "\n".join(rows) + "\n\n"


def test_uner_sentences_keep_the_blanks_of_the_text_as_written():
    text = uner([("Al", "B-ORG"), ("-", "I-ORG"), ("Zaman", "I-ORG"), (":", "O"),
                 ("American", "B-OTH"), ("forces", "O"), (".", "O")],
                "Al-Zaman : American forces.")
    [(words, spaces, tags)] = nc.read_uner(text, nc.UNER_EARLY)
    assert nc.sentence_text(words, spaces) == "Al-Zaman : American forces."
    assert nc.gold_spans(words, spaces, tags) == [(0, 8, "ORG"), (11, 19, "MISC")]
    # A text line that does not hold the words: one blank after each.
    [(words, spaces, _)] = nc.read_uner(uner([("a", "O"), ("b", "O")], "x y"))
    assert spaces == [True, True]


@pytest.mark.parametrize("pairs, said", [
    ([("PT", "B-ORG"), ("participa", "O"), ("de", "O"), ("o", "O"), ("Governo", "O")],
     "PT participa do Governo"),
    # Inside one entity: joined, and the entity keeps its span.
    ([("Universidade", "B-ORG"), ("de", "I-ORG"), ("o", "I-ORG"), ("Porto", "I-ORG")],
     "Universidade do Porto"),
    # Capitals follow the first word.
    ([("DE", "O"), ("O", "O"), ("LADO", "O"), ("Em", "O"), ("a", "O"), ("casa", "O")],
     "DO LADO Na casa"),
    # An entity that starts at the article is left as it is; so are pairs
    # Portuguese also writes apart.
    ([("em", "O"), ("O", "B-ORG"), ("Globo", "I-ORG"), ("de", "O"), ("um", "O"), ("dia", "O")],
     "em O Globo de um dia"),
])
def test_portuguese_contractions_are_joined_again(pairs, said):
    split = " ".join(w for w, _ in pairs)
    [(words, spaces, tags)] = nc.read_uner(uner(pairs, split), portuguese=True)
    assert nc.sentence_text(words, spaces) == said
    gold = [(said[s:e], label) for s, e, label in nc.gold_spans(words, spaces, tags)]
    expected = [(" ".join(w for w, t in pairs if t != "O").replace("de o", "do"), label)
                for label in {t[2:] for _, t in pairs if t != "O"}]
    assert gold == expected


def test_harem_spans_are_trimmed_and_dates_set_aside():
    body = "Em Janeiro de 1842, Nova Iorque viu  William James ."
    def ent(text, label):
        return {"text": text, "label": label, "start_offset": body.index(text),
                "end_offset": body.index(text) + len(text)}

    doc = [{"doc_id": "d", "doc_text": body, "entities": [
        ent("Janeiro de 1842", "TEMPO"), ent("Nova Iorque ", "LOCAL"),
        ent(" William James", "PESSOA"), ent("  ", "OBRA")]}]
    [read] = nc.read_harem_json(json.dumps(doc))
    assert [(body[s:e], label) for s, e, label in read["ents"]] == [
        ("Nova Iorque", "LOC"), ("William James", "PER")]
    assert [body[s:e] for s, e in read["ignored"]] == ["Janeiro de 1842"]


def test_sentence_start_copies_put_a_common_word_before_the_sentence():
    rng = random.Random(5)
    sentences = [(["Lisboa", "é", "bonita"], [True] * 3, ["B-LOC", "O", "O"]),
                 (["Ontem", "choveu"], [True, True], ["O", "O"])] * 50
    copies = nc.with_openers(sentences, "pt", 0.5, rng)
    assert 20 < len(copies) < 80
    for words, spaces, tags in copies:
        assert words[0] in nc.OPENERS["pt"] and tags[0] == "O" and len(spaces) == len(words)
        # A name keeps its capital; a common word that started the sentence loses it.
        assert words[1:] in (["Lisboa", "é", "bonita"], ["ontem", "choveu"])
        assert tags[1:] in (["B-LOC", "O", "O"], ["O", "O"])
    assert nc.with_openers(sentences, "de", 0.5, rng) == []
    # Several languages: the words of each come in.
    mixed = nc.with_openers(sentences * 4, ("pt", "es"), 1.0, rng)
    firsts = {words[0] for words, _, _ in mixed}
    assert firsts & (set(nc.OPENERS["es"]) - set(nc.OPENERS["pt"]))
    assert firsts & (set(nc.OPENERS["pt"]) - set(nc.OPENERS["es"]))


def test_name_swapped_copies_keep_the_frame_and_the_labels():
    rng = random.Random(3)
    sentence = (["Ana", "Maria", "viu", "o", "Rio", "de", "Janeiro", "e", "a", "ONU", "."],
                [True] * 9 + [False, True],
                ["B-PER", "I-PER", "O", "O", "B-LOC", "I-LOC", "I-LOC", "O", "O", "B-ORG", "O"])
    names = {"PER": ["Fabio Elpidio Alcaraz", "Godoy"], "LOC": ["Madrid", "Nueva York"]}
    copies = nc.with_names([sentence, (["nada"], [True], ["O"])] * 20, names, 1.0, rng)
    assert len(copies) == 20  # sentences that name nothing are not copied
    seen = set()
    for words, spaces, tags in copies:
        assert len(words) == len(spaces) == len(tags) and nc.repair_iob(tags) == tags
        text = nc.sentence_text(words, spaces)
        spans = [(text[s:e], label) for s, e, label in nc.gold_spans(words, spaces, tags)]
        assert [label for _, label in spans] == ["PER", "LOC", "ORG"]
        assert spans[0][0] in names["PER"] and spans[1][0] in names["LOC"]
        # No list for ORG: the name stays, with the blank it had after it.
        assert spans[2][0] == "ONU" and text.endswith("ONU .") is False and text.endswith("ONU.")
        assert " viu o " in text and " e a " in text
        seen.add((spans[0][0], spans[1][0]))
    assert len(seen) > 1
    assert nc.with_names([sentence], names, 0.0, rng) == []


@pytest.mark.parametrize("words, tags, expected", [
    # Alone, outside a name or as a place: MISC.
    (["German", "troops", "left"], ["O", "O", "O"], ["B-MISC", "O", "O"]),
    (["the", "American", "says"], ["O", "B-LOC", "O"], ["O", "B-MISC", "O"]),
    # Part of a longer name, an organisation, or not capitalised: kept.
    (["German", "Empire"], ["B-LOC", "I-LOC"], ["B-LOC", "I-LOC"]),
    (["Royal", "Dutch"], ["B-ORG", "I-ORG"], ["B-ORG", "I-ORG"]),
    (["Dutch"], ["B-ORG"], ["B-ORG"]),
    (["german", "beer"], ["O", "O"], ["O", "O"]),
])
def test_nationality_words_alone_are_misc(words, tags, expected):
    [(_, _, got)] = nc.with_demonyms_as_misc([(words, [True] * len(words), tags)],
                                            {"German", "American", "Dutch"})
    assert got == expected


def test_returned_entities_are_placed_in_the_text_in_order():
    import bench_ner

    text = "Rio de\n  Janeiro e Rio.\n\nRio de Janeiro"
    spans = bench_ner.place(text, [("Rio de Janeiro", "LOC"), ("Rio", "LOC"),
                                   ("Paris", "LOC"), ("Rio de Janeiro", "LOC")])
    assert [(text[s:e] if s >= 0 else None) for s, e, _ in spans] == [
        "Rio de\n  Janeiro", "Rio", None, "Rio de Janeiro"]
    assert spans[2][0] < 0 and len(set(spans)) == 4


def test_model_version_names_its_spanish_source_and_digests_every_input(tmp_path, capsys):
    import install_ner_model as inm

    ner = tmp_path / "ner"
    status = inm.main([sys.executable, "--ner-dir", str(ner), "--build-dir", str(tmp_path / "b")])
    first = inm.corpus_files(ner, tmp_path / "conll2002.zip", "none")[0]
    assert status == 1
    assert capsys.readouterr().err == (f"install_ner_model: corpus file {first} is missing "
                                       "(tools/fetch_corpora.py gathers it)\n")
    for path in inm.corpus_files(ner, tmp_path / "conll2002.zip", "conll2002"):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(path.name)
    conll = tmp_path / "conll2002.zip"
    versions = {spanish: inm.recipe_version(ner, conll, spanish, "3.8.0")
                for spanish in ("none", "conll2002")}
    assert versions["none"].startswith(f"{inm.BASE_VERSION}+xl.r")
    assert versions["conll2002"].startswith(f"{inm.BASE_VERSION}+conll.r")
    # The Spanish file counts only when it is trained on; any other file always.
    conll.write_text("changed")
    assert inm.recipe_version(ner, conll, "none", "3.8.0") == versions["none"]
    assert inm.recipe_version(ner, conll, "conll2002", "3.8.0") != versions["conll2002"]
    first.write_text("changed")
    assert inm.recipe_version(ner, conll, "none", "3.8.0") != versions["none"]
    assert inm.recipe_version(ner, conll, "none", "3.8.1") != versions["none"]


def test_benchmark_scores_exact_spans_and_sets_dates_aside():
    import bench_ner

    text = "Em Março de 1842, Mas Nova Iorque viu William James e a Obra."
    at = text.index
    gold = [(at("Nova"), at("Nova") + 11, "LOC"), (at("William"), at("William") + 13, "PER"),
            (at("Obra"), at("Obra") + 4, "MISC")]
    ignored = [(at("Março"), at("Março") + 15)]
    answers = [("Março", "ORG"), ("Mas", "PER"), ("Nova Iorque", "LOC"), ("William", "PER"),
               ("Obra", "ORG")]
    table = bench_ner.score(lambda t: answers, "pt", [(text, gold, ignored)])
    # Over the date: neither right nor wrong. "William" is half a name:
    # wrong, and the whole name missed; "Obra" has the wrong label.
    assert table["all"] == bench_ner.prf(1, 3, 2)
    assert table["LOC"]["f"] == 1.0 and table["PER"] == bench_ner.prf(0, 2, 1)
    assert table["PER+LOC+ORG"] == bench_ner.prf(1, 3, 1)
    assert table["stopwords"]["count"] == 2 and table["stopwords"]["returned"] == 5


def test_word_facts_table_is_keyed_by_the_lower_case_word(tmp_path):
    import ner_names
    import spacy

    dicts = tmp_path / "dict"
    dicts.mkdir()
    (dicts / "american-english").write_text("Reading\nreading\nqwzxy\nSmith's\n")
    (dicts / "spanish").write_text("gobierno\ncasa\n")
    facts = ner_names.word_facts(dict_dir=dicts)
    column = {name: i for i, name in enumerate(ner_names.FEATURES)}
    assert {column["place_alone"], column["place"]} <= facts["madrid"]
    assert column["surname"] in facts["pérez"] and column["first_name"] in facts["maria"]
    assert column["nationality"] in facts["german"] and column["stopword"] in facts["the"]
    assert column["month_day"] in facts["janeiro"]
    # A word list's capitalised word is a name; its common words count only
    # for words that are something else too.
    assert {column["proper"], column["common_en"], column["place"]} <= facts["reading"]
    assert "qwzxy" not in facts and "smith's" not in facts

    out = tmp_path / "facts"
    rows = ner_names.feature_vectors(out)
    nlp = spacy.load(out)
    vectors = nlp.vocab.vectors
    assert vectors.shape == (rows, len(ner_names.FEATURES))
    upper, lower = nlp("MADRID madrid")
    row = vectors.find(key=upper.lower)
    assert row >= 0 and row == vectors.find(key=lower.lower)
    assert vectors.data[row, column["place_alone"]] == 1.0
    assert set(vectors.data.ravel().tolist()) == {0.0, 1.0}


@pytest.mark.parametrize("name, latin", [
    ("Madrid", True), ("São Paulo", True), ("Nueva York", True), ("madrid", False),
    ("Москва", False), ("Area 51", False), ("", False)])
def test_only_capitalised_latin_names_are_listed(name, latin):
    import ner_names

    assert ner_names.latin_name(name) is latin


def uner_file(path, sentences):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(uner(pairs, " ".join(w for w, _ in pairs)) for pairs in sentences))


def test_training_sentences_gather_names_openers_and_nationalities(tmp_path):
    import train_ner

    english = [[("German", "O"), ("troops", "O"), ("entered", "O"), (f"Town{i}", "B-LOC")]
               for i in range(450)]
    portuguese = [[("Ontem", "O"), ("Maria", "B-PER"), ("Silva", "I-PER"), ("chegou", "O")]
                  for _ in range(450)]
    for file in ("en_ewt-ud-train.EARLY-0c7ce0d.iob2", "en_ewt-ud-dev.iob2"):
        uner_file(tmp_path / "uner-en" / file, english[:225])
    for file in ("pt_bosque-ud-train.iob2", "pt_bosque-ud-dev.iob2"):
        uner_file(tmp_path / "uner-pt" / file, portuguese[:225])
    train, held, used = train_ner.gather(tmp_path, tmp_path / "none.zip", "none", 0,
                                         sets=("uner-en", "uner-pt"))
    assert len(held) == 2 * train_ner.HELD_OUT and [u["set"] for u in used] == ["uner-en",
                                                                                 "uner-pt"]
    kept = [s for s in train if s[0][0] == "German" and s[0][-1][4:].isdigit()]
    assert len(kept) == 450 - train_ner.HELD_OUT
    # Nationality words alone became MISC, in what is learnt and what is held out.
    assert all(t[0] == "B-MISC" for w, _, t in train + held if w[0] == "German")
    assert all(t[1] == "B-MISC" for w, _, t in train if w[1] == "German")
    # Name-swapped copies: the frame kept, the names new.
    swapped = [s for s in train if s[0][-1] == "chegou" and s[0][1:3] != ["Maria", "Silva"]
               and s[0][0] == "Ontem"]
    assert swapped and all(t[1] == "B-PER" and t[-1] == "O" for _, _, t in swapped)
    assert any(s[0][0] not in ("German", "Ontem") for s in train)  # opener copies

    pools = train_ner.name_pools(["pt"], 0)["pt"]
    # Portuguese frames take Spanish names too, countries more often than cities.
    assert {"Espanha", "España"} <= set(pools["LOC"])
    assert pools["LOC"].count("Espanha") > pools["LOC"].count("Araraquara") > 0
    assert any(name.isupper() and name.isalpha() for name in pools["ORG"])
