#include "app/launcher_app.h"

#include "app/texts.h"
#include "platform/async_socket.h"
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

LauncherApp::LauncherApp(std::vector<std::string> args)
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
  if (!settings.journalPath.empty() && !journal_) {
    journal_ = std::make_unique<Journal>(settings.journalPath, MakeWindowsJournalFiles(), &LocalTimeNow);
    events.Add(*journal_);
  }
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
  drops.Poll(true);
  Report({}, EventKind::kLauncherEnded);
  return false;
}

int LauncherApp::ExitInstance() {
  // The journal writes out what it holds before the launcher ends.
  if (journal_) events.Remove(*journal_);
  journal_.reset();
  font_.reset();
  return 0;
}
