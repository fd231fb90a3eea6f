#include "app/launcher_app.h"

#include <thread>

#include "app/crash_guard.h"
#include "text/texts.h"
#include "platform/async_socket.h"
#include "platform/files.h"
#include "platform/wide.h"
#include "report/journal.h"
#include "ui/launcher_dialog.h"
#include "ui/resource_ids.h"

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
  if (!settings.metricsPath.empty() && !metrics_) {
    metrics_ = std::make_unique<MetricsBoard>([this] {
      if (mainWindow()) ::PostMessageW(mainWindow(), WM_REPORTS_DUE, 0, 0);
    });
    metricsWriter_ = std::make_unique<MetricsWriter>(
        [path = settings.metricsPath](const std::string& bytes) { return ReplaceFileWhole(path, bytes); });
    events.Add(*metrics_);
  }
  // The dump folder is made now, off the window's thread (a share may take
  // long to answer); when it cannot be, each dump's failure says why.
  if (!settings.dumpFolder.empty()) {
    std::thread([folder = dumpFolder()] { CreateFolders(folder); }).detach();
  }
  if (!settings.journalPath.empty() && !journal_) {
    journal_ = std::make_unique<Journal>(settings.journalPath, MakeWindowsJournalFiles(), &LocalTimeNow);
    events.Add(*journal_);
  }
  if ((journal_ || metrics_) && !spared_) {
    spared_ = std::make_unique<SparedExits>(events, [window = mainWindow()] {
      ::PostMessageW(window, WM_REPORTS_DUE, 0, 0);
    });
    events.Add(*spared_);
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
  for (const MetricsWriter::Change& change : metricsWriter_->TakeChanges()) {
    Event event;
    event.program = Utf16ToGbk(settings.metricsPath);
    event.error = change.error;
    event.number = change.failures;
    if (change.failed) event.detail = SystemErrorText(change.error);
    Report(std::move(event), change.failed ? EventKind::kMetricsFailed : EventKind::kMetricsRecovered);
  }
  const ULONGLONG tick = ::GetTickCount64();
  if (!metrics_->dirty() && !metricsWriter_->failing() && !(refresh && tick - metricsWrittenAt_ >= kRefreshMs)) {
    return;
  }
  metricsWrittenAt_ = tick;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  // 100 ns ticks since 1601 to seconds since 1970.
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const double unixSeconds = static_cast<double>(ticks - 116444736000000000ULL) / 1e7;
  // A failed write is tried again with the next call (every second) while
  // it fails, with the text of the moment.
  metricsWriter_->Submit(metrics_->Render(unixSeconds));
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
    ShowSocketLayerFailure();
    return false;
  }
  {
    LauncherDialog dialog(*this);
    dialog.DoModal();
  }
  SetMainWindow(nullptr);
  EndReports(0);
  return false;
}

void LauncherApp::EndReports(std::uint32_t sparedWaitMs) {
  if (reportsEnded_) return;
  reportsEnded_ = true;
  if (spared_) spared_->WaitForEnds(sparedWaitMs);
  drops.Poll(true);
  Report({}, EventKind::kLauncherEnded);
  WriteMetrics(false);
  if (spared_) events.Remove(*spared_);
  spared_.reset();
  // The journal writes out what it holds before the launcher ends.
  if (journal_) events.Remove(*journal_);
  journal_.reset();
  if (metrics_) events.Remove(*metrics_);
  metrics_.reset();
  metricsWriter_.reset();  // writes the last text
}

int LauncherApp::ExitInstance() {
  font_.reset();
  return 0;
}
