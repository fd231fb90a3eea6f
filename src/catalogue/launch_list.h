#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "app/settings.h"
#include "catalogue/catalogue.h"

// The five values of one surplus message, in the order the message shows
// them: fields 1, 2, 3 and 5 of the line, then the surplus text (the rest of
// the line after the fifth field, without its line break).
struct SurplusLine {
  std::string field1, field2, field3, field5, surplus;
};

// What the reader calls back while it reads. Any of them may be empty.
struct LaunchListEvents {
  // A title directive was applied (the dialog sets its caption at once).
  std::function<void(const std::string& title)> onTitle;
  // A program line had surplus; the entry is built all the same.
  std::function<void(const SurplusLine&)> onSurplus;
};

// Where and why reading stopped, for the list checker's warnings.
struct LaunchListReport {
  std::size_t dataSize = 0;      // file bytes plus an appended CR LF
  std::size_t stopOffset = 0;    // where reading stopped in the data
  bool appendedLineBreak = false;
};

// Reads the launch list's bytes into the catalogue and applies the header
// directives to the settings. Never reads past the data; never fails.
LaunchListReport ReadLaunchListData(std::string_view fileBytes, Settings& settings,
                                    Catalogue& catalogue, const LaunchListEvents& events = {});

// Reads the file at settings.listPath. Returns false (and leaves everything
// untouched) when the file cannot be opened or read; `error` then says why.
bool ReadLaunchListFile(Settings& settings, Catalogue& catalogue,
                        const LaunchListEvents& events = {}, std::string* error = nullptr,
                        LaunchListReport* report = nullptr);
