// The standalone HTML strip-chart page, and the two JSON text encoders that
// every JSON text of the PSF viewer uses (string escaping, float64 form).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "psf/error.h"

// Where the browser loads plotly.js from. A macro so that the fixed viewer
// page can splice it in at compile time.
#define MORVA_PLOTLY_JS_URL "https://cdn.plot.ly/plotly-2.35.2.min.js"

namespace morva::psf::psfxl {
class NgpsfFile;
}  // namespace morva::psf::psfxl

// The viewer shows PSF results and reports through the readers' error.
namespace morva::viewer {
using psf::PsfError;
namespace psfxl = psf::psfxl;
}  // namespace morva::viewer

namespace morva::viewer::strip_chart {

// The JSON string literal for `text`, quotes included: `"` and `\` escaped,
// tab, line feed and carriage return as \t \n \r, other control characters
// below U+0020 as \u00XX; everything else (U+007F, non-ASCII) copied as is.
std::string json_string(std::string_view text);
void append_json_string(std::string& out, std::string_view text);

// The same JSON value written so that it can stand inside an HTML <script>
// element: "</" becomes "<\/" and "<!--" becomes "\u003c!--", so that text
// from a file can neither close the element nor switch the HTML tokenizer
// into its escaped script states.
void append_script_json_string(std::string& out, std::string_view text);

// One float64 in the JSON number form: scientific notation with nine digits
// after the point and a bare exponent ("1.500000000e-3", "-1.000000000e0");
// NaN and infinities as null.
void append_json_number(std::string& out, double value);

// Appends the values in the JSON number form, separated by commas, without
// brackets.
Result<void, PsfError> write_f64_array(std::string& out, std::span<const double> values);

// One strip chart of the page.
struct Pane {
    std::string name;
    std::vector<double> time;
    std::vector<double> values;
};

// Vertical extent of one pane as a fraction of the plot area.
struct PaneDomain {
    double bottom = 0;
    double top = 0;
};

// The panes stacked over [0.08, 0.96], top pane first, with gaps of 0.018;
// from 30 panes on, where the page height is capped, the gaps together take
// a fifth of the range, so that panes keep most of the room.
std::vector<PaneDomain> pane_domains(std::size_t n);

// Plot height in pixels for n panes: max(130 n, 300) + 120, at most 4000 so
// that the browser draws every pane (from 30 panes on the panes shrink).
std::uint64_t plot_height_px(std::size_t n);

// The whole page for the given panes (at least one) and title.
std::string render_page(const std::vector<Pane>& panes, std::string_view title);

// Decodes the requested records of `file` (all of them before writing
// anything) and writes their strip-chart page to `html_path`. Pane i is
// named names[i] when given, else "record_0x{id:x}"; the title defaults to
// "PSFXL waveforms".
Result<void, PsfError> plot_records_to_html(const psfxl::NgpsfFile& file,
                                            std::span<const std::uint64_t> record_ids,
                                            const std::optional<std::vector<std::string>>& names,
                                            const std::optional<std::string>& title,
                                            const std::string& html_path);

}  // namespace morva::viewer::strip_chart
