#include "runtimes_record.h"

#include <cctype>
#include <regex>
#include <sstream>
#include <utility>

namespace nimbrel_sim_tests {

namespace {

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// A cell's words without the markdown around them (`Sky`, **weak**).
std::string Plain(const std::string& cell) {
  std::string out;
  for (size_t i = 0; i < cell.size(); ++i) {
    if (cell[i] == '`') continue;
    if (cell.compare(i, 2, "**") == 0) {
      ++i;
      continue;
    }
    out.push_back(cell[i]);
  }
  return Trim(out);
}

bool IsTableLine(const std::string& line) { return Trim(line).rfind('|', 0) == 0; }

// The cells of a table line; false when it does not end with '|'.
bool CellsOf(const std::string& line, std::vector<std::string>& cells) {
  const std::string text = Trim(line);
  if (text.size() < 2 || text.back() != '|') return false;
  cells.clear();
  std::string cell;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '|') {
      cells.push_back(Plain(cell));
      cell.clear();
    } else {
      cell.push_back(text[i]);
    }
  }
  cells.push_back(Plain(cell));
  return true;
}

bool IsSeparator(const std::vector<std::string>& cells) {
  static const std::regex dashes(":?-+:?");
  for (const std::string& c : cells)
    if (!std::regex_match(c, dashes)) return false;
  return !cells.empty();
}

bool Decimal(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return true;
}

// An id cell: a number, "none", or "inside N (...)" for a place inside
// another function (no id of its own). 0 for the last two.
bool IdCell(const std::string& text, uint32_t& id) {
  static const std::regex inside(R"(inside \d+ \(.*\))");
  id = 0;
  return Decimal(text, id) || text == "none" || std::regex_match(text, inside);
}

// An offset cell: hex, or "none" / "inferred only" for no published offset.
bool OffsetCell(const std::string& text, uint32_t& offset) {
  static const std::regex hex("0x[0-9a-fA-F]{1,8}");
  offset = 0;
  if (text == "none" || text == "inferred only") return true;
  if (!std::regex_match(text, hex)) return false;
  offset = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
  return true;
}

bool IsRuntimeColumn(const std::string& header) {
  static const std::regex version(R"(\d+\.\d+\.\d+)");
  return header == "VR" || std::regex_match(header, version);
}

enum class Kind { Other, Entries, Descriptors };

Kind KindOf(const std::string& section, const std::string& firstHeader) {
  if ((section == "Entries" || section == "Runtimes 1.7.x") && firstHeader == "Entry") return Kind::Entries;
  if (section.rfind("Type checks", 0) == 0 && firstHeader == "Class") return Kind::Descriptors;
  return Kind::Other;
}

// One side of a table: the range of columns [begin, end) between empty
// header cells (the 1.7 tables set two sides by side).
struct Side {
  size_t begin, end;
};

std::vector<Side> SidesOf(const std::vector<std::string>& header) {
  std::vector<Side> sides;
  size_t begin = 0;
  for (size_t i = 0; i <= header.size(); ++i) {
    if (i == header.size() || header[i].empty()) {
      if (i > begin) sides.push_back({begin, i});
      begin = i + 1;
    }
  }
  return sides;
}

class Reader {
 public:
  explicit Reader(RuntimesRecord& record) : record_(record) {}

  void table(const std::string& section, const std::vector<std::string>& lines) {
    std::vector<std::string> header, cells;
    if (!CellsOf(lines[0], header)) return problem("a table header without its closing '|'", lines[0]);
    std::vector<std::pair<Side, Kind>> wanted;
    for (const Side& side : SidesOf(header)) {
      const Kind kind = KindOf(section, header[side.begin]);
      if (kind != Kind::Other) wanted.emplace_back(side, kind);
    }
    if (wanted.empty()) return;  // a table of other facts
    if (lines.size() < 2 || !CellsOf(lines[1], cells) || !IsSeparator(cells) || cells.size() != header.size())
      return problem("a table without its separator line", lines[0]);
    for (size_t r = 2; r < lines.size(); ++r) {
      if (!CellsOf(lines[r], cells) || cells.size() != header.size()) {
        problem("a row whose cells do not match its header (" + std::to_string(header.size()) + " columns)", lines[r]);
        continue;
      }
      for (const auto& [side, kind] : wanted) row(kind, header, side, cells, Trim(lines[r]));
    }
  }

  void problem(const std::string& what, const std::string& text) {
    record_.problems.push_back(what + ": " + Trim(text));
  }

