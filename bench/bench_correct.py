"""Query correction on a 30,000-term vocabulary: difflib.get_close_matches
(n=1) against our correct_query, per query word, with the same answers.

Ours is timed three ways: as search uses it (the vocabulary of a fitted
vectoriser, prepared once and kept while that vectoriser lives), called with
a plain list (the vocabulary is prepared on every call, the cost a one-off
caller pays), and with a plain list holding a whole query of many words.

    python bench/bench_correct.py
"""

import difflib
import random
import statistics
import tempfile
import time

from sklearn.feature_extraction.text import TfidfVectorizer

from td_corpus import Corpus
from wrapper.core import FinderyTD as td_module
from wrapper.core.FinderyTD import FinderyTD
from wrapper.infra.Idiomark import Idiomark


def per_word(fn, words):
    times = []
    for w in words:
        start = time.perf_counter()
        fn(w)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    corpus = Corpus(seed=3)
    rng = random.Random(3)
    terms = sorted(set(corpus.words))
    terms = [t for t in terms if len(t) > 1 and t.isalnum()]
    vocabulary = rng.sample(terms, 30_000)
    words = [corpus.misspell(w) for w in rng.sample(vocabulary, 160)] + rng.sample(terms, 40)
    rng.shuffle(words)

    with tempfile.TemporaryDirectory() as models:
        engine = FinderyTD(models)
        engine.is_loaded = True
        engine.tfidf_vectorizer = TfidfVectorizer().fit([" ".join(vocabulary)])
        engine.tfidf_matrix = engine.tfidf_vectorizer.transform([" ".join(vocabulary)])
        engine.document_names, engine.detected_languages = ["all"], {"all": "en"}
        assert len(engine.tfidf_vectorizer.vocabulary_) == 30_000
        # Search hands correct_query the vocabulary it prepared; keep it.
        seen = []
        method = FinderyTD.correct_query
        engine.correct_query = lambda q, c, cut: seen.append(c) or method(engine, q, c, cut)
        td_module.preprocess_text_for_stemmetization = lambda text, lang: ([text], text)
        start = time.perf_counter()
        engine.search_documents(words[0], Idiomark.ENGLISH)
        prepare = time.perf_counter() - start
        prepared = seen[0]
        del engine.correct_query

        print(f"vocabulary {len(vocabulary)} terms, {len(words)} query words; "
              f"preparing it for search took {1e3 * prepare:.0f} ms once")
        print(f"{'cutoff':>6} {'difflib ms':>11} {'search path ms':>15} {'x':>6} {'list ms':>9} {'x':>6}"
              f" {'list, 200-word query ms/word':>29} {'x':>6}")
        for cutoff in (0.6, 0.8, 0.9):
            sample = words[:30]  # difflib takes tens of ms a word
            slow = per_word(lambda w: difflib.get_close_matches(w, vocabulary, n=1, cutoff=cutoff), sample)
            fast = per_word(lambda w: engine.correct_query(w, prepared, cutoff), words)
            listed = per_word(lambda w: engine.correct_query(w, vocabulary, cutoff), sample)
            start = time.perf_counter()
            whole = engine.correct_query(" ".join(words), vocabulary, cutoff)
            batch = (time.perf_counter() - start) / len(words)

            expected = [(difflib.get_close_matches(w, vocabulary, n=1, cutoff=cutoff) or [w])[0] for w in sample]
            assert [engine.correct_query(w, prepared, cutoff) for w in sample] == expected
            assert whole.split()[: len(sample)] == expected
            print(f"{cutoff:6.1f} {1e3 * slow:11.2f} {1e3 * fast:15.3f} {slow / fast:5.0f}x {1e3 * listed:9.2f}"
                  f" {slow / listed:5.1f}x {1e3 * batch:29.3f} {slow / batch:5.0f}x")


if __name__ == "__main__":
    main()
