// The pre-flight seen as a fleet: machines grouped by model (system maker, product name, BIOS
// version), one line per group with its outcome, reason, token-table layout and a few of its files;
// groups whose machines disagree come first. And the report to look at: one self-contained HTML page
// with the outcome counts as a chart, the groups and the rows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tools/zim-sim/json.h"
#include "tools/zim-sim/preflight.h"

namespace zimsim {

// A text for a Markdown table or a terminal: control bytes and bytes that are not UTF-8 as \\xHH, the
// bar and the backslash escaped, so that no name can break a row, a line or a terminal.
std::string MarkdownText(const std::string& text);

// "flash", "ERR3", "uncertain" or "error" (the capture could not be read): the record's own.
std::string OutcomeKey(const PreflightRow& row);
// The token table that decides the outcome (the one holding token 92, else the first): its ports and
// checksum type, as "0x70/0x71, checksum 1"; "no token table" where there is none.
std::string Layout(const PreflightRow& row);

struct OutcomeTally {
  std::string outcome;  // OutcomeKey
  std::string reason;
  std::size_t machines = 0;
  std::vector<std::string> files;  // the first few, so that a person can open one
};

struct ModelGroup {
  Model model;
  bool unread = false;  // the captures that could not be read, which name no model
  std::size_t machines = 0;
  std::vector<OutcomeTally> outcomes;  // in order of first sight
  std::vector<std::string> layouts;    // the distinct token-table layouts, the first few
  // Machines of one model and BIOS with different outcomes or reasons: the groups to look at.
  // Its machines give different outcomes (one outcome for different reasons is no disagreement).
  bool Disagrees() const {
    return !unread && std::any_of(outcomes.begin(), outcomes.end(), [this](const OutcomeTally& t) {
      return t.outcome != outcomes.front().outcome;
    });
  }
};

class FleetSummary {
 public:
  static constexpr std::size_t kFilesKept = 3;
  static constexpr std::size_t kTalliesKept = 8;  // further reasons of one group count as "other reasons"
  static constexpr std::size_t kLayoutsKept = 4;

  void Add(const PreflightRow& row);
  // Disagreeing groups first, then by machines, most first, then by name; the unread last.
  std::vector<ModelGroup> Groups() const;
  std::size_t Machines() const { return machines_; }
  std::size_t Count(const std::string& outcome) const;

 private:
  std::map<std::tuple<bool, std::string, std::string, std::string>, ModelGroup> groups_;
  std::map<std::string, std::size_t> counts_;
  std::size_t machines_ = 0;
};

std::string SummaryMarkdown(const FleetSummary& summary);
// The "outcomes" and "groups" members of the report's object, one group a line.
std::string SummaryJson(const FleetSummary& summary);

// The page, written as the rows come: the rows go to a scratch file, the page around them at Finish.
class HtmlReport {
 public:
  HtmlReport();
  ~HtmlReport();
  HtmlReport(const HtmlReport&) = delete;
  HtmlReport& operator=(const HtmlReport&) = delete;

  void AddRow(const PreflightRow& row);
  // Writes the page to `path`; empty on success, else why not.
  std::string Finish(const std::string& path, const FleetSummary& summary);

 private:
  std::FILE* rows_;
};

// A text for a page: markup characters escaped, control bytes and bytes that are not UTF-8 as \xHH.
std::string HtmlText(const std::string& text);

}  // namespace zimsim
