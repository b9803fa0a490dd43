// JSON string literals as the subsystems write them by hand (protocol
// frames, cache keys, viewer pages and responses).
#pragma once

#include <string>
#include <string_view>

namespace morva::json {

struct StringStyle {
    // U+0008 and U+000C as \b and \f; otherwise as \u0008 and \u000c.
    bool short_backspace_formfeed = true;
    // Safe inside an HTML <script> element: "</" becomes "<\/" and "<!--"
    // becomes "\u003c!--", so that text from a file can neither close the
    // element nor switch the HTML tokenizer into its escaped script states.
    bool script_safe = false;
};

// Appends the JSON string literal for `text`, quotes included: `"` and `\`
// escaped, tab, line feed and carriage return as \t \n \r, other control
// characters below U+0020 as \u00xx (lower-case hex); everything else
// (U+007F, `/`, non-ASCII bytes) copied as is.
void append_string(std::string& out, std::string_view text, StringStyle style = {});
std::string string(std::string_view text, StringStyle style = {});

}  // namespace morva::json
