// The module-wide error: any subsystem's error, or a plain I/O error.
#pragma once

#include <string>
#include <variant>

#include "bsim4/error.h"
#include "common/io.h"
#include "lut/error.h"
#include "ngspice/error.h"
#include "psf/error.h"

namespace morva {

struct Error {
    std::variant<NgspiceError, bsim4::Bsim4Error, psf::PsfError, lut::LutError, IoError> value;

    Error(NgspiceError e) : value(std::move(e)) {}
    Error(bsim4::Bsim4Error e) : value(std::move(e)) {}
    Error(psf::PsfError e) : value(std::move(e)) {}
    Error(lut::LutError e) : value(std::move(e)) {}
    Error(IoError e) : value(std::move(e)) {}

    std::string text() const {
        return std::visit([](const auto& e) { return e.text(); }, value);
    }
};

}  // namespace morva
