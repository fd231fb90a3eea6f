#pragma once
// What keeps a hidden launcher reachable: its window is hidden only while
// its tray icon exists. Until the shell takes the icon (Explorer still
// starting at logon, a server with no shell at all) the icon is tried again
// every few seconds, and a hide asked for meanwhile minimises the window
// instead; the hide is carried out once the icon is there. If the shell
// restarts and the icon cannot be put back, a hidden window comes back
// minimised.
class TrayPresence {
 public:
  enum class Look { kUnchanged, kMinimised, kHidden };

  // The outcome of adding the icon: at start, on a retry, after the shell
  // restarted. Returns what the window must do now.
  Look IconAdded(bool added);
  // The operator or the automatic start asks to hide the window.
  Look HideAsked();
  // The window was shown again (from the tray).
  void Shown() { hideWanted_ = false; }
  // Whether the icon is missing, so a retry is due.
  bool RetryDue() const { return !hasIcon_; }

 private:
  bool hasIcon_ = false;
  bool hideWanted_ = false;
};
