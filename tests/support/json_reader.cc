#include "support/json_reader.h"

#include <cstdlib>

namespace sorvik::test {
namespace {

const JsonValue kMissing;

class Reader {
  public:
    explicit Reader(const std::string &text) : text_(text) {}

    bool document(JsonValue *value) {
        if (!parse(value)) return false;
        space();
        return at_ == text_.size();
    }

  private:
    void space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\t' ||
                                      text_[at_] == '\r'))
            ++at_;
    }
    bool take(char c) {
        space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool word(const char *w, JsonValue *value, JsonValue::Kind kind, bool flag) {
        const std::string literal(w);
        if (text_.compare(at_, literal.size(), literal) != 0) return false;
        at_ += literal.size();
        value->kind = kind;
        value->flag = flag;
        return true;
    }
    bool string(std::string *out) {
        if (!take('"')) return false;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char e = text_[at_++];
            const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
            if (const size_t k = simple.find(e); k != std::string::npos) {
                *out += meaning[k];
            } else if (e == 'u' && at_ + 4 <= text_.size()) {
                const unsigned long code = std::strtoul(text_.substr(at_, 4).c_str(), nullptr, 16);
                at_ += 4;
                // Enough for the tests: code points below 0x800, as UTF-8.
                if (code < 0x80) {
                    *out += static_cast<char>(code);
                } else if (code < 0x800) {
                    *out += static_cast<char>(0xc0 | (code >> 6));
                    *out += static_cast<char>(0x80 | (code & 0x3f));
                } else {
                    return false;
                }
            } else {
                return false;
            }
        }
        return false;
    }
    bool parse(JsonValue *value) {
        space();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '"') {
            value->kind = JsonValue::string;
            return string(&value->text);
        }
        if (c == '[') {
            ++at_;
            value->kind = JsonValue::array;
            if (take(']')) return true;
            do {
                value->items.emplace_back();
                if (!parse(&value->items.back())) return false;
            } while (take(','));
            return take(']');
        }
        if (c == '{') {
            ++at_;
            value->kind = JsonValue::object;
            if (take('}')) return true;
            do {
                std::string name;
                if (!string(&name) || !take(':') || !parse(&value->members[name])) return false;
            } while (take(','));
            return take('}');
        }
        if (c == 't') return word("true", value, JsonValue::boolean, true);
        if (c == 'f') return word("false", value, JsonValue::boolean, false);
        if (c == 'n') return word("null", value, JsonValue::null, false);
        const char *begin = text_.c_str() + at_;
        char *end = nullptr;
        value->kind = JsonValue::number;
        value->numeric = std::strtod(begin, &end);
        if (end == begin) return false;
        at_ += static_cast<size_t>(end - begin);
        return true;
    }

    const std::string &text_;
    size_t at_ = 0;
};

}  // namespace

const JsonValue &JsonValue::operator[](const std::string &name) const {
    const auto found = members.find(name);
    return found == members.end() ? kMissing : found->second;
}

const JsonValue &JsonValue::operator[](size_t index) const { return index < items.size() ? items[index] : kMissing; }

std::optional<JsonValue> parseJson(const std::string &text) {
    JsonValue value;
    if (!Reader(text).document(&value)) return std::nullopt;
    return value;
}

}  // namespace sorvik::test
