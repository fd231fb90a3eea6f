#include "app/launcher_app.h"

#include <chrono>

#include "app/crash_guard.h"
#include "text/texts.h"
#include "app/service_win.h"
#include "platform/async_socket.h"
#include "platform/disk_threads.h"
#include "platform/files.h"
#include "platform/wide.h"
#include "report/journal.h"
#include "runner/dump_writer.h"
#include "ui/launcher_dialog.h"
#include "ui/resource_ids.h"

namespace {

double UnixSeconds() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  // 100 ns ticks since 1601 to seconds since 1970.
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<double>(ticks - 116444736000000000ULL) / 1e7;
}

}  // namespace

HFONT CreateDialogFont() {
  LOGFONTW lf{};
  lf.lfHeight = 16;
  lf.lfWidth = 8;
  lf.lfEscapement = 0;
  lf.lfOrientation = 0;
  lf.lfWeight = FW_NORMAL;
  lf.lfItalic = 0;
  lf.lfUnderline = 0;
  lf.lfStrikeOut = 0;
  lf.lfCharSet = GB2312_CHARSET;
  lf.lfOutPrecision = OUT_STROKE_PRECIS;
  lf.lfClipPrecision = CLIP_STROKE_PRECIS;
  lf.lfQuality = DRAFT_QUALITY;
  lf.lfPitchAndFamily = VARIABLE_PITCH;
  Wide(texts::kFontFace).copy(lf.lfFaceName, LF_FACESIZE - 1);
  return ::CreateFontIndirectW(&lf);
}

LauncherApp::LauncherApp(std::vector<std::u16string> args)
    : drops(&events, &MonotonicSeconds), liveness(&MonotonicSeconds), heartbeat(liveness, &drops),
      args_(std::move(args)), font_(CreateDialogFont()) {}

bool LauncherApp::OpenHeartbeatListener() {
  const bool opened = heartbeat.Open(settings.bindAddress, settings.port);
  Event event;
  event.number = settings.port;
  if (opened) {
    event.detail = settings.bindAddress;
    Report(std::move(event), EventKind::kListenerOpened);
    return true;
  }
  event.error = static_cast<std::uint32_t>(::WSAGetLastError());
  event.detail = event.error == WSAEADDRINUSE ? texts::kDetailPortTaken
                 : event.error == WSAEADDRNOTAVAIL || event.error == WSAEINVAL
                     ? texts::kDetailBadAddress
                     : SystemErrorText(event.error);
  Report(std::move(event), EventKind::kListenerFailed);
  return false;
}

void LauncherApp::StartReports() {
  // The first moment /d and /l are known: from here a crash of the launcher
  // leaves its dump and its journal line.
  SetCrashReportPaths(settings.dumpFolder, settings.journalPath);
  // Always: the control pipe's status lists the servers a stop spared until
  // their ends are told, and a stop's --wait waits for them.
  if (!spared_) {
    spared_ = std::make_unique<SparedExits>(events, [window = mainWindow()] {
      ::PostMessageW(window, WM_REPORTS_DUE, 0, 0);
    });
    events.Add(*spared_);
  }
  const bool wanted = !settings.metricsPath.empty() || !settings.journalPath.empty() || !settings.dumpFolder.empty();
  if (wanted && !files_) {
    files_ = std::make_shared<FileWriter>();
    if (!files_->Start()) {
      // Nothing can be written off the window's thread: the journal, the
      // metrics and the dump folder's upkeep stay off.
      files_.reset();
      Event off;
      off.number = static_cast<int>(Feature::kFileWriter);
      off.error = ERROR_NOT_ENOUGH_MEMORY;
      off.detail = SystemErrorText(off.error);
      Report(std::move(off), EventKind::kFeatureOff);
      return;
    }
    files_->Post(&CountAsDiskThread);
  }
  if (!files_) return;
  if (!settings.metricsPath.empty() && !metrics_) {
    // The port is read at each write: the list's /p line sets it later.
    metrics_ = std::make_unique<MetricsBoard>(
        [this] {
          if (mainWindow()) ::PostMessageW(mainWindow(), WM_REPORTS_DUE, 0, 0);
        },
        [this] { return settings.port; });
    metricsWriter_ = std::make_unique<MetricsWriter>(
        *files_, [path = settings.metricsPath](const std::string& bytes) { return ReplaceFileWhole(path, bytes); });
    events.Add(*metrics_);
  }
  // The dump folder is made now, off the window's thread (a share may take
  // long to answer); when it cannot be, each dump's failure says why.
  if (!settings.dumpFolder.empty()) files_->Post([folder = dumpFolder()] { CreateFolders(folder); });
  if (!settings.journalPath.empty() && !journal_) {
    journal_ = std::make_unique<Journal>(*files_, settings.journalPath, MakeWindowsJournalFiles(), &LocalTimeNow);
    events.Add(*journal_);
  }
}

