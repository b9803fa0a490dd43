// The JSON encoders and the strip-chart page text. The worked pane examples,
// shared x axes, titles and escaping of a written page are checked from
// Python (test_html_writer.py).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "viewer/strip_chart.h"

using namespace morva;
using namespace morva::viewer::strip_chart;

namespace {

std::string number(double v) {
    std::string out;
    append_json_number(out, v);
    return out;
}

std::string script_string(std::string_view s) {
    std::string out;
    append_script_json_string(out, s);
    return out;
}

std::size_t count(const std::string& text, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

}  // namespace

TEST(JsonString, EscapesQuotesBackslashAndControls) {
    EXPECT_EQ(json_string(""), "\"\"");
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("\t\n\r"), "\"\\t\\n\\r\"");
    EXPECT_EQ(json_string(std::string("\x01\x08\x0c\x1b\x1f", 5)), "\"\\u0001\\u0008\\u000c\\u001b\\u001f\"");
    EXPECT_EQ(json_string(std::string("a\0b", 3)), "\"a\\u0000b\"");
    // DEL, non-ASCII and the solidus pass unchanged.
    EXPECT_EQ(json_string("\x7f/é→"), "\"\x7f/é→\"");
}

TEST(JsonString, ScriptFormCannotCloseTheScriptElement) {
    EXPECT_EQ(script_string("a</script>b"), "\"a<\\/script>b\"");
    EXPECT_EQ(script_string("<!--x"), "\"\\u003c!--x\"");
    EXPECT_EQ(script_string("a<3>"), "\"a<3>\"");
    EXPECT_EQ(script_string("<"), "\"<\"");
    EXPECT_EQ(script_string("q\"\t"), "\"q\\\"\\t\"");
}

