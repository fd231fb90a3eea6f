// The window's side of the control pipe: each request is carried out on the
// window's thread through the same start/stop step as the button, so the
// window shows what it did and every rule of a start or a stop holds.
#include <windows.h>

#include "text/encoding.h"
#include "text/format_text.h"
#include "app/launcher_app.h"
#include "text/texts.h"
#include "control/json_writer.h"
#include "ui/launcher_dialog.h"
#include "ui/resource_ids.h"

namespace {

ControlReply Refusal(ControlExit code, const std::string& gbk) { return {code, GbkToUtf8(gbk)}; }

// A start or stop's result: whether it changed anything, and the plan.
ControlReply Changed(bool changed, const std::string& planGbk) {
  JsonWriter json;
  json.BeginObject().Key("changed").Bool(changed);
  if (changed) json.Key("plan").Gbk(planGbk);
  json.EndObject();
  return {ControlExit::kDone, json.text()};
}

}  // namespace

void LauncherDialog::StartControl() { control_.Start(app_.settings.port, hwnd(), WM_CONTROL_REQUEST); }

void LauncherDialog::OnControlRequest() {
  ControlRequest request;
  if (control_.TakeRequest(request)) control_.Answer(AnswerControl(request));
}

ControlReply LauncherDialog::AnswerControl(const ControlRequest& request) {
  // The request arrived inside the list reader's message box: the catalogue
  // is not complete, and a start now would be carried out behind the box.
  if (initialising_) return Refusal(ControlExit::kRefused, texts::kCtlStillStarting);
  const int running = runner_.RunningPlan();
  const auto nameOf = [this](int plan) { return catalogue_.m_planNames[static_cast<std::size_t>(plan)]; };
  switch (request.command) {
    case ControlCommand::kStatus: {
      const auto ticked = [this](int plan, int row) {
        if (plan == shownPlan_) return IsRowChecked(row);
        const PlanRange range = catalogue_.Range(plan);
        return catalogue_.m_entries[static_cast<std::size_t>(range.first + row)]->enabled != 0;
      };
      return {ControlExit::kDone,
              controlBoard_.StatusJson(catalogue_, ::GetCurrentProcessId(), app_.settings.port, ticked)};
    }
    case ControlCommand::kStop:
      if (running < 0) return Changed(false, {});
      OnStartStopPlan(EventSource::kControl);
      return Changed(true, nameOf(running));
    case ControlCommand::kStart:
      break;
  }
  const int plan = FindPlanByName(catalogue_, request.plan);
  if (plan < 0) {
    return {ControlExit::kUsage, FormatText(GbkToUtf8(texts::kCtlNoSuchPlan).c_str(), request.plan.c_str())};
  }
  if (running >= 0) return Refusal(ControlExit::kRefused, FormatText(texts::kCtlPlanRunning, nameOf(running).c_str()));
  // As the tray's start items do: select the plan, then the start step,
  // which shows the plan's rows before it reads their ticks.
  ::SendMessageW(Item(IDC_PLAN_CHOOSER), CB_SETCURSEL, static_cast<WPARAM>(plan), 0);
  OnStartStopPlan(EventSource::kControl);
  if (runner_.RunningPlan() != plan) {
    return Refusal(ControlExit::kInternal, FormatText(texts::kCtlStartFailed, nameOf(plan).c_str()));
  }
  return Changed(true, nameOf(plan));
}
