#include "tools/zim-sim/fleet.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/input_file.h"
#include "tools/zim-sim/common.h"

namespace zimsim {

namespace {

// The n-th string (from 1) of a structure's string area, its bytes as they are, trimmed of the spaces
// firmware pads its texts with; each report escapes them in its own way.
std::string StructureString(const std::uint8_t* table, const sim::StructureSpan& s, std::uint8_t n) {
  if (n == 0) return {};
  std::size_t p = s.offset + s.length;
  const std::size_t end = s.offset + s.size;
  for (std::uint8_t i = 1; i < n && p < end; ++i)
    p += std::strlen(reinterpret_cast<const char*>(table + p)) + 1;
  std::string text;
  for (; p < end && table[p] != 0; ++p) text += static_cast<char>(table[p]);
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string Or(const std::string& text, const char* none) { return text.empty() ? none : text; }

// Whether a group's line gives each outcome and reason with its count.
bool Several(const ModelGroup& g) { return g.outcomes.size() > 1; }

std::string GroupOutcome(const ModelGroup& g) {
  if (g.unread) return "cannot be read";
  if (!g.Disagrees()) return g.outcomes.front().outcome;
  std::map<std::string, std::size_t> by;
  for (const OutcomeTally& t : g.outcomes) by[t.outcome] += t.machines;
  std::string out = "disagree:";
  for (const auto& [outcome, n] : by) out += " " + outcome + " " + std::to_string(n) + ",";
  out.pop_back();
  return out;
}

std::string Joined(const std::vector<std::string>& items, const std::string& by) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : by) + i;
  return out;
}

const char* const kOutcomes[] = {"flash", "ERR3", "uncertain", "error"};
const char* OutcomeLabel(const std::string& key) {
  return key == "flash"       ? "flash"
         : key == "ERR3"      ? "ERR3"
         : key == "uncertain" ? "uncertain"
                              : "cannot be read";
}

}  // namespace

Model MachineModel(const std::uint8_t* table, std::size_t size) {
  Model model;
  bool system = false, bios = false;
  sim::WalkStructures(table, size, true, [&](const sim::StructureSpan& s) {
    if (s.type == 1 && !system && s.length > 5) {
      system = true;
      model.maker = StructureString(table, s, table[s.offset + 4]);
      model.product = StructureString(table, s, table[s.offset + 5]);
    } else if (s.type == 0 && !bios && s.length > 5) {
      bios = true;
      model.bios = StructureString(table, s, table[s.offset + 5]);
    }
  });
  return model;
}

