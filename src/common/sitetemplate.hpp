// The site's templates: HTML files a designer edits, filled with values the
// site computes. The language is a small part of Mustache's:
//
//   {{name}}               the value, HTML-escaped (always: there is no raw form)
//   {{#name}}..{{/name}}   a list: once per item, the item's names first;
//                          a flag: once when true; a text: once when not empty
//   {{^name}}..{{/name}}   once when the list is empty, the flag false, the text empty
//   {{>file}}              another template of the site, filled from here
//   {{! words }}           a comment for the designer
//
// A name no value answers, a section left open or a tag misspelt is an
// error when the template is read or filled, never a blank on the page.
// Plain C++17, no Python headers.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace wr::web {

struct Value;

// The values a template (or one item of a list) is filled with.
class Fields {
public:
    Fields& set(std::string name, std::string text);
    Fields& set(std::string name, const char* text) { return set(std::move(name), std::string(text)); }
    Fields& set(std::string name, long number);
    Fields& set(std::string name, int number) { return set(std::move(name), static_cast<long>(number)); }
    Fields& flag(std::string name, bool on);
    // The list under `name`, made empty on first use; items are appended to it.
    std::vector<Fields>& list(std::string name);
    Fields& add(std::string name) { return list(std::move(name)).emplace_back(); }

    const Value* find(std::string_view name) const;

private:
    Value& slot(std::string name);
    std::vector<std::string> names_;
    std::vector<Value> values_;
};

struct Value {
    enum class Kind { Text, Flag, List } kind = Kind::Text;
    std::string text;
    bool on = false;
    std::vector<Fields> items;
};

// A fault in a template or in the values it was given.
class TemplateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Node;

// A template read once, filled many times.
class Template {
public:
    // `name` is for messages only.
    Template(std::string name, std::string_view source);
    ~Template();
    Template(Template&&) noexcept;
    Template& operator=(Template&&) noexcept;

    // `partial` finds the template a {{>file}} names (nullptr: none such).
    using Partials = std::function<const Template*(std::string_view)>;
    std::string fill(const Fields& fields, const Partials& partial = nullptr) const;
    const std::vector<Node>& nodes() const;

private:
    std::string name_;
    std::unique_ptr<std::vector<Node>> nodes_;
};

}  // namespace wr::web
