// kest report: one self-contained HTML page that a methodologist opens after
// a run - per variable its counts by status and a figure of its observed and
// imputed values, the pattern of the values that were missing, the records
// flagged as outliers and the cells that were replaced, from the audit log.
// The figures are SVG drawn here, inline; the page loads nothing (its
// content security policy forbids it) and runs no script.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "audit.h"
#include "cell_status.h"
#include "codebook.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "markup.h"
#include "numbers.h"
#include "options.h"
#include "records.h"

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

constexpr std::string_view report_usage =
    "usage: kest report DATAFILE --out PAGE.html [--schema FILE]\n"
    "\n"
    "Writes one self-contained HTML page about a data set (inline SVG and CSS;\n"
    "nothing is fetched, no script runs): per variable the number of cells of\n"
    "each status and a figure - for a numeric variable a histogram of its\n"
    "observed (Valid, Validn) and imputed values in two colours with labelled\n"
    "axes, and their mean and deviation before imputation (the observed\n"
    "values) and after (observed and imputed); for a categorical one a bar per\n"
    "code (its label from the codebook), observed and imputed.  Cells marked\n"
    "Suspect or Error are counted but not drawn.  Then the pattern of the\n"
    "values that were missing when the data set was converted (which\n"
    "variables are missing together, in how many records), the records\n"
    "flagged as outliers with their values, the cells replaced and the\n"
    "commands that changed the data set, from the audit log NAME.audit.csv,\n"
    "with record numbers counted from 1 and a legend of the status colours.\n"
    "\n"
    "options:\n"
    "  --out PAGE      the page to write (replaced if present; nothing is left\n"
    "                  behind on a failure)\n"
    "  --schema FILE   schema of the data file (default: the one the data file\n"
    "                  names, looked up beside the data file first)\n";

constexpr KnownOption report_options[] = {{"--out"}, {"--schema"}};

// Rows of the tables of records and cells beyond which the page only counts.
constexpr std::size_t most_listed = 500;
constexpr std::size_t most_patterns = 30;
constexpr int most_bins = 11;
constexpr int most_ticks = 12;

// The status colours of kest view and the data set's stylesheet, and the
// two of the figures: observed values a deeper shade of Valid's blue,
// imputed ones of Imputed's green.
constexpr const char* status_colour[] = {"#add8e6", "#ff00ff", "#90ee90", "#ffff00", "#ff0000", "#0000ff"};
constexpr const char* observed_colour = "#4a7fb5";
constexpr const char* imputed_colour = "#3a9d45";

