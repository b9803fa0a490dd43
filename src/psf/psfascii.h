// PSFASCII, the text form of PSF result files: header, types, sweep
// variables, traces and every trace's values.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.h"
#include "psf/error.h"
#include "psf/file.h"
#include "psf/property.h"

namespace morva::psf {

struct AsciiTypeDef;

struct AsciiTypeKind {
    enum class Tag { Float, Complex, Int, Struct, String };
    Tag tag = Tag::Float;
    std::vector<AsciiTypeDef> members;  // Struct only
};

struct AsciiTypeDef {
    std::string name;
    std::vector<Property> properties;
    AsciiTypeKind kind;
};

struct AsciiSignalRef {
    std::string name;
    std::string type_name;  // the name of an AsciiTypeDef
    std::vector<Property> properties;
};

struct AsciiTraceGroup {
    std::string name;
    std::vector<AsciiSignalRef> members;
};

using AsciiTraceNode = std::variant<AsciiSignalRef, AsciiTraceGroup>;

struct AsciiValue {
    enum class Kind { Text, Number, Complex };
    Kind kind = Kind::Number;
    double re = 0.0;
    double im = 0.0;
    std::string text;
};

// One trace's values in reading order. Stored column-wise so that a large
// swept file costs about one double per value.
class AsciiSeries {
public:
    void push_number(double v);
    void push_complex(double re, double im);
    void push_text(std::string text);

    std::size_t size() const { return re_.size(); }
    AsciiValue at(std::size_t i) const;
    // A complex-typed trace reads as complex even before its first value.
    void mark_complex();
    bool is_complex() const { return complex_; }
    bool has_text() const { return !texts_.empty(); }
    const std::vector<double>& re() const { return re_; }
    // Imaginary parts, one per value once any value is complex (else empty).
    const std::vector<double>& im() const { return im_; }

private:
    std::vector<double> re_;
    std::vector<double> im_;                                  // filled once a complex value arrives
    std::vector<std::pair<std::size_t, std::string>> texts_;  // index, text
    std::vector<std::uint8_t> kinds_;                         // AsciiValue::Kind per value
    bool complex_ = false;
};

// A signal's samples: float64, or complex when its type is complex.
struct AsciiWave {
    std::vector<double> re;
    std::vector<double> im;  // empty unless complex
    bool complex = false;
};

struct PsfAscii {
    std::string path;
    std::vector<Property> header;
    std::vector<AsciiTypeDef> types;
    std::vector<AsciiSignalRef> sweeps;
    std::vector<AsciiTraceNode> traces;
    std::vector<double> sweep_values;
    std::map<std::string, AsciiSeries, std::less<>> values;  // ordered by name, byte-wise
    // Struct-valued signals: each member is a signal of its own, named
    // "signal.member" (nested members "signal.member.part"); the struct's
    // name maps to its members' names in order.
    std::map<std::string, std::vector<std::string>, std::less<>> structs;
    // What waveform() can read, in file order: the traces (groups and structs
    // expanded), then the values of the VALUE section no trace lists
    // (operating points, info files).
    std::vector<std::string> names;

    // Tokenizes and parses the whole text (UTF-8).
    static Result<PsfAscii, PsfError> from_str(std::string path, std::string_view text);

    std::vector<std::string_view> signal_names() const;
    // Nothing when no signal of that name holds numbers.
    std::optional<AsciiWave> waveform(std::string_view name) const;
    // The members of a struct-valued signal; nothing for any other name.
    const std::vector<std::string>* struct_members(std::string_view name) const;
    TraceStructure trace_structure() const { return count_traces(traces); }
    std::string describe() const;
};

}  // namespace morva::psf
