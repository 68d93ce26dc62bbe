#include "logging/lost_lines.h"

#include <algorithm>
#include <utility>
#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace vmrsmgr {

std::string lost_lines_note(const std::string& file_name) {
  const std::string_view log = "log";
  if (file_name.size() > log.size() &&
      file_name.compare(file_name.size() - log.size(), log.size(), log) == 0) {
    return file_name.substr(0, file_name.size() - log.size()) + "lost";
  }
  return "lost." + file_name;
}

void LostLines::add(std::uint64_t lines, std::string_view first, std::string_view last,
                    std::string_view reason) noexcept {
  if (lines == 0) return;
  if (count_ == 0) first_.set(first);
  last_.set(last);
  count_ += lines;
  const std::size_t size = std::min(reason.size(), sizeof reason_ - 1);
  std::copy_n(reason.data(), size, reason_);
  reason_[size] = '\0';
}

void LostLines::Stamp::set(std::string_view stamp) noexcept {
  size = std::min(stamp.size(), sizeof text);
  std::copy_n(stamp.data(), size, text);
}

std::string_view LostLines::record(char (&out)[kRecordSize]) const noexcept {
  const int size =
      std::snprintf(out, sizeof out, "%" PRIu64 " log lines were lost from %.*s to %.*s: %s",
                    count_, static_cast<int>(first_.size), first_.text,
                    static_cast<int>(last_.size), last_.text, reason_);
  return {out, std::min(sizeof out - 1, static_cast<std::size_t>(std::max(size, 0)))};
}

std::string LostLines::note() const {
  return std::to_string(count_) + " " + std::string(first_.view()) + " " +
         std::string(last_.view()) + " " + reason_ + "\r\n";
}

bool LostLines::add_note(const std::string& note) {
  std::istringstream in(note);
  std::uint64_t lines = 0;
  std::string first, last, reason;
  if (!(in >> lines >> first >> last) || lines == 0) return false;
  std::getline(in >> std::ws, reason);
  while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) reason.pop_back();
  add(lines, first, last, reason);
  return true;
}

void DroppedLines::add(std::int64_t moment) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (lines_++ == 0) first_ = moment;
  last_ = moment;
  any_.store(true, std::memory_order_release);
}

bool DroppedLines::take(std::int64_t before, std::uint64_t& lines, std::int64_t& first,
                        std::int64_t& last) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (lines_ == 0 || first_ >= before) return false;
  lines = std::exchange(lines_, 0);
  first = first_;
  last = last_;
  any_.store(false, std::memory_order_relaxed);
  return true;
}

}  // namespace vmrsmgr