std::string number(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string axis_number(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

// ---------------------------------------------------------------------------
// What the page is made of

struct Moments {
    long n = 0;
    double mean = 0, squares = 0;
    void add(double x)
    {
        ++n;
        const double d = x - mean;
        mean += d / static_cast<double>(n);
        squares += d * (x - mean);
    }
    std::string deviation() const { return n > 1 ? number(std::sqrt(squares / static_cast<double>(n - 1))) : "-"; }
};

struct Page {
    const Records& rec;
    const CellStates& cells;
    const Codebook& book;
    const std::vector<AuditRow>& log;
    std::vector<CellHistory> histories;

    int nv() const { return rec.vars.count(); }
    std::size_t at(int r, int j) const { return static_cast<std::size_t>(r) * static_cast<std::size_t>(nv()) + static_cast<std::size_t>(j); }
    StatusColumn status(int r, int j) const { return cells.statuses[at(r, j)]; }
    double value(int r, int j) const { return cells.values[at(r, j)]; }
    std::string name(int j) const { return rec.vars.names[static_cast<std::size_t>(j)]; }
    std::string shown_name(int j) const { return markup_escaped(book.original_name(name(j))); }
    int index_of(const std::string& variable) const
    {
        const auto it = std::find(rec.vars.names.begin(), rec.vars.names.end(), variable);
        return it == rec.vars.names.end() ? -1 : static_cast<int>(it - rec.vars.names.begin());
    }
    std::string value_text(int j, double v) const
    {
        if (rec.vars.categorical(j) && v == std::floor(v) && std::fabs(v) < 1e9)
            if (const std::string* label = book.label_of(name(j), static_cast<int>(v))) return markup_escaped(*label);
        return shortest_text(v);
    }
};

bool observed(StatusColumn s) { return s == valid || s == validn; }

// ---------------------------------------------------------------------------
// Pieces of markup

std::string swatch(const char* colour) { return "<span class=\"swatch\" style=\"background:" + std::string(colour) + "\"></span>"; }

std::string legend()
{
    std::string html = "<section id=\"legend\"><h2>Legend</h2><p class=\"legend\">Cells by status: ";
    for (int s = 0; s < status_columns; ++s)
        html += "<span class=\"key\">" + swatch(status_colour[s]) + status_names[s] + "</span> ";
    html += "</p><p class=\"legend\">Figures: <span class=\"key\">" + swatch(observed_colour) +
            "observed values (Valid, Validn)</span> <span class=\"key\">" + swatch(imputed_colour) +
            "imputed values</span></p><p class=\"legend\">Records are numbered from 1, as in the data file.</p></section>\n";
    return html;
}

std::string status_cell(StatusColumn s, const std::string& text)
{
    return "<td class=\"cell\" style=\"background:" + std::string(status_colour[s]) + (s == missing ? ";color:#fff" : "") +
           "\">" + text + "</td>";
}

// The smallest of 1, 2, 5 and 10 times a power of ten that is at least raw:
// a step between axis ticks that reads well.
double round_step(double raw)
{
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * power >= raw) return m * power;
    return 10.0 * power;
}

// The tick values of an axis from 0 to top: 1, 2 or 5 times a power of ten
// apart, at most about five of them.
std::vector<double> ticks_up_to(double top)
{
    if (top <= 0) return {0};
    const double step = round_step(top / 5);
    std::vector<double> ticks;
    for (int k = 0; k <= most_ticks && k * step <= top * (1 + 1e-9); ++k) ticks.push_back(k * step);
    return ticks;
}

// Round values between low and high for the ticks of a value axis; the one
// value when they are equal.
std::vector<double> ticks_within(double low, double high)
{
    if (!(high > low)) return {low};
    const double step = round_step((high - low) / 5);
    // Counted, not summed: a step below the values' precision would never
    // move a sum.
    std::vector<double> ticks;
    const double start = std::ceil(low / step) * step;
    for (int k = 0; k <= most_ticks; ++k) {
        const double t = start + k * step;
        if (!(t <= high + step * 1e-9) || (!ticks.empty() && t <= ticks.back())) break;
        ticks.push_back(std::fabs(t) < step * 1e-9 ? 0 : t);
    }
    return ticks;
}

// A histogram of the observed and imputed values of a numeric variable,
// stacked in each bin, on common bins.
std::string histogram(const Page& p, int j, const std::vector<double>& obs, const std::vector<double>& imp)
{
    constexpr int width = 540, height = 260, left = 64, right = 16, top = 14, bottom = 58;
    const int plot_w = width - left - right, plot_h = height - top - bottom;
    std::vector<double> all = obs;
    all.insert(all.end(), imp.begin(), imp.end());
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" + std::to_string(width) +
                      "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "\" role=\"img\" aria-label=\"histogram of " + p.shown_name(j) + "\">";
    if (all.empty()) return svg + "<text x=\"" + std::to_string(width / 2) + "\" y=\"" + std::to_string(height / 2) +
                            "\" text-anchor=\"middle\">no values to draw</text></svg>";
    const double low = *std::min_element(all.begin(), all.end());
    const double high = *std::max_element(all.begin(), all.end());
    const int bins = high > low ? std::min(most_bins, static_cast<int>(std::sqrt(static_cast<double>(all.size())) + 1)) : 1;
    const double w = (high - low) / bins;
    std::vector<long> n_obs(static_cast<std::size_t>(bins)), n_imp(static_cast<std::size_t>(bins));
    const auto bin_of = [&](double x) {
        if (!(w > 0)) return 0;
        const int b = static_cast<int>((x - low) / w);
        return std::clamp(b, 0, bins - 1);
    };
    for (double x : obs) ++n_obs[static_cast<std::size_t>(bin_of(x))];
    for (double x : imp) ++n_imp[static_cast<std::size_t>(bin_of(x))];
    long most = 1;
    for (int b = 0; b < bins; ++b) most = std::max(most, n_obs[static_cast<std::size_t>(b)] + n_imp[static_cast<std::size_t>(b)]);
    const std::vector<double> ticks = ticks_up_to(static_cast<double>(most));
    const double y_top = std::max(static_cast<double>(most), ticks.back());
    const auto y_of = [&](double count) { return top + plot_h - count / y_top * plot_h; };
    const double bar_w = static_cast<double>(plot_w) / bins;
    char buf[256];
    // Grid lines and the count axis.
    for (double t : ticks) {
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" class=\"grid\"/><text x=\"%d\" y=\"%.1f\" "
                      "text-anchor=\"end\" class=\"tick\">%s</text>",
                      left, y_of(t), left + plot_w, y_of(t), left - 6, y_of(t) + 4, axis_number(t).c_str());
        svg += buf;
    }
    for (int b = 0; b < bins; ++b) {
        const double x = left + b * bar_w;
        const long o = n_obs[static_cast<std::size_t>(b)], i = n_imp[static_cast<std::size_t>(b)];
        std::snprintf(buf, sizeof buf,
                      "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"><title>%ld observed</title></rect>",
                      x + 1, y_of(static_cast<double>(o)), bar_w - 2, static_cast<double>(o) / y_top * plot_h,
                      observed_colour, o);
        svg += buf;
        if (i > 0) {
            std::snprintf(buf, sizeof buf,
                          "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"><title>%ld "
                          "imputed</title></rect>",
                          x + 1, y_of(static_cast<double>(o + i)), bar_w - 2, static_cast<double>(i) / y_top * plot_h,
                          imputed_colour, i);
            svg += buf;
        }
    }
    // The value axis: round values across the range of the bins.
    const auto x_of = [&](double v) { return left + (w > 0 ? (v - low) / (high - low) * plot_w : plot_w / 2.0); };
    for (double v : ticks_within(low, high)) {
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" class=\"axis\"/><text x=\"%.1f\" y=\"%d\" "
                      "text-anchor=\"middle\" class=\"tick\">%s</text>",
                      x_of(v), top + plot_h, x_of(v), top + plot_h + 5, x_of(v), top + plot_h + 18, axis_number(v).c_str());
        svg += buf;
    }
    std::snprintf(buf, sizeof buf,
                  "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"axis\"/><line x1=\"%d\" y1=\"%d\" x2=\"%d\" "
                  "y2=\"%d\" class=\"axis\"/>",
                  left, top + plot_h, left + plot_w, top + plot_h, left, top, left, top + plot_h);
    svg += buf;
    svg += "<text x=\"" + std::to_string(left + plot_w / 2) + "\" y=\"" + std::to_string(height - 12) +
           "\" text-anchor=\"middle\" class=\"label\">" + p.shown_name(j) + "</text>";
    svg += "<text transform=\"translate(16 " + std::to_string(top + plot_h / 2) +
           ") rotate(-90)\" text-anchor=\"middle\" class=\"label\">records</text></svg>";
    return svg;
}

