#pragma once
// The launcher's last word, at every end (the exit, the end of the session):
// one deadline for all of it. The end's time is fixed once, when the end
// begins, and every wait takes the smaller of its own limit and the time
// left, so the waits share one budget and never add up past it:
//   1. the servers spared at a stop, to report their ends (at the session's
//      end only: after an exit they save on their own);
//   2. the metrics file's last text (launcher, plans and programs down),
//      tried again while it fails;
//   3. the journal's last lines, the metrics' failure among them, with the
//      last one saying how the end went: what was waited for and what was
//      cut short. The journal takes whatever time is left.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "report/event.h"
#include "report/file_writer.h"
#include "report/metrics.h"
#include "report/metrics_writer.h"
#include "report/spared_exits.h"

struct EndLimits {
  std::chrono::milliseconds total;    // the whole end, from its beginning
  std::chrono::milliseconds spared;   // the spared servers' share at most
  std::chrono::milliseconds metrics;  // the metrics' last text's share at most
};

// Windows waits 5 s for the answer to WM_ENDSESSION before it offers to end
// (on a forced restart: ends) the launcher; the end keeps half a second of
// that for the answer itself and for the system.
inline constexpr EndLimits kSessionEndLimits{std::chrono::milliseconds(4500), std::chrono::milliseconds(3000),
                                             std::chrono::milliseconds(750)};
// An exit asked for (退出, the tray, the control pipe): a plan was stopped
// before, and its spared servers save on without the launcher.
inline constexpr EndLimits kExitLimits{std::chrono::milliseconds(4500), std::chrono::milliseconds(0),
                                       std::chrono::milliseconds(750)};

// What the end works with; each part may be missing.
struct EndParts {
  EventSink* events = nullptr;  // the launcher's stream
  // Waits up to the time given for the spared servers to end, reporting
  // those that do.
  std::function<SparedWait(std::chrono::milliseconds)> waitForSpared;
  MetricsBoard* metrics = nullptr;
  MetricsWriter* metricsWriter = nullptr;
  std::string metricsPath;                               // GBK, for the journal's lines
  std::function<double()> unixNow;                       // the metrics file's time
  std::function<std::string(std::uint32_t)> errorText;   // Windows' words for an error
  FileWriter* writer = nullptr;
};

// How the end went, as the journal's last line says it.
struct EndReport {
  std::chrono::milliseconds budget{0};
  SparedWait spared;
  std::chrono::milliseconds sparedWaited{0};
  bool metricsOn = false;
  MetricsWriter::Ending metrics;
  std::string metricsError;                    // its text, when the last write failed
  std::chrono::milliseconds journalLeft{0};    // the time left for the last lines
  bool writtenOut = false;                     // the writer wrote everything out in time
};

// Runs the end from `begun`, the moment it began (anything done since, such
// as stopping the plan, counts against the budget).
EndReport EndReports(EndParts& parts, const EndLimits& limits, FileWriter::Clock::time_point begun);

// The journal's words for how the end went (kLauncherEnded's detail), GBK.
std::string EndDetail(const EndReport& report);

// The metrics writer's turns on the stream: its first failure and its
// recovery (kMetricsFailed, kMetricsRecovered).
void ReportMetricsChanges(MetricsWriter& writer, EventSink& events, const std::string& path,
                          const std::function<std::string(std::uint32_t)>& errorText);
