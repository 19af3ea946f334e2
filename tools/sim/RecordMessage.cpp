#include "RecordMessage.h"

#include <cmath>
#include <utility>

namespace Orvane::Sim {
namespace {

using Json = nlohmann::json;

// Builds the object as the parser reads it; a value at the wrong depth stops the parse.
class FlatObject final : public nlohmann::json_sax<Json> {
public:
    explicit FlatObject(Json& out) : out_(out) { out_ = Json::object(); }

    bool null() override { return Put(nullptr); }
    bool boolean(bool v) override { return Put(v); }
    bool number_integer(number_integer_t v) override { return Put(v); }
    bool number_unsigned(number_unsigned_t v) override { return Put(v); }
    bool number_float(number_float_t v, const string_t&) override { return Put(v); }
    bool string(string_t& v) override { return Put(std::move(v)); }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override { return depth_++ == 0; }
    bool key(string_t& name) override {
        key_ = std::move(name);
        return true;
    }
    bool end_object() override {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        if (depth_ != 1) {
            return false;
        }
        ++depth_;
        out_[key_] = Json::array();
        return true;
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool Put(Json v) {
        if (depth_ == 1) {
            out_[key_] = std::move(v);
        } else if (depth_ == 2) {
            out_[key_].push_back(std::move(v));
        } else {
            return false;
        }
        return true;
    }

    Json& out_;
    int depth_ = 0;
    string_t key_;
};

bool Finite(const Json& value, double& out) {
    if (!value.is_number()) {
        return false;
    }
    out = value.get<double>();
    return std::isfinite(out);
}

}  // namespace

bool ReadRecordMessage(std::string_view text, Json& out) {
    FlatObject reader(out);
    return Json::sax_parse(text, &reader);
}

bool RecordNumber(const Json& message, const char* name, double& out) {
    const auto it = message.find(name);
    return it != message.end() && Finite(*it, out);
}

bool RecordNumbers(const Json& message, const char* name, double* out, std::size_t size) {
    const auto it = message.find(name);
    if (it == message.end() || !it->is_array() || it->size() != size) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (!Finite((*it)[i], out[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace Orvane::Sim
