// Reads a launch list from an exactly sized heap copy, so that AddressSanitizer
// catches any read past the data.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "catalogue/launch_list.h"

struct ReadResult {
  ListHeader header;
  Catalogue catalogue;
  LaunchListReport report;
  std::vector<SurplusLine> surplus;
  std::vector<std::string> titles;

  const LaunchEntry& entry(std::size_t i) const { return *catalogue.m_entries.at(i); }
  PlanRange plan(int k) const { return catalogue.Range(k); }
};

inline ReadResult Read(const std::string& bytes) {
  ReadResult r;
  std::unique_ptr<char[]> exact(new char[bytes.size() ? bytes.size() : 1]);
  bytes.copy(exact.get(), bytes.size());
  LaunchListEvents events;
  events.onSurplus = [&r](const SurplusLine& s) { r.surplus.push_back(s); };
  events.onTitle = [&r](const std::string& t) { r.titles.push_back(t); };
  r.report = ReadLaunchListData(std::string_view(exact.get(), bytes.size()), r.header,
                                r.catalogue, events);
  return r;
}
