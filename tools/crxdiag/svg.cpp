// The statistics as a picture: stacked bars per hour and per day (one
// segment per spreading factor, the packets without a good CRC hatched on
// top of their segment), and a heat map of the channels over the last 24
// hours. Plain SVG written by hand; every bar and cell carries its figures
// as data attributes, so a script (or a test) can read the picture back.
#include <algorithm>
#include <cmath>

#include "diag.h"

namespace crxdiag {
namespace {

constexpr const char* kSfColour[kSfEntries] = {"#4e79a7", "#59a14f", "#edc948", "#f28e2b", "#e15759", "#b07aa1"};
constexpr double kWidth = 980, kLeft = 60, kChartHeight = 180;

std::string num(double v) { return printf_string("%.3f", v); }

std::string escape(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '<') o += "&lt;";
    else if (c == '>') o += "&gt;";
    else if (c == '&') o += "&amp;";
    else if (c == '"') o += "&quot;";
    else o += c;
  }
  return o;
}

// One chart of stacked bars at vertical offset `top`.
std::string bars(const char* chart, const char* title, const History& h, double top) {
  std::string s = printf_string("<g class=\"chart\" id=\"%s\">\n", chart);
  s += printf_string("<text x=\"%s\" y=\"%s\" class=\"title\">%s</text>\n", num(kLeft).c_str(), num(top - 8).c_str(), title);
  const double base = top + kChartHeight;
  s += printf_string("<line x1=\"%s\" y1=\"%s\" x2=\"%s\" y2=\"%s\" stroke=\"#333\"/>\n", num(kLeft).c_str(), num(base).c_str(),
                     num(kWidth - 20).c_str(), num(base).c_str());
  if (!h.decoded) {
    s += printf_string("<text x=\"%s\" y=\"%s\" class=\"missing\">%s</text>\n</g>\n", num(kLeft + 10).c_str(),
                       num(top + kChartHeight / 2).c_str(), escape("no data: " + h.problem).c_str());
    return s;
  }
  uint64_t peak = 1;
  for (const auto& r : h.records) peak = std::max(peak, r.total());
  const double scale = kChartHeight / double(peak);
  s += printf_string("<text x=\"%s\" y=\"%s\" class=\"axis\" text-anchor=\"end\">%llu</text>\n", num(kLeft - 4).c_str(),
                     num(top + 4).c_str(), (unsigned long long)peak);
  s += printf_string("<text x=\"%s\" y=\"%s\" class=\"axis\" text-anchor=\"end\">0</text>\n", num(kLeft - 4).c_str(), num(base).c_str());
  const double step = (kWidth - 20 - kLeft) / double(h.records.size());
  const double bw = step * 0.8;
  for (size_t i = 0; i < h.records.size(); ++i) {
    const StatRecord& r = h.records[i];
    const double x = kLeft + double(i) * step + step * 0.1;
    const double height = double(r.total()) * scale;
    s += printf_string("<g class=\"bar\" data-chart=\"%s\" data-index=\"%zu\" data-total=\"%llu\" data-other=\"%llu\" "
                       "data-height=\"%s\">\n",
                       chart, i, (unsigned long long)r.total(), (unsigned long long)r.other(), num(height).c_str());
    double y = base;
    for (int k = 0; k < kSfEntries; ++k) {
      const SfCount& c = r.sf[size_t(k)];
      for (int part = 0; part < 2; ++part) {
        const uint32_t n = part == 0 ? c.crc_ok : c.other;
        if (n == 0) continue;
        const double hgt = double(n) * scale;
        y -= hgt;
        s += printf_string("<rect class=\"seg\" data-sf=\"%d\" data-crc=\"%s\" data-count=\"%u\" x=\"%s\" y=\"%s\" width=\"%s\" "
                           "height=\"%s\" fill=\"%s\"><title>SF%d %s: %u</title></rect>\n",
                           sf_of_index(k), part == 0 ? "ok" : "error", n, num(x).c_str(), num(y).c_str(), num(bw).c_str(),
                           num(hgt).c_str(), part == 0 ? kSfColour[k] : "url(#crcerr)", sf_of_index(k),
                           part == 0 ? "CRC ok" : "CRC error or none", n);
      }
    }
    s += "</g>\n";
    if (i % (h.records.size() > 24 ? 5 : 3) == 0 || i + 1 == h.records.size())
      s += printf_string("<text x=\"%s\" y=\"%s\" class=\"axis\" text-anchor=\"middle\">%s</text>\n", num(x + bw / 2).c_str(),
                         num(base + 14).c_str(), i + 1 == h.records.size() ? "newest" : printf_string("-%zu", h.records.size() - 1 - i).c_str());
  }
  return s + "</g>\n";
}

