// The window's side of the control pipe: each request is carried out on the
// window's thread through the same start/stop step as the button, so the
// window shows what it did and every rule of a start or a stop holds. A row
// command ticks or unticks the row in the list, as the operator would, and
// has the runner end or start its program at once.
#include <windows.h>
#include <commctrl.h>

#include "text/encoding.h"
#include "text/format_text.h"
#include "app/launcher_app.h"
#include "text/texts.h"
#include "control/json_writer.h"
#include "platform/files.h"
#include "platform/wide.h"
#include "ui/launcher_dialog.h"
#include "ui/resource_ids.h"

namespace {

ControlReply Refusal(ControlFailure failure, const std::string& gbk) {
  return {FailureExit(failure), FailureLine(failure, GbkToUtf8(gbk))};
}

// A start or stop's result: whether it changed anything, the plan, and why
// nothing changed where that needs saying.
ControlReply Changed(bool changed, const std::string& planGbk, const char* messageGbk = nullptr) {
  JsonWriter json;
  json.BeginObject().Key("changed").Bool(changed);
  if (!planGbk.empty()) json.Key("plan").Gbk(planGbk);
  if (messageGbk) json.Key("message").Gbk(messageGbk);
  json.EndObject();
  return {ControlExit::kDone, json.text()};
}

std::string Utf8Path(const std::u16string& path) { return Utf16ToUtf8(path); }

}  // namespace

void LauncherDialog::StartControl() {
  if (control_.started()) return;
  const std::uint32_t error = control_.Start(app_.settings.port, hwnd(), WM_CONTROL_REQUEST,
                                             std::wstring(app_.settings.operators.begin(), app_.settings.operators.end()));
  Event event;
  event.program = ControlPipeName(app_.settings.port);  // ASCII, so GBK as it is
  if (error == 0) {
    ::KillTimer(hwnd(), kControlRetryTimer);
    controlError_ = 0;
    app_.Report(std::move(event), EventKind::kControlOpened);
    return;
  }
  // Another process holds the name (or made it before us): clients would
  // find it and not us. Said once per error, and tried again until the name
  // is free.
  if (error != controlError_) {
    controlError_ = error;
    event.error = error;
    event.detail = SystemErrorText(error);
    app_.Report(std::move(event), EventKind::kControlFailed);
  }
  ::SetTimer(hwnd(), kControlRetryTimer, kControlRetryMs, nullptr);
}

void LauncherDialog::OnControlRequest() {
  ControlRequest request;
  if (!control_.TakeRequest(request)) return;
  if (request.command == ControlCommand::kQuit && !initialising_) {
    // Closed as Esc closes it, once the client has its reply; the programs
    // run on for the next launcher to take over.
    JsonWriter json;
    json.BeginObject().Key("quit").Bool(true).Key("pid").Number(::GetCurrentProcessId()).EndObject();
    control_.AnswerThenPost({ControlExit::kDone, json.text()}, WM_CONTROL_QUIT);
    return;
  }
  control_.Answer(AnswerControl(request));
}

void LauncherDialog::OnControlQuit() { EndDialog(IDCANCEL); }

