// The picture of a run as plain SVG text.
#include "plot_writer.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

namespace ovmrun {

namespace {

constexpr double width = 960;
constexpr double left = 80;         // room for the value labels
constexpr double right = 24;
constexpr double top = 44;          // room for the title
constexpr double graph_height = 150;
constexpr double graph_gap = 46;    // room for each graph's title
constexpr int graph_count = 3;
constexpr double bottom = 86;       // time axis and legend
constexpr double plot_width = width - left - right;
// Points beyond this many per series are thinned to the lowest and highest of each pixel column.
constexpr size_t max_points = 1200;
// The captured rate is measured over this span of machine time.
constexpr int64_t rate_window = 2000000; // 200 ms in 100 ns units
constexpr int64_t ticks_per_second = 10000000;

struct point {
    double t; // seconds from the start of the run
    double v;
};

struct series {
    std::vector<point> points;
    const char *colour;
    bool dashed = false;
};

struct graph {
    std::string title;
    std::string unit;
    std::vector<series> lines;
    bool zero_based = true;
};

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", v);
    return text;
}

// A value on an axis whose ticks are step apart, with as many decimals as the step needs.
std::string label(double v, double step)
{
    char text[32];
    const int decimals = step >= 1 ? 0 : (int)std::ceil(-std::log10(step) - 1e-9);
    std::snprintf(text, sizeof(text), "%.*f", std::clamp(decimals, 0, 3), v);
    return text;
}

std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

// A step of 1, 2 or 5 times a power of ten that divides span into at most count parts.
double nice_step(double span, int count)
{
    if (span <= 0) {
        return 1;
    }
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw) {
            return factor * power;
        }
    }
    return 10 * power;
}

std::vector<point> thinned(const std::vector<point> &points, double t0, double t1)
{
    if (points.size() <= max_points || t1 <= t0) {
        return points;
    }
    const size_t columns = max_points / 2;
    std::vector<point> out;
    size_t i = 0;
    for (size_t column = 0; column < columns && i < points.size(); ++column) {
        const double end = t0 + (t1 - t0) * (double)(column + 1) / columns;
        point low{0, std::numeric_limits<double>::max()}, high{0, std::numeric_limits<double>::lowest()};
        bool any = false;
        for (; i < points.size() && (points[i].t <= end || column + 1 == columns); ++i) {
            low = points[i].v < low.v ? points[i] : low;
            high = points[i].v > high.v ? points[i] : high;
            any = true;
        }
        if (any) {
            out.push_back(low.t <= high.t ? low : high);
            out.push_back(low.t <= high.t ? high : low);
        }
    }
    return out;
}

const char *event_colour(run_event::kind what)
{
    switch (what) {
    case run_event::kind::drop_out:
        return "#d62728";
    case run_event::kind::reset_request:
        return "#ff7f0e";
    case run_event::kind::streaming_resumed:
        return "#2ca02c";
    case run_event::kind::panel_click:
        return "#1f77b4";
    default:
        return "#9467bd";
    }
}

const char *event_name(run_event::kind what)
{
    switch (what) {
    case run_event::kind::drop_out:
        return "drop-out";
    case run_event::kind::reset_request:
        return "reset request";
    case run_event::kind::streaming_resumed:
        return "streaming resumed";
    case run_event::kind::panel_click:
        return "control-panel click";
    case run_event::kind::engine_started:
        return "engine started";
    default:
        return "engine stopped";
    }
}

class svg_canvas {
public:
    svg_canvas(double t0, double t1, double height) : m_t0(t0), m_t1(t1 > t0 ? t1 : t0 + 1)
    {
        char head[256];
        std::snprintf(head, sizeof(head),
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f "
                      "%.0f\" font-family=\"sans-serif\" font-size=\"12\">\n",
                      width, height, width, height);
        m_text = head;
        m_text += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    }

    double x(double t) const { return left + (t - m_t0) / (m_t1 - m_t0) * plot_width; }

    void text(double x, double y, const std::string &words, const char *anchor = "start", const char *extra = "")
    {
        m_text += "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\" " + extra + ">" +
                  escaped(words) + "</text>\n";
    }
    void line(double x1, double y1, double x2, double y2, const char *colour, const char *extra = "")
    {
        m_text += "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) + "\" y2=\"" +
                  number(y2) + "\" stroke=\"" + colour + "\" " + extra + "/>\n";
    }
    void raw(const std::string &text) { m_text += text; }