std::string heat_map(const History& h, double top, double& bottom) {
  std::string s = "<g class=\"chart\" id=\"heatmap\">\n";
  s += printf_string("<text x=\"%s\" y=\"%s\" class=\"title\">Packets per channel and hour (last 24 hours)</text>\n",
                     num(kLeft).c_str(), num(top - 8).c_str());
  bottom = top + 40;
  if (!h.decoded) {
    s += printf_string("<text x=\"%s\" y=\"%s\" class=\"missing\">%s</text>\n</g>\n", num(kLeft + 10).c_str(),
                       num(top + 20).c_str(), escape("no data: " + h.problem).c_str());
    return s;
  }
  std::vector<int> rows;
  uint64_t peak = 1;
  for (int c = 0; c < kChannels; ++c) {
    bool used = false;
    for (const auto& r : h.records) {
      used = used || r.chan[size_t(c)].total() || r.chan[size_t(c)].freq_hz;
      peak = std::max(peak, r.chan[size_t(c)].total());
    }
    if (used) rows.push_back(c);
  }
  const double cw = (kWidth - 20 - kLeft - 40) / double(h.records.size());
  const double ch = 12;
  for (size_t row = 0; row < rows.size(); ++row) {
    const int c = rows[row];
    const double y = top + double(row) * ch;
    uint32_t freq = 0;
    for (const auto& r : h.records) freq = r.chan[size_t(c)].freq_hz ? r.chan[size_t(c)].freq_hz : freq;
    s += printf_string("<text x=\"%s\" y=\"%s\" class=\"axis\" text-anchor=\"end\">%d %s</text>\n", num(kLeft + 36).c_str(),
                       num(y + ch - 2).c_str(), c, freq ? printf_string("%.1f", freq / 1e6).c_str() : "");
    for (size_t i = 0; i < h.records.size(); ++i) {
      const uint64_t n = h.records[i].chan[size_t(c)].total();
      // White for none, deepening blue with the count.
      const double f = std::sqrt(double(n) / double(peak));
      const int red = int(255 - f * 225), green = int(255 - f * 170), blue = int(255 - f * 60);
      s += printf_string("<rect class=\"cell\" data-chan=\"%d\" data-index=\"%zu\" data-count=\"%llu\" x=\"%s\" y=\"%s\" "
                         "width=\"%s\" height=\"%s\" fill=\"#%02x%02x%02x\" stroke=\"#ddd\"><title>IF %d, record %zu: %llu</title></rect>\n",
                         c, i, (unsigned long long)n, num(kLeft + 40 + double(i) * cw).c_str(), num(y).c_str(), num(cw).c_str(),
                         num(ch).c_str(), red, green, blue, c, i, (unsigned long long)n);
    }
  }
  const double axis = top + double(rows.size()) * ch + 12;
  for (size_t i = 0; i < h.records.size(); i += 3)
    s += printf_string("<text x=\"%s\" y=\"%s\" class=\"axis\" text-anchor=\"middle\">-%zu</text>\n",
                       num(kLeft + 40 + (double(i) + 0.5) * cw).c_str(), num(axis).c_str(), h.records.size() - 1 - i);
  s += printf_string("<text x=\"%s\" y=\"%s\" class=\"axis\" text-anchor=\"middle\">newest</text>\n",
                     num(kLeft + 40 + (double(h.records.size()) - 0.5) * cw).c_str(), num(axis).c_str());
  s += printf_string("<text x=\"%s\" y=\"%s\" class=\"axis\">IF chain, MHz; darker: more packets (most: %llu in an hour)</text>\n",
                     num(kLeft).c_str(), num(axis + 16).c_str(), (unsigned long long)peak);
  bottom = axis + 24;
  return s + "</g>\n";
}

}  // namespace

std::string stats_svg(const StatsSources& src) {
  double bottom = 0;
  const double hourly_top = 60, daily_top = hourly_top + kChartHeight + 70, heat_top = daily_top + kChartHeight + 70;
  const std::string heat = heat_map(src.hourly, heat_top, bottom);
  std::string body = bars("hourly", "Packets per hour by spreading factor (last 24 hours, newest right)", src.hourly, hourly_top) +
                     bars("daily", "Packets per day by spreading factor (last 31 days, newest right)", src.daily, daily_top) + heat;
  std::string legend = "<g class=\"legend\">\n";
  for (int k = 0; k < kSfEntries; ++k)
    legend += printf_string("<rect x=\"%s\" y=\"16\" width=\"12\" height=\"12\" fill=\"%s\"/><text x=\"%s\" y=\"26\">SF%d</text>\n",
                            num(kLeft + k * 70).c_str(), kSfColour[k], num(kLeft + k * 70 + 16).c_str(), sf_of_index(k));
  legend += printf_string("<rect x=\"%s\" y=\"16\" width=\"12\" height=\"12\" fill=\"url(#crcerr)\" stroke=\"#900\"/>"
                          "<text x=\"%s\" y=\"26\">CRC error or no CRC</text>\n</g>\n",
                          num(kLeft + 6 * 70).c_str(), num(kLeft + 6 * 70 + 16).c_str());
  const double height = bottom + 10;
  return printf_string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%s\" height=\"%s\" viewBox=\"0 0 %s %s\" "
                       "font-family=\"sans-serif\" font-size=\"11\">\n",
                       num(kWidth).c_str(), num(height).c_str(), num(kWidth).c_str(), num(height).c_str()) +
         "<defs><pattern id=\"crcerr\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
         "<rect width=\"6\" height=\"6\" fill=\"#f4c7c3\"/><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#c0392b\" "
         "stroke-width=\"3\"/></pattern>\n<style>.title{font-weight:bold;font-size:13px}.axis{fill:#444}.missing{fill:#c0392b}"
         "</style></defs>\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n" +
         legend + body + "</svg>\n";
}

}  // namespace crxdiag
