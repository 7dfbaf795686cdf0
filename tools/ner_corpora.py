"""The named-entity corpora the offline model is trained and scored on.

Each reader returns sentences as (words, spaces, tags): the words, whether a
blank follows each in the running text, and IOB2 tags over PER, LOC, ORG and
MISC, mapped from the corpus's own labels as its SOURCES.md proposes. Labels
with no counterpart (dates, values, laws) become O.

Where a corpus keeps the sentence as written (Universal NER's "# text ="
line), the blanks come from it, so "Al-Zaman" is trained as one string and
not as "Al - Zaman"; elsewhere every word is followed by a blank.

Standard library only: set-up imports this before spaCy is installed.
"""

from __future__ import annotations

import io
import json
import random
import re
import zipfile
from pathlib import Path

Sentence = tuple[list[str], list[bool], list[str]]

LABELS = ("PER", "LOC", "ORG", "MISC")

# Portuguese corpora in Universal Dependencies' tokenisation write "do" as
# "de o"; the model reads text as people write it, so the pairs are joined
# again. Only pairs that Portuguese always contracts: "de um" and "em um" are
# also written apart, and the split form cannot tell which the text had.
PT_CONTRACTIONS = {
    ("de", "o"): "do", ("de", "a"): "da", ("de", "os"): "dos", ("de", "as"): "das",
    ("em", "o"): "no", ("em", "a"): "na", ("em", "os"): "nos", ("em", "as"): "nas",
    ("a", "o"): "ao", ("a", "os"): "aos", ("a", "a"): "à", ("a", "as"): "às",
    ("por", "o"): "pelo", ("por", "a"): "pela", ("por", "os"): "pelos", ("por", "as"): "pelas",
    ("de", "ele"): "dele", ("de", "ela"): "dela", ("de", "eles"): "deles", ("de", "elas"): "delas",
    ("em", "ele"): "nele", ("em", "ela"): "nela", ("em", "eles"): "neles", ("em", "elas"): "nelas",
    ("de", "este"): "deste", ("de", "esta"): "desta", ("de", "estes"): "destes",
    ("de", "estas"): "destas", ("de", "isto"): "disto",
    ("em", "este"): "neste", ("em", "esta"): "nesta", ("em", "estes"): "nestes",
    ("em", "estas"): "nestas", ("em", "isto"): "nisto",
    ("de", "esse"): "desse", ("de", "essa"): "dessa", ("de", "esses"): "desses",
    ("de", "essas"): "dessas", ("de", "isso"): "disso",
    ("em", "esse"): "nesse", ("em", "essa"): "nessa", ("em", "esses"): "nesses",
    ("em", "essas"): "nessas", ("em", "isso"): "nisso",
    ("de", "aquele"): "daquele", ("de", "aquela"): "daquela", ("de", "aqueles"): "daqueles",
    ("de", "aquelas"): "daquelas", ("de", "aquilo"): "daquilo",
    ("em", "aquele"): "naquele", ("em", "aquela"): "naquela", ("em", "aqueles"): "naqueles",
    ("em", "aquelas"): "naquelas", ("em", "aquilo"): "naquilo",
    ("a", "aquele"): "àquele", ("a", "aquela"): "àquela", ("a", "aqueles"): "àqueles",
    ("a", "aquelas"): "àquelas", ("a", "aquilo"): "àquilo",
}


def repair_iob(tags: list[str]) -> list[str]:
    """Turn an I- tag that continues no entity of its type into B-.

    Several corpora have a few of these (and IOB1 files are made of them);
    spaCy would accept them, but silently guessing is worse than stating the
    rule once.
    """
    fixed, prev = [], "O"
    for tag in tags:
        if tag.startswith("I-") and prev[2:] != tag[2:]:
            tag = "B-" + tag[2:]
        fixed.append(tag)
        prev = tag
    return fixed


def map_tags(tags: list[str], mapping: dict[str, str | None]) -> list[str]:
    """Each tag's type through mapping (None or absent: O), as valid IOB2."""
    out = []
    for tag in tags:
        if tag == "O" or "-" not in tag:
            out.append("O")
            continue
        prefix, kind = tag.split("-", 1)
        label = mapping.get(kind)
        out.append(f"{prefix}-{label}" if label else "O")
    return repair_iob(out)


def decode(raw: bytes) -> str:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:  # CoNLL-2002's original distribution is Latin-1
        return raw.decode("latin-1")