// A bar per code of a categorical variable, observed and imputed stacked;
// values that are not among the codes get a bar of their own.
std::string category_bars(const Page& p, int j, const std::vector<double>& obs, const std::vector<double>& imp)
{
    std::vector<double> codes;
    for (int k = 0; k < p.rec.vars.ncat[static_cast<std::size_t>(j)]; ++k) codes.push_back(p.rec.vars.code_row(j)[k]);
    for (const auto* list : {&obs, &imp})
        for (double v : *list)
            if (std::find(codes.begin(), codes.end(), v) == codes.end()) codes.push_back(v);
    std::vector<long> n_obs(codes.size()), n_imp(codes.size());
    for (double v : obs) ++n_obs[static_cast<std::size_t>(std::find(codes.begin(), codes.end(), v) - codes.begin())];
    for (double v : imp) ++n_imp[static_cast<std::size_t>(std::find(codes.begin(), codes.end(), v) - codes.begin())];
    long most = 1;
    for (std::size_t k = 0; k < codes.size(); ++k) most = std::max(most, n_obs[k] + n_imp[k]);
    constexpr int width = 540, left = 150, right = 90, top = 8, bar = 22, gap = 6, bottom = 40;
    const int plot_w = width - left - right;
    const int height = top + static_cast<int>(codes.size()) * (bar + gap) + bottom;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" + std::to_string(width) +
                      "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "\" role=\"img\" aria-label=\"frequencies of " + p.shown_name(j) + "\">";
    char buf[320];
    for (std::size_t k = 0; k < codes.size(); ++k) {
        const int y = top + static_cast<int>(k) * (bar + gap);
        const double wo = static_cast<double>(n_obs[k]) / static_cast<double>(most) * plot_w;
        const double wi = static_cast<double>(n_imp[k]) / static_cast<double>(most) * plot_w;
        std::string label = p.value_text(j, codes[k]);
        if (label != shortest_text(codes[k])) label += " (" + shortest_text(codes[k]) + ")";
        std::snprintf(buf, sizeof buf,
                      "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" class=\"tick\">", left - 8, y + bar / 2 + 4);
        svg += buf + label + "</text>";
        std::snprintf(buf, sizeof buf,
                      "<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>%ld observed</title></rect>"
                      "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>%ld imputed</title></rect>"
                      "<text x=\"%.1f\" y=\"%d\" class=\"tick\">%ld + %ld</text>",
                      left, y, wo, bar, observed_colour, n_obs[k], left + wo, y, wi, bar, imputed_colour, n_imp[k],
                      left + wo + wi + 6, y + bar / 2 + 4, n_obs[k], n_imp[k]);
        svg += buf;
    }
    const int axis_y = top + static_cast<int>(codes.size()) * (bar + gap);
    for (double t : ticks_up_to(static_cast<double>(most))) {
        if (t > static_cast<double>(most)) break;
        const double x = left + t / static_cast<double>(most) * plot_w;
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" class=\"axis\"/><text x=\"%.1f\" y=\"%d\" "
                      "text-anchor=\"middle\" class=\"tick\">%s</text>",
                      x, axis_y, x, axis_y + 5, x, axis_y + 18, axis_number(t).c_str());
        svg += buf;
    }
    std::snprintf(buf, sizeof buf,
                  "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"axis\"/><line x1=\"%d\" y1=\"%d\" x2=\"%d\" "
                  "y2=\"%d\" class=\"axis\"/><text x=\"%d\" y=\"%d\" text-anchor=\"middle\" class=\"label\">records "
                  "(observed + imputed)</text>",
                  left, axis_y, left + plot_w, axis_y, left, top, left, axis_y, left + plot_w / 2, height - 4);
    return svg + buf + "</svg>";
}

