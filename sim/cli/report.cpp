#include "cli/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

namespace nimbrel_sim {
namespace {

constexpr float kForkTargetHeight = -15000.0f;
constexpr double kGrid = 4096.0;

const char* KindColour(StrikeKind kind) {
  switch (kind) {
    case StrikeKind::Sheet:
      return "#4f8ef7";
    case StrikeKind::Chain:
      return "#c061f2";
    case StrikeKind::Fork:
      return "#f2b01e";
  }
  return "#888";
}

const char* KindName(StrikeKind kind) {
  switch (kind) {
    case StrikeKind::Sheet:
      return "sheet";
    case StrikeKind::Chain:
      return "chain";
    case StrikeKind::Fork:
      return "fork";
  }
  return "";
}

std::string Escape(const std::string& text) {
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
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Num(double value, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Top-down map of one kind of strike: the player at the centre, a ring
// every grid square (4096 units). One panel a kind, so none hides another.
void Map(std::ostringstream& out, const std::vector<ReportStrike>& strikes, StrikeKind kind, const char* title) {
  double reach = 3 * kGrid;
  for (const ReportStrike& s : strikes)
    reach = std::max(reach, std::hypot(double{s.fromPlayer.x}, double{s.fromPlayer.y}));
  const int rings = std::min(12, static_cast<int>(std::ceil(reach / kGrid)));
  const double extent = rings * kGrid * 1.08;
  constexpr double kSize = 340.0;
  const double scale = kSize / 2 / extent;
  const auto sx = [&](double x) { return kSize / 2 + x * scale; };
  const auto sy = [&](double y) { return kSize / 2 - y * scale; };  // north up
  size_t count = 0;
  for (const ReportStrike& s : strikes) count += s.kind == kind;

  out << "<figure class=\"panel\"><figcaption><span class=\"swatch\" style=\"background:" << KindColour(kind)
      << "\"></span>" << title << ": " << count << "</figcaption>\n";
  out << "<svg class=\"map\" viewBox=\"0 0 " << kSize << ' ' << kSize << "\" width=\"" << kSize << "\" height=\""
      << kSize << "\" role=\"img\" aria-label=\"" << title << " around the player\">\n";
  out << "<rect width=\"100%\" height=\"100%\" fill=\"#0d1420\"/>\n";
  out << "<line x1=\"0\" y1=\"" << Num(sy(0)) << "\" x2=\"" << kSize << "\" y2=\"" << Num(sy(0))
      << "\" stroke=\"#22324a\"/>\n";
  out << "<line x1=\"" << Num(sx(0)) << "\" y1=\"0\" x2=\"" << Num(sx(0)) << "\" y2=\"" << kSize
      << "\" stroke=\"#22324a\"/>\n";
  for (int ring = 1; ring <= rings; ++ring) {
    out << "<circle cx=\"" << Num(sx(0)) << "\" cy=\"" << Num(sy(0)) << "\" r=\"" << Num(ring * kGrid * scale)
        << "\" fill=\"none\" stroke=\"#2a3a52\" stroke-width=\"1\"/>\n";
  }
  for (const ReportStrike& s : strikes) {
    if (s.kind != kind) continue;
    out << "<circle cx=\"" << Num(sx(s.fromPlayer.x)) << "\" cy=\"" << Num(sy(s.fromPlayer.y)) << "\" r=\"2.4\" fill=\""
        << KindColour(kind) << "\" fill-opacity=\"0.45\"/>\n";
  }
  // Labels last, with a dark outline, so that no strike covers them.
  for (int ring = 1; ring <= rings; ring += rings > 6 ? 2 : 1) {
    out << "<text x=\"" << Num(sx(ring * kGrid * 0.707) + 2) << "\" y=\"" << Num(sy(ring * kGrid * 0.707) - 2)
        << "\" class=\"halo\">" << ring << "</text>\n";
  }
  out << "<circle cx=\"" << Num(sx(0)) << "\" cy=\"" << Num(sy(0)) << "\" r=\"4\" fill=\"#fff\" stroke=\"#000\"/>\n";
  out << "<text x=\"" << Num(sx(0) + 7) << "\" y=\"" << Num(sy(0) + 14) << "\" class=\"halo label\">player</text>\n";
  if (count == 0)
    out << "<text x=\"" << kSize / 2 << "\" y=\"" << kSize - 14 << "\" class=\"halo label\" "
        << "text-anchor=\"middle\">none in this run</text>\n";
  out << "</svg></figure>\n";
}

// Timeline, three lanes on one time axis: the published frequency, the
// scenario's events where they played, and strikes per 10 s.
void Timeline(std::ostringstream& out, const ReportInput& in) {
  constexpr double kWidth = 960, kLeft = 64, kRight = 72;
  constexpr double kPlotTop = 34, kPlot = 150;          // frequency
  constexpr double kEventsTop = kPlotTop + kPlot + 40;  // event markers: four rows
  constexpr double kRow = 16, kRows = 4;
  constexpr double kBarsTop = kEventsTop + kRows * kRow + 44;  // strike bars
  constexpr double kBars = 90;
  constexpr double kHeight = kBarsTop + kBars + 34;
  const double span = std::max(in.durationMs, 1.0);
  const auto tx = [&](double ms) { return kLeft + std::clamp(ms, 0.0, span) / span * (kWidth - kLeft - kRight); };
  const auto fy = [&](int freq) { return kPlotTop + kPlot - (freq / 255.0) * kPlot; };  // 255 at the top

  out << "<svg class=\"timeline\" viewBox=\"0 0 " << kWidth << ' ' << kHeight << "\" width=\"" << kWidth
      << "\" height=\"" << kHeight << "\" role=\"img\" aria-label=\"timeline\">\n";
  out << "<rect width=\"100%\" height=\"100%\" fill=\"#0d1420\"/>\n";
  // Frequency lane.
  out << "<text x=\"" << kLeft << "\" y=\"" << kPlotTop - 14 << "\" class=\"label\">published lightning frequency "
      << "(255 = no lightning; lower = more frequent)</text>\n";
  for (int freq : {0, 64, 128, 192, 255}) {
    out << "<line x1=\"" << kLeft << "\" x2=\"" << kWidth - kRight << "\" y1=\"" << Num(fy(freq)) << "\" y2=\""
        << Num(fy(freq)) << "\" stroke=\"#1d2a3d\"/><text x=\"" << kLeft - 6 << "\" y=\"" << Num(fy(freq) + 4)
        << "\" class=\"axis\" text-anchor=\"end\">" << freq << "</text>\n";
  }
  if (in.minFrequency < 255) {
    out << "<line x1=\"" << kLeft << "\" x2=\"" << kWidth - kRight << "\" y1=\"" << Num(fy(in.minFrequency))
        << "\" y2=\"" << Num(fy(in.minFrequency)) << "\" stroke=\"#c86464\" stroke-dasharray=\"4 4\"/><text x=\""
        << kWidth - kRight + 6 << "\" y=\"" << Num(fy(in.minFrequency) + 4) << "\" class=\"axis\">floor "
        << in.minFrequency << "</text>\n";
  }
  if (in.frequency.empty()) {
    out << "<text x=\"" << Num(tx(span / 2)) << "\" y=\"" << Num(fy(128)) << "\" class=\"label\" "
        << "text-anchor=\"middle\">the plug-in published no frequency in this run</text>\n";
  } else {
    out << "<polyline fill=\"none\" stroke=\"#7fd6ff\" stroke-width=\"2\" points=\"";
    int last = 255;
    out << Num(tx(0)) << ',' << Num(fy(255)) << ' ';
    for (const auto& [ms, freq] : in.frequency) {
      out << Num(tx(ms)) << ',' << Num(fy(last)) << ' ' << Num(tx(ms)) << ',' << Num(fy(freq)) << ' ';
      last = freq;
    }
    out << Num(tx(span)) << ',' << Num(fy(last)) << "\"/>\n";
  }
  // Event lane: a marker where each event played (late ones joined to their
  // time by a line, those not played crossed at theirs), numbers on the
  // first free row so that none covers another.
  out << "<text x=\"" << kLeft << "\" y=\"" << kEventsTop - 12 << "\" class=\"label\">scenario events where they "
      << "played (numbers as in the table; <tspan class=\"late\">orange: late</tspan>, "
      << "<tspan class=\"dropped\">red: not played</tspan>)</text>\n";
  // Events that played at one spot with the same status share a marker
  // ("3-7"); markers take the first row where they cover no other.
  std::vector<double> rowEnd(static_cast<size_t>(kRows), -1e9);
  for (size_t i = 0; i < in.outcomes.size();) {
    const ScenarioOutcome& o = in.outcomes[i];
    const auto at = [&](const ScenarioOutcome& e) { return tx(e.playedMs >= 0 ? e.playedMs : e.dueMs); };
    size_t last = i;
    while (last + 1 < in.outcomes.size() && in.outcomes[last + 1].status == o.status &&
           std::fabs(at(in.outcomes[last + 1]) - at(o)) < 2.0)
      ++last;
    std::string tip;
    for (size_t k = i; k <= last; ++k) {
      if (k > i) tip += '\n';
      tip += DescribeOutcome(in.outcomes[k]);
    }
    std::string label = std::to_string(i + 1);
    if (last > i) label.append("\u2013").append(std::to_string(last + 1));
    const size_t first = i;
    i = last + 1;
    if (o.status == ScenarioOutcome::Status::AfterEnd) continue;
    const double x = at(o);
    const double width = 6.0 * static_cast<double>(label.size()) + 6;
    size_t row = 0;
    while (row < rowEnd.size() && rowEnd[row] > x - width / 2) ++row;
    if (row == rowEnd.size())
      row = static_cast<size_t>(std::min_element(rowEnd.begin(), rowEnd.end()) - rowEnd.begin());
    rowEnd[row] = x + width / 2;
    const double y = kEventsTop + static_cast<double>(row) * kRow;
    const char* cls = o.status == ScenarioOutcome::Status::Late        ? "late"
                      : o.status == ScenarioOutcome::Status::NotPlayed ? "dropped"
                                                                       : "marker";
    out << "<g><title>" << Escape(tip) << "</title>";
    if (o.status == ScenarioOutcome::Status::Late)
      out << "<line x1=\"" << Num(tx(in.outcomes[first].dueMs)) << "\" x2=\"" << Num(x) << "\" y1=\"" << Num(y + 11)
          << "\" y2=\"" << Num(y + 11) << "\" stroke=\"#f29a4a\" stroke-width=\"2\"/>";
    out << "<text x=\"" << Num(x) << "\" y=\"" << Num(y + 9) << "\" class=\"" << cls << "\" text-anchor=\"middle\">"
        << (o.status == ScenarioOutcome::Status::NotPlayed ? "\u00d7" : "") << label << "</text></g>\n";
  }
  // Strike lane: strikes per 10 simulated seconds, stacked by kind, with a y axis.
  const double bin = 10000.0;
  const int bins = std::max(1, static_cast<int>(std::ceil(span / bin)));
  std::vector<std::map<StrikeKind, int>> counts(static_cast<size_t>(bins));
  int most = 1;
  for (const ReportStrike& s : in.strikes) {
    const int b = std::clamp(static_cast<int>(s.ms / bin), 0, bins - 1);
    ++counts[static_cast<size_t>(b)][s.kind];
  }
  for (const auto& c : counts) {
    int total = 0;
    for (const auto& [kind, n] : c) total += n;
    most = std::max(most, total);
  }
  // A round top for the axis: 1, 2 or 5 times a power of ten.
  double top = 1;
  for (double power = 1; top < most; power *= 10) {
    for (double step : {1.0, 2.0, 5.0}) {
      top = step * power;
      if (top >= most) break;
    }
  }
  out << "<text x=\"" << kLeft << "\" y=\"" << kBarsTop - 12 << "\" class=\"label\">strikes per 10 simulated "
      << "seconds, by kind: <tspan fill=\"" << KindColour(StrikeKind::Sheet) << "\">sheet</tspan>, <tspan fill=\""
      << KindColour(StrikeKind::Chain) << "\">in chains</tspan>, <tspan fill=\"" << KindColour(StrikeKind::Fork)
      << "\">fork</tspan></text>\n";
  const double base = kBarsTop + kBars;
  for (double tick : {0.0, top / 2, top}) {
    const double y = base - tick / top * kBars;
    out << "<line x1=\"" << kLeft << "\" x2=\"" << kWidth - kRight << "\" y1=\"" << Num(y) << "\" y2=\"" << Num(y)
        << "\" stroke=\"#1d2a3d\"/><text x=\"" << kLeft - 6 << "\" y=\"" << Num(y + 4)
        << "\" class=\"axis\" text-anchor=\"end\">" << Num(tick, tick == std::floor(tick) ? 0 : 1) << "</text>\n";
  }
  for (int b = 0; b < bins; ++b) {
    double y = base;
    const double x0 = tx(b * bin) + 1, x1 = tx(std::min((b + 1) * bin, span)) - 1;
    for (StrikeKind kind : {StrikeKind::Fork, StrikeKind::Chain, StrikeKind::Sheet}) {
      const auto found = counts[static_cast<size_t>(b)].find(kind);
      if (found == counts[static_cast<size_t>(b)].end()) continue;
      const double h = found->second * kBars / top;
      y -= h;
      out << "<rect x=\"" << Num(x0) << "\" y=\"" << Num(y) << "\" width=\"" << Num(std::max(1.0, x1 - x0))
          << "\" height=\"" << Num(h) << "\" fill=\"" << KindColour(kind) << "\" fill-opacity=\"0.8\"><title>"
          << found->second << ' ' << KindName(kind) << " strikes</title></rect>\n";
    }
  }
  for (double s = 0; s <= span / 1000.0 + 0.001; s += std::max(10.0, std::ceil(span / 1000.0 / 12 / 10) * 10)) {
    out << "<text x=\"" << Num(tx(s * 1000)) << "\" y=\"" << kHeight - 12 << "\" class=\"axis\" text-anchor=\"middle\">"
        << Num(s, 0) << " s</text>\n";
  }
  out << "</svg>\n";
  if (in.minFrequency < 255) {
    out << "<p class=\"note\"><span class=\"floorkey\"></span> the floor, " << in.minFrequency
        << ": the most frequent the published value goes; at the floor strikes come at the full SheetFrequency / "
           "ForkFrequency rate, and at a value v at (255 &minus; floor) / (255 &minus; v) times the wait.</p>\n";
  }
}

}  // namespace

std::vector<ReportStrike> ClassifyStrikes(const std::vector<CastRecord>& casts) {
  // How many casts each strike thread queued: a thread with several is a chain.
  std::map<uint32_t, int> perThread;
  for (const CastRecord& cast : casts) ++perThread[cast.queuedBy];
  std::vector<ReportStrike> strikes;
  strikes.reserve(casts.size());
  for (const CastRecord& cast : casts) {
    ReportStrike strike;
    strike.ms = cast.ms;
    strike.fromPlayer = {cast.target.x - cast.player.x, cast.target.y - cast.player.y, cast.target.z - cast.player.z};
    const int group = perThread[cast.queuedBy];
    if (cast.target.z == kForkTargetHeight) {
      strike.kind = StrikeKind::Fork;
    } else if (group > 1) {
      strike.kind = StrikeKind::Chain;
      strike.chainSize = group;
    } else {
      strike.kind = StrikeKind::Sheet;
    }
    strikes.push_back(strike);
  }
  return strikes;
}

std::string DescribeOutcome(const ScenarioOutcome& o) {
  char text[96];
  std::snprintf(text, sizeof text, "line %d at %.1f s", o.line, o.dueMs / 1000.0);
  std::string line = std::string(text) + " \"" + o.text + "\"";
  if (o.status == ScenarioOutcome::Status::Late) {
    std::snprintf(text, sizeof text, ": played at %.1f s, %.1f s late (", o.playedMs / 1000.0,
                  (o.playedMs - o.dueMs) / 1000.0);
    line += text + o.why + ")";
  } else if (!o.why.empty()) {
    line += ": " + o.why;
  }
  return line;
}

std::string RenderReport(const ReportInput& in) {
  std::map<StrikeKind, size_t> byKind;
  std::map<int, size_t> chainSizes;
  {
    // Chains counted once each, by the size of the group.
    std::map<int, size_t> chainStrikes;
    for (const ReportStrike& s : in.strikes) {
      ++byKind[s.kind];
      if (s.kind == StrikeKind::Chain) ++chainStrikes[s.chainSize];
    }
    for (const auto& [size, strikes] : chainStrikes) chainSizes[size] = strikes / static_cast<size_t>(size);
  }
  size_t chains = 0;
  for (const auto& [size, n] : chainSizes) chains += n;
  const size_t flashesApplied = static_cast<size_t>(
      std::count_if(in.flashes.begin(), in.flashes.end(), [](const FlashRecord& f) { return f.applied; }));
  size_t late = 0, notPlayed = 0, played = 0;
  for (const ScenarioOutcome& o : in.outcomes) {
    late += o.status == ScenarioOutcome::Status::Late;
    notPlayed += o.status == ScenarioOutcome::Status::NotPlayed;
    played += o.playedMs >= 0;
  }

  std::ostringstream out;
  out << "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Nimbrel storm report: "
      << Escape(in.edition) << ' ' << Escape(in.runtime.substr(0, in.runtime.find(" ("))) << "</title>\n"
      << "<style>\n"
      << "body{font:14px/1.45 system-ui,-apple-system,'Segoe "
         "UI',sans-serif;background:#080c14;color:#d8e0ec;margin:24px;max-width:1100px}\n"
      << "h1{font-size:22px;margin:0 0 4px}h2{font-size:16px;margin:24px 0 8px;color:#9fb4d0}\n"
      << ".sub{color:#8a9ab2;margin-bottom:16px}.row{display:flex;gap:16px;flex-wrap:wrap;align-items:flex-start}\n"
      << "table{border-collapse:collapse}td,th{padding:4px 12px;border-bottom:1px solid #1d2a3d;text-align:left}\n"
      << "th{color:#9fb4d0;font-weight:600}td.n{text-align:right;font-variant-numeric:tabular-nums}\n"
      << "table.game{margin:4px 0 8px}table.game th,table.game td{padding:1px 12px 1px 0;border:none}\n"
      << ".verdict{padding:10px 14px;margin:8px 0;border-radius:6px;border-left:6px solid}\n"
      << ".verdict.ok{border-color:#4fbf6a;background:#10251a}.verdict.warn{border-color:#e0a030;"
         "background:#2a2010}.verdict.bad{border-color:#e05050;background:#2a1212}\n"
      << ".verdict b{display:inline-block;min-width:110px}\n"
      << "figure.panel{margin:0}figcaption{margin:0 0 4px;color:#d8e0ec}\n"
      << ".swatch{display:inline-block;width:10px;height:10px;margin-right:6px;border-radius:2px}\n"
      << ".note{color:#9fb4d0;max-width:1040px}.floorkey{display:inline-block;width:22px;border-top:2px dashed "
         "#c86464;vertical-align:middle}\n"
      << "svg text{fill:#9fb4d0;font:11px system-ui,sans-serif}svg .label{fill:#d8e0ec;font-size:12px}\n"
      << "svg .halo{fill:#e8eef6;font-size:11px;paint-order:stroke;stroke:#0d1420;stroke-width:3px}\n"
      << "svg .marker{fill:#e8c46a;font-size:11px}svg .late{fill:#f29a4a;font-size:11px}svg "
         ".dropped{fill:#ff6a6a;font-size:11px;font-weight:600}tr.late td,tspan.late{color:#f29a4a;fill:#f29a4a}"
         "tr.dropped td,tspan.dropped{color:#ff6a6a;fill:#ff6a6a}\n"
      << ".bad{color:#ff7a7a}.ok{color:#7ddf8a}.warn{color:#e8c46a}code{color:#b8c8dc}dt{font-weight:600;"
         "margin-top:6px}dd{margin-left:18px}\n"
      << "</style></head><body>\n";
  // Which game was played, so that two reports side by side tell their runtimes apart.
  out << "<h1>Nimbrel storm report</h1>\n<table class=\"game\" id=\"game\">"
      << "<tr><th>edition</th><td>" << Escape(in.edition) << "</td></tr>"
      << "<tr><th>runtime</th><td>" << Escape(in.runtime) << "</td></tr>"
      << "<tr><th>host</th><td>" << Escape(in.host) << "</td></tr></table>\n<div class=\"sub\">" << Escape(in.scenario)
      << " &middot; " << Num(in.durationMs / 1000.0, 0) << " simulated seconds at time scale " << Num(in.timeScale, 0)
      << "</div>\n";

  // Three separate answers: did lightning run, did the double's rules hold,
  // did the scenario play as written.
  const char* lightningClass = in.lightning.state == LightningState::State::Ran ? "ok" : "warn";
  out << "<div class=\"verdict " << lightningClass << "\" id=\"lightning\"><b>lightning</b> "
      << Escape(in.lightning.text) << "</div>\n";
  out << "<div class=\"verdict " << (in.failures.empty() ? "ok" : "bad") << "\" id=\"checks\"><b>checks</b> ";
  if (in.failures.empty())
    out << "the double's checks of the host and engine rules all held";
  else
    out << in.failures.size() << " of the double's checks of the host and engine rules failed (listed below)";
  out << "</div>\n";
  out << "<div class=\"verdict "
      << (notPlayed ? "bad"
          : late    ? "warn"
                    : "ok")
      << "\" id=\"events\"><b>events</b> " << played << " of " << in.outcomes.size() << " played, " << late << " late, "
      << notPlayed << " not played</div>\n";
  if (!in.unknownKeys.empty()) {
    out << "<div class=\"verdict warn\" id=\"settings\"><b>settings</b> keys the plug-in does not know (those calls "
           "change nothing):<ul>\n";
    for (const UnknownSettingKey& k : in.unknownKeys)
      out << "<li>line " << k.line << ": <code>" << Escape(k.key) << "</code>: " << Escape(k.hint) << "</li>\n";
    out << "</ul></div>\n";
  }
  out << "<div class=\"verdict " << (in.faults.empty() ? "ok" : "warn") << "\" id=\"faults\"><b>faults</b> ";
  if (in.faults.empty()) {
    out << "none injected";
  } else {
    out << "injected: ";
    for (size_t i = 0; i < in.faults.size(); ++i)
      out << (i ? ", " : "") << "<code>" << Escape(in.faults[i].first) << "</code> (" << in.faults[i].second
          << " call(s) refused)";
  }
  out << "</div>\n";
  if (!in.lightningWorks.empty())
    out << "<div class=\"verdict\" id=\"works\"><b>lightning works</b> " << Escape(in.lightningWorks) << "</div>\n";
  if (!in.layoutFault.empty() || !in.standDown.empty()) {
    out << "<div class=\"verdict warn\" id=\"layout\"><b>layout fault</b> "
        << Escape(in.layoutFault.empty() ? "none" : in.layoutFault) << "<br><b>stand-down</b> "
        << Escape(in.standDown.empty() ? "none seen in the plug-in's log" : in.standDown) << "</div>\n";
  }
  if (!in.runFailures.empty() || !in.failures.empty()) {
    out << "<h2 class=\"bad\">Failures</h2><ul>\n";
    for (const std::string& f : in.runFailures) out << "<li>" << Escape(f) << "</li>\n";
    for (const std::string& f : in.failures) out << "<li>" << Escape(f) << "</li>\n";
    out << "</ul>\n";
  }

  out << "<h2>Strikes around the player (north up)</h2>\n<div class=\"row\">\n";
  Map(out, in.strikes, StrikeKind::Sheet, "sheet strikes (single)");
  Map(out, in.strikes, StrikeKind::Chain, "strikes in chains");
  Map(out, in.strikes, StrikeKind::Fork, "fork strikes");
  out << "</div>\n<p class=\"note\">Rings mark the distance from the player in grid squares of 4096 units. The "
         "distance settings count grid squares along each axis (the plug-in draws an x and a y square "
         "separately), so a setting of 7 reaches a square, not a ring, and fork strikes drawn 0 squares out on "
         "one axis gather along the axes.</p>\n";

  out << "<h2>Timeline</h2>\n";
  Timeline(out, in);

  out << "<div class=\"row\"><div><h2>Figures</h2><table>\n";
  const auto row = [&](const std::string& name, const std::string& value) {
    out << "<tr><td>" << name << "</td><td class=\"n\">" << value << "</td></tr>\n";
  };
  row("strikes", std::to_string(in.strikes.size()));
  row("&nbsp;&nbsp;sheet (single)", std::to_string(byKind[StrikeKind::Sheet]));
  row("&nbsp;&nbsp;in chains", std::to_string(byKind[StrikeKind::Chain]));
  row("&nbsp;&nbsp;fork", std::to_string(byKind[StrikeKind::Fork]));
  row("chains", std::to_string(chains));
  for (const auto& [size, n] : chainSizes) row("&nbsp;&nbsp;of " + std::to_string(size), std::to_string(n));
  row("screen flashes applied", std::to_string(flashesApplied));
  row("references moved", std::to_string(in.moves));
  row("tasks run on the main thread", std::to_string(in.tasksRun));
  const MainThreadFigures& m = in.mainThread;
  row("main-thread frames", std::to_string(m.frames));
  row("&nbsp;&nbsp;tasks per frame, most", std::to_string(m.maxTasksPerFrame));
  row("&nbsp;&nbsp;task latency, most frames", std::to_string(m.maxTaskLatencyFrames));
  row("saved games loaded", std::to_string(m.loads));
  row("&nbsp;&nbsp;tasks held over a load", std::to_string(m.tasksHeldOverLoads));
  row("&nbsp;&nbsp;strike calls during loads", std::to_string(m.pluginCallsDuringLoads));
  if (m.threadsObserved) {
    row("plug-in threads alive at once, most", std::to_string(m.peakPluginThreads));
    row("&nbsp;&nbsp;effect loops at once, most: sheet / fork",
        std::to_string(m.peakSheetLoops) + " / " + std::to_string(m.peakForkLoops));
  }
  row("frequency floor", std::to_string(in.minFrequency));
  out << "</table>\n";
  if (std::any_of(in.waits.begin(), in.waits.end(), [](const auto& w) { return w.intervals > 0; })) {
    out << "<h2>Waits between "
           "strikes</h2><table><tr><th>type</th><th>measured</th><th>formula</th><th>intervals</th></tr>\n";
    for (const auto& w : in.waits) {
      if (w.intervals == 0) continue;
      out << "<tr><td>" << Escape(w.type) << "</td><td class=\"n\">" << Num(w.measuredMs) << " ms</td><td class=\"n\">"
          << Num(w.formulaMs) << " ms</td><td class=\"n\">" << w.intervals << "</td></tr>\n";
    }
    out << "</table>\n";
  }
  out << "</div>\n";

  if (!in.outcomes.empty()) {
    out << "<div><h2>Scenario</h2><table id=\"scenario\"><tr><th>#</th><th>line</th><th>due</th><th>played</th>"
           "<th>event</th></tr>\n";
    for (size_t i = 0; i < in.outcomes.size(); ++i) {
      const ScenarioOutcome& o = in.outcomes[i];
      std::string playedText;
      const char* cls = "";
      switch (o.status) {
        case ScenarioOutcome::Status::OnTime:
          playedText = Num(o.playedMs / 1000.0, 1) + " s";
          break;
        case ScenarioOutcome::Status::Late:
          cls = "late";
          playedText = Num(o.playedMs / 1000.0, 1) + " s, " + Num((o.playedMs - o.dueMs) / 1000.0, 1) +
                       " s late: " + Escape(o.why);
          break;
        case ScenarioOutcome::Status::NotPlayed:
          cls = "dropped";
          playedText = "not played: " + Escape(o.why);
          break;
        case ScenarioOutcome::Status::AfterEnd:
          playedText = Escape(o.why);
          break;
      }
      out << "<tr class=\"" << cls << "\"><td class=\"n\">" << i + 1 << "</td><td class=\"n\">" << o.line
          << "</td><td class=\"n\">" << Num(o.dueMs / 1000.0, 1) << " s</td><td class=\"" << cls << "\">" << playedText
          << "</td><td>" << Escape(o.text) << "</td></tr>\n";
    }
    out << "</table></div>\n";
  }
  out << "</div>\n";

  out << "<h2>Words used here</h2><dl class=\"note\">\n"
      << "<dt>sheet, chain, fork</dt><dd>sheet strikes light up the sky high overhead; a chain is a group of sheet "
         "strikes one strike thread queues together; fork strikes come down to the ground.</dd>\n"
      << "<dt>published lightning frequency</dt><dd>the value the plug-in's weather monitor works out from the "
         "weathers every cycle and writes to its log: 255 = no lightning, lower = more frequent.</dd>\n"
      << "<dt>floor</dt><dd>the most frequent the published value goes; strike waits are scaled from it.</dd>\n"
      << "<dt>late event</dt><dd>a scenario event due while a saved-game load or a hitch held the game's main "
         "thread plays when the thread is free again, as in the game; the table says how late and why.</dd>\n"
      << "<dt>not played</dt><dd>an event due before the end that never ran (the run ended while a load held the "
         "main thread): a failure of the run.</dd>\n"
      << "<dt>checks of the double</dt><dd>the simulated game's rules of the host and engine (tasks, sinks, "
         "threads, the code patch, memory). They can all hold while lightning never starts.</dd>\n"
      << "<dt>query, plug-in load</dt><dd>the host's two calls into the plug-in, SKSEPlugin_Query (may it run in "
         "this game?) and SKSEPlugin_Load (start); not saved-game loads.</dd>\n"
      << "<dt>interfaces</dt><dd>host services the plug-in asked for: 2 script, 4 task, 5 messaging.</dd>\n"
      << "<dt>patch site</dt><dd>the game code bytes the plug-in overwrites with a jump (E9 and an offset).</dd>\n"
      << "<dt>screen-flash calls</dt><dd>each flash is one apply and one remove call; the count of flashes is "
         "the applies.</dd>\n"
      << "<dt>threads</dt><dd>the most of the plug-in's own threads alive at one moment.</dd>\n"
      << "<dt>layout fault, stand-down</dt><dd>a field the plug-in reads, moved for the run as a game update "
         "would move it; the plug-in is to find out by the engine's type information, log what it found and "
         "stand down for the session, with no engine call from its threads after that.</dd>\n"
      << "</dl>\n";
  out << "<h2>Files</h2><p>plug-in log: <code>" << Escape(in.logPath) << "</code><br>trace: <code>"
      << Escape(in.tracePath) << "</code></p>\n</body></html>\n";
  return out.str();
}

}  // namespace nimbrel_sim