 private:
  void row(Kind kind, const std::vector<std::string>& header, Side side, const std::vector<std::string>& cells,
           const std::string& text) {
    // Side by side, the cell between the two sides stays empty.
    if (side.end < cells.size() && !cells[side.end].empty())
      return problem("a row with words in the column between its sides", text);
    PublishedOffset base;
    base.row = text;
    std::vector<PublishedOffset> found;
    for (size_t c = side.begin; c < side.end; ++c) {
      const std::string& column = header[c];
      const std::string& cell = cells[c];
      if (c == side.begin) {
        if (cell.empty()) return problem("a row without a name", text);
        base.name = cell;
      } else if (column == "SE id" || column == "AE id") {
        (column == "SE id" ? base.hasSeId : base.hasAeId) = true;
        if (!IdCell(cell, column == "SE id" ? base.seId : base.aeId))
          return problem("a row whose " + column + " is no id (\"" + cell + "\")", text);
      } else if (IsRuntimeColumn(column)) {
        PublishedOffset one;
        one.runtime = column;
        if (!OffsetCell(cell, one.offset))
          return problem("a row whose " + column + " offset is no offset (\"" + cell + "\")", text);
        found.push_back(one);
      }
    }
    if (found.empty()) return problem("a row under a header without a runtime's column", text);
    for (PublishedOffset& one : found) {
      const std::string runtime = one.runtime;
      const uint32_t offset = one.offset;
      one = base;
      one.runtime = runtime;
      one.offset = offset;
      (kind == Kind::Entries ? record_.entries : record_.descriptors).push_back(one);
    }
  }

  RuntimesRecord& record_;
};

std::string Collapsed(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool space = std::isspace(static_cast<unsigned char>(c));
    if (space && (out.empty() || out.back() == ' ')) continue;
    out.push_back(space ? ' ' : c);
  }
  return out;
}

// The engine's sky accessor on the runtimes of "Entries", given in a
// sentence rather than the table; named as the 1.7 tables name it.
void SkyAccessor(const std::string& text, RuntimesRecord& record) {
  static const std::regex sentence(
      R"(`Sky::GetSingleton\(\)` = RELOCATION_ID\((\d+), (\d+)\), at (0x[0-9a-f]+) \((\d+\.\d+\.\d+)\), )"
      R"((0x[0-9a-f]+) \((\d+\.\d+\.\d+)\) and (0x[0-9a-f]+) \((\d+\.\d+\.\d+)\))");
  std::smatch m;
  if (!std::regex_search(text, m, sentence)) {
    record.problems.push_back(
        "no sentence gives Sky::GetSingleton()'s ids and offsets (\"`Sky::GetSingleton()` = "
        "RELOCATION_ID(SE, AE), at 0x... (1.5.97), 0x... (1.6.353) and 0x... (1.6.1170)\")");
    return;
  }
  for (size_t at = 3; at <= 7; at += 2) {
    PublishedOffset p;
    p.name = "SkyGetSingleton";
    p.hasSeId = p.hasAeId = true;
    p.seId = static_cast<uint32_t>(std::stoul(m[1]));
    p.aeId = static_cast<uint32_t>(std::stoul(m[2]));
    p.offset = static_cast<uint32_t>(std::stoul(m[at], nullptr, 16));
    p.runtime = m[at + 1];
    p.row = m[0];
    record.entries.push_back(p);
  }
}

// "**The databases' size.** ... 565073 in 1.7.99 (highest id 565072) and
// 565759 in 1.7.104 (highest id 565758; ...".
void DatabaseSizes(const std::string& text, RuntimesRecord& record) {
  const std::string marker = "**The databases' size.**";
  const size_t begin = text.find(marker);
  if (begin == std::string::npos) {
    record.problems.push_back("no paragraph \"" + marker + "\"");
    return;
  }
  const size_t end = text.find(" - **", begin);
  const std::string paragraph = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  static const std::regex size(R"((\d+) in (\d+\.\d+\.\d+) \(highest id (\d+)[);])");
  bool any = false;
  for (auto it = std::sregex_iterator(paragraph.begin(), paragraph.end(), size); it != std::sregex_iterator(); ++it) {
    any = true;
    const auto count = static_cast<uint32_t>(std::stoul((*it)[1]));
    const auto highest = static_cast<uint32_t>(std::stoul((*it)[3]));
    if (count != highest + 1)
      record.problems.push_back("a database size that is not its highest id + 1: " + it->str());
    else
      record.databaseCounts[(*it)[2]] = count;
  }
  if (!any) record.problems.push_back("no database size in: " + paragraph);
}

}  // namespace

RuntimesRecord readRuntimesRecord(const std::string& markdown) {
  RuntimesRecord record;
  Reader reader(record);
  std::istringstream in(markdown);
  std::string line, section;
  std::vector<std::string> table;
  auto flush = [&] {
    if (!table.empty()) reader.table(section, table);
    table.clear();
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (IsTableLine(line)) {
      table.push_back(line);
      continue;
    }
    flush();
    if (line.rfind("## ", 0) == 0) section = Trim(line.substr(3));
  }
  flush();
  const std::string text = Collapsed(markdown);
  SkyAccessor(text, record);
  DatabaseSizes(text, record);
  return record;
}

}  // namespace nimbrel_sim_tests