def read_columns(text: str, word_col: int = 0, tag_col: int = -1, sep: str | None = None,
                 comments: bool = False):
    """Blank-line separated sentences of one token a line: (words, tags, text
    line or None). Comment lines start with '#' when comments is set."""
    sentences, words, tags, said = [], [], [], None
    for line in io.StringIO(text):
        line = line.rstrip("\r\n")
        if comments and line.startswith("#"):
            if line.startswith("# text = "):
                said = line[len("# text = "):]
            continue
        fields = line.split(sep) if sep else line.split()
        if not line.strip() or fields[0] == "-DOCSTART-":
            if words:
                sentences.append((words, tags, said))
            words, tags, said = [], [], None
            continue
        word = fields[word_col].strip()
        if not word or any(c.isspace() for c in word):  # the tweets have a few blanks as words
            continue
        words.append(word)
        tags.append(fields[tag_col] if len(fields) > 1 else "O")
    if words:
        sentences.append((words, tags, said))
    return sentences


def spaces_from(words: list[str], said: str | None) -> list[bool]:
    """Whether a blank follows each word in the sentence as written; every
    word is followed by one where the words cannot be found in it in order."""
    if not said:
        return [True] * len(words)
    spaces, at = [], 0
    for word in words:
        found = said.find(word, at)
        if found < 0 or said[at:found].strip():
            return [True] * len(words)
        at = found + len(word)
        spaces.append(at < len(said) and said[at].isspace())
    if spaces:
        spaces[-1] = True
    return spaces


def join_contractions(sentence: Sentence) -> Sentence:
    words, spaces, tags = sentence
    out_w, out_s, out_t = [], [], []
    i = 0
    while i < len(words):
        if i + 1 < len(words):
            joined = PT_CONTRACTIONS.get((words[i].lower(), words[i + 1].lower()))
            second = tags[i + 1]
            # Only inside one stretch: both outside entities, or the second
            # word continuing the first word's entity.
            same = second == "O" and tags[i] == "O" or (
                second.startswith("I-") and tags[i] != "O" and tags[i][2:] == second[2:])
            if joined and same:
                if words[i].isupper() and words[i + 1].isupper() and len(words[i]) > 1:
                    joined = joined.upper()
                elif words[i][:1].isupper():
                    joined = joined[:1].upper() + joined[1:]
                out_w.append(joined)
                out_s.append(spaces[i + 1])
                out_t.append(tags[i])
                i += 2
                continue
        out_w.append(words[i])
        out_s.append(spaces[i])
        out_t.append(tags[i])
        i += 1
    return out_w, out_s, out_t


# --- one reader per format ----------------------------------------------------

UNER = {"PER": "PER", "LOC": "LOC", "ORG": "ORG"}
# The early English train file also marks OTH (nationalities, products,
# events), which the final release dropped; the nearest of our labels is MISC.
UNER_EARLY = {**UNER, "OTH": "MISC"}
BTC = {"PER": "PER", "LOC": "LOC", "ORG": "ORG"}
WNUT17 = {"person": "PER", "location": "LOC", "corporation": "ORG", "group": "ORG",
          "product": "MISC", "creative-work": "MISC"}
HAREM = {"PESSOA": "PER", "LOCAL": "LOC", "ORGANIZACAO": "ORG", "OBRA": "MISC",
         "ACONTECIMENTO": "MISC", "ABSTRACCAO": "MISC", "COISA": "MISC", "OUTRO": "MISC"}
# Left out of gold and never counted against a prediction over them.
HAREM_IGNORED = {"TEMPO", "VALOR"}
LENER = {"PESSOA": "PER", "LOCAL": "LOC", "ORGANIZACAO": "ORG"}
IDENTITY = {label: label for label in LABELS}


def read_uner(text: str, mapping=UNER, portuguese: bool = False) -> list[Sentence]:
    out = []
    for words, tags, said in read_columns(text, word_col=1, tag_col=2, sep="\t", comments=True):
        sentence = (words, spaces_from(words, said), map_tags(tags, mapping))
        out.append(join_contractions(sentence) if portuguese else sentence)
    return out


def read_conll(text: str, mapping=IDENTITY, sep: str | None = None) -> list[Sentence]:
    """token TAG lines (the tag last); IOB1 is read as IOB2 (repair_iob)."""
    return [(words, [True] * len(words), map_tags(tags, mapping))
            for words, tags, _ in read_columns(text, sep=sep)]


