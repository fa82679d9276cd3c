#include "json.h"

#include <cstdio>

namespace zarnsim {

Json& Json::Set(const std::string& key, Json value) {
    for (auto& member : members_) {
        if (member.first == key) {
            member.second = std::move(value);
            return *this;
        }
    }
    members_.emplace_back(key, std::move(value));
    return *this;
}

Json Json::Get(const std::string& key) const {
    for (const auto& member : members_) {
        if (member.first == key) return member.second;
    }
    return Json();
}

Json& Json::Push(Json value) {
    items_.push_back(std::move(value));
    return *this;
}

std::string Json::Dump() const {
    std::string out;
    DumpTo(out);
    return out;
}

std::string QuoteJson(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}

void Json::DumpTo(std::string& out) const {
    switch (kind_) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += bool_ ? "true" : "false"; break;
    case Kind::Number: out += std::to_string(number_); break;
    case Kind::Real: {
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", real_);
        out += text;
        break;
    }
    case Kind::String: out += QuoteJson(text_); break;
    case Kind::Object: {
        out += "{";
        for (size_t i = 0; i < members_.size(); ++i) {
            if (i) out += ", ";
            out += QuoteJson(members_[i].first) + ": ";
            members_[i].second.DumpTo(out);
        }
        out += "}";
        break;
    }
    case Kind::Array: {
        out += "[";
        for (size_t i = 0; i < items_.size(); ++i) {
            if (i) out += ", ";
            items_[i].DumpTo(out);
        }
        out += "]";
        break;
    }
    }
}

}  // namespace zarnsim