    // One graph at its vertical offset: frame, value labels, series, event marks.
    void draw(const graph &g, double y0, const std::vector<run_event> &events, int64_t origin)
    {
        double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
        for (const series &s : g.lines) {
            for (const point &p : s.points) {
                low = std::min(low, p.v);
                high = std::max(high, p.v);
            }
        }
        if (low > high) {
            low = 0;
            high = 1;
        }
        if (g.zero_based) {
            low = std::min(low, 0.0);
        }
        if (high - low < std::max(1.0, std::fabs(high) * 0.002)) {
            const double middle = (high + low) / 2;
            const double half = std::max(1.0, std::fabs(high) * 0.001);
            low = g.zero_based && middle - half < 0 ? 0 : middle - half;
            high = middle + half;
        }
        const double step = nice_step(high - low, 4);
        low = std::floor(low / step) * step;
        high = std::ceil(high / step) * step;
        auto y = [&](double v) { return y0 + graph_height - (v - low) / (high - low) * graph_height; };
        text(left, y0 - 8, g.title + " (" + g.unit + ")", "start", "font-weight=\"bold\"");
        raw("<rect x=\"" + number(left) + "\" y=\"" + number(y0) + "\" width=\"" + number(plot_width) + "\" height=\"" +
            number(graph_height) + "\" fill=\"none\" stroke=\"#888\"/>\n");
        for (double v = low; v <= high + step / 2; v += step) {
            line(left - 4, y(v), left, y(v), "#888");
            line(left, y(v), left + plot_width, y(v), "#eee");
            text(left - 6, y(v) + 4, label(v, step), "end");
        }
        // Drop-outs and reset requests are drawn last: a click a moment before a reset request
        // must not hide it.
        std::vector<run_event> ordered = events;
        std::stable_partition(ordered.begin(), ordered.end(), [](const run_event &e) {
            return e.what != run_event::kind::drop_out && e.what != run_event::kind::reset_request;
        });
        for (const run_event &event : ordered) {
            const double t = (double)(event.time - origin) / ticks_per_second;
            const char *dash = event.what == run_event::kind::drop_out ? "" : "stroke-dasharray=\"4 3\"";
            line(x(t), y0, x(t), y0 + graph_height, event_colour(event.what), dash);
        }
        for (const series &s : g.lines) {
            std::string points;
            for (const point &p : thinned(s.points, m_t0, m_t1)) {
                points += number(x(p.t)) + "," + number(y(p.v)) + " ";
            }
            raw("<polyline fill=\"none\" stroke=\"" + std::string(s.colour) + "\" stroke-width=\"1.2\" " +
                (s.dashed ? "stroke-dasharray=\"6 4\" " : "") + "points=\"" + points + "\"/>\n");
        }
    }

    std::string finish() { return m_text + "</svg>\n"; }

private:
    double m_t0;
    double m_t1;
    std::string m_text;
};

} // namespace

