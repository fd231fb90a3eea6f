#include "app/tray_presence.h"

TrayPresence::Look TrayPresence::IconAdded(bool added) {
  hasIcon_ = added;
  if (!hideWanted_) return Look::kUnchanged;
  return added ? Look::kHidden : Look::kMinimised;
}

TrayPresence::Look TrayPresence::HideAsked() {
  hideWanted_ = true;
  return hasIcon_ ? Look::kHidden : Look::kMinimised;
}