def read_harem_json(text: str) -> list[dict]:
    """HAREM documents as {"text", "ents": [(start, end, label)], "ignored":
    [(start, end)]}; spans trimmed of surrounding blanks."""
    docs = []
    for doc in json.loads(text):
        body = doc["doc_text"]
        ents, ignored = [], []
        for ent in doc["entities"]:
            start, end = ent["start_offset"], ent["end_offset"]
            while start < end and body[start].isspace():
                start += 1
            while end > start and body[end - 1].isspace():
                end -= 1
            if start == end:
                continue
            if ent["label"] in HAREM_IGNORED:
                ignored.append((start, end))
            elif ent["label"] in HAREM:
                ents.append((start, end, HAREM[ent["label"]]))
        docs.append({"text": body, "ents": sorted(ents), "ignored": sorted(ignored)})
    return docs


# --- the sets -----------------------------------------------------------------

# name -> (language, files, reader). The training sets are those whose licence
# lets anyone use what is trained on them (tools/fetch_corpora.py lists their
# public addresses and digests).
TRAINING = {
    "uner-en": ("en", ("en_ewt-ud-train.EARLY-0c7ce0d.iob2", "en_ewt-ud-dev.iob2"),
                lambda t, name: read_uner(t, UNER_EARLY if "EARLY" in name else UNER)),
    "btc": ("en", ("a.conll", "b.conll", "e.conll", "f.conll", "g.conll", "h.conll"),
            lambda t, name: read_conll(t, BTC, sep="\t")),
    "wnut17": ("en", ("wnut17train.conll", "emerging.dev.conll"),
               lambda t, name: read_conll(t, WNUT17, sep="\t")),
    "uner-pt": ("pt", ("pt_bosque-ud-train.iob2", "pt_bosque-ud-dev.iob2"),
                lambda t, name: read_uner(t, UNER, portuguese=True)),
    "lener-br": ("pt", ("train.conll", "dev.conll"),
                 lambda t, name: read_conll(t, LENER)),
}


def read_set(folder: Path, name: str) -> list[Sentence]:
    """Every sentence of one training set kept under folder/name."""
    _, files, reader = TRAINING[name]
    out = []
    for file in files:
        out.extend(reader(decode((folder / name / file).read_bytes()), file))
    return out


def read_conll2002(corpus: Path, member: str) -> list[Sentence]:
    """One Spanish split (esp.train, esp.testa, esp.testb) from the nltk zip."""
    with zipfile.ZipFile(corpus) as zf:
        names = {Path(n).name: n for n in zf.namelist()}
        return read_conll(decode(zf.read(names[member])))


def read_wikigold(path: Path) -> list[Sentence]:
    return read_conll(decode(path.read_bytes()))


def read_miniharem(path: Path) -> list[dict]:
    return read_harem_json(decode(path.read_bytes()))


# --- augmentation -------------------------------------------------------------

# Sentence starts are where the model meets capitalised words that are not
# names ("His", "After", "Mas"): outside news headlines, most corpora here
# start sentences with a name or a lower-case word far more often than a
# reader's documents do. A copy of some sentences with a capitalised common
# word put in front, tagged O, teaches that a capital alone makes no name.
OPENERS = {
    "en": "The This That These Those His Her Its Their Our My Your If When While After Before "
          "Such However Although Because Since Then Thus Also But And Or So Yet In On At For "
          "From With By As Of To Many Some Most Each Every All Both Other Another There Here "
          "What Which Who How Why Where January February March April May June July August "
          "September October November December Monday Friday Sunday Today Yesterday He She "
          "They We It I You One First Last Next New".split(),
    "pt": "O A Os As Um Uma Este Esta Esse Essa Isso Aquele Seu Sua Seus Suas Nosso Nossa "
          "Mas E Ou Se Quando Enquanto Depois Antes Então Porém Também Como Porque Assim Ainda "
          "Já Não Para Por Com Em No Na Do Da Ao Pelo Muitos Alguns Cada Todos Outro Outra Aqui "
          "Ali Onde Que Quem Qual Janeiro Fevereiro Março Abril Maio Junho Julho Agosto "
          "Setembro Outubro Novembro Dezembro Hoje Ontem Ele Ela Eles Nós Eu Primeiro Último "
          "Novo Nova".split(),
    "es": "El La Los Las Un Una Este Esta Ese Esa Eso Aquel Su Sus Nuestro Nuestra Pero Y O Si "
          "Cuando Mientras Después Antes Entonces Sin Aunque Porque Como Así Además También Ya "
          "No Para Por Con En Del Al Según Durante Desde Hasta Entre Sobre Tras Muchos Algunos "
          "Cada Todos Otro Otra Aquí Allí Donde Que Quien Cual Enero Febrero Marzo Abril Mayo "
          "Junio Julio Agosto Septiembre Octubre Noviembre Diciembre Lunes Viernes Domingo Hoy "
          "Ayer Él Ella Ellos Nosotros Yo Primero Último Nuevo Nueva".split(),
}