TEST(JsonNumber, NineDigitScientificForm) {
    EXPECT_EQ(number(0.0015), "1.500000000e-3");
    EXPECT_EQ(number(250), "2.500000000e2");
    EXPECT_EQ(number(0), "0.000000000e0");
    EXPECT_EQ(number(-1), "-1.000000000e0");
    EXPECT_EQ(number(1e-12), "1.000000000e-12");
    EXPECT_EQ(number(1e300), "1.000000000e300");
    EXPECT_EQ(number(9.9999999996), "1.000000000e1");
    EXPECT_EQ(number(std::numeric_limits<double>::denorm_min()), "4.940656458e-324");
    EXPECT_EQ(number(std::numeric_limits<double>::max()), "1.797693135e308");
    EXPECT_EQ(number(std::nan("")), "null");
    EXPECT_EQ(number(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(number(-std::numeric_limits<double>::infinity()), "null");
}

TEST(JsonNumber, ArrayIsCommaSeparatedWithoutBrackets) {
    std::string out = "[";
    ASSERT_TRUE(write_f64_array(out, std::vector<double>{1.0, std::nan(""), -2.5}).ok());
    EXPECT_EQ(out, "[1.000000000e0,null,-2.500000000e0");
    std::string empty;
    ASSERT_TRUE(write_f64_array(empty, std::vector<double>{}).ok());
    EXPECT_EQ(empty, "");
}

TEST(PaneGeometry, EveryPaneKeepsAPositiveHeight) {
    // Up to 29 panes the gap stays 0.018; then the page height is capped.
    const auto d29 = pane_domains(29);
    EXPECT_NEAR(d29[0].top - d29[0].bottom, (0.88 - 0.018 * 28) / 29, 1e-15);
    EXPECT_NEAR(d29[0].bottom - d29[1].top, 0.018, 1e-12);
    const auto d30 = pane_domains(30);
    EXPECT_NEAR(d30[0].bottom - d30[1].top, 0.88 * 0.2 / 29, 1e-12);
    for (std::size_t n : {30u, 40u, 50u, 51u, 100u, 1000u, 5000u}) {
        const auto d = pane_domains(n);
        ASSERT_EQ(d.size(), n);
        EXPECT_DOUBLE_EQ(d.front().top, 0.96);
        EXPECT_NEAR(d.back().bottom, 0.08, 1e-9) << n;
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_GT(d[i].top - d[i].bottom, 0.0) << n << " " << i;
            if (i) {
                EXPECT_LT(d[i].top, d[i - 1].bottom) << n << " " << i;
            }
        }
    }
}

TEST(StripChartPage, OnePane) {
    const std::string page = render_page({{"vout", {0.0, 1e-9}, {0.5, std::nan("")}}}, "PSFXL waveforms");
    EXPECT_EQ(
        page.rfind(
            "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>PSFXL waveforms</title>", 0),
        0u);
    EXPECT_NE(page.find("<h1>PSFXL waveforms</h1>"), std::string::npos);
    EXPECT_NE(page.find("<script src=\"" MORVA_PLOTLY_JS_URL "\"></script>"), std::string::npos);
    EXPECT_NE(page.find("#plot{width:100vw;height:420px;}"), std::string::npos);
    EXPECT_NE(
        page.find(
            "const traces = [{\"type\":\"scattergl\",\"mode\":\"lines\",\"name\":\"vout\",\"xaxis\":\"x\","
            "\"yaxis\":\"y\",\"line\":{\"width\":1.1},\"hovertemplate\":\"%{y:.6g}<extra></extra>\","
            "\"x\":[0.000000000e0,1.000000000e-9],\"y\":[5.000000000e-1,null]}];\n"),
        std::string::npos);
    EXPECT_NE(
        page.find("\"xaxis\":{\"anchor\":\"y\",\"domain\":[0,1],\"showticklabels\":true,\"showspikes\":true,"
                  "\"spikemode\":\"across\",\"spikesnap\":\"cursor\",\"spikecolor\":\"#e0e040\","
                  "\"spikethickness\":1,\"spikedash\":\"solid\",\"gridcolor\":\"#2a2a2a\","
                  "\"linecolor\":\"#808080\",\"tickcolor\":\"#808080\",\"color\":\"#cccccc\","
                  "\"title\":{\"text\":\"time [s]\",\"font\":{\"color\":\"#cccccc\"}}}"),
        std::string::npos);
    EXPECT_NE(
        page.find("\"yaxis\":{\"anchor\":\"x\",\"domain\":[0.0800,0.9600],\"title\":{\"text\":\"vout\","
                  "\"font\":{\"color\":\"#cccccc\",\"size\":11},\"standoff\":4},\"gridcolor\":\"#2a2a2a\","
                  "\"linecolor\":\"#808080\",\"tickcolor\":\"#808080\",\"color\":\"#cccccc\","
                  "\"zeroline\":false,\"automargin\":true}};\n"),
        std::string::npos);
    EXPECT_EQ(count(page, "matches"), 0u);
    EXPECT_NE(page.find("Plotly.newPlot(\"plot\", traces, layout, config);"), std::string::npos);
}

TEST(StripChartPage, ManyPanesUseFinerDomainText) {
    std::vector<Pane> panes(60, Pane{"p", {0}, {0}});
    const std::string page = render_page(panes, "t");
    EXPECT_NE(page.find("\"yaxis\":{\"anchor\":\"x\",\"domain\":[0.9482"), std::string::npos);
    EXPECT_NE(page.find("\"yaxis60\":{\"anchor\":\"x60\",\"domain\":[0.080000,"), std::string::npos);
    EXPECT_NE(page.find("height:4000px;"), std::string::npos);
}

// Beyond 8192 px Chromium does not draw plotly's WebGL canvas (twice the plot
// height) right: the page stops growing below that.
TEST(PaneGeometry, PlotHeightIsCapped) {
    const std::pair<std::size_t, std::uint64_t> cases[] = {{1, 420},   {2, 420},   {3, 510},   {12, 1680},
                                                           {29, 3890}, {30, 4000}, {60, 4000}, {5000, 4000}};
    for (const auto& [n, px] : cases) EXPECT_EQ(plot_height_px(n), px) << n;
}
