#include "app/launcher_app.h"

#include "app/texts.h"
#include "platform/async_socket.h"
#include "platform/wide.h"
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
    : liveness(&MonotonicSeconds), heartbeat(liveness), args_(std::move(args)),
      font_(CreateDialogFont()) {}

bool LauncherApp::OpenHeartbeatListener() {
  return heartbeat.Open(settings.bindAddress, settings.port);
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
  LauncherDialog dialog(*this);
  dialog.DoModal();
  SetMainWindow(nullptr);
  return false;
}

int LauncherApp::ExitInstance() {
  font_.reset();
  return 0;
}