std::string variable_section(const Page& p, int j)
{
    std::array<long, status_columns> counts{};
    std::vector<double> obs, imp;
    Moments before, after;
    for (int r = 0; r < p.rec.count; ++r) {
        const StatusColumn s = p.status(r, j);
        ++counts[s];
        if (observed(s)) {
            obs.push_back(p.value(r, j));
            before.add(p.value(r, j));
            after.add(p.value(r, j));
        } else if (s == imputed) {
            imp.push_back(p.value(r, j));
            after.add(p.value(r, j));
        }
    }
    const bool categorical = p.rec.vars.categorical(j);
    std::string html = "<section class=\"variable\" id=\"variable-" + std::to_string(j + 1) + "\"><h3>" + p.shown_name(j);
    if (p.book.original_name(p.name(j)) != p.name(j)) html += " <small>(" + markup_escaped(p.name(j)) + " in the data set)</small>";
    html += " <small>" + std::string(categorical ? "categorical" : "numeric") + "</small></h3>";
    html += "<table class=\"counts\"><tr>";
    for (int s = 0; s < status_columns; ++s) html += "<th>" + swatch(status_colour[s]) + status_names[s] + "</th>";
    html += "</tr><tr>";
    for (long n : counts) html += "<td class=\"num\">" + std::to_string(n) + "</td>";
    html += "</tr></table>";
    html += "<figure class=\"figure\" data-variable=\"" + markup_escaped(p.name(j)) + "\">";
    html += categorical ? category_bars(p, j, obs, imp) : histogram(p, j, obs, imp);
    html += "<figcaption>" + std::to_string(obs.size()) + " observed and " + std::to_string(imp.size()) + " imputed values";
    if (counts[suspect] + counts[error] > 0)
        html += "; " + std::to_string(counts[suspect] + counts[error]) + " cells marked Suspect or Error are not drawn";
    html += "</figcaption></figure>";
    if (!categorical) {
        html += "<table class=\"moments\"><tr><th></th><th>values</th><th>mean</th><th>deviation</th></tr>";
        html += "<tr><th>before imputation (observed)</th><td class=\"num\">" + std::to_string(before.n) +
                "</td><td class=\"num\">" + (before.n > 0 ? number(before.mean) : "-") + "</td><td class=\"num\">" +
                before.deviation() + "</td></tr>";
        html += "<tr><th>after imputation (observed and imputed)</th><td class=\"num\">" + std::to_string(after.n) +
                "</td><td class=\"num\">" + (after.n > 0 ? number(after.mean) : "-") + "</td><td class=\"num\">" +
                after.deviation() + "</td></tr></table>";
    }
    return html + "</section>\n";
}

