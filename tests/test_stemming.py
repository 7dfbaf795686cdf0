"""The C++ stemming pipeline against nltk: the Snowball stemmers word for
word, whole texts through both pipelines, the host's replacements of nltk's
functions, nltk's data found where nltk finds it, and nltk left unimported."""

import pathlib
import random
import subprocess
import sys
import textwrap
import zipfile
from concurrent.futures import ThreadPoolExecutor

import pytest
from nltk.corpus import stopwords
from nltk.stem import SnowballStemmer
from nltk.tokenize import word_tokenize

from conftest import corpus_zip
from wrapper.infra import Wordwash
from wrapper.infra.Idiomark import Idiomark

LANGUAGES = {Idiomark.ENGLISH: "english", Idiomark.SPANISH: "spanish", Idiomark.PORTUGUESE: "portuguese"}

# Debian's word lists; where one is not installed, the words of a corpus of
# the same language stand in.
WORD_LISTS = {
    "english": (["american-english"], ("brown.zip", "brown/c")),
    "spanish": (["spanish"], ("cess_esp.zip", "cess_esp/")),
    "portuguese": (["portuguese", "brazilian"], ("floresta.zip", "floresta/")),
}


def listed_words(language):
    names, (corpus, prefix) = WORD_LISTS[language]
    files = [pathlib.Path("/usr/share/dict", n) for n in names]
    if all(f.is_file() for f in files):
        return sorted({w for f in files for w in f.read_text(encoding="utf-8", errors="replace").split()})
    words = set()
    with zipfile.ZipFile(corpus_zip(corpus)) as z:
        for name in z.namelist():
            if name.startswith(prefix) and not name.endswith("/"):
                text = z.read(name).decode("utf-8", errors="replace")
                words.update(t.split("/")[0] for t in text.split())
    return sorted(words)


def reference(text, language=None):
    """The pipeline as nltk's calls make it, from Python."""
    text = Wordwash.normalize_text(text)
    if language:
        name = LANGUAGES[language]
        stop = stopwords.words(name)
        stemmer = SnowballStemmer(name)
        words = [stemmer.stem(w) for w in word_tokenize(text, language=name) if w.lower() not in stop]
    else:
        words = text.split()
    if not words:
        raise Exception("it doesn't have tokens for text: " + text)
    return words, " ".join(words)


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - the error is the result compared
        return type(e), str(e)


# ---- the stemmers, word for word ---------------------------------------------------


class TestStemmersEqualNltk:
    @pytest.mark.parametrize("language", ["english", "spanish", "portuguese"])
    def test_every_listed_word(self, language):
        stem = SnowballStemmer(language).stem
        wrong = [(w, Wordwash._snowball_stem(w, language), stem(w))
                 for w in listed_words(language) if Wordwash._snowball_stem(w, language) != stem(w)]
        assert wrong == []

    @pytest.mark.parametrize("language, words_of", [
        (a, b) for a in ("english", "spanish", "portuguese")
        for b in ("english", "spanish", "portuguese") if a != b])
    def test_other_languages_words(self, language, words_of):
        stem = SnowballStemmer(language).stem
        words = listed_words(words_of)[::7]
        assert [Wordwash._snowball_stem(w, language) for w in words] == [stem(w) for w in words]

    # Letters and endings that steer the algorithms into their rarer
    # branches: regions replaced shorter than the suffix, "y" between
    # vowels, tildes spelt "a~", apostrophes, and letters of no stemmer.
    LETTERS = "aeiouyYbcdfglmnrstvwxzqkhp'\u2019\u2018\u201bçãõüáéíóúâêôÇÃÕÜÁÉ_09ΣσİıßÅ"
    ENDINGS = ("ational tional enci anci izer bli alli entli ousli ization ation ator alism iveness "
               "fulness ousness aliti iviti biliti logi ogi li icate ative alize iciti ical ful ness "
               "al ance ence er ic able ible ant ement ment ent ion ism ate iti ous ive ize eed eedly "
               "ed edly ing ingly sses ied ies s us ss 's' 's ' amente mente idades idade ivo iva "
               "aciones ución logía encia yendo ando ar ándo selas lo ira iras ação ções ões gue cie "
               "ível ável iremos íamos eza ç").split()

    @pytest.mark.parametrize("seed", range(3))
    @pytest.mark.parametrize("language", ["english", "spanish", "portuguese"])
    def test_generated_words(self, language, seed):
        rng = random.Random(seed)
        stemmer = SnowballStemmer(language)
        stem = stemmer.stem
        # Every suffix of every step, as nltk lists them (in its Portuguese
        # form, "ã" spelt "a~"), besides the endings above: a step that
        # looked at too few of its suffixes would miss the rarer ones.
        steps = [getattr(stemmer.stemmer, n) for n in dir(stemmer.stemmer) if n.endswith("_suffixes")]
        endings = list(self.ENDINGS) + [x.replace("a~", "ã").replace("o~", "õ") for step in steps for x in step]
        for _ in range(20000):
            word = "".join(rng.choice(self.LETTERS) for _ in range(rng.randint(0, 7)))
            if rng.random() < 0.7:
                word += rng.choice(endings)
            if rng.random() < 0.3:
                word = rng.choice(["gener", "commun", "arsen", "y", "qu"]) + word
            if rng.random() < 0.2:
                word = word.upper()
            assert Wordwash._snowball_stem(word, language) == stem(word), word

    @pytest.mark.parametrize("word, language, stem", [
        ("skies", "english", "sky"), ("generously", "english", "generous"),
        ("proceeding", "english", "proceed"),
        ("ΣΟΦΙΑΣ", "english", "\u03c3\u03bf\u03c6\u03b9\u03b1\u03c2"),  # a final sigma
        ("cães", "portuguese", "cã"), ("correndo", "portuguese", "corr"),
        ("rápidamente", "spanish", "rapid"),
    ])
    def test_examples(self, word, language, stem):
        assert Wordwash._snowball_stem(word, language) == stem == SnowballStemmer(language).stem(word)

    def test_unknown_language(self):
        with pytest.raises(ValueError):
            Wordwash._snowball_stem("word", "french")


