"""Texts for the term-weighting benchmarks: ~50-word documents cut from the
Brown corpus (corpora.py), in the form the engine indexes (lower case,
English stopwords dropped, Snowball stems), and misspelled queries."""

import random
import re
import zipfile

from nltk.corpus import stopwords
from nltk.stem import SnowballStemmer

from corpora import corpus_zip



def brown_words():
    """The running words of the Brown corpus, tags dropped, lower case."""
    words = []
    with zipfile.ZipFile(corpus_zip("brown")) as z:
        for name in sorted(z.namelist()):
            if re.fullmatch(r"brown/c[a-r]\d\d", name):
                text = z.read(name).decode()
                words += [w.lower() for w in re.findall(r"(\w+)/\S+", text)]
    return words


class Corpus:
    def __init__(self, seed=0):
        self.rng = random.Random(seed)
        self.words = brown_words()
        stop = set(stopwords.words("english"))
        stem = SnowballStemmer("english").stem
        # Each distinct word is stemmed once: the same stems the pipeline
        # gives, without running nltk over millions of tokens.
        self.stems = {w: ("" if w in stop else stem(w)) for w in set(self.words)}

    def raw_documents(self, n, length=50):
        """n windows of `length` running words at random places."""
        top = len(self.words) - length
        out = []
        for _ in range(n):
            at = self.rng.randrange(top)
            out.append(self.words[at : at + length])
        return out

    def cleaned(self, words):
        return " ".join(s for s in (self.stems[w] for w in words) if s)

    def documents(self, n, length=50):
        """(raw text, cleaned text) pairs."""
        return [(" ".join(ws), self.cleaned(ws)) for ws in self.raw_documents(n, length)]

    def misspell(self, word):
        if len(word) < 4:
            return word
        i = self.rng.randrange(1, len(word))
        kind = self.rng.randrange(3)
        if kind == 0:
            return word[:i] + word[i + 1 :]
        if kind == 1:
            return word[:i] + self.rng.choice("aeiou") + word[i:]
        return word[:i] + self.rng.choice("bcdfglmnprst") + word[i + 1 :]

    def queries(self, n, documents):
        """Queries of 1 to 4 content words taken from the documents, each
        word misspelled with probability one half."""
        out = []
        for _ in range(n):
            words = [w for w in self.rng.choice(documents)[0].split() if self.stems.get(w) and len(w) > 3]
            picked = self.rng.sample(words, min(len(words), self.rng.randint(1, 4))) or ["weather"]
            query = []
            for w in picked:
                typo = self.misspell(w) if self.rng.random() < 0.5 else w
                # A typo that makes a stopword would leave nothing to search.
                query.append(w if self.stems.get(typo) == "" else typo)
            out.append(" ".join(query))
        return out


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]
