#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One program line of the launch list. The records that Windows needs to
// start the program (start-up information, process information and handles)
// belong to the Windows layer, which keeps them beside the catalogue by
// entry index.
struct LaunchEntry {
  std::int32_t enabled = 0;       // initial tick of the entry's row
  std::int32_t delaySeconds = 0;  // seconds from plan start to launch
  std::int32_t countdown = 1;     // delaySeconds + 1 when loaded and at start
  std::string programPath;        // application name given to process creation
  std::string runDirectory;       // its working directory
  std::string commandLine;        // always begins with a blank
};

struct PlanRange {
  std::int32_t first = 0;
  std::int32_t count = 0;
};

// The in-memory launch list: all entries in file order (including those
// before the first plan line, which belong to no plan) and, per plan, its
// name, range, running flag and launched counter in parallel arrays. A plan
// is identified by its index everywhere.
class Catalogue {
 public:
  // Building, in file order.
  void AddPlan(std::string name);
  void AddEntry(std::unique_ptr<LaunchEntry> entry);
  void CloseLastPlan();

  std::size_t PlanCount() const { return m_planNames.size(); }
  // True when `plan` names an existing plan; every plan lookup goes through
  // this, so an index of -1 (no selection) never reaches the arrays.
  bool HasPlan(int plan) const { return plan >= 0 && static_cast<std::size_t>(plan) < PlanCount(); }
  // The plan's range; `plan` must exist.
  PlanRange Range(int plan) const;

  std::vector<std::unique_ptr<LaunchEntry>> m_entries;  // owns the records
  std::vector<std::string> m_planNames;
  std::vector<std::uint32_t> m_planRanges;  // flat: 2k = first, 2k+1 = count
  std::vector<std::uint32_t> m_planRunning;
  std::vector<std::uint32_t> m_planLaunched;
};

// One row of the program list as the dialog shows it.
struct ProgramRow {
  std::string program;
  std::string directory;
  std::string commandLine;
  std::string delay;  // delaySeconds formatted as "%d秒" (GBK)
  bool checked = false;
};

// The rows of plan `plan` in file order: row r is entry first + r. Empty for
// a plan index that names no plan.
std::vector<ProgramRow> ProgramListRows(const Catalogue& catalogue, int plan);
