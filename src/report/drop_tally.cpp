#include "report/drop_tally.h"

void DropTally::Dropped(bool wrongLength) {
  ++(wrongLength ? wrongLength_ : foreign_);
  Poll();
}

void DropTally::Poll(bool always) {
  if (wrongLength_ == 0 && foreign_ == 0) return;
  const std::uint32_t now = clock_();
  if (!always && reported_ && now - reportedAt_ < kReportSeconds) return;
  reported_ = true;
  reportedAt_ = now;
  Event event;
  event.kind = EventKind::kHeartbeatsDropped;
  event.number = wrongLength_;
  event.count = foreign_;
  wrongLength_ = foreign_ = 0;
  if (sink_) sink_->OnEvent(event);
}