# ---- whole texts through both pipelines -------------------------------------------

# Runs that tokenising, lower-casing or normalising treat specially.
SPECIAL = [
    "cannot", "CANNOT", "CanNot", "gimme", "gımme", "GİMME", "gonna", "Gonna", "gotta", "lemme",
    "wanna", "wanna_", "cannot2", "xcannot", "can't", "won't", "'tis", "d'ye", "more'n",
    "ΣΟΦΙΑΣ", "ΣΑ", "Σ", "οδΣ", "Σ_", "Москва", "東京", "١٢٣", "x²", "Ⅻ", "_", "__init__", "İstanbul",
    "straße", "ÅNGSTRÖM", "...", "?!", "«quoted»", "“x”", "e-mail", "3.88", "1,000", "U.S.A.",
    "Mr. Smith.", "the", "The", "THE", "and", "y", "é", "está", "não", "\t", "\n", "\u00a0",
    "\u3000", "\x1c", "\u2028", "",
]


@pytest.fixture(scope="module")
def vocabulary():
    return [w for language in LANGUAGES.values() for w in listed_words(language)[::97]]


@pytest.mark.parametrize("seed", range(4))
def test_generated_texts_equal_nltk(vocabulary, seed):
    rng = random.Random(seed)
    for _ in range(400):
        parts = []
        for _ in range(rng.randint(0, 25)):
            word = rng.choice(SPECIAL) if rng.random() < 0.3 else rng.choice(vocabulary)
            if rng.random() < 0.2:
                word = word.upper()
            if rng.random() < 0.1:
                word += str(rng.randint(0, 99))
            parts += [word, rng.choice([" ", " ", "  ", ", ", ". ", "\n", "-", "!", "\t"])]
        text = "".join(parts)
        for language in [None, *LANGUAGES]:
            assert outcome(Wordwash.preprocess_text_for_stemmetization, text, language) == \
                outcome(reference, text, language), (text, language)


@pytest.mark.parametrize("text, language, words", [
    ("I cannot, we gonna", Idiomark.ENGLISH, ["gon", "na"]),     # can, not, I, we: stopwords
    ("Lemme GIMME", Idiomark.ENGLISH, ["lem", "gim"]),           # me: a stopword
    ("gımme", Idiomark.SPANISH, ["gım"]),                  # the dotless i matches "i"; "me" a stopword
    ("xcannot cannotx", Idiomark.ENGLISH, ["xcannot", "cannotx"]),
    ("ΟΔΟΣ Σ", Idiomark.ENGLISH, ["\u03bf\u03b4\u03bf\u03c2", "\u03c3"]),  # final sigma by context
])
def test_tokens_that_split_or_lower_specially(text, language, words):
    assert Wordwash.preprocess_text_for_stemmetization(text, language)[0] == words == reference(text, language)[0]


