#include "PerformanceTable.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <string>

namespace veltrane::bench {

namespace {

constexpr double kMostPluginOverRaw = 1.15;
constexpr double kMostLargestOverSmallest = 1.5;
constexpr double kMostRefreshOffSeconds = 2e-6;

std::string Grouped(long long number) {
  const std::string digits = std::to_string(number);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string Duration(std::optional<double> seconds) {
  if (!seconds) return "–";
  if (*seconds < 1e-6) return fmt::format("{:.0f} ns", *seconds * 1e9);
  if (*seconds < 1e-3) return fmt::format("{:.1f} µs", *seconds * 1e6);
  return fmt::format("{:.2f} ms", *seconds * 1e3);
}

std::optional<double> Ratio(std::optional<double> over, std::optional<double> under) {
  if (!over || !under || *under <= 0) return std::nullopt;
  return *over / *under;
}

std::string RatioText(std::optional<double> ratio, int decimals = 2) {
  return ratio ? fmt::format("{:.{}f}", *ratio, decimals) : "–";
}

struct DatabaseRow {
  const char* name;
  const char* target_label;
  const char* plugin_label;
  const char* raw_label;
};

constexpr DatabaseRow kDatabaseRows[] = {
    {"link_four_statements", "Link command (4 statements)",
     "Link command, player whose EOS id has a row with player id 0: plugin",
     "the same 4 statements raw"},
    {"link_new_player", "Link command, new player (3 statements)",
     "Link command, new player (no row, so the second question is skipped): plugin",
     "the same 3 statements raw"},
    {"logout_refresh_on", "Logout refresh (3 statements)",
     "Logout of a linked player with the refresh on: plugin", "the same 3 statements raw"},
};

class Writer {
 public:
  Writer(std::ostream& out, const MedianReporter& medians, const std::vector<int>& sizes)
      : out_(out), medians_(medians), sizes_(sizes) {}

  std::optional<double> Median(const std::string& series) const { return medians_.Median(series); }
  std::optional<double> Median(const char* row, const char* side, int rows) const {
    return Median(fmt::format("{}/{}:{}", row, rows, side));
  }
  // Paired within each repetition, so the median of the ratios rather than the ratio of medians.
  std::optional<double> PluginOverRaw(const char* row, int rows) const {
    return Median(row, "ratio", rows);
  }
  std::optional<double> LargestOverSmallest(const char* row, const char* side) const {
    return Ratio(Median(row, side, sizes_.back()), Median(row, side, sizes_.front()));
  }

  void DatabaseTable() {
    out_ << "| Median time per call | ";
    for (const int rows : sizes_) out_ << Grouped(rows) << " rows | ";
    out_ << Grouped(sizes_.back()) << " / " << Grouped(sizes_.front()) << " rows |\n|---|";
    for (std::size_t i = 0; i <= sizes_.size(); ++i) out_ << "--:|";
    out_ << "\n";
    for (const DatabaseRow& row : kDatabaseRows) {
      for (const char* side : {"plugin", "raw"}) {
        out_ << "| " << (side == std::string("plugin") ? row.plugin_label : row.raw_label) << " | ";
        for (const int rows : sizes_) out_ << Duration(Median(row.name, side, rows)) << " | ";
        out_ << RatioText(LargestOverSmallest(row.name, side)) << " |\n";
      }
      out_ << "| plugin / raw (median of the paired ratios) | ";
      for (const int rows : sizes_)
        out_ << "**" << RatioText(PluginOverRaw(row.name, rows)) << "** | ";
      out_ << " |\n";
    }
  }

  void CpuTable() {
    out_ << "| Median time per call | |\n|---|--:|\n";
    out_ << "| Logout hook with the refresh off (one setting read, the call passed on) | "
         << Duration(Median("logout_refresh_off")) << " |\n";
    out_ << "| Announcement composed from a template of about 2,000 characters | "
         << Duration(Median("announcement_compose")) << " |\n";
    out_ << "| Webhook sender for that announcement (settings, JSON body; no post) | "
         << Duration(Median("webhook_body")) << " |\n";
  }

  // Answers whether every target was met.
  bool Targets() {
    bool all_met = true;
    out_ << "| Target | Limit | Measured | Met |\n|---|--:|--:|:-:|\n";
    const auto line = [&](const std::string& target, const std::string& limit,
                          std::optional<double> measured, double most, const std::string& text) {
      const bool met = measured && *measured < most + 1e-12;
      all_met = all_met && met;
      out_ << "| " << target << " | " << limit << " | " << (measured ? text : "–") << " | "
           << (met ? "yes" : "**no**") << " |\n";
    };
    for (const DatabaseRow& row : kDatabaseRows) {
      std::optional<double> worst;
      for (const int rows : sizes_) {
        const std::optional<double> ratio = PluginOverRaw(row.name, rows);
        if (!ratio) {
          worst.reset();
          break;
        }
        worst = std::max(worst.value_or(0), *ratio);
      }
      line(fmt::format("{}: plugin / raw at the worst size", row.target_label), "1.15", worst,
           kMostPluginOverRaw, RatioText(worst, 3));
    }
    for (const DatabaseRow& row : kDatabaseRows) {
      const std::optional<double> ratio = LargestOverSmallest(row.name, "plugin");
      line(fmt::format("{}: plugin at {} / at {} rows", row.target_label, Grouped(sizes_.back()),
                       Grouped(sizes_.front())),
           "1.5", ratio, kMostLargestOverSmallest, RatioText(ratio, 3));
    }
    const std::optional<double> off = Median("logout_refresh_off");
    line("Logout hook with the refresh off, per call", "2 µs", off, kMostRefreshOffSeconds,
         Duration(off));
    return all_met;
  }

  void Failures() {
    for (const auto& [name, reason] : medians_.Failures())
      out_ << "\nFailed: `" << name << "`: " << reason << "\n";
  }

 private:
  std::ostream& out_;
  const MedianReporter& medians_;
  const std::vector<int>& sizes_;
};

}  // namespace

bool WritePerformanceTable(std::ostream& out, const MedianReporter& medians,
                           const std::vector<int>& sizes, const Workload& workload,
                           const std::string& server) {
  Writer writer(out, medians, sizes);
  out << fmt::format(
      "Server: {}. Medians of the time per call over {} repetitions of {} calls (database rows) "
      "and over {} repetitions of {} calls (the rest; the logout hook ten times as many); the "
      "repetitions of all rows ran interleaved in random order, and within each repetition the "
      "plugin and the raw statements took turns call by call.\n\n",
      server, workload.database_repetitions, workload.database_calls, workload.cpu_repetitions,
      workload.cpu_calls);
  out << "### Against the database\n\n";
  writer.DatabaseTable();
  out << "\n### Without the database\n\n";
  writer.CpuTable();
  out << "\n### Targets\n\n";
  const bool met = writer.Targets();
  writer.Failures();
  return met;
}

}  // namespace veltrane::bench
