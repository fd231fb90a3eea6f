#pragma once
// What the console program reads from a launcher's status object: the
// verdict of a check, and whether what a --wait waits for has come. All of
// it from the object alone, so a wait asks the launcher nothing but status.
#include <cstdint>
#include <string>
#include <string_view>

#include "control/json_reader.h"

// A check's outcome: the exit code of monitoring plug-ins and the one line
// that says it, in ASCII ("OK - 3/3 running").
enum class CheckCode : int { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
struct CheckVerdict {
  CheckCode code = CheckCode::kUnknown;
  std::string line;
  // Why the running plan stays in its launch phase for good, so that no
  // relaunch and no hang kill will come: "row 1 unticked: no relaunch, no
  // hang kill" (its launch waits for its tick), or "row 2 delay -5: …" (a
  // delay that never comes); "" when nothing keeps it from supervising.
  std::string launchPhase;
  // What a start's --wait waits for has come: OK, or a plan held in its
  // launch phase whose every ticked row that can run does.
  bool up = false;
};

// The verdict for plan `plan` (UTF-8; "" for whichever plan runs):
//   OK        it runs, supervises, and every ticked row's program runs;
//   WARNING   it runs, but not so (a ticked row's program exited, waits,
//             is held, dumping, crash-looping, ending; or supervision has
//             not begun, with what holds it back when something does);
//   CRITICAL  no plan runs, or another plan than `plan`;
//   UNKNOWN   the object is not a status object of schema 2 or later.
CheckVerdict CheckStatus(const JsonValue& status, std::string_view plan);
// UNKNOWN for a launcher that gave no trustworthy answer: the failure's
// token and the port.
CheckVerdict UnknownVerdict(std::string_view token, std::uint16_t port);

// The plan that runs, UTF-8; "" when none does.
std::string RunningPlanName(const JsonValue& status);

// Whether every process the stop of plan `plan` (UTF-8; "" for every plan
// that does not run) left behind has ended: none of its rows is ending,
// and no server it spared still runs.
bool StopSettled(const JsonValue& status, std::string_view plan);

// The launcher's process id the object names; 0 when it names none.
std::uint32_t StatusLauncherPid(const JsonValue& status);
