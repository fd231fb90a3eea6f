#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/settings.h"
#include "net/exit_notice_sender.h"
#include "net/heartbeat_socket.h"
#include "net/liveness_table.h"
#include "platform/scoped.h"
#include "platform/wide.h"
#include "platform/win_app.h"
#include "report/drop_tally.h"
#include "report/event.h"
#include "report/file_writer.h"
#include "report/metrics.h"
#include "report/metrics_writer.h"
#include "report/reports_end.h"
#include "report/spared_exits.h"

// The one application object: it owns what outlives the dialog or is reached
// from the network handlers: the settings, the dialog font, the exit notice
// sockets, the heartbeat socket and the liveness table.
class LauncherApp : public WinApp {
 public:
  // `args` is the argument vector without the program name.
  explicit LauncherApp(std::vector<std::u16string> args);

  HFONT dialogFont() const { return static_cast<HFONT>(font_.get()); }
  const std::vector<std::u16string>& commandLineArgs() const { return args_; }
  // Creates the heartbeat socket from the settings as they stand, and
  // reports whether it opened.
  bool OpenHeartbeatListener();
  // Starts what the command line asked the launcher to report through
  // (the journal, the metrics, the dump folder) on the file writer; called
  // once the command line is applied. A writer that cannot start leaves
  // them off, and the launcher goes on.
  void StartReports();
  // The /d folder, empty without /d.
  std::wstring dumpFolder() const { return WidePath(settings.dumpFolder); }
  // The file writer the dump folder's upkeep goes to (none when off).
  std::shared_ptr<FileWriter> files() const { return files_; }
  // Raises one event on the launcher's stream.
  void Report(Event event, EventKind kind);
  // Tells the stream a second of the running plan has passed (kTick).
  void ReportTime();
  // With /m: the heartbeat counts on the stream, and the metrics file
  // handed to its writer when a value changed or the last write failed
  // (`refresh`: also when the last write is some seconds old). The writer's
  // first failure and its recovery are reported on the stream.
  void ReportHeartbeats();
  void WriteMetrics(bool refresh);
  // The reports' work for the window's thread (WM_REPORTS_DUE): the ends of
  // servers spared at a stop, the metrics file.
  void OnReportsDue();
  // The launcher's last word, once, within one deadline from `begun`
  // (reports_end.h): the spared servers' ends, the metrics' last text, the
  // journal's last lines. Later calls do nothing.
  void EndReports(const EndLimits& limits, FileWriter::Clock::time_point begun);
  // When the launcher's end began: the first call's moment (the close of
  // the window, or WM_ENDSESSION), the same for every later call, so every
  // wait of the end counts against one budget.
  FileWriter::Clock::time_point EndBegun();
  bool metricsOn() const { return metrics_ != nullptr; }

  Settings settings;
  // What the launcher reports about itself: every event passes `events`,
  // which hands it to the journal, the status column and the metrics.
  EventFanOut events;
  DropTally drops;
  LivenessTable liveness;
  HeartbeatSocket heartbeat;
  ExitNoticeSender exitNotice;

 protected:
  bool InitInstance() override;
  int ExitInstance() override;
  // Seams for tests: the socket layer start and the failure message.
  virtual bool StartSockets();
  virtual void ShowSocketLayerFailure();

 private:
  std::vector<std::u16string> args_;
  ScopedGdiObject font_;
  std::shared_ptr<FileWriter> files_;  // the journal's, the metrics' and the dump folder's
  std::unique_ptr<EventSink> journal_;
  std::unique_ptr<SparedExits> spared_;
  std::unique_ptr<MetricsBoard> metrics_;
  std::unique_ptr<MetricsWriter> metricsWriter_;
  unsigned long long metricsWrittenAt_ = 0;
  bool reportsEnded_ = false;
  FileWriter::Clock::time_point endBegun_{};
};

// Creates the dialog font: 16 units high, 8 wide, normal weight, GB2312
// character set, stroke precision, draft quality, variable pitch, "宋体".
HFONT CreateDialogFont();
