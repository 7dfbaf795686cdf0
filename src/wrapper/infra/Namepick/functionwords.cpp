#include "functionwords.hpp"

#include <string>
#include <unordered_set>

namespace namepick {

namespace {

// A recogniser trained on text where capitals mostly mean names takes the
// capital of a sentence's first word, or of a month, for one ("His", "Mas",
// "June"). Words that can also be names on their own ("Estado", "Will",
// "Bush") are not here: dropping a right answer costs as much as keeping a
// wrong one.
constexpr const char* kWords[] = {
    // English
    "a", "an", "the", "this", "that", "these", "those", "his", "her", "hers", "its", "their",
    "theirs", "our", "ours", "my", "mine", "your", "yours", "he", "she", "it", "they", "we", "i",
    "you", "me", "him", "us", "them", "who", "whom", "whose", "which", "what", "when", "where",
    "why", "how", "if", "then", "than", "though", "although", "because", "since", "while",
    "after", "before", "during", "until", "unless", "whether", "as", "at", "by", "for", "from",
    "in", "into", "of", "off", "on", "onto", "out", "over", "per", "to", "under", "up", "upon",
    "via", "with", "within", "without", "about", "above", "across", "against", "along",
    "among", "around", "behind", "below", "beside", "besides", "between", "beyond", "and",
    "or", "nor", "but", "so", "yet", "also", "both", "either", "neither", "each", "every",
    "all", "any", "some", "many", "much", "more", "most", "few", "several", "such", "no",
    "not", "none", "other", "another", "only", "just", "even", "still", "already", "again",
    "ever", "never", "always", "often", "here", "there", "now", "today", "yesterday",
    "tomorrow", "however", "therefore", "thus", "hence", "moreover", "furthermore",
    "meanwhile", "otherwise", "instead", "indeed", "perhaps", "maybe", "yes", "once", "is",
    "are", "was", "were", "be", "been", "being", "am", "do", "does", "did", "have", "has",
    "had", "would", "shall", "should", "could", "might", "must", "let", "one", "two", "three",
    "four", "five", "six", "seven", "eight", "nine", "ten", "january", "february", "march",
    "april", "may", "june", "july", "august", "september", "october", "november", "december",
    "monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday",
    // Spanish
    "el", "la", "los", "las", "lo", "un", "una", "unos", "unas", "este", "esta", "estos",
    "estas", "esto", "ese", "esa", "esos", "esas", "eso", "aquel", "aquella", "aquellos",
    "aquellas", "aquello", "su", "sus", "mi", "mis", "tu", "tus", "nuestro", "nuestra",
    "nuestros", "nuestras", "él", "ella", "ellos", "ellas", "yo", "tú", "usted", "ustedes",
    "nosotros", "nosotras", "vosotros", "le", "les", "se", "te", "nos", "os", "que", "qué",
    "quien", "quién", "quienes", "cual", "cuál", "cuales", "cuando", "cuándo", "donde",
    "dónde", "como", "cómo", "cuanto", "cuánto", "si", "sí", "ni", "y", "e", "o", "u", "pero",
    "sino", "mas", "aunque", "porque", "pues", "entonces", "luego", "después", "antes",
    "durante", "mientras", "hasta", "desde", "hacia", "para", "por", "con", "sin", "sobre",
    "bajo", "entre", "tras", "contra", "según", "ante", "al", "del", "en", "de", "también",
    "tampoco", "además", "ya", "aún", "todavía", "muy", "más", "menos", "tan", "tanto", "todo",
    "toda", "todos", "todas", "cada", "otro", "otra", "otros", "otras", "mismo", "misma",
    "algún", "alguna", "algunos", "algunas", "ningún", "ninguna", "nada", "nadie", "algo",
    "alguien", "hoy", "ayer", "aquí", "allí", "ahí", "allá", "así", "sólo", "siempre",
    "nunca", "es", "son", "era", "eran", "fue", "fueron", "ser", "sido", "está", "están",
    "estaba", "hay", "ha", "han", "había", "habían", "tiene", "tienen", "uno", "dos", "tres",
    "cuatro", "cinco", "seis", "siete", "ocho", "nueve", "diez", "enero", "febrero", "marzo",
    "abril", "mayo", "junio", "julio", "agosto", "septiembre", "setiembre", "octubre",
    "noviembre", "diciembre", "lunes", "martes", "miércoles", "jueves", "viernes", "sábado",
    "domingo",
    // Portuguese
    "as", "um", "uma", "uns", "umas", "estes", "isto", "esse", "essa", "esses", "essas",
    "isso", "aquele", "aquela", "aqueles", "aquelas", "aquilo", "seu", "sua", "seus", "suas",
    "meu", "minha", "meus", "minhas", "teu", "tua", "nosso", "nossa", "nossos", "nossas",
    "dele", "dela", "deles", "delas", "ele", "eles", "eu", "você", "vocês", "nós", "vós",
    "lhe", "lhes", "quem", "qual", "quais", "quando", "onde", "quanto", "sim", "não", "nem",
    "mas", "porém", "contudo", "todavia", "pois", "então", "logo", "depois", "enquanto",
    "até", "pelo", "pela", "pelos", "pelas", "com", "sem", "sob", "perante", "ao", "aos", "à",
    "às", "do", "da", "dos", "das", "no", "na", "nas", "num", "numa", "em", "ainda", "já",
    "muito", "muita", "muitos", "muitas", "mais", "tão", "algum", "alguma", "alguns",
    "algumas", "nenhum", "nenhuma", "ninguém", "alguém", "hoje", "ontem", "amanhã", "aqui",
    "ali", "aí", "lá", "assim", "só", "sempre", "é", "são", "foi", "foram", "estão", "estava",
    "há", "tem", "têm", "havia", "quatro", "cinco", "sete", "oito", "nove", "dez", "janeiro",
    "fevereiro", "março", "maio", "junho", "julho", "setembro", "outubro", "novembro",
    "dezembro", "segunda-feira", "terça-feira", "quarta-feira", "quinta-feira", "sexta-feira",
    "sábado", "domingo",
};

const std::unordered_set<std::string>& words() {
    static const std::unordered_set<std::string> set(std::begin(kWords), std::end(kWords));
    return set;
}

}  // namespace

bool is_function_word(std::string_view lowered) {
    return words().count(std::string(lowered)) != 0;
}

}  // namespace namepick
