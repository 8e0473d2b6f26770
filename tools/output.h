// What a command reports: one ordered value tree, printed either as JSON
// (--json) or as aligned "label: value" lines and tables for a person.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tool {

class Value {
public:
    enum class Type { Null, Bool, Int, Text, List, Object };

    Value() = default;
    static Value Bool(bool b);
    static Value Int(int64_t n);
    static Value Text(std::string s);
    static Value List();
    static Value Object();
    template <typename T>
    static Value IntList(const T &values) {
        Value list = List();
        for (auto v : values) list.Push(Int(static_cast<int64_t>(v)));
        return list;
    }

    Type type() const { return type_; }
    bool AsBool() const { return bool_; }
    int64_t AsInt() const { return int_; }
    const std::string &AsText() const { return text_; }
    const std::vector<Value> &Items() const { return items_; }
    const std::vector<std::pair<std::string, Value>> &Fields() const { return fields_; }

    Value &Push(Value v);                         // list
    Value &Set(const std::string &key, Value v);  // object: replaces or appends

    std::string ToJson() const;

private:
    Type type_ = Type::Null;
    bool bool_ = false;
    int64_t int_ = 0;
    std::string text_;
    std::vector<Value> items_;
    std::vector<std::pair<std::string, Value>> fields_;
};

// Object keys are snake_case; the text form turns them into words.
std::string ToText(const Value &object);
// A list of objects as a column-aligned table (header from the first row's keys).
std::string ToTable(const Value &rows);

std::string HexBytes(const uint8_t *bytes, size_t n, const char *separator = " ");
std::string JsonQuote(const std::string &s);

}  // namespace tool
