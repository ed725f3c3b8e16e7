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

// Top-down map: the player at the centre, grid rings every 4096 units.
void Map(std::ostringstream& out, const std::vector<ReportStrike>& strikes) {
  double reach = 3 * kGrid;
  for (const ReportStrike& s : strikes)
    reach = std::max(reach, std::hypot(double{s.fromPlayer.x}, double{s.fromPlayer.y}));
  const int rings = std::min(12, static_cast<int>(std::ceil(reach / kGrid)));
  const double extent = rings * kGrid * 1.05;
  constexpr double kSize = 520.0;
  const double scale = kSize / 2 / extent;
  const auto sx = [&](double x) { return kSize / 2 + x * scale; };
  const auto sy = [&](double y) { return kSize / 2 - y * scale; };  // north up

  out << "<svg class=\"map\" viewBox=\"0 0 " << kSize << ' ' << kSize << "\" width=\"" << kSize << "\" height=\""
      << kSize << "\" role=\"img\" aria-label=\"strikes around the player\">\n";
  out << "<rect width=\"100%\" height=\"100%\" fill=\"#0d1420\"/>\n";
  for (int ring = 1; ring <= rings; ++ring) {
    out << "<circle cx=\"" << Num(sx(0)) << "\" cy=\"" << Num(sy(0)) << "\" r=\"" << Num(ring * kGrid * scale)
        << "\" fill=\"none\" stroke=\"#2a3a52\" stroke-width=\"1\"/>\n";
    out << "<text x=\"" << Num(sx(ring * kGrid * 0.707) + 3) << "\" y=\"" << Num(sy(ring * kGrid * 0.707) - 3)
        << "\" class=\"ring\">" << ring << "</text>\n";
  }
  out << "<line x1=\"" << Num(sx(-extent)) << "\" y1=\"" << Num(sy(0)) << "\" x2=\"" << Num(sx(extent)) << "\" y2=\""
      << Num(sy(0)) << "\" stroke=\"#1d2a3d\"/>\n";
  out << "<line x1=\"" << Num(sx(0)) << "\" y1=\"" << Num(sy(-extent)) << "\" x2=\"" << Num(sx(0)) << "\" y2=\""
      << Num(sy(extent)) << "\" stroke=\"#1d2a3d\"/>\n";
  // Sheet and chain strikes under fork strikes: forks are the ones near the player.
  for (StrikeKind kind : {StrikeKind::Sheet, StrikeKind::Chain, StrikeKind::Fork}) {
    for (const ReportStrike& s : strikes) {
      if (s.kind != kind) continue;
      const double x = sx(s.fromPlayer.x), y = sy(s.fromPlayer.y);
      if (kind == StrikeKind::Fork) {
        out << "<path d=\"M" << Num(x) << ' ' << Num(y - 4) << " L" << Num(x + 3.5) << ' ' << Num(y + 3) << " L"
            << Num(x - 3.5) << ' ' << Num(y + 3) << "Z\" fill=\"" << KindColour(kind) << "\" fill-opacity=\"0.85\"/>\n";
      } else {
        out << "<circle cx=\"" << Num(x) << "\" cy=\"" << Num(y) << "\" r=\"" << (kind == StrikeKind::Chain ? 3 : 2.6)
            << "\" fill=\"" << KindColour(kind) << "\" fill-opacity=\"0.7\"/>\n";
      }
    }
  }
  out << "<circle cx=\"" << Num(sx(0)) << "\" cy=\"" << Num(sy(0)) << "\" r=\"5\" fill=\"#fff\"/>\n";
  out << "<text x=\"" << Num(sx(0) + 8) << "\" y=\"" << Num(sy(0) - 8) << "\" class=\"label\">player</text>\n";
  out << "<text x=\"8\" y=\"" << kSize - 8 << "\" class=\"ring\">rings: grid squares of 4096 units; north up</text>\n";
  out << "</svg>\n";
}

