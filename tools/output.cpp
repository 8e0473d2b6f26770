#include "output.h"

#include <algorithm>
#include <cstdio>

namespace tool {

Value Value::Bool(bool b) {
    Value v;
    v.type_ = Type::Bool;
    v.bool_ = b;
    return v;
}
Value Value::Int(int64_t n) {
    Value v;
    v.type_ = Type::Int;
    v.int_ = n;
    return v;
}
Value Value::Text(std::string s) {
    Value v;
    v.type_ = Type::Text;
    v.text_ = std::move(s);
    return v;
}
Value Value::List() {
    Value v;
    v.type_ = Type::List;
    return v;
}
Value Value::Object() {
    Value v;
    v.type_ = Type::Object;
    return v;
}

Value &Value::Push(Value v) {
    items_.push_back(std::move(v));
    return items_.back();
}

Value &Value::Set(const std::string &key, Value v) {
    for (auto &field : fields_)
        if (field.first == key) return field.second = std::move(v);
    fields_.emplace_back(key, std::move(v));
    return fields_.back().second;
}

std::string JsonQuote(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string Value::ToJson() const {
    switch (type_) {
    case Type::Null: return "null";
    case Type::Bool: return bool_ ? "true" : "false";
    case Type::Int: return std::to_string(int_);
    case Type::Text: return JsonQuote(text_);
    case Type::List: {
        std::string out = "[";
        for (size_t i = 0; i < items_.size(); ++i) out += (i ? "," : "") + items_[i].ToJson();
        return out + "]";
    }
    case Type::Object: {
        std::string out = "{";
        for (size_t i = 0; i < fields_.size(); ++i)
            out += (i ? "," : "") + JsonQuote(fields_[i].first) + ":" + fields_[i].second.ToJson();
        return out + "}";
    }
    }
    return "null";
}

namespace {

std::string Words(const std::string &key) {
    std::string out = key;
    std::replace(out.begin(), out.end(), '_', ' ');
    return out;
}

std::string Scalar(const Value &v) {
    switch (v.type()) {
    case Value::Type::Null: return "-";
    case Value::Type::Bool: return v.AsBool() ? "yes" : "no";
    case Value::Type::Int: return std::to_string(v.AsInt());
    case Value::Type::Text: return v.AsText();
    case Value::Type::List: {
        std::string out;
        for (size_t i = 0; i < v.Items().size(); ++i) out += (i ? ", " : "") + Scalar(v.Items()[i]);
        return out.empty() ? "(none)" : out;
    }
    case Value::Type::Object: {
        std::string out;
        for (const auto &f : v.Fields()) out += (out.empty() ? "" : ", ") + Words(f.first) + " " + Scalar(f.second);
        return out;
    }
    }
    return "";
}

bool IsTable(const Value &v) {
    return v.type() == Value::Type::List && !v.Items().empty() &&
           v.Items().front().type() == Value::Type::Object;
}

}  // namespace

std::string ToTable(const Value &rows) {
    if (!IsTable(rows)) return "(none)\n";
    std::vector<std::string> header;
    for (const auto &f : rows.Items().front().Fields()) header.push_back(Words(f.first));
    std::vector<std::vector<std::string>> cells;
    for (const Value &row : rows.Items()) {
        std::vector<std::string> line;
        for (const auto &f : row.Fields()) line.push_back(Scalar(f.second));
        line.resize(header.size());
        cells.push_back(line);
    }
    std::vector<size_t> width(header.size());
    for (size_t c = 0; c < header.size(); ++c) {
        width[c] = header[c].size();
        for (const auto &line : cells) width[c] = std::max(width[c], line[c].size());
    }
    auto format = [&](const std::vector<std::string> &line) {
        std::string out;
        for (size_t c = 0; c < line.size(); ++c) {
            out += line[c];
            if (c + 1 < line.size()) out += std::string(width[c] - line[c].size() + 2, ' ');
        }
        return out + "\n";
    };
    std::string out = format(header);
    for (const auto &line : cells) out += format(line);
    return out;
}

std::string ToText(const Value &object) {
    if (object.type() != Value::Type::Object) return Scalar(object) + "\n";
    size_t width = 0;
    for (const auto &f : object.Fields())
        if (!IsTable(f.second)) width = std::max(width, f.first.size());
    std::string out, tables;
    for (const auto &f : object.Fields()) {
        if (IsTable(f.second)) {
            tables += "\n" + Words(f.first) + ":\n" + ToTable(f.second);
        } else {
            out += Words(f.first) + ":" + std::string(width - f.first.size() + 1, ' ') + Scalar(f.second) + "\n";
        }
    }
    return out + tables;
}

std::string HexBytes(const uint8_t *bytes, size_t n, const char *separator) {
    std::string out;
    char hex[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        if (i) out += separator;
        out += hex;
    }
    return out;
}

}  // namespace tool
