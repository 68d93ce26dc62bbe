#include "service_host/output_lines.h"

namespace vmrsmgr {

void OutputLines::add(std::string_view output, const Emit& emit, std::uint64_t now) {
  while (!output.empty()) {
    const std::size_t line_end = output.find('\n');
    if (line_end == std::string_view::npos) {
      const std::size_t earlier = partial_.size();
      std::size_t emitted = 0;
      partial_.append(output);
      // A line too long for one record goes out piece by piece; a final
      // "\r" waits, in case its "\n" follows.
      while (partial_.size() > max_piece_) {
        std::size_t piece = max_piece_;
        if (partial_[piece - 1] == '\r' && piece > 1) --piece;
        emit(std::string_view(partial_).substr(0, piece));
        partial_.erase(0, piece);
        emitted += piece;
      }
      // Only bytes of this output are left, or the oldest keeps its time.
      if (emitted >= earlier) since_ = now;
      return;
    }
    std::string_view line = output.substr(0, line_end);
    output.remove_prefix(line_end + 1);
    if (!partial_.empty()) {
      partial_.append(line);
      line = partial_;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (line.size() > max_piece_) {
      emit(line.substr(0, max_piece_));
      line.remove_prefix(max_piece_);
    }
    emit(line);
    partial_.clear();
  }
}

void OutputLines::flush(const Emit& emit) {
  if (partial_.empty()) return;
  emit(partial_);
  partial_.clear();
}

}  // namespace vmrsmgr
