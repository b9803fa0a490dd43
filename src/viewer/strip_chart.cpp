#include "viewer/strip_chart.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "common/format.h"
#include "common/io.h"
#include "common/json_text.h"
#include "psf/psfxl.h"

namespace morva::viewer::strip_chart {
namespace {

// The viewer writes \b and \f in the long form like other control characters.
constexpr json::StringStyle kViewerStyle{.short_backspace_formfeed = false, .script_safe = false};
constexpr json::StringStyle kScriptStyle{.short_backspace_formfeed = false, .script_safe = true};

// Pane heights and gaps as fractions of the plot area [0.08, 0.96].
constexpr double kDomainTop = 0.96;
constexpr double kDomainSpan = 0.88;
constexpr double kPaneGap = 0.018;
// plotly.js draws every WebGL trace of a page into one canvas of twice the
// plot's height, and Chromium caps a canvas side at 8192 px on many GPUs:
// beyond that, traces land in the wrong pane or are not drawn at all. Pages
// stay below this height and their panes shrink instead.
constexpr std::uint64_t kMaxPlotHeightPx = 4000;
constexpr std::uint64_t kPanePx = 130;
constexpr std::uint64_t kPlotExtraPx = 120;
// Panes of full height up to this count; from the next one on the page is
// capped and the fixed gap would leave little room for the panes.
constexpr std::size_t kMaxPanesWithFixedGap = (kMaxPlotHeightPx - kPlotExtraPx) / kPanePx;
// With more panes, the gaps together take this share of the plot area.
constexpr double kGapShareForManyPanes = 0.2;

// Fixed-point text of a domain bound: four decimals, more once panes get
// thin enough for four to merge neighbouring bounds.
std::string domain_text(double v, std::size_t n) { return fmt::fixed(v, n <= kMaxPanesWithFixedGap ? 4 : 6); }

std::string axis_suffix(std::size_t i) { return i == 0 ? std::string() : std::to_string(i + 1); }

void append_traces(std::string& out, const std::vector<Pane>& panes) {
    out.push_back('[');
    for (std::size_t i = 0; i < panes.size(); ++i) {
        const Pane& pane = panes[i];
        const std::string suffix = axis_suffix(i);
        if (i) out.push_back(',');
        out.append(R"({"type":"scattergl","mode":"lines","name":)");
        append_script_json_string(out, pane.name);
        out.append(R"(,"xaxis":"x)").append(suffix);
        out.append(R"(","yaxis":"y)").append(suffix);
        out.append(R"(","line":{"width":1.1},"hovertemplate":"%{y:.6g}<extra></extra>","x":[)");
        (void)write_f64_array(out, pane.time);
        out.append(R"(],"y":[)");
        (void)write_f64_array(out, pane.values);
        out.append("]}");
    }
    out.push_back(']');
}

void append_axes(std::string& out, const std::vector<Pane>& panes) {
    const std::size_t n = panes.size();
    const std::vector<PaneDomain> domains = pane_domains(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string suffix = axis_suffix(i);
        const bool last = i + 1 == n;
        if (i) out.push_back(',');
        out.append("\"xaxis").append(suffix).append(R"(":{"anchor":"y)").append(suffix);
        out.append(R"(","domain":[0,1],"showticklabels":)").append(last ? "true" : "false");
        out.append(R"(,"showspikes":true,"spikemode":"across","spikesnap":"cursor","spikecolor":"#e0e040",)"
                   R"("spikethickness":1,"spikedash":"solid","gridcolor":"#2a2a2a","linecolor":"#808080",)"
                   R"("tickcolor":"#808080","color":"#cccccc","title":)");
        out.append(last ? R"({"text":"time [s]","font":{"color":"#cccccc"}})" : R"("")");
        if (i) out.append(R"(,"matches":"x")");
        out.push_back('}');

        out.append(",\"yaxis").append(suffix).append(R"(":{"anchor":"x)").append(suffix);
        out.append(R"(","domain":[)").append(domain_text(domains[i].bottom, n));
        out.push_back(',');
        out.append(domain_text(domains[i].top, n)).append(R"(],"title":{"text":)");
        append_script_json_string(out, panes[i].name);
        out.append(R"(,"font":{"color":"#cccccc","size":11},"standoff":4},"gridcolor":"#2a2a2a",)"
                   R"("linecolor":"#808080","tickcolor":"#808080","color":"#cccccc","zeroline":false,)"
                   R"("automargin":true})");
    }
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    json::append_string(out, text, kViewerStyle);
}

std::string json_string(std::string_view text) { return json::string(text, kViewerStyle); }

void append_script_json_string(std::string& out, std::string_view text) {
    json::append_string(out, text, kScriptStyle);
}

void append_json_number(std::string& out, double value) {
    if (std::isfinite(value))
        fmt::append_exp(out, value, 9);
    else
        out.append("null");
}

Result<void, PsfError> write_f64_array(std::string& out, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out.push_back(',');
        append_json_number(out, values[i]);
    }
    return {};
}

std::vector<PaneDomain> pane_domains(std::size_t n) {
    std::vector<PaneDomain> out;
    if (n == 0) return out;
    const double count = static_cast<double>(n);
    double gap = kPaneGap;
    if (n > kMaxPanesWithFixedGap) gap = kDomainSpan * kGapShareForManyPanes / (count - 1.0);
    const double h = (kDomainSpan - gap * (count - 1.0)) / count;
    const double step = h + gap;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double top = kDomainTop - static_cast<double>(i) * step;
        out.push_back({top - h, top});
    }
    return out;
}

std::uint64_t plot_height_px(std::size_t n) {
    const std::uint64_t panes = std::max<std::uint64_t>(kPanePx * static_cast<std::uint64_t>(n), 300);
    return std::min(panes + kPlotExtraPx, kMaxPlotHeightPx);
}

std::string render_page(const std::vector<Pane>& panes, std::string_view title) {
    std::size_t samples = 0;
    for (const Pane& p : panes) samples += p.time.size() + p.values.size();
    std::string out;
    // About 16 bytes per sample plus the fixed text and ~900 bytes of axes per pane.
    out.reserve(4096 + 17 * samples + 1024 * panes.size());

    out.append("<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>");
    out.append(title);
    out.append("</title>\n<script src=\"" MORVA_PLOTLY_JS_URL "\"></script>\n");
    out.append(
        "<style>\n"
        "html,body{margin:0;padding:0;background:#111;color:#ddd;"
        "font-family:system-ui,-apple-system,\"Segoe UI\",Roboto,\"Helvetica Neue\",Arial,sans-serif;}\n"
        "#hdr{padding:6px 12px;background:#1a1a1a;border-bottom:1px solid #333;display:flex;"
        "justify-content:space-between;align-items:center;}\n"
        "#hdr h1{font-size:13px;margin:0;font-weight:500;color:#ccc;}\n"
        "#hdr .hint{font-size:11px;color:#888;}\n"
        "#plot{width:100vw;height:");
    out.append(std::to_string(plot_height_px(panes.size())));
    out.append("px;}\n</style>\n</head>\n<body>\n<div id=\"hdr\"><h1>");
    out.append(title);
    out.append(
        "</h1><span class=\"hint\">drag to zoom \xC2\xB7 double-click to reset \xC2\xB7 cursor tracks "
        "every pane</span></div>\n<div id=\"plot\"></div>\n<script>\nconst traces = ");
    append_traces(out, panes);
    out.append(
        ";\nconst layout = {paper_bgcolor:\"#111\",plot_bgcolor:\"#181818\","
        "font:{color:\"#cccccc\",size:11},showlegend:false,margin:{l:80,r:20,t:20,b:50},"
        "hovermode:\"x unified\",hoverlabel:{bgcolor:\"#202020\",bordercolor:\"#505050\","
        "font:{color:\"#eeeeee\",size:11}},dragmode:\"zoom\",");
    append_axes(out, panes);
    out.append(
        "};\nconst config = {responsive:true,scrollZoom:true,displaylogo:false,"
        "modeBarButtonsToRemove:[\"select2d\",\"lasso2d\",\"toggleSpikelines\"]};\n"
        "Plotly.newPlot(\"plot\", traces, layout, config);\n</script>\n</body>\n</html>\n");
    return out;
}

Result<void, PsfError> plot_records_to_html(const psfxl::NgpsfFile& file,
                                            std::span<const std::uint64_t> record_ids,
                                            const std::optional<std::vector<std::string>>& names,
                                            const std::optional<std::string>& title,
                                            const std::string& html_path) {
    if (record_ids.empty()) return err(PsfError::other("no records to plot"));
    // One index for every pane: parsing the records per pane made a page of
    // all of a large file's records quadratic in their number.
    const std::vector<psfxl::PsfxlRecord> records = file.parse_data_records();
    const psfxl::RecordIndex index(records);
    std::vector<Pane> panes;
    panes.reserve(record_ids.size());
    for (std::size_t i = 0; i < record_ids.size(); ++i) {
        const std::uint64_t id = record_ids[i];
        if (!index.first(id)) return err(PsfError::other(fmt::cat("record 0x", fmt::hex(id), " not found")));
        MORVA_ASSIGN(psfxl::Waveform wave, psfxl::NgpsfFile::decode_waveform(index, id));
        std::string name = names && i < names->size() ? (*names)[i] : fmt::cat("record_0x", fmt::hex(id));
        panes.push_back({std::move(name), std::move(wave.time), std::move(wave.values)});
    }
    if (path_has_nul(html_path)) return err(PsfError::from_io(nul_in_path_error()));
    const std::string page = render_page(panes, title ? std::string_view(*title) : "PSFXL waveforms");
    // O_NONBLOCK: a FIFO without a reader fails (ENXIO) instead of blocking
    // the caller, who holds the interpreter lock, until one turns up.
    UniqueFd fd(::open(html_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666));
    if (!fd.valid()) return err(PsfError::from_io(IoError::from_errno(errno)));
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return err(PsfError::from_io(IoError::from_errno(errno)));
    if (auto written = write_all(fd.get(), page); !written) return err(PsfError::from_io(written.error()));
    return {};
}

}  // namespace morva::viewer::strip_chart