// Timeline: the published frequency (lower is stormier), strikes per 10 s and
// the scenario's events.
void Timeline(std::ostringstream& out, const ReportInput& in) {
  constexpr double kWidth = 900, kHeight = 300, kLeft = 48, kRight = 16, kTop = 16, kPlot = 170, kBars = 60;
  const double span = std::max(in.durationMs, 1.0);
  const auto tx = [&](double ms) { return kLeft + ms / span * (kWidth - kLeft - kRight); };
  const auto fy = [&](int freq) { return kTop + (freq / 255.0) * kPlot; };  // 0 at the top: stormy is high

  out << "<svg class=\"timeline\" viewBox=\"0 0 " << kWidth << ' ' << kHeight << "\" width=\"" << kWidth
      << "\" height=\"" << kHeight << "\" role=\"img\" aria-label=\"timeline\">\n";
  out << "<rect width=\"100%\" height=\"100%\" fill=\"#0d1420\"/>\n";
  for (int freq : {0, 64, 128, 192, 255}) {
    out << "<line x1=\"" << kLeft << "\" x2=\"" << kWidth - kRight << "\" y1=\"" << Num(fy(freq)) << "\" y2=\""
        << Num(fy(freq)) << "\" stroke=\"#1d2a3d\"/><text x=\"" << kLeft - 6 << "\" y=\"" << Num(fy(freq) + 4)
        << "\" class=\"axis\" text-anchor=\"end\">" << freq << "</text>\n";
  }
  if (in.minFrequency < 255) {
    out << "<line x1=\"" << kLeft << "\" x2=\"" << kWidth - kRight << "\" y1=\"" << Num(fy(in.minFrequency))
        << "\" y2=\"" << Num(fy(in.minFrequency)) << "\" stroke=\"#7a3b3b\" stroke-dasharray=\"4 4\"/>"
        << "<text x=\"" << kWidth - kRight - 4 << "\" y=\"" << Num(fy(in.minFrequency) - 4)
        << "\" class=\"axis\" text-anchor=\"end\">floor " << in.minFrequency << "</text>\n";
  }
  // Event markers behind the curve, numbered as in the scenario table; events
  // at one moment share a marker.
  double lastMarkerMs = -1, lastLabelX = -100;
  for (size_t i = 0; i < in.events.size(); ++i) {
    const auto& [ms, text] = in.events[i];
    if (ms == lastMarkerMs) continue;
    lastMarkerMs = ms;
    out << "<line x1=\"" << Num(tx(ms)) << "\" x2=\"" << Num(tx(ms)) << "\" y1=\"" << kTop + 18 << "\" y2=\""
        << kTop + kPlot + kBars + 8 << "\" stroke=\"#3d4d66\" stroke-dasharray=\"2 3\"><title>" << Num(ms / 1000, 1)
        << " s: " << Escape(text) << "</title></line>\n";
    if (tx(ms) - lastLabelX < 16) continue;  // crowded: the table still lists it
    lastLabelX = tx(ms);
    out << "<text x=\"" << Num(tx(ms)) << "\" y=\"" << kTop + 14 << "\" class=\"marker\" text-anchor=\"middle\">"
        << i + 1 << "</text>\n";
  }
  if (!in.frequency.empty()) {
    out << "<polyline fill=\"none\" stroke=\"#7fd6ff\" stroke-width=\"2\" points=\"";
    int last = in.frequency.front().second;
    out << Num(tx(0)) << ',' << Num(fy(255)) << ' ';
    for (const auto& [ms, freq] : in.frequency) {
      out << Num(tx(ms)) << ',' << Num(fy(last)) << ' ' << Num(tx(ms)) << ',' << Num(fy(freq)) << ' ';
      last = freq;
    }
    out << Num(tx(span)) << ',' << Num(fy(last)) << "\"/>\n";
  }
  // Strikes per 10 simulated seconds, stacked by kind.
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
  const double base = kTop + kPlot + kBars + 8;
  for (int b = 0; b < bins; ++b) {
    double y = base;
    const double x0 = tx(b * bin) + 1, x1 = tx(std::min((b + 1) * bin, span)) - 1;
    for (StrikeKind kind : {StrikeKind::Fork, StrikeKind::Sheet, StrikeKind::Chain}) {
      const auto found = counts[static_cast<size_t>(b)].find(kind);
      if (found == counts[static_cast<size_t>(b)].end()) continue;
      const double h = found->second * kBars / most;
      y -= h;
      out << "<rect x=\"" << Num(x0) << "\" y=\"" << Num(y) << "\" width=\"" << Num(std::max(1.0, x1 - x0))
          << "\" height=\"" << Num(h) << "\" fill=\"" << KindColour(kind) << "\" fill-opacity=\"0.8\"/>\n";
    }
  }
  for (double s = 0; s <= span / 1000.0 + 0.001; s += std::max(10.0, std::ceil(span / 1000.0 / 12 / 10) * 10)) {
    out << "<text x=\"" << Num(tx(s * 1000)) << "\" y=\"" << kHeight - 10 << "\" class=\"axis\" text-anchor=\"middle\">"
        << Num(s, 0) << " s</text>\n";
  }
  out << "<text x=\"" << kLeft + 4 << "\" y=\"" << kTop + 32 << "\" class=\"label\">published lightning frequency "
      << "(lower = more lightning; numbers: scenario events)</text>\n";
  out << "<text x=\"" << kLeft + 4 << "\" y=\"" << kTop + kPlot + 22 << "\" class=\"label\">strikes per 10 s (max "
      << most << ")</text>\n";
  out << "</svg>\n";
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

  std::ostringstream out;
  out << "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Nimbrel storm report</title>\n"
      << "<style>\n"
      << "body{font:14px/1.45 system-ui,-apple-system,'Segoe "
         "UI',sans-serif;background:#080c14;color:#d8e0ec;margin:24px}\n"
      << "h1{font-size:22px;margin:0 0 4px}h2{font-size:16px;margin:24px 0 8px;color:#9fb4d0}\n"
      << ".sub{color:#8a9ab2;margin-bottom:16px}.row{display:flex;gap:24px;flex-wrap:wrap;align-items:flex-start}\n"
      << "table{border-collapse:collapse}td,th{padding:4px 12px;border-bottom:1px solid #1d2a3d;text-align:left}\n"
      << "th{color:#9fb4d0;font-weight:600}td.n{text-align:right;font-variant-numeric:tabular-nums}\n"
      << ".key span{display:inline-block;width:10px;height:10px;margin:0 6px 0 14px;border-radius:2px}\n"
      << "svg text{fill:#9fb4d0;font:11px system-ui,sans-serif}svg .label{fill:#d8e0ec;font-size:12px}svg "
         ".marker{fill:#e8c46a;font-size:10px}\n"
      << ".bad{color:#ff7a7a}.ok{color:#7ddf8a}code{color:#b8c8dc}\n"
      << "</style></head><body>\n";
  out << "<h1>Nimbrel storm report</h1>\n<div class=\"sub\">" << Escape(in.edition) << " &middot; "
      << Escape(in.scenario) << " &middot; " << Num(in.durationMs / 1000.0, 0) << " simulated seconds at time scale "
      << Num(in.timeScale, 0) << "</div>\n";

  out << "<div class=\"row\"><div><h2>Strikes around the player</h2>\n";
  Map(out, in.strikes);
  out << "<div class=\"key\"><span style=\"background:" << KindColour(StrikeKind::Sheet) << "\"></span>sheet"
      << "<span style=\"background:" << KindColour(StrikeKind::Chain) << "\"></span>chain"
      << "<span style=\"background:" << KindColour(StrikeKind::Fork) << "\"></span>fork</div></div>\n";

  out << "<div><h2>Summary</h2><table>\n";
  const auto row = [&](const std::string& name, const std::string& value) {
    out << "<tr><td>" << name << "</td><td class=\"n\">" << value << "</td></tr>\n";
  };
  row("strikes", std::to_string(in.strikes.size()));
  row("&nbsp;&nbsp;sheet (single)", std::to_string(byKind[StrikeKind::Sheet]));
  row("&nbsp;&nbsp;in chains", std::to_string(byKind[StrikeKind::Chain]));
  row("&nbsp;&nbsp;fork", std::to_string(byKind[StrikeKind::Fork]));
  row("chains", std::to_string(chains));
  for (const auto& [size, n] : chainSizes) row("&nbsp;&nbsp;of " + std::to_string(size), std::to_string(n));
  row("screen flashes", std::to_string(flashesApplied));
  row("references moved", std::to_string(in.moves));
  row("tasks run on the main thread", std::to_string(in.tasksRun));
  const MainThreadFigures& m = in.mainThread;
  row("main-thread frames", std::to_string(m.frames));
  row("&nbsp;&nbsp;tasks per frame, most", std::to_string(m.maxTasksPerFrame));
  row("&nbsp;&nbsp;task latency, most frames", std::to_string(m.maxTaskLatencyFrames));
  row("saved-game loads", std::to_string(m.loads));
  row("&nbsp;&nbsp;tasks held over a load", std::to_string(m.tasksHeldOverLoads));
  row("&nbsp;&nbsp;strike calls during loads", std::to_string(m.pluginCallsDuringLoads));
  if (m.threadsObserved) {
    row("plug-in threads, peak", std::to_string(m.peakPluginThreads));
    row("&nbsp;&nbsp;effect loops, peak sheet / fork",
        std::to_string(m.peakSheetLoops) + " / " + std::to_string(m.peakForkLoops));
  }
  row("frequency floor", std::to_string(in.minFrequency));
  row("checks of the double", in.failures.empty()
                                  ? "<span class=\"ok\">all passed</span>"
                                  : "<span class=\"bad\">" + std::to_string(in.failures.size()) + " failed</span>");
  out << "</table>\n";
  if (!in.waits.empty()) {
    out << "<h2>Waits between "
           "strikes</h2><table><tr><th>type</th><th>measured</th><th>formula</th><th>intervals</th></tr>\n";
    for (const auto& w : in.waits) {
      out << "<tr><td>" << Escape(w.type) << "</td><td class=\"n\">" << Num(w.measuredMs) << " ms</td><td class=\"n\">"
          << Num(w.formulaMs) << " ms</td><td class=\"n\">" << w.intervals << "</td></tr>\n";
    }
    out << "</table>\n";
  }
  out << "</div></div>\n";

  out << "<h2>Timeline</h2>\n";
  Timeline(out, in);

  if (!in.events.empty()) {
    out << "<h2>Scenario</h2><table><tr><th>#</th><th>time</th><th>event</th></tr>\n";
    for (size_t i = 0; i < in.events.size(); ++i)
      out << "<tr><td class=\"n\">" << i + 1 << "</td><td class=\"n\">" << Num(in.events[i].first / 1000.0, 1)
          << " s</td><td>" << Escape(in.events[i].second) << "</td></tr>\n";
    out << "</table>\n";
  }
  if (!in.failures.empty()) {
    out << "<h2 class=\"bad\">Failed checks</h2><ul>\n";
    for (const std::string& f : in.failures) out << "<li>" << Escape(f) << "</li>\n";
    out << "</ul>\n";
  }
  out << "<h2>Files</h2><p>plug-in log: <code>" << Escape(in.logPath) << "</code><br>trace: <code>"
      << Escape(in.tracePath) << "</code></p>\n</body></html>\n";
  return out.str();
}

}  // namespace nimbrel_sim
