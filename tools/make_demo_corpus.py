"""Write the demonstration corpus: short documents in English, Spanish and
Portuguese, as scanned PDFs (the text only as a picture) and as PDFs with a
text layer.

    python tools/make_demo_corpus.py OUT_DIR

Eight topics, each written in the three languages; even topics become scanned
pages, odd ones text pages, so both roads through the text extraction are
shown. Pages are small so that OCR stays quick. Rewrites OUT_DIR's PDFs.
"""

from __future__ import annotations

import sys
from pathlib import Path

import fitz  # PyMuPDF

TEXTS = {
    "volcano": {
        "en": "The volcano woke up after two centuries of silence. Ash covered the villages "
              "on the northern slope and the lava flow reached the river in three days. "
              "Geologists measured the gas and the small earthquakes every hour.",
        "es": "El volcán despertó después de dos siglos de silencio. La ceniza cubrió los "
              "pueblos de la ladera norte y la colada de lava llegó al río en tres días. "
              "Los geólogos midieron el gas y los pequeños terremotos cada hora.",
        "pt": "O vulcão da ilha do Faial, nos Açores, acordou depois de dois séculos de "
              "silêncio. A cinza cobriu as aldeias da encosta norte e o fluxo de lava chegou ao "
              "rio em três dias. Os geólogos da Universidade de Lisboa mediram o gás e os "
              "pequenos terremotos a cada hora.",
    },
    "coffee": {
        "en": "Coffee farmers in the mountains pick the ripe cherries by hand. The beans are "
              "washed, dried in the sun for two weeks and roasted in small batches, which "
              "gives the harvest its sweet and fruity taste.",
        "es": "Los caficultores de la montaña recogen a mano las cerezas maduras. Los granos "
              "se lavan, se secan al sol durante dos semanas y se tuestan en pequeños lotes, "
              "lo que da a la cosecha su sabor dulce y afrutado.",
        "pt": "Os produtores de café da serra colhem à mão as cerejas maduras. Os grãos são "
              "lavados, secos ao sol durante duas semanas e torrados em pequenos lotes, o que "
              "dá à colheita o seu sabor doce e frutado.",
    },
    "football": {
        "en": "The football club won the championship in the last minute of the final match. "
              "Thousands of supporters sang in the stadium while the young striker lifted "
              "the trophy and thanked the coach.",
        "es": "El club de fútbol ganó el campeonato en el último minuto del partido final. "
              "Miles de aficionados cantaron en el estadio mientras el joven delantero "
              "levantaba el trofeo y agradecía al entrenador.",
        "pt": "O clube de futebol ganhou o campeonato no último minuto da partida final. "
              "Milhares de torcedores cantaram no estádio enquanto o jovem atacante erguia "
              "o troféu e agradecia ao treinador.",
    },
    "rainforest": {
        "en": "The rainforest holds more species of trees, birds and insects than any other "
              "place on Earth. Scientists warn that burning and illegal logging destroy a "
              "large area of the forest every year.",
        "es": "La selva tropical alberga más especies de árboles, aves e insectos que "
              "cualquier otro lugar de la Tierra. Los científicos advierten que las quemas y "
              "la tala ilegal destruyen cada año una gran área del bosque.",
        "pt": "A floresta tropical abriga mais espécies de árvores, aves e insetos do que "
              "qualquer outro lugar da Terra. Os cientistas alertam que as queimadas e o "
              "desmatamento ilegal destroem todos os anos uma grande área da floresta.",
    },
    "telescope": {
        "en": "The new space telescope of NASA photographed a distant galaxy whose light "
              "travelled for billions of years. Astronomer Maria Lopez from Chicago hopes its "
              "infrared camera will reveal how the first stars were born.",
        "es": "El nuevo telescopio espacial fotografió una galaxia lejana cuya luz viajó "
              "durante miles de millones de años. Los astrónomos esperan que su cámara "
              "infrarroja revele cómo nacieron las primeras estrellas.",
        "pt": "O novo telescópio espacial fotografou uma galáxia distante cuja luz viajou "
              "durante bilhões de anos. Os astrônomos esperam que a sua câmera infravermelha "
              "revele como nasceram as primeiras estrelas.",
    },
    "bread": {
        "en": "Baking bread at home needs only flour, water, salt and patience. The dough "
              "rests overnight, then it is shaped and baked in a very hot oven until the "
              "crust turns golden and crisp.",
        "es": "Hornear pan en casa solo necesita harina, agua, sal y paciencia. La masa "
              "reposa durante la noche, luego se le da forma y se hornea en un horno muy "
              "caliente hasta que la corteza queda dorada y crujiente.",
        "pt": "Fazer pão em casa só precisa de farinha, água, sal e paciência. A massa "
              "descansa durante a noite, depois é moldada e assada num forno muito quente "
              "até a casca ficar dourada e crocante.",
    },
    "railway": {
        "en": "The old railway line across the desert reopened with electric trains. "
              "Passengers now cross the country in six hours, and the freight wagons carry "
              "copper from the mines to the port.",
        "es": "La antigua línea de ferrocarril que cruza el desierto de Atacama reabrió con "
              "trenes eléctricos. Los pasajeros viajan ahora de Santiago a Antofagasta en seis "
              "horas y los vagones de carga llevan cobre de las minas al puerto.",
        "pt": "A antiga linha ferroviária que atravessa o deserto reabriu com trens "
              "elétricos. Os passageiros atravessam agora o país em seis horas e os vagões "
              "de carga levam cobre das minas até o porto.",
    },
    "chess": {
        "en": "The chess tournament ended with a surprising victory. The youngest player "
              "sacrificed her queen in the middle game and won with a quiet move of the "
              "knight that her opponent had not seen.",
        "es": "El torneo de ajedrez terminó con una victoria sorprendente. La jugadora más "
              "joven sacrificó su dama en el medio juego y ganó con un movimiento tranquilo "
              "del caballo que su rival no había visto.",
        "pt": "O torneio de xadrez terminou com uma vitória surpreendente. A jogadora mais "
              "jovem sacrificou a sua dama no meio do jogo e venceu com um lance tranquilo "
              "do cavalo que a adversária não tinha visto.",
    },
}

PAGE = (420, 300)  # points: a small landscape card keeps OCR quick
DPI = 200


def text_pdf(text: str) -> bytes:
    doc = fitz.open()
    page = doc.new_page(width=PAGE[0], height=PAGE[1])
    page.insert_textbox(fitz.Rect(24, 24, PAGE[0] - 24, PAGE[1] - 24), text, fontsize=13)
    data = doc.tobytes()
    doc.close()
    return data


def scanned_pdf(text: str) -> bytes:
    """The text as a picture only, the way a scanner would deliver it: the
    text page rendered to grey pixels and placed on an empty page."""
    with fitz.open(stream=text_pdf(text), filetype="pdf") as source:
        pixels = source[0].get_pixmap(dpi=DPI, colorspace=fitz.csGRAY)
    doc = fitz.open()
    page = doc.new_page(width=PAGE[0], height=PAGE[1])
    page.insert_image(page.rect, stream=pixels.tobytes("png"))
    data = doc.tobytes()
    doc.close()
    return data


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("*.pdf"):
        old.unlink()
    count = 0
    for number, (topic, versions) in enumerate(TEXTS.items()):
        scanned = number % 2 == 0
        for language, text in versions.items():
            kind = "scan" if scanned else "text"
            data = scanned_pdf(text) if scanned else text_pdf(text)
            (out / f"{language}-{topic}-{kind}.pdf").write_bytes(data)
            count += 1
    print(f"{count} documents written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
