#include "monitor/core/line_analyzer.h"

namespace korvane {

LineAnalyzer::LineAnalyzer() : decoder_(*this) {}

void LineAnalyzer::Start(const line::DecoderSettings& settings, uint64_t openUs,
                         const std::string& timingNote) {
  decoder_.Reset();
  decoder_.Configure(settings);
  origin_ = openUs;
  timingNote_ = timingNote;
  running_ = true;
  ++generation_;
}

void LineAnalyzer::Stop() {
  if (!running_) return;
  decoder_.Flush();
  running_ = false;
}

void LineAnalyzer::Received(const std::string& chunk, uint64_t stampUs) {
  if (running_ && !chunk.empty()) decoder_.Received(chunk, Relative(stampUs));
}

void LineAnalyzer::Sent(const std::string& frame, uint64_t startUs, uint64_t endUs) {
  if (running_ && !frame.empty()) decoder_.Sent(frame, Relative(startUs), Relative(endUs));
}

void LineAnalyzer::Advance(uint64_t nowUs) {
  if (running_) decoder_.Advance(Relative(nowUs));
}

size_t LineAnalyzer::Size() const { return ring_.size(); }

const line::Frame& LineAnalyzer::At(size_t index) const {
  // Once full, head_ is the oldest slot.
  const size_t n = ring_.size();
  return ring_[n < kCapacity ? index : (head_ + index) % kCapacity];
}

void LineAnalyzer::Clear() {
  ring_.clear();
  ring_.shrink_to_fit();
  head_ = 0;
  total_ = 0;
  stats_.Reset();
  ++generation_;
}

void LineAnalyzer::ResetStatistics() {
  stats_.Reset();
  ++generation_;
}

std::string LineAnalyzer::ExportCsv(const std::function<bool(const line::Frame&)>& keep) const {
  std::string out = line::kCsvHeader;
  out += '\n';
  for (size_t i = 0; i < Size(); ++i) {
    const line::Frame& f = At(i);
    if (!keep || keep(f)) line::AppendCsvLine(out, f);
  }
  return out;
}

void LineAnalyzer::OnFrame(const line::Frame& frame) {
  if (ring_.size() < kCapacity) {
    // Room for the whole ring at once: growing it step by step would move
    // every frame held so far, a pause of milliseconds on a busy line. Only
    // the pages written are taken from the system.
    if (ring_.capacity() < kCapacity) ring_.reserve(kCapacity);
    ring_.push_back(frame);
  } else {
    ring_[head_] = frame;
    head_ = (head_ + 1) % kCapacity;
  }
  ++total_;
  ++generation_;
  stats_.AddFrame(frame);
  for (const auto& listener : Listeners)
    if (listener) listener(frame);
}

void LineAnalyzer::OnTimeout(const line::Frame& request) {
  stats_.AddTimeout(request);
  ++generation_;
}

} // namespace korvane
