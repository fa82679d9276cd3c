// A small JSON value for the command line's machine-readable output.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zarnsim {

class Json {
public:
    Json() : kind_(Kind::Null) {}
    Json(bool value) : kind_(Kind::Bool), bool_(value) {}
    Json(int value) : kind_(Kind::Number), number_(value) {}
    Json(unsigned value) : kind_(Kind::Number), number_(value) {}
    Json(int64_t value) : kind_(Kind::Number), number_(value) {}
    Json(uint64_t value) : kind_(Kind::Number), number_(static_cast<int64_t>(value)) {}
    Json(double value) : kind_(Kind::Real), real_(value) {}
    Json(const char* text) : kind_(Kind::String), text_(text) {}
    Json(std::string text) : kind_(Kind::String), text_(std::move(text)) {}

    static Json Object() {
        Json json;
        json.kind_ = Kind::Object;
        return json;
    }
    static Json Array() {
        Json json;
        json.kind_ = Kind::Array;
        return json;
    }

    Json& Set(const std::string& key, Json value);
    Json& Push(Json value);
    // The member of an object, or null.
    Json Get(const std::string& key) const;
    std::string Dump() const;

private:
    enum class Kind { Null, Bool, Number, Real, String, Object, Array };
    void DumpTo(std::string& out) const;

    Kind kind_;
    bool bool_ = false;
    int64_t number_ = 0;
    double real_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> items_;
};

std::string QuoteJson(const std::string& text);

}  // namespace zarnsim