ControlReply LauncherDialog::AnswerControl(const ControlRequest& request) {
  // The request arrived inside the list reader's message box: the catalogue
  // is not complete, and a start now would be carried out behind the box.
  if (initialising_) return Refusal(ControlFailure::kRefused, texts::kCtlStillStarting);
  const int running = runner_.RunningPlan();
  const auto nameOf = [this](int plan) { return catalogue_.m_planNames[static_cast<std::size_t>(plan)]; };
  switch (request.command) {
    case ControlCommand::kStatus: {
      const auto facts = [this](int plan, int row) {
        const PlanRange range = catalogue_.Range(plan);
        const std::size_t entry = static_cast<std::size_t>(range.first + row);
        RowFacts fact;
        fact.ticked = plan == shownPlan_ ? IsRowChecked(row) : catalogue_.m_entries[entry]->enabled != 0;
        if (processes_.IsEntryEnding(entry)) fact.endingPid = processes_.EntryProcessId(entry);
        if (plan == shownPlan_ && plan == status_.cellsPlan() && static_cast<std::size_t>(row) < status_.rows().size()) {
          fact.status = status_.rows()[static_cast<std::size_t>(row)];
        }
        return fact;
      };
      const Settings& settings = app_.settings;
      const std::wstring folder = CurrentFolder();
      const LauncherFacts launcher{::GetCurrentProcessId(), settings.port, Utf8Path(settings.journalPath),
                                   Utf8Path(settings.metricsPath), Utf8Path(settings.dumpFolder),
                                   Utf8Path(std::u16string(folder.begin(), folder.end())),
                                   settings.mode == Settings::Mode::kService, Window()};
      return {ControlExit::kDone, controlBoard_.StatusJson(catalogue_, launcher, facts)};
    }
    case ControlCommand::kChanges: {
      JsonWriter json;
      json.BeginObject().Key("revision").Number(static_cast<std::int64_t>(revision_));
      json.Key("pid").Number(::GetCurrentProcessId()).EndObject();
      return {ControlExit::kDone, json.text()};
    }
    case ControlCommand::kSet:
      return AnswerSet(request, running);
    case ControlCommand::kShow:
    case ControlCommand::kStart:
      break;
    case ControlCommand::kStop:
      if (running < 0) return Changed(false, {});
      OnStartStopPlan(EventSource::kControl);
      return Changed(true, nameOf(running));
    case ControlCommand::kRow:
      return AnswerRow(request, running);
    default:
      // The console program's own commands never arrive as requests.
      return Refusal(ControlFailure::kUsage, texts::kCtlBadRequest);
  }
  const int plan = FindPlanByName(catalogue_, request.plan);
  if (plan < 0) {
    return {ControlExit::kUsage,
            FailureLine(ControlFailure::kNoPlan, FormatText(GbkToUtf8(texts::kCtlNoSuchPlan).c_str(), request.plan.c_str()))};
  }
  if (request.command == ControlCommand::kShow) {
    // While a plan runs the chooser is greyed on it.
    if (running >= 0 && running != plan) {
      return Refusal(ControlFailure::kRefused, FormatText(texts::kCtlShowRunning, nameOf(running).c_str()));
    }
    const bool change = plan != shownPlan_;
    if (change) {
      ::SendMessageW(Item(IDC_PLAN_CHOOSER), CB_SETCURSEL, static_cast<WPARAM>(plan), 0);
      FillProgramList();
    }
    return Changed(change, nameOf(plan));
  }
  // Asked for what already is: done, and nothing changes.
  if (running == plan) return Changed(false, nameOf(plan), FormatText(texts::kCtlAlreadyRunning, nameOf(plan).c_str()).c_str());
  if (running >= 0) {
    return Refusal(ControlFailure::kRefused, FormatText(texts::kCtlPlanRunning, nameOf(running).c_str()));
  }
  // As the tray's start items do: select the plan, then the start step,
  // which shows the plan's rows before it reads their ticks.
  ::SendMessageW(Item(IDC_PLAN_CHOOSER), CB_SETCURSEL, static_cast<WPARAM>(plan), 0);
  OnStartStopPlan(EventSource::kControl);
  if (runner_.RunningPlan() != plan) {
    return Refusal(ControlFailure::kInternal, FormatText(texts::kCtlStartFailed, nameOf(plan).c_str()));
  }
  return Changed(true, nameOf(plan));
}