def test_long_texts_in_threads_equal_nltk(vocabulary):
    # Past the size where the GIL is let go: several threads at once.
    rng = random.Random(5)
    texts = [" ".join(rng.choice(vocabulary + SPECIAL) for _ in range(4000)) for _ in range(4)]
    jobs = [(t, lang) for t in texts for lang in LANGUAGES]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda job: Wordwash.preprocess_text_for_stemmetization(*job), jobs))
    assert got == [reference(*job) for job in jobs]


# ---- a host's replacements of nltk's functions ---------------------------------------


class Shouting:
    """A stemmer of the host's: upper-cases."""

    def __init__(self, language):
        self.language = language

    def stem(self, word):
        return word.upper()


@pytest.mark.parametrize("name, value, expected", [
    ("SnowballStemmer", Shouting, ["CATS", "RUNNING"]),
    ("word_tokenize", lambda text, language: text.split()[::-1], ["run", "cat"]),
    ("stopwords", type("Lists", (), {"words": staticmethod(lambda name: ["cats"])})(), ["the", "run"]),
])
def test_a_replaced_function_is_called(monkeypatch, name, value, expected):
    text = "the cats running"
    # Other modules watch the names listed here for a replacement.
    assert name in Wordwash._nltk_names
    monkeypatch.setattr(Wordwash, name, value)
    assert Wordwash.preprocess_text_for_stemmetization(text, Idiomark.ENGLISH)[0] == expected
    monkeypatch.undo()
    assert Wordwash.preprocess_text_for_stemmetization(text, Idiomark.ENGLISH) == reference(text, Idiomark.ENGLISH)


def test_nltk_names_are_nltks():
    import nltk.corpus
    import nltk.stem
    import nltk.tokenize

    assert Wordwash.stopwords is nltk.corpus.stopwords
    assert Wordwash.word_tokenize is nltk.tokenize.word_tokenize
    assert Wordwash.sent_tokenize is nltk.tokenize.sent_tokenize
    assert Wordwash.SnowballStemmer is nltk.stem.SnowballStemmer
    assert Wordwash.RSLPStemmer is nltk.stem.RSLPStemmer
    assert Wordwash.WordNetLemmatizer is nltk.stem.WordNetLemmatizer
    with pytest.raises(AttributeError, match="no attribute 'nothing_here'"):
        Wordwash.nothing_here  # noqa: B018


# ---- nltk's data and nltk's import, in fresh interpreters -------------------------


def run_python(code, env=None):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("module", [
    "wrapper.infra.Wordwash", "wrapper.core.FinderyTD", "wrapper.infra.Tonguecheck",
    "wrapper.infra.Pagewring", "wrapper.Console",
])
def test_importing_leaves_nltk_unloaded(module):
    out = run_python(f"""
        import sys, importlib
        importlib.import_module({module!r})
        from wrapper.infra import Wordwash
        from wrapper.infra.Idiomark import Idiomark
        print(Wordwash.preprocess_text_for_stemmetization("The cats are running", Idiomark.ENGLISH)[1])
        print("nltk" in sys.modules)
        Wordwash.stopwords  # loads nltk now
        print("nltk" in sys.modules)
        print("googletrans" in sys.modules)  # likewise loaded when translating
    """)
    assert out.split("\n")[:4] == ["cat run", "False", "True", "False"]


def stopword_tree(root, words):
    (root / "corpora" / "stopwords").mkdir(parents=True)
    (root / "corpora" / "stopwords" / "english").write_text("\n".join(words) + "\n", encoding="utf-8")
    punkt = root / "tokenizers" / "punkt_tab" / "english"
    punkt.mkdir(parents=True)
    for name in ("collocations.tab", "sent_starters.txt", "abbrev_types.txt", "ortho_context.tab"):
        (punkt / name).write_text("", encoding="utf-8")
    return root


@pytest.mark.parametrize("with_nltk", [False, True])
def test_stopwords_read_where_nltk_finds_them(tmp_path, with_nltk):
    # NLTK_DATA comes first in nltk's search; with nltk loaded, its path.
    data = stopword_tree(tmp_path / "data", ["cats", "  ", "Running"])
    env = {**__import__("os").environ, "NLTK_DATA": str(data)}
    out = run_python(f"""
        import sys
        if {with_nltk}:
            import nltk.corpus
        from wrapper.infra import Wordwash
        from wrapper.infra.Idiomark import Idiomark
        print(Wordwash.preprocess_text_for_stemmetization("the cats running Running", Idiomark.ENGLISH)[1])
        from nltk.corpus import stopwords
        print(stopwords.words("english"))
    """, env)
    assert out.split("\n")[:2] == ["the run run", "['cats', 'Running']"]


