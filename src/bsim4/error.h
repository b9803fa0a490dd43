// The error of the BSIM4 modelling code.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/io.h"

namespace morva::bsim4 {

struct Bsim4Error {
    // KitCycle: a kit whose includes or redirects come back to a file or
    // section being read, which ngspice would follow without end; the
    // message names it ("cycle detected while ..."). Also a kit whose
    // `.param` values name each other in a circle, which ngspice refuses.
    enum class Kind { Evaluation, ModelConstruction, Io, KitCycle };

    Kind kind = Kind::Evaluation;
    std::int32_t code = 0;  // Evaluation: the evaluator's return code
    std::string message;    // ModelConstruction, KitCycle
    IoError io;             // Io

    static Bsim4Error evaluation(std::int32_t c) { return {Kind::Evaluation, c, {}, {}}; }
    static Bsim4Error model_construction(std::string m) {
        return {Kind::ModelConstruction, 0, std::move(m), {}};
    }
    static Bsim4Error from_io(IoError e) { return {Kind::Io, 0, {}, std::move(e)}; }
    static Bsim4Error kit_cycle(std::string m) { return {Kind::KitCycle, 0, std::move(m), {}}; }

    std::string text() const {
        switch (kind) {
            case Kind::Evaluation: return "BSIM4 evaluation failed (code " + std::to_string(code) + ")";
            case Kind::ModelConstruction: return "BSIM4 model construction failed: " + message;
            case Kind::Io: return "BSIM4 model-file I/O error: " + io.text();
            case Kind::KitCycle: return message;
        }
        return message;
    }
};

}  // namespace morva::bsim4
