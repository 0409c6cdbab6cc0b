// crxdiag stats: counters counted from simulated traffic, the history
// files as tables, the SVG read back as XML and the Prometheus file read
// back line by line; damaged and missing sources.
#include <expat.h>
#include <gmock/gmock.h>

#include <filesystem>
#include <map>
#include <regex>

#include "diag.h"
#include "diag_fixture.h"

using ::testing::HasSubstr;

namespace diag_test {
namespace {

// Totals of the marked records (see marked_record).
uint64_t record_total(uint32_t m) { return 60ull * m + 15 + 6ull * (m % 4); }
uint64_t record_other(uint32_t m) { return 6ull * (m % 4); }

class Stats : public DiagTest {
 protected:
  // Counters as a started board leaves them: six uplinks, one with a bad CRC.
  void traffic() {
    database(condor_na_db());
    config();
    ASSERT_EQ(run_json({"start", "--seconds", "3"})["result"], "ok");
  }
  std::string out_dir() {
    const std::string d = sandbox().root() + "/out";
    std::filesystem::create_directories(d);
    return d;
  }
};

TEST_F(Stats, CountersFromTrafficAndTheHistoryTables) {
  traffic();
  histories();
  const Json d = run_json({"stats"});
  EXPECT_EQ(d["status"], 0) << d.dump(2);
  EXPECT_EQ(d["counters"]["uplink"], 6);
  EXPECT_EQ(d["counters"]["downlink"], 0);
  EXPECT_EQ(d["counters"]["crc_ok"], 5);
  EXPECT_EQ(d["counters"]["crc_error"], 1);
  EXPECT_THAT(d["current_hour"]["why"].get<std::string>(), HasSubstr("inside the process that runs the concentrator"));
  ASSERT_EQ(d["hourly"]["records"].size(), 24u);
  ASSERT_EQ(d["daily"]["records"].size(), 31u);
  for (size_t i = 0; i < 24; ++i) {
    const Json& r = d["hourly"]["records"][i];
    const uint32_t m = uint32_t(i + 1);
    EXPECT_EQ(r["total"], record_total(m)) << i;
    EXPECT_EQ(r["other"], record_other(m)) << i;
    EXPECT_EQ(r["sf"][2]["sf"], 9);
    EXPECT_EQ(r["sf"][2]["crc_ok"], 10 * m + 2);
    ASSERT_EQ(r["channels"].size(), 8u);
    EXPECT_EQ(r["channels"][3]["if_chain"], 3);
    EXPECT_EQ(r["channels"][3]["freq_hz"], 902900000);
    EXPECT_EQ(r["channels"][3]["crc_ok"], m + 3);
    EXPECT_EQ(r["channels"][3]["other"], m % 3);
    EXPECT_TRUE(r.contains("period_start"));
  }
  EXPECT_EQ(d["daily"]["records"][30]["total"], record_total(130));

  const Outcome o = run({"stats"});
  EXPECT_THAT(o.out, HasSubstr("Packet counters: uplink 6, downlink 0, CRC ok 5, CRC error 1\n"));
  EXPECT_THAT(o.out, HasSubstr("Hourly history, oldest first (/var/lib/logs/packet_history.hr)\n"));
  // Record 23 (mark 24): total 1455, other 0, SF7 = 240 ... SF12 = 245.
  EXPECT_THAT(o.out, HasSubstr("    1455         0    240    241    242    243    244    245         8\n"));
}

TEST_F(Stats, DamagedHistoryFileIsNamedKeptAndTheRestShown) {
  histories();
  const std::string cut = history_file(true, 24).substr(0, 8 + 10 * crxdiag::kRecordSize + 100);
  sandbox().write_file("/var/lib/logs/packet_history.hr", cut);
  const Json d = run_json({"stats"});
  EXPECT_EQ(d["status"], 3);
  EXPECT_THAT(d["hourly"]["problem"].get<std::string>(), HasSubstr("cut short: 10 whole records of 24"));
  EXPECT_TRUE(d["hourly"]["records"].empty());
  EXPECT_EQ(d["daily"]["records"].size(), 31u);
  // Unlike the library's reader, crxdiag leaves the file for the engineer.
  EXPECT_EQ(sandbox().read_file("/var/lib/logs/packet_history.hr"), cut);

  sandbox().write_file("/var/lib/logs/packet_history.hr", history_file(false, 24));
  const Outcome o = run({"stats"});
  EXPECT_THAT(o.out, HasSubstr("packet_history.hr is damaged: magic number 0xAABBEEFF, expected 0xAABBCCDD"));
  EXPECT_THAT(o.out, HasSubstr("Daily history, oldest first"));
}

TEST_F(Stats, NothingThereSaysSoForEachSource) {
  const Json d = run_json({"stats"});
  EXPECT_EQ(d["status"], 3);
  ASSERT_EQ(d["missing"].size(), 3u);
  EXPECT_THAT(d["missing"][0].get<std::string>(), HasSubstr("no packet-statistics memory"));
  EXPECT_THAT(d["missing"][1].get<std::string>(), HasSubstr("no hourly history file"));
  EXPECT_THAT(d["missing"][2].get<std::string>(), HasSubstr("no daily history file"));
}

// ---- the SVG, read back as XML ----

struct Element {
  std::string name;
  std::map<std::string, std::string> attrs;
  int parent = -1;
};

struct Svg {
  std::vector<Element> elements;
  std::vector<int> stack;
  bool well_formed = false;
  std::string error;
};

Svg parse_svg(const std::string& text) {
  Svg svg;
  XML_Parser p = XML_ParserCreate("UTF-8");
  XML_SetUserData(p, &svg);
  XML_SetElementHandler(
      p,
      [](void* data, const XML_Char* name, const XML_Char** attrs) {
        auto* s = static_cast<Svg*>(data);
        Element e{name, {}, s->stack.empty() ? -1 : s->stack.back()};
        for (int i = 0; attrs[i]; i += 2) e.attrs[attrs[i]] = attrs[i + 1];
        s->stack.push_back(int(s->elements.size()));
        s->elements.push_back(e);
      },
      [](void* data, const XML_Char*) { static_cast<Svg*>(data)->stack.pop_back(); });
  svg.well_formed = XML_Parse(p, text.data(), int(text.size()), 1) == XML_STATUS_OK;
  if (!svg.well_formed) svg.error = XML_ErrorString(XML_GetErrorCode(p));
  XML_ParserFree(p);
  return svg;
}

double num(const Element& e, const char* attr) { return std::stod(e.attrs.at(attr)); }

void check_bars(const Svg& svg, const std::string& chart, size_t count, uint32_t first_mark) {
  std::vector<int> bars;
  for (size_t i = 0; i < svg.elements.size(); ++i) {
    const Element& e = svg.elements[i];
    if (e.name == "g" && e.attrs.count("class") && e.attrs.at("class") == "bar" && e.attrs.at("data-chart") == chart)
      bars.push_back(int(i));
  }
  ASSERT_EQ(bars.size(), count) << chart;
  // Heights proportional to the totals: one scale for the whole chart, the
  // highest bar filling the chart's 180 pixels.
  uint64_t peak = 0;
  for (size_t i = 0; i < count; ++i) peak = std::max(peak, record_total(first_mark + uint32_t(i)));
  for (size_t i = 0; i < count; ++i) {
    const Element& bar = svg.elements[size_t(bars[i])];
    const uint32_t m = first_mark + uint32_t(i);
    EXPECT_EQ(bar.attrs.at("data-index"), std::to_string(i));
    EXPECT_EQ(bar.attrs.at("data-total"), std::to_string(record_total(m)));
    EXPECT_EQ(bar.attrs.at("data-other"), std::to_string(record_other(m)));
    EXPECT_NEAR(num(bar, "data-height"), 180.0 * double(record_total(m)) / double(peak), 0.002);
    // Its segments: one per SF and CRC state, stacked, adding up to the bar.
    double height = 0, errors = 0;
    uint64_t counted = 0;
    for (const Element& e : svg.elements) {
      if (e.parent != bars[i] || e.name != "rect") continue;
      height += num(e, "height");
      counted += std::stoull(e.attrs.at("data-count"));
      if (e.attrs.at("data-crc") == "error") {
        errors += std::stod(e.attrs.at("data-count"));
        EXPECT_EQ(e.attrs.at("fill"), "url(#crcerr)");
      }
    }
    EXPECT_NEAR(height, num(bar, "data-height"), 0.02) << chart << " " << i;
    EXPECT_EQ(counted, record_total(m));
    EXPECT_EQ(errors, double(record_other(m)));
  }
}

TEST_F(Stats, SvgIsWellFormedWithABarPerHourAndDayAndTheHeatMap) {
  traffic();
  histories();
  const std::string svg_path = out_dir() + "/stats.svg", prom_path = out_dir() + "/crx.prom";
  const Outcome o = run({"stats", "--svg", svg_path, "--prometheus", prom_path});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_THAT(o.out, HasSubstr("SVG file " + svg_path + " written\n"));
  // Written under temporary names and renamed: nothing else left beside them.
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(out_dir())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"crx.prom", "stats.svg"}));

  const Svg svg = parse_svg(read_text(svg_path));
  ASSERT_TRUE(svg.well_formed) << svg.error;
  EXPECT_EQ(svg.elements[0].name, "svg");
  check_bars(svg, "hourly", 24, 1);
  check_bars(svg, "daily", 31, 100);
  int cells = 0;
  for (const Element& e : svg.elements) {
    if (e.name != "rect" || !e.attrs.count("class") || e.attrs.at("class") != "cell") continue;
    ++cells;
    const uint32_t c = uint32_t(std::stoi(e.attrs.at("data-chan")));
    const uint32_t m = uint32_t(std::stoi(e.attrs.at("data-index"))) + 1;
    EXPECT_LT(c, 8u);
    EXPECT_EQ(e.attrs.at("data-count"), std::to_string(m + c + m % 3));
  }
  EXPECT_EQ(cells, 8 * 24);
}