std::string MarkdownText(const std::string& text) {
  std::string out;
  for (char c : sim::Displayed(text)) {
    if (c == '|' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string OutcomeKey(const PreflightRow& row) { return row.Key(); }

std::string Layout(const PreflightRow& row) {
  if (row.tables.empty()) return "no token table";
  const std::size_t holding = row.token ? static_cast<std::size_t>(row.token->table - 1) : 0;
  const TokenTableRow& t = row.tables[holding < row.tables.size() ? holding : 0];
  return Hex(t.indexPort, 2) + "/" + Hex(t.dataPort, 2) + ", checksum " + std::to_string(t.checksumType);
}

void FleetSummary::Add(const PreflightRow& row) {
  const bool unread = !row.error.empty();
  const auto key = unread ? std::make_tuple(true, std::string(), std::string(), std::string())
                          : std::make_tuple(false, row.model.maker, row.model.product, row.model.bios);
  ModelGroup& g = groups_[key];
  g.model = row.model;
  g.unread = unread;
  ++g.machines;
  ++machines_;
  const std::string outcome = OutcomeKey(row);
  ++counts_[outcome];
  std::string reason = row.Why();
  auto tally = std::find_if(g.outcomes.begin(), g.outcomes.end(), [&](const OutcomeTally& t) {
    return t.outcome == outcome && t.reason == reason;
  });
  if (tally == g.outcomes.end() && g.outcomes.size() >= kTalliesKept) {
    reason = "other reasons";
    tally = std::find_if(g.outcomes.begin(), g.outcomes.end(),
                         [&](const OutcomeTally& t) { return t.outcome == outcome && t.reason == reason; });
  }
  if (tally == g.outcomes.end())
    tally = g.outcomes.insert(g.outcomes.end(), OutcomeTally{outcome, reason, 0, {}});
  ++tally->machines;
  if (tally->files.size() < kFilesKept) tally->files.push_back(row.file);
  if (unread) return;
  const std::string layout = Layout(row);
  if (g.layouts.size() < kLayoutsKept &&
      std::find(g.layouts.begin(), g.layouts.end(), layout) == g.layouts.end())
    g.layouts.push_back(layout);
}

std::vector<ModelGroup> FleetSummary::Groups() const {
  std::vector<ModelGroup> groups;
  groups.reserve(groups_.size());
  for (const auto& [key, g] : groups_) groups.push_back(g);
  std::stable_sort(groups.begin(), groups.end(), [](const ModelGroup& a, const ModelGroup& b) {
    if (a.unread != b.unread) return b.unread;
    if (a.Disagrees() != b.Disagrees()) return a.Disagrees();
    return a.machines > b.machines;
  });
  return groups;
}

std::size_t FleetSummary::Count(const std::string& outcome) const {
  const auto c = counts_.find(outcome);
  return c == counts_.end() ? 0 : c->second;
}

std::string SummaryMarkdown(const FleetSummary& summary) {
  const std::vector<ModelGroup> groups = summary.Groups();
  const auto disagreeing =
      std::count_if(groups.begin(), groups.end(), [](const ModelGroup& g) { return g.Disagrees(); });
  const auto models =
      std::count_if(groups.begin(), groups.end(), [](const ModelGroup& g) { return !g.unread; });
  std::string out =
      std::to_string(summary.Machines()) + " machines: " + std::to_string(summary.Count("flash")) +
      " flash, " + std::to_string(summary.Count("ERR3")) + " ERR3, " +
      std::to_string(summary.Count("uncertain")) + " uncertain, " + std::to_string(summary.Count("error")) +
      " cannot be read; " + std::to_string(models) + " groups by model and BIOS, " +
      std::to_string(disagreeing) + " of them disagreeing (first)\n\n";
  out +=
      "| machines | system maker | product | BIOS | outcome | reason | token table (ports, checksum) | files "
      "|\n"
      "|---|---|---|---|---|---|---|---|\n";
  for (const ModelGroup& g : groups) {
    std::vector<std::string> reasons, files;
    for (const OutcomeTally& t : g.outcomes) {
      const std::string shown =
          Several(g) ? t.outcome + " " + std::to_string(t.machines) + ": " + t.reason : t.reason;
      reasons.push_back(MarkdownText(shown));
      std::string listed = Joined(t.files, ", ");
      if (t.machines > t.files.size())
        listed += " and " + std::to_string(t.machines - t.files.size()) + " more";
      files.push_back(MarkdownText(Several(g) && !g.unread ? t.outcome + ": " + listed : listed));
    }
    const char* none = g.unread ? "—" : "(none)";
    out += "| " + std::to_string(g.machines) + " | " + MarkdownText(Or(g.model.maker, none)) + " | " +
           MarkdownText(Or(g.model.product, none)) + " | " + MarkdownText(Or(g.model.bios, none)) + " | " +
           (g.Disagrees() ? "**" + GroupOutcome(g) + "**" : GroupOutcome(g)) + " | " + Joined(reasons, "; ") +
           " | " + MarkdownText(g.layouts.empty() ? "—" : Joined(g.layouts, "; ")) + " | " +
           Joined(files, "; ") + " |\n";
  }
  return out;
}

std::string SummaryJson(const FleetSummary& summary) {
  Json counts;
  counts.BeginObject();
  for (const char* o : kOutcomes) counts.Key(o).Number(static_cast<long long>(summary.Count(o)));
  counts.EndObject();
  std::string out = "\"outcomes\": " + counts.Text() + ",\n\"groups\": [";
  bool first = true;
  for (const ModelGroup& g : summary.Groups()) {
    Json j;
    j.BeginObject();
    if (g.unread) {
      j.Key("system_maker").Null().Key("product").Null().Key("bios_version").Null();
    } else {
      j.Key("system_maker").String(g.model.maker).Key("product").String(g.model.product);
      j.Key("bios_version").String(g.model.bios);
    }
    j.Key("machines").Number(static_cast<long long>(g.machines)).Key("disagree").Bool(g.Disagrees());
    j.Key("outcomes").BeginArray();
    for (const OutcomeTally& t : g.outcomes) {
      j.BeginObject().Key("outcome").String(t.outcome).Key("reason").String(t.reason);
      j.Key("machines").Number(static_cast<long long>(t.machines)).Key("files").BeginArray();
      for (const std::string& f : t.files) j.String(f);
      j.EndArray().EndObject();
    }
    j.EndArray().Key("token_tables").BeginArray();
    for (const std::string& l : g.layouts) j.String(l);
    j.EndArray().EndObject();
    out += (first ? "\n" : ",\n") + j.Text();
    first = false;
  }
  return out + (first ? "]" : "\n]");
}

std::string HtmlText(const std::string& text) {
  // As every other report shows it (control bytes and bytes that are not UTF-8 as \xHH), so that
  // two names that differ stay apart on the page too.
  std::string out;
  for (const char c : sim::Displayed(text)) {
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

HtmlReport::HtmlReport() : rows_(std::tmpfile()) {}

HtmlReport::~HtmlReport() {
  if (rows_ != nullptr) std::fclose(rows_);
}

void HtmlReport::AddRow(const PreflightRow& r) {
  if (rows_ == nullptr) return;
  const std::string key = OutcomeKey(r);
  const bool read = r.error.empty();
  const auto cell = [](const std::string& text) { return "<td>" + HtmlText(text) + "</td>"; };
  std::string tr =
      "<tr class=\"row " + key + "\">" + cell(r.file) + cell(sim::CaptureFormatName(r.format)) +
      cell(r.model.maker) + cell(r.model.product) + cell(r.model.bios) + cell(read ? r.dump.version : "") +
      cell(read ? std::string(sim::EntryPointName(r.dump.kind)) + (r.dump.assumed2x ? ", 2.x assumed" : "")
                : "") +
      cell(read ? Layout(r) : "") + "<td class=\"outcome\">" + OutcomeLabel(key) + "</td>" + cell(r.Why()) +
      cell(read ? WritesText(r.writes) : "") + "</tr>\n";
  std::fputs(tr.c_str(), rows_);
}

std::string HtmlReport::Finish(const std::string& path, const FleetSummary& summary) {
  if (rows_ == nullptr || std::ferror(rows_) != 0) return "the rows could not be held in a scratch file";
  std::FILE* page = std::fopen(path.c_str(), "wb");
  if (page == nullptr) return sim::Displayed(path) + ": cannot be written: " + std::strerror(errno);
  const std::vector<ModelGroup> groups = summary.Groups();
  std::string head =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>ZIM pre-flight</title>\n"
      "<style>\n"
      "body{font:14px/1.4 "
      "sans-serif;margin:24px;color:#222}h1{font-size:20px}h2{font-size:16px;margin-top:28px}\n"
      "table{border-collapse:collapse;font-size:12px}td,th{border:1px solid #ccc;padding:3px "
      "6px;text-align:left;"
      "vertical-align:top}\nth{background:#eee}tr.disagree td{background:#fff3cd}td.n{text-align:right}\n"
      ".flash .outcome{color:#1b6e20}.ERR3 .outcome{color:#b3261e}.uncertain .outcome{color:#a15c00}"
      ".error .outcome{color:#666}\n"
      "</style></head><body>\n<h1>ZIM pre-flight: " +
      std::to_string(summary.Machines()) + " machines</h1>\n";
  // The chart: one bar an outcome, as wide as its share of the machines.
  const std::size_t most =
      std::max<std::size_t>({summary.Count("flash"), summary.Count("ERR3"), summary.Count("uncertain"),
                             summary.Count("error"), std::size_t{1}});
  const char* const colours[] = {"#4caf50", "#e53935", "#fb8c00", "#9e9e9e"};
  std::string chart =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"640\" height=\"143\" role=\"img\" "
      "aria-label=\"outcome counts\">\n";
  for (int i = 0; i < 4; ++i) {
    const std::size_t n = summary.Count(kOutcomes[i]);
    const int y = 8 + i * 33;
    const int width = static_cast<int>(440.0 * static_cast<double>(n) / static_cast<double>(most));
    chart += "<g class=\"bar\" data-outcome=\"" + std::string(kOutcomes[i]) + "\" data-count=\"" +
             std::to_string(n) + "\"><text x=\"0\" y=\"" + std::to_string(y + 17) + "\" font-size=\"13\">" +
             OutcomeLabel(kOutcomes[i]) + "</text><rect x=\"110\" y=\"" + std::to_string(y) + "\" width=\"" +
             std::to_string(std::max(width, 1)) + "\" height=\"24\" fill=\"" + colours[i] + "\"/><text x=\"" +
             std::to_string(118 + width) + "\" y=\"" + std::to_string(y + 17) + "\" font-size=\"13\">" +
             std::to_string(n) + "</text></g>\n";
  }
  chart += "</svg>\n";
  std::string table =
      "<h2 id=\"groups\">By model and BIOS</h2>\n<p>Groups whose machines disagree come first.</p>\n<table "
      "class=\"groups\">\n"
      "<tr><th>machines</th><th>system maker</th><th>product</th><th>BIOS</th><th>outcome</th><th>reason</th>"
      "<th>token table (ports, checksum)</th><th>files</th></tr>\n";
  for (const ModelGroup& g : groups) {
    std::string reasons, files;
    for (const OutcomeTally& t : g.outcomes) {
      const std::string prefix = Several(g) ? t.outcome + " " + std::to_string(t.machines) + ": " : "";
      reasons += "<div>" + HtmlText(prefix + t.reason) + "</div>";
      std::string listed = Joined(t.files, ", ");
      if (t.machines > t.files.size())
        listed += " and " + std::to_string(t.machines - t.files.size()) + " more";
      files += "<div>" + HtmlText((Several(g) && !g.unread ? t.outcome + ": " : "") + listed) + "</div>";
    }
    const char* none = g.unread ? "—" : "(none)";
    table += "<tr class=\"group" + std::string(g.Disagrees() ? " disagree" : "") + "\"><td class=\"n\">" +
             std::to_string(g.machines) + "</td><td>" + HtmlText(Or(g.model.maker, none)) + "</td><td>" +
             HtmlText(Or(g.model.product, none)) + "</td><td>" + HtmlText(Or(g.model.bios, none)) +
             "</td><td>" + HtmlText(GroupOutcome(g)) + "</td><td>" + reasons + "</td><td>" +
             HtmlText(g.layouts.empty() ? "—" : Joined(g.layouts, "; ")) + "</td><td>" + files +
             "</td></tr>\n";
  }
  table +=
      "</table>\n<h2 id=\"rows\">Every capture</h2>\n<table "
      "class=\"rows\">\n<tr><th>file</th><th>capture</th>"
      "<th>system maker</th><th>product</th><th>BIOS</th><th>SMBIOS</th><th>entry point</th>"
      "<th>token table</th><th>outcome</th><th>reason</th><th>CMOS writes</th></tr>\n";
  std::fputs(head.c_str(), page);
  std::fputs(chart.c_str(), page);
  std::fputs(table.c_str(), page);
  std::rewind(rows_);
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, rows_)) > 0;) std::fwrite(buf, 1, n, page);
  const bool readBack = std::ferror(rows_) == 0;
  std::fputs("</table>\n</body></html>\n", page);
  const bool written = std::ferror(page) == 0;
  if (std::fclose(page) != 0 || !written || !readBack) return sim::Displayed(path) + ": cannot be written";
  return {};
}

}  // namespace zimsim