// Which cells were missing when the data set was converted: those Missing
// now and those the log shows were Missing before their first change.
std::vector<bool> first_missing(const Page& p)
{
    std::vector<bool> gap(p.cells.statuses.size());
    for (std::size_t i = 0; i < gap.size(); ++i) gap[i] = p.cells.statuses[i] == missing;
    for (const CellHistory& h : p.histories) {
        const int j = p.index_of(h.variable);
        if (j < 0 || h.record < 1 || h.record > p.rec.count) continue;
        gap[p.at(h.record - 1, j)] = h.first->old_status == missing;
    }
    return gap;
}

std::string missing_pattern(const Page& p)
{
    const std::vector<bool> gap = first_missing(p);
    std::map<std::vector<bool>, long> patterns;
    std::vector<long> per_variable(static_cast<std::size_t>(p.nv()));
    for (int r = 0; r < p.rec.count; ++r) {
        std::vector<bool> row(static_cast<std::size_t>(p.nv()));
        for (int j = 0; j < p.nv(); ++j) {
            row[static_cast<std::size_t>(j)] = gap[p.at(r, j)];
            per_variable[static_cast<std::size_t>(j)] += gap[p.at(r, j)];
        }
        ++patterns[row];
    }
    std::vector<std::pair<long, std::vector<bool>>> sorted;
    for (const auto& [row, n] : patterns) sorted.emplace_back(n, row);
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    const std::size_t shown = std::min(sorted.size(), most_patterns);
    constexpr int cell_w = 56, cell_h = 20, left = 10, top = 70, count_w = 240;
    const int width = left + p.nv() * cell_w + 20 + count_w + 60;
    const int height = top + static_cast<int>(shown + 1) * cell_h + 30;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" + std::to_string(width) +
                      "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "\" role=\"img\" aria-label=\"missing-value pattern\">";
    char buf[320];
    for (int j = 0; j < p.nv(); ++j) {
        std::snprintf(buf, sizeof buf, "<text transform=\"translate(%d %d) rotate(-45)\" class=\"tick\">",
                      left + j * cell_w + cell_w / 2, top - 6);
        svg += buf + p.shown_name(j) + "</text>";
    }
    const long most = sorted.empty() ? 1 : std::max(1L, sorted.front().first);
    const int count_x = left + p.nv() * cell_w + 20;
    std::snprintf(buf, sizeof buf, "<text x=\"%d\" y=\"%d\" class=\"label\">records</text>", count_x, top - 6);
    svg += buf;
    for (std::size_t k = 0; k < shown; ++k) {
        const int y = top + static_cast<int>(k) * cell_h;
        for (int j = 0; j < p.nv(); ++j) {
            const bool is_gap = sorted[k].second[static_cast<std::size_t>(j)];
            std::snprintf(buf, sizeof buf,
                          "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\" stroke=\"#fff\"/>",
                          left + j * cell_w, y, cell_w, cell_h, is_gap ? status_colour[missing] : "#d9d9d9");
            svg += buf;
        }
        const double w = static_cast<double>(sorted[k].first) / static_cast<double>(most) * count_w;
        std::snprintf(buf, sizeof buf,
                      "<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"#888\"/><text x=\"%.1f\" y=\"%d\" "
                      "class=\"tick\">%ld</text>",
                      count_x, y + 3, std::max(1.0, w), cell_h - 6, count_x + std::max(1.0, w) + 5, y + cell_h - 6,
                      sorted[k].first);
        svg += buf;
    }
    const int total_y = top + static_cast<int>(shown) * cell_h + 16;
    for (int j = 0; j < p.nv(); ++j) {
        std::snprintf(buf, sizeof buf, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" class=\"tick\">%ld</text>",
                      left + j * cell_w + cell_w / 2, total_y, per_variable[static_cast<std::size_t>(j)]);
        svg += buf;
    }
    std::snprintf(buf, sizeof buf, "<text x=\"%d\" y=\"%d\" class=\"tick\">missing per variable</text>", count_x, total_y);
    svg += buf;
    svg += "</svg>";
    std::string html = "<section id=\"pattern\"><h2>Missing values as the data came</h2><p>Which variables were missing "
                       "together when the data set was converted, before anything was imputed: one row per pattern "
                       "(" + swatch(status_colour[missing]) + "missing, " + swatch("#d9d9d9") +
                       "present), most frequent first, with its number of records; below, the missing cells per "
                       "variable.";
    if (shown < sorted.size()) html += " The " + std::to_string(sorted.size() - shown) + " rarest patterns are left out.";
    return html + "</p><figure class=\"pattern\">" + svg + "</figure></section>\n";
}