TEST_F(Stats, PrometheusFileMatchesTheCountersLineByLine) {
  traffic();
  histories();
  const std::string prom_path = out_dir() + "/crx.prom";
  ASSERT_EQ(run({"stats", "--prometheus", prom_path}).status, 0);
  std::map<std::string, double> samples;
  std::set<std::string> typed;
  std::istringstream in(read_text(prom_path));
  const std::regex sample(R"(^([a-z_]+)(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})? ([0-9]+)$)");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# TYPE ", 0) == 0) {
      typed.insert(line.substr(7, line.find(' ', 7) - 7));
      continue;
    }
    if (line.rfind("# HELP ", 0) == 0) continue;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
    EXPECT_TRUE(typed.count(m[1])) << "no TYPE before " << line;
    EXPECT_FALSE(samples.count(m[1].str() + m[2].str())) << "repeated " << line;
    samples[m[1].str() + m[2].str()] = std::stod(m[4]);
  }
  EXPECT_EQ(samples["crx_uplink_packets_total"], 6);
  EXPECT_EQ(samples["crx_downlink_packets_total"], 0);
  EXPECT_EQ(samples["crx_uplink_crc_packets_total{crc=\"ok\"}"], 5);
  EXPECT_EQ(samples["crx_uplink_crc_packets_total{crc=\"error\"}"], 1);
  // The newest hourly record (mark 24) per channel and per SF.
  EXPECT_EQ(samples["crx_channel_packets_last_hour{if_chain=\"3\",freq_hz=\"902900000\",crc=\"ok\"}"], 27);
  EXPECT_EQ(samples["crx_channel_packets_last_hour{if_chain=\"3\",freq_hz=\"902900000\",crc=\"other\"}"], 0);
  EXPECT_EQ(samples["crx_sf_packets_last_hour{sf=\"12\",crc=\"ok\"}"], 245);
  EXPECT_EQ(samples["crx_sf_packets_last_day{sf=\"7\",crc=\"other\"}"], 130 % 4);
  // Stop left the downlink-idle fault set.
  EXPECT_EQ(samples["crx_fault_active{fault=\"7\",name=\"downlink idle\"}"], 1);
  EXPECT_EQ(samples["crx_fault_active{fault=\"1\",name=\"radio hardware\"}"], 0);
  EXPECT_EQ(samples["crx_alarm_active{alarm=\"2\"}"], 1);
  for (const char* s : {"packet_counters", "hourly_history", "daily_history", "fault_memory"})
    EXPECT_EQ(samples["crx_source_up{source=\"" + std::string(s) + "\"}"], 1) << s;
}

TEST_F(Stats, UnwritableOutputIsAFailureAndLeavesNoTemporaryFile) {
  histories();
  const Outcome o = run({"stats", "--svg", sandbox().root() + "/no/such/dir/stats.svg"});
  EXPECT_EQ(o.status, 1);
  EXPECT_THAT(o.out, HasSubstr("NOT WRITTEN: cannot create a temporary file"));
}

// The pieces a picture is drawn from, given directly to the core.
TEST(StatsPicture, MissingHistoryDrawsANoteInsteadOfBars) {
  crxdiag::StatsSources s;
  s.hourly = crxdiag::parse_history({}, true);
  s.daily = crxdiag::parse_history({}, false);
  const Svg svg = parse_svg(crxdiag::stats_svg(s));
  ASSERT_TRUE(svg.well_formed) << svg.error;
  int bars = 0, notes = 0;
  for (const Element& e : svg.elements) {
    bars += e.attrs.count("class") && e.attrs.at("class") == "bar";
    notes += e.attrs.count("class") && e.attrs.at("class") == "missing";
  }
  EXPECT_EQ(bars, 0);
  EXPECT_EQ(notes, 3);
}

}  // namespace
}  // namespace diag_test