ControlReply LauncherDialog::AnswerRow(const ControlRequest& request, int running) {
  // A tick alone is a click on a box of the plan the window shows, running
  // or not; every other action is on the running plan's rows.
  const bool tickOnly = request.action == RowAction::kTick || request.action == RowAction::kUntick;
  if (tickOnly && running < 0) running = shownPlan_;
  if (running < 0) return Refusal(ControlFailure::kRefused, texts::kCtlNoPlanRuns);
  const std::string& planName = catalogue_.m_planNames[static_cast<std::size_t>(running)];
  const PlanRange range = catalogue_.Range(running);
  if (request.row == 0 || request.row > static_cast<std::uint32_t>(range.count)) {
    return Refusal(ControlFailure::kNoRow, FormatText(texts::kCtlNoSuchRow, planName.c_str(), request.row));
  }
  const int row = static_cast<int>(request.row) - 1;
  const std::string& program = catalogue_.m_entries[static_cast<std::size_t>(range.first + row)]->programPath;
  // A server that saves on the exit notice loses what it has not saved when
  // it is ended: only on purpose.
  if (!tickOnly && request.action != RowAction::kStart && !request.force && IsExemptProgram(program)) {
    return Refusal(ControlFailure::kRefused, FormatText(texts::kCtlRowExempt, request.row, program.c_str()));
  }
  // The list shows the running plan's rows while it runs: its chooser is
  // greyed. The runner reads the row's tick from it at every step.
  if (shownPlan_ != running) return Refusal(ControlFailure::kInternal, texts::kCtlBadRequest);
  const HWND list = Item(IDC_PROGRAM_LIST);
  const bool wasTicked = IsRowChecked(row);
  const bool tick = request.action != RowAction::kStop && request.action != RowAction::kUntick;
  ListView_SetCheckState(list, row, tick ? TRUE : FALSE);
  bool changed = wasTicked != tick;
  const bool ends = request.action == RowAction::kStop || request.action == RowAction::kRestart;
  const bool starts = request.action == RowAction::kStart || request.action == RowAction::kRestart;
  if (ends) changed = runner_.EndRow(static_cast<std::size_t>(row)) || changed;
  if (starts) changed = runner_.StartRow(static_cast<std::size_t>(row)) || changed;
  static const char* const kActions[] = {"start", "stop", "restart", "tick", "untick"};
  JsonWriter json;
  json.BeginObject().Key("changed").Bool(changed).Key("plan").Gbk(planName).Key("row").Number(request.row);
  json.Key("action").String(kActions[static_cast<int>(request.action)]).EndObject();
  return {ControlExit::kDone, json.text()};
}

ControlReply LauncherDialog::AnswerSet(const ControlRequest& request, int running) {
  const char* word = OptionWord(request.option);
  // The rerun box is greyed while a plan runs: a stop reads it.
  if (request.option == WindowOption::kRerun && running >= 0) {
    return Refusal(ControlFailure::kRefused, texts::kCtlRerunRunning);
  }
  bool changed = false;
  if (request.option == WindowOption::kInterval) {
    changed = options_.interval != static_cast<int>(request.value);
    // As typed: the box's change sets the option.
    if (changed) SetWindowTextGbk(Item(IDC_INTERVAL), std::to_string(request.value));
  } else {
    static const int kBoxes[] = {IDC_RERUN, IDC_NOTIFY, IDC_DETECT};
    const int box = kBoxes[static_cast<int>(request.option)];
    const bool on = request.value != 0;
    changed = (::IsDlgButtonChecked(hwnd(), box) == BST_CHECKED) != on;
    if (changed) {
      ::CheckDlgButton(hwnd(), box, on ? BST_CHECKED : BST_UNCHECKED);
      SetOption(request.option, on ? 1 : 0);
    }
  }
  JsonWriter json;
  json.BeginObject().Key("changed").Bool(changed).Key("option").String(word);
  request.option == WindowOption::kInterval ? json.Key("value").Number(request.value)
                                            : json.Key("value").Bool(request.value != 0);
  json.EndObject();
  return {ControlExit::kDone, json.text()};
}

WindowFacts LauncherDialog::Window() {
  WindowFacts window;
  window.title = WindowTextGbk(hwnd());
  window.shownPlan = shownPlan_;
  window.rerun = IsRerunChecked();
  window.notify = options_.notify != 0;
  window.detect = options_.detect != 0;
  window.interval = options_.interval;
  window.revision = revision_;
  return window;
}