std::string plot_svg(const job_outcome &outcome, const run_options &options)
{
    const stream_result &s = outcome.stream;
    const device_figures &d = outcome.device;
    int64_t origin = !s.switches.empty() ? s.switches.front().time : (!d.samples.empty() ? d.samples.front().time : 0);
    if (!d.samples.empty()) {
        origin = std::min(origin, d.samples.front().time);
    }
    auto seconds = [&](int64_t time) { return (double)(time - origin) / ticks_per_second; };

    // Each interval spans the time from one switch to the next, so a gap shows as a long step.
    graph switches{"buffer-switch interval", "ms", {}, true};
    series intervals{{}, "#1f77b4"}, period{{}, "#555", true};
    for (size_t i = 1; i < s.switches.size(); ++i) {
        const double from = seconds(s.switches[i - 1].time);
        const double to = seconds(s.switches[i].time);
        const double interval = (double)(s.switches[i].time - s.switches[i - 1].time) / 10000.0;
        intervals.points.push_back({from, interval});
        intervals.points.push_back({to, interval});
        period.points.push_back({to, s.switches[i].period_ms});
    }
    switches.lines = {intervals, period};

    graph fifo{"device render FIFO", "frames", {}, true};
    series level{{}, "#2ca02c"};
    for (const device_sample &sample : d.samples) {
        level.points.push_back({seconds(sample.time), (double)sample.fifo_frames});
    }
    fifo.lines = {level};

    const bool explicit_feedback = d.mode == feedback_mode::explicit_endpoint;
    const uint32_t nominal_rate = d.nominal_rate != 0 ? d.nominal_rate : (s.device_rate != 0 ? s.device_rate : s.rate);
    graph pace{explicit_feedback ? "feedback value as a rate" : "captured amount as a rate", "Hz", {}, false};
    series measured{{}, "#d62728"}, nominal{{}, "#555", true};
    const uint32_t frame_bytes = d.capture_format.frame_bytes();
    size_t back = 0;
    for (size_t i = 0; i < d.samples.size(); ++i) {
        const device_sample &sample = d.samples[i];
        if (explicit_feedback) {
            measured.points.push_back(
                {seconds(sample.time), feedback_to_rate(sample.feedback_value, d.high_speed, d.four_byte_feedback)});
        } else if (frame_bytes != 0) {
            while (back + 1 < i && sample.time - d.samples[back + 1].time >= rate_window) {
                ++back;
            }
            const int64_t span = sample.time - d.samples[back].time;
            if (span >= rate_window) {
                const double frames = (double)(sample.captured_bytes - d.samples[back].captured_bytes) / frame_bytes;
                measured.points.push_back({seconds(sample.time), frames * ticks_per_second / span});
            }
        }
        nominal.points.push_back({seconds(sample.time), nominal_rate * (1.0 + options.drift_ppm / 1e6)});
    }
    pace.lines = {measured, nominal};

    double t1 = 0;
    for (const graph *g : {&switches, &fifo, &pace}) {
        for (const series &line : g->lines) {
            if (!line.points.empty()) {
                t1 = std::max(t1, line.points.back().t);
            }
        }
    }
    const double height = top + graph_count * (graph_height + graph_gap) + bottom - graph_gap + 20;
    svg_canvas canvas(0, t1, height);
    char title[200];
    std::snprintf(title, sizeof(title), "%u Hz, %u %s per buffer, %s", s.rate, s.buffer_frames,
                  s.dsd() ? "DSD samples" : "frames", s.route.c_str());
    canvas.text(left, 24, title, "start", "font-size=\"14\" font-weight=\"bold\"");
    double y0 = top + 20;
    for (const graph *g : {&switches, &fifo, &pace}) {
        canvas.draw(*g, y0, s.events, origin);
        y0 += graph_height + graph_gap;
    }
    const double axis = y0 - graph_gap;
    const double tick = nice_step(t1, 10);
    for (double t = 0; t <= t1 + tick / 1000; t += tick) {
        canvas.line(canvas.x(t), axis, canvas.x(t), axis + 4, "#888");
        canvas.text(canvas.x(t), axis + 17, label(t, tick), "middle");
    }
    canvas.text(left + plot_width / 2, axis + 33, "machine time (s)", "middle");
    // The legend: the series' dashed line is the nominal value; each kind of mark that occurs.
    double x = left;
    const double legend = axis + 56;
    canvas.line(x, legend - 4, x + 22, legend - 4, "#555", "stroke-dasharray=\"6 4\"");
    canvas.text(x + 28, legend, "period / nominal");
    x += 150;
    if (std::none_of(s.events.begin(), s.events.end(),
                     [](const run_event &e) { return e.what == run_event::kind::drop_out; })) {
        canvas.text(x, legend, "no drop-outs");
        x += 110;
    }
    for (run_event::kind what : {run_event::kind::drop_out, run_event::kind::reset_request,
                                 run_event::kind::streaming_resumed, run_event::kind::panel_click,
                                 run_event::kind::engine_started, run_event::kind::engine_stopped}) {
        const bool seen = std::any_of(s.events.begin(), s.events.end(), [&](const run_event &e) { return e.what == what; });
        if (!seen) {
            continue;
        }
        canvas.line(x, legend - 12, x, legend + 2, event_colour(what), "stroke-width=\"2\"");
        canvas.text(x + 6, legend, event_name(what));
        x += 140;
    }
    return canvas.finish();
}

bool write_plot(const std::string &path, const job_outcome &outcome, const run_options &options, std::string *error)
{
    const std::string text = plot_svg(outcome, options);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), (std::streamsize)text.size());
    out.close();
    if (!out.good()) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace ovmrun