def test_data_moved_away_by_the_host(tmp_path):
    # nltk.data.path changed before the corpus loaded: nltk's own error.
    stopword_tree(tmp_path / "other", ["cats"])
    out = run_python(f"""
        import nltk.data
        from wrapper.infra import Wordwash
        from wrapper.infra.Idiomark import Idiomark
        nltk.data.path[:] = [{str(tmp_path / "other")!r}]
        print(Wordwash.preprocess_text_for_stemmetization("the cats running", Idiomark.ENGLISH)[1])
        nltk.data.path[:] = [{str(tmp_path / "nowhere")!r}]
        try:
            Wordwash.preprocess_text_for_stemmetization("cats", Idiomark.SPANISH)
        except LookupError as e:
            print("LookupError", "punkt_tab" in str(e) or "stopwords" in str(e))
    """)
    assert out.split("\n")[:2] == ["the run", "LookupError True"]


# ---- sentences of texts that Punkt cannot break ---------------------------------------


@pytest.mark.parametrize("seed", range(2))
def test_sentences_equal_nltk(vocabulary, seed):
    # Without ".", "?" or "!" the text is answered without nltk; with them,
    # nltk answers. Either way the sentences are nltk's.
    from nltk.tokenize import sent_tokenize

    rng = random.Random(seed)
    gaps = [" ", "  ", "\n", "\t", "\u00a0", ", ", "; ", "\u3000", ". ", "? ", "!"]
    for _ in range(300):
        text = "".join(rng.choice(vocabulary + SPECIAL) + rng.choice(gaps[: 8 if rng.random() < 0.7 else 11])
                       for _ in range(rng.randint(0, 12)))
        for language in LANGUAGES:
            assert Wordwash.extract_sentences(text, language) == sent_tokenize(text, LANGUAGES[language]), text


def test_sentences_through_a_replaced_tokenizer(monkeypatch):
    monkeypatch.setattr(Wordwash, "sent_tokenize", lambda text, language: [language])
    assert Wordwash.extract_sentences("no stop here", Idiomark.SPANISH) == ["spanish"]


# ---- the ranked search's terms of single words ------------------------------------------


CODES = {"english": "en", "spanish": "es", "portuguese": "pt"}


@pytest.mark.parametrize("language", ["english", "spanish", "portuguese"])
def test_ranked_search_terms_equal_nltk(language):
    from wrapper.core import FinderyTD as td_module

    stop = stopwords.words(language)
    stem = SnowballStemmer(language).stem
    words = listed_words(language)[::211] + ["ΟΔΟΣ", "İstanbul", "Straße", "THE", "cannot", "x2_y"]
    for word in words:
        expected = "" if word.lower() in stop else stem(word).lower()
        assert td_module._term_of(word, CODES[language]) == expected, word
        assert td_module._stem_word(word, CODES[language]) == stem(word).lower(), word


def test_ranked_search_terms_follow_each_replacement_and_restoration(monkeypatch):
    # Whether Wordwash is as shipped is remembered between searches: each
    # replacement, and each return to nltk's own, must still be seen.
    from wrapper.core import FinderyTD as td_module

    only_sleeping = type("Lists", (), {"words": staticmethod(lambda name: ["sleeping"])})()
    for _ in range(2):
        for name, value, expected in [("SnowballStemmer", Shouting, "sleeping"), ("stopwords", only_sleeping, "")]:
            monkeypatch.setattr(Wordwash, name, value)
            assert td_module._term_of("Sleeping", "en") == expected, name
            monkeypatch.undo()
            assert td_module._term_of("Sleeping", "en") == "sleep", name


def test_ranked_search_terms_through_a_replaced_stemmer(monkeypatch):
    from wrapper.core import FinderyTD as td_module

    monkeypatch.setattr(Wordwash, "SnowballStemmer", Shouting)
    assert td_module._term_of("Sleeping", "en") == "sleeping"
    assert td_module._stem_word("Sleeping", "en") == "sleeping"
    monkeypatch.undo()
    assert td_module._term_of("Sleeping", "en") == "sleep"
