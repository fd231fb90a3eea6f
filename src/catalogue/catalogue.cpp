#include "catalogue/catalogue.h"

#include <cstdio>

#include "text/texts.h"

void Catalogue::AddPlan(std::string name) {
  CloseLastPlan();
  m_planNames.push_back(std::move(name));
  m_planRunning.push_back(0);
  m_planLaunched.push_back(0);
  m_planRanges.push_back(static_cast<std::uint32_t>(m_entries.size()));
  m_planRanges.push_back(0);
}

void Catalogue::AddEntry(std::unique_ptr<LaunchEntry> entry) {
  m_entries.push_back(std::move(entry));
}

void Catalogue::CloseLastPlan() {
  if (m_planRanges.empty()) return;
  const std::size_t last = m_planRanges.size() - 2;
  m_planRanges[last + 1] = static_cast<std::uint32_t>(m_entries.size()) - m_planRanges[last];
}

PlanRange Catalogue::Range(int plan) const {
  const std::size_t k = static_cast<std::size_t>(plan) * 2;
  return PlanRange{static_cast<std::int32_t>(m_planRanges[k]),
                   static_cast<std::int32_t>(m_planRanges[k + 1])};
}

std::vector<ProgramRow> ProgramListRows(const Catalogue& catalogue, int plan) {
  std::vector<ProgramRow> rows;
  if (!catalogue.HasPlan(plan)) return rows;
  const PlanRange range = catalogue.Range(plan);
  rows.reserve(static_cast<std::size_t>(range.count));
  for (std::int32_t i = 0; i < range.count; ++i) {
    const LaunchEntry& entry = *catalogue.m_entries[static_cast<std::size_t>(range.first + i)];
    char delay[32];
    std::snprintf(delay, sizeof delay, texts::kDelayFormat, entry.delaySeconds);
    rows.push_back(ProgramRow{entry.programPath, entry.runDirectory, entry.commandLine, delay,
                              entry.enabled != 0});
  }
  return rows;
}
