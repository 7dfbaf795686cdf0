#include "sitetemplate.hpp"

#include <utility>

#include "webpage.hpp"

namespace wr::web {

// ---- values -------------------------------------------------------------------

Value& Fields::slot(std::string name) {
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == name) return values_[i];
    names_.push_back(std::move(name));
    return values_.emplace_back();
}

Fields& Fields::set(std::string name, std::string text) {
    Value& v = slot(std::move(name));
    v = Value{};
    v.text = std::move(text);
    return *this;
}

Fields& Fields::set(std::string name, long number) { return set(std::move(name), std::to_string(number)); }

Fields& Fields::flag(std::string name, bool on) {
    Value& v = slot(std::move(name));
    v = Value{};
    v.kind = Value::Kind::Flag;
    v.on = on;
    return *this;
}

std::vector<Fields>& Fields::list(std::string name) {
    Value& v = slot(std::move(name));
    if (v.kind != Value::Kind::List) {
        v = Value{};
        v.kind = Value::Kind::List;
    }
    return v.items;
}

const Value* Fields::find(std::string_view name) const {
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == name) return &values_[i];
    return nullptr;
}

// ---- reading --------------------------------------------------------------------

struct Node {
    enum class Kind { Text, Value, Section, Inverted, Partial } kind;
    std::string text;  // the literal, or the name
    std::vector<Node> children;
};

namespace {

bool name_ok(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '-' || c == '.'))
            return false;
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

std::size_t line_of(std::string_view source, std::size_t at) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < at && i < source.size(); ++i) line += source[i] == '\n';
    return line;
}

}  // namespace

Template::Template(std::string name, std::string_view source)
    : name_(std::move(name)), nodes_(std::make_unique<std::vector<Node>>()) {
    auto fault = [&](std::size_t at, const std::string& what) {
        return TemplateError(name_ + " line " + std::to_string(line_of(source, at)) + ": " + what);
    };
    // The open sections, innermost last, each with where it opened.
    std::vector<std::pair<std::vector<Node>*, std::size_t>> open{{nodes_.get(), 0}};
    std::size_t at = 0;
    while (at < source.size()) {
        const std::size_t tag = source.find("{{", at);
        std::vector<Node>& into = *open.back().first;
        if (tag != at) {
            const std::size_t end = tag == std::string_view::npos ? source.size() : tag;
            into.push_back(Node{Node::Kind::Text, std::string(source.substr(at, end - at)), {}});
            at = end;
            continue;
        }
        const std::size_t close = source.find("}}", tag + 2);
        if (close == std::string_view::npos) throw fault(tag, "a tag is not closed with }}");
        std::string_view inside = source.substr(tag + 2, close - tag - 2);
        at = close + 2;
        if (!inside.empty() && inside.front() == '!') continue;
        const char sigil = inside.empty() ? '\0' : inside.front();
        const bool marked = sigil == '#' || sigil == '^' || sigil == '/' || sigil == '>';
        const std::string_view name = trimmed(marked ? inside.substr(1) : inside);
        if (!name_ok(name))
            throw fault(tag, "not a tag: {{" + std::string(inside) + "}} (names are letters, digits, _ - .)");
        const std::string key(name);
        if (sigil == '#' || sigil == '^') {
            into.push_back(Node{sigil == '#' ? Node::Kind::Section : Node::Kind::Inverted, key, {}});
            open.emplace_back(&into.back().children, tag);
        } else if (sigil == '/') {
            if (open.size() == 1) throw fault(tag, "{{/" + key + "}} closes no section");
            open.pop_back();
            // The section node is the last one of the list below.
            const Node& section = open.back().first->back();
            if (section.text != key)
                throw fault(tag, "{{/" + key + "}} closes the section {{#" + section.text + "}}");
        } else if (sigil == '>') {
            into.push_back(Node{Node::Kind::Partial, key, {}});
        } else {
            into.push_back(Node{Node::Kind::Value, key, {}});
        }
    }
    if (open.size() > 1) {
        const Node& section = open[open.size() - 2].first->back();
        throw fault(open.back().second, "the section {{#" + section.text + "}} is not closed");
    }
}

Template::~Template() = default;
const std::vector<Node>& Template::nodes() const { return *nodes_; }
Template::Template(Template&&) noexcept = default;
Template& Template::operator=(Template&&) noexcept = default;

// ---- filling --------------------------------------------------------------------

namespace {

constexpr int kMaxDepth = 16;  // partials inside partials: a loop stops here

struct Filler {
    const std::string& name;
    const Template::Partials& partial;
    std::vector<const Fields*> scope;
    std::string out;
    int depth = 0;

    const Value& look_up(const std::string& key) const {
        for (auto f = scope.rbegin(); f != scope.rend(); ++f)
            if (const Value* v = (*f)->find(key)) return *v;
        throw TemplateError(name + ": no value for {{" + key + "}}");
    }

    void fill(const std::vector<Node>& nodes) {
        for (const Node& node : nodes) {
            switch (node.kind) {
                case Node::Kind::Text: out += node.text; break;
                case Node::Kind::Value: {
                    const Value& v = look_up(node.text);
                    if (v.kind != Value::Kind::Text)
                        throw TemplateError(name + ": {{" + node.text + "}} is a list or a flag, not a text");
                    out += escape_html(v.text);
                    break;
                }
                case Node::Kind::Section: {
                    const Value& v = look_up(node.text);
                    if (v.kind == Value::Kind::List) {
                        for (const Fields& item : v.items) {
                            scope.push_back(&item);
                            fill(node.children);
                            scope.pop_back();
                        }
                    } else if (v.kind == Value::Kind::Flag ? v.on : !v.text.empty()) {
                        fill(node.children);
                    }
                    break;
                }
                case Node::Kind::Inverted: {
                    const Value& v = look_up(node.text);
                    const bool empty = v.kind == Value::Kind::List   ? v.items.empty()
                                       : v.kind == Value::Kind::Flag ? !v.on
                                                                     : v.text.empty();
                    if (empty) fill(node.children);
                    break;
                }
                case Node::Kind::Partial: {
                    const Template* other = partial ? partial(node.text) : nullptr;
                    if (!other) throw TemplateError(name + ": no template {{>" + node.text + "}}");
                    if (++depth > kMaxDepth)
                        throw TemplateError(name + ": {{>" + node.text + "}} includes itself");
                    fill(other->nodes());
                    --depth;
                    break;
                }
            }
        }
    }
};

}  // namespace

std::string Template::fill(const Fields& fields, const Partials& partial) const {
    Filler filler{name_, partial, {&fields}, {}, 0};
    filler.fill(*nodes_);
    return std::move(filler.out);
}

}  // namespace wr::web
