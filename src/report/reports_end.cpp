#include "report/reports_end.h"

#include <algorithm>

#include "text/format_text.h"
#include "text/texts.h"

namespace {

using Clock = FileWriter::Clock;
using std::chrono::milliseconds;

milliseconds Left(Clock::time_point end) {
  const Clock::time_point now = Clock::now();
  return now >= end ? milliseconds(0) : std::chrono::duration_cast<milliseconds>(end - now);
}

// Milliseconds as seconds with one decimal, rounded.
std::string Seconds(milliseconds ms) {
  const long long tenths = (ms.count() + 50) / 100;
  return FormatText("%lld.%lld", tenths / 10, tenths % 10);
}

}  // namespace

void ReportMetricsChanges(MetricsWriter& writer, EventSink& events, const std::string& path,
                          const std::function<std::string(std::uint32_t)>& errorText) {
  for (const MetricsWriter::Change& change : writer.TakeChanges()) {
    Event event;
    event.kind = change.failed ? EventKind::kMetricsFailed : EventKind::kMetricsRecovered;
    event.program = path;
    event.error = change.error;
    event.number = change.failures;
    if (change.failed && errorText) event.detail = errorText(change.error);
    events.OnEvent(event);
  }
}

EndReport EndReports(EndParts& parts, const EndLimits& limits, Clock::time_point begun) {
  const Clock::time_point end = begun + limits.total;
  EndReport report;
  report.budget = limits.total;
  const auto raise = [&](Event event, EventKind kind) {
    event.kind = kind;
    if (parts.events) parts.events->OnEvent(event);
  };
  if (parts.waitForSpared) {
    const Clock::time_point from = Clock::now();
    // What went before (a stop's asks) comes out of the spared servers'
    // share, never the metrics' or the journal's: the last line is always
    // written within the budget.
    const milliseconds room = limits.spared - std::chrono::duration_cast<milliseconds>(Clock::now() - begun);
    const SparedWait spared = parts.waitForSpared(std::clamp(room, milliseconds(0), limits.spared));
    // Without a share (an exit asked for), the servers save on their own:
    // only those already ended are reported, and the last line is silent.
    if (limits.spared.count() > 0) {
      report.spared = spared;
      report.sparedWaited = std::chrono::duration_cast<milliseconds>(Clock::now() - from);
    }
  }
  // From here the metrics say the launcher is down.
  raise({}, EventKind::kLauncherEnding);
  if (parts.metrics && parts.metricsWriter) {
    report.metricsOn = true;
    const std::string text = parts.metrics->Render(parts.unixNow ? parts.unixNow() : 0.0);
    report.metrics = parts.metricsWriter->Finish(text, std::min(Clock::now() + limits.metrics, end));
    if (report.metrics.last == MetricsWriter::Last::kFailed && parts.errorText) {
      report.metricsError = parts.errorText(report.metrics.error);
    }
    // Journalled before the last line: the journal still writes.
    if (parts.events) ReportMetricsChanges(*parts.metricsWriter, *parts.events, parts.metricsPath, parts.errorText);
  }
  report.journalLeft = Left(end);
  Event ended;
  ended.number = static_cast<std::int64_t>(report.spared.left);
  ended.count = static_cast<std::int64_t>(report.spared.watched);
  ended.millis = static_cast<std::uint64_t>(report.sparedWaited.count());
  ended.error = report.metrics.last == MetricsWriter::Last::kFailed ? report.metrics.error : 0;
  ended.detail = EndDetail(report);
  raise(std::move(ended), EventKind::kLauncherEnded);
  // The last step runs with what remains, however little.
  if (parts.writer) report.writtenOut = parts.writer->Stop(end);
  return report;
}

std::string EndDetail(const EndReport& report) {
  std::string detail = FormatText(texts::kDetailEndBudget, Seconds(report.budget).c_str());
  const auto add = [&detail](const std::string& part) {
    detail += texts::kDetailSeparator;
    detail += part;
  };
  if (report.spared.watched > 0) {
    const auto watched = static_cast<long long>(report.spared.watched);
    add(report.spared.left == 0
            ? FormatText(texts::kDetailEndSparedDone, watched, Seconds(report.sparedWaited).c_str())
            : FormatText(texts::kDetailEndSparedCut, watched, static_cast<long long>(report.spared.left),
                         Seconds(report.sparedWaited).c_str()));
  }
  if (report.metricsOn) {
    switch (report.metrics.last) {
      case MetricsWriter::Last::kWritten: add(texts::kDetailEndMetricsWritten); break;
      case MetricsWriter::Last::kFailed: {
        std::string error = std::to_string(report.metrics.error);
        if (!report.metricsError.empty()) error += ' ' + report.metricsError;
        add(FormatText(texts::kDetailEndMetricsFailed, report.metrics.attempts, error.c_str()));
        break;
      }
      case MetricsWriter::Last::kCutShort: add(texts::kDetailEndMetricsCut); break;
    }
  }
  add(FormatText(texts::kDetailEndJournalLeft, Seconds(report.journalLeft).c_str()));
  return detail;
}
