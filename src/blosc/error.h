// The error of the Blosc decoders: what was malformed, in one line.
#pragma once

#include <string>

namespace morva::blosc {

struct BloscError {
    std::string message;

    std::string text() const { return message; }
};

}  // namespace morva::blosc