std::string outliers(const Page& p)
{
    // Records flagged by the outlier search, or with a cell flagged now.
    std::set<int> records;
    for (const AuditRow& row : p.log)
        if (row.method == "bacon" && row.record >= 1 && row.record <= p.rec.count) records.insert(row.record - 1);
    for (int r = 0; r < p.rec.count; ++r)
        for (int j = 0; j < p.nv(); ++j)
            if (p.status(r, j) == suspect || p.status(r, j) == error) records.insert(r);
    std::map<std::pair<int, int>, const CellHistory*> history;
    for (const CellHistory& h : p.histories) {
        const int j = p.index_of(h.variable);
        if (j >= 0) history[{h.record - 1, j}] = &h;
    }
    std::string html = "<section id=\"outliers\"><h2>Records flagged as outliers</h2><p>" + std::to_string(records.size()) +
                       " records marked Suspect or Error, now or by an earlier outlier search, with their values now "
                       "(coloured by status) and, where a value was replaced, the value they first held.</p>";
    if (records.empty()) return html + "</section>\n";
    html += "<table class=\"records\"><tr><th>record</th>";
    for (int j = 0; j < p.nv(); ++j) html += "<th>" + p.shown_name(j) + "</th>";
    html += "</tr>";
    std::size_t listed = 0;
    for (int r : records) {
        if (++listed > most_listed) break;
        html += "<tr><th class=\"num\">" + std::to_string(r + 1) + "</th>";
        for (int j = 0; j < p.nv(); ++j) {
            const double v = p.value(r, j);
            std::string text = v == missing_code ? "Missing" : p.value_text(j, v);
            const auto h = history.find({r, j});
            if (h != history.end() && h->second->replaced())
                text += "<br><small>was " + (h->second->first->old_value ? p.value_text(j, *h->second->first->old_value) : "Missing") + "</small>";
            html += status_cell(p.status(r, j), text);
        }
        html += "</tr>";
    }
    html += "</table>";
    if (records.size() > most_listed)
        html += "<p>The first " + std::to_string(most_listed) + " of them are listed.</p>";
    return html + "</section>\n";
}

