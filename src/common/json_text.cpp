#include "common/json_text.h"

namespace morva::json {

void append_string(std::string& out, std::string_view text, StringStyle style) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t plain = 0;  // start of the run copied as is
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool special = c < 0x20 || c == '"' || c == '\\' || (style.script_safe && c == '<');
        if (!special) continue;
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        switch (c) {
            case '"': out.append("\\\""); continue;
            case '\\': out.append("\\\\"); continue;
            case '\t': out.append("\\t"); continue;
            case '\n': out.append("\\n"); continue;
            case '\r': out.append("\\r"); continue;
            case '\b':
                if (style.short_backspace_formfeed) {
                    out.append("\\b");
                    continue;
                }
                break;
            case '\f':
                if (style.short_backspace_formfeed) {
                    out.append("\\f");
                    continue;
                }
                break;
            case '<':
                if (text.substr(i + 1, 1) == "/") {
                    out.append("<\\/");
                    ++i;
                    plain = i + 1;
                } else if (text.substr(i + 1, 3) == "!--") {
                    out.append("\\u003c");
                } else {
                    out.push_back('<');
                }
                continue;
            default: break;
        }
        out.append("\\u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    out.append(text.substr(plain));
    out.push_back('"');
}

std::string string(std::string_view text, StringStyle style) {
    std::string out;
    out.reserve(text.size() + 2);
    append_string(out, text, style);
    return out;
}

}  // namespace morva::json