def with_openers(sentences: list[Sentence], languages, share: float,
                 rng: random.Random) -> list[Sentence]:
    """Copies of a share of the sentences, each with a capitalised common word
    of one of languages in front (its first word lower-cased when that word
    was outside an entity); the originals are kept."""
    if isinstance(languages, str):
        languages = (languages,)
    words_for = [w for language in languages for w in OPENERS.get(language, ())]
    if not words_for or share <= 0:
        return []
    out = []
    for words, spaces, tags in sentences:
        if rng.random() >= share or not words:
            continue
        first = words[0]
        if tags[0] == "O" and first[:1].isupper() and not first.isupper():
            first = first[:1].lower() + first[1:]
        out.append(([rng.choice(words_for), first, *words[1:]], [True, *spaces],
                    ["O", *tags]))
    return out


def mostly_upper(words: list[str]) -> bool:
    letters = [w for w in words if any(c.isalpha() for c in w)]
    return bool(letters) and sum(w.isupper() for w in letters) > len(letters) / 2


def sentence_text(words: list[str], spaces: list[bool]) -> str:
    return "".join(w + (" " if s else "") for w, s in zip(words, spaces)).rstrip()


_BLANKS = re.compile(r"\s+")


def gold_spans(words: list[str], spaces: list[bool], tags: list[str]):
    """(start, end, label) character spans of the entities in sentence_text."""
    spans, at, open_ = [], 0, None
    for word, space, tag in zip(words, spaces, repair_iob(tags)):
        if open_ and not tag.startswith("I-"):
            spans.append(tuple(open_))
            open_ = None
        if tag.startswith("B-"):
            open_ = [at, at + len(word), tag[2:]]
        elif tag.startswith("I-") and open_:
            open_[1] = at + len(word)
        at += len(word) + (1 if space else 0)
    if open_:
        spans.append(tuple(open_))
    return spans


def with_names(sentences: list[Sentence], names: dict[str, list[str]], share: float,
               rng: random.Random) -> list[Sentence]:
    """Copies of a share of the sentences that name something, each name
    swapped for one drawn from names (label -> names) of its label; a name
    whose label has no list is kept."""
    if share <= 0:
        return []
    out = []
    for words, spaces, tags in sentences:
        if all(t == "O" for t in tags) or rng.random() >= share:
            continue
        new_w, new_s, new_t = [], [], []
        i = 0
        while i < len(words):
            tag = tags[i]
            if tag == "O":
                new_w.append(words[i])
                new_s.append(spaces[i])
                new_t.append(tag)
                i += 1
                continue
            label = tag[2:]
            end = i + 1
            while end < len(words) and tags[end] == "I-" + label:
                end += 1
            pool = names.get(label)
            if pool:
                parts = rng.choice(pool).split()
                new_w.extend(parts)
                new_s.extend([True] * (len(parts) - 1) + [spaces[end - 1]])
                new_t.extend(["B-" + label] + ["I-" + label] * (len(parts) - 1))
            else:
                new_w.extend(words[i:end])
                new_s.extend(spaces[i:end])
                new_t.extend(tags[i:end])
            i = end
        out.append((new_w, new_s, new_t))
    return out


def with_demonyms_as_misc(sentences: list[Sentence], words: set[str]) -> list[Sentence]:
    """The sentences with each capitalised nationality, people or language
    word ("German", "Jews") that stands alone outside a longer name tagged
    MISC, as the public model's convention has it: the English sets tag
    them MISC, O or LOC by turns."""
    out = []
    for w, s, tags in sentences:
        tags = list(tags)
        for i, word in enumerate(w):
            if word not in words:
                continue
            alone = (tags[i] == "O" or tags[i].startswith("B-")) and (
                i + 1 == len(w) or not tags[i + 1].startswith("I-"))
            if alone and tags[i] in ("O", "B-LOC", "B-MISC"):
                tags[i] = "B-MISC"
        out.append((w, s, tags))
    return out