std::string state(const Page& p, int j, StatusColumn s, const std::optional<double>& v)
{
    return status_cell(s, std::string(status_names[s]) + (v ? " " + (j >= 0 ? p.value_text(j, *v) : shortest_text(*v)) : ""));
}

std::string replaced_cells(const Page& p)
{
    std::vector<const AuditRow*> rows;
    for (const AuditRow& row : p.log)
        if (row.old_value && row.new_value != row.old_value) rows.push_back(&row);
    std::string html = "<section id=\"replaced\"><h2>Cells replaced</h2><p>" + std::to_string(rows.size()) +
                       " changes of a value the data set held into another, from the audit log " +
                       markup_escaped(audit_log_path(p.rec.files.data)) + ".</p>";
    if (rows.empty()) return html + "</section>\n";
    html += "<table class=\"records\"><tr><th>record</th><th>variable</th><th>old</th><th>new</th><th>method</th>"
            "<th>donor</th><th>when</th><th>command</th></tr>";
    std::size_t listed = 0;
    for (const AuditRow* row : rows) {
        if (++listed > most_listed) break;
        const int j = p.index_of(row->variable);
        html += "<tr><th class=\"num\">" + std::to_string(row->record) + "</th><td>" +
                (j >= 0 ? p.shown_name(j) : markup_escaped(row->variable)) + "</td>" +
                state(p, j, row->old_status, row->old_value) + state(p, j, row->new_status, row->new_value) + "<td>" +
                markup_escaped(row->method) + "</td><td class=\"num\">" + (row->donor > 0 ? std::to_string(row->donor) : "") +
                "</td><td>" + markup_escaped(row->when) + "</td><td><code>" + markup_escaped(row->command) +
                "</code></td></tr>";
    }
    html += "</table>";
    if (rows.size() > most_listed) html += "<p>The first " + std::to_string(most_listed) + " are listed.</p>";
    return html + "</section>\n";
}

std::string commands(const Page& p)
{
    struct Counts {
        std::string when, command;
        long imputed = 0, replaced = 0, flagged = 0;
    };
    std::vector<Counts> list;
    for (const AuditRow& row : p.log) {
        if (list.empty() || list.back().when != row.when || list.back().command != row.command)
            list.push_back({row.when, row.command});
        Counts& c = list.back();
        if (!row.old_value && row.new_value) ++c.imputed;
        else if (row.old_value && row.new_value != row.old_value) ++c.replaced;
        else ++c.flagged;
    }
    std::string html = "<section id=\"commands\"><h2>Commands that changed the data set</h2>";
    if (list.empty()) return html + "<p>The audit log records no change.</p></section>\n";
    html += "<table class=\"records\"><tr><th>when (UTC)</th><th>command</th><th>imputed</th><th>replaced</th>"
            "<th>flagged</th></tr>";
    for (const Counts& c : list)
        html += "<tr><td>" + markup_escaped(c.when) + "</td><td><code>" + markup_escaped(c.command) +
                "</code></td><td class=\"num\">" + std::to_string(c.imputed) + "</td><td class=\"num\">" +
                std::to_string(c.replaced) + "</td><td class=\"num\">" + std::to_string(c.flagged) + "</td></tr>";
    return html + "</table></section>\n";
}

