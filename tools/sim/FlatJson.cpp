#include "FlatJson.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace Orvane::Sim {
namespace {

class JsonCursor {
public:
    explicit JsonCursor(std::string_view text) : text_(text) {}

    void Space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                      text_[at_] == '\r' || text_[at_] == '\t')) {
            ++at_;
        }
    }
    bool Eat(char c) {
        Space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Peek(char c) {
        Space();
        return at_ < text_.size() && text_[at_] == c;
    }
    bool AtEnd() {
        Space();
        return at_ == text_.size();
    }

    // A string without its quotes; escapes are kept as they are (names never have any).
    bool String(std::string& out) {
        if (!Eat('"')) {
            return false;
        }
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] != '"') {
            at_ += text_[at_] == '\\' ? 2 : 1;
        }
        if (at_ >= text_.size()) {
            return false;
        }
        out.assign(text_.substr(start, at_ - start));
        ++at_;
        return true;
    }

    bool Word(std::string_view word) {
        Space();
        if (text_.substr(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    // A number, true, false or null.
    bool Scalar(double& out) {
        if (Word("true")) {
            out = 1.0;
            return true;
        }
        if (Word("false")) {
            out = 0.0;
            return true;
        }
        if (Word("null")) {
            out = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        Space();
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string_view("+-0123456789.eE").find(text_[at_]) != std::string_view::npos) {
            ++at_;
        }
        const std::string token(text_.substr(start, at_ - start));
        char* end = nullptr;
        out = std::strtod(token.c_str(), &end);
        return !token.empty() && end == token.c_str() + token.size();
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

bool Value(JsonCursor& c, std::vector<double>& out) {
    out.clear();
    if (c.Peek('"')) {
        std::string skipped;
        return c.String(skipped);
    }
    if (!c.Eat('[')) {
        double v = 0;
        if (!c.Scalar(v)) {
            return false;
        }
        out.push_back(v);
        return true;
    }
    if (c.Eat(']')) {
        return true;
    }
    do {
        double v = 0;
        if (!c.Scalar(v)) {
            return false;
        }
        out.push_back(v);
    } while (c.Eat(','));
    return c.Eat(']');
}

}  // namespace

bool ParseFlatJson(std::string_view text, FlatJson& out) {
    out.clear();
    JsonCursor c(text);
    if (!c.Eat('{')) {
        return false;
    }
    if (c.Eat('}')) {
        return c.AtEnd();
    }
    do {
        std::string name;
        std::vector<double> values;
        if (!c.String(name) || !c.Eat(':') || !Value(c, values)) {
            return false;
        }
        out[std::move(name)] = std::move(values);
    } while (c.Eat(','));
    return c.Eat('}') && c.AtEnd();
}

}  // namespace Orvane::Sim