void LauncherApp::ReportHeartbeats() {
  Event stats;
  stats.number = static_cast<std::int64_t>(heartbeat.heard());
  stats.count = static_cast<std::int64_t>(liveness.ProcessIds().size());
  Report(stats, EventKind::kHeartbeatStats);
}

void LauncherApp::WriteMetrics(bool refresh) {
  // A refresh rewrites an unchanged file now and then, so its time stays
  // current while the launcher lives.
  constexpr ULONGLONG kRefreshMs = 15000;
  if (!metrics_) return;
  ReportMetricsChanges(*metricsWriter_, events, Utf16ToGbk(settings.metricsPath), &SystemErrorText);
  const ULONGLONG tick = ::GetTickCount64();
  if (!metrics_->dirty() && !metricsWriter_->failing() && !(refresh && tick - metricsWrittenAt_ >= kRefreshMs)) {
    return;
  }
  metricsWrittenAt_ = tick;
  // A failed write is tried again with the next call (every second) while
  // it fails, with the text of the moment.
  metricsWriter_->Submit(metrics_->Render(UnixSeconds()));
}

void LauncherApp::ReportTime() {
  Event tick;
  tick.number = MonotonicSeconds();
  Report(tick, EventKind::kTick);
}

void LauncherApp::OnReportsDue() {
  if (spared_) spared_->Report();
  WriteMetrics(false);
}

void LauncherApp::Report(Event event, EventKind kind) {
  event.kind = kind;
  events.OnEvent(event);
}

bool LauncherApp::StartSockets() { return StartSocketLayer(); }

void LauncherApp::ShowSocketLayerFailure() {
  wchar_t text[512] = {};
  std::wstring message = Wide(texts::kSocketLayerFailed);
  if (::LoadStringW(instance(), IDS_SOCKET_LAYER_FAILED, text, sizeof text / sizeof text[0]) > 0) message = text;
  ::MessageBoxW(nullptr, message.c_str(), L"Morvastel", MB_OK | MB_ICONERROR);
}

bool LauncherApp::InitInstance() {
  if (!StartSockets()) {
    // No one would see a box under the service manager.
    if (!RunningAsService()) ShowSocketLayerFailure();
    return false;
  }
  {
    LauncherDialog dialog(*this);
    dialog.DoModal();
  }
  SetMainWindow(nullptr);
  EndReports(kExitLimits, EndBegun());
  return false;
}

FileWriter::Clock::time_point LauncherApp::EndBegun() {
  if (endBegun_ == FileWriter::Clock::time_point{}) endBegun_ = FileWriter::Clock::now();
  return endBegun_;
}

void LauncherApp::EndReports(const EndLimits& limits, FileWriter::Clock::time_point begun) {
  if (reportsEnded_) return;
  reportsEnded_ = true;
  drops.Poll(true);
  EndParts parts;
  parts.events = &events;
  // Their ends are waited for only where they are written down.
  if (spared_ && (journal_ || metrics_)) {
    parts.waitForSpared = [this](std::chrono::milliseconds limit) {
      return spared_->WaitForEnds(static_cast<std::uint32_t>(limit.count()));
    };
  }
  parts.metrics = metrics_.get();
  parts.metricsWriter = metricsWriter_.get();
  parts.metricsPath = Utf16ToGbk(settings.metricsPath);
  parts.unixNow = &UnixSeconds;
  parts.errorText = &SystemErrorText;
  parts.writer = files_.get();
  ::EndReports(parts, limits, begun);
  // The end's time is up: a file call still stuck (a share that stopped
  // answering) would keep the ended process in being.
  CancelDiskCalls();
  if (spared_) events.Remove(*spared_);
  spared_.reset();
  if (journal_) events.Remove(*journal_);
  journal_.reset();
  if (metrics_) events.Remove(*metrics_);
  metrics_.reset();
  metricsWriter_.reset();
  files_.reset();
}

int LauncherApp::ExitInstance() {
  font_.reset();
  return 0;
}