constexpr std::string_view style =
    "body{font-family:sans-serif;margin:24px;color:#222;max-width:1240px}"
    "h1{margin-bottom:4px}h2{border-bottom:1px solid #ccc;padding-bottom:4px;margin-top:32px}"
    "h3 small{color:#666;font-weight:normal}"
    ".variables{display:flex;flex-wrap:wrap;gap:24px}"
    ".variable{border:1px solid #ddd;border-radius:6px;padding:8px 12px;width:560px}"
    ".swatch{display:inline-block;width:12px;height:12px;border:1px solid #888;margin-right:4px;vertical-align:middle}"
    ".key{margin-right:14px;white-space:nowrap}"
    "table{border-collapse:collapse;margin:6px 0}th,td{border:1px solid #ccc;padding:3px 6px;font-size:13px}"
    "th{background:#f3f3f3;font-weight:normal;text-align:left}.num{text-align:right}"
    "td.cell{text-align:right}figure{margin:6px 0}figcaption{font-size:12px;color:#555}"
    ".chart text{font-size:11px;fill:#222}.chart .label{font-size:12px;font-weight:bold}"
    ".chart .grid{stroke:#e6e6e6}.chart .axis{stroke:#444}code{font-size:12px}";

std::string page_of(const Page& p)
{
    const std::string title = markup_escaped(fs::path(p.rec.files.data).stem().string());
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
        "<title>Report on " + title + "</title>\n<style>" + std::string(style) + "</style></head>\n<body>\n";
    long changed = static_cast<long>(p.histories.size());
    html += "<h1>" + title + "</h1><p>Data file " + markup_escaped(p.rec.files.data) + ": " +
            std::to_string(p.rec.count) + " records, " + std::to_string(p.nv()) + " variables. Audit log: " +
            (p.log.empty() ? std::string("no changes recorded") : std::to_string(p.log.size()) + " changes of " +
                                                                     std::to_string(changed) + " cells") + ".</p>\n";
    html += legend();
    html += "<section id=\"variables\"><h2>Variables</h2><div class=\"variables\">\n";
    for (int j = 0; j < p.nv(); ++j) html += variable_section(p, j);
    html += "</div></section>\n";
    html += missing_pattern(p);
    html += outliers(p);
    html += replaced_cells(p);
    html += commands(p);
    html += "<footer id=\"report-end\" data-variables=\"" + std::to_string(p.nv()) + "\"><p>Written by kest report.</p></footer>\n</body></html>\n";
    return html;
}

int report(const std::string& data_file, const std::string& schema, const std::string& out)
{
    const DataSetHold held = hold_data_set(data_file, schema, Access::read);
    const Records rec = read_records(data_file, schema, "(not used)");
    std::error_code ec;
    for (const std::string& own : {rec.files.data, rec.files.schema, codebook_path(rec.files.data), audit_log_path(rec.files.data)})
        if (fs::exists(out, ec) && fs::equivalent(out, own, ec))
            throw UsageError("the page '" + out + "' would replace '" + own + "'");
    const CellStates cells = read_cell_states(rec);
    const Codebook book = read_codebook(rec.files.data);
    const std::vector<AuditRow> log = read_audit_log(rec.files.data);
    const Page p{rec, cells, book, log, cell_histories(log)};
    const std::string html = page_of(p);

    const std::string partial = out + ".partial";
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        if (!file) throw DataSetFailure{"cannot create '" + partial + "'"};
        file << html;
        file.flush();
        if (!file) {
            file.close();
            fs::remove(partial, ec);
            throw DataSetFailure{"'" + out + "' could not be written completely (is the disk full?)"};
        }
    }
    fs::rename(partial, out, ec);
    if (ec) {
        fs::remove(partial, ec);
        throw DataSetFailure{"cannot write '" + out + "'"};
    }
    std::cout << "wrote " << out << " (" << rec.count << " records, " << rec.vars.count() << " variables, "
              << log.size() << " logged changes)\n";
    return exit_ok;
}

int run_report(std::span<const std::string> args)
{
    const ParsedArgs parsed = parse_args(args, report_options);
    const std::string& data_file = parsed.the_one("data file");
    const std::string* out = parsed.value("--out");
    if (out == nullptr || out->empty()) throw UsageError("give the page to write with --out PAGE.html");
    const std::string* schema = parsed.value("--schema");
    return report(data_file, schema != nullptr ? *schema : "", *out);
}

}  // namespace

const Command report_command{"report", "write a self-contained HTML report page of a data set and its changes",
                             report_usage, run_report};

}  // namespace kest_cli
